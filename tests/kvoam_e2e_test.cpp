// kvoam run as an operator or a script runs it; tables are texts of lines "INPUT -> WHAT IT GIVES".
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

using Strings = std::vector<std::string>;
using kvtest::TempDir;
const size_t npos = std::string::npos;

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The lines of text, or its parts between separators.
Strings Split(const std::string& text, char separator = '\n') {
    Strings parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

// A table line "INPUT -> RESULT" ("INPUT ->" for an empty result).
std::pair<std::string, std::string> Row(const std::string& line) {
    const size_t arrow = line.find(" ->");
    return {line.substr(0, arrow), line.substr(std::min(arrow + 4, line.size()))};
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != npos; }

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string Quote(const std::string& word) { return "'" + Replace(word, "'", "'\\''") + "'"; }

// The shell command that runs kvoam with args, WBLOAD unset unless wbload is given.
std::string Command(const Strings& args, const char* wbload = nullptr) {
    std::string command =
        wbload ? "export WBLOAD=" + Quote(wbload) + "; exec " KVOAM_PATH : "unset WBLOAD; exec " KVOAM_PATH;
    for (const std::string& arg : args) command += " " + Quote(arg);
    return command;
}

struct Outcome {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out, err;
};

// Runs kvoam with args and input on its standard input, killed past a minute; the output goes through files.
Outcome RunKvoam(const Strings& args, const std::string& input = "", const char* wbload = nullptr) {
    TempDir dir;
    const std::string in = dir.Write("in", input), out = dir.path + "/out", err = dir.path + "/err";
    const std::string redirect = " <" + Quote(in) + " >" + Quote(out) + " 2>" + Quote(err);
    const int status =
        std::system(("timeout -s KILL 60 sh -c " + Quote(Command(args, wbload)) + redirect).c_str());
    return Outcome{WIFEXITED(status) && WEXITSTATUS(status) < 124 ? WEXITSTATUS(status) : -1, ReadAll(out),
                   ReadAll(err)};
}

// A member of a one-line JSON object: a string as it is, another value as JSON; empty when missing or null.
std::string Field(const std::string& line, const std::string& key) {
    const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
    if (!object.is_object() || !object.contains(key) || object[key].is_null()) return "";
    return object[key].is_string() ? object[key].get<std::string>() : object[key].dump();
}

// The JSON lines of one kind ("call", "keyword"), or one field of each.
Strings Records(const Outcome& outcome, const std::string& kind, const std::string& field = "") {
    Strings records;
    for (const std::string& line : Split(outcome.out))
        if (line.rfind("{\"" + kind + "\":", 0) == 0)
            records.push_back(field.empty() ? line : Field(line, field));
    return records;
}

const std::string kSetUp = "init; create b0 KV 7400C-48; ";

// Each command's call: its result, the value read or why it failed ($LONG: a name of 128 bytes, one too
// many). WBLOAD is the search path (its file sets Encoding); schema makes no calls, shows the default the
// board was made with and folds arrays in text.
TEST(KvoamSession, CallsShowResultsValuesAndWhyTheyFailed) {
    const Strings cases = Split(R"(init -> Init 0x40000101 the plug-in is initialised already (exit first)
create B0 KV_7400 -> CreateBoard 0x40000105 there is a board named 'B0' already (names compare without regard to case)
create $LONG KV_7400 -> CreateBoard 0x40000105 the board name is 128 bytes long; at most 127 are taken
create b1 kv 7400c-4 -> CreateBoard 0x40000105 unknown product 'kv 7400c-4'; nearest: KV 7400C-48, KV 7400C-32, KV 7400C-16
create b1 KV 9 -> CreateBoard 0x40000105 unknown product 'KV 9' (products: KV 7400C-48, KV 7400C-32, KV 7400C-16, KV 7400-32, KV 7400-16, KV_7400)
destroy c0 -> DestroyBoard 0x40000106 there is no board named 'c0'; nearest: b0
stop b0 -> StopBoard 0x00000000
start b0 -> StartBoard 0x00000000
start b0 -> StartBoard 0x4000010c 'b0' is BOOTED; only an IDLE board starts (stop it first)
test b0 -> TestBoard 0x4000010f the board does not support a test
send b0 x -> SendBuffer 0x40000110 the board takes no buffers
get b0 Clocking.HBus.ClockMode -> GetKeyword 0x00000000 STANDALONE
get b0 Stat -> GetKeyword 0x40000107 unknown keyword 'Stat'; nearest: State
get b0 Encoding -> GetKeyword 0x00000000 ALaw
set b0 Encoding Law -> SetKeyword 0x40000108 'Law' is not among the choices of 'Encoding': MuLaw, ALaw
set b0 HeartbeatRate -1 -> SetKeyword 0x40000108 -1 is outside the limits of 'HeartbeatRate': 0 to 2147483647
set b0 HeartbeatRate 1x -> SetKeyword 0x40000108 '1x' is not a number (decimal, or hexadecimal with 0x)
set b0 Eeprom.Family 3 -> SetKeyword 0x40000108 'Eeprom.Family' is read-only
get b0 Location -> GetKeyword 0x40000107 'Location' is a structure and has no value of its own (schema b0 Location lists it)
qualifier b0 State Nonsense -> GetQualifier 0x40000004 'State' has no qualifier 'Nonsense'
get b9 State -> GetKeyword 0x40000107 there is no board named 'b9'
alert b0 0x40112002 -> AlertReceive 0x00000000
alert nosuch 0x40112002 -> AlertReceive 0x00000001 there is no board named 'nosuch' (boards: b0)
alert b0 4294967295 -> AlertReceive 0x00000000
exit -> Exit 0x00000000
exit -> Exit 0x40000002 the plug-in is not initialised (init first)
get b0 State -> GetKeyword 0x40000002 the plug-in is not initialised (init first))");
    TempDir dir;
    dir.Write("kv7400cpci_48.dft", "Encoding = ALaw\n");
    std::string commands = kSetUp + "schema b0 Encoding; schema b0 Nope; ";
    for (const std::string& c : cases)
        commands += Replace(Row(c).first, "$LONG", std::string(128, 'n')) + "; ";
    Outcome json = RunKvoam({"--json", "-c", commands}, "", dir.path.c_str());
    EXPECT_EQ(Records(json, "keyword"),
              Strings{R"({"keyword":"Encoding","type":"string","default":"MuLaw","value":"ALaw",)"
                      R"("choices":["MuLaw","ALaw"],"min":null,"max":null,"count":null,"settable":true})"});
    EXPECT_EQ(json.err, "{\"error\":\"schema: unknown keyword 'Nope'\"}\n");
    Strings calls = Records(json, "call");
    ASSERT_TRUE(calls.size() == 2 + cases.size() && json.status == 1) << json.out;
    EXPECT_EQ(calls[13],
              R"({"call":"GetKeyword","args":["b0","Clocking.HBus.ClockMode"],"result":"0x00000000",)"
              R"("value":"STANDALONE"})");
    for (size_t i = 0; i < cases.size(); ++i) {  // a refused get carries no value
        const std::string& call = calls[i + 2];
        const std::string detail = Field(call, "why") + Field(call, "value");
        EXPECT_EQ(Field(call, "call") + " " + Field(call, "result") + (detail.empty() ? "" : " " + detail),
                  Row(cases[i]).second);
    }
    // For people: "why" on a line of its own, an alert of several lines as an indented block.
    const std::string human =
        RunKvoam({"-c", kSetUp + "get b0 Stat; set b0 Clocking.HBus.ClockMode SLAVE; "
                                 "qualifier b0 Clocking Valid; schema b0 Ring.Cadences"})
            .out;
    EXPECT_TRUE(Contains(human, "-> 0x40000107 failed\n  why: unknown keyword 'Stat'; nearest: State\n"));
    EXPECT_TRUE(Contains(human,
                         "\nalert 0x40002001 [warning] b0:\n    CKvBoard::KeywordsValidate() - invalid "
                         "combination:\n    ClockMode = 'SLAVE' and ClockSource = 'OSC'\nGetQualifier("));
    EXPECT_TRUE(
        Contains(human,
                 "\nRing.Cadences                            array      count 3\nRing.Cadences[0..2]    "
                 "                  structure\nRing.Cadences[0..2].Ton1                 integer   "
                 "settable   default 2000|600|400  limits 0..32766  value 2000|600|400\n"));
}

// With --json every line on both streams is one JSON object, in a session that runs every command: help, the
// errors, the plug-in's own traces to standard output (trace mask 0x40000001) wrapped as {"stdout": LINE}
// before the call they come from; text is UTF-8 as given (a board and a file named with an accented letter),
// bytes that are not UTF-8 read U+FFFD.
TEST(KvoamJson, EveryLineOfASessionWithEveryCommandIsOneObject) {
    TempDir dir;
    const std::string image = dir.Write("\xc3\xa9.dsp", ":00000001FE\n");
    const std::string script =
        "init\ndetect\ncreate \xc3\xa9 KV 7400C-48\nset \xc3\xa9 OamTraceMask 0x40000001\n"
        "get \xc3\xa9 State\nqualifier \xc3\xa9 State Kind\nschema \xc3\xa9 Ring.Cadences\n"
        "open \xc3\xa9\nclose \xc3\xa9\nstart \xc3\xa9\nwait Status event(s)\nsleep 1\ntest \xc3\xa9\n"
        "send \xc3\xa9 x\nalert \xc3\xa9 0x40112002\nstop \xc3\xa9\nsave \xc3\xa9 " +
        dir.path + "/c.dft\ndiff \xc3\xa9 " + dir.path + "/c.dft\ndb\ncheck " + image +
        "\nnote \xff\xc3\xa9\nemu reg 0 0 0\ndestroy \xc3\xa9\nhelp\nbogus\nexit\nquit\n";
    const Outcome run = RunKvoam({"--json", dir.Write("s", script)});
    Strings keys;  // of each line its first member's name, and the call or the plug-in's line
    for (const std::string& line : Split(run.out + run.err)) {
        const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
        ASSERT_TRUE(object.is_object() && !object.empty()) << line;
        keys.push_back(object.begin().key() + " " + Field(line, "call") + Field(line, "stdout"));
    }
    Strings commands;  // each command of the help, the first word of its line, is in the script
    for (const std::string& line : Records(run, "help", "help")) {
        if (line.size() > 2 && line.rfind("  ", 0) == 0 &&
            std::islower(static_cast<unsigned char>(line[2]))) {
            EXPECT_TRUE(Contains("\n" + script, "\n" + line.substr(2, line.find(' ', 2) - 2))) << line;
        }
    }
    const auto at = [&](const std::string& key) {
        return std::find(keys.begin(), keys.end(), key) - keys.begin();
    };
    EXPECT_LT(at("stdout CKvBoard::Start()"), at("call StartBoard"));
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "stdout CKvBoard::Start()"), 1) << run.out;
    EXPECT_EQ(Records(run, "call", "args").at(2), "[\"\xc3\xa9\",\"KV 7400C-48\"]");
    EXPECT_EQ(Records(run, "file", "file").at(0), image);
    EXPECT_EQ(Records(run, "note", "note"), Strings{"\xef\xbf\xbd\xc3\xa9"});
    EXPECT_EQ(Records(run, "keyword", "count")[0], "3");  // the array, then its elements
    EXPECT_EQ(Field(Split(run.err)[0], "at"), dir.path + "/s:25");
}

