// The keyword and board framework: path walk, typed values, qualifiers, the
// board's own keywords and the plug-in object's board table.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "zel/zelframework.h"

namespace {

std::string Read(CZelKeyword* root, const char* path, unsigned* result = nullptr) {
    char buffer[4096];
    buffer[0] = '\0';
    unsigned r = root->GetKeywordValue(path, buffer, sizeof(buffer));
    if (result != nullptr) *result = r;
    return r == ZEL_OK ? buffer : "<" + std::to_string(r) + ">";
}

std::string Qualifier(CZelKeyword* root, const char* path, const char* qualifier) {
    char buffer[256];
    unsigned r = root->GetQualifierValue(path, qualifier, buffer, sizeof(buffer));
    return r == ZEL_OK ? buffer : "<" + std::to_string(r) + ">";
}

// A tree with every kind of keyword, shaped like a board's.
class KeywordTree : public ::testing::Test {
protected:
    void SetUp() override {
        root.reset(new CZelKWStruct("Board", nullptr, 0));
        const char* laws[] = {"MuLaw", "ALaw"};
        root->AddKeyword(new CZelKWStr("Encoding", "MuLaw", laws, 2, 0, 16));
        root->AddKeyword(new CZelKWStr("Text", "free", nullptr, 0, 0, 16));
        root->AddKeyword(new CZelKWInt("Rate", 100, -50, 1000, 0, 1));
        root->AddKeyword(new CZelKWInt("Serial", 7, 0, 0xFFFFFFFFL, ZEL_KW_READONLY, 1));
        auto* pci = new CZelKWStruct("PCI", nullptr, 0);
        pci->AddKeyword(new CZelKWInt("Bus", 3, 0, 255, 0, 1));
        auto* location = new CZelKWStruct("Location", nullptr, 0);
        location->AddKeyword(pci);
        root->AddKeyword(location);
        const char* products[] = {"A one", "B", "C"};
        root->AddKeyword(new CZelKWStrArray("Products", products, 3, 0, 16));
        auto* cadences = new CZelKWStructArray("Cadences", nullptr, 0);
        for (long i = 0; i < 3; ++i) {
            auto* cadence = new CZelKWStruct("", nullptr, 0);
            cadence->AddKeyword(new CZelKWInt("Ton1", 10 * i, 0, 1000, 0, 1));
            cadences->AddKeyword(cadence);
        }
        auto* ring = new CZelKWStruct("Ring", nullptr, 0);
        ring->AddKeyword(cadences);
        root->AddKeyword(ring);
    }

