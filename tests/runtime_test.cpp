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

using Texts = std::vector<std::string>;
Texts Messages(int severity) { return kvtest::AlertTexts(KV_ALERT_MESSAGE, severity); }

// An alert record from the supervisor for the named board; one header field can be overridden.
uint32_t Alert(uint32_t code, const std::string& source, uint32_t oam_msg_tag::*field = nullptr, uint32_t value = 0) {
    std::vector<uint8_t> bytes(sizeof(oam_msg_tag) + source.size() + 2, 0);
    oam_msg_tag* header = reinterpret_cast<oam_msg_tag*>(bytes.data());
    header->size = static_cast<uint32_t>(bytes.size());
    header->alert = code;
    header->source_offset = sizeof(oam_msg_tag);
    header->text_offset = static_cast<uint32_t>(sizeof(oam_msg_tag) + source.size() + 1);
    memcpy(bytes.data() + header->source_offset, source.c_str(), source.size() + 1);
    if (field != nullptr) header->*field = value;
    return AlertReceive(header);
}

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        setenv("WBLOAD", KV_SHARE_DIR, 1);
        ASSERT_EQ(Init(""), 0u);
        ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
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
    const struct { const char* name; const char* value; uint8_t before, after; } cases[] = {
        {"HighBatteryEnable", "enable", 0x00, 0x04}, {"HighBatteryEnable", "Disable", 0xFF, 0xFB},
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
    EXPECT_EQ(Alert(0x40002001, "b0"), 0u);
    EXPECT_TRUE(kvtest::Alerts().empty());
    EXPECT_EQ(Alert(KV_ALERT_REMOVAL_REQUESTED, "b0"), 0u);
    EXPECT_EQ(Messages(KV_SEVERITY_INFORM), Texts{"CKvBoard::AlertReceive() - HSWEVN_REMOVAL_REQUESTED\n"});

    ASSERT_EQ(board->SetKeywordValue("MonitorEnable", "Enable"), 0u);
    ASSERT_NE(board->m_pMonitorThread, nullptr);
    EXPECT_EQ(Alert(KV_ALERT_REMOVAL_REQUESTED, "b0"), 0u);
    EXPECT_EQ(board->m_pMonitorThread, nullptr);
    EXPECT_STREQ(board->GetState(), "BOOTED");

    // Unknown boards are refused, and so are records whose layout cannot be trusted, before any lookup.
    EXPECT_EQ(Alert(KV_ALERT_REMOVAL_REQUESTED, "b9"), 1u);
    EXPECT_EQ(AlertReceive(nullptr), 1u);
    const struct { const char* what; uint32_t oam_msg_tag::*field; uint32_t value; } damages[] = {
        {"size below the header", &oam_msg_tag::size, 20},
        {"name offset inside the header", &oam_msg_tag::source_offset, 4},
        {"name offset past the end", &oam_msg_tag::source_offset, 0xFFFFFF00u},
        {"name not terminated inside the record", &oam_msg_tag::size, sizeof(oam_msg_tag) + 2},  // "b0", no NUL
    };
    for (const auto& d : damages) EXPECT_EQ(Alert(KV_ALERT_REMOVAL_REQUESTED, "b0", d.field, d.value), 1u) << d.what;
}

}  // namespace
