// The plug-in's entry points, the plug-in object, the product models and a new board's keywords.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "Supervisor.h"
#include "emulated_board.h"
#include "fake_supervisor.h"
#include "kvboardplugin.h"
#include "kvemu.h"
#include "oam/boardplugin.h"

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
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        setenv("WBLOAD", KV_SHARE_DIR, 1);
    }
    void TearDown() override {
        if (boardPlugin != nullptr) Exit();
    }
};

TEST_F(PluginSpineTest, EveryEntryPointBeforeInitAnswersNotInitialised) {
    char buffer[64];
    struct {
        oam_msg_tag header;
        char texts[4];
    } record = {{}, "b0"};
    record.header = {sizeof record,        KV_ALERT_REMOVAL_REQUESTED, 0,
                     sizeof record.header, sizeof record.header + 3,   0};
    const uint32_t results[] = {Exit(),
                                DetectBoards(),
                                CreateBoard("b0", "KV 7400C-48"),
                                DestroyBoard("b0"),
                                GetKeyword(0, "Products", buffer, sizeof(buffer)),
                                SetKeyword(0, "Version.Major", "2"),
                                GetQualifier(0, "Products", "Type", buffer, sizeof(buffer)),
                                OpenObject(0, 0),
                                CloseObject(0),
                                StartBoard("b0"),
                                StopBoard("b0"),
                                TestBoard("b0", 0),
                                SendBuffer("b0", buffer, 1),
                                AlertReceive(&record.header)};
    for (size_t i = 0; i < sizeof results / sizeof results[0]; ++i)
        EXPECT_EQ(results[i], kNotInitialised) << "entry " << i;
}

TEST_F(PluginSpineTest, InitTwiceKeepsTheFirstObjectAndExitEndsIt) {
    ASSERT_EQ(Init(""), 0u);
    CKvBoardPlugIn* first = boardPlugin;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Init(""), 0x40000101u);
    EXPECT_EQ(boardPlugin, first);

    EXPECT_EQ(kvtest::Keyword(0, "Products"),
              "\"KV 7400C-48\" \"KV 7400C-32\" \"KV 7400C-16\" \"KV 7400-32\" \"KV 7400-16\" KV_7400");
    ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
    EXPECT_EQ(Exit(), 0u);
    EXPECT_EQ(boardPlugin, nullptr);
    EXPECT_EQ(Exit(), kNotInitialised);
    // A new life starts from nothing.
    ASSERT_EQ(Init(""), 0u);
    EXPECT_EQ(kvtest::Handle("b0"), 0u);
}

TEST_F(PluginSpineTest, ProductNamesPickTheirModelByCaseInsensitivePrefix) {
    ASSERT_EQ(Init(""), 0u);
    // A null model: no board for that name.
    const struct {
        const char* product;
        const std::type_info* model;
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
        CKvBoard* kv = static_cast<CKvBoard*>(board.get());
        EXPECT_STREQ(kv->m_ConfigBaseName, c.configName);
        // The clocking structure replaced the framework's one and ends the tree.
        ASSERT_GT(kv->GetChildCount(), 0u);
        EXPECT_NE(dynamic_cast<CKvH100Keyword*>(kv->GetChild(kv->GetChildCount() - 1)), nullptr);
    }

    // Detected devices are the family's only, by a case-insensitive driver name prefix.
    const struct {
        const char* name;
        bool supported;
    } drivers[] = {
        {"kv7400pci", true}, {"Kv7400", true}, {"KV740", false}, {"XV7400cpci", false}, {nullptr, false}};
    for (const auto& d : drivers)
        EXPECT_EQ(boardPlugin->SupportedDriver(d.name), d.supported) << (d.name ? d.name : "(null)");
    ZelSetDeviceEnumerator(&TwoDevices);
    EXPECT_EQ(DetectBoards(), 0u);
    ZelSetDeviceEnumerator(nullptr);
    EXPECT_EQ(kvtest::Keyword(0, "DetectedBoards.Count"), "1");
    EXPECT_EQ(kvtest::Keyword(0, "DetectedBoards[0].Plugin"), "kv");
    EXPECT_EQ(kvtest::Keyword(0, "DetectedBoards[0].Bus"), "4");
}

TEST_F(PluginSpineTest, FailuresMapToTheirCodes) {
    ASSERT_EQ(Init(""), 0u);
    char value[64];
    EXPECT_EQ(GetQualifier(0, "Products", "Type", value, sizeof(value)), 0u);
    EXPECT_EQ(GetQualifier(0, "Products", "NoSuchQualifier", value, sizeof(value)), 0x40000004u);
    EXPECT_EQ(GetQualifier(0, "NoSuchKeyword", "Type", value, sizeof(value)), 0x40000109u);
    ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
    uint64_t b0 = kvtest::Handle("b0");
    ASSERT_NE(b0, 0u);
    EXPECT_EQ(CreateBoard("b0", "KV 7400C-48"), 0x40000105u);
    // Names shorter than the framework's 128-byte limit only: two longer ones would share a name cut to fit.
    const std::string longest(127, 'n');
    EXPECT_EQ(CreateBoard((longest + "x").c_str(), "KV 7400C-48"), 0x40000105u);
    EXPECT_EQ(CreateBoard(longest.c_str(), "KV 7400C-48"), 0u);
    EXPECT_NE(kvtest::Handle(longest.c_str()), 0u);
    EXPECT_EQ(SetKeyword(b0, "Encoding", "G729"), 0x40000108u);
    EXPECT_EQ(GetKeyword(b0, "NoSuchKeyword", value, sizeof(value)), 0x40000107u);
    kvtest::ClearAlerts();
    EXPECT_EQ(TestBoard("b0", 0), 0x4000010Fu);
    EXPECT_EQ(SendBuffer("b0", value, 1), 0x40000110u);
    EXPECT_EQ(kvtest::Messages(-1),
              (std::vector<std::string>{"Test not supported.\n", "CKvBoard::SendBuffer()\n"}));
    EXPECT_EQ(StartBoard("nobody"), 0x4000010Cu);
    EXPECT_EQ(DestroyBoard("b0"), 0u);
    EXPECT_EQ(DestroyBoard("b0"), 0x40000106u);
}

