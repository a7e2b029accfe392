// Line circuits: the QSLAC objects, the coefficient-file parser, the port and
// file mapping and the line hardware set-up on the emulator.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
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

// ---- cQslac -------------------------------------------------------------------

TEST(QslacTest, SettersCheckChannelAndValue) {
    cQslac q(nullptr);
    for (unsigned c = 0; c < 4; ++c) {
        EXPECT_EQ(q.m_Timeslots[c], 0xFFFFFFFFu);
        EXPECT_EQ(q.m_SlicIoDirections[c], 0xFFFFFFFFu);
        EXPECT_EQ(q.m_Encodings[c], 0xFFFFFFFFu);
        EXPECT_EQ(q.m_ChannelPorts[c], nullptr);
        EXPECT_STREQ(q.GetFilename(c), "");
    }

    EXPECT_EQ(q.SetTimeslot(3, 15), 0u);
    EXPECT_EQ(q.m_Timeslots[3], 15u);
    EXPECT_EQ(q.SetTimeslot(4, 1), kRejected);
    EXPECT_EQ(q.SetEncodingAlaw(1), 0u);
    EXPECT_EQ(q.m_Encodings[1], 17u);
    EXPECT_EQ(q.SetEncodingUlaw(2), 0u);
    EXPECT_EQ(q.m_Encodings[2], 43u);
    EXPECT_EQ(q.SetEncodingAlaw(4), kRejected);
    EXPECT_EQ(q.SetEncodingUlaw(7), kRejected);

    struct {
        unsigned channel;
        uint8_t value;
        uint32_t result;
    } directions[] = {{0, 0x1F, 0}, {1, 0x00, 0}, {2, 0x20, kRejected}, {2, 0x80, kRejected},
                      {3, 0xE3, kRejected}, {4, 0x01, kRejected}};
    for (const auto& d : directions) EXPECT_EQ(q.SetSlicIoDirection(d.channel, d.value), d.result);
    EXPECT_EQ(q.m_SlicIoDirections[0], 0x1Fu);
    EXPECT_EQ(q.m_SlicIoDirections[1], 0u);
    EXPECT_EQ(q.m_SlicIoDirections[2], 0xFFFFFFFFu);
    EXPECT_EQ(q.m_SlicIoDirections[3], 0xFFFFFFFFu);

    cPort port;
    EXPECT_EQ(q.SetPort(0, nullptr), kRejected);
    EXPECT_EQ(q.SetPort(4, &port), kRejected);
    EXPECT_EQ(q.SetPort(2, &port), 0u);
    EXPECT_EQ(q.m_ChannelPorts[2], &port);

    q.SetFilename(0, "a.slc");
    q.SetFilename(0, "");  // an empty name keeps the one set
    EXPECT_STREQ(q.GetFilename(0), "a.slc");
    const std::string longName(400, 'n');
    q.SetFilename(1, longName.c_str());
    EXPECT_EQ(std::string(q.GetFilename(1)), longName.substr(0, 255));
    EXPECT_EQ(q.LoopbackOn(0), 0u);
    EXPECT_EQ(q.LoopbackOff(0), 0u);
}

// ---- cQslacFile::Parse ---------------------------------------------------------

struct ParseResult {
    bool ok;
    std::vector<uint8_t> bytes;
};

ParseResult ParseText(const std::string& text, uint32_t capacity = 512) {
    cQslacFile file(nullptr, "x");
    file.m_pStream = tmpfile();
    fwrite(text.data(), 1, text.size(), file.m_pStream);
    rewind(file.m_pStream);
    std::vector<uint8_t> buffer(capacity + 1, 0xEE);
    uint32_t count = 0xDEAD;
    ParseResult r;
    r.ok = file.Parse(buffer.data(), capacity, &count) == 0;
    if (r.ok) r.bytes.assign(buffer.begin(), buffer.begin() + count);
    EXPECT_EQ(buffer[capacity], 0xEE) << "wrote past the capacity";
    return r;
}

std::string Values(unsigned n) {
    std::string s;
    for (unsigned i = 0; i < n; ++i) s += (i % 16 == 15) ? "5a\n" : "5a ";
    return s;
}

