// A board's start, stop and test sequences against the emulated board.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
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

uint8_t Register(uint32_t address) {
    uint8_t value = 0;
    kvemu::ReadRegister(0, 0, address, &value);
    return value;
}

size_t Connections() {
    std::vector<kvemu::Connection> connections;
    kvemu::GetConnections(0, 0, &connections);
    return connections.size();
}

kvemu::BoardInfo Info() {
    kvemu::BoardInfo info{};
    kvemu::GetBoardInfo(0, 0, &info);
    return info;
}

// The driver call named on a journal line ("0:0 NAME ARGS = STATUS").
std::string CallOf(const std::string& line) {
    size_t start = line.find(' ') + 1;
    return line.substr(start, line.find(' ', start) - start);
}

Texts Calls() {
    Texts calls;
    for (const std::string& line : kvemu::Journal()) calls.push_back(CallOf(line));
    return calls;
}

// Whether wanted appear in calls in this order (others may come between).
template <typename T>
::testing::AssertionResult InOrder(const std::vector<T>& calls, const std::vector<T>& wanted) {
    auto at = calls.begin();
    for (const T& want : wanted) {
        at = std::find(at, calls.end(), want);
        if (at++ == calls.end()) return ::testing::AssertionFailure() << "missing or out of order: " << want;
    }
    return ::testing::AssertionSuccess();
}

// The register writes of the journal before the call named until, "ADDRESS VALUE", in order.
Texts Writes(const char* until) {
    Texts writes;
    for (const std::string& line : kvemu::Journal()) {
        if (CallOf(line) == until) break;
        size_t start = line.find("BoardWriteByte ") + strlen("BoardWriteByte ");
        if (CallOf(line) == "BoardWriteByte") writes.push_back(line.substr(start, line.find(" =") - start));
    }
    return writes;
}

class StartStopTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        setenv("WBLOAD", KV_SHARE_DIR, 1);
        if (boardPlugin != nullptr) Exit();
        ASSERT_EQ(Init(""), 0u);
        ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
        board = dynamic_cast<CKvBoard*>(boardPlugin->GetBoardByName("b0"));
        ASSERT_NE(board, nullptr);
        Set("MonitorEnable", "Disable");
        kvemu::ClearJournal();
        kvtest::ClearAlerts();
        sleeps.Clear();
    }
    void TearDown() override {
        kvemu::ClearFaults();
        Exit();
    }

    void Set(const char* name, const char* value) { ASSERT_EQ(board->SetKeywordValue(name, value), 0u) << name; }
    std::string Read(const char* name) {
        char value[128] = {0};
        return board->GetKeywordValue(name, value, sizeof(value)) == 0 ? value : "<missing>";
    }

    kvtest::SleepRecorder sleeps;
    CKvBoard* board = nullptr;
};

