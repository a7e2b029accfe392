// The line side: the station map, coefficient files, and the set-up of the line circuits. The table, the
// circuits' command strings, coefficients and gains of whole starts (each law, each population, "RawMap") are
// compared with the golden journals; here what they cannot show.
#include <gtest/gtest.h>

#include "KvRegisters.h"
#include "PortGroup.h"
#include "QslacFile.h"
#include "fixtures.h"
#include "temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kvtest::Texts;

TEST(QslacFileTest, ParsesHexTokensCommentsLinesAndCapacity) {
    auto values = [](unsigned n) {
        std::string s;
        while (n--) s += n % 16 ? "5a " : "5a\n";
        return s;
    };
    const std::tuple<std::string, bool, Bytes> cases[] = {
        {"0x1f 2A ; gains\n# second\n7#8\n", true, {0x1F, 0x2A, 0x07}},
        {"1FF 0x100 12g\n", true, {0xFF, 0x00, 0x12}},
        {"\t01\t02 \r\n\n   \t \r\n03\r04\n", true, {0x01, 0x02, 0x03}},
        {std::string(250, ' ') + "12345678\n",
         true,
         {0x45, 0x78}},  // read 255 characters at a time: "12345", "678"
        {"01 zz 02\n", false, {}},
        {values(512), true, Bytes(512, 0x5A)},
        {values(513), false, {}},
    };
    for (const auto& [text, ok, bytes] : cases) {
        cQslacFile file(nullptr, "x");
        file.m_pStream = tmpfile();
        fwrite(text.data(), 1, text.size(), file.m_pStream), rewind(file.m_pStream);
        Bytes buffer(513, 0xEE);
        uint32_t count = 0;
        EXPECT_EQ(file.Parse(buffer.data(), 512, &count) == 0, ok) << text;
        EXPECT_EQ(ok ? Bytes(buffer.begin(), buffer.begin() + count) : Bytes{}, bytes) << text;
        EXPECT_EQ(buffer[512], 0xEE) << "wrote past the capacity";
    }
}

class LinesTest : public kvtest::BoardFixture {
protected:
    void SetUp() override {
        BoardFixture::SetUp();
        board->SetSearchPath(temp.path.c_str());
        temp.Write("k7allsl6.slc", "# default\n01 02 03\n");
        temp.Write("custom.slc", "0xA0 0xA1\n");
        temp.Write("broken.slc", "01 zz\n");
    }
    // The board mapped and set up with the given per-port files.
    void Configure(const std::vector<std::pair<unsigned, const char*>>& files = {}) {
        for (const auto& [port, file] : files)
            ASSERT_EQ(board->SetKeywordValue(("Port[" + std::to_string(port) + "].Qslac.File").c_str(), file),
                      0u);
        ASSERT_EQ(board->MapPortGroups(), 0u);
        board->MapQslacFilesToPorts();
        board->ConfigureLineInterfaceHardware();
    }
    kvtest::TempDir temp;
};

TEST_F(LinesTest, RemappingRebuildsGroupsFromScratchAndAnUnreadablePopulationEndsTheMap) {
    ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, 0xE0), 0);
    ASSERT_EQ(board->MapPortGroups(), 0u);
    board->MapQslacFilesToPorts();
    ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, 0xA0), 0);
    ASSERT_EQ(board->MapPortGroups(), 0u);
    uint16_t entry = 0;
    EXPECT_EQ(kvemu::GetL2PEntry(0, 0, 0, 16, &entry), 0);
    EXPECT_EQ(entry, 0x0204);  // station 33 now takes logical timeslot 16
    EXPECT_EQ(board->m_Ports.m_Count + board->m_QslacFiles.m_Count, 0u);
    EXPECT_EQ(cList<cPortGroup>::Next(board->m_PortGroups.Head())->GetLogicalTimeslot(17),
              -1);  // the earlier run's
    // A population that cannot be read ends the map before any station is given out or any table loaded.
    board.reset(new CKvBoard("b0", "KV 7400C-48"));
    kvemu::Reset();
    ASSERT_EQ(kvemu::SetFault("BoardReadByte", 5, 1), 0);
    EXPECT_EQ(board->MapPortGroups(), 1u);
    EXPECT_EQ(kvtest::Messages(kvtest::kError),
              Texts{"CKvBoard::MapPortGroups() - BoardReadByte(000a0008h) returns 5 (00000005h)\n"});
    EXPECT_FALSE(kvemu::L2PLoaded(0, 0));
    EXPECT_EQ(board->m_PortGroups.Head()->m_Qslacs.m_Count, 0u);
    EXPECT_EQ(board->m_PortGroups.Head()->GetLogicalTimeslot(1), -1);
}

