// Keyword changes that act on a running board, and alerts from the supervisor.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Supervisor.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvboardplugin.h"
#include "kvemu.h"
#include "oam/boardplugin.h"

namespace {

std::vector<std::string> Texts(int severity) { return kvtest::AlertTexts(KV_ALERT_MESSAGE, severity); }

uint8_t Register(uint32_t address)
{
    uint8_t value = 0;
    kvemu::ReadRegister(0, 0, address, &value);
    return value;
}

size_t Writes()
{
    size_t count = 0;
    for (const std::string& line : kvemu::Journal())
        if (line.find("BoardWriteByte") != std::string::npos) ++count;
    return count;
}

std::vector<uint8_t> AlertRecord(uint32_t code, const std::string& source)
{
    std::vector<uint8_t> bytes(sizeof(oam_msg_tag) + source.size() + 2, 0);
    oam_msg_tag* header = reinterpret_cast<oam_msg_tag*>(bytes.data());
    header->size = static_cast<uint32_t>(bytes.size());
    header->alert = code;
    header->source_offset = sizeof(oam_msg_tag);
    header->text_offset = static_cast<uint32_t>(sizeof(oam_msg_tag) + source.size() + 1);
    memcpy(bytes.data() + header->source_offset, source.c_str(), source.size() + 1);
    return bytes;
}

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kvemu::Reset();
        kvtest::ClearAlerts();
        setenv("WBLOAD", KV_SHARE_DIR, 1);
        if (boardPlugin != nullptr) Exit();
        ASSERT_EQ(Init(""), 0u);
        ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
        board = dynamic_cast<CKvBoard*>(boardPlugin->GetBoardByName("b0"));
        ASSERT_NE(board, nullptr);
        ASSERT_EQ(board->SetKeywordValue("MonitorEnable", "Disable"), 0u);
        kvtest::ClearAlerts();
    }
    void TearDown() override
    {
        kvemu::ClearFaults();
        Exit();
    }

    void Boot()
    {
        ASSERT_EQ(board->Start(), 0u);
        ASSERT_STREQ(board->GetState(), "BOOTED");
        kvemu::ClearJournal();
        kvtest::ClearAlerts();
    }

    std::string Read(const char* name)
    {
        char value[128] = {0};
        return board->GetKeywordValue(name, value, sizeof(value)) == 0 ? value : "<missing>";
    }

    kvtest::SleepRecorder sleeps;
    CKvBoard* board = nullptr;
};

TEST_F(RuntimeTest, BatteryFeedsActAtOnceOnlyOnABootedBoard)
{
    // Idle: stored for the next start, nothing written.
    kvemu::ClearJournal();
    EXPECT_EQ(board->SetKeywordValue("LowBatteryEnable", "Disable"), 0u);
    EXPECT_EQ(Read("LowBatteryEnable"), "Disable");
    EXPECT_EQ(Writes(), 0u);

    Boot();
    struct Case {
        const char* name;
        const char* value;
        uint8_t before, after;
    } cases[] = {
        {"HighBatteryEnable", "enable", 0x00, 0x04},
        {"HighBatteryEnable", "Disable", 0xFF, 0xFB},
        {"highbatteryenable", "ENABLE", 0xA1, 0xA5},
        {"LowBatteryEnable", "Enable", 0x00, 0x02},
        {"LowBatteryEnable", "disable", 0xFF, 0xFD},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " = " + c.value);
        kvemu::WriteRegister(0, 0, KV_REG_LINE_POWER, c.before);
        EXPECT_EQ(board->SetKeywordValue(c.name, c.value), 0u);
        EXPECT_EQ(Register(KV_REG_LINE_POWER), c.after);
    }

    // A value the keyword refuses changes nothing on the board.
    kvemu::WriteRegister(0, 0, KV_REG_LINE_POWER, 0x00);
    kvemu::ClearJournal();
    EXPECT_NE(board->SetKeywordValue("HighBatteryEnable", "Maybe"), 0u);
    EXPECT_EQ(Writes(), 0u);

    // Other keywords are only stored.
    EXPECT_EQ(board->SetKeywordValue("RingVoltageEnable", "Disable"), 0u);
    EXPECT_EQ(Writes(), 0u);
}

TEST_F(RuntimeTest, MonitorFollowsItsKeywordOnABootedBoard)
{
    EXPECT_EQ(board->SetKeywordValue("MonitorEnable", "Enable"), 0u);
    EXPECT_EQ(board->m_pMonitorThread, nullptr);  // idle: the next start decides
    ASSERT_EQ(board->SetKeywordValue("MonitorEnable", "Disable"), 0u);

    Boot();
    EXPECT_EQ(board->SetKeywordValue("MonitorEnable", "Disable"), 0u);
    EXPECT_EQ(Texts(KV_SEVERITY_WARNING), std::vector<std::string>{"Monitor thread is not running\n"});

    kvtest::ClearAlerts();
    EXPECT_EQ(board->SetKeywordValue("MonitorEnable", "Enable"), 0u);
    CKvMonitorThread* thread = board->m_pMonitorThread;
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(board->SetKeywordValue("MonitorEnable", "enable"), 0u);
    EXPECT_EQ(board->m_pMonitorThread, thread);
    EXPECT_EQ(Texts(KV_SEVERITY_WARNING), std::vector<std::string>{"Monitor thread is already running\n"});

    EXPECT_EQ(board->SetKeywordValue("MonitorEnable", "Disable"), 0u);
    EXPECT_EQ(board->m_pMonitorThread, nullptr);

    // Stopping the board with a monitor running ends the monitor first.
    ASSERT_EQ(board->SetKeywordValue("MonitorEnable", "Enable"), 0u);
    ASSERT_NE(board->m_pMonitorThread, nullptr);
    EXPECT_EQ(board->Stop(), 0u);
    EXPECT_EQ(board->m_pMonitorThread, nullptr);
}

