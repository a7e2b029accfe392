// Keyword changes that act on a running board, and alerts from the supervisor.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KvRegisters.h"
#include "KvResults.h"
#include "Supervisor.h"
#include "emulated_board.h"
#include "fake_supervisor.h"
#include "fake_waits.h"
#include "kvboard.h"
#include "kvboardplugin.h"
#include "kvemu.h"
#include "oam/boardplugin.h"

namespace {

using Texts = std::vector<std::string>;
using kvtest::Messages;
using kvtest::SendAlert;

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(kvtest::InitWithBoard(), 0u);
        board = dynamic_cast<CKvBoard*>(boardPlugin->GetBoardByName("b0"));
        ASSERT_NE(board, nullptr);
        ASSERT_EQ(board->SetKeywordValue("MonitorEnable", "Disable"), 0u);
        kvtest::ClearAlerts();
    }
    void TearDown() override { Exit(); }
    void Boot() {
        ASSERT_EQ(board->Start(), 0u);
        kvtest::ClearAlerts();
    }

    kvtest::SleepRecorder sleeps;
    CKvBoard* board = nullptr;
};

TEST_F(RuntimeTest, BatteryFeedsActAtOnceOnlyOnABootedBoard) {
    kvemu::ClearJournal();
    EXPECT_EQ(board->SetKeywordValue("LowBatteryEnable", "Disable"), 0u);  // idle: only stored
    EXPECT_TRUE(kvemu::Journal().empty());

    Boot();
    const struct {
        const char* name;
        const char* value;
        uint8_t before, after;
    } cases[] = {
        {"HighBatteryEnable", "enable", 0x00, 0x04},
        {"HighBatteryEnable", "Disable", 0xFF, 0xFB},
        {"LowBatteryEnable", "Enable", 0xA1, 0xA3},
    };
    for (const auto& c : cases) {
        kvemu::WriteRegister(0, 0, KV_REG_LINE_POWER, c.before);
        kvemu::ClearJournal();
        EXPECT_EQ(board->SetKeywordValue(c.name, c.value), 0u);
        uint8_t power = 0;
        kvemu::ReadRegister(0, 0, KV_REG_LINE_POWER, &power);
        EXPECT_EQ(power, c.after);
        EXPECT_EQ(kvemu::Journal().empty(), c.before == c.after);
    }
}

TEST_F(RuntimeTest, MonitorFollowsItsKeywordOnABootedBoard) {
    EXPECT_EQ(board->SetKeywordValue("MonitorEnable", "Enable"), 0u);
    EXPECT_EQ(board->m_pMonitorThread, nullptr);  // idle: the next start decides
    Boot();
    ASSERT_NE(board->m_pMonitorThread, nullptr);
    EXPECT_EQ(board->SetKeywordValue("MonitorEnable", "enable"), 0u);  // already running: left alone
    EXPECT_EQ(board->SetKeywordValue("MonitorEnable", "Disable"), 0u);
    EXPECT_EQ(board->m_pMonitorThread, nullptr);
    EXPECT_EQ(board->SetKeywordValue("MonitorEnable", "Disable"), 0u);
    EXPECT_EQ(Messages(KV_SEVERITY_WARNING),
              (Texts{"Monitor thread is already running\n", "Monitor thread is not running\n"}));

    // Stopping the board with a monitor running ends the monitor first.
    ASSERT_EQ(board->SetKeywordValue("MonitorEnable", "Enable"), 0u);
    EXPECT_EQ(board->Stop(), 0u);
    EXPECT_EQ(board->m_pMonitorThread, nullptr);
}

TEST_F(RuntimeTest, TraceMaskChangesSendTheTableOfMasks) {
    ASSERT_EQ(board->SetKeywordValue("OamTraceMask", "-1"), 0u);
    EXPECT_EQ(Messages(KV_SEVERITY_INFORM), Texts{"\nOAM trace masks for KV:\n"
                                                  "  KV_TRACE_API            0x00000001\n"
                                                  "  KV_TRACE_ALERTS         0x00000002\n"
                                                  "  KV_TRACE_DEBUG          0x00000004\n"
                                                  "  KV_TRACE_WRITE_BYTE     0x00000010\n"
                                                  "  KV_TRACE_READ_BYTE      0x00000020\n"
                                                  "  USE_PRINTF              0x40000000\n"
                                                  "\n  OamTraceMask:           0xffffffff\n\n"});
    kvtest::ClearAlerts();
    EXPECT_NE(board->SetKeywordValue("OamTraceMask", "-2"), 0u);
    EXPECT_TRUE(kvtest::Alerts().empty());
}

