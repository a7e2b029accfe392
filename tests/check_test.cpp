// kvoam's check of configuration files, coefficient files and DSP images, run as an operator runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
    int status;
    std::string out;  // standard output and error
};

// Runs kvoam with the shipped files as search path.
Outcome Kvoam(const std::string& args) {
    Outcome run{-1, ""};
    FILE* pipe = popen(("WBLOAD='" KV_SHARE_DIR "' '" + std::string(KVOAM_PATH) + "' " + args + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

struct CheckTest : ::testing::Test {
    void SetUp() override {
        char pattern[] = "/tmp/check_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { EXPECT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }
    std::string Write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
        return dir_ + "/" + name;
    }
    std::string dir_;
};

// Each file with the problems the check finds in it, in the order printed ("F" stands for the file).
TEST_F(CheckTest, NamesEveryProblemWithItsLine) {
    const std::string key246(246, 'k');
    std::string values500;  // five lines of a hundred values
    for (int i = 0; i < 500; ++i) values500 += i % 100 == 99 ? "1\n" : "1 ";
    const struct {
        const char* name;
        std::string text;
        std::vector<std::string> problems;
    } cases[] = {
        {"settings.dft",
         "Encoding = ALaw\nNoSuch = 1\nHeartbeatRate = 1x\nHeartbeatRate = -5\nEncoding = Foo\nbad line\n= 1\n"
         "Clocking.HBus.ClockMode = SLAVE\nDefaultQslacFile = k7allsl6\tb\nLocation = 1\nState = BOOTED\nKey =\n" +
             key246 + " = 1\nPort[1-2].Qslac.File = nothere\nP[0-99999].Q[1-0] = x\nA = 1\\\n",
         {"F:2: error: unknown keyword 'NoSuch'", "F:3: error: HeartbeatRate = '1x' is not a number (0 to 2147483647)",
          "F:4: error: HeartbeatRate = '-5' is outside its limits 0 to 2147483647",
          "F:5: error: Encoding = 'Foo' is not one of its choices MuLaw,ALaw",
          "F:6: warning: line skipped, no '=' after the key: 'bad line'",
          "F:7: warning: line skipped, no key before '=': '= 1'",
          "F:8: warning: CKvBoard::KeywordsValidate() - invalid combination: ClockMode = 'SLAVE' and ClockSource = 'OSC'",
          "F:9: warning: the value ends at a tab or a byte that is not printable ASCII; the rest of the line is ignored",
          "F:10: error: Location is a structure and takes no value",
          "F:11: warning: State is the board's own; the check does not apply it",
          "F:12: warning: line skipped, no value after '=': 'Key ='",
          "F:13: error: key longer than 245 characters, too long to be tested for a list: '" + key246.substr(0, 60) + "...'",
          "F:14: warning: File 'nothere (*.slc)' not found in path '" KV_SHARE_DIR "'",
          "F:15: error: index lists expanding to more than 1024 keys: 'P[0-99999].Q[1-0]'",
          "F:16: warning: the last line ends in a backslash at the end of the file and is not applied"}},
        {"long.cfg", "A = " + std::string(1300, 'v') + "\n",
         {"F:1: warning: line skipped, its text is longer than 1281 characters: 'A = " + std::string(76, 'v') + "...'"}},
        {"clock.dft", "Clocking.HBus.ClockMode = MASTER_A\nClocking.HBus.ClockSource = A_CLOCK\n",
         {"F:2: warning: CKvBoard::KeywordsValidate() - invalid combination: ClockMode = 'MASTER_A'  and  ClockSource = "
          "'A_CLOCK'"}},
        {"coefficients.slc", "0x1f 2A ; comment\n# comment\n1FF zz 12q\n" + std::string(300, ' ') + "1\n",
         {"F:3: warning: '1FF' is above 0xFF: only its low byte 0xFF is used", "F:3: error: 'zz' is not a hexadecimal number",
          "F:3: warning: '12q' is read as 0x12: the characters after its digits are ignored",
          "F:4: warning: line longer than 255 characters: each further 255 are read as a line of their own, comment or not"}},
        {"many.slc", values500 + "1 2 3 4 5 6 7 8 9 a b c\n", {}},
        {"toomany.slc", values500 + "1 2 3 4 5 6 7 8 9 a b c d e f\n", {"F:6: error: 'd' is value 513: a file holds at most 512"}},
        {"empty.slc", "# nothing\n", {"F: warning: no coefficient values"}},
        {"missing.dft", "", {"F: error: No such file or directory"}},
    };
    std::string files, expected;
    unsigned errors = 0, warnings = 0;
    for (const auto& c : cases) {
        const std::string path = std::string(c.name) == "missing.dft" ? dir_ + "/missing.dft" : Write(c.name, c.text);
        files += " '" + path + "'";
        for (const std::string& problem : c.problems) {
            expected += path + problem.substr(1) + "\n";
            (problem.find(": error: ") != std::string::npos ? errors : warnings) += 1;
        }
    }
    Outcome run = Kvoam("--check" + files);
    EXPECT_EQ(run.out, expected + "check: 8 files, " + std::to_string(errors) + " errors, " + std::to_string(warnings) +
                           " warnings\n");
    EXPECT_EQ(run.status, 1);
}

TEST_F(CheckTest, OptionsAndUsage) {
    const std::string file = Write("c.dft", "HeartbeatRate = 7\nbad\n");
    const std::string noHeader = Write("n.hex", ":0400000012345678E8\n:00000001FF\n");
    const std::string wrongHeader = Write("w.hex", ":120000004B564453504657320100020030000000100054\n:00000001FF\n");
    EXPECT_EQ(Kvoam("--json --check --product KV_7400 '" + file + "'").out,
              "{\"file\":\"" + file + "\",\"line\":2,\"severity\":\"warning\",\"message\":\"line skipped, no '=' after "
              "the key: 'bad'\"}\n{\"summary\":{\"files\":1,\"errors\":0,\"warnings\":1}}\n");
    const struct { std::string args; int status; std::string first; } cases[] = {
        {"-c 'check --product kv7400-16 " + file + "'", 0, "kvoam> check --product kv7400-16 " + file},
        {"--check", 2, "kvoam: check: no file to check (usage: check [--json] [--product PRODUCT] [--emulator] FILE...)"},
        {"--check --bogus x", 2, "kvoam: check: unknown option '--bogus'"},
        {"--check " + noHeader, 0, "check: 1 file, 0 errors, 0 warnings"},
        {"--check --emulator " + noHeader, 1, noHeader + ": error: the emulated DSP runs no image without its firmware "
                                                         "header at address 0: \"KVDSPFW1\" or \"KVDSPDG1\" and five 16-bit words (18 bytes)"},
        {"--check --emulator " + wrongHeader, 1, wrongHeader + ": error: the image begins with \"KVDSPFW2\" at address 0: the "
                                                               "emulated DSP runs only an image that begins with \"KVDSPFW1\" or \"KVDSPDG1\""},
        {"--check --product 'KV 9999' x", 2, "kvoam: check: unknown product 'KV 9999' (products: KV 7400C-48, "},
    };
    for (const auto& c : cases) {
        Outcome run = Kvoam(c.args);
        EXPECT_EQ(run.status, c.status) << c.args;
        EXPECT_EQ(run.out.substr(0, c.first.size()), c.first) << c.args;
    }
}

TEST_F(CheckTest, ShippedFilesCheckClean) {
    Outcome run = Kvoam("--check --emulator " KV_SHARE_DIR "/*");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "check: 9 files, 0 errors, 0 warnings\n");
}

}  // namespace