TEST_F(RuntimeTest, TraceMaskChangesSendTheTableOfMasks)
{
    struct Case {
        const char* value;
        const char* shown;
    } cases[] = {{"0x40000005", "0x40000005"}, {"0", "0x00000000"}, {"-1", "0xffffffff"}, {"32", "0x00000020"}};
    for (const Case& c : cases) {
        kvtest::ClearAlerts();
        ASSERT_EQ(board->SetKeywordValue("OamTraceMask", c.value), 0u);
        std::string expected = std::string("\nOAM trace masks for KV:\n"
                                           "  KV_TRACE_API            0x00000001\n"
                                           "  KV_TRACE_ALERTS         0x00000002\n"
                                           "  KV_TRACE_DEBUG          0x00000004\n"
                                           "  KV_TRACE_WRITE_BYTE     0x00000010\n"
                                           "  KV_TRACE_READ_BYTE      0x00000020\n"
                                           "  USE_PRINTF              0x40000000\n"
                                           "\n  OamTraceMask:           ") +
                               c.shown + "\n\n";
        std::vector<std::string> informs = Texts(KV_SEVERITY_INFORM);
        ASSERT_FALSE(informs.empty()) << c.value;
        EXPECT_EQ(informs.back(), expected);
    }
    board->SetKeywordValue("OamTraceMask", "0");
    kvtest::ClearAlerts();
    EXPECT_NE(board->SetKeywordValue("OamTraceMask", "-2"), 0u);
    EXPECT_TRUE(kvtest::Alerts().empty());
}

TEST_F(RuntimeTest, RemovalRequestStopsTheMonitorAndOtherAlertsAreIgnored)
{
    ASSERT_EQ(board->SetKeywordValue("OamTraceMask", "2"), 0u);
    Boot();
    std::vector<uint8_t> other = AlertRecord(0x40002001, "b0");
    EXPECT_EQ(AlertReceive(reinterpret_cast<oam_msg_tag*>(other.data())), 0u);
    EXPECT_TRUE(kvtest::Alerts().empty());

    std::vector<uint8_t> removal = AlertRecord(KV_ALERT_REMOVAL_REQUESTED, "b0");
    EXPECT_EQ(AlertReceive(reinterpret_cast<oam_msg_tag*>(removal.data())), 0u);
    EXPECT_EQ(Texts(KV_SEVERITY_INFORM),
              std::vector<std::string>{"CKvBoard::AlertReceive() - HSWEVN_REMOVAL_REQUESTED\n"});

    ASSERT_EQ(board->SetKeywordValue("MonitorEnable", "Enable"), 0u);
    ASSERT_NE(board->m_pMonitorThread, nullptr);
    EXPECT_EQ(AlertReceive(reinterpret_cast<oam_msg_tag*>(removal.data())), 0u);
    EXPECT_EQ(board->m_pMonitorThread, nullptr);
    EXPECT_STREQ(board->GetState(), "BOOTED");
}

TEST_F(RuntimeTest, AlertsReachOnlyKnownBoardsThroughSoundRecords)
{
    std::vector<uint8_t> good = AlertRecord(KV_ALERT_REMOVAL_REQUESTED, "b0");
    EXPECT_EQ(AlertReceive(reinterpret_cast<oam_msg_tag*>(good.data())), 0u);
    std::vector<uint8_t> other = AlertRecord(0x12345678, "b0");
    EXPECT_EQ(AlertReceive(reinterpret_cast<oam_msg_tag*>(other.data())), 0u);
    std::vector<uint8_t> stranger = AlertRecord(KV_ALERT_REMOVAL_REQUESTED, "b9");
    EXPECT_EQ(AlertReceive(reinterpret_cast<oam_msg_tag*>(stranger.data())), 1u);
    EXPECT_EQ(AlertReceive(nullptr), 1u);

    // Records whose layout cannot be trusted are refused before any lookup.
    struct Damage {
        const char* what;
        void (*apply)(std::vector<uint8_t>&);
    } damages[] = {
        {"size below the header", [](std::vector<uint8_t>& r) { reinterpret_cast<oam_msg_tag*>(r.data())->size = 20; }},
        {"name offset inside the header",
         [](std::vector<uint8_t>& r) { reinterpret_cast<oam_msg_tag*>(r.data())->source_offset = 4; }},
        {"name offset past the end",
         [](std::vector<uint8_t>& r) { reinterpret_cast<oam_msg_tag*>(r.data())->source_offset = 0xFFFFFF00u; }},
        {"name offset at the end",
         [](std::vector<uint8_t>& r) {
             auto* h = reinterpret_cast<oam_msg_tag*>(r.data());
             h->source_offset = h->size;
         }},
        {"name not terminated inside the record",
         [](std::vector<uint8_t>& r) {
             auto* h = reinterpret_cast<oam_msg_tag*>(r.data());
             h->size = h->source_offset + 2;  // "b0" without its NUL
         }},
    };
    for (const Damage& d : damages) {
        std::vector<uint8_t> record = AlertRecord(KV_ALERT_REMOVAL_REQUESTED, "b0");
        d.apply(record);
        EXPECT_EQ(AlertReceive(reinterpret_cast<oam_msg_tag*>(record.data())), 1u) << d.what;
    }
}

}  // namespace
