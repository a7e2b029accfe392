// kvoam driven as a subprocess, the way an operator or a script uses it: output lines, exit status, errors.
// Tables are texts of lines "INPUT -> WHAT IT GIVES".
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
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

// A field of a one-line JSON object: a string without escapes or a bare number; empty when missing.
std::string Field(const std::string& line, const std::string& key) {
    size_t at = line.find("\"" + key + "\":");
    if (at == npos) return "";
    at += key.size() + 3;
    return line[at] == '"' ? line.substr(at + 1, line.find('"', at + 1) - at - 1)
                           : line.substr(at, line.find_first_of(",}", at) - at);
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

// Each command's call: the entry point, its result, the value read or why the call failed (the plug-in's
// result passed on). WBLOAD, when set, is the search path the board looks in for its files.
TEST(KvoamSession, CallsShowResultsValuesAndWhyTheyFailed) {
    const Strings cases = Split(R"(get b0 Clocking.HBus.ClockMode -> GetKeyword 0x00000000 STANDALONE
qualifier b0 State Type -> GetQualifier 0x00000000 String
get b0 Stat -> GetKeyword 0x40000107 unknown keyword 'Stat'; nearest: State
set b0 Encoding Law -> SetKeyword 0x40000108 'Law' is not among the choices of 'Encoding': MuLaw, ALaw
set b0 HeartbeatRate -1 -> SetKeyword 0x40000108 -1 is outside the limits of 'HeartbeatRate': 0 to 2147483647
set b0 HeartbeatRate 1x -> SetKeyword 0x40000108 '1x' is not a number (decimal, or hexadecimal with 0x)
set b0 Eeprom.Family 3 -> SetKeyword 0x40000108 'Eeprom.Family' is read-only
get b0 Location -> GetKeyword 0x40000107 'Location' is a structure and has no value of its own (schema b0 Location lists it)
qualifier b0 State Nonsense -> GetQualifier 0x40000004 'State' has no qualifier 'Nonsense'
get b9 State -> GetKeyword 0x40000107 there is no board named 'b9'
alert b0 0x40112002 -> AlertReceive 0x00000000
alert nosuch 0x40112002 -> AlertReceive 0x00000001
alert b0 4294967295 -> AlertReceive 0x00000000
exit -> Exit 0x00000000
exit -> Exit 0x40000002
get b0 State -> GetKeyword 0x40000002 the plug-in is not initialised (init first))");
    std::string commands = kSetUp;
    for (const std::string& c : cases) commands += Row(c).first + "; ";
    Outcome json = RunKvoam({"--json", "-c", commands}, "", "/nonexistent/kvoam-files");
    EXPECT_TRUE(json.status == 1 && Contains(json.out, "in path '/nonexistent/kvoam-files'")) << json.out;
    Strings calls = Records(json, "call");
    ASSERT_EQ(calls.size(), 2 + cases.size()) << json.out;
    EXPECT_EQ(calls[2],
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
        RunKvoam(
            {"-c", kSetUp + "get b0 Stat; set b0 Clocking.HBus.ClockMode SLAVE; qualifier b0 Clocking Valid"})
            .out;
    EXPECT_TRUE(Contains(human, "-> 0x40000107 failed\n  why: unknown keyword 'Stat'; nearest: State\n"));
    EXPECT_TRUE(Contains(human,
                         "\nalert 0x40002001 [warning] b0:\n    CKvBoard::KeywordsValidate() - invalid "
                         "combination:\n    ClockMode = 'SLAVE' and ClockSource = 'OSC'\nGetQualifier("));
}

// schema reads the tree through the plug-in without showing its own queries as calls; the default is the
// creation value even when the configuration file changes the value; arrays fold in text.
TEST(KvoamSchema, KeywordsWithKindsDefaultsChoicesAndLimits) {
    TempDir dir;
    dir.Write("kv7400cpci_48.dft", "Encoding = ALaw\n");
    Outcome json =
        RunKvoam({"--json", "-c", kSetUp + "schema b0 Encoding; schema b0 Nope"}, "", dir.path.c_str());
    EXPECT_EQ(
        json.out.substr(json.out.find("\n{\"keyword\"") + 1),
        R"({"keyword":"Encoding","type":"string","default":"MuLaw","value":"ALaw","choices":["MuLaw","ALaw"],)"
        R"("settable":true})"
        "\n");
    EXPECT_EQ(json.err, "kvoam: schema: unknown keyword 'Nope'\n");
    EXPECT_TRUE(
        Contains(RunKvoam({"-c", kSetUp + "schema b0 Ring.Cadences"}).out,
                 "\nRing.Cadences                            array      count 3\nRing.Cadences[0..2]    "
                 "                  structure\nRing.Cadences[0..2].Ton1                 integer   settable   "
                 "default 2000|600|400  limits 0..32766  value 2000|600|400\n"));
}

// The paths a documented key names: "Port[0-47].Qslac.File" names 48.
Strings Paths(const std::string& key) {
    const size_t open = key.find('['), dash = key.find('-', open), close = key.find(']');
    if (close == npos || dash > close) return {key};
    Strings paths;
    for (int i = std::stoi(key.substr(open + 1)); i <= std::stoi(key.substr(dash + 1)); ++i)
        paths.push_back(key.substr(0, open + 1) + std::to_string(i) + key.substr(close));
    return paths;
}

// The shipped configuration files document each settable keyword as "# KEY = DEFAULT  #: choices: A, B"
// ("#: limits: MIN to MAX", "#: text") but those they name in "#: left out: ..."; the schema must agree.
TEST(KvoamSchema, ShippedConfigurationFilesDocumentTheSchema) {
    for (const std::string& row : Split("kv7400cpci_48 -> KV 7400C-48\nkv7400cpci_32 -> KV 7400C-32\n"
                                        "kv7400cpci_16 -> KV 7400C-16\nkv7400pci_32 -> KV 7400-32\n"
                                        "kv7400pci_16 -> KV 7400-16\nkv7400 -> KV_7400")) {
        const auto [file, product] = Row(row);
        std::map<std::string, std::string> schema, documented;  // keyword -> "DEFAULT #: RULE"
        for (const std::string& line :
             Records(RunKvoam({"--json", "-c", "init; create b0 " + product + "; schema b0"}), "keyword")) {
            const size_t at = line.find("\"choices\":[\"");
            const std::string min = Field(line, "min"), value = Field(line, "default");
            const std::string choices =
                at == npos ? "" : line.substr(at + 12, line.find("\"]", at) - at - 12);
            if (Field(line, "settable") == "true")
                schema[Field(line, "keyword")] =
                    (value.empty() ? "" : value + " ") + "#: " +
                    (at != npos    ? "choices: " + Replace(choices, "\",\"", ", ")
                     : min.empty() ? "text"
                                   : "limits: " + min + " to " + Field(line, "max"));
        }
        std::ifstream in(std::string(KV_SHARE_DIR) + "/" + file + ".dft");
        for (std::string line; std::getline(in, line);) {
            const size_t equals = line.find(" = ");
            std::string text = equals == npos ? "" : line.substr(equals + 3);
            while (Contains(text, "  ")) text = Replace(text, "  ", " ");
            if (line.rfind("#: left out: ", 0) == 0)
                for (const std::string& name : Split(Replace(line.substr(13), " ", ""), ','))
                    for (const std::string& path : Paths(name))
                        for (auto it = schema.begin(); it != schema.end();)  // the keyword and all below it
                            it = it->first == path || it->first.rfind(path + ".", 0) == 0 ? schema.erase(it)
                                                                                          : ++it;
            if (line.rfind("# ", 0) == 0 && line.find(' ', 2) == equals && Contains(line, " #: "))
                for (const std::string& path : Paths(line.substr(2, equals - 2)))
                    documented[path] = text.substr(text.find_first_not_of(' '));
        }
        ASSERT_GT(documented.size(), 40u) << file;
        for (const auto& [key, text] : schema) EXPECT_EQ(documented[key], text) << file << ": " << key;
        for (const auto& d : documented)
            EXPECT_TRUE(schema.count(d.first)) << file << " documents " << d.first;
    }
}

// Bad commands are reported on standard error, one line each, and reach no entry point; the good ones
// around them all run. A script's lines run up to quit; a failing one is named by its line number.
TEST(KvoamInput, BadCommandsAreReportedAndTheShellGoesOn) {
    Outcome run = RunKvoam({"--json", "-c",
                            "frobnicate b0; create b0; get b0 State extra; test b0 0x; alert b0 0x100000000; "
                            "init;; sleep 0x00 ;  # a comment; test b0 0xffffffff;\ttest\tb0\t1"});
    EXPECT_EQ(run.err, R"(kvoam: unknown command 'frobnicate' (try help)
kvoam: create: missing arguments (usage: create BOARD PRODUCT)
kvoam: get: too many arguments (usage: get BOARD KEYWORD)
kvoam: invalid count '0x' (a decimal or 0x-hexadecimal number of 32 bits)
kvoam: invalid alert code '0x100000000' (a decimal or 0x-hexadecimal number of 32 bits)
)");
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

// wait takes an alert that came before it (here inside a call) once; it looks at the last 1000 alerts only,
// so of two early alerts followed by 999 more, the first is gone and the second still found.
TEST(KvoamInput, WaitTakesEachAlertOnceAmongTheLast1000) {
    TempDir dir;
    std::string script = "init\ncreate b0 KV 7400C-48\nset b0 OamTraceMask 0x12\nalert b0 0x40112002\n";
    for (int i = 0; i < 999; ++i) script += "set b0 OamTraceMask 2\n";
    const std::string path = dir.Write("s", script + "wait 0 0x00000012\nwait 0 REMOVAL\nwait 0 REMOVAL\n");
    EXPECT_EQ(RunKvoam({"--json", path}).err,
              "kvoam: " + path + ":1004: wait: no alert holding '0x00000012' came within 0 ms\nkvoam: " +
                  path + ":1006: wait: no alert holding 'REMOVAL' came within 0 ms\n");
}

// kvoam at a terminal, in HOME: each input is typed once the prompt before it has come; answers the exit
// status, and the terminal's output in out. Waits end on the prompts or the end (30 s only fail a hang).
int AtTerminal(const std::string& home, const std::string& args, const Strings& inputs, std::string& out) {
    int fd = -1;
    const pid_t pid = forkpty(&fd, nullptr, nullptr, nullptr);
    if (pid == 0)
        alarm(60), execl("/bin/sh", "sh", "-c",
                         ("export HOME=" + home + " TERM=xterm; " + Command({}) + args).c_str(), nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (size_t typed = 0, prompts = 0; std::chrono::steady_clock::now() < deadline; prompts = 0) {
        for (size_t at = out.find("kvoam> "); at != npos; at = out.find("kvoam> ", at + 1)) ++prompts;
        if (typed < inputs.size() && prompts > typed &&
            write(fd, inputs[typed].data(), inputs[typed].size()) > 0)
            ++typed;
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

// At a terminal: Tab completes commands, emu sub-commands, boards, products and keyword paths (without
// regard to case), Up recalls a line (also from the last session: HOME/.kvoam_history keeps the last 1000
// lines, mode 0600), Ctrl-C drops the line typed; --no-history keeps no file.
TEST(KvoamTerminal, LineEditingCompletionHistoryAndCtrlC) {
    if (Contains(RunKvoam({"--help"}).out, "built without libedit"))
        GTEST_SKIP() << "kvoam has no line editor";
    TempDir dir;
    const std::string history = dir.path + "/.kvoam_history";
    std::string earlier = "_HiStOrY_V2_\n", first, second, third, fourth;
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
    EXPECT_EQ(AtTerminal(dir.path, " -", {"\x1b[A\n"}, second),
              0);  // the last line of the first session: quit
    EXPECT_FALSE(Contains(second, "->")) << second;
    const std::string saved = ReadAll(history);
    chmod(history.c_str(), 0644);
    EXPECT_EQ(AtTerminal(dir.path, " --no-history -", {"init\n", "quit\n"}, third),
              0);  // the file left alone
    EXPECT_EQ(AtTerminal(dir.path, " -", {"\x04"}, fourth),
              0);  // a session of no line: the file is 0600 again
    struct stat info {};
    EXPECT_TRUE(stat(history.c_str(), &info) == 0 && (info.st_mode & 0777) == 0600 &&
                ReadAll(history) == saved);
}

// Options and operands (words split at blanks): unknown short and long options, misused ones, and "--", after
// which every word is a script name (here none that exists). Each exits with status 2 and says why.
TEST(KvoamUsage, OptionsAndUsageErrors) {
    for (const std::string& line : Split(R"(--bogus=1 -> kvoam: unknown option '--bogus'
-x -> kvoam: unknown option '-x'
-c init -q -> kvoam: unknown option '-q'
script.txt -q -> kvoam: unknown option '-q'
--json=yes -> kvoam: option '--json' takes no argument
-c -> kvoam: option '-c' needs an argument
-c init -c -> kvoam: option '-c' needs an argument
--plugin -> kvoam: option '--plugin' needs an argument
-- --json -> kvoam: cannot open script '--json'
--json -- -x -c -> kvoam: only one script may be given
-c init script.txt -> kvoam: give either -c or a script, not both
-c init --check x.dft -> kvoam: give either --check or commands, not both
--plugin /bin/sh -> kvoam: cannot load plug-in '/bin/sh')")) {
        Outcome run = RunKvoam(Split(Row(line).first, ' '));
        EXPECT_TRUE(run.status == 2 && run.out.empty() && run.err.rfind(Row(line).second, 0) == 0)
            << line << run.err;
    }
    Outcome help = RunKvoam({"-h"});
    EXPECT_TRUE(help.status == 0 && help.out.rfind("usage: kvoam", 0) == 0 &&
                Contains(help.out, "emu journal"));
}

// The demonstration: each alert of the monitor comes where the script waits for it (the output is the same
// however late the monitor thread runs), whole, and the database is written.
TEST(KvoamDemo, TheBoardsLifeWithItsAlertsInOrder) {
    const std::string human = RunKvoam({}).out;
    for (const char* part :
         {"kvoam> wait Heartbeat lost\nalert 0x40002001 [info] b0: Heartbeat lost\n",
          "kvoam> wait Warning\nalert 0x40002001 [info] b0:\n    Status event(s) -\n",
          "database object b0:\n  Driver.Name = kvhw\n  Driver.BoardID = 0\nkvoam> exit\n"})
        EXPECT_TRUE(Contains(human, part)) << part << human;
}

// kvoam's check with the shipped files as search path; what it prints on both streams together.
std::string Check(const Strings& args) {
    Outcome run = RunKvoam(args, "", KV_SHARE_DIR);
    return std::to_string(run.status) + " " + run.out + run.err;
}

// Files (name -> text, '|' ending a line; the last two are no file) and the status and problems the check
// finds in them, in the order printed. The kind of a file comes from its extension (letter case aside),
// else from its content: a record mark first is an image, a '=' outside a comment ('#' or ';' to the end
// of the line) a configuration file, anything else coefficients.
TEST(KvoamCheck, NamesEveryProblemWithItsLineInFilesOfEachKind) {
    TempDir dir;
    Strings args{"--check"};
    for (
        const std::string& file : Split(
            R"(settings.dft -> Encoding = ALaw|NoSuch = 1|bad line|Clocking.HBus.ClockMode = SLAVE|State = BOOTED|Port[1-2].Qslac.File = nothere|Dsp.Image = nothere|DefaultQslacFile = nothere|
clock.DFT -> Clocking.HBus.ClockMode = MASTER_A|Clocking.HBus.ClockSource = A_CLOCK|
coefficients.slc -> 0x1f 2A ; comment|# comment|1FF zz 12q|
empty.slc -> # nothing|
image.DSP -> A = 1|
x.ihex -> A = 1|
x.conf -> 1 2|
x.cfg -> 1 2|
guess1 -> 1 2 ; A = 1|
guess2 -> 1 2 # A = 1|
guess3 -> # A = 1|B = 2 ; x|
guess4 -> |  :00000001FF|
missing.dft ->
directory.dft ->)")) {
        args.push_back(dir.path + "/" + Row(file).first);
        if (!Row(file).second.empty()) dir.Write(Row(file).first, Replace(Row(file).second, "|", "\n"));
    }
    mkdir((dir.path + "/directory.dft").c_str(), 0700);
    EXPECT_EQ(Check(args), Replace(Replace(R"(1 $D/settings.dft:2: error: unknown keyword 'NoSuch'
$D/settings.dft:3: warning: line skipped, no '=' after the key: 'bad line'
$D/settings.dft:4: warning: CKvBoard::KeywordsValidate() - invalid combination: ClockMode = 'SLAVE' and ClockSource = 'OSC'
$D/settings.dft:5: warning: State is the board's own; the check does not apply it
$D/settings.dft:6: warning: File 'nothere (*.slc)' not found in path '$S'
$D/settings.dft:7: warning: File 'nothere (*.dsp)' not found in path '$S'
$D/clock.DFT:2: warning: CKvBoard::KeywordsValidate() - invalid combination: ClockMode = 'MASTER_A'  and  ClockSource = 'A_CLOCK'
$D/coefficients.slc:3: warning: '1FF' is above 0xFF: only its low byte 0xFF is used
$D/coefficients.slc:3: error: 'zz' is not a hexadecimal number
$D/coefficients.slc:3: warning: '12q' is read as 0x12: the characters after its digits are ignored
$D/empty.slc: warning: no coefficient values
$D/image.DSP:1: error: expected ':' at the start of a record, found 'A'
$D/image.DSP:1: error: no end-of-file record (:00000001FF); the loader refuses an image without it
$D/x.ihex:1: error: expected ':' at the start of a record, found 'A'
$D/x.ihex:1: error: no end-of-file record (:00000001FF); the loader refuses an image without it
$D/x.conf:1: warning: line skipped, no '=' after the key: '1 2'
$D/x.cfg:1: warning: line skipped, no '=' after the key: '1 2'
$D/guess3:2: error: unknown keyword 'B'
$D/guess4:1: error: expected ':' at the start of a record, found the end of the line
$D/guess4:2: error: no end-of-file record (:00000001FF); the loader refuses an image without it
$D/missing.dft: error: No such file or directory
$D/directory.dft: error: not a regular file
check: 14 files, 11 errors, 11 warnings
)",
                                           "$D", dir.path),
                                   "$S", KV_SHARE_DIR));
}

// Options (words split at blanks; $F names a configuration file with a warning, $N and $W images without a
// firmware header and with another one; $U is the usage) -> the exit status and how the output begins.
TEST(KvoamCheck, OptionsAndUsage) {
    TempDir dir;
    std::map<std::string, std::string> names{
        {"$F", dir.Write("c.dft", "HeartbeatRate = 7\nbad\n")},
        {"$N", dir.Write("n.hex", ":0400000012345678E8\n:00000001FF\n")},
        {"$W", dir.Write("w.hex", ":120000004B564453504657320100020030000000100054\n:00000001FF\n")},
        {"$U", "(usage: check [--json] [--product PRODUCT] [--emulator] FILE...)"}};
    for (
        const std::string& line : Split(
            R"(--json --check --product KV_7400 $F -> 0 {"file":"$F","line":2,"severity":"warning","message":"line skipped, no '=' after the key: 'bad'"}|{"summary":{"files":1,"errors":0,"warnings":1}}|
--check $F --product=Kv_7400C-48 --json -> 0 {"file":"$F",
--check -> 2 kvoam: check: no file to check $U
--check --bogus x -> 2 kvoam: check: unknown option '--bogus' $U
--check x -e -> 2 kvoam: check: unknown option '-e' $U
--check x --product -> 2 kvoam: check: option '--product' needs an argument $U
--check --json=1 x -> 2 kvoam: check: option '--json' takes no argument $U
--check --product KV_9999 x -> 2 kvoam: check: unknown product 'KV_9999' (products: KV 7400C-48, KV 7400C-32, KV 7400C-16, KV 7400-32, KV 7400-16, KV_7400) $U
--check $N -> 0 check: 1 file, 0 errors, 0 warnings
--check --emulator $N -> 1 $N: error: the emulated DSP runs no image without its firmware header at address 0: "KVDSPFW1" or "KVDSPDG1" and five 16-bit words (18 bytes)
--check --emulator $W -> 1 $W: error: the image begins with "KVDSPFW2" at address 0: the emulated DSP runs only an image that begins with "KVDSPFW1" or "KVDSPDG1"
--check -- --emulator -> 1 --emulator: error: No such file or directory)")) {
        Strings words = Split(Row(line).first, ' ');
        std::string expected = Replace(Row(line).second, "|", "\n");
        for (const auto& [name, text] : names)
            std::replace(words.begin(), words.end(), name, text), expected = Replace(expected, name, text);
        EXPECT_EQ(Check(words).substr(0, expected.size()), expected) << line;
    }
    EXPECT_TRUE(Contains(Check({"-c", "check --product kv7400-16 " + names["$F"]}),
                         "check: 1 file, 0 errors, 1 warning\n"));
    Strings shipped{"--check", "--emulator"};  // the shipped files check clean
    for (const auto& file : std::filesystem::directory_iterator(KV_SHARE_DIR))
        shipped.push_back(file.path().string());
    EXPECT_EQ(Check(shipped), "0 check: 9 files, 0 errors, 0 warnings\n");
}

}  // namespace
