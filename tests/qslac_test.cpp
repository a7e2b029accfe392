// Line circuits: QSLAC objects, coefficient files, port mapping and line set-up.
#include "Qslac.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "PortGroup.h"
#include "QslacFile.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"
#include "temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(QslacTest, SettersRefuseChannelsAndValuesOutOfRange) {
    cQslac q(nullptr);
    cPort port;
    EXPECT_EQ(q.SetTimeslot(4, 1) & q.SetSlicIoDirection(4, 1) & q.SetPort(4, &port) & q.SetPort(0, nullptr) &
                  q.SetSlicIoDirection(2, 0x20),  // only the five low bits are directions
              0xFFFFFFFFu);
    EXPECT_EQ(q.m_SlicIoDirections[2], 0xFFFFFFFFu);  // a refused value leaves the channel unset
    const std::string longName(400, 'n');
    q.SetFilename(1, longName.c_str());
    q.SetFilename(1, "");  // an empty name keeps the one set
    EXPECT_EQ(std::string(q.GetFilename(1)), longName.substr(0, 255));
}

// Parses the text with the given capacity; false when refused.
bool Parse(const std::string& text, Bytes* bytes, uint32_t capacity = 512) {
    cQslacFile file(nullptr, "x");
    file.m_pStream = tmpfile();
    fwrite(text.data(), 1, text.size(), file.m_pStream), rewind(file.m_pStream);
    Bytes buffer(capacity + 1, 0xEE);
    uint32_t count = 0;
    const bool ok = file.Parse(buffer.data(), capacity, &count) == 0;
    if (ok) bytes->assign(buffer.begin(), buffer.begin() + count);
    EXPECT_EQ(buffer[capacity], 0xEE) << "wrote past the capacity";
    return ok;
}

TEST(QslacFileTest, ParsesHexTokensCommentsLinesAndCapacity) {
    auto values = [](unsigned n) {
        std::string s;
        while (n--) s += n % 16 ? "5a " : "5a\n";
        return s;
    };
    const struct {
        std::string text;
        bool ok;
        Bytes bytes;
    } cases[] = {
        {"0x1f 2A ; gains\n# second\n7#8\n", true, {0x1F, 0x2A, 0x07}},
        {"1FF 0x100 12g\n", true, {0xFF, 0x00, 0x12}},
        {"\t01\t02 \r\n\n   \t \r\n03\r04\n", true, {0x01, 0x02, 0x03}},
        // 255 characters are read at a time: the token is cut after "12345".
        {std::string(250, ' ') + "12345678\n", true, {0x45, 0x78}},
        {"01 zz 02\n", false, {}},
        {values(512), true, Bytes(512, 0x5A)},
        {values(513), false, {}},
    };
    for (const auto& c : cases) {
        Bytes bytes;
        EXPECT_EQ(Parse(c.text, &bytes), c.ok) << c.text;
        EXPECT_EQ(bytes, c.bytes) << c.text;
    }
}

class LineHardwareTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        setenv("WBLOAD", m_Dir.c_str(), 1);
        for (const auto& f : kFiles) {
            FILE* file = fopen((m_Dir + "/" + f[0]).c_str(), "wb");
            ASSERT_NE(file, nullptr);
            fputs(f[1], file), fclose(file);
        }
    }
    void TearDown() override { unsetenv("WBLOAD"); }
    static constexpr const char* kFiles[3][2] = {
        {"k7allsl6.slc", "# default\n01 02 03\n"}, {"custom.slc", "0xA0 0xA1\n"}, {"broken.slc", "01 zz\n"}};

    // A board with the given per-port files, mapped and set up.
    void Configure(CKvBoard& board, const std::vector<std::pair<unsigned, const char*>>& files = {}) {
        for (const auto& f : files)
            ASSERT_EQ(
                board.SetKeywordValue(("Port[" + std::to_string(f.first) + "].Qslac.File").c_str(), f.second),
                0u);
        ASSERT_EQ(board.MapPortGroups(), 0u);
        board.MapQslacFilesToPorts();
        board.ConfigureLineInterfaceHardware();
    }
    static kvemu::PortInfo Port(unsigned n) {
        kvemu::PortInfo info;
        EXPECT_EQ(kvemu::GetPortInfo(0, 0, n, &info), 0);
        return info;
    }

    kvtest::TempDir m_Temp;
    const std::string m_Dir = m_Temp.path;
};

