// kvoam's "emu" commands: what they print, in words and in JSON, what they
// change in the emulator, and how they refuse bad input.
#include "emucmd.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fake_supervisor.h"
#include "kvd/kvdriver.h"
#include "kvemu.h"
#include "oam/boardplugin.h"

namespace {

class EmuCommandTest : public ::testing::Test {
protected:
    KVHANDLE h = nullptr;
    std::string out, error;

    void SetUp() override {
        kvemu::Reset();
        ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, &h));
    }
    void TearDown() override { kvemu::Reset(); }
    // Runs one command; out and error hold what it printed.
    int Emu(const std::vector<std::string>& words, bool json = false) {
        out.clear();
        error.clear();
        return RunEmuCommand(words, json, out, error);
    }
    bool Printed(const std::string& fragment) const { return out.find(fragment) != std::string::npos; }
};

TEST_F(EmuCommandTest, RegistersBoardsFaultsAndTheJournal) {
    ASSERT_EQ(0, Emu({"reg", "0", "0", "0xa0008"}, true)) << error;
    EXPECT_EQ("{\"emu\":\"reg\",\"bus\":0,\"slot\":0,\"address\":\"0x000a0008\",\"value\":\"0xe0\"}\n", out);
    ASSERT_EQ(0, Emu({"reg", "0", "0", "655362", "0x1f"})) << error;
    EXPECT_EQ("0:0 0x000a0002 = 0x1f\n", out);
    uint8_t value = 0;
    ASSERT_EQ(0, kvemu::ReadRegister(0, 0, 0xA0002, &value));
    EXPECT_EQ(0x1F, value);
    ASSERT_EQ(0, Emu({"board", "2", "0x3"}, true)) << error;
    EXPECT_EQ("{\"emu\":\"board\",\"bus\":2,\"slot\":3}\n", out);

    ASSERT_EQ(0, Emu({"journal", "clear"}));
    ASSERT_EQ(0, Emu({"fail", "BoardWriteByte", "0x10", "2"}, true)) << error;
    EXPECT_EQ("{\"emu\":\"fail\",\"function\":\"BoardWriteByte\",\"status\":16,\"nth\":2}\n", out);
    EXPECT_EQ(0u, BoardWriteByte(h, 0xA0002, 0xFB));
    EXPECT_EQ(16u, BoardWriteByte(h, 0xA0002, 0xFA));
    ASSERT_EQ(0, Emu({"journal"}, true));
    EXPECT_EQ(
        "{\"journal\":\"0:0 BoardWriteByte 0xa0002 0xfb = 0\"}\n"
        "{\"journal\":\"0:0 BoardWriteByte 0xa0002 0xfa = 16\"}\n",
        out);
    // A saved journal compares equal; one call more shows as the first difference, and the compare fails.
    const std::string saved = "/tmp/emucmd_journal_" + std::to_string(getpid());
    ASSERT_EQ(0, Emu({"journal", "save", saved})) << error;
    ASSERT_EQ(0, Emu({"journal", "compare", saved})) << error;
    EXPECT_EQ(0u, BoardWriteByte(h, 0xA0002, 0x01));
    EXPECT_EQ(1, Emu({"journal", "compare", saved}, true));
    unlink(saved.c_str());
    EXPECT_EQ("{\"emu\":\"journal\",\"compared\":\"" + saved +
                  "\",\"same\":false,\"line\":3,"
                  "\"expected\":\"(end)\",\"got\":\"0:0 BoardWriteByte 0xa0002 0x1 = 0\"}\n",
              out);
    EXPECT_EQ("emu journal compare: the journal differs from '" + saved + "' at line 3", error);
    // Without NTH every call fails.
    ASSERT_EQ(0, Emu({"fail", "BoardReadByte", "7"}));
    EXPECT_EQ(7u, BoardReadByte(h, 0xA0008, &value));
    EXPECT_EQ(7u, BoardReadByte(h, 0xA0008, &value));
}

