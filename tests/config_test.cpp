// Files in the search path, the board's list of them, configuration files and boards made from them.
#include <cctype>
#include <cstring>

#include "ConfigFile.h"
#include "fixtures.h"
#include "temp_dir.h"

namespace {

using kvtest::Texts;
Texts Warnings() { return kvtest::Messages(kvtest::kWarning); }

class KvFileTest : public kvtest::BoardFixture {
protected:
    void SetUp() override {
        BoardFixture::SetUp();
        board->SetSearchPath(temp.path.c_str());
        temp.Write("cfg.dft", "0123456789");
    }
    std::string List() {
        char buffer[KV_FILE_LIST_SIZE + 16];
        board->PrintFileList(buffer, sizeof buffer);
        return buffer;
    }
    kvtest::TempDir temp;
};

TEST_F(KvFileTest, OpenFindsTheFileInTheSearchPathOrReportsWhyNot) {
    ASSERT_EQ(system(("touch -t 202603050907 '" + temp.path + "/cfg.dft'").c_str()), 0);  // local time
    CKvFile file(board.get(), "cfg", "dft", "rb");
    ASSERT_EQ(file.Open(), 0u);
    EXPECT_EQ(std::string(file.GetName()) + " " + file.m_Date + " " + std::to_string(file.m_Size),
              temp.path + "/cfg.dft (03/05/26 09:07) 10");
    EXPECT_EQ((file.Close(), file.Open()), 0u);  // again, by its full path
    CKvFile missing(board.get(), "nothere", "slc", "rb"), badMode(board.get(), "cfg", "dft", "");
    EXPECT_TRUE(missing.Open() == 0xFFFFFFFFu && badMode.Open() == 0xFFFFFFFFu);
    EXPECT_EQ(kvtest::Messages(kvtest::kError),
              (Texts{"File 'nothere (*.slc)' not found in path '" + temp.path + "'\n",
                     "CKvFile::Open() Failed to open file '" + temp.path + "/cfg.dft' in path '" + temp.path +
                         "'\n"}));
    board->SetSearchPath(std::string(300, 'p').c_str());
    board->SetSearchPath(board->GetSearchPath() + 10);  // bounded, even when set from itself
    EXPECT_EQ(std::string(board->GetSearchPath()), std::string(245, 'p'));
}

TEST_F(KvFileTest, RecordsLinesUntilTheListIsFull) {
    CKvFile file(board.get(), "x", "y", "rb");
    auto record = [&](const std::string& name, const char* date, uint32_t size) {
        snprintf(file.m_Name, sizeof file.m_Name, "%s", name.c_str());
        snprintf(file.m_Date, sizeof file.m_Date, "%s", date);
        file.m_Size = size;
        return board->Record(&file);
    };
    const std::string day = "(01/01/26 00:00)";
    ASSERT_EQ(record("/a/b.dft", "(03/05/26 09:07)", 1234) + record("/c.slc", "", 0xFFFFFFFF), 0u);
    const std::string expected = "/a/b.dft" + std::string(32, ' ') + "   (03/05/26 09:07) 1234\n/c.slc" +
                                 std::string(34, ' ') + "   (--/--/-- --:--) -1\n";
    EXPECT_EQ(List(), expected + "\n");
    size_t length = expected.size();  // then fill up with 202-character lines (180 + 3 + 16 + " 1\n")
    for (; length + 202 < KV_FILE_LIST_SIZE; length += 202)
        ASSERT_EQ(record(std::string(180, 'm'), day.c_str(), 1), 0u);
    const std::string tooLong(KV_FILE_LIST_SIZE - 1 - length - 21, 'f');  // + 3 + 16 + " 1\n": one too many
    EXPECT_EQ(record(tooLong, day.c_str(), 1), 1u);
    EXPECT_EQ(Warnings(),
              Texts{"CKvBoard::Record() - could not record file '" + tooLong + "   " + day + " 1\n'"});
    EXPECT_EQ(record(tooLong.substr(1), day.c_str(), 1), 0u);
    EXPECT_EQ(List().size(), KV_FILE_LIST_SIZE - 1 + 1u);  // a full list and the closing newline
    char small[8];                                         // a small buffer is cut, not overrun
    board->PrintFileList(small, sizeof small);
    EXPECT_EQ(std::string(small), expected.substr(0, 7));
    board->Reset();  // a board stop empties the list
    EXPECT_EQ(List(), "\n");
}

// Records every value set; lists "Products" and "Names"; refuses `refused` and over-32-bit indices.
struct RecordingBoard : CKvBoard {
    RecordingBoard() : CKvBoard("rec", "KV 7400C-48") {}
    unsigned SetKeywordValue(const char* name, const char* value) override {
        sets += (sets.empty() ? "" : "; ") + std::string(name) + "=" + value;
        if (refused.find(std::string(name) + "=" + value + ";") != std::string::npos)
            return ZEL_ERR_UNKNOWN_KEYWORD;
        for (const char* open = strchr(name, '['); open != nullptr; open = strchr(open + 1, '[')) {
            char* end = nullptr;
            unsigned long long index =
                isdigit(static_cast<unsigned char>(open[1])) ? strtoull(open + 1, &end, 10) : 0;
            if (end == nullptr || *end != ']' || end - open > 11 || index > 0xFFFFFFFFull)
                return ZEL_ERR_UNKNOWN_KEYWORD;
        }
        return 0;
    }
    unsigned GetKeywordValue(const char* name, char* buffer, unsigned size) override {
        return strcmp(name, "Products.Count") != 0 ? ZEL_ERR_UNKNOWN_KEYWORD
                                                   : (snprintf(buffer, size, "0"), 0u);
    }
    unsigned GetQualifierValue(const char* name, const char*, char* buffer, unsigned size) override {
        return snprintf(buffer, size, "%s", strcmp(name, "Names") == 0 ? "List" : "String") < 0;
    }
    std::string sets, refused;  // "name=value; ..." in order; "name=value;..."
};

struct ConfigParser : ::testing::Test {
    std::string Apply(const std::string& key, const std::string& value) {  // "result: sets"
        char buffer[CONFIG_KEY_SIZE];
        snprintf(buffer, sizeof buffer, "%s", key.c_str());
        board.sets.clear();
        unsigned result = file.SetComplexKeyword(buffer, value.c_str(), nullptr);
        EXPECT_EQ(std::string(buffer), key) << "key buffer not restored";
        return std::to_string(result) + ": " + board.sets;
    }
    unsigned ParseText(const std::string& text) {
        temp.Write("test.cfg", text);
        board.SetSearchPath(temp.path.c_str());
        EXPECT_EQ(file.Open(), 0u);
        board.sets.clear(), kvtest::ClearAlerts();
        return file.Parse();
    }
    std::string ParseError(int line, const std::string& text) {
        return "Error parsing file '" + temp.path + "/test.cfg' in line " + std::to_string(line) + ": '" +
               text + "'\n";
    }
    kvtest::TempDir temp;
    RecordingBoard board;
    CConfigFile file{&board, "test", "cfg", "rb"};
};

TEST_F(ConfigParser, SplitsKeyAndValue) {
    const std::string key255(255, 'K'), value1023(1023, 'v');
    const unsigned SYNTAX = CONFIG_E_SYNTAX;
    const struct {
        std::string line;
        unsigned result;
        std::string split;
    } cases[] = {{"   # only a comment = x", CONFIG_E_NOTHING, "="},
                 {"  Two Words  =  a  b   ", 0, "Two Words=a  b"},
                 {"Key=#nothing", 0, "Key="},
                 {"Key = caf\xC3\xA9", 0, "Key=caf"},
                 {"Key =", SYNTAX, "="},
                 {"Key # = value", SYNTAX, "="},
                 {"Ke\xC3\xA9 = value", SYNTAX, "="},
                 {key255 + "K=v", SYNTAX, "="},
                 {key255 + "=v", 0, key255 + "=v"},
                 {"Key = " + value1023, 0, "Key=" + value1023},
                 {"Key = " + value1023 + "   # blanks trimmed later", SYNTAX, "="}};
    for (const auto& c : cases) {
        char key[CONFIG_KEY_SIZE], value[CONFIG_VALUE_SIZE];
        EXPECT_EQ(file.ParseKeyValFromBuf(c.line.c_str(), key, value), c.result) << c.line.substr(0, 60);
        EXPECT_EQ(std::string(key) + "=" + value, c.split) << c.line.substr(0, 60);
    }
}

TEST_F(ConfigParser, ExpandsIndexListsAndListValues) {
    const unsigned UNKNOWN = ZEL_ERR_UNKNOWN_KEYWORD, TOO_LONG = CONFIG_E_KEY_TOO_LONG;
    const std::string k245(245, 'k');
    const struct {
        std::string key, value;
        unsigned result;
        std::string sets;
    } cases[] = {
        {"P[0-1,3..4].F", "x", 0, "P[0].F=x; P[1].F=x; P[3].F=x; P[4].F=x"},
        {"P[5-4]", "x", 0, ""},
        {"P[7 ,1 -2 ]", "x", 0, "P[7]=x; P[1]=x; P[2]=x"},
        {"P[7, 2]", "x", UNKNOWN, "P[7]=x; P[7, 2]=x"},
        {"A[1,2].B[0-1]", "x", 0, "A[1].B[0]=x; A[1].B[1]=x; A[2].B[0]=x; A[2].B[1]=x"},
        {"P[1,]", "x", UNKNOWN, "P[1]=x; P[1,]=x"},          // set as written; indices already applied stay
        {"P[4294967296]", "x", UNKNOWN, "P[4294967296]=x"},  // never wrapped into a small index
        {"P[4294967294-4294967295]", "x", 0, "P[4294967294]=x; P[4294967295]=x"},
        {"P[1-1024].Q[1-0]", "x", 0, ""},                // 1024 keys (expanding to nothing): at the bound
        {"P[0-1024].Q[1-0]", "x", CONFIG_E_SYNTAX, ""},  // one past it
        {"Names", "one \"two  words\" three", 0, "Names[0]=one; Names[1]=two  words; Names[2]=three"},
        {"Products", "  a   b ", 0, "Products[0]=a; Products[1]=b"},
        {"Plain", "a \"b c\"", 0, "Plain=a \"b c\""},
        {"Names", "a \"open", 0, "Names[0]=a; Names=a \"open"},
        {"Refused[0-5].F", "f", UNKNOWN, "Refused[0].F=f; Refused[1].F=f; Refused[2].F=f"},  // stops there
        {"Names", "a refused c", UNKNOWN, "Names[0]=a; Names[1]=refused"},
        {k245, "x", 0, k245 + "=x"},
        {k245 + "k", "x", TOO_LONG, ""},
        {k245.substr(1) + "[1-2]", "x", TOO_LONG, ""}};
    board.refused = "Refused[2].F=f;Names[1]=refused;";
    for (const auto& c : cases)
        EXPECT_EQ(Apply(c.key, c.value), std::to_string(c.result) + ": " + c.sets) << c.key;
}

TEST_F(ConfigParser, ParsesAFile) {
    EXPECT_EQ(
        0u, ParseText("# header\n\nEncoding = ALaw   # law\nDriver.Name = kv\\\nhw\nNo equals sign\n"  // 1-6
                      "A = x # not continued \\\nB = y\nBad \\\n  key\n= starts with equals\nTab = a\tb\n"
                      "Empty = # nothing\nCrlf = v \r\nSpaced = 1\\  \n   2\nLast = v\\\n"));
    EXPECT_EQ(board.sets, "Encoding=ALaw; Driver.Name=kvhw; A=x; B=y; Tab=a; Empty=; Crlf=v; Spaced=1   2");
    EXPECT_EQ(Warnings(), (Texts{ParseError(6, "No equals sign"), ParseError(10, "Bad   key"),
                                 ParseError(11, "= starts with equals")}));
    // A comment of any length stays one; a (continued) line past 1281 characters is refused with its first
    // 1281; a failing keyword stops the parse.
    board.refused = "Unknown=4;";
    const std::string text1281 = std::string(245, 'K') + "=" + std::string(12, ' ') + std::string(1023, 'v');
    EXPECT_EQ(ParseText("A = 1\n#" + std::string(1300, 'c') + "HeartbeatRate = 5\n" + text1281 +
                        "v\nB = 2\n" + text1281.substr(0, 700) + "\\\n" + text1281.substr(700) + "   \n" +
                        text1281.substr(0, 700) + "\\\n" + text1281.substr(699) + "\\\nmore\nC = 3 # " +
                        std::string(2000, 'c') + "\nbroken\nUnknown = 4\nD = 5\n"),
              unsigned(ZEL_ERR_UNKNOWN_KEYWORD));
    EXPECT_EQ(board.sets,
              "A=1; B=2; " + std::string(245, 'K') + "=" + std::string(1023, 'v') + "; C=3; Unknown=4");
    EXPECT_EQ(Warnings(),
              (Texts{ParseError(3, text1281), ParseError(9, text1281), ParseError(11, "broken")}));
}

struct ConfigBoard : ::testing::Test {
    void SetUp() override {
        kvemu::Reset(), kvtest::ClearAlerts();
        ASSERT_EQ(setenv("WBLOAD", ("/nonexistent:" + temp.path).c_str(), 1), 0);
        ASSERT_EQ(Init(""), 0u);
    }
    void TearDown() override { Exit(); }
    static std::string Keyword(const char* board, const char* name) {
        return kvtest::Keyword(kvtest::Handle(board), name);
    }
    kvtest::TempDir temp;
};

TEST_F(ConfigBoard, AppliesTheFileFoundInTheSearchPath) {
    temp.Write(
        "kv7400cpci_48.dft",
        "# test board\nEncoding = ALaw\nClocking.HBus.ClockMode = slave\nRing.Cadences[0-2].Ton1 = 500\n"
        "Port[0-1,47].Qslac.File = special.slc\noops\n");
    ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
    for (const auto& [name, value] : {std::pair<const char*, const char*>{"Encoding", "ALaw"},
                                      {"Port[2].Qslac.File", ""},
                                      {"Ring.Cadences[2].Ton1", "500"},
                                      {"Port[47].Qslac.File", "special.slc"}})
        EXPECT_EQ(Keyword("b0", name), value) << name;
    EXPECT_EQ(Warnings(),
              Texts{"Error parsing file '" + temp.path + "/kv7400cpci_48.dft' in line 6: 'oops'\n"});
    kvtest::ClearAlerts();  // without a file the board keeps its defaults
    ASSERT_EQ(CreateBoard("b1", "KV 7400C-32"), 0u);
    EXPECT_EQ(
        kvtest::Messages(-1),
        (Texts{"File 'kv7400cpci_32 (*.dft)' not found in path '/nonexistent:" + temp.path + "'\n",
               "CKvBoard::Initialize() - could not open file 'kv7400cpci_32'; using internal defaults\n"}));
}

TEST_F(ConfigBoard, AnUnknownKeywordOrChoiceFailsTheCreation) {
    temp.Write("kv7400pci_16.dft", "Encoding = ALaw\n\n\n\n\n\nNoSuchKeyword = 1\nHeartbeatRate = 7\n");
    EXPECT_EQ(CreateBoard("b1", "KV 7400-16"), 0x40000105u);
    EXPECT_EQ(Keyword("b1", "Encoding"), "<missing>");
    EXPECT_EQ(kvtest::Messages(kvtest::kError),
              Texts{"CKvBoard::Initialize() - error (" + std::to_string(ZEL_ERR_UNKNOWN_KEYWORD) +
                    ") parsing config file kv7400pci_16\n"});
    temp.Write("kv7400pci_16.dft", "HeartbeatRate = 7\n");  // with a good file the name is free again
    ASSERT_EQ(CreateBoard("b1", "KV 7400-16"), 0u);
    EXPECT_EQ(Keyword("b1", "HeartbeatRate"), "7");
}

TEST_F(ConfigBoard, ClockValidationRunsOnlyThroughItsQualifier) {
    ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
    const uint64_t handle = kvtest::Handle("b0");
    for (const auto& [mode, source, valid] :
         {std::tuple<const char*, const char*, const char*>{"STANDALONE", "osc", "Yes"},
          {"MASTER_A", "A_CLOCK", "No"},
          {"SLAVE", "OSC", "No"}}) {
        kvtest::ClearAlerts();
        ASSERT_EQ(SetKeyword(handle, "Clocking.HBus.ClockMode", mode) +
                      SetKeyword(handle, "Clocking.HBus.ClockSource", source),
                  0u);
        EXPECT_TRUE(kvtest::Alerts().empty()) << mode;
        char text[64] = "";
        EXPECT_EQ(GetQualifier(handle, "Clocking", "Valid", text, sizeof text), 0u);
        EXPECT_STREQ(text, valid);
        EXPECT_EQ(Warnings().size(), valid[0] == 'N' ? 1u : 0u) << mode;
    }
}

}  // namespace
