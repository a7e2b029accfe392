// The board report: location, EEPROM, files, versions, temperatures and the station table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Supervisor.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvboardplugin.h"
#include "kvemu.h"
#include "oam/boardplugin.h"

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
    void SetUp() override {
        kvemu::Reset();
        setenv("WBLOAD", KV_SHARE_DIR, 1);
    }
    void TearDown() override { if (boardPlugin != nullptr) Exit(); }

    void Boot(uint8_t population, const char* rawMap = "Disable") {
        kvemu::WriteRegister(0, 0, KV_REG_POPULATION, population);
        ASSERT_EQ(Init(""), 0u);
        ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
        board = dynamic_cast<CKvBoard*>(boardPlugin->GetBoardByName("b0"));
        ASSERT_NE(board, nullptr);
        ASSERT_EQ(board->SetKeywordValue("MonitorEnable", "Disable"), 0u);
        ASSERT_EQ(board->SetKeywordValue("RawMap", rawMap), 0u);
        kvtest::ClearAlerts();
        ASSERT_EQ(board->Start(), 0u);
    }
    std::string Report() {
        std::vector<std::string> reports = kvtest::AlertTexts(KV_ALERT_REPORT, 0);
        EXPECT_EQ(reports.size(), 1u);
        return reports.empty() ? "" : reports.back();
    }

    kvtest::SleepRecorder sleeps;
    CKvBoard* board = nullptr;
};

TEST_F(ReportTest, StationTableShowsOnlyFittedGroupsTimeslots) {
    ASSERT_NO_FATAL_FAILURE(Boot(0x60));
    std::string report = Report();
    EXPECT_EQ(report.rfind("Pci bus: 0\nPci slot: 0\nShelf Address: ", 0), 0u);
    // The file list ends in one empty line before the driver version.
    size_t driver = report.find("\n\nDriver version: 2.3\n");
    ASSERT_NE(driver, std::string::npos);
    EXPECT_NE(report[driver - 1], '\n');

    std::string table = "\n---------------------------------------------------------------\n"
                        "  port group 1-16   |  port group 17-32   |  port group 33-48\n"
                        "       present      |       present       |     not present\n"
                        "                    |                     |\n"
                        "  station timeslot  |  station  timeslot  |  station timeslot\n"
                        "---------------------------------------------------------------\n";
    for (int row = 0; row < 16; ++row) table += Row(1 + row, row, 16 + row, -1);
    EXPECT_EQ(report.substr(report.size() - std::min(report.size(), table.size() + 1)), table + "\n");
}

TEST_F(ReportTest, RawMapShowsEveryTimeslot) {
    ASSERT_NO_FATAL_FAILURE(Boot(0x60, "Enable"));
    std::string report = Report();
    EXPECT_NE(report.find(Row(1, 0, 16, 32)), std::string::npos);
    EXPECT_EQ(report.find("xx"), std::string::npos);
}

TEST_F(ReportTest, ReportShowsEachSensorsReadingOrMinusOneAndNeedsTheDriverVersion) {
    ASSERT_NO_FATAL_FAILURE(Boot(0xE0));
    for (unsigned i = 0; i < 5; ++i) kvemu::SetTemperature(0, 0, i, 30 + static_cast<int>(i));
    ASSERT_EQ(board->m_pThermos->GetElement(3)->SetKeywordValue("Enable", "Disable"), 0u);
    kvtest::ClearAlerts();
    sleeps.Clear();
    // The DSP commands: the information, then one read per enabled sensor; sensor 1's gets no answer.
    kvemu::SetFault("kvSendMessage", 110, 3);
    ASSERT_EQ(board->GenerateReport(), 0u);
    EXPECT_NE(Report().find("Temperature[0]: 30 degrees C\nTemperature[1]: -1 degrees C\n"
                            "Temperature[2]: 32 degrees C\nTemperature[4]: 34 degrees C\n\n-----"),
              std::string::npos);
    EXPECT_EQ(sleeps.Pauses(), std::vector<unsigned>{500});  // the pause before the temperatures

    // Without the driver version the report is abandoned.
    kvtest::ClearAlerts();
    kvemu::SetFault("BoardGetDriverVersion", 5, 1);
    EXPECT_EQ(board->GenerateReport(), 1u);
    EXPECT_TRUE(kvtest::AlertTexts(KV_ALERT_REPORT).empty());
    EXPECT_EQ(kvtest::AlertTexts(KV_ALERT_MESSAGE, KV_SEVERITY_ERROR),
              std::vector<std::string>{"BoardGetDriverVersion ret_code 00000005 \n"});
}

TEST_F(ReportTest, ReportTextIsSentAsItIsEvenWithPercentSigns) {
    char base[] = "/tmp/kvreportXXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    std::filesystem::path dir = std::filesystem::path(base) / "w%n%s%d";
    std::filesystem::create_directory(dir);
    for (const char* file : {"kv100.dsp", "k7allsl6.slc"})
        std::filesystem::copy_file(std::filesystem::path(KV_SHARE_DIR) / file, dir / file);
    setenv("WBLOAD", dir.c_str(), 1);
    ASSERT_NO_FATAL_FAILURE(Boot(0xE0));
    EXPECT_NE(Report().find(dir.string() + "/kv100.dsp"), std::string::npos);
    Exit();
    std::filesystem::remove_all(base);
}

}  // namespace