TEST(QslacFileTest, ParsesHexTokensCommentsAndLines) {
    // 255 characters are read at a time: the token is cut after "12345".
    const std::string longLine = std::string(250, ' ') + "12345678\n";
    struct Case {
        const char* name;
        std::string text;
        bool ok;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"comments", "0x1f 2A ; gains\n# second line\n", true, {0x1F, 0x2A}},
        {"low eight bits", "1FF 0x100 ffffffff\n", true, {0xFF, 0x00, 0xFF}},
        {"digits end a token", "12g 0x3z\n", true, {0x12, 0x03}},
        {"tabs, CR and blank lines", "\t01\t02 \r\n\n   \t \r\n03\r04\n", true, {0x01, 0x02, 0x03}},
        {"comment right after a value", "7#8\n9;a\n", true, {0x07, 0x09}},
        {"no final line feed", "aa bb", true, {0xAA, 0xBB}},
        {"empty file", "", true, {}},
        {"only comments", "# nothing\n;\n", true, {}},
        {"line split in pieces", longLine, true, {0x45, 0x78}},
        {"not a number", "01 zz 02\n", false, {}},
        {"lone sign", "01 - 02\n", false, {}},
        {"vertical tab is a token", "01 \v 02\n", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ParseResult r = ParseText(c.text);
        EXPECT_EQ(r.ok, c.ok);
        if (c.ok) {
            EXPECT_EQ(r.bytes, c.bytes);
        }
    }
}

TEST(QslacFileTest, BlockHoldsAtMostTheCapacity) {
    ParseResult full = ParseText(Values(512));
    ASSERT_TRUE(full.ok);
    EXPECT_EQ(full.bytes.size(), 512u);
    EXPECT_FALSE(ParseText(Values(513)).ok);
    EXPECT_FALSE(ParseText(Values(5), 4).ok);
    EXPECT_TRUE(ParseText(Values(4) + "# tail\n\n", 4).ok);
}

TEST(QslacFileTest, ClosedFileAndRecords) {
    cQslacFile file(nullptr, "Custom.slc");
    uint8_t buffer[4];
    uint32_t count = 0;
    EXPECT_EQ(file.Parse(buffer, sizeof(buffer), &count), kRejected);

    cQslacFile same(nullptr, "CUSTOM.SLC"), other(nullptr, "other.slc");
    EXPECT_EQ(file.Compare(&same), 0);
    EXPECT_NE(file.Compare(&other), 0);

    EXPECT_EQ(file.AddPort(nullptr), kRejected);
    cPort* port = new cPort;
    port->m_Number = 9;
    EXPECT_EQ(file.AddPort(port), 0u);
    EXPECT_EQ(file.GetPortList().m_Count, 1u);
    EXPECT_EQ(file.GetPortList().Head(), port);  // destroyed with the record
}

// ---- Ports, files and line hardware on the emulator ---------------------------

class LineHardwareTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        char pattern[] = "/tmp/kvslcXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Dir = pattern;
        setenv("WBLOAD", m_Dir.c_str(), 1);
        Write("k7allsl6.slc", "# default\n01 02 03\n");
        Write("custom.slc", "0xA0 0xA1\n");
        Write("broken.slc", "01 zz\n");
    }
    void TearDown() override {
        for (const std::string& f : m_Files) unlink(f.c_str());
        rmdir(m_Dir.c_str());
        unsetenv("WBLOAD");
    }

    void Write(const std::string& name, const std::string& text) {
        std::string path = m_Dir + "/" + name;
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        m_Files.push_back(path);
    }

    static void Configure(CKvBoard& board) {
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

    static std::string PortList(unsigned first, unsigned last, std::vector<unsigned> skip = {}) {
        std::string s;
        for (unsigned p = first; p <= last; ++p) {
            bool skipped = false;
            for (unsigned k : skip) skipped |= k == p;
            if (!skipped) s += std::to_string(p) + " ";
        }
        return s;
    }

    std::string m_Dir;
    std::vector<std::string> m_Files;
};

