// The keyword and board framework, the portability library and the device layer; table rows end in "; ".
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <sstream>
#include <thread>

#include "kvd/kvdevice.h"
#include "temp_dir.h"
#include "tsi/tsi.h"
#include "zel/zelframework.h"

namespace {

// A value (qualifier "") or a qualifier's answer, or "<result code>".
std::string Read(CZelKeyword* root, const std::string& path, const std::string& qualifier = "") {
    char buffer[4096] = "";
    const unsigned r = qualifier.empty()
                           ? root->GetKeywordValue(path.c_str(), buffer, sizeof(buffer))
                           : root->GetQualifierValue(path.c_str(), qualifier.c_str(), buffer, sizeof(buffer));
    return r == ZEL_OK ? buffer : "<" + std::to_string(r) + ">";
}

// Reads "PATH=VALUE", "PATH/QUALIFIER=ANSWER"; "PATH=TEXT -> RESULT VALUE" sets TEXT, then reads.
void Expect(CZelKeyword* root, const std::string& rows) {
    for (size_t at = 0, end; at < rows.size(); at = end + 2) {
        const std::string row = rows.substr(at, (end = std::min(rows.find("; ", at), rows.size())) - at);
        const size_t equals = row.find('='), arrow = row.find(" -> "),
                     slash = std::min(row.find('/'), equals);
        const std::string path = row.substr(0, slash);
        if (arrow == std::string::npos) {
            EXPECT_EQ(Read(root, path,
                           row.substr(std::min(slash + 1, equals), equals - std::min(slash + 1, equals))),
                      row.substr(equals + 1))
                << row;
        } else {
            const std::string got = std::to_string(
                root->SetKeywordValue(path.c_str(), row.substr(equals + 1, arrow - equals - 1).c_str()));
            EXPECT_EQ(got + " " + Read(root, path), row.substr(arrow + 4)) << row;
        }
    }
}

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
                                   new CZelKWStr("Text", "free", nullptr, 0, 0, 2),
                                   new CZelKWInt("Rate", 100, -50, 1000, 0, 1),
                                   new CZelKWInt("Serial", 7, 0, 0xFFFFFFFFL, ZEL_KW_READONLY, 1),
                                   new CZelKWStruct("Location", pci, 1),
                                   new CZelKWStrArray("Products", products, 3, 0, 16),
                                   new CZelKWStruct("Ring", ring, 1),
                                   new CZelKWInt("Big", 0, LONG_MIN, LONG_MAX, 0, 1)};
        root.reset(new CZelKWStruct("Board", children, 8));
    }
    std::unique_ptr<CZelKWStruct> root;
};

// "Default" follows the program's own values until one comes through SetKeywordValue or the defaults freeze.
TEST_F(KeywordTree, PathsAndQualifiersReachEveryKindOfKeyword) {
    auto* text = dynamic_cast<CZelKWStr*>(root->FindKeyword("Text"));
    auto* bus = dynamic_cast<CZelKWInt*>(root->FindKeyword("Location.PCI.Bus"));
    text->SetStrValue("made");  // the program's own value: still the default
    Expect(root.get(), "Rate=5 -> 0 5; Encoding=ALaw -> 0 ALaw");  // configured values are not
    root->FreezeDefaults();
    bus->SetIntValue(9);  // nor one set after creation
    Expect(root.get(),
           "encoding=ALaw; LOCATION.pci.BUS=9; Ring.Cadences[2].Ton1=20; Ring.Cadences.count=3; "
           "Products[0]=A one; Products[2]=C; Products.Count=3; Products=\"A one\" B C; "
           "Location=<6>; Encoding/Type=String; Encoding/choices=MuLaw,ALaw; Rate/TYPE=Integer; "
           "Rate/Minimum=-50; Rate/Maximum=1000; Rate/Default=100; Location/Type=Structure; "
           "Ring.Cadences/Type=List; Products/Minimum=<8>; Missing/Type=<2>; Text/Default=made; "
           "Location.PCI.Bus/Default=3; Encoding/Default=MuLaw; Encoding/Kind=string; "
           "Rate/kind=integer; Location/Kind=structure; Ring.Cadences/Kind=array; "
           "Products/Kind=array; Products[1]/Kind=string; Rate/Settable=Yes; Serial/Settable=No; "
           "Location/Settable=No; Products.Count/Settable=No; Products[0]/Settable=Yes; "
           "/Children=8; /Child[5]=Products; /Child[0]=Encoding; Ring.Cadences/Children=3; "
           "Ring.Cadences/Child[2]=[2]; Products/Child[0]=[0]; Rate/Children=0; /Child[8]=<2>; "
           "/Child[x]=<8>; /Child[1=<8>; Nothing=<2>; Products[x]=<2>; Products[1=<2>; Products[-1]=<2>; "
           "Products[4]=<2>; Ring.Cadences[3]=<2>; Products[99999999999999999999999]=<2>; "
           "Ring..Cadences=<2>; Encoding.=<2>; Encoding[0]=<2>; Nothing=1 -> 2 <2>; Encoding.=1 -> 2 <2>");
}

