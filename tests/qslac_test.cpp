// Line circuits: the QSLAC objects, the coefficient-file parser, the port and
// file mapping and the line hardware set-up on the emulator.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "PortGroup.h"
#include "Qslac.h"
#include "QslacFile.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"

namespace {

const uint32_t kRejected = 0xFFFFFFFFu;
using Bytes = std::vector<uint8_t>;

TEST(QslacTest, SettersCheckChannelAndValue) {
    cQslac q(nullptr);
    EXPECT_EQ(q.m_Timeslots[3], kRejected);
    EXPECT_EQ(q.SetTimeslot(3, 15), 0u);
    EXPECT_EQ(q.m_Timeslots[3], 15u);
    EXPECT_EQ(q.SetEncodingAlaw(1), 0u);
    EXPECT_EQ(q.SetEncodingUlaw(2), 0u);
    EXPECT_EQ(q.m_Encodings[1] * 100 + q.m_Encodings[2], 1743u);
    EXPECT_EQ(q.SetTimeslot(4, 1) & q.SetEncodingAlaw(4) & q.SetEncodingUlaw(7), kRejected);
    // Only the five low bits are directions; a refused value leaves the channel unset.
    const struct { unsigned channel; uint8_t value; uint32_t result, stored; } directions[] = {
        {0, 0x1F, 0, 0x1F}, {1, 0x00, 0, 0}, {2, 0x20, kRejected, kRejected}, {3, 0xE3, kRejected, kRejected}};
    for (const auto& d : directions) {
        EXPECT_EQ(q.SetSlicIoDirection(d.channel, d.value), d.result) << d.channel;
        EXPECT_EQ(q.m_SlicIoDirections[d.channel], d.stored) << d.channel;
    }
    EXPECT_EQ(q.SetSlicIoDirection(4, 1), kRejected);
    cPort port;
    EXPECT_EQ(q.SetPort(0, nullptr) & q.SetPort(4, &port), kRejected);
    EXPECT_EQ(q.SetPort(2, &port), 0u);
    EXPECT_EQ(q.m_ChannelPorts[2], &port);
    q.SetFilename(0, "a.slc");
    q.SetFilename(0, "");  // an empty name keeps the one set
    EXPECT_STREQ(q.GetFilename(0), "a.slc");
    const std::string longName(400, 'n');
    q.SetFilename(1, longName.c_str());
    EXPECT_EQ(std::string(q.GetFilename(1)), longName.substr(0, 255));
}

// Parses the text with the given capacity; false when refused.
bool Parse(const std::string& text, Bytes* bytes, uint32_t capacity = 512) {
    cQslacFile file(nullptr, "x");
    file.m_pStream = tmpfile();
    fwrite(text.data(), 1, text.size(), file.m_pStream);
    rewind(file.m_pStream);
    Bytes buffer(capacity + 1, 0xEE);
    uint32_t count = 0;
    const bool ok = file.Parse(buffer.data(), capacity, &count) == 0;
    if (ok) bytes->assign(buffer.begin(), buffer.begin() + count);
    EXPECT_EQ(buffer[capacity], 0xEE) << "wrote past the capacity";
    return ok;
}

std::string Values(unsigned n) {
    std::string s;
    for (unsigned i = 0; i < n; ++i) s += (i % 16 == 15) ? "5a\n" : "5a ";
    return s;
}

TEST(QslacFileTest, ParsesHexTokensCommentsLinesAndCapacity) {
    const struct { const char* name; std::string text; bool ok; Bytes bytes; } cases[] = {
        {"comments", "0x1f 2A ; gains\n# second line\n", true, {0x1F, 0x2A}},
        {"low eight bits", "1FF 0x100 ffffffff\n", true, {0xFF, 0x00, 0xFF}},
        {"digits end a token", "12g 0x3z\n", true, {0x12, 0x03}},
        {"tabs, CR and blank lines", "\t01\t02 \r\n\n   \t \r\n03\r04\n", true, {0x01, 0x02, 0x03}},
        {"comment right after a value", "7#8\n9;a\n", true, {0x07, 0x09}},
        {"no final line feed", "aa bb", true, {0xAA, 0xBB}},
        {"only comments", "# nothing\n;\n", true, {}},
        // 255 characters are read at a time: the token is cut after "12345".
        {"line split in pieces", std::string(250, ' ') + "12345678\n", true, {0x45, 0x78}},
        {"not a number", "01 zz 02\n", false, {}},
        {"lone sign", "01 - 02\n", false, {}},
        {"vertical tab is a token", "01 \v 02\n", false, {}},
        {"512 values", Values(512), true, Bytes(512, 0x5A)},
        {"513 values", Values(513), false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes;
        EXPECT_EQ(Parse(c.text, &bytes), c.ok);
        EXPECT_EQ(bytes, c.bytes);
    }
    Bytes bytes;
    EXPECT_FALSE(Parse(Values(5), &bytes, 4));
    EXPECT_TRUE(Parse(Values(4) + "# tail\n\n", &bytes, 4));
    // A file never opened is refused; names compare without regard to case.
    cQslacFile file(nullptr, "Custom.slc"), same(nullptr, "CUSTOM.SLC"), other(nullptr, "other.slc");
    uint8_t buffer[4];
    uint32_t count = 0;
    EXPECT_EQ(file.Parse(buffer, sizeof(buffer), &count), kRejected);
    EXPECT_EQ(file.Compare(&same), 0);
    EXPECT_NE(file.Compare(&other), 0);
    EXPECT_EQ(file.AddPort(nullptr), kRejected);
}

class LineHardwareTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        char pattern[] = "/tmp/kvslcXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Dir = pattern;
        setenv("WBLOAD", m_Dir.c_str(), 1);
        const std::pair<const char*, const char*> files[] = {
            {"k7allsl6.slc", "# default\n01 02 03\n"}, {"custom.slc", "0xA0 0xA1\n"}, {"broken.slc", "01 zz\n"}};
        for (const auto& f : files) {
            FILE* file = fopen((m_Dir + "/" + f.first).c_str(), "wb");
            ASSERT_NE(file, nullptr);
            fputs(f.second, file);
            fclose(file);
        }
    }
    void TearDown() override {
        for (const char* f : {"k7allsl6.slc", "custom.slc", "broken.slc"}) unlink((m_Dir + "/" + f).c_str());
        rmdir(m_Dir.c_str());
        unsetenv("WBLOAD");
    }

