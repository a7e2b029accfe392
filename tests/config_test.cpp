// The board configuration file: line splitting, key expansion, the file
// parser, board creation from a configuration file and the shipped files.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "ConfigFile.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"
#include "oam/boardplugin.h"

namespace {

const uint32_t KV_ALERT = 0x40002001;
using Texts = std::vector<std::string>;

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
Texts Warnings() { return kvtest::AlertTexts(KV_ALERT, 1); }

// A board whose keyword tree is a script: it records every value set, counts
// "Products" and types "Names" as lists, and refuses the "name=value" pairs it
// is told to and any name whose brackets hold more than a 32-bit index (as the
// framework does with a key that could not be expanded).
class RecordingBoard : public CKvBoard {
public:
    RecordingBoard() : CKvBoard("rec", "KV 7400C-48") {}
    unsigned SetKeywordValue(const char* name, const char* value) override {
        sets += (sets.empty() ? "" : "; ") + std::string(name) + "=" + value;
        if (refused.count(std::string(name) + "=" + value) != 0) return ZEL_ERR_UNKNOWN_KEYWORD;
        for (const char* open = strchr(name, '['); open != nullptr; open = strchr(open + 1, '[')) {
            char* end = nullptr;
            unsigned long long index = isdigit(static_cast<unsigned char>(open[1])) ? strtoull(open + 1, &end, 10) : 0;
            if (end == nullptr || *end != ']' || end - open > 11 || index > 0xFFFFFFFFull) return ZEL_ERR_UNKNOWN_KEYWORD;
        }
        return 0;
    }
    unsigned GetKeywordValue(const char* name, char* buffer, unsigned size) override {
        if (strcmp(name, "Products.Count") != 0) return ZEL_ERR_UNKNOWN_KEYWORD;
        snprintf(buffer, size, "0");
        return 0;
    }
    unsigned GetQualifierValue(const char* name, const char* qualifier, char* buffer, unsigned size) override {
        if (strcmp(qualifier, "Type") != 0) return ZEL_ERR_UNKNOWN_QUALIFIER;
        snprintf(buffer, size, "%s", strcmp(name, "Names") == 0 ? "List" : "String");
        return 0;
    }
    std::string sets;  // the keywords set, in order, as "name=value; ..."
    std::set<std::string> refused;
};

// Each test gets its own directory, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        char pattern[] = "/tmp/config_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }
    std::string dir_;
};

class ConfigParser : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        board_.SetSearchPath(dir_.c_str());
    }
    // Applies a key and value; the key buffer must come back unchanged.
    unsigned Apply(const std::string& key, const std::string& value) {
        char buffer[CONFIG_KEY_SIZE];
        snprintf(buffer, sizeof buffer, "%s", key.c_str());
        board_.sets.clear();
        unsigned result = file_.SetComplexKeyword(buffer, value.c_str(), nullptr);
        EXPECT_EQ(std::string(buffer), key) << "key buffer not restored";
        return result;
    }
    unsigned ParseText(const std::string& text) {
        WriteFile(dir_ + "/test.cfg", text);
        EXPECT_EQ(file_.Open(), 0u);
        board_.sets.clear();
        kvtest::ClearAlerts();
        return file_.Parse();
    }
    std::string ParseError(int line, const std::string& text) {
        return "Error parsing file '" + dir_ + "/test.cfg' in line " + std::to_string(line) + ": '" + text + "'\n";
    }
    RecordingBoard board_;
    CConfigFile file_{&board_, "test", "cfg", "rb"};
};