TEST_F(KeywordTree, ValuesAreCheckedForFormLimitsChoicesAndReadOnly) {
    Expect(
        root.get(),
        "Rate=0x1F -> 0 31; Rate=-0x10 -> 0 -16; Rate=-50 -> 0 -50; Rate=+1000 -> 0 1000; "
        "Rate=1001 -> 3 1000; Rate=-51 -> 3 1000; Rate= -> 4 1000; Rate=12abc -> 4 1000; Rate= 12 -> 4 1000; "
        "Rate=0x -> 4 1000; Rate=- -> 4 1000; Rate=0x1g -> 4 1000; "
        "Big=9223372036854775807 -> 0 9223372036854775807; Big=-9223372036854775808 -> 0 -9223372036854775808; "
        "Big=9223372036854775808 -> 3 -9223372036854775808; Big=-0x8000000000000001 -> 3 -9223372036854775808; "
        "Big=99999999999999999999999 -> 3 -9223372036854775808; Serial=5 -> 6 7; Products.Count=9 -> 6 3; "
        "Encoding=alaw -> 0 alaw; Encoding=Law -> 3 alaw");
    EXPECT_EQ(root->SetKeywordValue("Encoding", nullptr), ZEL_ERR_INVALID_ARGUMENT);
    auto* text = dynamic_cast<CZelKWStr*>(root->FindKeyword("Text"));
    std::vector<unsigned> added;
    for (const char* choice : {"Enable", "Disable", "ENABLE", "Other"})
        added.push_back(text->AddChoice(choice));
    EXPECT_EQ(added, (std::vector<unsigned>{ZEL_OK, ZEL_OK, ZEL_OK, ZEL_ERR_NO_MEMORY}));
    Expect(root.get(), "Text/Choices=Enable,Disable; Text=free -> 3 free");
}

// A value cut into a small buffer ends in it; the index Count appends; a long name is found by its cut form.
TEST_F(KeywordTree, ValuesArraysAndNamesKeepTheirBounds) {
    char buffer[8];
    Expect(root.get(),
           "Text=abcdef -> 0 abcdef; Products[3]=D -> 0 D; Products[5]=F -> 2 <2>; Products.Count=4");
    EXPECT_EQ(root->GetKeywordValue("Text", buffer, 7), ZEL_OK);  // an exact fit
    std::memset(buffer, 'X', sizeof(buffer));
    EXPECT_EQ(root->GetKeywordValue("Text", buffer, 6), ZEL_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::string(buffer, 7), std::string("abcde\0X", 7));  // cut, ended, nothing past the size
    EXPECT_EQ(root->GetKeywordValue("Rate", buffer, 4) + root->GetKeywordValue("Rate", buffer, 3),
              ZEL_ERR_BUFFER_TOO_SMALL);
    ASSERT_EQ(root->AddKeyword(new CZelKWStr(std::string(300, 'n').c_str(), "x", nullptr, 0, 0, 16)), ZEL_OK);
    Expect(root.get(), std::string(127, 'n') + "=x; " + std::string(128, 'n') + "=<2>");
}

int g_boardsAlive = 0;

struct FakeBoard : CBoard {
    FakeBoard(const char* name, const char* product) : CBoard(name, product) { ++g_boardsAlive; }
    ~FakeBoard() override { --g_boardsAlive; }
};

