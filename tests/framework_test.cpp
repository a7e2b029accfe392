// The keyword and board framework: paths, typed values, qualifiers, boards and the plug-in's board table.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "zel/zelframework.h"

namespace {

// A value, or its result code as "<n>".
std::string Answer(unsigned r, const char* buffer) {
    return r == ZEL_OK ? buffer : "<" + std::to_string(r) + ">";
}
std::string Read(CZelKeyword* root, const char* path, const char* qualifier = nullptr) {
    char buffer[4096] = "";
    return Answer(qualifier ? root->GetQualifierValue(path, qualifier, buffer, sizeof(buffer))
                            : root->GetKeywordValue(path, buffer, sizeof(buffer)),
                  buffer);
}
struct PathValue {
    const char* path;
    const char* value;
};
void ExpectReads(CZelKeyword* root, std::initializer_list<PathValue> cases) {
    for (const PathValue& c : cases) EXPECT_EQ(Read(root, c.path), c.value) << c.path;
}
struct SetCase {
    const char* path;
    const char* text;
    unsigned result;
};
void ExpectSets(CZelKeyword* root, std::initializer_list<SetCase> cases) {
    for (const SetCase& c : cases) EXPECT_EQ(root->SetKeywordValue(c.path, c.text), c.result) << c.path;
}

// A tree with every kind of keyword, shaped like a board's.
struct KeywordTree : ::testing::Test {
    void SetUp() override {
        const char *laws[] = {"MuLaw", "ALaw"}, *products[] = {"A one", "B", "C"};
        CZelKeyword *bus[] = {new CZelKWInt("Bus", 3, 0, 255, 0, 1)},
                    *pci[] = {new CZelKWStruct("PCI", bus, 1)};
        auto* cadences = new CZelKWStructArray("Cadences", nullptr, 0);
        for (long i = 0; i < 3; ++i) {
            CZelKeyword* ton[] = {new CZelKWInt("Ton1", 10 * i, 0, 1000, 0, 1)};
            cadences->AddKeyword(new CZelKWStruct("", ton, 1));
        }
        CZelKeyword *ring[] = {cadences},
                    *children[] = {new CZelKWStr("Encoding", "MuLaw", laws, 2, 0, 16),
                                   new CZelKWStr("Text", "free", nullptr, 0, 0, 16),
                                   new CZelKWInt("Rate", 100, -50, 1000, 0, 1),
                                   new CZelKWInt("Serial", 7, 0, 0xFFFFFFFFL, ZEL_KW_READONLY, 1),
                                   new CZelKWStruct("Location", pci, 1),
                                   new CZelKWStrArray("Products", products, 3, 0, 16),
                                   new CZelKWStruct("Ring", ring, 1)};
        root.reset(new CZelKWStruct("Board", children, 7));
    }
    template <typename T>
    T* Get(const char* name) {
        return dynamic_cast<T*>(root->GetKeywordByName(name));
    }