// The shipped configuration files document keywords as "# KEY = DEFAULT  #: choices: A, B" ("#: limits: MIN
// to MAX", "#: text"); the schema must agree (the lines for ranges of array elements aside).
TEST(KvoamSchema, ShippedConfigurationFilesDocumentTheSchema) {
    for (const std::string& row : Split("kv7400cpci_48 -> KV 7400C-48\nkv7400cpci_32 -> KV 7400C-32\n"
                                        "kv7400cpci_16 -> KV 7400C-16\nkv7400pci_32 -> KV 7400-32\n"
                                        "kv7400pci_16 -> KV 7400-16\nkv7400 -> KV_7400")) {
        std::string schema;  // each keyword as the file would document it, a line each
        for (const std::string& line :
             Records(RunKvoam({"--json", "-c", "init; create b0 " + Row(row).second + "; schema b0"}),
                     "keyword")) {
            const size_t at = line.find("\"choices\":[\""), end = line.find("\"]", at);
            const std::string min = Field(line, "min"), value = Field(line, "default");
            schema += "# " + Field(line, "keyword") + " =" + (value.empty() ? "" : " " + value) + " #: " +
                      (at != npos ? "choices: " + Replace(line.substr(at + 12, end - at - 12), "\",\"", ", ")
                       : min.empty() ? "text"
                                     : "limits: " + min + " to " + Field(line, "max")) +
                      "\n";
        }
        unsigned documented = 0;
        for (std::string line : Split(ReadAll(std::string(KV_SHARE_DIR) + "/" + Row(row).first + ".dft"))) {
            while (Contains(line, "  ")) line = Replace(line, "  ", " ");
            if (line.rfind("# ", 0) != 0 || line.find(' ', 2) != line.find(" = ") ||
                !Contains(line, " #: ") || line.substr(0, line.find(" = ")).find('-') != npos)
                continue;
            EXPECT_TRUE(Contains(schema, line + "\n")) << Row(row).first << ": " << line;
            ++documented;
        }
        EXPECT_GT(documented, 40u) << Row(row).first;
    }
}