TEST_F(RuntimeTest, RemovalRequestStopsTheMonitorOtherAlertsAndUnsoundRecordsAreIgnored) {
    ASSERT_EQ(board->SetKeywordValue("OamTraceMask", "2"), 0u);
    Boot();
    EXPECT_EQ(SendAlert(0x40002001, "b0"), 0u);
    EXPECT_TRUE(kvtest::Alerts().empty());
    EXPECT_EQ(SendAlert(KV_ALERT_REMOVAL_REQUESTED, "b0"), 0u);
    EXPECT_EQ(Messages(KV_SEVERITY_INFORM), Texts{"CKvBoard::AlertReceive() - HSWEVN_REMOVAL_REQUESTED\n"});

    ASSERT_EQ(board->SetKeywordValue("MonitorEnable", "Enable"), 0u);
    ASSERT_NE(board->m_pMonitorThread, nullptr);
    EXPECT_EQ(SendAlert(KV_ALERT_REMOVAL_REQUESTED, "b0"), 0u);
    EXPECT_EQ(board->m_pMonitorThread, nullptr);
    EXPECT_STREQ(board->GetState(), "BOOTED");

    // Unknown boards are refused, and so are records whose layout cannot be trusted, before any lookup.
    EXPECT_EQ(SendAlert(KV_ALERT_REMOVAL_REQUESTED, "b9"), 1u);
    EXPECT_EQ(AlertReceive(nullptr), 1u);
    const struct {
        const char* what;
        uint32_t oam_msg_tag::*field;
        uint32_t value;
    } damages[] = {
        {"size below the header", &oam_msg_tag::size, 20},
        {"name offset inside the header", &oam_msg_tag::source_offset, 4},
        {"name offset past the end", &oam_msg_tag::source_offset, 0xFFFFFF00u},
        {"name not terminated inside the record", &oam_msg_tag::size,
         sizeof(oam_msg_tag) + 2},  // "b0", no NUL
    };
    for (const auto& d : damages)
        EXPECT_EQ(SendAlert(KV_ALERT_REMOVAL_REQUESTED, "b0", d.field, d.value), 1u) << d.what;
}

TEST_F(RuntimeTest, EveryWaitHasItsTimeOutAndABoardThatCannotBeLockedChangesNothing) {
    kvtest::FakeWaits waits;
    ASSERT_EQ(board->SetKeywordValue("MonitorEnable", "Enable"), 0u);
    Boot();
    ASSERT_EQ(board->Stop(), 0u);
    const kvtest::FakeWaits::Given given = waits.Waits();
    std::set<std::pair<const void*, unsigned>> kinds(given.begin(), given.end());
    EXPECT_EQ(kinds, (std::set<std::pair<const void*, unsigned>>{
                         {&board->m_BoardMutex, 60000}, {&board->m_StateMutex, 60000}, {nullptr, 5000}}));

    // Another thread holds the board: each call gives up after its 60000 ms (on the test's clock).
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
        {[&] { return board->SetKeywordValue("HighBatteryEnable", "Disable"); }, KV_E_KEYWORD_REFUSED,
         "CKvBoard::SetKeywordValue() - failed to lock mutex.\n"},
        {[&] { return board->Start(); }, KV_E_START_FAILED, "CKvBoard::Start() - failed to lock mutex.\n"},
        {[&] { return board->Stop(); }, KV_E_STOP_FAILED, "CKvBoard::Stop() - failed to lock mutex.\n"},
    };
    for (const auto& c : cases) {
        kvtest::ClearAlerts();
        waits.Clock = 0;
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(waits.Clock.load(), 60000u);
        EXPECT_EQ(Messages(KV_SEVERITY_ERROR), Texts{c.error});
    }
    waits.Expiring = false;
    release.set_value();
    holder.join();
    char value[16] = {};
    ASSERT_EQ(board->GetKeywordValue("HighBatteryEnable", value, sizeof(value)), 0u);
    EXPECT_STREQ(value, "Enable");  // the change that could not lock the board was not made
    EXPECT_STREQ(board->GetState(), "IDLE");
}

// The destruction closes the monitor's handle, then the board's (open here), each traced.
TEST_F(RuntimeTest, DestructionClosesBothHandles) {
    Boot();
    ASSERT_EQ(board->SetKeywordValue("HighBatteryEnable", "Enable"), 0u);  // opens the board's handle
    ASSERT_EQ(board->SetKeywordValue("OamTraceMask", "1"), 0u);
    kvtest::ClearAlerts();
    kvemu::ClearJournal();
    ASSERT_EQ(DestroyBoard("b0"), 0u);
    Texts traces = Messages(KV_SEVERITY_INFORM);
    auto end = std::find(traces.begin(), traces.end(), "CKvBoard::~CKvBoard()\n");
    ASSERT_NE(end, traces.end());
    EXPECT_EQ(std::count(end, traces.end(), "CKvBoard::CloseDriver()\n"), 2);
    EXPECT_EQ(kvemu::Journal(), Texts{"0:0 kvClose = 0"});
}

}  // namespace
