// A board's start, stop and report, through the entry points, against the emulated board. The driver calls of
// whole starts are compared with the golden journals (tests/journals); here what they cannot show.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <sstream>

#include "KvRegisters.h"
#include "fixtures.h"
#include "temp_dir.h"

namespace {

using kvtest::Info;
using kvtest::Messages;
using kvtest::Register;
using kvtest::Texts;

// The register writes of the journal, "ADDRESS VALUE" in order, up to the call named until.
Texts Writes(const std::string& until = "") {
    Texts writes;
    for (const std::string& call : kvtest::Calls()) {
        if (kvtest::CallOf("0:0 " + call) == until) break;
        if (call.rfind("BoardWriteByte ", 0) == 0) writes.push_back(call.substr(15, call.find(" =") - 15));
    }
    return writes;
}

using StartStopTest = kvtest::PluginFixture;

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
    EXPECT_EQ(Messages(kvtest::kError), Texts{});
    // Before the logical number: control bit 3 off, line power off (ringer active low), resets on, bit 4
    // pulsed.
    EXPECT_EQ(
        Writes("BoardSetLogicalNumber"),
        (Texts{"0xa0006 0xf3", "0xa0002 0xfb", "0xa0002 0xf9", "0xa0002 0xf1", "0xa0002 0xf1", "0xa0002 0xe1",
               "0xa0003 0x10", "0xa0003 0x14", "0xa0003 0x1c", "0xa0003 0x1e", "0xa0003 0xe"}));
    // Batteries and ring voltage on, ringer on (bit 0 low), no loopback; resets released but bit 2.
    EXPECT_EQ(Register(KV_REG_LINE_POWER), 0xEE);
    EXPECT_EQ(Register(KV_REG_RESET), 0x04);
    EXPECT_EQ(Register(KV_REG_CONTROL), 0xF7);
    // After the DSP reset, the DSP start, the line power, and before the temperatures.
    EXPECT_EQ(pauses.Pauses(), (std::vector<unsigned>{100, 1000, 250, 500}));
    std::string fields;
    for (const char* field : {"Family", "TestLevel", "TestLevelRev", "SoftwareCompatibility", "OAMProductNo",
                              "MFGYear", "MFGWeek", "ATETestBit", "SerialNum", "AssemblyRevision"})
        fields += Read(("Eeprom." + std::string(field)).c_str()) + " ";
    EXPECT_EQ(fields, "4660 770 7 5 17185 2003 42 1 305419896 265 ");
    EXPECT_EQ(Info().heartbeatRate, 7u);
    EXPECT_EQ(Info().openHandles + Info().openDevices, 0u);
    EXPECT_EQ(kvtest::AlertTexts(0x40002002).size(), 1u);
    // A second start is refused and changes nothing.
    kvemu::ClearJournal();
    EXPECT_EQ(StartBoard("b0"), 0x4000010Cu);
    EXPECT_EQ(Messages(kvtest::kError),
              Texts{"CKvBoard::Start() - Board state must be 'IDLE' before starting.  Try stopping board\n"});
    EXPECT_TRUE(kvemu::Journal().empty());
}

TEST_F(StartStopTest, KeywordsShapeTheStart) {
    // The line power as the monitor reports it to the supervisor: the batteries, the ring voltage, the
    // ringer.
    auto power = [](const char* low, const char* high, const char* ring, const char* ringer) {
        return kvtest::WaitForAlert(
            std::string(" Low Battery:            ") + low + "\n High Battery:           " + high +
            "\n Ring Voltage:           " + ring + "\n External Ringer Enable: " + ringer + "\n");
    };
    // Settings "KEYWORD=VALUE ..." made before the start, and what then holds.
    const std::pair<const char*, std::function<bool()>> cases[] = {
        {"HeartbeatRate=0", [] { return kvtest::Calls("BoardStartHeartBeat").empty(); }},
        {"Clocking.HBus.ClockMode=MASTER_A",  // automatic connections: none on a clock master
         [] {
             std::vector<kvemu::Connection> made;
             return kvemu::GetConnections(0, 0, &made) == 0 && made.empty();
         }},
        {"CFBEMCoverride=enable",
         [] {
             uint32_t record[9];
             return kvemu::GetClockRecord(0, 0, record) &&
                    kvtest::AnyAlertContains("Clocks configured internally\n");
         }},
        {"HighBatteryEnable=Disable ExternalRingerEnable=Disable RingVoltageEnable=Disable "
         "SignalingLoopbackEnable=Enable MonitorEnable=Enable",
         [&] {
             return (Register(KV_REG_LINE_POWER) & 0x1F) == 0x13 &&
                    power("present", "not present", "not present", "disabled");
         }},
        {"HighBatteryEnable=Disable LowBatteryEnable=Disable MonitorEnable=Enable",
         [&] {
             return (Register(KV_REG_LINE_POWER) & 0x1F) == 0x08 &&
                    power("not present", "not present", "present", "enabled");
         }},
    };
    for (const auto& [settings, holds] : cases) {
        TearDown();
        SetUp();
        std::istringstream words(settings);
        for (std::string word; words >> word;)
            Set(word.substr(0, word.find('=')).c_str(), word.substr(word.find('=') + 1).c_str());
        ASSERT_EQ(StartBoard("b0"), 0u);
        EXPECT_TRUE(holds()) << settings;
    }
}

