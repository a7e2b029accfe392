// kvoam's "emu" commands: what they print, in words and in JSON, what they change in the emulator, and how
// they refuse bad input.
#include "emucmd.h"

#include <gtest/gtest.h>

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
#include "temp_dir.h"

namespace {

struct EmuCommandTest : ::testing::Test {
    void SetUp() override {
        kvemu::Reset();
        ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, &h));
    }
    void TearDown() override { kvemu::Reset(); }
    // Runs a command ("--json" first for JSON): its status, then what it printed and the error it gave.
    std::string Emu(const std::string& command) {
        std::istringstream in(command);
        std::vector<std::string> words;
        for (std::string word; in >> word;) words.push_back(word);
        const bool json = !words.empty() && words[0] == "--json";
        std::string out, error;
        const int status =
            RunEmuCommand(std::vector<std::string>(words.begin() + json, words.end()), json, out, error);
        return std::to_string(status) + " " + out + error;
    }
    KVHANDLE h = nullptr;
};

// Each command in turn -> its status and how its output begins ('|' ends a line; $J is a journal file). A
// number may be decimal or 0x-hex; the journal compare shows the first line that differs.
TEST_F(EmuCommandTest, CommandsPrintWhatTheyDidAndChangeTheModel) {
    kvtest::TempDir dir;
    const uint8_t bytes[3] = {0x4A, 0x21, 0x40};
    ASSERT_EQ(0u, LineConfigureSingle(h, 3, bytes, 3) | LineSetGxZeroValues(h, 3, 164, 64) |
                      BoardStartMonitoring(h));
    kvemu::ClearJournal();
    ASSERT_EQ(0u, BoardFlashLedOn(h));
    std::ofstream(dir.path + "/other") << "0:0 BoardFlashLedOn = 0\nother\n";
    std::istringstream table(
        R"table(--json reg 0 0 0xa0008 -> 0 {"emu":"reg","bus":0,"slot":0,"address":"0x000a0008","value":"0xe0"}|
reg 0 0 655362 0x1f -> 0 0:0 0x000a0002 = 0x1f|
--json board 2 0x1f -> 0 {"emu":"board","bus":2,"slot":31}|
--json fail BoardWriteByte 0x10 2 -> 0 {"emu":"fail","function":"BoardWriteByte","status":16,"nth":2}|
fail BoardReadByte 7 -> 0 BoardReadByte fails with 7 on every call|
fail BoardReadByte 0 -> 0 faults of BoardReadByte removed|
port 0 0 3 -> 0 port 3 command 0: 0x4a 0x21 0x40|port 3 coefficients (0 load(s), 0 bytes): |port 3 gx 164 64 gr not set|
--json port 0 0 47 -> 0 {"emu":"port","bus":0,"slot":0,"port":47,"coefficientLoads":0,"coefficients":""}|{"emu":"port","bus":0,"slot":0,"port":47,"gx":null,"gr":null}|
--json temp 0 0 4 -273 -> 0 {"emu":"temp","bus":0,"slot":0,"sensor":4,"degrees":-273}|
--json temp 0 0 0 1000 -> 0 {"emu":"temp","bus":0,"slot":0,"sensor":0,"degrees":1000}|
heartbeat 0 0 lost -> 0 0:0 heartbeat lost sent|
status 0 0 1 2 3 4 5 6 7 0xffff -> 0 0:0 status event sent|
--json dspmsg 0 0 3 6 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31 32 -> 0 {"emu":"dspmsg","bus":0,"slot":0,"type":"0x0003","length":6,"params":["0x0001",
message 0 0 77 -> 0 0:0 message from manager 77 sent|
--json reason 0 0 0x06 0x77 -> 0 {"emu":"reason","bus":0,"slot":0,"code":"0x0006","reason":"0x0077"}|
l2p 0 0 7 63 -> 0 0:0 l2p 7:63 = 0xffff (no table loaded)|
--json journal -> 0 {"journal":"0:0 BoardFlashLedOn = 0"}|
journal save $J -> 0 journal saved to $J (1 lines)|
journal compare $J -> 0 journal matches $J (1 lines)|
journal wait FlashLedOn 0 -> 0 journal: 0:0 BoardFlashLedOn = 0|
--json journal compare $J2 -> 1 {"emu":"journal","compared":"$J2","same":false,"line":2,"expected":"other","got":"(end)"}|emu journal compare: the journal differs from '$J2' at line 2
journal compare $J2 -> 1 line 2:|  expected: other|  got:      (end)|emu journal compare
journal clear -> 0 journal cleared|
journal -> 0 )table");
    auto substitute = [&](std::string text) {
        for (auto [from, to] : std::vector<std::pair<std::string, std::string>>{
                 {"$J2", dir.path + "/other"}, {"$J", dir.path + "/saved"}, {"|", "\n"}})
            for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
                text.replace(at, from.size(), to);
        return text;
    };
    for (std::string line; std::getline(table, line);) {
        const std::string expected = substitute(line.substr(line.find(" -> ") + 4));
        EXPECT_EQ(Emu(substitute(line.substr(0, line.find(" -> ")))).substr(0, expected.size()), expected)
            << line;
    }
    uint8_t value = 0, m[4][116];
    EXPECT_TRUE(kvemu::ReadRegister(0, 0, 0xA0002, &value) == 0 && value == 0x1F);
    EXPECT_EQ((std::vector<std::pair<unsigned, unsigned>>{{0, 0}, {2, 31}}), kvemu::Boards());
    EXPECT_EQ((std::vector<uint32_t>{0, 16, 0}),
              (std::vector<uint32_t>{BoardWriteByte(h, 0xA0002, 0xFB), BoardWriteByte(h, 0xA0002, 0xFA),
                                     BoardReadByte(h, 0xA0002, &value)}));
    kvemu::DspState dsp;
    EXPECT_TRUE(kvemu::GetDspState(0, 0, &dsp) == 0 && dsp.sensors[4].temperature == -273 &&
                dsp.sensors[0].temperature == 1000);
    // The messages in order: heartbeat lost, the status words, the DSP message, the manager's message.
    uint32_t length[4] = {};
    for (int i = 0; i < 4; ++i) ASSERT_EQ(0u, kvReceiveMessage(h, m[i], 116, &length[i])) << i;
    EXPECT_EQ(
        (std::vector<unsigned>{8, 1, 1, 0x10, 1, 0xFFFF, 78, 3, 32, 77}),
        (std::vector<unsigned>{length[0], m[0][0], m[0][4], m[1][14], m[1][16], m[1][30] + 256u * m[1][31],
                               length[2], m[2][12], m[2][14 + 62], m[3][0]}));
}

TEST_F(EmuCommandTest, BadInputGivesAnErrorAndPrintsNothing) {
    ASSERT_EQ(0, kvemu::AddBoard(0, 32));  // a board no command may name
    std::string dspmsg = "dspmsg 0 0 3 6";
    for (int i = 0; i < 33; ++i) dspmsg += " 1";
    std::istringstream bad(
        "\nfrobnicate\nreg 0 0\nreg 0 0 0x\nreg 0 0 12abc\nreg 0 0 -1\nreg 0 0 4294967296\nreg 0 0 0xa0002 256\n"
        "reg 0 5 0xa0002\nreg 0 32 0xa0002\nreg 256 0 0xa0002\nboard 0 0\nboard 0 32\nfail NoSuchCall 1\nfail ioctl 5 0\n"
        "l2p 0 0 8 0\nl2p 0 0 0 64\nport 0 0 48\ntemp 0 0 5 40\ntemp 0 0 0 -274\ntemp 0 0 0 1001\nheartbeat 0 0 gone\n"
        "status 0 0 1 2 3 4 5 6 7 65536\nstatus 0 0 1 2 3 4 5 6 7\njournal save\njournal compare /nonexistent/journal\n"
        "journal save /nonexistent/journal\njournal wait NoSuchCall 1\njournal bogus\n" +
        dspmsg);
    for (std::string command; std::getline(bad, command);) {
        const std::string result = Emu("--json " + command);
        EXPECT_TRUE(result.rfind("1 ", 0) == 0 && result.size() > 2 &&
                    result.find('\n') == std::string::npos && result.find('{') == std::string::npos)
            << command << ": " << result;
    }
}

// Full starts against the golden journals in tests/journals (see its "cases"): the journal of driver calls
// must match byte for byte. With KV_REGENERATE_JOURNALS set, the journals are written instead
// (scripts/regen-journals).
TEST_F(EmuCommandTest, FullStartsMatchTheGoldenJournals) {
    kvtest::SleepRecorder pauses;
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    const std::string dir = std::string(KV_SOURCE_DIR) + "/tests/journals/";
    std::ifstream cases(dir + "cases");
    unsigned starts = 0;
    for (std::string line, name, population, setting; std::getline(cases, line);) {
        std::istringstream words(line);
        if (line.empty() || line[0] == '#' || !(words >> name >> population)) continue;
        kvemu::Reset();
        char handle[32] = "";
        ASSERT_EQ("0 0:0 0x000a0008 = " + population + "\n", Emu("reg 0 0 0xa0008 " + population)) << name;
        ASSERT_EQ(0u, Init(""));
        ASSERT_EQ(0u,
                  CreateBoard("b0", "KV 7400C-48") + GetQualifier(0, "b0", "Handle", handle, sizeof handle));
        while (words >> setting)
            EXPECT_EQ(0u, SetKeyword(std::strtoull(handle, nullptr, 10),
                                     setting.substr(0, setting.find('=')).c_str(),
                                     setting.substr(setting.find('=') + 1).c_str()));
        EXPECT_EQ(0u, StartBoard("b0"));
        EXPECT_EQ(Emu("journal wait kvReceiveMessage").substr(0, 2), "0 ") << name;
        const std::string compare =
            Emu((getenv("KV_REGENERATE_JOURNALS") ? "journal save " : "journal compare ") + dir + name +
                ".journal");
        EXPECT_EQ(compare.substr(0, 2), "0 ") << name << ": " << compare;
        EXPECT_EQ(0u, Exit());
        ++starts;
    }
    EXPECT_EQ(8u, starts);
}

}  // namespace