TEST_F(ConfigParser, SplitsKeyAndValue) {
    const std::string key255(255, 'K'), value1023(1023, 'v');
    const unsigned SYNTAX = CONFIG_E_SYNTAX;
    const struct { std::string line; unsigned result; std::string split; } cases[] = {
        // (The file parser's test covers the plain cases.)
        {"", CONFIG_E_NOTHING, "="}, {"   # only a comment = x", CONFIG_E_NOTHING, "="},
        {"  Two Words  =  a  b   ", 0, "Two Words=a  b"}, {"Key\t= v", 0, "Key=v"}, {"Key=#nothing", 0, "Key="},
        {"Key = caf\xC3\xA9", 0, "Key=caf"}, {"Key =", SYNTAX, "="}, {"Key # = value", SYNTAX, "="},
        {"Ke\xC3\xA9 = value", SYNTAX, "="},
        {key255 + "=v", 0, key255 + "=v"}, {key255 + "K=v", SYNTAX, "="},
        {"Key = " + value1023, 0, "Key=" + value1023}, {"Key = " + value1023 + "v", SYNTAX, "="},
        {"Key = " + value1023 + "   # long but the blanks are trimmed later", SYNTAX, "="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("line '" + c.line.substr(0, 60) + "'");
        char key[CONFIG_KEY_SIZE], value[CONFIG_VALUE_SIZE];
        EXPECT_EQ(file_.ParseKeyValFromBuf(c.line.c_str(), key, value), c.result);
        EXPECT_EQ(std::string(key) + "=" + value, c.split);
    }
}

TEST_F(ConfigParser, ExpandsIndexListsAndListValues) {
    const unsigned UNKNOWN = ZEL_ERR_UNKNOWN_KEYWORD, TOO_LONG = CONFIG_E_KEY_TOO_LONG;
    const std::string k245(245, 'k');
    const struct { std::string key, value; unsigned result; std::string sets; } cases[] = {
        {"P[0-2,5].F", "x", 0, "P[0].F=x; P[1].F=x; P[2].F=x; P[5].F=x"},
        {"P[3..4]", "x", 0, "P[3]=x; P[4]=x"}, {"P[7 ,1 -2 ]", "x", 0, "P[7]=x; P[1]=x; P[2]=x"},
        // Blanks may follow a number, never precede one.
        {"P[7, 2]", "x", UNKNOWN, "P[7]=x; P[7, 2]=x"}, {"P[1- 2]", "x", UNKNOWN, "P[1- 2]=x"},
        {"P[5-4]", "x", 0, ""}, {"P[007]", "x", 0, "P[7]=x"},
        {"A[1,2].B[0-1]", "x", 0, "A[1].B[0]=x; A[1].B[1]=x; A[2].B[0]=x; A[2].B[1]=x"},
        // Lists that end early are set as written; indices already applied stay.
        {"P[1,]", "x", UNKNOWN, "P[1]=x; P[1,]=x"}, {"P[]", "x", UNKNOWN, "P[]=x"},
        {"P[1.2]", "x", UNKNOWN, "P[1]=x; P[1.2]=x"}, {"P[1...2]", "x", UNKNOWN, "P[1...2]=x"},
        {"P[x]", "x", UNKNOWN, "P[x]=x"}, {"P]0[", "x", UNKNOWN, "P]0[=x"},
        // Bounds beyond 32 bits are never wrapped into small indices.
        {"P[4294967296]", "x", UNKNOWN, "P[4294967296]=x"},
        {"P[0-18446744073709551617]", "x", UNKNOWN, "P[0-18446744073709551617]=x"},
        {"P[4294967294-4294967295]", "x", 0, "P[4294967294]=x; P[4294967295]=x"},
        // List keywords take one value per blank-separated or quoted word.
        {"Names", "one \"two  words\" three", 0, "Names[0]=one; Names[1]=two  words; Names[2]=three"},
        {"Products", "  a   b ", 0, "Products[0]=a; Products[1]=b"}, {"Names", "", 0, ""},
        {"Names", "\"\" x", 0, "Names[0]=; Names[1]=x"}, {"Names", "a \"open", 0, "Names[0]=a; Names=a \"open"},
        {"Names", "a b\"c d", 0, "Names[0]=a; Names=a b\"c d"}, {"Plain", "a \"b c\"", 0, "Plain=a \"b c\""},
        {"Names[0-1]", "p q", 0, "Names[0]=p q; Names[1]=p q"},
        // A refused key stops the expansion and the list there.
        {"Refused[0-5].F", "f", UNKNOWN, "Refused[0].F=f; Refused[1].F=f; Refused[2].F=f"},
        {"Names", "a refused c", UNKNOWN, "Names[0]=a; Names[1]=refused"},
        // Keys too long for the list test, before or after expansion, set nothing.
        {k245, "x", 0, k245 + "=x"}, {k245 + "k", "x", TOO_LONG, ""}, {k245.substr(1) + "[1-2]", "x", TOO_LONG, ""},
        {k245 + "kkkkk[1,]k", "x", TOO_LONG, ""},  // the longest key the splitter passes
    };
    board_.refused = {"Refused[2].F=f", "Names[1]=refused"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key + " = " + c.value);
        EXPECT_EQ(Apply(c.key, c.value), c.result);
        EXPECT_EQ(board_.sets, c.sets);
    }
}