TEST_F(StartStopTest, StartRunsTheSequenceInOrderAndLeavesTheBoardRunning) {
    const uint8_t eeprom[24] = {0x34, 0x12, 0x02, 0x00, 0x07, 0x05, 0x21, 0x43, 0xD3, 0x07, 0x2A, 0x01,
                                0x78, 0x56, 0x34, 0x00, 0xEE, 0xEE, 0xEE, 0xEE, 0x09, 0x00, 0x00, 0x00};
    ASSERT_EQ(kvemu::SetEeprom(0, 0, eeprom), 0);
    kvemu::WriteRegister(0, 0, KV_REG_LINE_POWER, 0xE0);
    kvemu::WriteRegister(0, 0, KV_REG_RESET, 0xE0);
    kvemu::WriteRegister(0, 0, KV_REG_CONTROL, 0xE8);

    ASSERT_EQ(board->Start(), 0u);
    EXPECT_STREQ(board->GetState(), "BOOTED");
    EXPECT_EQ(Messages(KV_SEVERITY_ERROR), Texts{});
    EXPECT_TRUE(InOrder(Calls(), {"kvOpenByBusDeviceFunction", "BoardWriteByte", "BoardSetLogicalNumber",
                                  "BoardEEPROMGetData", "BoardDspReset", "kvGetHmicHandle", "BoardFlashLedOn",
                                  "hmic_init", "BoardFlashLedOff", "open", "ioctl", "BoardLoadL2PTable",
                                  "LineConfigureMultiple", "BoardDspDownload", "BoardDspStart", "kvSendMessage",
                                  "BoardStartHeartBeat", "BoardGetPhysicalSlot", "BoardGetDriverVersion",
                                  "kvClose"}));

    // Before the logical number: line power and ringer off (active low), resets asserted, bit 4 pulsed.
    EXPECT_EQ(Writes("BoardSetLogicalNumber"),
              (Texts{"0xa0006 0xe0", "0xa0002 0xe0", "0xa0002 0xe0", "0xa0002 0xe0", "0xa0002 0xe1", "0xa0002 0xe1",
                     "0xa0003 0xf0", "0xa0003 0xf4", "0xa0003 0xfc", "0xa0003 0xfe", "0xa0003 0xee"}));
    // Defaults: batteries and ring voltage on, ringer on (bit 0 low), no loopback.
    EXPECT_EQ(Register(KV_REG_LINE_POWER), 0xEE);
    EXPECT_EQ(Register(KV_REG_RESET), 0xE4);
    EXPECT_EQ(Register(KV_REG_CONTROL), 0xE4);
    EXPECT_TRUE(InOrder(sleeps.Pauses(), {100u, 250u, 500u}));

    EXPECT_EQ(Read("Eeprom.Family"), "4660");
    EXPECT_EQ(Read("Eeprom.SerialNum"), "3430008");
    EXPECT_EQ(Info().openHandles + Info().openDevices, 0u);
    EXPECT_EQ(kvtest::AlertTexts(KV_ALERT_REPORT).size(), 1u);

    // A second start is refused and changes nothing.
    kvemu::ClearJournal();
    EXPECT_EQ(board->Start(), KV_E_START_FAILED);
    EXPECT_EQ(Messages(KV_SEVERITY_ERROR),
              Texts{"CKvBoard::Start() - Board state must be 'IDLE' before starting.  Try stopping board\n"});
    EXPECT_TRUE(kvemu::Journal().empty());
}