// Every failing step leaves the board IDLE with nothing open (fault_sweep_test); here, each one's message.
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
        kvtest::ClearAlerts();
        kvemu::SetFault(c.function, c.status, 1);
        EXPECT_EQ(StartBoard("b0"), 0x4000010Cu);
        EXPECT_EQ(Messages(kvtest::kError), c.errors) << c.function;
        kvemu::ClearFaults();
    }
}

TEST_F(StartStopTest, StopSwitchesTheLinePowerOffAndHoldsTheBoardInReset) {
    EXPECT_EQ(StopBoard("b0"), 0u);  // an idle board stops without touching anything
    EXPECT_TRUE(kvemu::Journal().empty());
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(StartBoard("b0"), 0u);
        kvemu::ClearJournal();
        pauses.Clear();
        ASSERT_EQ(StopBoard("b0"), 0u);
        EXPECT_EQ(Read("State"), "IDLE");
        EXPECT_EQ(pauses.Pauses(), std::vector<unsigned>{1200});
        // Heartbeat off; feeds and loopback off, ringer off (active low), then the resets on, each in turn.
        EXPECT_EQ(kvtest::CallOf("0:0 " + kvtest::Calls()[1]), "BoardStopHeartBeat");
        EXPECT_EQ(Writes(), (Texts{"0xa0002 0x6", "0xa0002 0x2", "0xa0002 0x0", "0xa0002 0x1", "0xa0002 0x1",
                                   "0xa0003 0x4", "0xa0003 0x6", "0xa0003 0xe"}));
        EXPECT_EQ(kvtest::Calls().back(), "kvClose = 0");
        EXPECT_FALSE(Info().heartbeat);
    }
    // The stop forgot the files of the first run: the second report lists each file once.
    const std::string report = kvtest::AlertTexts(0x40002002).back();
    EXPECT_EQ(report.find("kv100.dsp"), report.rfind("kv100.dsp"));
    // A failing heartbeat stop is only a warning; a board out of reach is still stopped.
    ASSERT_EQ(StartBoard("b0"), 0u);
    kvtest::ClearAlerts();
    kvemu::SetFault("BoardStopHeartBeat", 5, 1);
    ASSERT_EQ(StopBoard("b0"), 0u);
    EXPECT_EQ(Messages(kvtest::kWarning),
              Texts{"CKvBoard::Stop() - BoardStopHeartBeat() failed with return code 5 (00000005h)\n"});
    ASSERT_EQ(StartBoard("b0"), 0u);
    Set("OamTraceMask", "4");
    kvemu::SetFault("kvOpenByBusDeviceFunction", 2, 1);
    ASSERT_EQ(StopBoard("b0"), 0u);
    EXPECT_EQ(Read("State"), "IDLE");
    EXPECT_TRUE(kvtest::AnyAlertContains("CKVBoard::Stop() - could not access board.\n"));
    EXPECT_EQ(Messages(kvtest::kError),
              Texts{"CKvBoard::Stop() - could not access board; line power may still be on.\n"});
}

// ---- The board report -------------------------------------------------------------------------------

// A row of the station table; a timeslot below 0 shows as not fitted.
std::string Row(int first, int a, int b, int c) {
    const int timeslots[3] = {a, b, c};
    std::string row = "|";
    for (int i = 0; i < 3; ++i) {
        char cell[40], timeslot[12] = "xx";
        if (timeslots[i] >= 0) snprintf(timeslot, sizeof(timeslot), "%02d", timeslots[i]);
        snprintf(cell, sizeof(cell), "   %02d       %s     |  ", first + 16 * i, timeslot);
        row += cell;
    }
    return row + " \n";
}

class ReportTest : public kvtest::PluginFixture {
protected:
    void Boot(uint8_t population, const char* rawMap = "Disable") {
        kvemu::WriteRegister(0, 0, KV_REG_POPULATION, population);
        Set("RawMap", rawMap);
        ASSERT_EQ(StartBoard("b0"), 0u);
    }
    std::string Report() {
        Texts reports = kvtest::AlertTexts(0x40002002, 0);
        EXPECT_EQ(reports.size(), 1u);
        return reports.empty() ? "" : reports.back();
    }
};

