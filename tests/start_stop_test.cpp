// A board's start, stop and test sequences, through the entry points, against the emulated board.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "KvRegisters.h"
#include "Supervisor.h"
#include "emulated_board.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"
#include "oam/boardplugin.h"

namespace {

using Texts = std::vector<std::string>;
using kvtest::Info;
using kvtest::Messages;
using kvtest::Register;

// Whether wanted appear in the journal's calls in this order (others may come between).
::testing::AssertionResult CallsInOrder(const Texts& wanted) {
    Texts calls;
    for (const std::string& line : kvemu::Journal()) calls.push_back(kvtest::CallOf(line));
    auto at = calls.begin();
    for (const std::string& want : wanted) {
        at = std::find(at, calls.end(), want);
        if (at++ == calls.end()) return ::testing::AssertionFailure() << "missing or out of order: " << want;
    }
    return ::testing::AssertionSuccess();
}

// The register writes of the journal, "ADDRESS VALUE" in order, up to the call named until.
Texts Writes(const std::string& until = "") {
    Texts writes;
    for (const std::string& line : kvemu::Journal()) {
        if (kvtest::CallOf(line) == until) break;
        if (kvtest::CallOf(line) == "BoardWriteByte") writes.push_back(line.substr(19, line.find(" =") - 19));
    }
    return writes;
}

class StartStopTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(board = kvtest::InitWithBoard(), 0u);
        Set("MonitorEnable", "Disable");
        kvemu::ClearJournal();
        kvtest::ClearAlerts();
        sleeps.Clear();
    }
    void TearDown() override {
        kvemu::ClearFaults();
        Exit();
    }

    void Set(const char* name, const char* value) { ASSERT_EQ(SetKeyword(board, name, value), 0u) << name; }
    std::string Read(const char* name) { return kvtest::Keyword(board, name); }

    kvtest::SleepRecorder sleeps;
    uint64_t board = 0;
};

TEST_F(StartStopTest, StartRunsTheSequenceInOrderAndLeavesTheBoardRunning) {
    // Every byte differs from its neighbours, so that a field read at a wrong offset or size shows.
    const uint8_t eeprom[24] = {0x34, 0x12, 0x02, 0x03, 0x07, 0x05, 0x21, 0x43, 0xD3, 0x07, 0x2A, 0x01,
                                0x78, 0x56, 0x34, 0x12, 0xEE, 0xDD, 0xCC, 0xBB, 0x09, 0x01, 0x00, 0x00};
    ASSERT_EQ(kvemu::SetEeprom(0, 0, eeprom), 0);
    // Bits that each write turns over on their own, so that the order of the writes shows.
    kvemu::WriteRegister(0, 0, KV_REG_LINE_POWER, 0xFF);
    kvemu::WriteRegister(0, 0, KV_REG_RESET, 0x00);
    kvemu::WriteRegister(0, 0, KV_REG_CONTROL, 0xFB);
    Set("HeartbeatRate", "7");

    ASSERT_EQ(StartBoard("b0"), 0u);
    EXPECT_EQ(Read("State"), "BOOTED");
    EXPECT_EQ(Messages(KV_SEVERITY_ERROR), Texts{});
    // The calls and their order, the DSP's law and sensor thresholds among them, are compared whole with the
    // golden journals (kvoam_e2e_test). Before the
    // logical number: control bit 3 off, line power off (ringer active low), reset bits on, bit 4 pulsed.
    EXPECT_EQ(
        Writes("BoardSetLogicalNumber"),
        (Texts{"0xa0006 0xf3", "0xa0002 0xfb", "0xa0002 0xf9", "0xa0002 0xf1", "0xa0002 0xf1", "0xa0002 0xe1",
               "0xa0003 0x10", "0xa0003 0x14", "0xa0003 0x1c", "0xa0003 0x1e", "0xa0003 0xe"}));
    // Defaults: batteries and ring voltage on, ringer on (bit 0 low), no loopback; resets released but bit 2.
    EXPECT_EQ(Register(KV_REG_LINE_POWER), 0xEE);
    EXPECT_EQ(Register(KV_REG_RESET), 0x04);
    EXPECT_EQ(Register(KV_REG_CONTROL), 0xF7);
    // After the DSP reset, the DSP start, the line power, and before the temperatures.
    EXPECT_EQ(sleeps.Pauses(), (std::vector<unsigned>{100, 1000, 250, 500}));

    const struct {
        const char* keyword;
        const char* value;
    } fields[] = {{"Family", "4660"},         {"TestLevel", "770"},
                  {"TestLevelRev", "7"},      {"SoftwareCompatibility", "5"},
                  {"OAMProductNo", "17185"},  {"MFGYear", "2003"},
                  {"MFGWeek", "42"},          {"ATETestBit", "1"},
                  {"SerialNum", "305419896"}, {"AssemblyRevision", "265"}};
    for (const auto& field : fields)
        EXPECT_EQ(Read(("Eeprom." + std::string(field.keyword)).c_str()), field.value);

    EXPECT_TRUE(Info().heartbeat);
    EXPECT_EQ(Info().heartbeatRate, 7u);
    EXPECT_EQ(Info().openHandles + Info().openDevices, 0u);
    EXPECT_EQ(kvtest::AlertTexts(KV_ALERT_REPORT).size(), 1u);

    // A second start is refused and changes nothing.
    kvemu::ClearJournal();
    EXPECT_EQ(StartBoard("b0"), 0x4000010Cu);
    EXPECT_EQ(Messages(KV_SEVERITY_ERROR),
              Texts{"CKvBoard::Start() - Board state must be 'IDLE' before starting.  Try stopping board\n"});
    EXPECT_TRUE(kvemu::Journal().empty());
}