TEST_F(ConfigParser, ParsesAFile) {
    EXPECT_EQ(ParseText("# header\n\nEncoding = ALaw   # law\nDriver.Name = kv\\\nhw\nNo equals sign\n"  // 1-6
                        "A = x # not continued \\\nB = y\nBad \\\n  key\n= starts with equals\n"     // 7-11
                        "Tab = a\tb\nEmpty = # nothing\nCrlf = v \r\n"                              // 12-14
                        "Spaced = 1\\  \n   2\n"  // 15-16: blanks after the backslash are trimmed first
                        "Last = v\\\n"),           // 17: continued past the end, never applied
              0u);
    EXPECT_EQ(board_.sets, "Encoding=ALaw; Driver.Name=kvhw; A=x; B=y; Tab=a; Empty=; Crlf=v; Spaced=1   2");
    EXPECT_EQ(Warnings(), (Texts{ParseError(6, "No equals sign"), ParseError(10, "Bad   key"),
                                 ParseError(11, "= starts with equals")}));

    // Long physical lines are read in pieces of 1281 characters, each counted as a line.
    EXPECT_EQ(ParseText("A = 1\nK = " + std::string(1296, 'v') + "\nB = 2\nbroken\n"), 0u);
    EXPECT_EQ(board_.sets, "A=1; B=2");
    Texts warnings = Warnings();
    ASSERT_EQ(warnings.size(), 3u);
    EXPECT_NE(warnings[0].find("in line 2: 'K = vvv"), std::string::npos);
    EXPECT_EQ(warnings[1], ParseError(3, std::string(19, 'v')));
    EXPECT_EQ(warnings[2], ParseError(5, "broken"));
}

TEST_F(ConfigParser, AFailingKeywordStopsTheParse) {
    board_.refused.insert("Unknown=4");
    EXPECT_EQ(ParseText("A = 1\n\n# c\nB = 2\nUnknown = 4\nD = 5\n"), unsigned(ZEL_ERR_UNKNOWN_KEYWORD));
    EXPECT_EQ(board_.sets, "A=1; B=2; Unknown=4");
    EXPECT_EQ(ParseText(std::string(246, 'k') + " = 1\nD = 5\n"), unsigned(CONFIG_E_KEY_TOO_LONG));
    EXPECT_EQ(board_.sets, "");
    CConfigFile closed(&board_, "test", "cfg", "rb");
    EXPECT_EQ(closed.Parse(), unsigned(CONFIG_E_NOTHING));
}

// ---- Boards made by the plug-in from their configuration files --------------------

class ConfigBoard : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_EQ(setenv("WBLOAD", ("/nonexistent:" + dir_).c_str(), 1), 0);
        ASSERT_EQ(Init(""), 0u);
    }
    void TearDown() override {
        Exit();
        unsetenv("WBLOAD");
        TempDirTest::TearDown();
    }
    static uint64_t Handle(const char* board) {
        char text[32] = "";
        return GetQualifier(0, board, "Handle", text, sizeof text) == 0 ? strtoull(text, nullptr, 10) : 0;
    }
    static std::string Keyword(const char* board, const char* name) {
        char value[256] = "";
        uint64_t handle = Handle(board);
        return handle != 0 && GetKeyword(handle, name, value, sizeof value) == 0 ? value : "<none>";
    }
};

TEST_F(ConfigBoard, AppliesTheFileFoundInTheSearchPath) {
    WriteFile(dir_ + "/kv7400cpci_48.dft",
              "# test board\nEncoding = ALaw\nHeartbeatRate = 250\nDriver.Name = kv\\\nhw2\n"
              "Clocking.HBus.ClockMode = slave\nRing.Cadences[0-2].Ton1 = 500\n"
              "Port[0-1,47].Qslac.File = special.slc\noops\n");
    ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
    const std::pair<const char*, const char*> expected[] = {
        {"Encoding", "ALaw"}, {"HeartbeatRate", "250"}, {"Driver.Name", "kvhw2"},
        {"Clocking.HBus.ClockMode", "slave"}, {"Ring.Cadences[0].Ton1", "500"}, {"Ring.Cadences[2].Ton1", "500"},
        {"Port[1].Qslac.File", "special.slc"}, {"Port[47].Qslac.File", "special.slc"}, {"Port[2].Qslac.File", ""}};
    for (const auto& e : expected) EXPECT_EQ(Keyword("b0", e.first), e.second) << e.first;
    EXPECT_EQ(Warnings(), Texts{"Error parsing file '" + dir_ + "/kv7400cpci_48.dft' in line 9: 'oops'\n"});
}