    std::unique_ptr<CZelKWStruct> root;
};

TEST_F(KeywordTree, PathsReachEveryKindOfKeywordWithoutRegardToCaseAndMalformedOnesNothing) {
    ExpectReads(root.get(), {{"encoding", "MuLaw"},
                             {"LOCATION.pci.BUS", "3"},
                             {"Ring.Cadences[2].Ton1", "20"},
                             {"Ring.Cadences.count", "3"},
                             {"Products[0]", "A one"},
                             {"Products.Count", "3"},
                             {"Products", "\"A one\" B C"},
                             {"Location", "<6>"}});
    for (const char* path :
         {"Nothing", "Products[x]", "Products[1", "Products[-1]", "Products[4]",
          "Products[99999999999999999999999]", "Ring..Cadences", "Encoding.", "Encoding[0]"}) {
        EXPECT_EQ(Read(root.get(), path), "<2>") << path;
        EXPECT_EQ(root->SetKeywordValue(path, "1"), ZEL_ERR_UNKNOWN_KEYWORD) << path;
    }
}

TEST_F(KeywordTree, IntegerTextIsCheckedForFormLimitsAndReadOnly) {
    struct Case {
        const char* text;
        unsigned result;
        long value; /* afterwards */
    } cases[] = {{"0x1F", ZEL_OK, 31},
                 {"-0x10", ZEL_OK, -16},
                 {"1001", ZEL_ERR_INVALID_VALUE, 100},
                 {"99999999999999999999999", ZEL_ERR_INVALID_VALUE, 100},
                 {"", ZEL_ERR_NOT_A_NUMBER, 100},
                 {"12abc", ZEL_ERR_NOT_A_NUMBER, 100},
                 {" 12", ZEL_ERR_NOT_A_NUMBER, 100},
                 {"0x", ZEL_ERR_NOT_A_NUMBER, 100}};
    auto* rate = Get<CZelKWInt>("Rate");
    for (const Case& c : cases) {
        rate->SetIntValue(100);
        EXPECT_EQ(root->SetKeywordValue("Rate", c.text), c.result) << c.text;
        EXPECT_EQ(rate->GetIntValue(), c.value) << c.text;
    }
    ExpectSets(root.get(),
               {{"Serial", "5", ZEL_ERR_NOT_A_VALUE}, {"Products.Count", "9", ZEL_ERR_NOT_A_VALUE}});
}

TEST_F(KeywordTree, StringChoicesAreMatchedWithoutRegardToCaseAndBounded) {
    ExpectSets(root.get(), {{"Encoding", "alaw", ZEL_OK},
                            {"Encoding", "Law", ZEL_ERR_INVALID_VALUE},
                            {"Encoding", nullptr, ZEL_ERR_INVALID_ARGUMENT}});
    EXPECT_EQ(Read(root.get(), "Encoding"), "alaw");  // the caller's spelling is kept
    // Choices added later constrain a keyword made as free text, each listed once.
    auto* text = Get<CZelKWStr>("Text");
    for (const char* choice : {"Enable", "Disable", "ENABLE"}) EXPECT_EQ(text->AddChoice(choice), ZEL_OK);
    EXPECT_EQ(Read(root.get(), "Text", "Choices"), "Enable,Disable");
    EXPECT_EQ(text->SetStrValue("free"), ZEL_ERR_INVALID_VALUE);
}

TEST_F(KeywordTree, LongValuesAreKeptWholeAndCutSafelyIntoSmallBuffers) {
    const std::string longText(3000, 'v');  // no fixed limit on the value kept
    ASSERT_EQ(root->SetKeywordValue("Text", longText.c_str()), ZEL_OK);
    EXPECT_EQ(Read(root.get(), "Text"), longText);
    ASSERT_EQ(root->SetKeywordValue("Text", "abcdef"), ZEL_OK);
    char buffer[8];
    EXPECT_EQ(root->GetKeywordValue("Text", buffer, 7), ZEL_OK);  // an exact fit
    std::memset(buffer, 'X', sizeof(buffer));
    EXPECT_EQ(root->GetKeywordValue("Text", buffer, 6), ZEL_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::string(buffer, 7), std::string("abcde\0X", 7));  // cut, ended, nothing past the size
    EXPECT_EQ(root->GetKeywordValue("Text", nullptr, 10), ZEL_ERR_INVALID_ARGUMENT);
}

// "Default" follows what the program sets until a value comes through
// SetKeywordValue or the owner freezes the defaults; the walk qualifiers
// (Kind, Settable, Children, Child[i]) describe every kind of keyword.
TEST_F(KeywordTree, QualifiersDescribeEachKind) {
    Get<CZelKWStr>("Text")->SetStrValue("made");  // the program's own value: still the default
    root->SetKeywordValue("Rate", "5");           // a configured value is not
    root->FreezeDefaults();
    Get<CZelKWInt>("Location.PCI.Bus")->SetIntValue(9);  // nor a value set after creation
    struct Case {
        const char* path;
        const char* name;
        const char* value;
    } cases[] = {{"Encoding", "Type", "String"},
                 {"Encoding", "choices", "MuLaw,ALaw"},
                 {"Rate", "TYPE", "Integer"},
                 {"Rate", "Minimum", "-50"},
                 {"Rate", "Default", "100"},
                 {"Location", "Type", "Structure"},
                 {"Ring.Cadences", "Type", "List"},
                 {"Products", "Minimum", "<8>"},
                 {"Missing", "Type", "<2>"},
                 {"Text", "Default", "made"},
                 {"Location.PCI.Bus", "Default", "3"},
                 {"Encoding", "Kind", "string"},
                 {"Rate", "kind", "integer"},
                 {"Location", "Kind", "structure"},
                 {"Ring.Cadences", "Kind", "array"},
                 {"Products", "Kind", "array"},
                 {"Products[1]", "Kind", "string"},
                 {"Rate", "Settable", "Yes"},
                 {"Serial", "Settable", "No"},
                 {"Location", "Settable", "No"},
                 {"Products.Count", "Settable", "No"},
                 {"Products[0]", "Settable", "Yes"},
                 {"", "Children", "7"},
                 {"", "Child[5]", "Products"},
                 {"Ring.Cadences", "Children", "3"},
                 {"Ring.Cadences", "Child[2]", "[2]"},
                 {"Products", "Child[0]", "[0]"},
                 {"Rate", "Children", "0"},
                 {"", "Child[7]", "<2>"},
                 {"", "Child[x]", "<8>"},
                 {"", "Child[1", "<8>"}};
    for (const Case& c : cases)
        EXPECT_EQ(Read(root.get(), c.path, c.name), c.value) << c.path << "/" << c.name;
}

TEST_F(KeywordTree, StringArrayItemsAreReplacedAndAppendedByIndex) {
    ExpectSets(root.get(), {{"Products[1]", "B two", ZEL_OK},
                            {"Products[3]", "D", ZEL_OK},  // index Count appends
                            {"Products[5]", "F", ZEL_ERR_UNKNOWN_KEYWORD}});
    EXPECT_EQ(Read(root.get(), "Products"), "\"A one\" \"B two\" C D");
    CZelKeyword* item3 = root->FindKeyword("Products[3]");
    ASSERT_NE(item3, nullptr);
    Get<CZelKWStrArray>("Products")->RemoveAllValues();
    EXPECT_EQ(Read(root.get(), "Products.Count"), "0");
    char buffer[16];  // an item found before the values went stays safe to use
    EXPECT_EQ(item3->GetOwnValue(buffer, sizeof(buffer)), ZEL_ERR_UNKNOWN_KEYWORD);
}

TEST_F(KeywordTree, StructuresOwnTheirChildrenAndRefuseDuplicateNames) {
    auto* dup = new CZelKWInt("RATE", 1, 0, 1, 0, 1);
    EXPECT_EQ(root->AddKeyword(dup), ZEL_ERR_DUPLICATE);
    delete dup;  // not adopted: still the caller's
    EXPECT_EQ(root->RemoveKeyword("rate"), ZEL_OK);
    // A name longer than the name field is cut, and still found by its cut form.
    ASSERT_EQ(root->AddKeyword(new CZelKWStr(std::string(300, 'n').c_str(), "x", nullptr, 0, 0, 16)), ZEL_OK);
    EXPECT_EQ(Read(root.get(), std::string(127, 'n').c_str()), "x");
}

TEST(Board, NewBoardHoldsTheFrameworkKeywords) {
    CBoard board("b0", "Product X");
    ExpectReads(&board,
                {{"State", "IDLE"}, {"Number", "-1"}, {"Location.Type", "None"}, {"Clocking.Type", "None"}});
    EXPECT_EQ(Read(&board, "State", "Choices"), "IDLE,BOOTED");
    ExpectSets(&board, {{"State", "booted", ZEL_OK},
                        {"State", "BOOTING", ZEL_ERR_INVALID_VALUE},
                        {"Number", "256", ZEL_ERR_INVALID_VALUE},
                        {"Eeprom.SerialNum", "1", ZEL_ERR_NOT_A_VALUE}});
}

int g_boardsAlive = 0;

struct FakeBoard : CBoard {
    FakeBoard(const char* name, const char* product) : CBoard(name, product) { ++g_boardsAlive; }
    ~FakeBoard() override { --g_boardsAlive; }
    unsigned Start() override { return 0; }
    unsigned Test(unsigned value) override { return value; }
    unsigned SetKeywordValue(const char* n, const char* v) override {
        return ++sets, CBoard::SetKeywordValue(n, v);
    }
    int sets = 0;  // calls through this override
};

// Products "test" (a FakeBoard) and "numbered" (one that sets its own Number 5).
struct TestPlugIn : CBoardPlugIn {
    TestPlugIn() : CBoardPlugIn(nullptr, 0) {}
    CBoard* CreateProduct(const char* name, const char* product) override {
        const std::string kind = product;
        CBoard* board = kind == "test" || kind == "numbered" ? new FakeBoard(name, product) : nullptr;
        return kind == "numbered" ? (board->SetKeywordValue("Number", "5"), board) : board;
    }
    bool SupportedDriver(const char* driver) override { return std::string(driver).rfind("KVX", 0) == 0; }
};

std::vector<std::string> g_devices;
unsigned EnumerateDevices(unsigned index, char* driver, unsigned size, unsigned* bus, unsigned* slot) {
    if (index >= g_devices.size()) return 1;
    return snprintf(driver, size, "%s", g_devices[index].c_str()), *bus = 10 + index, *slot = 20 + index, 0;
}

struct PlugIn : ::testing::Test {
    std::string Get(uint64_t handle, const char* name) {
        char buffer[512] = "";
        return Answer(plugin.GetKeyword(handle, name, buffer, sizeof(buffer)), buffer);
    }
    std::string Handle(const char* name) {
        char buffer[32] = "";
        return Answer(plugin.GetQualifier(uint64_t{0}, name, "Handle", buffer, sizeof(buffer)), buffer);
    }
    FakeBoard* Board(const char* name) { return dynamic_cast<FakeBoard*>(plugin.GetBoardByName(name)); }

