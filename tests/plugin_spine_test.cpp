// The plug-in's entry points, the plug-in object, the product models and a new board's keywords.
#include <sstream>
#include <tuple>
#include <typeinfo>

#include "fixtures.h"

namespace {

const uint32_t kNotInitialised = 0x40000002;

unsigned TwoDevices(unsigned index, char* driverName, unsigned size, unsigned* bus, unsigned* slot) {
    if (index >= 2) return 1;
    snprintf(driverName, size, "%s", index == 0 ? "kv7400cpci" : "e1000");
    *bus = 4 + index, *slot = 9;
    return 0;
}

class PluginSpineTest : public ::testing::Test {
protected:
    void SetUp() override { kvtest::FreshEmulator(); }
    void TearDown() override { Exit(); }
};

TEST_F(PluginSpineTest, EveryEntryPointBeforeInitAnswersNotInitialised) {
    char buffer[64];
    struct {
        oam_msg_tag header;
        char texts[4];
    } record = {{sizeof record, 0x40112002, 0, sizeof record.header, sizeof record.header + 3, 0}, "b0"};
    EXPECT_EQ(std::vector<uint32_t>(
                  {Exit(), DetectBoards(), CreateBoard("b0", "KV 7400C-48"), DestroyBoard("b0"),
                   GetKeyword(0, "Products", buffer, sizeof(buffer)), SetKeyword(0, "Version.Major", "2"),
                   GetQualifier(0, "Products", "Type", buffer, sizeof(buffer)), OpenObject(0, 0),
                   CloseObject(0), StartBoard("b0"), StopBoard("b0"), TestBoard("b0", 0),
                   SendBuffer("b0", buffer, 1), AlertReceive(&record.header)}),
              std::vector<uint32_t>(14, kNotInitialised));
}

TEST_F(PluginSpineTest, InitTwiceKeepsTheFirstObjectAndExitEndsIt) {
    ASSERT_EQ(Init(""), 0u);
    CKvBoardPlugIn* first = boardPlugin;
    EXPECT_EQ(Init(""), 0x40000101u);
    EXPECT_EQ(boardPlugin, first);
    ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
    EXPECT_EQ(Exit(), 0u);
    EXPECT_EQ(boardPlugin, nullptr);
    EXPECT_EQ(Exit(), kNotInitialised);
    ASSERT_EQ(Init(""), 0u);  // a new life starts from nothing
    EXPECT_EQ(kvtest::Handle("b0"), 0u);
}

TEST_F(PluginSpineTest, ProductNamesPickTheirModelByCaseInsensitivePrefix) {
    ASSERT_EQ(Init(""), 0u);
    const struct {
        const char* product;
        const std::type_info* model;  // null: no board for that name
        const char* configName;
    } cases[] = {{"kv 7400c-48 rev B", &typeid(CKv7400_C48), "kv7400cpci_48"},
                 {"KV 7400C-32", &typeid(CKv7400_C32), "kv7400cpci_32"},
                 {"KV 7400C-16", &typeid(CKv7400_C16), "kv7400cpci_16"},
                 {"KV 7400-32", &typeid(CKv7400_32), "kv7400pci_32"},
                 {"Kv 7400-16", &typeid(CKv7400_16), "kv7400pci_16"},
                 {"kv_7400-anything", &typeid(CKv7400_GENERIC), "kv7400"},
                 {"KV 7400", nullptr, nullptr},
                 {"KV 7400C-4", nullptr, nullptr},
                 {"", nullptr, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.product);
        std::unique_ptr<CBoard> board(boardPlugin->CreateProduct("p0", c.product));
        if (c.model == nullptr) {
            EXPECT_EQ(board, nullptr);
            EXPECT_EQ(CreateBoard("p1", c.product), 0x40000105u);
            continue;
        }
        ASSERT_NE(board, nullptr);
        ASSERT_EQ(typeid(*board), *c.model);
        EXPECT_STREQ(static_cast<CKvBoard*>(board.get())->m_ConfigBaseName, c.configName);
    }
    const std::pair<const char*, bool> drivers[] = {
        {"kv7400pci", true}, {"Kv7400", true}, {"KV740", false}, {"XV7400cpci", false}, {nullptr, false}};
    for (const auto& d : drivers) EXPECT_EQ(boardPlugin->SupportedDriver(d.first), d.second) << d.first;
    ZelSetDeviceEnumerator(&TwoDevices);
    EXPECT_EQ(DetectBoards(), 0u);
    ZelSetDeviceEnumerator(nullptr);
    EXPECT_EQ(kvtest::Keyword(0, "DetectedBoards.Count"), "1");
    EXPECT_EQ(kvtest::Keyword(0, "DetectedBoards[0].Plugin"), "kv");
    EXPECT_EQ(kvtest::Keyword(0, "DetectedBoards[0].Bus"), "4");
}

TEST_F(PluginSpineTest, FailuresMapToTheirCodes) {
    ASSERT_EQ(Init(""), 0u);
    ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
    const uint64_t b0 = kvtest::Handle("b0");
    char value[64];
    const std::string longest(127, 'n');  // longer names would share a name cut to the framework's 128 bytes
    const std::pair<uint32_t, uint32_t> calls[] = {
        {GetQualifier(0, "Products", "Type", value, sizeof(value)), 0},
        {GetQualifier(0, "Products", "NoSuchQualifier", value, sizeof(value)), 0x40000004},
        {GetQualifier(0, "NoSuchKeyword", "Type", value, sizeof(value)), 0x40000109},
        {CreateBoard("b0", "KV 7400C-48"), 0x40000105},
        {CreateBoard((longest + "x").c_str(), "KV 7400C-48"), 0x40000105},
        {CreateBoard(longest.c_str(), "KV 7400C-48"), 0},
        {SetKeyword(b0, "Encoding", "G729"), 0x40000108},
        {GetKeyword(b0, "NoSuchKeyword", value, sizeof(value)), 0x40000107},
        {OpenObject(b0, 0) + CloseObject(b0), 0},
        {OpenObject(9999, 0), 0x4000010A},
        {CloseObject(9999), 0x4000010B},
        {TestBoard("b0", 0), 0x4000010F},
        {SendBuffer("b0", value, 1), 0x40000110},
        {StartBoard("nobody"), 0x4000010C},
        {StopBoard("nobody"), 0x4000010D},
        {DestroyBoard("b0"), 0},
        {DestroyBoard("b0"), 0x40000106}};
    for (size_t i = 0; i < sizeof calls / sizeof calls[0]; ++i)
        EXPECT_EQ(calls[i].first, calls[i].second) << i;
    EXPECT_EQ(kvtest::Messages(-1), (kvtest::Texts{"Test not supported.\n", "CKvBoard::SendBuffer()\n"}));
}

// Every keyword of a new board in order, "PATH VALUE [LIMITS or CHOICES];" (VALUE "-": structure or array).
const char kKeywords[] = R"(State IDLE IDLE,BOOTED,BOOTING; Number 0 -1..255; Location -; Location.Type PCI;
Location.PCI.Bus 0 -65535..65535; Location.PCI.Slot 0 -65535..65535; Driver -; Driver.Name kvhw;
Driver.BoardId -1; Eeprom -; Eeprom.AssemblyRevision 0 0..65535; Eeprom.OAMProductNo 0 0..65535;
BootDiagnosticLevel 1 -65535..65535; DebugMask 0 -65535..65535; DspFile kv100.dsp;
DefaultQslacFile k7allsl6.slc; Port -; Port.Count 48; Port[47].Qslac.File "";
HighBatteryEnable Enable Enable,Disable; LowBatteryEnable Enable Enable,Disable;
ExternalRingerEnable Enable Enable,Disable; RingVoltageEnable Enable Enable,Disable;
Encoding MuLaw MuLaw,ALaw; SignalingLoopbackEnable Disable Enable,Disable; SwitchDriver -;
SwitchDriver.Name kvsw; SwitchConnections Auto Yes,No,Auto; MonitorEnable Enable Enable,Disable;
HeartbeatRate 100 0..2147483647; Ring -; Ring.Period 6000 6..32766; Ring.Cadences.Count 3;
Ring.Cadences[1].Toff1 800 0..32766; Ring.Cadences[2].Toff3 4000 0..32766; Dsp -;
Dsp.Interrupt.Time 10 0..65535; Dsp.Interrupt.Size 509 0..1018; Dsp.DiagnosticImage bootdiag.hex;
Dsp.Image kv100.dsp; OamTraceMask 0 -1..2147483647; CFBEMCoverride Disable Enable,Disable;
RawMap Disable Enable,Disable; Clocking -; Clocking.Type HBus;
Clocking.HBus.ClockSource OSC OSC,A_CLOCK,B_CLOCK,NETREF; Clocking.HBus.ClockSourceNetwork 0 0..0;
Clocking.HBus.ClockMode STANDALONE MASTER_A,MASTER_B,SLAVE,STANDALONE;
Clocking.HBus.NetRefSource STANDALONE OSC,STANDALONE; Clocking.HBus.NetRefSpeed 8K 8K,1544M,2048M;
Clocking.HBus.SClockSpeed 2M 2M,4M,8M; Clocking.HBus.AutoFallBack NO YES,NO;
Clocking.HBus.FallBackClockSource OSC OSC,A_CLOCK,B_CLOCK,NETREF; Clocking.HBus.Segment 1 -65535..65535;
)";