TEST_F(LineHardwareTest, PortsFollowGroupsCircuitsAndChannels) {
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(board.MapPortGroups(), 0u);
    board.MapQslacFilesToPorts();
    ASSERT_EQ(board.m_Ports.m_Count, 48u);
    unsigned n = 0;
    for (cPort* p = board.m_Ports.Head(); p != nullptr; p = cList<cPort>::Next(p), ++n) {
        EXPECT_EQ(p->m_Number, n);
        EXPECT_EQ(p->m_Channel, n % 4);
        EXPECT_EQ(p->m_Qslac->m_ChannelPorts[n % 4], p);
        EXPECT_EQ(p->m_Qslac->m_Timeslots[n % 4], n % 16);
    }
    ASSERT_EQ(board.m_QslacFiles.m_Count, 1u);
    EXPECT_STREQ(board.m_QslacFiles.Head()->GetName(), "k7allsl6.slc");
    EXPECT_EQ(board.m_QslacFiles.Head()->GetPortList().m_Count, 48u);
}

TEST_F(LineHardwareTest, BootSendsTheCommandStringsOfEveryCircuit) {
    ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, 0x20), 0);  // only stations 1-16 fitted
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(board.SetKeywordValue("Encoding", "ALaw"), 0u);
    ASSERT_EQ(board.MapPortGroups(), 0u);
    // Channel 2 of the second circuit of the last group back to mu-law.
    cQslac* q = cList<cQslac>::Next(board.m_PortGroups.m_Tail->m_Qslacs.Head());
    q->SetEncodingUlaw(2);
    board.MapQslacFilesToPorts();
    board.ConfigureLineInterfaceHardware();

    auto channel = [](unsigned c, uint8_t slot, uint8_t direction, uint8_t law) {
        return std::vector<uint8_t>{0x4A, uint8_t(0x20 + (1 << c)), 0x40, slot, 0x42, slot, 0x52, 0x3F,
                                    0x54, direction, 0x60, law, 0x6C, 0xFF, 0x70, 0x00, 0x0E};
    };
    for (unsigned port = 0; port < 48; ++port) {
        SCOPED_TRACE(port);
        kvemu::PortInfo info = Port(port);
        const unsigned c = port % 4;
        const bool firstCircuit = port % 16 < 4;
        const uint8_t direction = (firstCircuit && c < 3) ? 0 : 3;
        const uint8_t law = port == 38 ? 0x7F : 0x3F;
        std::vector<std::vector<uint8_t>> expected;
        if (c == 0) {
            expected.push_back({0x46, 0x82});
            expected.push_back({0x44, 0x40, 0xC8, 0x00});
        }
        expected.push_back(channel(c, uint8_t(port % 16), direction, law));
        EXPECT_EQ(info.commands, expected);
        // Every port gets coefficients and gains, fitted or not.
        EXPECT_EQ(info.coefficientLoads, 1u);
        EXPECT_EQ(info.coefficients, (std::vector<uint8_t>{1, 2, 3}));
        EXPECT_TRUE(info.gxSet);
        EXPECT_TRUE(info.grSet);
        EXPECT_EQ(info.gx[0], 164u);
        EXPECT_EQ(info.gx[1], 64u);
        EXPECT_EQ(info.gr[0], 162u);
        EXPECT_EQ(info.gr[1], 81u);
    }
    EXPECT_TRUE(kvtest::AlertTexts(0x40002001, 2).empty());
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
    ASSERT_EQ(board.SetKeywordValue("Port[5].Qslac.File", "custom.slc"), 0u);
    ASSERT_EQ(board.SetKeywordValue("Port[6].Qslac.File", "CUSTOM.SLC"), 0u);
    Configure(board);

    ASSERT_EQ(board.m_QslacFiles.m_Count, 2u);
    cQslacFile* custom = cList<cQslacFile>::Next(board.m_QslacFiles.Head());
    EXPECT_EQ(custom->GetPortList().m_Count, 2u);
    EXPECT_EQ(custom->GetPortList().Head()->m_Number, 5u);
    EXPECT_EQ(custom->GetPortList().m_Tail->m_Number, 6u);
    EXPECT_EQ(board.m_QslacFiles.Head()->GetPortList().m_Count, 46u);

    // One load per file, naming exactly its ports.
    std::vector<std::string> loads = Calls("LineConfigureMultiple");
    ASSERT_EQ(loads.size(), 2u);
    EXPECT_EQ(loads[0], "0:0 LineConfigureMultiple " + PortList(0, 47, {5, 6}) + "0x1 0x2 0x3 = 0");
    EXPECT_EQ(loads[1], "0:0 LineConfigureMultiple 5 6 0xa0 0xa1 = 0");
    EXPECT_EQ(Port(5).coefficients, (std::vector<uint8_t>{0xA0, 0xA1}));
    EXPECT_EQ(Port(7).coefficients, (std::vector<uint8_t>{1, 2, 3}));

    // Both files are in the board's file list.
    char list[KV_FILE_LIST_SIZE];
    board.PrintFileList(list, sizeof(list));
    EXPECT_NE(std::string(list).find(m_Dir + "/k7allsl6.slc"), std::string::npos);
    EXPECT_NE(std::string(list).find(m_Dir + "/custom.slc"), std::string::npos);
}

