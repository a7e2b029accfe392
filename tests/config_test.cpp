// The board configuration file: line splitting, key expansion, the file
// parser, board creation from a configuration file and the shipped files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ConfigFile.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"
#include "oam/boardplugin.h"

namespace {

const uint32_t KV_ALERT = 0x40002001;

std::string MakeTempDir() {
    char pattern[] = "/tmp/config_test_XXXXXX";
    char* made = mkdtemp(pattern);
    return made != nullptr ? std::string(made) : std::string();
}

void RemoveTree(const std::string& path) {
    if (path.empty()) return;
    std::string command = "rm -rf '" + path + "'";
    if (system(command.c_str()) != 0) ADD_FAILURE() << "could not remove " << path;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::vector<std::string> Warnings() { return kvtest::AlertTexts(KV_ALERT, 1); }

// A board whose keyword tree is a script: it records every value set, answers
// the list tests for the names it is told are lists, and refuses the names it
// is told to refuse and any name whose brackets hold more than digits (as the
// framework does with a key that could not be expanded), and indices beyond
// 32 bits.
class RecordingBoard : public CKvBoard {
public:
    RecordingBoard() : CKvBoard("rec", "KV 7400C-48") {}

    unsigned SetKeywordValue(const char* name, const char* value) override {
        sets.emplace_back(name, value);
        if (refused.count(name) != 0) return ZEL_ERR_UNKNOWN_KEYWORD;
        const char* open = strchr(name, '[');
        while (open != nullptr) {
            const char* p = open + 1;
            if (*p < '0' || *p > '9') return ZEL_ERR_UNKNOWN_KEYWORD;
            while (*p >= '0' && *p <= '9') ++p;
            if (*p != ']' || p - open > 11 || strtoull(open + 1, nullptr, 10) > 0xFFFFFFFFull) {
                return ZEL_ERR_UNKNOWN_KEYWORD;
            }
            open = strchr(p, '[');
        }
        return 0;
    }
    unsigned GetKeywordValue(const char* name, char* buffer, unsigned size) override {
        std::string text(name != nullptr ? name : "");
        const std::string suffix = ".Count";
        if (text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            countLists.count(text.substr(0, text.size() - suffix.size())) != 0) {
            snprintf(buffer, size, "%d", 0);
            return 0;
        }
        return ZEL_ERR_UNKNOWN_KEYWORD;
    }
    unsigned GetQualifierValue(const char* name, const char* qualifier, char* buffer, unsigned size) override {
        if (strcmp(qualifier, "Type") != 0) return ZEL_ERR_UNKNOWN_QUALIFIER;
        snprintf(buffer, size, "%s", typeLists.count(name) != 0 ? "List" : "String");
        return 0;
    }

    std::vector<std::pair<std::string, std::string>> sets;
    std::set<std::string> refused;
    std::set<std::string> countLists{"Products"};
    std::set<std::string> typeLists{"Names"};
};

using Sets = std::vector<std::pair<std::string, std::string>>;

class ConfigParser : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        dir_ = MakeTempDir();
        ASSERT_FALSE(dir_.empty());
        board_ = new RecordingBoard();
        board_->SetSearchPath(dir_.c_str());
        file_ = new CConfigFile(board_, "test", "cfg", "rb");
    }
    void TearDown() override {
        delete file_;
        delete board_;
        RemoveTree(dir_);
    }

    // Splits one line; answers the result with the key and value.
    unsigned Split(const std::string& line, std::string* key, std::string* value) {
        char keyBuffer[CONFIG_KEY_SIZE];
        char valueBuffer[CONFIG_VALUE_SIZE];
        unsigned result = file_->ParseKeyValFromBuf(line.c_str(), keyBuffer, valueBuffer);
        *key = keyBuffer;
        *value = valueBuffer;
        return result;
    }

    // Applies a key and value; checks that the key buffer comes back unchanged.
    unsigned Apply(const std::string& key, const std::string& value) {
        char buffer[CONFIG_KEY_SIZE];
        snprintf(buffer, sizeof buffer, "%s", key.c_str());
        board_->sets.clear();
        unsigned result = file_->SetComplexKeyword(buffer, value.c_str(), nullptr);
        EXPECT_EQ(std::string(buffer), key) << "key buffer not restored";
        return result;
    }

    // Writes the file and parses it.
    unsigned ParseText(const std::string& text) {
        WriteFile(dir_ + "/test.cfg", text);
        EXPECT_EQ(file_->Open(), 0u);
        board_->sets.clear();
        kvtest::ClearAlerts();
        return file_->Parse();
    }