TEST_F(PluginSpineTest, NewBoardReadsEveryDefaultAndRefusesValuesOutsideTheLimits) {
    ASSERT_EQ(Init(""), 0u);
    ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
    uint64_t b0 = kvtest::Handle("b0");
    ASSERT_NE(b0, 0u);
    // Every default, read through the entry point (the shipped file sets nothing).
    const std::pair<const char*, const char*> defaults[] = {{"State", "IDLE"},
                                                            {"Location.Type", "PCI"},
                                                            {"Location.PCI.Bus", "0"},
                                                            {"Location.PCI.Slot", "0"},
                                                            {"BootDiagnosticLevel", "1"},
                                                            {"DebugMask", "0"},
                                                            {"Driver.Name", "kvhw"},
                                                            {"Driver.BoardId", "-1"},
                                                            {"Eeprom.AssemblyRevision", "0"},
                                                            {"Eeprom.OAMProductNo", "0"},
                                                            {"DspFile", "kv100.dsp"},
                                                            {"DefaultQslacFile", "k7allsl6.slc"},
                                                            {"Port.Count", "48"},
                                                            {"Port[47].Qslac.File", ""},
                                                            {"HighBatteryEnable", "Enable"},
                                                            {"LowBatteryEnable", "Enable"},
                                                            {"ExternalRingerEnable", "Enable"},
                                                            {"RingVoltageEnable", "Enable"},
                                                            {"Encoding", "MuLaw"},
                                                            {"SignalingLoopbackEnable", "Disable"},
                                                            {"SwitchDriver.Name", "kvsw"},
                                                            {"SwitchConnections", "Auto"},
                                                            {"MonitorEnable", "Enable"},
                                                            {"HeartbeatRate", "100"},
                                                            {"Ring.Period", "6000"},
                                                            {"Ring.Cadences.Count", "3"},
                                                            {"Ring.Cadences[1].Toff1", "800"},
                                                            {"Ring.Cadences[2].Toff3", "4000"},
                                                            {"Dsp.Interrupt.Time", "10"},
                                                            {"Dsp.Interrupt.Size", "509"},
                                                            {"Dsp.DiagnosticImage", "bootdiag.hex"},
                                                            {"Dsp.Image", "kv100.dsp"},
                                                            {"OamTraceMask", "0"},
                                                            {"CFBEMCoverride", "Disable"},
                                                            {"RawMap", "Disable"},
                                                            {"Clocking.Type", "HBus"},
                                                            {"Clocking.HBus.ClockSource", "OSC"},
                                                            {"Clocking.HBus.ClockSourceNetwork", "0"},
                                                            {"Clocking.HBus.ClockMode", "STANDALONE"},
                                                            {"Clocking.HBus.NetRefSource", "STANDALONE"},
                                                            {"Clocking.HBus.NetRefSpeed", "8K"},
                                                            {"Clocking.HBus.SClockSpeed", "2M"},
                                                            {"Clocking.HBus.AutoFallBack", "NO"},
                                                            {"Clocking.HBus.FallBackClockSource", "OSC"},
                                                            {"Clocking.HBus.Segment", "1"}};
    for (const auto& d : defaults) EXPECT_EQ(kvtest::Keyword(b0, d.first), d.second) << d.first;
    // The board's own children come in this order, "Clocking" last.
    CZelKWStruct* board = boardPlugin->GetBoardByName("b0");
    std::string order;
    for (unsigned i = 0; i < board->GetChildCount(); ++i)
        order += std::string(board->GetChild(i)->GetName()) + " ";
    EXPECT_NE(
        order.find("DspFile DefaultQslacFile Port HighBatteryEnable LowBatteryEnable ExternalRingerEnable "
                   "RingVoltageEnable Encoding SignalingLoopbackEnable SwitchDriver SwitchConnections "
                   "MonitorEnable HeartbeatRate Ring Dsp OamTraceMask CFBEMCoverride RawMap Clocking "),
        std::string::npos)
        << order;
    EXPECT_EQ(kvtest::Keyword(b0, "Thermos")[0], '<');  // the sensors live beside the tree

    const struct {
        const char* name;
        const char* value;
        bool accepted;
    } settings[] = {{"Encoding", "alaw", true},
                    {"Encoding", "G729", false},
                    {"HeartbeatRate", "-1", false},
                    {"OamTraceMask", "-1", true},
                    {"RawMap", "Sometimes", false},
                    {"Clocking.HBus.ClockSourceNetwork", "1", false},
                    {"Clocking.HBus.SClockSpeed", "16M", false},
                    {"Port[12].Qslac.File", "custom.slc", true},
                    {"Port[48].Qslac.File", "custom.slc", false}};
    for (const auto& s : settings)
        EXPECT_EQ(SetKeyword(b0, s.name, s.value) == 0, s.accepted) << s.name << " = " << s.value;
    SetKeyword(b0, "OamTraceMask", "0");
}

}  // namespace