    std::unique_ptr<CZelKWStruct> root;
};

TEST_F(KeywordTree, PathsReachEveryKindOfKeywordWithoutRegardToCase) {
    struct Case {
        const char* path;
        const char* value;
    } cases[] = {
        {"Encoding", "MuLaw"},
        {"encoding", "MuLaw"},
        {"LOCATION.pci.BUS", "3"},
        {"Ring.Cadences[2].Ton1", "20"},
        {"Ring.Cadences.Count", "3"},
        {"Ring.Cadences.count", "3"},
        {"Products[0]", "A one"},
        {"Products.Count", "3"},
        {"Products", "\"A one\" B C"},
        {"Rate", "100"},
    };
    for (const Case& c : cases) EXPECT_EQ(Read(root.get(), c.path), c.value) << c.path;
    // A structure has no value of its own.
    EXPECT_EQ(Read(root.get(), "Location"), "<6>");
    EXPECT_EQ(Read(root.get(), "Ring.Cadences"), "<6>");
}

TEST_F(KeywordTree, MalformedOrMissingPathsAreUnknownKeywords) {
    const char* paths[] = {
        "Nothing", "Products[x]", "Products[0-3]", "Products[1", "Products]", "Products[]",
        "Products[-1]", "Products[4]", "Products[99999999999999999999999]", "Ring.Cadences[3].Ton1",
        "Ring.Cadences[1]x", "Ring..Cadences", ".Encoding", "Encoding.", "Encoding[0]",
        "Location[0]", "Count", "Location.Count", "Ring.Cadences[0].Ton1.Deeper", "Enc oding",
        "Ring.Cadences[0.5]", "Products[ 1]",
    };
    for (const char* path : paths) {
        unsigned result = 0;
        Read(root.get(), path, &result);
        EXPECT_EQ(result, ZEL_ERR_UNKNOWN_KEYWORD) << path;
        EXPECT_EQ(root->SetKeywordValue(path, "1"), ZEL_ERR_UNKNOWN_KEYWORD) << path;
        EXPECT_EQ(root->FindKeyword(path), nullptr) << path;
    }
    EXPECT_EQ(root->FindKeyword(nullptr), root.get());
    EXPECT_EQ(root->FindKeyword(""), root.get());
    EXPECT_EQ(root->GetKeywordByName(nullptr), nullptr);
}

TEST_F(KeywordTree, IntegerTextIsCheckedForFormAndLimits) {
    struct Case {
        const char* text;
        unsigned result;
        long value;  // value afterwards
    } cases[] = {
        {"12", ZEL_OK, 12},
        {"+7", ZEL_OK, 7},
        {"0x1F", ZEL_OK, 31},
        {"-0x10", ZEL_OK, -16},
        {"007", ZEL_OK, 7},
        {"1000", ZEL_OK, 1000},
        {"1001", ZEL_ERR_INVALID_VALUE, 100},
        {"-51", ZEL_ERR_INVALID_VALUE, 100},
        {"99999999999999999999999", ZEL_ERR_INVALID_VALUE, 100},
        {"", ZEL_ERR_NOT_A_NUMBER, 100},
        {"12abc", ZEL_ERR_NOT_A_NUMBER, 100},
        {" 12", ZEL_ERR_NOT_A_NUMBER, 100},
        {"12 ", ZEL_ERR_NOT_A_NUMBER, 100},
        {"0x", ZEL_ERR_NOT_A_NUMBER, 100},
        {"0x1G", ZEL_ERR_NOT_A_NUMBER, 100},
        {"-", ZEL_ERR_NOT_A_NUMBER, 100},
        {"1.5", ZEL_ERR_NOT_A_NUMBER, 100},
    };
    auto* rate = dynamic_cast<CZelKWInt*>(root->GetKeywordByName("Rate"));
    ASSERT_NE(rate, nullptr);
    for (const Case& c : cases) {
        rate->SetIntValue(100);
        EXPECT_EQ(root->SetKeywordValue("Rate", c.text), c.result) << c.text;
        EXPECT_EQ(rate->GetIntValue(), c.value) << c.text;
    }
    // Limits can move after construction.
    rate->SetMaxValue(2000);
    EXPECT_EQ(root->SetKeywordValue("Rate", "2000"), ZEL_OK);
    rate->SetMinValue(0);
    EXPECT_EQ(rate->SetIntValue(-1), ZEL_ERR_INVALID_VALUE);
    EXPECT_EQ(Read(root.get(), "Rate"), "2000");
}

TEST_F(KeywordTree, ReadOnlyValuesChangeOnlyFromTheProgram) {
    EXPECT_EQ(root->SetKeywordValue("Serial", "5"), ZEL_ERR_NOT_A_VALUE);
    EXPECT_EQ(Read(root.get(), "Serial"), "7");
    auto* serial = dynamic_cast<CZelKWInt*>(root->GetKeywordByName("Serial"));
    ASSERT_NE(serial, nullptr);
    EXPECT_EQ(serial->SetIntValue(0xFFFFFFFFL), ZEL_OK);
    EXPECT_EQ(Read(root.get(), "Serial"), "4294967295");
    EXPECT_EQ(root->SetKeywordValue("Location", "x"), ZEL_ERR_NOT_A_VALUE);
    EXPECT_EQ(root->SetKeywordValue("Products.Count", "9"), ZEL_ERR_NOT_A_VALUE);
}

TEST_F(KeywordTree, StringChoicesAreMatchedWithoutRegardToCase) {
    EXPECT_EQ(root->SetKeywordValue("Encoding", "alaw"), ZEL_OK);
    EXPECT_EQ(Read(root.get(), "Encoding"), "alaw");  // the caller's spelling is kept
    EXPECT_EQ(root->SetKeywordValue("Encoding", "Law"), ZEL_ERR_INVALID_VALUE);
    EXPECT_EQ(root->SetKeywordValue("Encoding", ""), ZEL_ERR_INVALID_VALUE);
    EXPECT_EQ(Read(root.get(), "Encoding"), "alaw");
    EXPECT_EQ(root->SetKeywordValue("Encoding", nullptr), ZEL_ERR_INVALID_ARGUMENT);

    // Choices added later constrain a keyword made as free text.
    auto* text = dynamic_cast<CZelKWStr*>(root->GetKeywordByName("Text"));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->AddChoice("Enable"), ZEL_OK);
    EXPECT_EQ(text->AddChoice("Disable"), ZEL_OK);
    EXPECT_EQ(text->AddChoice("ENABLE"), ZEL_OK);  // already there: not listed twice
    EXPECT_EQ(Qualifier(root.get(), "Text", "Choices"), "Enable,Disable");
    EXPECT_EQ(text->SetStrValue("free"), ZEL_ERR_INVALID_VALUE);
    EXPECT_EQ(text->SetStrValue("DISABLE"), ZEL_OK);