TEST_F(StartStopTest, KeywordsShapeTheStart) {
    using Settings = std::vector<std::pair<const char*, const char*>>;
    const struct { const char* what; Settings settings; bool (*holds)(); } cases[] = {
        {"no heartbeat at rate 0", {{"HeartbeatRate", "0"}}, [] { return !Info().heartbeat; }},
        {"auto connections nail nothing on a clock master", {{"Clocking.HBus.ClockMode", "MASTER_A"}},
         [] { return Connections() == 0; }},
        {"auto connections nail on a standalone board, clocks left alone", {},
         [] { uint32_t record[9]; return Connections() > 0 && !kvemu::GetClockRecord(0, 0, record); }},
        {"clocks configured with the override", {{"CFBEMCoverride", "enable"}}, [] {
             uint32_t record[9];
             return kvemu::GetClockRecord(0, 0, record) && kvtest::AnyAlertContains("Clocks configured internally\n");
         }},
        {"line power off where disabled",
         {{"HighBatteryEnable", "Disable"}, {"ExternalRingerEnable", "Disable"}, {"RingVoltageEnable", "Disable"},
          {"SignalingLoopbackEnable", "Enable"}},
         [] { return (Register(KV_REG_LINE_POWER) & 0x1F) == 0x13; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        for (const auto& setting : c.settings) Set(setting.first, setting.second);
        ASSERT_EQ(board->Start(), 0u);
        EXPECT_TRUE(c.holds());
    }
}

TEST_F(StartStopTest, AFailingStepEndsIdleWithItsMessageAndNothingOpen) {
    // The error sent, or its start; null: the step's own message only.
    const struct { const char* function; uint32_t status; const char* message; } cases[] = {
        {"kvOpenByBusDeviceFunction", 2, "CKvBoard::Start() - failed to open driver 1 (0x00000001)\n"},
        {"BoardSetLogicalNumber", 5, "Error 5 (00000005h) assigning logical board number 0 to the board in 0:0.\n"},
        {"BoardEEPROMGetData", 5, "CKvBoard::Start() - failed to read eeprom 5 (0x00000005)\n"},
        {"hmic_init", static_cast<uint32_t>(-3083), "inithmic rc "},
        {"open", EACCES, "Open of /dev/kvsw00 failed, errno 13\n"},
        {"ioctl", EIO, nullptr},
        {"BoardLoadL2PTable", 5, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        kvtest::ClearAlerts();
        kvemu::SetFault(c.function, c.status, 1);
        EXPECT_EQ(board->Start(), KV_E_START_FAILED);
        EXPECT_STREQ(board->GetState(), "IDLE");
        EXPECT_TRUE(c.message ? kvtest::AnyAlertContains(c.message) : !Messages(KV_SEVERITY_ERROR).empty());
        EXPECT_EQ(Info().openHandles + Info().openDevices, 0u);
        kvemu::ClearFaults();
        // The board can be started again at once, and stopped.
        ASSERT_EQ(board->Start(), 0u);
        ASSERT_EQ(board->Stop(), 0u);
    }
}

TEST_F(StartStopTest, StopSwitchesTheLinePowerOffAndHoldsTheBoardInReset) {
    EXPECT_EQ(board->Stop(), 0u);  // an idle board stops without touching anything
    EXPECT_TRUE(kvemu::Journal().empty());

    ASSERT_EQ(board->Start(), 0u);
    kvemu::ClearJournal();
    sleeps.Clear();
    ASSERT_EQ(board->Stop(), 0u);
    EXPECT_STREQ(board->GetState(), "IDLE");
    EXPECT_TRUE(InOrder(Calls(), {"kvOpenByBusDeviceFunction", "BoardStopHeartBeat", "BoardWriteByte", "kvClose"}));
    EXPECT_EQ(sleeps.Pauses(), std::vector<unsigned>{1200});
    EXPECT_EQ(Register(KV_REG_LINE_POWER) & 0x1F, 0x01);
    EXPECT_EQ(Register(KV_REG_RESET) & 0x0E, 0x0E);
    EXPECT_EQ(board->m_FileList[0], '\0');

    // A failing heartbeat stop is only a warning; a board out of reach is still stopped.
    ASSERT_EQ(board->Start(), 0u);
    kvtest::ClearAlerts();
    kvemu::SetFault("BoardStopHeartBeat", 5, 1);
    ASSERT_EQ(board->Stop(), 0u);
    EXPECT_EQ(Messages(KV_SEVERITY_WARNING),
              Texts{"CKvBoard::Stop() - BoardStopHeartBeat() failed with return code 5 (00000005h)\n"});
    ASSERT_EQ(board->Start(), 0u);
    Set("OamTraceMask", "4");
    kvemu::SetFault("kvOpenByBusDeviceFunction", 2, 1);
    ASSERT_EQ(board->Stop(), 0u);
    EXPECT_STREQ(board->GetState(), "IDLE");
    EXPECT_TRUE(kvtest::AnyAlertContains("CKVBoard::Stop() - could not access board.\n"));
}

TEST_F(StartStopTest, TestAndSendBufferAreNotSupported) {
    EXPECT_EQ(board->Test(0), KV_E_NOT_SUPPORTED);
    EXPECT_EQ(board->SendBuffer("x", 1), KV_E_NOT_SUPPORTED);
    EXPECT_EQ(Messages(KV_SEVERITY_WARNING), Texts{"Test not supported.\n"});
    EXPECT_EQ(Messages(KV_SEVERITY_INFORM), Texts{"CKvBoard::SendBuffer()\n"});
}

}  // namespace