    // A board with the given per-port files, mapped and set up.
    void Configure(CKvBoard& board, const std::vector<std::pair<unsigned, const char*>>& files = {}) {
        for (const auto& f : files)
            ASSERT_EQ(board.SetKeywordValue(("Port[" + std::to_string(f.first) + "].Qslac.File").c_str(), f.second), 0u);
        ASSERT_EQ(board.MapPortGroups(), 0u);
        board.MapQslacFilesToPorts();
        board.ConfigureLineInterfaceHardware();
    }
    static kvemu::PortInfo Port(unsigned n) {
        kvemu::PortInfo info;
        EXPECT_EQ(kvemu::GetPortInfo(0, 0, n, &info), 0);
        return info;
    }
    static std::vector<std::string> Calls(const std::string& name) {
        std::vector<std::string> lines;
        for (const std::string& line : kvemu::Journal())
            if (line.find(" " + name + " ") != std::string::npos) lines.push_back(line);
        return lines;
    }
    static std::vector<std::string> Errors() { return kvtest::AlertTexts(0x40002001, 2); }

    std::string m_Dir;
};

TEST_F(LineHardwareTest, BootSendsTheCommandStringsOfEveryCircuit) {
    ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, 0x20), 0);  // only stations 1-16 fitted
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(board.SetKeywordValue("Encoding", "ALaw"), 0u);
    ASSERT_EQ(board.MapPortGroups(), 0u);
    // Channel 2 of the second circuit of the last group back to mu-law.
    cList<cQslac>::Next(board.m_PortGroups.m_Tail->m_Qslacs.Head())->SetEncodingUlaw(2);
    board.MapQslacFilesToPorts();
    board.ConfigureLineInterfaceHardware();
    ASSERT_EQ(board.m_Ports.m_Count, 48u);
    unsigned port = 0;
    for (cPort* p = board.m_Ports.Head(); p != nullptr; p = cList<cPort>::Next(p), ++port) {
        SCOPED_TRACE(port);
        const unsigned c = port % 4;
        EXPECT_EQ(p->m_Number, port);
        EXPECT_EQ(p->m_Channel, c);
        EXPECT_EQ(p->m_Qslac->m_ChannelPorts[c], p);
        const uint8_t slot = uint8_t(port % 16), direction = (port % 16 < 4 && c < 3) ? 0 : 3;
        std::vector<Bytes> expected;
        if (c == 0) expected = {{0x46, 0x82}, {0x44, 0x40, 0xC8, 0x00}};
        expected.push_back({0x4A, uint8_t(0x20 + (1 << c)), 0x40, slot, 0x42, slot, 0x52, 0x3F, 0x54, direction,
                            0x60, uint8_t(port == 38 ? 0x7F : 0x3F), 0x6C, 0xFF, 0x70, 0x00, 0x0E});
        // Every port gets coefficients and gains, fitted or not.
        const kvemu::PortInfo info = Port(port);
        EXPECT_EQ(info.commands, expected);
        EXPECT_EQ(info.coefficientLoads, 1u);
        EXPECT_EQ(info.coefficients, (Bytes{1, 2, 3}));
        EXPECT_TRUE(info.gxSet && info.grSet);
        EXPECT_EQ((std::vector<unsigned>{info.gx[0], info.gx[1], info.gr[0], info.gr[1]}),
                  (std::vector<unsigned>{164, 64, 162, 81}));
    }
    EXPECT_TRUE(Errors().empty());
}