// Every circuit's command strings, coefficients and gains, for each law and population, are compared whole
// with the golden journals (kvoam_e2e_test). A failing step is printed and the boot goes on; step 1 is not
// examined, step 2 is.
TEST_F(LineHardwareTest, AFailingBootStepIsPrintedAndTheBootGoesOn) {
    CKvBoard board("b0", "KV 7400C-48");
    Configure(board);
    EXPECT_TRUE(kvtest::Alerts().empty());
    kvemu::ClearJournal();
    ASSERT_EQ(kvemu::SetFault("LineConfigureSingle", 5, 1), 0);
    ASSERT_EQ(kvemu::SetFault("LineConfigureSingle", 7, 2), 0);
    testing::internal::CaptureStdout();
    board.m_PortGroups.Head()->m_Qslacs.Head()->Boot();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "LineConfigureSingle returns 7\n");
    EXPECT_EQ(kvemu::Journal().size(), 6u);
}

TEST_F(LineHardwareTest, PerPortFilesGroupPortsByName) {
    CKvBoard board("b0", "KV 7400C-48");
    Configure(board, {{5, "custom.slc"}, {6, "CUSTOM.SLC"}});
    // One load per file, naming exactly its ports.
    std::string ports;
    for (unsigned p = 0; p < 48; ++p)
        if (p != 5 && p != 6) ports += std::to_string(p) + " ";
    std::vector<std::string> loads;
    for (const std::string& line : kvemu::Journal())
        if (line.find(" LineConfigureMultiple ") != std::string::npos) loads.push_back(line);
    EXPECT_EQ(loads, (std::vector<std::string>{"0:0 LineConfigureMultiple " + ports + "0x1 0x2 0x3 = 0",
                                               "0:0 LineConfigureMultiple 5 6 0xa0 0xa1 = 0"}));
}

TEST_F(LineHardwareTest, FailuresAreReportedAndTheSetUpGoesOn) {
    struct Fault {
        const char* function;
        uint32_t status;
        unsigned nth;
    };
    // ports: coefficient loads, gx and gr set of ports 0, 1, 2, 3, 9 and 47.
    const struct {
        std::vector<std::pair<unsigned, const char*>> files;
        std::vector<Fault> faults;
        std::vector<std::string> errors;
        const char* ports;
    } cases[] = {
        {{{0, "broken.slc"}, {1, "missing.slc"}, {47, "custom.slc"}},
         {},
         {"Could not parse file " + m_Dir + "/broken.slc\n",
          "File 'missing.slc (*.slc)' not found in path '" + m_Dir + "'\n",
          "Could not open file 'missing.slc'\n"},
         "0gr 0gr 1gr 1gr 1gr 1gr "},
        {{{9, "custom.slc"}},
         {{"LineConfigureMultiple", 22, 1}, {"LineSetGxZeroValues", 6, 3}, {"LineSetGrZeroValues", 5, 48}},
         {"LineConfigureMultiple returns 22\n", "LineSetGxZeroValues returns 6\n",
          "LineSetGrZeroValues returns 5\n"},
         "0gr 0gr 0-r 0gr 1gr 0g- "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ports);
        kvemu::Reset();
        kvtest::ClearAlerts();
        for (const Fault& f : c.faults) ASSERT_EQ(kvemu::SetFault(f.function, f.status, f.nth), 0);
        CKvBoard board("b0", "KV 7400C-48");
        Configure(board, c.files);
        EXPECT_EQ(kvtest::AlertTexts(0x40002001, 2), c.errors);
        std::string ports;
        for (unsigned p : {0, 1, 2, 3, 9, 47}) {
            const kvemu::PortInfo info = Port(p);
            ports +=
                std::to_string(info.coefficientLoads) + (info.gxSet ? "g" : "-") + (info.grSet ? "r " : "- ");
        }
        EXPECT_EQ(ports, c.ports);
    }
}

}  // namespace