TEST_F(EmuCommandTest, ViewsAndStimuliReachTheModelAndTheMonitor) {
    const uint8_t bytes[3] = {0x4A, 0x21, 0x40};
    ASSERT_EQ(0u, LineConfigureSingle(h, 3, bytes, 3));
    ASSERT_EQ(0u, LineSetGxZeroValues(h, 3, 164, 64));
    ASSERT_EQ(0, Emu({"port", "0", "0", "3"}, true)) << error;
    EXPECT_TRUE(Printed("\"port\":3,\"command\":0,\"bytes\":\"0x4a 0x21 0x40\"}\n")) << out;
    EXPECT_TRUE(Printed("\"gx\":[164,64],\"gr\":null}\n")) << out;
    ASSERT_EQ(0, Emu({"temp", "0", "0", "3", "-5"}));
    ASSERT_EQ(0, Emu({"dsp", "0", "0"}));
    EXPECT_TRUE(Printed("sensor 3: -5 degrees")) << out;

    ASSERT_EQ(0u, BoardStartMonitoring(h));
    for (std::vector<std::string> words : {std::vector<std::string>{"heartbeat", "0", "0", "lost"},
                                           {"status", "0", "0", "1", "2", "3", "4", "5", "6", "7", "0x8"},
                                           {"message", "0", "0", "77"}})
        ASSERT_EQ(0, Emu(words)) << words[0] << ": " << error;
    // In order: heartbeat lost, the status words, the manager's message.
    uint8_t m[3][116];
    uint16_t words[9];
    uint32_t length[3] = {};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(0u, kvReceiveMessage(h, m[i], 116, &length[i])) << i;
    std::memcpy(words, m[1] + 14, sizeof words);
    EXPECT_EQ((std::vector<uint16_t>{0x10, 1, 2, 3, 4, 5, 6, 7, 8}), std::vector<uint16_t>(words, words + 9));
    EXPECT_EQ((std::vector<unsigned>{8, 1, 1, 77}),
              (std::vector<unsigned>{length[0], m[0][0], m[0][4], m[2][0]}));
}

TEST_F(EmuCommandTest, BadInputGivesAnErrorAndPrintsNothing) {
    std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"reg", "0", "0"},
        {"reg", "0", "0", "0x"},
        {"reg", "0", "0", "12abc"},
        {"reg", "0", "0", "-1"},
        {"reg", "0", "0", "4294967296"},
        {"reg", "0", "0", "0xa0002", "256"},
        {"reg", "0", "5", "0xa0002"},
        {"board", "0", "0"},  // no board there; already there
        {"fail", "NoSuchCall", "1"},
        {"fail", "ioctl", "5", "0"},
        {"l2p", "0", "0", "8", "0"},
        {"port", "0", "0", "48"},
        {"temp", "0", "0", "5", "40"},
        {"heartbeat", "0", "0", "gone"},
        {"status", "0", "0", "1", "2", "3", "4", "5", "6", "7", "65536"},
        {"journal", "save"},
        {"journal", "compare", "/nonexistent/journal"},
        {"journal", "save", "/nonexistent/journal"},
        {"journal", "wait", "NoSuchCall", "1"},
        {"dspmsg", "0", "0", "3", "6"},
    };
    bad.back().resize(5 + 33, "1");  // 33 parameters
    for (const auto& words : bad) {
        SCOPED_TRACE(words.empty() ? "" : words[0] + " " + words.back());
        EXPECT_NE(0, Emu(words, true));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(std::string::npos, error.find('\n'));  // one line
        EXPECT_EQ("", out);
    }
}

// Full starts against the golden journals in tests/journals (see its "cases"):
// the journal of driver calls must match byte for byte. With
// KV_REGENERATE_JOURNALS set, the journals are written instead
// (scripts/regen-journals).
TEST_F(EmuCommandTest, FullStartsMatchTheGoldenJournals) {
    kvtest::SleepRecorder pauses;
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    const bool regenerate = getenv("KV_REGENERATE_JOURNALS") != nullptr;
    const std::string dir = std::string(KV_SOURCE_DIR) + "/tests/journals/";
    std::ifstream cases(dir + "cases");
    ASSERT_TRUE(cases.good());
    unsigned starts = 0;
    for (std::string line; std::getline(cases, line);) {
        std::istringstream words(line);
        std::string name, population, setting;
        if (line.empty() || line[0] == '#' || !(words >> name >> population)) continue;
        SCOPED_TRACE(name);
        kvemu::Reset();
        ASSERT_EQ(0, Emu({"reg", "0", "0", "0xa0008", population})) << error;
        ASSERT_EQ(0u, Init(""));
        ASSERT_EQ(0u, CreateBoard("b0", "KV 7400C-48"));
        char handle[32] = "";
        ASSERT_EQ(0u, GetQualifier(0, "b0", "Handle", handle, sizeof handle));
        while (words >> setting) {
            size_t equals = setting.find('=');
            EXPECT_EQ(0u, SetKeyword(std::strtoull(handle, nullptr, 10), setting.substr(0, equals).c_str(),
                                     setting.substr(equals + 1).c_str()));
        }
        EXPECT_EQ(0u, StartBoard("b0"));
        EXPECT_EQ(0, Emu({"journal", "wait", "kvReceiveMessage"})) << error;
        EXPECT_EQ(0, Emu({"journal", regenerate ? "save" : "compare", dir + name + ".journal"}))
            << error << "\n"
            << out;
        EXPECT_EQ(0u, Exit());
        ++starts;
    }
    EXPECT_EQ(8u, starts);
}

}  // namespace