TEST_F(ConfigBoard, AnUnknownKeywordOrChoiceFailsTheCreation) {
    const std::string path = dir_ + "/kv7400pci_16.dft";
    WriteFile(path, "Encoding = ALaw\n\n\n\n\n\nNoSuchKeyword = 1\nHeartbeatRate = 7\n");
    EXPECT_EQ(CreateBoard("b1", "KV 7400-16"), 0x40000105u);
    EXPECT_EQ(Handle("b1"), 0u);
    Texts errors = kvtest::AlertTexts(KV_ALERT, 2);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(std::regex_match(errors[0], std::regex("CKvBoard::Initialize\\(\\) - error \\(.+\\) parsing config file "
                                                       "kv7400pci_16\n")))
        << errors[0];

    // The name is free again: a fixed file creates the board.
    WriteFile(path, "HeartbeatRate = 7\n");
    kvtest::ClearAlerts();
    ASSERT_EQ(CreateBoard("b1", "KV 7400-16"), 0u);
    EXPECT_EQ(Keyword("b1", "HeartbeatRate"), "7");
    EXPECT_TRUE(kvtest::Alerts().empty());

    WriteFile(path, "Encoding = Linear\n");
    EXPECT_EQ(CreateBoard("b2", "KV 7400-16"), 0x40000105u);
    EXPECT_EQ(Handle("b2"), 0u);
}

TEST_F(ConfigBoard, AMissingFileLeavesTheDefaults) {
    ASSERT_EQ(CreateBoard("b0", "KV 7400C-32"), 0u);
    EXPECT_EQ(Keyword("b0", "Encoding"), "MuLaw");
    EXPECT_EQ(kvtest::AlertTexts(KV_ALERT, 2),
              Texts{"File 'kv7400cpci_32 (*.dft)' not found in path '/nonexistent:" + dir_ + "'\n"});
    EXPECT_EQ(Warnings(),
              Texts{"CKvBoard::Initialize() - could not open file 'kv7400cpci_32'; using internal defaults\n"});
}

// Each shipped file creates its board without a warning; and every setting
// it shows commented out, once uncommented, is a valid line that sets a
// keyword the board has: the files teach nothing false.
TEST_F(ConfigBoard, ShippedFiles) {
    const std::pair<const char*, const char*> products[] = {
        {"KV 7400C-48", "kv7400cpci_48.dft"}, {"KV 7400C-32", "kv7400cpci_32.dft"},
        {"KV 7400C-16", "kv7400cpci_16.dft"}, {"KV 7400-32", "kv7400pci_32.dft"},
        {"KV 7400-16", "kv7400pci_16.dft"},   {"KV_7400", "kv7400.dft"}};
    const std::regex setting("^# ([A-Za-z][A-Za-z0-9_.,\\[\\]-]*) = (.*)$");
    int index = 0;
    for (const auto& product : products) {
        SCOPED_TRACE(product.second);
        std::ifstream shipped(std::string(KV_SHARE_DIR) + "/" + product.second);
        std::string line, uncommented;
        std::set<std::string> keys;
        for (std::smatch match; std::getline(shipped, line);) {
            if (!std::regex_match(line, match, setting)) continue;
            uncommented += match[1].str() + " = " + match[2].str() + "\n";
            keys.insert(match[1].str());
        }
        EXPECT_EQ(keys.count("State") + keys.count("Number"), 0u);
        for (const char* expected : {"Encoding", "HeartbeatRate", "Clocking.HBus.ClockMode", "Ring.Period",
                                     "Dsp.Image", "DefaultQslacFile", "MonitorEnable", "OamTraceMask"})
            EXPECT_EQ(keys.count(expected), 1u) << expected;
        WriteFile(dir_ + "/" + product.second, uncommented);
        for (const std::string& path : {std::string(KV_SHARE_DIR), dir_}) {
            ASSERT_EQ(setenv("WBLOAD", path.c_str(), 1), 0);
            kvtest::ClearAlerts();
            EXPECT_EQ(CreateBoard(("s" + std::to_string(index++)).c_str(), product.first), 0u) << path;
            EXPECT_FALSE(kvtest::AnyAlertContains("file")) << path;  // the file was found and read
            for (const kvtest::Alert& alert : kvtest::Alerts()) EXPECT_EQ(alert.severity, 0u) << alert.text;
        }
    }
}

}  // namespace