std::vector<std::string> g_devices;
unsigned EnumerateDevices(unsigned index, char* driver, unsigned size, unsigned* bus, unsigned* slot) {
    if (index >= g_devices.size()) return 1;
    return snprintf(driver, size, "%s", g_devices[index].c_str()), *bus = 10 + index, *slot = 20 + index, 0;
}

// Products "test" (a FakeBoard) and "numbered" (one that sets its own Number 5); devices KVX* are its own.
struct PlugIn : ::testing::Test, CBoardPlugIn {
    PlugIn() : CBoardPlugIn(nullptr, 0) {}
    CBoard* CreateProduct(const char* name, const char* product) override {
        const std::string kind = product;
        CBoard* board = kind == "test" || kind == "numbered" ? new FakeBoard(name, product) : nullptr;
        return kind == "numbered" ? (board->SetKeywordValue("Number", "5"), board) : board;
    }
    bool SupportedDriver(const char* driver) override { return std::string(driver).rfind("KVX", 0) == 0; }
    std::string Get(uint64_t handle, const char* name) {
        char buffer[512] = "";
        const unsigned r = GetKeyword(handle, name, buffer, sizeof(buffer));
        return r == ZEL_OK ? buffer : "<" + std::to_string(r) + ">";
    }
    std::string Handle(const char* name) { return Read(this, name, "Handle"); }
    std::string Number(const std::string& name) { return Read(GetBoardByName(name.c_str()), "Number"); }
};

TEST_F(PlugIn, CreatesBoardsByUniqueNameWithLowestFreeNumber) {
    const std::string longest(ZEL_NAME_MAX - 1, 'L'), tooLong(ZEL_NAME_MAX, 'L');
    std::vector<unsigned> results;
    for (const std::string& name :
         std::vector<std::string>{"b0", "b1", "B0", "b2", "b3", "bx", "", longest, tooLong})
        results.push_back(CreateBoard(name.c_str(), name == "b2" ? "numbered" : name == "bx" ? "-" : "test"));
    EXPECT_EQ(results,
              (std::vector<unsigned>{ZEL_OK, ZEL_OK, ZEL_ERR_DUPLICATE, ZEL_OK, ZEL_OK, ZEL_ERR_CREATE_FAILED,
                                     ZEL_ERR_INVALID_ARGUMENT, ZEL_OK, ZEL_ERR_INVALID_ARGUMENT}));
    EXPECT_EQ(Number("b0") + Number("b1") + Number("b2") + Number("B3") + Number(longest), "01523");
    Expect(GetBoardByName("b0"),
           "State=IDLE; Location.Type=None; Clocking.Type=None; State/Choices=IDLE,BOOTED; "
           "Number=256 -> 3 0; State=BOOTING -> 3 IDLE; State=booted -> 0 booted; Eeprom.SerialNum=1 -> 6 0");
    EXPECT_EQ(CreateBoard("bx", "test"), ZEL_OK);  // a failed creation left the name free
    EXPECT_EQ(DestroyBoard("b1"), ZEL_OK);
    EXPECT_EQ(CreateBoard("b4", "test"), ZEL_OK);
    EXPECT_EQ(Number("b4"), "1");  // the freed number comes back
    EXPECT_EQ(Exit(), ZEL_OK);
    EXPECT_EQ(g_boardsAlive, 0);
}

