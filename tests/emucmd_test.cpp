// kvoam's "emu" commands: what they print, in words and in JSON, and what they change in the emulator.
#include "emucmd.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "emulated_board.h"
#include "fake_supervisor.h"
#include "kvd/kvdevice.h"
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

// Each command in turn -> its status and how its output begins ('|' ends a line; $J: a journal file).
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
reg 2 31 0xa0008 -> 0 2:31 0x000a0008 = 0xe0|
--json fail BoardWriteByte 0x10 2 -> 0 {"emu":"fail","function":"BoardWriteByte","status":16,"nth":2}|
fail BoardReadByte 7 -> 0 BoardReadByte fails with 7 on every call|
fail BoardReadByte 0 -> 0 faults of BoardReadByte removed|
port 0 0 3 -> 0 port 3 command 0: 0x4a 0x21 0x40|port 3 coefficients (0 load(s), 0 bytes): |port 3 gx 164 64 gr not set|
--json port 0 0 47 -> 0 {"emu":"port","bus":0,"slot":0,"port":47,"coefficientLoads":0,"coefficients":""}|{"emu":"port","bus":0,"slot":0,"port":47,"gx":null,"gr":null}|
--json temp 0 0 4 -273 -> 0 {"emu":"temp","bus":0,"slot":0,"sensor":4,"degrees":-273}|
--json temp 0 0 0 1000 -> 0 {"emu":"temp","bus":0,"slot":0,"sensor":0,"degrees":1000}|
dsp 0 0 -> 0 0:0 DSP stopped, image not recognised, 0 bytes loaded|firmware revision 0x0000, MIPS version 0, ports 0, CPU meter 0.0, tokens 0|law not configured, monitoring off, thermal state Idle|ring not configured|sensor 0: 1000 degrees, not configured, stopped, thresholds 65535 65535 65535 65535|sensor 1: 40 degrees, not configured, stopped, thresholds 65535 65535 65535 65535|sensor 2: 40 degrees, not configured, stopped, thresholds 65535 65535 65535 65535|sensor 3: 40 degrees, not configured, stopped, thresholds 65535 65535 65535 65535|sensor 4: -273 degrees,
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
    uint8_t m[4]
             [116];  // heartbeat lost, the status words (the last of 8), a DSP message, the manager's message
    for (int i = 0; i < 4; ++i) ASSERT_EQ(0u, kvReceiveMessage(h, m[i], 116, nullptr)) << i;
    EXPECT_EQ((std::vector<unsigned>{1, 1, 0xFFFF, 3, 32, 77, 0, 16}),
              (std::vector<unsigned>{m[0][0], m[0][4], m[1][30] + 256u * m[1][31], m[2][12], m[2][76],
                                     m[3][0], BoardWriteByte(h, 0x10, 1), BoardWriteByte(h, 0x10, 1)}));
}

// The grids: a row per stream, a column per timeslot in blocks of 64; a connection from another timeslot is a
// '*' listed below, a later one of an output replaces the earlier; the station map shows physical streams.
TEST_F(EmuCommandTest, GridsShowStreamsByTimeslots) {
    ASSERT_EQ(0u, BoardSetLogicalNumber(h, 0));
    const int fd = kvDevOpen("/dev/kvsw00", O_RDONLY);
    uint32_t made[1 + 5 * 8] = {4 + 5 * 32, 1, 5, 0, 2, 1, 0,  0, 0, 1, 7,  9, 2, 1, 0, 2, 0, 1, 11, 1, 2,
                                1,          3, 1, 0, 1, 2, 70, 2, 1, 3, 70, 0, 1, 1, 1, 2, 1, 3, 1,  0};
    ASSERT_EQ(0, kvDevIoctl(fd, 259, made));
    uint16_t table[512];
    std::fill(table, table + 512, 0xFFFF);
    table[0] = 0x0000, table[2 * 64 + 5] = 0x0A05;
    ASSERT_EQ(0u, BoardLoadL2PTable(h, sizeof table, table));
    const std::string head =
                          "timeslot 0         1         2         3         4         5         6\n"
                          "  stream 0123456789012345678901234567890123456789012345678901234567890123\n",
                      dots(61, '.');
    EXPECT_EQ(Emu("connections 0 0 --grid"),
              "0 " + head + "       0 5.*" + dots + "\n       3 .1." + dots +
                  "\ntimeslot 6     7\n  stream 4567890\n       0 .......\n       3 ......2\n"
                  "cell: the source stream, in the same timeslot; '*' another timeslot (below); "
                  "'.' none\noutput 0:2 <- source 7:9\n0:0 4 connection(s)\n");
    const std::string map = "0 " + head + "       0 0" + dots + "..\n       1 " + dots +
                            "...\n       2 .....A" + dots.substr(3) + "\n       3 " + dots + "...\n";
    EXPECT_EQ(Emu("l2p 0 0 --grid").substr(0, map.size()), map);
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
        "journal save /nonexistent/journal\njournal wait NoSuchCall 1\njournal bogus\nconnections 0 0 grid\nl2p 0 0 1\n" +
        dspmsg);
    for (std::string command; std::getline(bad, command);) {
        const std::string result = Emu("--json " + command);
        EXPECT_TRUE(result.rfind("1 ", 0) == 0 && result.size() > 2 &&
                    result.find('\n') == std::string::npos && result.find('{') == std::string::npos)
            << command << ": " << result;
    }
}

// Full starts against the golden journals of tests/journals, byte for byte; with KV_REGENERATE_JOURNALS set,
// the journals are written instead (scripts/regen-journals).
TEST_F(EmuCommandTest, FullStartsMatchTheGoldenJournals) {
    kvtest::SleepRecorder pauses;
    const std::string dir = std::string(KV_SOURCE_DIR) + "/tests/journals/";
    std::ifstream cases(dir + "cases");
    unsigned starts = 0;
    for (std::string line, name, population, setting; std::getline(cases, line);) {
        std::istringstream words(line);
        if (line.empty() || line[0] == '#' || !(words >> name >> population)) continue;
        const uint64_t handle = kvtest::InitWithBoard("KV 7400C-48");  // WBLOAD: the shipped files
        ASSERT_EQ(Emu("reg 0 0 0xa0008 " + population), "0 0:0 0x000a0008 = " + population + "\n") << name;
        while (words >> setting)
            EXPECT_EQ(0u, SetKeyword(handle, setting.substr(0, setting.find('=')).c_str(),
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