    TestPlugIn plugin;
};

TEST_F(PlugIn, CreatesBoardsByUniqueNameWithLowestFreeNumber) {
    for (const char* name : {"b0", "b1"}) EXPECT_EQ(plugin.CreateBoard(name, "test"), ZEL_OK);
    EXPECT_EQ(plugin.CreateBoard("B0", "test"), ZEL_ERR_DUPLICATE);
    EXPECT_EQ(plugin.CreateBoard("b2", "numbered"), ZEL_OK);  // keeps its own number 5
    EXPECT_EQ(plugin.CreateBoard("b3", "test"), ZEL_OK);
    for (PathValue c :
         {PathValue{"b0", "0"}, {"b1", "1"}, {"b2", "5"}, {"B3", "2"}})  // names without regard to case
        EXPECT_EQ(Read(Board(c.path), "Number"), c.value) << c.path;
    EXPECT_EQ(plugin.DestroyBoard("b1"), ZEL_OK);
    EXPECT_EQ(plugin.CreateBoard("b4", "test"), ZEL_OK);
    EXPECT_EQ(Read(Board("b4"), "Number"), "1");  // the freed number comes back
    EXPECT_EQ(plugin.Exit(), ZEL_OK);
    EXPECT_EQ(g_boardsAlive, 0);
}

TEST_F(PlugIn, HandlesAndNamesReachTheBoardsAndHandlesAreNeverReused) {
    for (const char* name : {"b0", "b1"}) ASSERT_EQ(plugin.CreateBoard(name, "test"), ZEL_OK);
    EXPECT_EQ(Handle("b0") + Handle("B1"), "12");
    EXPECT_EQ(plugin.SetKeyword(uint32_t{1}, "Driver.Name", "kvhw"),
              ZEL_OK);                // 32-bit handles reach them too
    EXPECT_EQ(Board("b0")->sets, 1);  // through the board's own override
    EXPECT_EQ(Get(1, "Driver.Name"), "kvhw");

    EXPECT_EQ(plugin.TestBoard("B0", 42), 42u);
    EXPECT_EQ(plugin.StartBoard(nullptr), ZEL_ERR_UNKNOWN_BOARD);
    ASSERT_EQ(plugin.DestroyBoard("b0"), ZEL_OK);
    EXPECT_EQ(Get(1, "State"), "<10>");
    EXPECT_EQ(plugin.SetKeyword(uint64_t{1}, "State", "IDLE"), ZEL_ERR_UNKNOWN_BOARD);
    ASSERT_EQ(plugin.CreateBoard("b0", "test"), ZEL_OK);
    EXPECT_EQ(Handle("b0"), "3");
}

TEST_F(PlugIn, DetectedBoardsListTheSupportedDevicesAndAreReplacedEachTime) {
    g_devices = {"KVX7400", "OTHER", "KVX7401"};
    ZelSetDeviceEnumerator(&EnumerateDevices);
    EXPECT_EQ(plugin.AddDetectedBoardsKeywords("KV", "libkv"), ZEL_OK);
    ExpectReads(&plugin, {{"DetectedBoards.Count", "2"},
                          {"DetectedBoards[0].Plugin", "libkv"},
                          {"DetectedBoards[1].Name", "KV1"},
                          {"DetectedBoards[1].Driver", "KVX7401"},
                          {"DetectedBoards[1].Bus", "12"}});
    ZelSetDeviceEnumerator(nullptr);  // without an enumerator the list is emptied
    EXPECT_EQ(plugin.AddDetectedBoardsKeywords("KV", "libkv"), ZEL_OK);
    EXPECT_EQ(Get(0, "DetectedBoards.Count"), "0");
}

}  // namespace