TEST_F(PlugIn, HandlesReachTheBoardsAndDetectedDevicesAreListed) {
    for (const char* name : {"b0", "b1"}) ASSERT_EQ(CreateBoard(name, "test"), ZEL_OK);
    EXPECT_EQ(Handle("b0") + Handle("B1") + Handle("") + Handle("nosuch"), "120<2>");
    EXPECT_EQ(SetKeyword(uint32_t{1}, "Driver.Name", "kvhw"), ZEL_OK);  // 32-bit handles reach them too
    EXPECT_EQ(Get(1, "Driver.Name") + Get(2, "Driver.Name") + Get(3, "State"), "kvhw<10>");
    ASSERT_EQ(DestroyBoard("b0"), ZEL_OK);
    EXPECT_EQ(SetKeyword(uint64_t{1}, "State", "IDLE"), ZEL_ERR_UNKNOWN_BOARD);
    ASSERT_EQ(CreateBoard("b0", "test"), ZEL_OK);
    EXPECT_EQ(Handle("b0"), "3");
    g_devices = {"KVX7400", "OTHER", "KVX7401"};
    ZelSetDeviceEnumerator(&EnumerateDevices);
    EXPECT_EQ(AddDetectedBoardsKeywords("KV", "libkv"), ZEL_OK);
    Expect(this,
           "DetectedBoards.Count=2; DetectedBoards[0].Plugin=libkv; DetectedBoards[1].Name=KV1; "
           "DetectedBoards[1].Driver=KVX7401; DetectedBoards[1].Bus=12; DetectedBoards[1].Slot=22");
}

// A word of a table: "-" stands for a null text, "_" for an empty one.
const char* Text(const std::string& word) { return word == "-" ? nullptr : word == "_" ? "" : word.c_str(); }

// Rows "A B N -> signs of tsiStricmp(A, B), tsiStrnicmp(A, B, N)"; '[', '{', '@', '`' are no letters.
TEST(Compare, LettersCompareWithoutRegardToCase) {
    const std::string table =
        "KV74 kv74 4 -> 0 0; kv74-x KV74 4 -> 1 0; abc ABD 2 -> -1 0; abc ABD 3 -> -1 -1; a _ 1 -> 1 1; "
        "Zeta alpha 4 -> 1 1; ZULU zulu 4 -> 0 0; AZ az 1 -> 0 0; [ { 1 -> -1 -1; @ ` 1 -> -1 -1; "
        "- a 1 -> -1 -1; a - 1 -> 1 1; same SAME 0 -> 0 0; - - 1 -> 0 0";
    auto sign = [](int v) { return std::to_string((v > 0) - (v < 0)); };
    for (size_t at = 0, end; at < table.size(); at = end + 2) {
        const std::string row = table.substr(at, (end = std::min(table.find("; ", at), table.size())) - at);
        std::istringstream in(row);
        std::string a, b;
        size_t n = 0;
        in >> a >> b >> n;
        EXPECT_EQ(sign(tsiStricmp(Text(a), Text(b))) + " " + sign(tsiStrnicmp(Text(a), Text(b), n)),
                  row.substr(row.find("-> ") + 3))
            << row;
    }
}

TEST(ThreadEnd, WaitSeesEachEndOnceAndTimesOut) {
    const unsigned long id = 0x7E57000001ul;
    auto wait = [](unsigned long thread, unsigned ms) { return tsiWaitForDestroyThread(thread, ms); };
    EXPECT_EQ(std::vector<unsigned>(
                  {wait(id, 10), (tsiThreadEnded(id), wait(id + 1, 0)), wait(id, 0), wait(id, 0)}),
              std::vector<unsigned>({1, 1, 0, 1}));
    std::thread ender([id] { tsiThreadEnded(id + 2); });
    EXPECT_EQ(wait(id + 2, 0xFFFFFFFFu), 0u);
    ender.join();
}

std::string g_log;
int Open(const char* path, int flags, void* c) {
    return std::strncmp(path, "/dev/emu", 8) ? -2 : flags ? -1 : (g_log += static_cast<char*>(c), 5000);
}
int Ioctl(int fd, unsigned long request, void*, void* c) {
    return g_log += static_cast<char*>(c) + std::to_string(fd + request), 0;
}
int Close(int, void* c) { return g_log += static_cast<char*>(c), 0; }

TEST(DeviceLayer, ProviderAnswersForThePathsAndDescriptorsItOwns) {
    KvDevProvider mine{Open, Ioctl, Close, const_cast<char*>("A")},
        other{Open, Ioctl, Close, const_cast<char*>("B")};
    kvDevSetProvider(&mine);
    const int refused = kvDevOpen("/dev/emu00", O_RDWR), fd = kvDevOpen("/dev/emu00", O_RDONLY),
              real = kvDevOpen("/dev/null", O_RDONLY);
    kvDevSetProvider(&other);
    EXPECT_EQ(std::vector<int>({refused, fd, kvDevIoctl(fd, 1, nullptr), kvDevClose(fd), kvDevClose(fd),
                                kvDevClose(real)}),
              std::vector<int>({-1, 5000, 0, 0, -1, 0}));
    EXPECT_EQ(g_log, "AA5001A");
    kvDevSetProvider(nullptr);
    EXPECT_EQ(kvDevOpen("/dev/emu00", O_RDONLY) + kvDevOpen(nullptr, O_RDONLY), -2);  // no such file, no path
}