// Bad commands reach no entry point and the good ones around them run; a script's lines run up to quit.
TEST(KvoamInput, BadCommandsAreReportedAndTheShellGoesOn) {
    Outcome run = RunKvoam({"--json", "-c",
                            "frobnicate b0; create b0; get b0 State extra; test b0 0x; alert b0 0x100000000; "
                            "init;; sleep 0x00 ;  # a comment; test b0 0xffffffff;\ttest\tb0\t1"});
    EXPECT_EQ(run.err, R"x({"error":"unknown command 'frobnicate' (try help)"}
{"error":"create: missing arguments (usage: create BOARD PRODUCT)"}
{"error":"get: too many arguments (usage: get BOARD KEYWORD)"}
{"error":"invalid count '0x' (a decimal or 0x-hexadecimal number of 32 bits)"}
{"error":"invalid alert code '0x100000000' (a decimal or 0x-hexadecimal number of 32 bits)"}
)x");
    EXPECT_EQ(Records(run, "call", "call"), (Strings{"Init", "TestBoard", "TestBoard"}));
    EXPECT_TRUE(Contains(run.out, R"(["b0","0xffffffff"])") && Contains(run.out, R"(["b0","1"])")) << run.out;
    TempDir dir;
    const std::string script = "# one board\ninit\r\n\n   create b0   KV 7400C-48  \nquit\nget b0 State\n";
    EXPECT_EQ(Records(RunKvoam({"--json", dir.Write("s", script)}), "call", "call"),
              (Strings{"Init", "CreateBoard"}));
    EXPECT_EQ(Records(RunKvoam({"--json", "-"}, script), "call", "result"), Strings(2, "0x00000000"));
    const std::string path = dir.Write("s", "init\nbogus\ninit\n");
    EXPECT_EQ(RunKvoam({path}).err, "kvoam: " + path + ":2: unknown command 'bogus' (try help)\n");
}

