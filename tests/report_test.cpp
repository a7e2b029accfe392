// The board report: location, EEPROM, files, versions, temperatures and the station table.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "KvRegisters.h"
#include "Supervisor.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvboardplugin.h"
#include "kvemu.h"
#include "oam/boardplugin.h"
#include "temp_dir.h"

namespace {

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

class ReportTest : public ::testing::Test {
protected:
    void TearDown() override { Exit(); }

    // Starts b0 with the files found in search.
    void Boot(uint8_t population, const char* rawMap = "Disable", const char* search = KV_SHARE_DIR) {
        kvemu::Reset();
        kvemu::WriteRegister(0, 0, KV_REG_POPULATION, population);
        setenv("WBLOAD", search, 1);
        ASSERT_EQ(Init(""), 0u);
        ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
        board = dynamic_cast<CKvBoard*>(boardPlugin->GetBoardByName("b0"));
        ASSERT_NE(board, nullptr);
        ASSERT_EQ(board->SetKeywordValue("MonitorEnable", "Disable"), 0u);
        ASSERT_EQ(board->SetKeywordValue("RawMap", rawMap), 0u);
        kvtest::ClearAlerts();
        ASSERT_EQ(StartBoard("b0"), 0u);
    }
    std::string Report() {
        std::vector<std::string> reports = kvtest::AlertTexts(KV_ALERT_REPORT, 0);
        EXPECT_EQ(reports.size(), 1u);
        return reports.empty() ? "" : reports.back();
    }

    kvtest::SleepRecorder sleeps;
    CKvBoard* board = nullptr;
};

TEST_F(ReportTest, ReportShowsEveryFieldOfTheBoard) {
    ASSERT_NO_FATAL_FAILURE(Boot(0x60));
    kvemu::SetPhysicalSlot(0, 0, 0x1A, 0x2B);
    for (unsigned i = 0; i < 5; ++i) kvemu::SetTemperature(0, 0, i, 30 + static_cast<int>(i));
    ASSERT_EQ(board->m_pThermos->GetElement(3)->SetKeywordValue("Enable", "Disable"), 0u);
    kvtest::ClearAlerts();
    sleeps.Clear();
    // The DSP commands: the information, then one read per enabled sensor; sensor 1's gets no answer.
    kvemu::SetFault("kvSendMessage", 110, 3);
    ASSERT_EQ(board->GenerateReport(), 0u);
    EXPECT_EQ(sleeps.Pauses(), std::vector<unsigned>{500});  // the pause before the temperatures

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
    // Between them the files read, one line each, in the order they were read, the path padded to 40
    // characters.
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

TEST_F(ReportTest, RawMapShowsEveryTimeslot) {
    ASSERT_NO_FATAL_FAILURE(Boot(0x60, "Enable"));
    std::string report = Report();
    EXPECT_NE(report.find(Row(1, 0, 16, 32)), std::string::npos);
    EXPECT_EQ(report.find("xx"), std::string::npos);
}

TEST_F(ReportTest, WithoutTheDriverVersionTheReportIsAbandoned) {
    ASSERT_NO_FATAL_FAILURE(Boot(0xE0));
    kvtest::ClearAlerts();
    kvemu::SetFault("BoardGetDriverVersion", 5, 1);
    EXPECT_EQ(board->GenerateReport(), 1u);
    EXPECT_TRUE(kvtest::AlertTexts(KV_ALERT_REPORT).empty());
    EXPECT_EQ(kvtest::AlertTexts(KV_ALERT_MESSAGE, KV_SEVERITY_ERROR),
              std::vector<std::string>{"BoardGetDriverVersion ret_code 00000005 \n"});
}

TEST_F(ReportTest, ReportTextIsSentAsItIsEvenWithPercentSigns) {
    kvtest::TempDir temp;
    std::filesystem::path dir = std::filesystem::path(temp.path) / "w%n%s%d";
    std::filesystem::create_directory(dir);
    for (const char* file : {"kv100.dsp", "k7allsl6.slc"})
        std::filesystem::copy_file(std::filesystem::path(KV_SHARE_DIR) / file, dir / file);
    ASSERT_NO_FATAL_FAILURE(Boot(0xE0, "Disable", dir.c_str()));
    EXPECT_NE(Report().find(dir.string() + "/kv100.dsp"), std::string::npos);
}

}  // namespace