// Directories a, b, d.x (a dot in a directory's name is no extension) and a/dir.dft; "." is b.
struct FindFile : ::testing::Test {
    void SetUp() override {
        for (const char* dir : {"/a", "/b", "/d.x", "/a/dir.dft"})
            ASSERT_EQ(mkdir((root + dir).c_str(), 0700), 0);
        for (const char* file :
             {"a/cfg.dft", "b/cfg.dft", "b/coeff.slc", "b/image.hex", "b/dir.dft", "d.x/c.slc"})
            temp.Write(file, "");
        ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
        ASSERT_EQ(chdir(b.c_str()), 0);
    }
    void TearDown() override { EXPECT_EQ(chdir(previous), 0); }
    kvtest::TempDir temp;
    const std::string root = temp.path, a = root + "/a", b = root + "/b", d = root + "/d.x";
    char previous[4096];
};

// Rows "NAME EXTENSION PATH -> FULLPATH DIRECTORY" (or 1: not found), $r the root, $a, $b, $d below it.
TEST_F(FindFile, SearchesThePathInOrder) {
    const std::string table =
        "cfg dft $a:$b -> $a/cfg.dft $a; cfg dft $b:$a -> $b/cfg.dft $b; coeff slc $a:$b -> $b/coeff.slc $b; "
        "coeff slc $a:$b: -> $b/coeff.slc $b; image.hex dsp $a:$b -> $b/image.hex $b; image dsp $a:$b -> 1; "
        "cfg.dft - $b -> $b/cfg.dft $b; cfg _ $b -> 1; dir dft $a:$b -> $b/dir.dft $b; missing dft $a:$b -> 1; "
        "cfg dft ::$b/: -> $b/cfg.dft $b/; c slc $a::$d -> $d/c.slc $d; cfg dft $r/nowhere -> 1; _ dft $a -> 1; "
        "$b/coeff slc $a -> $b/coeff.slc $b; $d/c slc $a -> $d/c.slc $d; $a/coeff slc $b -> 1; "
        "coeff slc - -> ./coeff.slc .; coeff slc _ -> ./coeff.slc .; cfg xyz - -> 1";
    for (size_t at = 0, end; at < table.size(); at = end + 2) {
        std::string row = table.substr(at, (end = std::min(table.find("; ", at), table.size())) - at), name,
                    ext, path;
        for (const auto& [from, to] : {std::make_pair("$r", root), {"$a", a}, {"$b", b}, {"$d", d}})
            for (size_t i; (i = row.find(from)) != std::string::npos;) row.replace(i, 2, to);
        std::istringstream(row) >> name >> ext >> path;
        char found[256] = "untouched", fullPath[256] = "untouched";
        const unsigned result = tsiFindFile(Text(name), Text(ext), Text(path), found, fullPath, 256);
        EXPECT_EQ(result == 0 ? std::string(fullPath) + " " + found : std::to_string(result),
                  row.substr(row.find("-> ") + 3))
            << row;
    }
    const std::string expected = b + "/coeff.slc";
    std::vector<char> buffer(expected.size() + 8, '#');
    EXPECT_EQ(tsiFindFile("coeff", "slc", b.c_str(), nullptr, buffer.data(), expected.size() + 1), 0u);
    EXPECT_EQ(std::string(buffer.data()), expected);
    buffer.assign(buffer.size(), '#');
    EXPECT_EQ(tsiFindFile("coeff", "slc", b.c_str(), nullptr, buffer.data(), expected.size()), 2u);
    EXPECT_EQ(std::string(buffer.begin() + expected.size(), buffer.end()), std::string(8, '#'));
}

}  // namespace