// A failing boot step is printed and the boot goes on; step 1 is not examined, step 2 is.
TEST_F(LinesTest, AFailingBootStepIsPrintedAndTheBootGoesOn) {
    Configure();
    EXPECT_TRUE(kvtest::Alerts().empty());
    kvemu::ClearJournal();
    ASSERT_EQ(kvemu::SetFault("LineConfigureSingle", 5, 1) + kvemu::SetFault("LineConfigureSingle", 7, 2), 0);
    testing::internal::CaptureStdout();
    board->m_PortGroups.Head()->m_Qslacs.Head()->Boot();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "LineConfigureSingle returns 7\n");
    EXPECT_EQ(kvemu::Journal().size(), 6u);
}

TEST_F(LinesTest, PerPortFilesGroupPortsByName) {
    Configure({{5, "custom.slc"}, {6, "CUSTOM.SLC"}});
    // One load per file, naming exactly its ports.
    std::string ports;
    for (unsigned p = 0; p < 48; ++p) ports += p == 5 || p == 6 ? "" : std::to_string(p) + " ";
    EXPECT_EQ(kvtest::Calls("LineConfigureMultiple"),
              (Texts{"LineConfigureMultiple " + ports + "0x1 0x2 0x3 = 0",
                     "LineConfigureMultiple 5 6 0xa0 0xa1 = 0"}));
}

TEST_F(LinesTest, FailuresAreReportedAndTheSetUpGoesOn) {
    struct Fault {
        const char* function;
        uint32_t status;
        unsigned nth;
    };
    const struct {
        std::vector<std::pair<unsigned, const char*>> files;
        std::vector<Fault> faults;
        Texts errors;
        const char* ports;  // coefficient loads, gx and gr set of ports 0, 1, 2, 3, 9 and 47
    } cases[] = {
        {{{0, "broken.slc"}, {1, "missing.slc"}, {47, "custom.slc"}},
         {},
         {"Could not parse file " + temp.path + "/broken.slc\n",
          "File 'missing.slc (*.slc)' not found in path '" + temp.path + "'\n",
          "Could not open file 'missing.slc'\n"},
         "0gr 0gr 1gr 1gr 1gr 1gr "},
        {{{9, "custom.slc"}},
         {{"LineConfigureMultiple", 22, 1}, {"LineSetGxZeroValues", 6, 3}, {"LineSetGrZeroValues", 5, 48}},
         {"LineConfigureMultiple returns 22\n", "LineSetGxZeroValues returns 6\n",
          "LineSetGrZeroValues returns 5\n"},
         "0gr 0gr 0-r 0gr 1gr 0g- "},
    };
    for (const auto& c : cases) {
        SetUp();
        for (const Fault& f : c.faults) ASSERT_EQ(kvemu::SetFault(f.function, f.status, f.nth), 0);
        Configure(c.files);
        EXPECT_EQ(kvtest::Messages(kvtest::kError), c.errors);
        std::string ports;
        for (unsigned p : {0, 1, 2, 3, 9, 47}) {
            kvemu::PortInfo info;
            EXPECT_EQ(kvemu::GetPortInfo(0, 0, p, &info), 0);
            ports +=
                std::to_string(info.coefficientLoads) + (info.gxSet ? "g" : "-") + (info.grSet ? "r " : "- ");
        }
        EXPECT_EQ(ports, c.ports);
    }
}

}  // namespace