TEST_F(LineHardwareTest, BootFailuresArePrintedAndTheBootGoesOn) {
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(board.MapPortGroups(), 0u);
    board.MapQslacFilesToPorts();
    // Calls 1 and 2 of the first circuit: step 1 is not examined, step 2 is.
    ASSERT_EQ(kvemu::SetFault("LineConfigureSingle", 5, 1), 0);
    ASSERT_EQ(kvemu::SetFault("LineConfigureSingle", 7, 2), 0);
    testing::internal::CaptureStdout();
    board.m_PortGroups.Head()->m_Qslacs.Head()->Boot();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "LineConfigureSingle returns 7\n");
    EXPECT_EQ(Calls("LineConfigureSingle").size(), 6u);
    EXPECT_EQ(Port(3).commands.size(), 1u);
}

TEST_F(LineHardwareTest, PerPortFilesGroupPortsByName) {
    CKvBoard board("b0", "KV 7400C-48");
    Configure(board, {{5, "custom.slc"}, {6, "CUSTOM.SLC"}});
    ASSERT_EQ(board.m_QslacFiles.m_Count, 2u);
    EXPECT_EQ(board.m_QslacFiles.Head()->GetPortList().m_Count, 46u);
    EXPECT_EQ(cList<cQslacFile>::Next(board.m_QslacFiles.Head())->GetPortList().m_Count, 2u);
    // One load per file, naming exactly its ports.
    std::string ports;
    for (unsigned p = 0; p < 48; ++p)
        if (p != 5 && p != 6) ports += std::to_string(p) + " ";
    EXPECT_EQ(Calls("LineConfigureMultiple"),
              (std::vector<std::string>{"0:0 LineConfigureMultiple " + ports + "0x1 0x2 0x3 = 0",
                                        "0:0 LineConfigureMultiple 5 6 0xa0 0xa1 = 0"}));
    EXPECT_EQ(Port(5).coefficients, (Bytes{0xA0, 0xA1}));
    EXPECT_EQ(Port(7).coefficients, (Bytes{1, 2, 3}));
    char list[KV_FILE_LIST_SIZE];
    board.PrintFileList(list, sizeof(list));
    EXPECT_NE(std::string(list).find(m_Dir + "/k7allsl6.slc"), std::string::npos);
    EXPECT_NE(std::string(list).find(m_Dir + "/custom.slc"), std::string::npos);
}

TEST_F(LineHardwareTest, FailuresAreReportedAndTheSetUpGoesOn) {
    struct Fault { const char* function; uint32_t status; unsigned nth; };
    const struct {
        const char* name;
        bool noDefault;
        std::vector<std::pair<unsigned, const char*>> files;
        std::vector<Fault> faults;
        std::vector<std::string> errors;
        const char* ports;  // ports 0, 1, 2, 3, 9 and 47: coefficient loads, gx and gr set
    } cases[] = {
        {"bad files", false, {{0, "broken.slc"}, {1, "missing.slc"}, {47, "custom.slc"}}, {},
         {"Could not parse file " + m_Dir + "/broken.slc\n",
          "File 'missing.slc (*.slc)' not found in path '" + m_Dir + "'\n", "Could not open file 'missing.slc'\n"},
         "0gr 0gr 1gr 1gr 1gr 1gr "},
        {"driver failures", false, {{9, "custom.slc"}},
         {{"LineConfigureMultiple", 22, 1}, {"LineSetGxZeroValues", 6, 3}, {"LineSetGrZeroValues", 5, 48}},
         {"LineConfigureMultiple returns 22\n", "LineSetGxZeroValues returns 6\n", "LineSetGrZeroValues returns 5\n"},
         "0gr 0gr 0-r 0gr 1gr 0g- "},
        {"no default keyword", true, {}, {},
         {"CKvBoard::MapQslacFilesToPorts() - expected keyword 'DefaultQslacFile' not found\n"},
         "0gr 0gr 0gr 0gr 0gr 0gr "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvemu::Reset();
        kvtest::ClearAlerts();
        for (const Fault& f : c.faults) ASSERT_EQ(kvemu::SetFault(f.function, f.status, f.nth), 0);
        CKvBoard board("b0", "KV 7400C-48");
        if (c.noDefault) board.RemoveKeyword("DefaultQslacFile");
        Configure(board, c.files);
        EXPECT_EQ(Errors(), c.errors);
        EXPECT_EQ(board.m_Ports.m_Count, 48u);
        std::string ports;
        for (unsigned p : {0, 1, 2, 3, 9, 47}) {
            const kvemu::PortInfo info = Port(p);
            ports += std::to_string(info.coefficientLoads) + (info.gxSet ? "g" : "-") + (info.grSet ? "r " : "- ");
        }
        EXPECT_EQ(ports, c.ports);
    }
}

TEST_F(LineHardwareTest, ShippedCoefficientFileLoads) {
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    CKvBoard board("b0", "KV 7400C-48");
    Configure(board);
    EXPECT_TRUE(Errors().empty());
    EXPECT_EQ(Port(47).coefficientLoads, 1u);
    EXPECT_FALSE(Port(47).coefficients.empty());
}

}  // namespace