std::string Qualifier(uint64_t handle, const std::string& path, const char* qualifier) {
    char text[256] = "";
    return GetQualifier(handle, path.c_str(), qualifier, text, sizeof text) == 0 ? text : "<none>";
}

TEST_F(PluginSpineTest, NewBoardHoldsEveryKeywordWithItsValueAndLimitsOrChoices) {
    ASSERT_EQ(Init(""), 0u);
    EXPECT_EQ(kvtest::Keyword(0, "Products"),
              "\"KV 7400C-48\" \"KV 7400C-32\" \"KV 7400C-16\" \"KV 7400-32\" \"KV 7400-16\" KV_7400");
    EXPECT_EQ(kvtest::Keyword(0, "Version.Major") + "." + kvtest::Keyword(0, "Version.Minor"), "1.1");
    ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
    const uint64_t b0 = kvtest::Handle("b0");
    std::istringstream table(kKeywords);
    std::string entry, order, path, value, limits;
    while (std::getline(table, entry, ';') && (std::istringstream(entry) >> path >> value)) {
        std::istringstream(entry) >> path >> value >> limits;
        if (path.find_first_of(".[") == std::string::npos) order += path + " ";
        if (value != "-") {
            EXPECT_EQ(kvtest::Keyword(b0, path.c_str()), value == "\"\"" ? "" : value) << path;
        }
        if (limits.find("..") != std::string::npos) {
            EXPECT_EQ(Qualifier(b0, path, "Minimum") + ".." + Qualifier(b0, path, "Maximum"), limits) << path;
        } else if (!limits.empty()) {
            EXPECT_EQ(Qualifier(b0, path, "Choices"), limits) << path;
        }
        limits.clear();
    }
    CZelKWStruct* board = boardPlugin->GetBoardByName("b0");
    std::string children;
    for (unsigned i = 0; i < board->GetChildCount(); ++i)
        children += std::string(board->GetChild(i)->GetName()) + " ";
    EXPECT_EQ(children.substr(children.find("State ")), order);
    EXPECT_EQ(kvtest::Keyword(b0, "Thermos"), "<missing>");  // the sensors live beside the tree
    const std::tuple<const char*, const char*, bool> settings[] = {{"Ring.Period", "32766", true},
                                                                   {"Ring.Period", "32767", false},
                                                                   {"Ring.Period", "5", false},
                                                                   {"Encoding", "alaw", true},
                                                                   {"Port[48].Qslac.File", "x", false}};
    for (const auto& [name, text, accepted] : settings)
        EXPECT_EQ(SetKeyword(b0, name, text) == 0, accepted) << name << " = " << text;
}

}  // namespace