TEST_F(LineHardwareTest, BadFilesAreReportedAndSkipped) {
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(board.SetKeywordValue("Port[0].Qslac.File", "broken.slc"), 0u);
    ASSERT_EQ(board.SetKeywordValue("Port[1].Qslac.File", "missing.slc"), 0u);
    ASSERT_EQ(board.SetKeywordValue("Port[47].Qslac.File", "custom.slc"), 0u);
    Configure(board);

    std::vector<std::string> errors = kvtest::AlertTexts(0x40002001, 2);
    EXPECT_NE(std::find(errors.begin(), errors.end(), "Could not parse file " + m_Dir + "/broken.slc\n"),
              errors.end());
    EXPECT_NE(std::find(errors.begin(), errors.end(), "Could not open file 'missing.slc'\n"), errors.end());
    EXPECT_EQ(Port(0).coefficientLoads, 0u);
    EXPECT_EQ(Port(1).coefficientLoads, 0u);
    EXPECT_EQ(Port(2).coefficientLoads, 1u);
    EXPECT_EQ(Port(47).coefficients, (std::vector<uint8_t>{0xA0, 0xA1}));
    EXPECT_TRUE(Port(0).gxSet);
    EXPECT_TRUE(Port(1).grSet);
}

TEST_F(LineHardwareTest, DriverFailuresAreReportedAndTheSetUpGoesOn) {
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(board.SetKeywordValue("Port[9].Qslac.File", "custom.slc"), 0u);
    ASSERT_EQ(kvemu::SetFault("LineConfigureMultiple", 22, 1), 0);
    ASSERT_EQ(kvemu::SetFault("LineSetGxZeroValues", 6, 3), 0);
    ASSERT_EQ(kvemu::SetFault("LineSetGrZeroValues", 5, 48), 0);
    Configure(board);
    EXPECT_EQ(kvtest::AlertTexts(0x40002001, 2),
              (std::vector<std::string>{"LineConfigureMultiple returns 22\n", "LineSetGxZeroValues returns 6\n",
                                        "LineSetGrZeroValues returns 5\n"}));
    EXPECT_EQ(Port(0).coefficientLoads, 0u);
    EXPECT_EQ(Port(9).coefficientLoads, 1u);
    EXPECT_FALSE(Port(2).gxSet);
    EXPECT_TRUE(Port(3).gxSet);
    EXPECT_FALSE(Port(47).grSet);
}

TEST_F(LineHardwareTest, MissingDefaultKeywordLeavesPortsWithoutFiles) {
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(board.RemoveKeyword("DefaultQslacFile"), 0u);
    Configure(board);
    EXPECT_EQ(kvtest::AlertTexts(0x40002001, 2),
              std::vector<std::string>{
                  "CKvBoard::MapQslacFilesToPorts() - expected keyword 'DefaultQslacFile' not found\n"});
    EXPECT_EQ(board.m_Ports.m_Count, 48u);
    EXPECT_EQ(board.m_QslacFiles.m_Count, 0u);
    EXPECT_TRUE(Calls("LineConfigureMultiple").empty());
    EXPECT_EQ(Calls("LineSetGxZeroValues").size(), 48u);
}

TEST_F(LineHardwareTest, ShippedCoefficientFileLoads) {
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    CKvBoard board("b0", "KV 7400C-48");
    Configure(board);
    EXPECT_TRUE(kvtest::AlertTexts(0x40002001, 2).empty());
    kvemu::PortInfo info = Port(47);
    EXPECT_EQ(info.coefficientLoads, 1u);
    EXPECT_FALSE(info.coefficients.empty());
    EXPECT_LE(info.coefficients.size(), 512u);
}

}  // namespace