TEST_F(ReportTest, ReportShowsEveryFieldOfTheBoard) {
    ASSERT_NO_FATAL_FAILURE(Boot(0x60));
    kvemu::SetPhysicalSlot(0, 0, 0x1A, 0x2B);
    for (unsigned i = 0; i < 5; ++i) kvemu::SetTemperature(0, 0, i, 30 + static_cast<int>(i));
    ASSERT_EQ(board->m_pThermos->GetElement(3)->SetKeywordValue("Enable", "Disable"), 0u);
    kvtest::ClearAlerts();
    pauses.Clear();
    // The DSP commands: the information, then one read per enabled sensor; sensor 1's gets no answer.
    kvemu::SetFault("kvSendMessage", 110, 3);
    ASSERT_EQ(board->GenerateReport(), 0u);
    EXPECT_EQ(pauses.Pauses(), std::vector<unsigned>{500});  // the pause before the temperatures
    const std::string report = Report();
    // The emulator's EEPROM record and DSP image, one value per field.
    const std::string head =
        "Pci bus: 0\nPci slot: 0\nShelf Address: 001A\nGeographic Address: 002B\n"
        "EEPROM.Family:              0x7400\nEEPROM.TestLevel:           0x0003\n"
        "EEPROM.TestLevelRev:        0x01\nEEPROM.SoftwareComp:        0x02\n"
        "EEPROM.OAMProductNo:        0x0148\nEEPROM.MFGYear:             2004\n"
        "EEPROM.MFGWeek:             23\nEEPROM.ATETestBit:          0x01\n"
        "EEPROM.SerialNum:           100234\nEEPROM.AssemblyRevision:    5\n";
    std::string tail =
        "\nDriver version: 2.3\nDSP Firmware Revision: 02.03\nDSP Mips Version:      100\n"
        "DSP Number Ports:      48\nDSP Cpu Meter:         12.3\nDSP Tokens Available:  64\n"
        "Temperature[0]: 30 degrees C\nTemperature[1]: -1 degrees C\n"
        "Temperature[2]: 32 degrees C\nTemperature[4]: 34 degrees C\n"
        "\n---------------------------------------------------------------\n"
        "  port group 1-16   |  port group 17-32   |  port group 33-48\n"
        "       present      |       present       |     not present\n"
        "                    |                     |\n"
        "  station timeslot  |  station  timeslot  |  station timeslot\n"
        "---------------------------------------------------------------\n";
    for (int row = 0; row < 16; ++row) tail += Row(1 + row, row, 16 + row, -1);
    tail += "\n";
    ASSERT_GT(report.size(), head.size() + tail.size());
    EXPECT_EQ(report.substr(0, head.size()), head);
    EXPECT_EQ(report.substr(report.size() - tail.size()), tail);
    // Between them the files read, one line each, in the order they were read, the path padded to 40.
    const std::string files = report.substr(head.size(), report.size() - head.size() - tail.size());
    size_t at = 0;
    for (const char* file : {"kv7400cpci_48.dft", "k7allsl6.slc", "kv100.dsp"}) {
        char line[512];
        snprintf(line, sizeof(line), "%-40s   (", (std::string(KV_SHARE_DIR) + "/" + file).c_str());
        EXPECT_EQ(files.compare(at, strlen(line), line), 0) << files;
        at = files.find('\n', at) + 1;
    }
    EXPECT_EQ(at, files.size());
}

TEST_F(ReportTest, RawMapShowsEveryTimeslotAndTheDriverVersionIsNeeded) {
    ASSERT_NO_FATAL_FAILURE(Boot(0x60, "Enable"));
    const std::string report = Report();
    EXPECT_NE(report.find(Row(1, 0, 16, 32)), std::string::npos);
    EXPECT_EQ(report.find("xx"), std::string::npos);
    kvtest::ClearAlerts();
    kvemu::SetFault("BoardGetDriverVersion", 5, 1);
    EXPECT_EQ(board->GenerateReport(), 1u);
    EXPECT_TRUE(kvtest::AlertTexts(0x40002002).empty());
    EXPECT_EQ(Messages(kvtest::kError), Texts{"BoardGetDriverVersion ret_code 00000005 \n"});
}

TEST_F(ReportTest, ReportTextIsSentAsItIsEvenWithPercentSigns) {
    kvtest::TempDir temp;
    std::filesystem::path dir = std::filesystem::path(temp.path) / "w%n%s%d";
    std::filesystem::create_directory(dir);
    for (const char* file : {"kv100.dsp", "k7allsl6.slc"})
        std::filesystem::copy_file(std::filesystem::path(KV_SHARE_DIR) / file, dir / file);
    board->SetSearchPath(dir.c_str());
    ASSERT_NO_FATAL_FAILURE(Boot(0xE0));
    EXPECT_NE(Report().find(dir.string() + "/kv100.dsp"), std::string::npos);
}

}  // namespace