// wait takes each alert once, among the last 1000: of two early ones followed by 999, only the second is
// found.
TEST(KvoamInput, WaitTakesEachAlertOnceAmongTheLast1000) {
    TempDir dir;
    std::string script = "init\ncreate b0 KV 7400C-48\nset b0 OamTraceMask 0x12\nalert b0 0x40112002\n";
    for (int i = 0; i < 999; ++i) script += "set b0 OamTraceMask 2\n";
    const std::string path = dir.Write("s", script + "wait 0 0x00000012\nwait 0 REMOVAL\nwait 0 REMOVAL\n");
    EXPECT_EQ(RunKvoam({path}).err,
              "kvoam: " + path + ":1004: wait: no alert holding '0x00000012' came within 0 ms\n" +
                  "kvoam: " + path + ":1006: wait: no alert holding 'REMOVAL' came within 0 ms\n");
}

// kvoam at a terminal, in HOME: each input is typed once the prompt before it has come and the line editor
// reads (the terminal out of canonical mode, which a Ctrl-D would otherwise meet), except that "\x03TEXT"
// types Ctrl-C alone once TEXT has come (the command it interrupts has been read); answers the exit status,
// and the terminal's output in out. Waits end on the output, the terminal's mode or the end (30 s only fail a
// hang).
int AtTerminal(const std::string& home, const std::string& args, const Strings& inputs, std::string& out) {
    int fd = -1;
    const pid_t pid = forkpty(&fd, nullptr, nullptr, nullptr);
    if (pid == 0)  // Ctrl-C as at a terminal, though the test may run where SIGINT is ignored
        signal(SIGINT, SIG_DFL), alarm(60),
            execl("/bin/sh", "sh", "-c",
                  ("export HOME=" + home + " TERM=xterm; " + Command({}) + args).c_str(), nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (size_t typed = 0, prompts = 0, interrupts = 0; std::chrono::steady_clock::now() < deadline;
         prompts = 0) {
        for (size_t at = out.find("kvoam> "); at != npos; at = out.find("kvoam> ", at + 1)) ++prompts;
        const bool interrupt = typed < inputs.size() && inputs[typed][0] == '\x03';
        termios mode{};
        const int terminal = typed < inputs.size() && !interrupt ? open(ptsname(fd), O_RDWR | O_NOCTTY) : -1;
        const bool editing = terminal >= 0 && tcgetattr(terminal, &mode) == 0 && !(mode.c_lflag & ICANON);
        if (terminal >= 0) close(terminal);
        if (typed < inputs.size() &&
            (interrupt ? Contains(out, inputs[typed].substr(1)) : prompts > typed - interrupts && editing) &&
            write(fd, inputs[typed].data(), interrupt ? 1 : inputs[typed].size()) > 0)
            ++typed, interrupts += interrupt;
        pollfd p{fd, POLLIN, 0};
        char buffer[4096];
        const ssize_t n = poll(&p, 1, 100) > 0 ? read(fd, buffer, sizeof buffer) : 0;
        if (n < 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(fd);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Tab completes without regard to case, Up recalls, Ctrl-C drops the line or ends the command;
// HOME/.kvoam_history (mode 0600) keeps the last 1000 lines, and --no-history leaves it alone.
TEST(KvoamTerminal, LineEditingCompletionHistoryAndCtrlC) {
    if (Contains(RunKvoam({"--help"}).out, "built without libedit"))
        GTEST_SKIP() << "kvoam has no line editor";
    TempDir dir;
    const std::string history = dir.path + "/.kvoam_history";
    std::string earlier = "_HiStOrY_V2_\n", first, third, fourth;
    for (int i = 1; i <= 1000; ++i) earlier += "h" + std::to_string(10000 + i) + "\n";
    dir.Write(".kvoam_history", earlier);
    EXPECT_EQ(AtTerminal(dir.path, " -",
                         {"init\n", "cre\tb0 KV 7400C-4\t\n", "get b0 clo\tHB\tClockM\t\n", "\x1b[A\n",
                          "emu jo\tcl\t\n", "get b\tSta\t\n", "bogus\x03", "quit\n"},
                         first),
              0);  // "bogus" never ran
    const std::string read = "GetKeyword(\"b0\", \"Clocking.HBus.ClockMode\") -> 0x00000000 ok: STANDALONE";
    EXPECT_NE(first.find(read), first.rfind(read)) << first;  // twice
    for (const char* shown : {"CreateBoard(\"b0\", \"KV 7400C-48\") -> 0x00000000 ok", "journal cleared",
                              "GetKeyword(\"b0\", \"State\") -> 0x00000000 ok: IDLE"})
        EXPECT_TRUE(Contains(first, shown)) << first;
    const Strings kept = Split(ReadAll(history));  // 7 lines entered: the 7 oldest went
    EXPECT_TRUE(kept.size() == 1001 && kept[1] == "h10008" && kept[994] == "init") << ReadAll(history);
    const std::string saved = ReadAll(history);
    chmod(history.c_str(), 0644);
    // Ctrl-C ends a sleep or a wait and leaves the board running; the interrupted commands failed.
    EXPECT_EQ(
        AtTerminal(dir.path, " --no-history -",
                   {"init\n", "detect\n", "create kv0 KV 7400C-48\n", "start kv0\n", "sleep 600000\n",
                    "\x03sleep 600000\r\n", "wait 600000 Never\n", "\x03Never\r\n",
                    "emu journal wait Never 600000\n", "\x03Never 600000\r\n", "get kv0 State\n", "quit\n"},
                   third),
        1);  // the history file left alone
    for (const char* shown : {"sleep: interrupted", "kvoam: stdin:6: wait: interrupted",
                              "emu journal wait: interrupted", "ok: BOOTED"})
        EXPECT_TRUE(Contains(third, shown)) << third;
    // In a script the first Ctrl-C stops the running board and calls Exit before kvoam ends.
    std::string script;
    EXPECT_EQ(
        AtTerminal(dir.path, " -c 'init; detect; create kv0 KV 7400C-48; start kv0; sleep 600000; note no'",
                   {"\x03sleep 600000\r\n"}, script),
        130);
    EXPECT_TRUE(Contains(script,
                         "\r\nkvoam> stop kv0\r\nStopBoard(\"kv0\") -> 0x00000000 ok\r\nkvoam> exit\r\n"
                         "Exit() -> 0x00000000 ok\r\n") &&
                !Contains(script, "# no"))
        << script;
    EXPECT_EQ(AtTerminal(dir.path, " -", {"\x04"}, fourth), 0) << fourth;  // no line: the file is 0600 again
    struct stat info {};
    EXPECT_TRUE(stat(history.c_str(), &info) == 0 && (info.st_mode & 0777) == 0600 &&
                ReadAll(history) == saved);
}

// kvoam's check with the shipped files as search path; what it prints on both streams together.
std::string Check(const Strings& args) {
    Outcome run = RunKvoam(args, "", KV_SHARE_DIR);
    return std::to_string(run.status) + " " + run.out + run.err;
}

// Files (NAME -> TEXT, '|' ending a line; "-": no such file, a directory for a NAME ending in '/') -> the
// problems the check finds in each, in the order printed, as LINE and e(rror) or w(arning). A file's kind
// comes from its extension (letter case aside), else from its content: a record mark first is an image, a
// '=' outside a comment ('#' or ';' to the end of the line) a configuration file, a first value beginning
// with a hexadecimal digit coefficients; a file of no kind is refused.
TEST(KvoamCheck, NamesEveryProblemWithItsLineInFilesOfEachKind) {
    TempDir dir;
    Strings args{"--check"},
        rows = Split(
            R"(settings.dft -> Encoding = ALaw|NoSuch = 1|bad line|Clocking.HBus.ClockMode = SLAVE|State = BOOTED|Port[1-2].Qslac.File = nothere|Dsp.Image = nothere|DefaultQslacFile = nothere -> 2e 3w 4w 5w 6w 7w
clock.DFT -> Clocking.HBus.ClockMode = MASTER_A|Clocking.HBus.ClockSource = A_CLOCK -> 2w
coefficients.slc -> 0x1f 2A ; comment|# comment|1FF zz -> 3w 3e
image.DSP -> A = 1 -> 1e 1e
x.ihex -> A = 1 -> 1e 1e
x.conf -> 1 2 -> 1w
guess1 -> 1 2 ; A = 1 -> none
guess2 -> 1 2 # A = 1 -> none
guess3 -> # A = 1|NoSuch = 1 -> 2e
guess4 -> |  :00000001FF -> 1e 2e
guess5 -> ; 1|zz 1 -> 0e
empty.txt ->  -> 0e
missing.dft -> - -> 0e
directory/ -> - -> 0e)");
    std::map<std::string, std::string> problems;
    for (const std::string& row : rows) {
        const std::string name = row.substr(0, row.find(" -> ")), text = Row(Row(row).second).first;
        args.push_back(dir.path + "/" + name);
        if (name.back() == '/') mkdir(args.back().c_str(), 0700);
        if (text != "-") dir.Write(name, Replace(text, "|", "\n"));
    }
    const std::string out = Check(args);
    for (const std::string& line : Split(out.substr(2)))  // "PATH[:LINE]: error|warning: ..."
        if (const size_t colon = line.find(':'), severity = line.find(": ") + 2; line.rfind(dir.path, 0) == 0)
            problems[line.substr(dir.path.size() + 1, colon - dir.path.size() - 1)] +=
                (severity == colon + 2 ? "0" : line.substr(colon + 1, severity - colon - 3)) +
                line[severity] + " ";
    for (const std::string& row : rows)
        EXPECT_EQ(problems[row.substr(0, row.find(" -> "))],
                  Replace(row.substr(row.rfind(" -> ") + 4) + " ", "none ", ""))
            << row;
    for (
        const char* own :
        {"settings.dft:5: warning: State is the board's own; the check does not apply it\n",
         "settings.dft:7: warning: File 'nothere (*.dsp)' not found in path '" KV_SHARE_DIR "'\n",
         "clock.DFT:2: warning: CKvBoard::KeywordsValidate() - invalid combination: ClockMode = 'MASTER_A'",
         "directory/: error: not a regular file\n", "\ncheck: 14 files, 13 errors, 8 warnings\n",
         "empty.txt: error: neither the name nor the content tells the kind of this file: a configuration file "
         "(.dft, .cfg, .conf), coefficients (.slc) or a DSP image (.dsp, .hex, .ihex); --type "
         "configuration|coefficients|image names it\n"})
        EXPECT_TRUE(Contains(out, own)) << own << out;
}

// kvoam's options and check's (words split at blanks: unknown short and long ones, misused ones, "--" after
// which every word is a file or script) -> the exit status and how the output begins, with $F a configuration
// file with a warning, $N and $W images without a firmware header and with another one, $U check's usage.
TEST(KvoamUsage, OptionsAndUsageErrors) {
    TempDir dir;
    std::map<std::string, std::string> names{
        {"$F", dir.Write("c.dft", "HeartbeatRate = 7\nbad\n")},
        {"$N", dir.Write("n.hex", ":0400000012345678E8\n:00000001FF\n")},
        {"$W", dir.Write("w.hex", ":120000004B564453504657320100020030000000100054\n:00000001FF\n")},
        {"$U", "(usage: check [--json] [--product PRODUCT] [--emulator] [--type KIND] FILE...)"}};
    for (const std::string& line : Split(R"(--bogus=1 -> 2 kvoam: unknown option '--bogus'
-x -> 2 kvoam: unknown option '-x'
-c init -q -> 2 kvoam: unknown option '-q'
script.txt -q -> 2 kvoam: unknown option '-q'
--json=yes -> 2 kvoam: option '--json' takes no argument
-c -> 2 kvoam: option '-c' needs an argument
-c init -c -> 2 kvoam: option '-c' needs an argument
--plugin -> 2 kvoam: option '--plugin' needs an argument
-- --json -> 2 kvoam: cannot open script '--json'
--json -- -x -c -> 2 {"error":"only one script may be given"}|{"usage":"usage: kvoam [--json]
--bogus --json -> 2 {"error":"unknown option '--bogus'"}|{"usage":"usage: kvoam [--json]
--json -h -> 0 {"help":"usage: kvoam [--json]
-c init script.txt -> 2 kvoam: give either -c or a script, not both
-c init --check x.dft -> 2 kvoam: give either --check or commands, not both
--plugin /bin/sh -> 2 kvoam: cannot load plug-in '/bin/sh'
-h -> 0 usage: kvoam [--json]
--json --check --product KV_7400 $F -> 0 {"file":"$F","line":2,"severity":"warning","message":"line skipped, no '=' after the key: 'bad'"}|{"summary":{"files":1,"errors":0,"warnings":1}}|
--check $F --product=Kv_7400C-48 --json -> 0 {"file":"$F",
--check -> 2 kvoam: check: no file to check $U
--check --bogus x -> 2 kvoam: check: unknown option '--bogus' $U
--check x -e -> 2 kvoam: check: unknown option '-e' $U
--check x --product -> 2 kvoam: check: option '--product' needs an argument $U
--check --json=1 x -> 2 kvoam: check: option '--json' takes no argument $U
--check --product KV_9999 x -> 2 kvoam: check: unknown product 'KV_9999' (products: KV 7400C-48, KV 7400C-32, KV 7400C-16, KV 7400-32, KV 7400-16, KV_7400) $U
--check $N -> 0 check: 1 file, 0 errors, 0 warnings
--check --type=image $F -> 1 $F:1: error: expected ':' at the start of a record
--check --type Image $N -> 0 check: 1 file
--check --type dft $F -> 2 kvoam: check: unknown type 'dft' (types: configuration, coefficients, image) $U
--check --emulator $N -> 1 $N: error: the emulated DSP runs no image without its firmware header at address 0: "KVDSPFW1" or "KVDSPDG1" and five 16-bit words (18 bytes)
--check --emulator $W -> 1 $W: error: the image begins with "KVDSPFW2" at address 0: the emulated DSP runs only an image that begins with "KVDSPFW1" or "KVDSPDG1"
--check -- --emulator -> 1 --emulator: error: No such file or directory)")) {
        Strings words = Split(Row(line).first, ' ');
        std::string expected = Replace(Row(line).second, "|", "\n");
        for (const auto& [name, text] : names)
            std::replace(words.begin(), words.end(), name, text), expected = Replace(expected, name, text);
        EXPECT_EQ(Check(words).substr(0, expected.size()), expected) << line;
    }
    Strings shipped{"--check", "--emulator"};  // the shipped files check clean
    for (const auto& file : std::filesystem::directory_iterator(KV_SHARE_DIR))
        shipped.push_back(file.path().string());
    EXPECT_EQ(Check(shipped), "0 check: 9 files, 0 errors, 0 warnings\n");
}

// save writes what differs from the defaults so that a new board of the product reading it as its
// configuration file (WBLOAD) holds every value of the first (the file's "#: left out:" keywords aside), and
// check passes it (elements of an array with one value on one line); diff finds no difference, then the one
// made after. The settings are drawn from the schema, seeded.
TEST(KvoamSave, SavedSettingsMakeTheSameBoardAndDiffFindsChanges) {
    TempDir dir;
    std::mt19937 random(18);
    std::string sets;
    for (const std::string& line : Records(RunKvoam({"--json", "-c", kSetUp + "schema b0"}), "keyword")) {
        const size_t at = line.find("\"choices\":[\""), end = line.find("\"]", at);
        if (!Contains(line, "\"settable\":true") || Field(line, "keyword") == "State" || random() % 3 != 0)
            continue;
        std::string value;
        if (at != npos) {
            const Strings choices = Split(line.substr(at + 12, end - at - 12), ',');
            value = Replace(choices[random() % choices.size()], "\"", "");
        } else if (Field(line, "type") == "integer") {
            const long min = std::stol(Field(line, "min")), max = std::stol(Field(line, "max"));
            value =
                std::to_string(min + static_cast<long>(random() % static_cast<unsigned long>(max - min + 1)));
        } else {
            for (size_t n = 1 + random() % 12; value.size() < n;) value += "aZ09._- \\"[random() % 9];
            value = "x" + value + (value.back() == ' ' ? "y" : "");
        }
        sets += "set b0 " + Field(line, "keyword") + " " + value + "; ";
    }
    sets +=
        "set b0 Port[4].Qslac.File same; set b0 Port[5].Qslac.File same; set b0 Port[7].Qslac.File same; ";
    const std::string file = dir.path + "/kv7400cpci_48.dft";
    const Outcome first = RunKvoam({"--json", "-c",
                                    kSetUp + sets + "save b0 " + file + "; diff b0 " + file +
                                        "; set b0 HeartbeatRate 4321; diff b0 " + file +
                                        "; set b0 DspFile a#b; save b0; schema b0"});
    EXPECT_GT(std::count(sets.begin(), sets.end(), ';'), 30);
    EXPECT_EQ(Records(first, "diff", "differences"), (Strings{"0", "", "1"})) << first.out << first.err;
    EXPECT_TRUE(Contains(first.out, R"({"diff":"b0","keyword":"HeartbeatRate","board":"4321","file":")"));
    EXPECT_TRUE(Contains(
        first.err, "save: the value of 'DspFile' cannot stand in a configuration file: it holds a '#'"));
    EXPECT_EQ(Check({"--check", "--product", "KV 7400C-48", file}).substr(0, 2), "0 ");
    const std::string saved = ReadAll(file), leftOut = saved.substr(saved.find("#: left out: ") + 13);
    EXPECT_TRUE(Contains(saved, "\nPort[4-5,7].Qslac.File = same\n")) << saved;  // one line, an index list
    const Strings was = Records(first, "keyword"),
                  made = Records(RunKvoam({"--json", "-c", "init; create b1 KV 7400C-48; schema b1"}, "",
                                          dir.path.c_str()),
                                 "keyword");
    ASSERT_EQ(was.size(), made.size());
    for (size_t i = 0; i < was.size(); ++i) {
        const std::string keyword = Field(was[i], "keyword");
        bool left = keyword == "HeartbeatRate" || keyword == "DspFile";  // changed after the save
        for (const std::string& name : Split(leftOut.substr(0, leftOut.find('\n')), ','))
            left = left || keyword.rfind(Replace(name, " ", ""), 0) == 0;
        EXPECT_TRUE(left || Field(was[i], "value") == Field(made[i], "value")) << was[i] << "\n" << made[i];
    }
}

}  // namespace
