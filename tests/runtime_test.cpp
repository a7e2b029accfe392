// Keyword changes that act on a running board, and alerts from the supervisor.
#include <algorithm>
#include <functional>
#include <future>
#include <set>
#include <thread>

#include "KvRegisters.h"
#include "fake_waits.h"
#include "fixtures.h"

namespace {

using kvtest::Messages;
using kvtest::SendAlert;
using kvtest::Texts;
const uint32_t kRemoval = 0x40112002;

class RuntimeTest : public kvtest::PluginFixture {
protected:
    void Boot() {
        ASSERT_EQ(board->Start(), 0u);
        kvtest::ClearAlerts();
    }
};

TEST_F(RuntimeTest, BatteryFeedsActAtOnceOnlyOnABootedBoard) {
    EXPECT_EQ(board->SetKeywordValue("LowBatteryEnable", "Disable"), 0u);  // idle: only stored
    EXPECT_TRUE(kvemu::Journal().empty());
    Boot();
    const struct {
        const char* name;
        const char* value;
        uint8_t before, after;
    } cases[] = {{"HighBatteryEnable", "enable", 0x00, 0x04},
                 {"HighBatteryEnable", "Disable", 0xFF, 0xFB},
                 {"LowBatteryEnable", "Enable", 0xA1, 0xA3},
                 {"LowBatteryEnable", "Disable", 0xFF, 0xFD}};
    for (const auto& c : cases) {
        kvemu::WriteRegister(0, 0, KV_REG_LINE_POWER, c.before);
        EXPECT_EQ(board->SetKeywordValue(c.name, c.value), 0u);
        EXPECT_EQ(kvtest::Register(KV_REG_LINE_POWER), c.after) << c.name << " " << c.value;
    }
}

TEST_F(RuntimeTest, MonitorFollowsItsKeywordOnABootedBoard) {
    Set("MonitorEnable", "Enable");
    EXPECT_EQ(board->m_pMonitorThread, nullptr);  // idle: the next start decides
    Boot();
    ASSERT_NE(board->m_pMonitorThread, nullptr);
    Set("MonitorEnable", "enable");  // already running: left alone
    Set("MonitorEnable", "Disable");
    EXPECT_EQ(board->m_pMonitorThread, nullptr);
    Set("MonitorEnable", "Disable");
    EXPECT_EQ(Messages(kvtest::kWarning),
              (Texts{"Monitor thread is already running\n", "Monitor thread is not running\n"}));
    Set("MonitorEnable", "Enable");
    EXPECT_EQ(board->Stop(), 0u);
    EXPECT_EQ(board->m_pMonitorThread, nullptr);
}

TEST_F(RuntimeTest, TraceMaskChangesSendTheTableOfMasks) {
    Set("OamTraceMask", "-1");
    EXPECT_EQ(Messages(kvtest::kInform), Texts{"\nOAM trace masks for KV:\n"
                                               "  KV_TRACE_API            0x00000001\n"
                                               "  KV_TRACE_ALERTS         0x00000002\n"
                                               "  KV_TRACE_DEBUG          0x00000004\n"
                                               "  KV_TRACE_WRITE_BYTE     0x00000010\n"
                                               "  KV_TRACE_READ_BYTE      0x00000020\n"
                                               "  USE_PRINTF              0x40000000\n"
                                               "\n  OamTraceMask:           0xffffffff\n\n"});
}

TEST_F(RuntimeTest, RemovalRequestStopsTheMonitorOtherAlertsAndUnsoundRecordsAreIgnored) {
    Set("OamTraceMask", "2");
    Boot();
    EXPECT_EQ(SendAlert(0x40002001, "b0"), 0u);
    EXPECT_TRUE(kvtest::Alerts().empty());
    EXPECT_EQ(SendAlert(kRemoval, "b0"), 0u);
    EXPECT_EQ(Messages(kvtest::kInform), Texts{"CKvBoard::AlertReceive() - HSWEVN_REMOVAL_REQUESTED\n"});
    Set("MonitorEnable", "Enable");
    ASSERT_NE(board->m_pMonitorThread, nullptr);
    EXPECT_EQ(SendAlert(kRemoval, "b0"), 0u);
    EXPECT_EQ(board->m_pMonitorThread, nullptr);
    EXPECT_STREQ(board->GetState(), "BOOTED");
    EXPECT_EQ(SendAlert(kRemoval, "b9"), 1u);
    EXPECT_EQ(AlertReceive(nullptr), 1u);
    const struct {
        const char* what;
        uint32_t oam_msg_tag::*field;
        uint32_t value, result;
    } damages[] = {
        {"size below the header", &oam_msg_tag::size, 20, 1},
        {"name offset inside the header", &oam_msg_tag::source_offset, 4, 1},
        {"name offset past the end", &oam_msg_tag::source_offset, 0xFFFFFF00u, 1},
        {"name not terminated inside the record", &oam_msg_tag::size, sizeof(oam_msg_tag) + 2, 1},
        {"name terminated by the record's last byte", &oam_msg_tag::size, sizeof(oam_msg_tag) + 3, 0}};
    for (const auto& d : damages) EXPECT_EQ(SendAlert(kRemoval, "b0", d.field, d.value), d.result) << d.what;
}

TEST_F(RuntimeTest, EveryWaitHasItsTimeOutAndABoardThatCannotBeLockedChangesNothing) {
    kvtest::FakeWaits waits;
    Set("MonitorEnable", "Enable");
    Boot();
    ASSERT_EQ(board->Stop(), 0u);
    const kvtest::FakeWaits::Given given = waits.Waits();
    using Kinds = std::set<std::pair<const void*, unsigned>>;
    EXPECT_EQ(Kinds(given.begin(), given.end()),
              Kinds({{&board->m_BoardMutex, 60000}, {&board->m_StateMutex, 60000}, {nullptr, 5000}}));
    std::promise<void> held, release;
    std::thread holder([&] {
        board->m_BoardMutex.Lock(0);
        held.set_value();
        release.get_future().wait();
        board->m_BoardMutex.Unlock();
    });
    held.get_future().wait();
    waits.Expiring = true;
    const struct {
        std::function<unsigned()> call;
        unsigned result;
        const char* error;
    } cases[] = {
        {[&] { return board->SetKeywordValue("HighBatteryEnable", "Disable"); }, 0x1D0108,
         "CKvBoard::SetKeywordValue() - failed to lock mutex.\n"},
        {[&] { return board->Start(); }, 0x1D010C, "CKvBoard::Start() - failed to lock mutex.\n"},
        {[&] { return board->Stop(); }, 0x1D010D, "CKvBoard::Stop() - failed to lock mutex.\n"},
        {[&] { return SendAlert(kRemoval, "b0"); }, 0, "CKvBoard::AlertReceive() - failed to lock mutex.\n"}};
    for (const auto& c : cases) {
        kvtest::ClearAlerts();
        waits.Clock = 0;
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(waits.Clock.load(), 60000u);
        EXPECT_EQ(Messages(kvtest::kError), Texts{c.error});
    }
    waits.Expiring = false;
    release.set_value();
    holder.join();
    EXPECT_EQ(Read("HighBatteryEnable"), "Enable");  // the change that could not lock the board was not made
    EXPECT_STREQ(board->GetState(), "IDLE");
}

TEST_F(RuntimeTest, DestructionClosesBothHandles) {
    Boot();
    Set("HighBatteryEnable", "Enable");  // opens the board's handle
    Set("OamTraceMask", "1");
    kvtest::ClearAlerts();
    kvemu::ClearJournal();
    ASSERT_EQ(DestroyBoard("b0"), 0u);
    Texts traces = Messages(kvtest::kInform);
    auto end = std::find(traces.begin(), traces.end(), "CKvBoard::~CKvBoard()\n");
    ASSERT_NE(end, traces.end());
    EXPECT_EQ(std::count(end, traces.end(), "CKvBoard::CloseDriver()\n"), 2);
    EXPECT_EQ(kvemu::Journal(), Texts{"0:0 kvClose = 0"});
}

}  // namespace