    // The choice list is bounded by maxChoices.
    CZelKWStr bounded("B", nullptr, nullptr, 0, 0, 2);
    EXPECT_EQ(bounded.AddChoice("x"), ZEL_OK);
    EXPECT_EQ(bounded.AddChoice("y"), ZEL_OK);
    EXPECT_NE(bounded.AddChoice("z"), ZEL_OK);
    EXPECT_EQ(bounded.SetStrValue("z"), ZEL_ERR_INVALID_VALUE);
}

TEST_F(KeywordTree, LongValuesAreKeptWholeAndCutSafelyIntoSmallBuffers) {
    const std::string longText(5000, 'v');
    ASSERT_EQ(root->SetKeywordValue("Text", longText.c_str()), ZEL_OK);
    std::vector<char> whole(longText.size() + 1);
    EXPECT_EQ(root->GetKeywordValue("Text", whole.data(), static_cast<unsigned>(whole.size())), ZEL_OK);
    EXPECT_EQ(std::string(whole.data()), longText);

    ASSERT_EQ(root->SetKeywordValue("Text", "abcdef"), ZEL_OK);
    char buffer[8];
    std::memset(buffer, 'X', sizeof(buffer));
    EXPECT_EQ(root->GetKeywordValue("Text", buffer, 7), ZEL_OK);  // exact fit
    EXPECT_STREQ(buffer, "abcdef");
    std::memset(buffer, 'X', sizeof(buffer));
    EXPECT_EQ(root->GetKeywordValue("Text", buffer, 6), ZEL_ERR_BUFFER_TOO_SMALL);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(buffer[6], 'X');  // nothing written past the size given
    EXPECT_EQ(root->GetKeywordValue("Rate", buffer, 2), ZEL_ERR_BUFFER_TOO_SMALL);
    EXPECT_STREQ(buffer, "1");
    EXPECT_EQ(root->GetQualifierValue("Encoding", "Choices", buffer, 4), ZEL_ERR_BUFFER_TOO_SMALL);
    EXPECT_STREQ(buffer, "MuL");
    EXPECT_EQ(root->GetKeywordValue("Text", nullptr, 10), ZEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(root->GetKeywordValue("Text", buffer, 0), ZEL_ERR_INVALID_ARGUMENT);
}

TEST_F(KeywordTree, QualifiersDescribeEachKind) {
    struct Case {
        const char* path;
        const char* qualifier;
        const char* value;
    } cases[] = {
        {"Encoding", "Type", "String"},
        {"Encoding", "choices", "MuLaw,ALaw"},
        {"Encoding", "Default", "MuLaw"},
        {"Rate", "TYPE", "Integer"},
        {"Rate", "Minimum", "-50"},
        {"Rate", "Default", "100"},
        {"Location", "Type", "Structure"},
        {"Ring.Cadences", "Type", "List"},
        {"Ring.Cadences.Count", "Type", "Integer"},
        {"Products", "Type", "List"},
        {"Products[0]", "Type", "String"},
        {nullptr, "Type", "Structure"},
        {"Encoding", "Colour", "<8>"},
        {"Products", "Minimum", "<8>"},
        {"Missing", "Type", "<2>"},
        {"Encoding", nullptr, "<9>"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Qualifier(root.get(), c.path, c.qualifier), c.value)
            << (c.path ? c.path : "(null)") << " " << (c.qualifier ? c.qualifier : "(null)");
    // The default stays what the keyword was made with.
    root->SetKeywordValue("Rate", "5");
    EXPECT_EQ(Qualifier(root.get(), "Rate", "Default"), "100");
}

TEST_F(KeywordTree, StringArrayItemsAreReplacedAndAppendedByIndex) {
    EXPECT_EQ(root->SetKeywordValue("Products[1]", "B two"), ZEL_OK);
    EXPECT_EQ(root->SetKeywordValue("Products[3]", "D"), ZEL_OK);  // index Count appends
    EXPECT_EQ(Read(root.get(), "Products.Count"), "4");
    EXPECT_EQ(root->SetKeywordValue("Products[5]", "F"), ZEL_ERR_UNKNOWN_KEYWORD);
    EXPECT_EQ(Read(root.get(), "Products[4]"), "<2>");  // the append slot has no value
    EXPECT_EQ(Read(root.get(), "Products"), "\"A one\" \"B two\" C D");

    auto* products = dynamic_cast<CZelKWStrArray*>(root->GetKeywordByName("Products"));
    ASSERT_NE(products, nullptr);
    CZelKeyword* item3 = root->FindKeyword("Products[3]");
    ASSERT_NE(item3, nullptr);
    products->RemoveAllValues();
    EXPECT_EQ(products->GetCount(), 0u);
    EXPECT_EQ(Read(root.get(), "Products"), "");
    // An item found before the values went stays safe to use.
    char buffer[16];
    EXPECT_EQ(item3->GetOwnValue(buffer, sizeof(buffer)), ZEL_ERR_UNKNOWN_KEYWORD);

    // Choices bound the values, added either way.
    EXPECT_EQ(products->AddChoice("KV 1"), ZEL_OK);
    EXPECT_EQ(products->AddChoice("KV 2"), ZEL_OK);
    EXPECT_EQ(products->AddStrValue("kv 1"), ZEL_OK);
    EXPECT_EQ(products->AddStrValue("KV 3"), ZEL_ERR_INVALID_VALUE);
    EXPECT_EQ(root->SetKeywordValue("Products[1]", "KV 3"), ZEL_ERR_INVALID_VALUE);
    EXPECT_EQ(root->SetKeywordValue("Products[1]", "KV 2"), ZEL_OK);
    EXPECT_EQ(Read(root.get(), "Products"), "\"kv 1\" \"KV 2\"");
    EXPECT_EQ(Qualifier(root.get(), "Products", "Choices"), "KV 1,KV 2");
}

TEST_F(KeywordTree, StructuresOwnTheirChildrenAndRefuseDuplicateNames) {
    auto* dup = new CZelKWInt("RATE", 1, 0, 1, 0, 1);
    EXPECT_EQ(root->AddKeyword(dup), ZEL_ERR_DUPLICATE);
    delete dup;  // not adopted: still the caller's
    EXPECT_EQ(root->AddKeyword(nullptr), ZEL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(root->RemoveKeyword("rate"), ZEL_OK);
    EXPECT_EQ(root->FindKeyword("Rate"), nullptr);
    EXPECT_EQ(root->RemoveKeyword("Rate"), ZEL_ERR_UNKNOWN_KEYWORD);
    EXPECT_EQ(root->AddKeyword(new CZelKWInt("Rate", 1, 0, 1, 0, 1)), ZEL_OK);
    EXPECT_EQ(root->GetChild(root->GetChildCount() - 1), root->FindKeyword("Rate"));
    EXPECT_EQ(root->FindKeyword("Location.PCI.Bus")->GetParent(), root->FindKeyword("Location.PCI"));
    EXPECT_EQ(root->GetChild(1000), nullptr);

    // A name longer than the name field is cut, and still found by its cut form.
    const std::string longName(300, 'n');
    ASSERT_EQ(root->AddKeyword(new CZelKWStr(longName.c_str(), "x", nullptr, 0, 0, 16)), ZEL_OK);
    const std::string cut(127, 'n');
    EXPECT_EQ(Read(root.get(), cut.c_str()), "x");

    // Children handed to the constructor are adopted, a duplicate among them is dropped.
    CZelKeyword* initial[] = {new CZelKWInt("A", 1, 0, 9, 0, 1), nullptr, new CZelKWInt("a", 2, 0, 9, 0, 1)};
    CZelKWStruct made("Made", initial, 3);
    EXPECT_EQ(made.GetChildCount(), 1u);
    EXPECT_EQ(Read(&made, "A"), "1");
}

// ---------------------------------------------------------------- CBoard

TEST(Board, NewBoardHoldsTheFrameworkKeywords) {
    CBoard board("b0", "Product X");
    EXPECT_STREQ(board.GetName(), "b0");
    EXPECT_STREQ(board.GetProduct(), "Product X");
    struct Case {
        const char* path;
        const char* value;
    } cases[] = {
        {"State", "IDLE"},
        {"Number", "-1"},
        {"Location.Type", "None"},
        {"Driver.Name", ""},
        {"Driver.BoardId", "-1"},
        {"Eeprom.Family", "0"},
        {"Eeprom.SoftwareCompatibility", "0"},
        {"Eeprom.MFGYear", "0"},
        {"Eeprom.MFGWeek", "0"},
        {"Eeprom.ATETestBit", "0"},
        {"Eeprom.SerialNum", "0"},
        {"BootDiagnosticLevel", "0"},
        {"Clocking.Type", "None"},
    };
    for (const Case& c : cases) EXPECT_EQ(Read(&board, c.path), c.value) << c.path;
    EXPECT_EQ(Qualifier(&board, "State", "Choices"), "IDLE,BOOTED");
    EXPECT_EQ(Qualifier(&board, "Eeprom.SerialNum", "Maximum"), "4294967295");

    EXPECT_EQ(board.SetKeywordValue("State", "booted"), ZEL_OK);
    EXPECT_EQ(board.SetKeywordValue("State", "BOOTING"), ZEL_ERR_INVALID_VALUE);
    EXPECT_EQ(board.SetKeywordValue("Number", "256"), ZEL_ERR_INVALID_VALUE);
    EXPECT_EQ(board.SetKeywordValue("Eeprom.SerialNum", "1"), ZEL_ERR_NOT_A_VALUE);
    EXPECT_EQ(board.SetKeywordValue("BootDiagnosticLevel", "-65535"), ZEL_OK);
    EXPECT_EQ(board.SetKeywordValue("BootDiagnosticLevel", "65536"), ZEL_ERR_INVALID_VALUE);

    EXPECT_EQ(board.Start(), ZEL_ERR_NOT_SUPPORTED);
    EXPECT_EQ(board.Stop(), ZEL_ERR_NOT_SUPPORTED);
    EXPECT_EQ(board.Test(1), ZEL_ERR_NOT_SUPPORTED);
    EXPECT_EQ(board.SendBuffer("x", 1), ZEL_ERR_NOT_SUPPORTED);
    EXPECT_TRUE(board.KeywordsValidate());
}

// ---------------------------------------------------------------- CBoardPlugIn

int g_boardsAlive = 0;

class FakeBoard : public CBoard {
public:
    FakeBoard(const char* name, const char* product) : CBoard(name, product) { ++g_boardsAlive; }
    ~FakeBoard() override { --g_boardsAlive; }
    unsigned Start() override { return ++starts, 0; }
    unsigned Test(unsigned value) override { return value; }
    unsigned SendBuffer(const void*, unsigned length) override { return length; }
    unsigned SetKeywordValue(const char* name, const char* value) override {
        lastSet = std::string(name ? name : "") + "=" + (value ? value : "");
        return CBoard::SetKeywordValue(name, value);
    }
    int starts = 0;
    std::string lastSet;
};

class TestPlugIn : public CBoardPlugIn {
public:
    TestPlugIn() : CBoardPlugIn(nullptr, 0) {}
    CBoard* CreateProduct(const char* name, const char* product) override {
        if (std::string(product) == "plain") return new CBoard(name, product);
        if (std::string(product) != "test" && std::string(product) != "numbered") return nullptr;
        auto* board = new FakeBoard(name, product);
        if (std::string(product) == "numbered") board->SetKeywordValue("Number", "5");
        return board;
    }
    bool SupportedDriver(const char* driver) override { return std::string(driver).rfind("KVX", 0) == 0; }
};

std::vector<std::string> g_devices;
unsigned EnumerateDevices(unsigned index, char* driver, unsigned size, unsigned* bus, unsigned* slot) {
    if (index >= g_devices.size()) return 1;
    snprintf(driver, size, "%s", g_devices[index].c_str());
    *bus = 10 + index;
    *slot = 20 + index;
    return 0;
}

class PlugIn : public ::testing::Test {
protected:
    void SetUp() override { g_boardsAlive = 0; }
    void TearDown() override { ZelSetDeviceEnumerator(nullptr); }

    std::string Get(uint64_t handle, const char* name) {
        char buffer[512];
        unsigned r = plugin.GetKeyword(handle, name, buffer, sizeof(buffer));
        return r == ZEL_OK ? buffer : "<" + std::to_string(r) + ">";
    }
    std::string Handle(const char* board) {
        char buffer[32];
        unsigned r = plugin.GetQualifier(uint64_t{0}, board, "Handle", buffer, sizeof(buffer));
        return r == ZEL_OK ? buffer : "<" + std::to_string(r) + ">";
    }
    FakeBoard* Board(const char* name) { return dynamic_cast<FakeBoard*>(plugin.GetBoardByName(name)); }

    TestPlugIn plugin;
};

TEST_F(PlugIn, HoldsProductsAndVersionUnderHandleZero) {
    auto* products = dynamic_cast<CZelKWStrArray*>(plugin.GetKeywordByName("Products"));
    ASSERT_NE(products, nullptr);
    products->AddStrValue("KV One");
    products->AddStrValue("KV_Two");
    auto* major = dynamic_cast<CZelKWInt*>(plugin.GetKeywordByName("Version.Major"));
    ASSERT_NE(major, nullptr);
    major->SetIntValue(1);
    EXPECT_EQ(Get(0, "Products"), "\"KV One\" KV_Two");
    EXPECT_EQ(Get(0, "Products[1]"), "KV_Two");
    EXPECT_EQ(Get(0, "Products.Count"), "2");
    EXPECT_EQ(Get(0, "Version.Major"), "1");
    EXPECT_EQ(Get(0, "Version.Minor"), "0");
    EXPECT_EQ(Get(0, "Nothing"), "<2>");
    char buffer[32];
    EXPECT_EQ(plugin.GetQualifier(uint32_t{0}, "Products", "Type", buffer, sizeof(buffer)), ZEL_OK);
    EXPECT_STREQ(buffer, "List");
    EXPECT_EQ(plugin.GetQualifier(uint32_t{0}, "Products", "Handle", buffer, sizeof(buffer)),
              ZEL_ERR_UNKNOWN_QUALIFIER);
    EXPECT_EQ(plugin.GetQualifier(uint32_t{0}, "Version", "Colour", buffer, sizeof(buffer)),
              ZEL_ERR_UNKNOWN_QUALIFIER);
    EXPECT_EQ(plugin.OpenObject(0, 1), ZEL_OK);
    EXPECT_EQ(plugin.CloseObject(0), ZEL_OK);
}

TEST_F(PlugIn, CreatesBoardsByUniqueNameWithLowestFreeNumber) {
    EXPECT_EQ(plugin.CreateBoard("b0", "test"), ZEL_OK);
    EXPECT_EQ(plugin.CreateBoard("b1", "test"), ZEL_OK);
    EXPECT_EQ(plugin.CreateBoard("B0", "test"), ZEL_ERR_DUPLICATE);
    EXPECT_EQ(plugin.CreateBoard("b2", "unknown product"), ZEL_ERR_CREATE_FAILED);
    EXPECT_EQ(plugin.GetBoardByName("b2"), nullptr);
    EXPECT_EQ(plugin.CreateBoard("b2", "numbered"), ZEL_OK);  // keeps its own number 5
    EXPECT_EQ(plugin.CreateBoard("b3", "test"), ZEL_OK);
    EXPECT_EQ(g_boardsAlive, 4);
    ASSERT_NE(Board("B3"), nullptr);  // names found without regard to case
    EXPECT_EQ(Read(Board("b0"), "Number"), "0");
    EXPECT_EQ(Read(Board("b1"), "Number"), "1");
    EXPECT_EQ(Read(Board("b2"), "Number"), "5");
    EXPECT_EQ(Read(Board("b3"), "Number"), "2");

    EXPECT_EQ(plugin.DestroyBoard("b1"), ZEL_OK);
    EXPECT_EQ(plugin.DestroyBoard("b1"), ZEL_ERR_UNKNOWN_BOARD);
    EXPECT_EQ(g_boardsAlive, 3);
    EXPECT_EQ(plugin.CreateBoard("b4", "test"), ZEL_OK);
    EXPECT_EQ(Read(Board("b4"), "Number"), "1");  // the freed number comes back

    EXPECT_EQ(plugin.Exit(), ZEL_OK);
    EXPECT_EQ(g_boardsAlive, 0);
    EXPECT_EQ(plugin.GetBoardByName("b0"), nullptr);
    EXPECT_EQ(plugin.CreateBoard("b0", "test"), ZEL_OK);  // usable again after Exit
}

TEST_F(PlugIn, HandlesNameBoardsForKeywordCallsAndAreNeverReused) {
    ASSERT_EQ(plugin.CreateBoard("b0", "test"), ZEL_OK);
    ASSERT_EQ(plugin.CreateBoard("b1", "plain"), ZEL_OK);
    EXPECT_EQ(Handle("b0"), "1");
    EXPECT_EQ(Handle("B1"), "2");
    EXPECT_EQ(Handle("b9"), "<2>");
    EXPECT_EQ(plugin.GetBoardHandle("b1"), 2u);

    EXPECT_EQ(Get(1, "State"), "IDLE");
    EXPECT_EQ(plugin.SetKeyword(uint32_t{1}, "Driver.Name", "kvhw"), ZEL_OK);
    EXPECT_EQ(Board("b0")->lastSet, "Driver.Name=kvhw");  // through the board's own override
    EXPECT_EQ(Get(1, "Driver.Name"), "kvhw");
    EXPECT_EQ(Get(2, "Driver.Name"), "");
    char buffer[32];
    EXPECT_EQ(plugin.GetQualifier(uint64_t{1}, "Number", "Type", buffer, sizeof(buffer)), ZEL_OK);
    EXPECT_STREQ(buffer, "Integer");
    EXPECT_EQ(plugin.GetQualifier(uint64_t{1}, "Number", "Handle", buffer, sizeof(buffer)),
              ZEL_ERR_UNKNOWN_QUALIFIER);
    EXPECT_EQ(plugin.OpenObject(2, 0), ZEL_OK);
    EXPECT_EQ(plugin.CloseObject(2), ZEL_OK);

    ASSERT_EQ(plugin.DestroyBoard("b0"), ZEL_OK);
    EXPECT_EQ(Get(1, "State"), "<10>");
    EXPECT_EQ(plugin.SetKeyword(uint64_t{1}, "State", "IDLE"), ZEL_ERR_UNKNOWN_BOARD);
    EXPECT_EQ(plugin.GetQualifier(uint64_t{1}, "State", "Type", buffer, sizeof(buffer)), ZEL_ERR_UNKNOWN_BOARD);
    EXPECT_EQ(plugin.OpenObject(1, 0), ZEL_ERR_UNKNOWN_BOARD);
    EXPECT_EQ(plugin.CloseObject(99), ZEL_ERR_UNKNOWN_BOARD);
    ASSERT_EQ(plugin.CreateBoard("b0", "test"), ZEL_OK);
    EXPECT_EQ(Handle("b0"), "3");
}

TEST_F(PlugIn, BoardOperationsReachTheNamedBoard) {
    ASSERT_EQ(plugin.CreateBoard("b0", "test"), ZEL_OK);
    ASSERT_EQ(plugin.CreateBoard("b1", "plain"), ZEL_OK);
    EXPECT_EQ(plugin.StartBoard("B0"), ZEL_OK);
    EXPECT_EQ(Board("b0")->starts, 1);
    EXPECT_EQ(plugin.TestBoard("b0", 42), 42u);
    EXPECT_EQ(plugin.SendBuffer("b0", "abc", 3), 3u);
    EXPECT_EQ(plugin.StartBoard("b1"), ZEL_ERR_NOT_SUPPORTED);
    EXPECT_EQ(plugin.StopBoard("b1"), ZEL_ERR_NOT_SUPPORTED);
    for (const char* name : {"b9", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(plugin.StartBoard(name), ZEL_ERR_UNKNOWN_BOARD);
        EXPECT_EQ(plugin.StopBoard(name), ZEL_ERR_UNKNOWN_BOARD);
        EXPECT_EQ(plugin.TestBoard(name, 0), ZEL_ERR_UNKNOWN_BOARD);
        EXPECT_EQ(plugin.SendBuffer(name, "x", 1), ZEL_ERR_UNKNOWN_BOARD);
    }
}

TEST_F(PlugIn, DetectedBoardsListTheSupportedDevices) {
    g_devices = {"KVX7400", "OTHER", "KVX7401"};
    ZelSetDeviceEnumerator(&EnumerateDevices);
    EXPECT_EQ(plugin.AddDetectedBoardsKeywords("KV", "libkv"), ZEL_OK);
    EXPECT_EQ(Get(0, "DetectedBoards.Count"), "2");
    struct Case {
        const char* path;
        const char* value;
    } cases[] = {
        {"DetectedBoards[0].Name", "KV0"},    {"DetectedBoards[0].Driver", "KVX7400"},
        {"DetectedBoards[0].Plugin", "libkv"}, {"DetectedBoards[0].Bus", "10"},
        {"DetectedBoards[0].Slot", "20"},     {"DetectedBoards[1].Name", "KV1"},
        {"DetectedBoards[1].Driver", "KVX7401"}, {"DetectedBoards[1].Bus", "12"},
        {"DetectedBoards[1].Slot", "22"},     {"DetectedBoards[2].Name", "<2>"},
    };
    for (const Case& c : cases) EXPECT_EQ(Get(0, c.path), c.value) << c.path;

    // Each detection replaces the previous list.
    g_devices = {"KVX9"};
    EXPECT_EQ(plugin.AddDetectedBoardsKeywords("KV", "libkv"), ZEL_OK);
    EXPECT_EQ(Get(0, "DetectedBoards.Count"), "1");
    EXPECT_EQ(Get(0, "DetectedBoards[0].Driver"), "KVX9");
    ZelSetDeviceEnumerator(nullptr);
    EXPECT_EQ(plugin.AddDetectedBoardsKeywords("KV", "libkv"), ZEL_OK);
    EXPECT_EQ(Get(0, "DetectedBoards.Count"), "0");
}

}  // namespace