    std::string dir_;
    RecordingBoard* board_ = nullptr;
    CConfigFile* file_ = nullptr;
};

TEST_F(ConfigParser, SplitsKeyAndValue) {
    const std::string key255(255, 'K');
    const std::string value1023(1023, 'v');
    struct Case {
        std::string line;
        unsigned result;
        std::string key;
        std::string value;
    };
    const Case cases[] = {
        {"", CONFIG_E_NOTHING, "", ""},
        {"   # only a comment = x", CONFIG_E_NOTHING, "", ""},
        {"Encoding = ALaw   # law", 0, "Encoding", "ALaw"},
        {"  Two Words  =  a  b   ", 0, "Two Words", "a  b"},
        {"Key\t= v", 0, "Key", "v"},
        {"Key=#nothing", 0, "Key", ""},
        {"Key = a\tignored", 0, "Key", "a"},
        {"Key = caf\xC3\xA9", 0, "Key", "caf"},
        {"Key =", CONFIG_E_SYNTAX, "", ""},
        {"Key value", CONFIG_E_SYNTAX, "", ""},
        {"= value", CONFIG_E_SYNTAX, "", ""},
        {"Key # = value", CONFIG_E_SYNTAX, "", ""},
        {"Ke\xC3\xA9 = value", CONFIG_E_SYNTAX, "", ""},
        {key255 + "=v", 0, key255, "v"},
        {key255 + "K=v", CONFIG_E_SYNTAX, "", ""},
        {"Key = " + value1023, 0, "Key", value1023},
        {"Key = " + value1023 + "v", CONFIG_E_SYNTAX, "", ""},
        {"Key = " + value1023 + "   # long but the blanks are trimmed later", CONFIG_E_SYNTAX, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("line '" + c.line.substr(0, 60) + "'");
        std::string key, value;
        EXPECT_EQ(Split(c.line, &key, &value), c.result);
        EXPECT_EQ(key, c.key);
        EXPECT_EQ(value, c.value);
    }
}

TEST_F(ConfigParser, ExpandsIndexLists) {
    struct Case {
        std::string key;
        unsigned result;
        Sets sets;
    };
    const std::string v = "x";
    const Case cases[] = {
        {"Port[0-2,5].Qslac.File", 0,
         {{"Port[0].Qslac.File", v}, {"Port[1].Qslac.File", v}, {"Port[2].Qslac.File", v}, {"Port[5].Qslac.File", v}}},
        {"Port[3..4]", 0, {{"Port[3]", v}, {"Port[4]", v}}},
        {"Port[7 ,1 -2 ]", 0, {{"Port[7]", v}, {"Port[1]", v}, {"Port[2]", v}}},
        // Blanks may follow a number, never precede one.
        {"Port[7, 2]", ZEL_ERR_UNKNOWN_KEYWORD, {{"Port[7]", v}, {"Port[7, 2]", v}}},
        {"Port[1- 2]", ZEL_ERR_UNKNOWN_KEYWORD, {{"Port[1- 2]", v}}},
        {"Port[5-4]", 0, {}},
        {"Port[007]", 0, {{"Port[7]", v}}},
        {"A[1,2].B[0-1]", 0, {{"A[1].B[0]", v}, {"A[1].B[1]", v}, {"A[2].B[0]", v}, {"A[2].B[1]", v}}},
        // Lists that end early are set as written; indices already applied stay.
        {"Port[1,]", ZEL_ERR_UNKNOWN_KEYWORD, {{"Port[1]", v}, {"Port[1,]", v}}},
        {"Port[]", ZEL_ERR_UNKNOWN_KEYWORD, {{"Port[]", v}}},
        {"Port[1.2]", ZEL_ERR_UNKNOWN_KEYWORD, {{"Port[1]", v}, {"Port[1.2]", v}}},
        {"Port[1...2]", ZEL_ERR_UNKNOWN_KEYWORD, {{"Port[1...2]", v}}},
        {"Port[x]", ZEL_ERR_UNKNOWN_KEYWORD, {{"Port[x]", v}}},
        {"Port]0[", ZEL_ERR_UNKNOWN_KEYWORD, {{"Port]0[", v}}},  // no list: the board takes the name as it is
        // Bounds beyond 32 bits are never wrapped into small indices.
        {"Port[4294967296]", ZEL_ERR_UNKNOWN_KEYWORD, {{"Port[4294967296]", v}}},
        {"Port[0-18446744073709551617]", ZEL_ERR_UNKNOWN_KEYWORD, {{"Port[0-18446744073709551617]", v}}},
        {"Port[4294967294-4294967295]", 0, {{"Port[4294967294]", v}, {"Port[4294967295]", v}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(Apply(c.key, v), c.result);
        EXPECT_EQ(board_->sets, c.sets);
    }
}

TEST_F(ConfigParser, AFailureStopsTheExpansion) {
    board_->refused.insert("Port[2].Qslac.File");
    EXPECT_EQ(Apply("Port[0-5].Qslac.File", "f"), unsigned(ZEL_ERR_UNKNOWN_KEYWORD));
    EXPECT_EQ(board_->sets, (Sets{{"Port[0].Qslac.File", "f"}, {"Port[1].Qslac.File", "f"}, {"Port[2].Qslac.File", "f"}}));
}

TEST_F(ConfigParser, SplitsListValues) {
    struct Case {
        std::string key;
        std::string value;
        unsigned result;
        Sets sets;
    };
    const Case cases[] = {
        {"Names", "one \"two  words\" three", 0, {{"Names[0]", "one"}, {"Names[1]", "two  words"}, {"Names[2]", "three"}}},
        {"Products", "  a   b ", 0, {{"Products[0]", "a"}, {"Products[1]", "b"}}},
        {"Names", "\"\" x", 0, {{"Names[0]", ""}, {"Names[1]", "x"}}},
        {"Names", "", 0, {}},
        {"Names", "a \"open", 0, {{"Names[0]", "a"}, {"Names", "a \"open"}}},
        {"Names", "a b\"c d", 0, {{"Names[0]", "a"}, {"Names", "a b\"c d"}}},
        {"Plain", "a \"b c\"", 0, {{"Plain", "a \"b c\""}}},
        // A list reached through an index list is split too.
        {"Names[0-1]", "p q", 0, {{"Names[0]", "p q"}, {"Names[1]", "p q"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key + " = " + c.value);
        EXPECT_EQ(Apply(c.key, c.value), c.result);
        EXPECT_EQ(board_->sets, c.sets);
    }
    board_->refused.insert("Names[1]");
    EXPECT_EQ(Apply("Names", "a b c"), unsigned(ZEL_ERR_UNKNOWN_KEYWORD));
    EXPECT_EQ(board_->sets, (Sets{{"Names[0]", "a"}, {"Names[1]", "b"}}));
}

TEST_F(ConfigParser, KeysTooLongForTheListTest) {
    EXPECT_EQ(Apply(std::string(245, 'k'), "v"), 0u);
    EXPECT_EQ(board_->sets.size(), 1u);
    EXPECT_EQ(Apply(std::string(246, 'k'), "v"), unsigned(CONFIG_E_KEY_TOO_LONG));
    EXPECT_TRUE(board_->sets.empty());
    // The test applies to each expanded key.
    EXPECT_EQ(Apply(std::string(244, 'k') + "[1-2]", "v"), unsigned(CONFIG_E_KEY_TOO_LONG));
    EXPECT_TRUE(board_->sets.empty());
    // The longest key the splitter accepts is still restored and refused cleanly.
    std::string longest = std::string(250, 'k') + "[1,]";
    longest.resize(255, 'k');
    EXPECT_NE(Apply(longest, "v"), 0u);
}

TEST_F(ConfigParser, ParsesAFile) {
    const std::string text =
        "# header\n"                      // 1
        "\n"                              // 2
        "Encoding = ALaw   # law\n"       // 3
        "Driver.Name = kv\\\n"            // 4
        "hw\n"                            // 5
        "No equals sign\n"                // 6
        "A = x # not continued \\\n"      // 7
        "B = y\n"                         // 8
        "Bad \\\n"                        // 9
        "  key\n"                         // 10
        "= starts with equals\n"          // 11
        "Tab = a\tb\n"                    // 12
        "Empty = # nothing\n"             // 13
        "Crlf = v \r\n"                   // 14
        "Spaced = 1\\  \n"                // 15: blanks after the backslash are trimmed first
        "   2\n"                          // 16
        "Last = v\\\n";                   // 17: continued past the end, never applied
    EXPECT_EQ(ParseText(text), 0u);
    EXPECT_EQ(board_->sets, (Sets{{"Encoding", "ALaw"},
                                  {"Driver.Name", "kvhw"},
                                  {"A", "x"},
                                  {"B", "y"},
                                  {"Tab", "a"},
                                  {"Empty", ""},
                                  {"Crlf", "v"},
                                  {"Spaced", "1   2"}}));
    const std::string path = dir_ + "/test.cfg";
    EXPECT_EQ(Warnings(), (std::vector<std::string>{
                              "Error parsing file '" + path + "' in line 6: 'No equals sign'\n",
                              "Error parsing file '" + path + "' in line 10: 'Bad   key'\n",
                              "Error parsing file '" + path + "' in line 11: '= starts with equals'\n",
                          }));
}

TEST_F(ConfigParser, LongPhysicalLinesAreReadInCountedPieces) {
    // 1300 characters: the first 1281 are one piece, the rest another.
    std::string longLine = "K = " + std::string(1296, 'v');
    std::string text = "A = 1\n" + longLine + "\nB = 2\nbroken\n";
    EXPECT_EQ(ParseText(text), 0u);
    EXPECT_EQ(board_->sets, (Sets{{"A", "1"}, {"B", "2"}}));
    std::vector<std::string> warnings = Warnings();
    ASSERT_EQ(warnings.size(), 3u);
    EXPECT_NE(warnings[0].find("in line 2: 'K = vvv"), std::string::npos);
    EXPECT_NE(warnings[1].find("in line 3: '" + std::string(19, 'v') + "'"), std::string::npos);
    EXPECT_NE(warnings[2].find("in line 5: 'broken'"), std::string::npos);
}

TEST_F(ConfigParser, AFailingKeywordStopsTheParse) {
    board_->refused.insert("Unknown");
    std::string text = "A = 1\n\n# c\nB = 2\n\nC = 3\nUnknown = 4\nD = 5\n";
    EXPECT_EQ(ParseText(text), unsigned(ZEL_ERR_UNKNOWN_KEYWORD));
    EXPECT_EQ(board_->sets, (Sets{{"A", "1"}, {"B", "2"}, {"C", "3"}, {"Unknown", "4"}}));

    EXPECT_EQ(ParseText(std::string(246, 'k') + " = 1\nD = 5\n"), unsigned(CONFIG_E_KEY_TOO_LONG));
    EXPECT_TRUE(board_->sets.empty());

    CConfigFile closed(board_, "test", "cfg", "rb");
    EXPECT_EQ(closed.Parse(), unsigned(CONFIG_E_NOTHING));
}

// ---- Boards made by the plug-in from their configuration files --------------------

class ConfigBoard : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        dir_ = MakeTempDir();
        ASSERT_FALSE(dir_.empty());
        ASSERT_EQ(setenv("WBLOAD", ("/nonexistent:" + dir_).c_str(), 1), 0);
        ASSERT_EQ(Init(""), 0u);
    }
    void TearDown() override {
        Exit();
        unsetenv("WBLOAD");
        RemoveTree(dir_);
    }

    static uint64_t Handle(const char* board) {
        char text[32] = "";
        if (GetQualifier(0, board, "Handle", text, sizeof text) != 0) return 0;
        return strtoull(text, nullptr, 10);
    }
    static std::string Keyword(const char* board, const char* name) {
        char value[256] = "";
        uint64_t handle = Handle(board);
        if (handle == 0 || GetKeyword(handle, name, value, sizeof value) != 0) return "<none>";
        return value;
    }

    std::string dir_;
};

TEST_F(ConfigBoard, AppliesTheFileFoundInTheSearchPath) {
    WriteFile(dir_ + "/kv7400cpci_48.dft",
              "# test board\n"
              "Encoding = ALaw\n"
              "HeartbeatRate = 250\n"
              "Driver.Name = kv\\\n"
              "hw2\n"
              "Clocking.HBus.ClockMode = slave\n"
              "Ring.Cadences[0-2].Ton1 = 500\n"
              "Port[0-1,47].Qslac.File = special.slc\n"
              "oops\n");
    ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
    EXPECT_EQ(Keyword("b0", "Encoding"), "ALaw");
    EXPECT_EQ(Keyword("b0", "HeartbeatRate"), "250");
    EXPECT_EQ(Keyword("b0", "Driver.Name"), "kvhw2");
    EXPECT_EQ(Keyword("b0", "Clocking.HBus.ClockMode"), "slave");
    for (const char* name : {"Ring.Cadences[0].Ton1", "Ring.Cadences[1].Ton1", "Ring.Cadences[2].Ton1"}) {
        EXPECT_EQ(Keyword("b0", name), "500") << name;
    }
    EXPECT_EQ(Keyword("b0", "Port[1].Qslac.File"), "special.slc");
    EXPECT_EQ(Keyword("b0", "Port[47].Qslac.File"), "special.slc");
    EXPECT_EQ(Keyword("b0", "Port[2].Qslac.File"), "");
    EXPECT_EQ(Warnings(), (std::vector<std::string>{"Error parsing file '" + dir_ +
                                                    "/kv7400cpci_48.dft' in line 9: 'oops'\n"}));
}

TEST_F(ConfigBoard, AnUnknownKeywordFailsTheCreation) {
    const std::string path = dir_ + "/kv7400pci_16.dft";
    WriteFile(path, "Encoding = ALaw\n\n\n\n\n\nNoSuchKeyword = 1\nHeartbeatRate = 7\n");
    EXPECT_EQ(CreateBoard("b1", "KV 7400-16"), 0x40000105u);
    EXPECT_EQ(Handle("b1"), 0u);
    std::vector<std::string> errors = kvtest::AlertTexts(KV_ALERT, 2);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("CKvBoard::Initialize() - error (", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find(") parsing config file kv7400pci_16\n"), std::string::npos) << errors[0];

    // The name is free again: a fixed file creates the board.
    WriteFile(path, "HeartbeatRate = 7\n");
    kvtest::ClearAlerts();
    ASSERT_EQ(CreateBoard("b1", "KV 7400-16"), 0u);
    EXPECT_EQ(Keyword("b1", "HeartbeatRate"), "7");
    EXPECT_TRUE(kvtest::Alerts().empty());

    // A value outside the keyword's choices fails the same way.
    WriteFile(path, "Encoding = Linear\n");
    EXPECT_EQ(CreateBoard("b2", "KV 7400-16"), 0x40000105u);
    EXPECT_EQ(Handle("b2"), 0u);
}

TEST_F(ConfigBoard, AMissingFileLeavesTheDefaults) {
    ASSERT_EQ(CreateBoard("b0", "KV 7400C-32"), 0u);
    EXPECT_EQ(Keyword("b0", "Encoding"), "MuLaw");
    EXPECT_EQ(kvtest::AlertTexts(KV_ALERT, 2),
              (std::vector<std::string>{"File 'kv7400cpci_32 (*.dft)' not found in path '/nonexistent:" + dir_ + "'\n"}));
    EXPECT_EQ(Warnings(), (std::vector<std::string>{
                              "CKvBoard::Initialize() - could not open file 'kv7400cpci_32'; using internal defaults\n"}));
}

// ---- The shipped configuration files ------------------------------------------------

struct Product {
    const char* name;
    const char* file;
};
const Product kProducts[] = {
    {"KV 7400C-48", "kv7400cpci_48.dft"}, {"KV 7400C-32", "kv7400cpci_32.dft"}, {"KV 7400C-16", "kv7400cpci_16.dft"},
    {"KV 7400-32", "kv7400pci_32.dft"},   {"KV 7400-16", "kv7400pci_16.dft"},   {"KV_7400", "kv7400.dft"},
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Each shipped file creates its board without a warning; and every setting
// it shows commented out, once uncommented, is a valid line that sets a
// keyword the board has: the files teach nothing false.
TEST_F(ConfigBoard, ShippedFiles) {
    const std::regex setting("^# ([A-Za-z][A-Za-z0-9_.,\\[\\]-]*) = (.*)$");
    int index = 0;
    for (const Product& product : kProducts) {
        SCOPED_TRACE(product.file);
        std::istringstream shipped(ReadFile(std::string(KV_SHARE_DIR) + "/" + product.file));
        std::string line, uncommented;
        std::set<std::string> keys;
        for (std::smatch match; std::getline(shipped, line);) {
            if (!std::regex_match(line, match, setting)) continue;
            uncommented += match[1].str() + " = " + match[2].str() + "\n";
            keys.insert(match[1].str());
        }
        EXPECT_EQ(keys.count("State") + keys.count("Number"), 0u);
        for (const char* expected : {"Encoding", "HeartbeatRate", "Clocking.HBus.ClockMode", "Ring.Period",
                                     "Dsp.Image", "DefaultQslacFile", "MonitorEnable", "OamTraceMask"}) {
            EXPECT_EQ(keys.count(expected), 1u) << expected;
        }
        for (const std::string& path : {std::string(KV_SHARE_DIR), dir_}) {
            WriteFile(dir_ + "/" + product.file, uncommented);
            ASSERT_EQ(setenv("WBLOAD", path.c_str(), 1), 0);
            kvtest::ClearAlerts();
            std::string name = "s" + std::to_string(index++);
            EXPECT_EQ(CreateBoard(name.c_str(), product.name), 0u) << path;
            EXPECT_FALSE(kvtest::AnyAlertContains("file")) << path;  // the file was found and read
            for (const kvtest::Alert& alert : kvtest::Alerts()) EXPECT_EQ(alert.severity, 0u) << alert.text;
        }
    }
}

}  // namespace