TEST_F(StartStopTest, KeywordsShapeTheStart) {
    using Settings = std::vector<std::pair<const char*, const char*>>;
    auto connections = [] {
        std::vector<kvemu::Connection> made;
        return kvemu::GetConnections(0, 0, &made), made.size();
    };
    auto clockSent = [] {
        uint32_t record[9];
        return kvemu::GetClockRecord(0, 0, record);
    };
    const struct {
        const char* what;
        Settings settings;
        std::function<bool()> holds;
    } cases[] = {
        {"no heartbeat at rate 0", {{"HeartbeatRate", "0"}}, [] { return !Info().heartbeat; }},
        {"auto connections nail nothing on a clock master",
         {{"Clocking.HBus.ClockMode", "MASTER_A"}},
         [&] { return connections() == 0; }},
        {"clocks configured with the override",
         {{"CFBEMCoverride", "enable"}},
         [&] { return clockSent() && kvtest::AnyAlertContains("Clocks configured internally\n"); }},
        // Each feed on its own, as the monitor reports it to the supervisor.
        {"line power off where disabled",
         {{"HighBatteryEnable", "Disable"},
          {"ExternalRingerEnable", "Disable"},
          {"RingVoltageEnable", "Disable"},
          {"SignalingLoopbackEnable", "Enable"},
          {"MonitorEnable", "Enable"}},
         [] {
             return (Register(KV_REG_LINE_POWER) & 0x1F) == 0x13 &&
                    kvtest::WaitForAlert(
                        " Low Battery:            present\n High Battery:           not present\n"
                        " Ring Voltage:           not present\n External Ringer Enable: disabled\n");
         }},
        {"ring voltage alone",
         {{"HighBatteryEnable", "Disable"}, {"LowBatteryEnable", "Disable"}, {"MonitorEnable", "Enable"}},
         [] {
             return (Register(KV_REG_LINE_POWER) & 0x1F) == 0x08 &&
                    kvtest::WaitForAlert(
                        " Low Battery:            not present\n High Battery:           not present\n"
                        " Ring Voltage:           present\n External Ringer Enable: enabled\n");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        for (const auto& setting : c.settings) Set(setting.first, setting.second);
        ASSERT_EQ(StartBoard("b0"), 0u);
        EXPECT_TRUE(c.holds());
    }
}

// The fault sweep shows that every failing step leaves the board IDLE with nothing open; here, the messages
// (those of the logical number and the switch reset in board_test and switch_test).
TEST_F(StartStopTest, AFailingStepSendsItsMessage) {
    const struct {
        const char* function;
        uint32_t status;
        Texts errors;
    } cases[] = {
        {"kvOpenByBusDeviceFunction", 2, {"CKvBoard::Start() - failed to open driver 1 (0x00000001)\n"}},
        {"BoardEEPROMGetData", 5, {"CKvBoard::Start() - failed to read eeprom 5 (0x00000005)\n"}},
        {"BoardDspReset", 5, {"BoardDspReset rc 00000005\n"}},
        {"kvGetHmicHandle", 5, {"kvGetHmicHandle rc 00000005\n"}},
        {"BoardFlashLedOn", 5, {"BoardFlashLedOn rc 00000005\n"}},
        {"hmic_init",
         static_cast<uint32_t>(-3083),
         {"hmic_init() returns -3083\n", "inithmic rc 00000001\n"}},
        {"BoardFlashLedOff", 5, {"BoardFlashLedOff rc 00000005\n"}},
        {"open", EACCES, {"Open of /dev/kvsw00 failed, errno 13\n"}},
        {"BoardLoadL2PTable", 5, {"BoardLoadL2PTable rc 5 (00000005h)\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        kvtest::ClearAlerts();
        kvemu::SetFault(c.function, c.status, 1);
        EXPECT_EQ(StartBoard("b0"), 0x4000010Cu);
        EXPECT_EQ(Messages(KV_SEVERITY_ERROR), c.errors);
        kvemu::ClearFaults();
    }
}

TEST_F(StartStopTest, StopSwitchesTheLinePowerOffAndHoldsTheBoardInReset) {
    EXPECT_EQ(StopBoard("b0"), 0u);  // an idle board stops without touching anything
    EXPECT_TRUE(kvemu::Journal().empty());

    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(StartBoard("b0"), 0u);
        kvemu::ClearJournal();
        sleeps.Clear();
        ASSERT_EQ(StopBoard("b0"), 0u);
        EXPECT_EQ(Read("State"), "IDLE");
        EXPECT_TRUE(
            CallsInOrder({"kvOpenByBusDeviceFunction", "BoardStopHeartBeat", "BoardWriteByte", "kvClose"}));
        EXPECT_EQ(sleeps.Pauses(), std::vector<unsigned>{1200});
        // Feeds and loopback off, ringer off (active low), then the resets on, each in its turn.
        EXPECT_EQ(Writes(), (Texts{"0xa0002 0x6", "0xa0002 0x2", "0xa0002 0x0", "0xa0002 0x1", "0xa0002 0x1",
                                   "0xa0003 0x4", "0xa0003 0x6", "0xa0003 0xe"}));
        EXPECT_FALSE(Info().heartbeat);
    }
    // The stop forgot the files of the first run: the second report lists each file once.
    const std::string report = kvtest::AlertTexts(KV_ALERT_REPORT).back();
    EXPECT_EQ(report.find("kv100.dsp"), report.rfind("kv100.dsp"));

    // A failing heartbeat stop is only a warning; a board out of reach is still stopped.
    ASSERT_EQ(StartBoard("b0"), 0u);
    kvtest::ClearAlerts();
    kvemu::SetFault("BoardStopHeartBeat", 5, 1);
    ASSERT_EQ(StopBoard("b0"), 0u);
    EXPECT_EQ(Messages(KV_SEVERITY_WARNING),
              Texts{"CKvBoard::Stop() - BoardStopHeartBeat() failed with return code 5 (00000005h)\n"});
    ASSERT_EQ(StartBoard("b0"), 0u);
    Set("OamTraceMask", "4");
    kvemu::SetFault("kvOpenByBusDeviceFunction", 2, 1);
    ASSERT_EQ(StopBoard("b0"), 0u);
    EXPECT_EQ(Read("State"), "IDLE");
    EXPECT_TRUE(kvtest::AnyAlertContains("CKVBoard::Stop() - could not access board.\n"));
    EXPECT_EQ(Messages(KV_SEVERITY_ERROR),
              Texts{"CKvBoard::Stop() - could not access board; line power may still be on.\n"});
}

}  // namespace
