// kvoam driven as a subprocess, the way an operator or a script uses it: output lines, exit status, errors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

using Strings = std::vector<std::string>;

struct Outcome {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out, err;
};

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

Strings Lines(const std::string& text) {
    Strings lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

using kvtest::TempDir;

// In a child: becomes kvoam with args and WBLOAD unset unless wbload is given; killed past a minute.
void ExecKvoam(const Strings& args, const char* wbload = nullptr) {
    wbload != nullptr ? setenv("WBLOAD", wbload, 1) : unsetenv("WBLOAD");
    std::vector<char*> argv{const_cast<char*>(KVOAM_PATH)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    alarm(60);
    execv(KVOAM_PATH, argv.data());
    _exit(127);
}

// Runs kvoam with args and input on its standard input; the output goes through files.
Outcome RunKvoam(const Strings& args, const std::string& input = "", const char* wbload = nullptr) {
    TempDir dir;
    const std::string in = dir.Write("in", input), out = dir.path + "/out", err = dir.path + "/err";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open(in.c_str(), O_RDONLY), 0);
        dup2(open(out.c_str(), O_WRONLY | O_CREAT, 0600), 1);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT, 0600), 2);
        ExecKvoam(args, wbload);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadAll(out), ReadAll(err)};
}

// A field of a one-line JSON object: a string without escapes or a bare number; empty when missing.
std::string Field(const std::string& line, const std::string& key) {
    size_t pos = line.find("\"" + key + "\":");
    if (pos == std::string::npos) return "";
    pos += key.size() + 3;
    if (line[pos] == '"') return line.substr(pos + 1, line.find('"', pos + 1) - pos - 1);
    return line.substr(pos, line.find_first_of(",}", pos) - pos);
}

// The JSON lines of one kind ("call", "alert", "db", "note").
Strings Records(const Outcome& outcome, const std::string& kind) {
    Strings records;
    for (const std::string& line : Lines(outcome.out))
        if (line.rfind("{\"" + kind + "\":", 0) == 0) records.push_back(line);
    return records;
}

// "Name=result" of each entry point call, in order.
Strings CallResults(const Outcome& outcome) {
    Strings calls;
    for (const std::string& line : Records(outcome, "call"))
        calls.push_back(Field(line, "call") + "=" + Field(line, "result"));
    return calls;
}

bool Contains(const std::string& text, const std::string& fragment) {
    return text.find(fragment) != std::string::npos;
}

const std::string kSetUp = "init; create b0 KV 7400C-48; ";

// WBLOAD, when set, is the search path the board looks in for its files.
TEST(KvoamJson, CallLinesCarryResultsAndValues) {
    Outcome run =
        RunKvoam({"--json", "-c", kSetUp + "get b0 Clocking.HBus.ClockMode; qualifier b0 State Type"}, "",
                 "/nonexistent/kvoam-files");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "in path '/nonexistent/kvoam-files'")) << run.out;
    Strings calls = Records(run, "call");
    ASSERT_EQ(calls.size(), 4u) << run.out;
    EXPECT_EQ(calls[1], R"({"call":"CreateBoard","args":["b0","KV 7400C-48"],"result":"0x00000000"})");
    EXPECT_EQ(calls[2],
              R"({"call":"GetKeyword","args":["b0","Clocking.HBus.ClockMode"],"result":"0x00000000",)"
              R"("value":"STANDALONE"})");
    EXPECT_EQ(Field(calls[3], "value"), "String");
}

// An "alert" record reaches the board it names: the traced removal request comes back from it.
TEST(KvoamJson, AlertRecordsReachTheNamedBoard) {
    Outcome run = RunKvoam({"--json", "-c",
                            kSetUp + "set b0 OamTraceMask 2; alert b0 0x40112002; "
                                     "alert b0 0x40002001; alert nosuch 0x40112002"});
    EXPECT_EQ(run.status, 1);  // the unknown board's alert is refused
    EXPECT_EQ(CallResults(run),
              (Strings{"Init=0x00000000", "CreateBoard=0x00000000", "SetKeyword=0x00000000",
                       "AlertReceive=0x00000000", "AlertReceive=0x00000000", "AlertReceive=0x00000001"}));
    Strings removals;
    for (const std::string& line : Records(run, "alert"))
        if (Contains(line, "HSWEVN_REMOVAL_REQUESTED"))
            removals.push_back(Field(line, "source") + " " + Field(line, "alert") + " " +
                               Field(line, "severity"));
    EXPECT_EQ(removals, Strings{"b0 0x40002001 0"}) << run.out;
}

// Multi-line alert texts: escaped on one line in JSON, an indented block for people.
TEST(KvoamOutput, MultiLineAlertTexts) {
    const std::string commands = kSetUp + "set b0 OamTraceMask 0x40000005; set b0 OamTraceMask 0";
    Outcome json = RunKvoam({"--json", "-c", commands});
    EXPECT_TRUE(Contains(json.out, R"(OAM trace masks for KV:\n  KV_TRACE_API            0x00000001\n)"))
        << json.out;
    Outcome human = RunKvoam({"-c", commands});
    EXPECT_TRUE(Contains(human.out,
                         "alert 0x40002001 [info] b0:\n    OAM trace masks for KV:\n"
                         "      KV_TRACE_API            0x00000001\n"))
        << human.out;
}

// schema reads the tree through the plug-in without showing its own queries as calls; the
// defaults are the creation values even when the configuration file changes the values.
TEST(KvoamSchema, KeywordsWithKindsDefaultsChoicesAndLimits) {
    TempDir dir;
    dir.Write("kv7400cpci_48.dft", "Encoding = ALaw\n");
    Outcome json = RunKvoam({"--json", "-c", kSetUp + "schema b0; schema b0 Ring.Cadences; schema b0 Nope"},
                            "", dir.path.c_str());
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(Lines(json.err), Strings{"kvoam: schema: unknown keyword 'Nope'"});
    EXPECT_EQ(CallResults(json), (Strings{"Init=0x00000000", "CreateBoard=0x00000000"}));
    Strings keywords = Records(json, "keyword");
    const std::pair<const char*, long> lines[] = {
        // a line and how often it comes (the subtree repeats it)
        {R"({"keyword":"Encoding","type":"string","default":"MuLaw","value":"ALaw","choices":["MuLaw","ALaw"],"settable":true})",
         1},
        {R"({"keyword":"Eeprom.Family","type":"integer","default":0,"value":0,"min":0,"max":4294967295,"settable":false})",
         1},
        {R"({"keyword":"Ring.Cadences[2].Ton3","type":"integer","default":400,"value":400,"min":0,"max":32766,"settable":true})",
         2},
        {R"({"keyword":"Port[47].Qslac.File","type":"string","default":"","value":"","settable":true})", 1},
        {R"({"keyword":"Location.PCI","type":"structure","default":null,"value":null,"settable":false})", 1}};
    for (const auto& line : lines)
        EXPECT_EQ(std::count(keywords.begin(), keywords.end(), line.first), line.second) << line.first;
    EXPECT_EQ(Field(keywords.back(), "keyword"),
              "Ring.Cadences[2].Toff3");  // the subtree, element by element

    Outcome text = RunKvoam({"-c", kSetUp + "schema b0 Ring"});
    EXPECT_TRUE(
        Contains(text.out,
                 "\nRing.Cadences[0..2].Ton1                 integer   settable   default 2000|600|400  "
                 "limits 0..32766  value 2000|600|400\n"))
        << text.out;
}

// Index lists of a configuration key ("Port[0-3,8].Qslac.File") written out, one path each.
Strings ExpandIndices(const std::string& key) {
    size_t open = key.find('['), close = key.find(']');
    if (open == std::string::npos || close == std::string::npos) return {key};
    Strings paths;
    std::istringstream list(key.substr(open + 1, close - open - 1));
    for (std::string part; std::getline(list, part, ',');) {
        unsigned long first = std::stoul(part), last = first;
        size_t dash = part.find_first_of("-.");
        if (dash != std::string::npos) last = std::stoul(part.substr(part.find_first_of("0123456789", dash)));
        for (unsigned long i = first; i <= last; ++i)
            for (const std::string& rest : ExpandIndices(key.substr(close + 1)))
                paths.push_back(key.substr(0, open) + "[" + std::to_string(i) + "]" + rest);
    }
    return paths;
}

// A line "# KEY = DEFAULT  #: choices: A, B" ("#: limits: MIN to MAX", "#: text"): its key, and "DEFAULT |
// CONSTRAINT" with the constraint as the schema's JSON shows it ("[\"A\",\"B\"]", "MIN MAX", nothing). False
// for other lines.
bool DocumentedSetting(const std::string& line, std::string& key, std::string& description) {
    const size_t equals = line.find(" ="), mark = line.find(" #: ");
    if (line.rfind("# ", 0) != 0 || equals == std::string::npos || mark == std::string::npos || mark < equals)
        return false;
    key = line.substr(2, equals - 2);
    const std::string value = line.substr(equals + 2, mark - equals - 2), rule = line.substr(mark + 4);
    const size_t first = value.find_first_not_of(' '), to = rule.find(" to ");
    std::string constraint;
    if (rule.rfind("choices: ", 0) == 0) {
        constraint = "[\"" + rule.substr(9) + "\"]";
        for (size_t at = constraint.find(", "); at != std::string::npos; at = constraint.find(", ", at))
            constraint.replace(at, 2, "\",\"");
    } else if (rule.rfind("limits: ", 0) == 0 && to != std::string::npos) {
        constraint = rule.substr(8, to - 8) + " " + rule.substr(to + 4);
    } else if (rule != "text") {
        return false;
    }
    description =
        (first == std::string::npos ? "" : value.substr(first, value.find_last_not_of(' ') + 1 - first)) +
        " | " + constraint;
    return !key.empty() && key.find(' ') == std::string::npos;
}

// The shipped configuration files document each setting as "# KEY = DEFAULT  #: CONSTRAINT" and
// name what they leave out in "#: left out: ..."; the board's schema must agree with them.
TEST(KvoamSchema, ShippedConfigurationFilesDocumentTheSchema) {
    const std::pair<const char*, const char*> files[] = {
        {"kv7400cpci_48", "KV 7400C-48"}, {"kv7400cpci_32", "KV 7400C-32"}, {"kv7400cpci_16", "KV 7400C-16"},
        {"kv7400pci_32", "KV 7400-32"},   {"kv7400pci_16", "KV 7400-16"},   {"kv7400", "KV_7400"}};
    for (const auto& file : files) {
        // "default value choices-or-limits" of each keyword, as the schema and as the file say.
        std::map<std::string, std::string> schema, documented;
        std::set<std::string> settable;
        Outcome run =
            RunKvoam({"--json", "-c", "init; create b0 " + std::string(file.second) + "; schema b0"}, "",
                     "/nonexistent");
        for (const std::string& line : Records(run, "keyword")) {
            size_t choices = line.find("\"choices\":");
            std::string constraint = choices != std::string::npos
                                         ? line.substr(choices + 10, line.find(']', choices) - choices - 9)
                                     : Field(line, "min").empty()
                                         ? ""
                                         : Field(line, "min") + " " + Field(line, "max");
            schema[Field(line, "keyword")] = Field(line, "default") + " | " + constraint;
            if (Field(line, "settable") == "true") settable.insert(Field(line, "keyword"));
        }
        Strings leftOut;
        std::ifstream in(std::string(KV_SHARE_DIR) + "/" + file.first + ".dft");
        for (std::string line, key, description; std::getline(in, line);) {
            if (line.rfind("#: left out: ", 0) == 0) {
                std::istringstream names(line.substr(13));
                for (std::string name; std::getline(names >> std::ws, name, ',');)
                    for (const std::string& path : ExpandIndices(name)) leftOut.push_back(path);
            } else if (DocumentedSetting(line, key, description)) {
                for (const std::string& path : ExpandIndices(key)) documented[path] = description;
            }
        }
        ASSERT_GT(documented.size(), 40u) << file.first;
        for (const auto& d : documented) {
            ASSERT_TRUE(schema.count(d.first)) << file.first << ": documents the unknown keyword " << d.first;
            EXPECT_EQ(d.second, schema[d.first]) << file.first << ": " << d.first;
        }
        for (const std::string& path : settable) {
            bool left = std::any_of(leftOut.begin(), leftOut.end(), [&](const std::string& name) {
                return path == name || path.rfind(name + ".", 0) == 0 || path.rfind(name + "[", 0) == 0;
            });
            EXPECT_TRUE(documented.count(path) || left) << file.first << ": does not document " << path;
        }
    }
}

// A failed get, set or qualifier says why in one more line (a "why" field in JSON); results stay the
// plug-in's.
TEST(KvoamSchema, FailuresAreExplained) {
    const std::pair<const char*, const char*> cases[] = {
        {"get b0 Stat", "unknown keyword 'Stat'; nearest: State"},
        {"set b0 Encoding Law", "'Law' is not among the choices of 'Encoding': MuLaw, ALaw"},
        {"set b0 HeartbeatRate -1", "-1 is outside the limits of 'HeartbeatRate': 0 to 2147483647"},
        {"set b0 HeartbeatRate 1x", "'1x' is not a number (decimal, or hexadecimal with 0x)"},
        {"set b0 Eeprom.Family 3", "'Eeprom.Family' is read-only"},
        {"get b0 Location",
         "'Location' is a structure and has no value of its own (schema b0 Location lists it)"},
        {"qualifier b0 State Nonsense", "'State' has no qualifier 'Nonsense'"},
        {"get b9 State", "there is no board named 'b9'"}};
    std::string commands = kSetUp;
    for (const auto& c : cases) commands += std::string(c.first) + "; ";
    Outcome json = RunKvoam({"--json", "-c", commands + "exit; exit"});
    EXPECT_EQ(json.status, 1);
    Strings calls = Records(json, "call");
    ASSERT_EQ(calls.size(), 4 + sizeof cases / sizeof cases[0]) << json.out;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)  // a refused get carries no value
        EXPECT_EQ(Field(calls[i + 2], "why") + Field(calls[i + 2], "value"), cases[i].second)
            << cases[i].first;
    EXPECT_EQ(CallResults(json).back(), "Exit=0x40000002");  // the plug-in's result, passed on
    Outcome text = RunKvoam({"-c", kSetUp + "get b0 Stat"});
    EXPECT_TRUE(Contains(text.out, "-> 0x40000107 failed\n  why: unknown keyword 'Stat'; nearest: State\n"))
        << text.out;
}

TEST(KvoamInput, BadCommandsAreReportedAndTheShellGoesOn) {
    // Unknown command, a missing word, a word too many, a hex prefix without digits, more than 32 bits.
    const std::string bad =
        "frobnicate b0; create b0; get b0 State extra; test b0 0x; alert b0 0x100000000; ";
    Outcome run = RunKvoam({"--json", "-c", bad + "init;; sleep 0x00 ;  # a comment; test b0 0x1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.err).size(), 5u) << run.err;
    EXPECT_EQ(run.err.rfind("kvoam: unknown command 'frobnicate' (try help)\n", 0), 0u) << run.err;
    // No bad command reached the plug-in; the good ones after them all ran.
    EXPECT_EQ(CallResults(run), (Strings{"Init=0x00000000", "TestBoard=0x4000010f"}));
}

// wait takes an alert that came before it (here inside a call) once; with MS 0 a wait for none fails at once.
TEST(KvoamInput, WaitTakesEachAlertOnce) {
    Outcome run =
        RunKvoam({"-c", kSetUp + "set b0 OamTraceMask 0x40000005; wait 0 KV_TRACE_API; wait 0 KV_TRACE_API"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.err), Strings{"kvoam: wait: no alert holding 'KV_TRACE_API' came within 0 ms"});
}

TEST(KvoamInput, ScriptFileAndStandardInput) {
    TempDir dir;
    const std::string path = dir.path + "/script";
    const std::string script =
        "# set up one board\ninit\r\n\n   create b0   KV 7400C-48  \n"
        "set b0 HeartbeatRate 0x20\nget b0 HeartbeatRate\nquit\nget b0 State\n";
    const Strings expected = {"Init=0x00000000", "CreateBoard=0x00000000", "SetKeyword=0x00000000",
                              "GetKeyword=0x00000000"};  // nothing after quit
    std::ofstream(path) << script;
    EXPECT_EQ(CallResults(RunKvoam({"--json", path})), expected);
    EXPECT_EQ(CallResults(RunKvoam({"--json", "-"}, script)), expected);
    // A failing line sets the status and is named by its line number.
    std::ofstream(path) << "init\nbogus\ninit\n";
    Outcome failing = RunKvoam({path});
    EXPECT_EQ(failing.status, 1);
    EXPECT_EQ(Lines(failing.err), Strings{"kvoam: " + path + ":2: unknown command 'bogus' (try help)"});
}

// kvoam - at a terminal: each input is sent once the prompt is back; the output is all the terminal showed.
struct Terminal {
    pid_t pid = -1;
    int fd = -1;
    std::string out;

    Terminal(const std::string& home, const Strings& args) {
        pid = forkpty(&fd, nullptr, nullptr, nullptr);
        if (pid == 0) {
            setenv("HOME", home.c_str(), 1);
            setenv("TERM", "xterm", 1);
            ExecKvoam(args);
        }
    }
    // Reads until the output holds count prompts, or the process ends (or 20 s pass).
    void Prompts(size_t count) {
        auto prompts = [&] {
            size_t n = 0;
            for (size_t at = out.find("kvoam> "); at != std::string::npos; at = out.find("kvoam> ", at + 1))
                ++n;
            return n;
        };
        for (int waited = 0; prompts() < count && waited < 200; ++waited) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buffer[4096];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            out.append(buffer, static_cast<size_t>(n));
        }
    }
    void Type(const std::string& keys, size_t promptsAfter) {
        ASSERT_EQ(write(fd, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        Prompts(promptsAfter);
    }
    int End() {
        Prompts(SIZE_MAX);  // everything to the end
        int status = 0;
        waitpid(pid, &status, 0);
        close(fd);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// At a terminal: Tab completes commands, emu sub-commands, boards, products and keyword paths, Up recalls a
// line (also from the last session, kept in a 0600 file in HOME), Ctrl-C drops the line typed; --no-history
// keeps no file.
TEST(KvoamTerminal, LineEditingCompletionHistoryAndCtrlC) {
    if (Contains(RunKvoam({"--help"}).out, "built without libedit"))
        GTEST_SKIP() << "kvoam has no line editor";
    TempDir dir;
    const std::string home = dir.path, history = home + "/.kvoam_history";
    Terminal first(home, {"-"});
    first.Prompts(1);
    first.Type("init\n", 2);
    first.Type("cre\tb0 KV 7400C-4\t\n", 3);
    first.Type("get b0 Clo\tHB\tClockM\t\n", 4);
    first.Type("\x1b[A\n", 5);
    first.Type("emu jo\tcl\t\n", 6);
    first.Type("get b\tSta\t\n", 7);
    first.Type("bogus\x03", 8);
    first.Type("quit\n", 9);
    EXPECT_EQ(first.End(), 0) << first.out;  // "bogus" never ran
    EXPECT_TRUE(Contains(first.out, "CreateBoard(\"b0\", \"KV 7400C-48\") -> 0x00000000 ok")) << first.out;
    const std::string read = "GetKeyword(\"b0\", \"Clocking.HBus.ClockMode\") -> 0x00000000 ok: STANDALONE";
    EXPECT_NE(first.out.find(read), first.out.rfind(read)) << first.out;  // twice
    EXPECT_TRUE(Contains(first.out, "journal cleared")) << first.out;
    EXPECT_TRUE(Contains(first.out, "GetKeyword(\"b0\", \"State\") -> 0x00000000 ok: IDLE")) << first.out;
    struct stat info {};
    ASSERT_EQ(stat(history.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    Terminal second(home, {"-"});
    second.Prompts(1);
    second.Type("\x1b[A\n", 2);  // the last line of the first session: quit
    EXPECT_EQ(second.End(), 0) << second.out;
    EXPECT_FALSE(Contains(second.out, "->")) << second.out;

    unlink(history.c_str());
    Terminal without(home, {"--no-history", "-"});
    without.Prompts(1);
    without.Type("quit\n", 2);
    EXPECT_EQ(without.End(), 0) << without.out;
    EXPECT_NE(access(history.c_str(), F_OK), 0);
}

// Options and operands: unknown short and long options, misused ones, and "--", after which every word is a
// script name (here none that exists).
TEST(KvoamUsage, UsageErrorsExitWithTwo) {
    const std::pair<Strings, const char*> cases[] = {
        {{"--bogus=1"}, "kvoam: unknown option '--bogus'"},
        {{"-x"}, "kvoam: unknown option '-x'"},
        {{"script.txt", "-q"}, "kvoam: unknown option '-q'"},  // options may follow the script
        {{"--json=yes"}, "kvoam: option '--json' takes no argument"},
        {{"-c"}, "kvoam: option '-c' needs an argument"},
        {{"--plugin"}, "kvoam: option '--plugin' needs an argument"},
        {{"--", "--json"}, "kvoam: cannot open script '--json'"},
        {{"--json", "--", "-x", "-c"}, "kvoam: only one script may be given"},
        {{"-c", "init", "script.txt"}, "either -c or a script"},
        {{"--plugin", "/bin/sh"}, "cannot load plug-in '/bin/sh'"}};
    for (const auto& c : cases) {
        Outcome run = RunKvoam(c.first);
        EXPECT_EQ(run.status, 2) << c.second;
        EXPECT_TRUE(Contains(run.err, c.second) && run.out.empty()) << run.err << run.out;
    }
}

// The demonstration: the board boots and stops, whole alerts arrive from the monitor, each where the script
// waits for it (the output is the same however late the monitor thread runs), the database is written.
TEST(KvoamDemo, JsonAndHumanRunsShowTheBoardsLife) {
    Outcome run = RunKvoam({"--json"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(Contains(run.out, "in path '"));  // without WBLOAD, the shipped files are all found
    Strings shown;  // every record but the notes: a call with its value, an alert's first line, emu and db in
                    // short
    for (const std::string& line : Lines(run.out)) {
        EXPECT_EQ(line.back(), '}') << line;
        const std::string text = Field(line, "text");
        if (!Field(line, "call").empty())
            shown.push_back(Field(line, "call") +
                            (Field(line, "value").empty() ? "" : " " + Field(line, "value")));
        else if (!Field(line, "alert").empty())
            shown.push_back(text.substr(0, text.find("\\n")));
        else if (!Field(line, "emu").empty())
            shown.push_back("emu " + Field(line, "emu"));
        else if (!Field(line, "db").empty())
            shown.push_back(Field(line, "keyword") + "=" + Field(line, "value"));
    }
    EXPECT_EQ(shown, (Strings{"Init",
                              "DetectBoards",
                              "CreateBoard",
                              "GetKeyword IDLE",
                              "Pci bus: 0",
                              "StartBoard",
                              "Status event(s) -",
                              "GetKeyword BOOTED",
                              "emu heartbeat",
                              "Heartbeat lost",
                              "emu heartbeat",
                              "Heartbeat returned",
                              "emu temp",
                              "Status event(s) -",
                              "SetKeyword",
                              "Status event(s) -",
                              "SetKeyword",
                              "Status event(s) -",
                              "StopBoard",
                              "GetKeyword IDLE",
                              "Driver.Name=kvhw",
                              "Driver.BoardID=0",
                              "Exit"}));

    Outcome human = RunKvoam({});
    for (const char* fragment : {"GetKeyword(\"b0\", \"State\") -> 0x00000000 ok: BOOTED\n",
                                 "kvoam> wait Heartbeat lost\nalert 0x40002001 [info] b0: Heartbeat lost\n",
                                 "kvoam> wait Warning\nalert 0x40002001 [info] b0:\n    Status event(s) -\n"
                                 "     Thermal state:          Warning\n",
                                 "database object b0:\n  Driver.Name = kvhw\n"})
        EXPECT_TRUE(Contains(human.out, fragment)) << fragment;
}

// kvoam's check of configuration, coefficient and DSP image files, with the shipped files as search path;
// what it prints on both streams together.
Outcome Check(const Strings& args) {
    Outcome run = RunKvoam(args, "", KV_SHARE_DIR);
    return run.out += run.err, run;
}

// Each file with the problems the check finds in it, in the order printed ("F" stands for the file).
TEST(KvoamCheck, NamesEveryProblemWithItsLine) {
    TempDir dir;
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
         {"F:2: error: unknown keyword 'NoSuch'",
          "F:3: error: HeartbeatRate = '1x' is not a number (0 to 2147483647)",
          "F:4: error: HeartbeatRate = '-5' is outside its limits 0 to 2147483647",
          "F:5: error: Encoding = 'Foo' is not one of its choices MuLaw,ALaw",
          "F:6: warning: line skipped, no '=' after the key: 'bad line'",
          "F:7: warning: line skipped, no key before '=': '= 1'",
          "F:8: warning: CKvBoard::KeywordsValidate() - invalid combination: ClockMode = 'SLAVE' and ClockSource = 'OSC'",
          "F:9: warning: the value ends at a tab or a byte that is not printable ASCII; the rest of the line is ignored",
          "F:10: error: Location is a structure and takes no value",
          "F:11: warning: State is the board's own; the check does not apply it",
          "F:12: warning: line skipped, no value after '=': 'Key ='",
          "F:13: error: key longer than 245 characters, too long to be tested for a list: '" +
              key246.substr(0, 60) + "...'",
          "F:14: warning: File 'nothere (*.slc)' not found in path '" KV_SHARE_DIR "'",
          "F:15: error: index lists expanding to more than 1024 keys: 'P[0-99999].Q[1-0]'",
          "F:16: warning: the last line ends in a backslash at the end of the file and is not applied"}},
        {"long.cfg",
         "A = " + std::string(1300, 'v') + "\n",
         {"F:1: warning: line skipped, its text is longer than 1281 characters: 'A = " +
          std::string(76, 'v') + "...'"}},
        {"clock.dft",
         "Clocking.HBus.ClockMode = MASTER_A\nClocking.HBus.ClockSource = A_CLOCK\n",
         {"F:2: warning: CKvBoard::KeywordsValidate() - invalid combination: ClockMode = 'MASTER_A'  and  ClockSource = "
          "'A_CLOCK'"}},
        {"coefficients.slc",
         "0x1f 2A ; comment\n# comment\n1FF zz 12q\n" + std::string(300, ' ') + "1\n",
         {"F:3: warning: '1FF' is above 0xFF: only its low byte 0xFF is used",
          "F:3: error: 'zz' is not a hexadecimal number",
          "F:3: warning: '12q' is read as 0x12: the characters after its digits are ignored",
          "F:4: warning: line longer than 255 characters: each further 255 are read as a line of their own, comment or not"}},
        {"many.slc", values500 + "1 2 3 4 5 6 7 8 9 a b c\n", {}},
        {"toomany.slc",
         values500 + "1 2 3 4 5 6 7 8 9 a b c d e f\n",
         {"F:6: error: 'd' is value 513: a file holds at most 512"}},
        {"empty.slc", "# nothing\n", {"F: warning: no coefficient values"}},
        {"missing.dft", "", {"F: error: No such file or directory"}},
    };
    Strings args{"--check"};
    std::string expected;
    unsigned errors = 0, warnings = 0;
    for (const auto& c : cases) {
        const std::string path =
            std::string(c.name) == "missing.dft" ? dir.path + "/missing.dft" : dir.Write(c.name, c.text);
        args.push_back(path);
        for (const std::string& problem : c.problems) {
            expected += path + problem.substr(1) + "\n";
            (problem.find(": error: ") != std::string::npos ? errors : warnings) += 1;
        }
    }
    Outcome run = Check(args);
    EXPECT_EQ(run.out, expected + "check: 8 files, " + std::to_string(errors) + " errors, " +
                           std::to_string(warnings) + " warnings\n");
    EXPECT_EQ(run.status, 1);
}

TEST(KvoamCheck, OptionsAndUsage) {
    TempDir dir;
    const std::string file = dir.Write("c.dft", "HeartbeatRate = 7\nbad\n");
    const std::string noHeader = dir.Write("n.hex", ":0400000012345678E8\n:00000001FF\n");
    const std::string wrongHeader =
        dir.Write("w.hex", ":120000004B564453504657320100020030000000100054\n:00000001FF\n");
    EXPECT_EQ(Check({"--json", "--check", "--product", "KV_7400", file}).out,
              "{\"file\":\"" + file +
                  "\",\"line\":2,\"severity\":\"warning\",\"message\":\"line skipped, no '=' after "
                  "the key: 'bad'\"}\n{\"summary\":{\"files\":1,\"errors\":0,\"warnings\":1}}\n");
    const struct {
        Strings args;
        int status;
        std::string first;
    } cases[] = {
        {{"-c", "check --product kv7400-16 " + file}, 0, "kvoam> check --product kv7400-16 " + file},
        {{"--check"},
         2,
         "kvoam: check: no file to check (usage: check [--json] [--product PRODUCT] [--emulator] FILE...)"},
        {{"--check", "--bogus", "x"}, 2, "kvoam: check: unknown option '--bogus'"},
        {{"--check", "x", "-e"}, 2, "kvoam: check: unknown option '-e'"},
        {{"--check", "x", "--product"}, 2, "kvoam: check: option '--product' needs an argument"},
        {{"--check", noHeader}, 0, "check: 1 file, 0 errors, 0 warnings"},
        {{"--check", "--emulator", noHeader},
         1,
         noHeader + ": error: the emulated DSP runs no image without its firmware "
                    "header at address 0: \"KVDSPFW1\" or \"KVDSPDG1\" and five 16-bit words (18 bytes)"},
        {{"--check", "--emulator", wrongHeader},
         1,
         wrongHeader + ": error: the image begins with \"KVDSPFW2\" at address 0: the "
                       "emulated DSP runs only an image that begins with \"KVDSPFW1\" or \"KVDSPDG1\""},
        {{"--check", "--product", "KV 9999", "x"},
         2,
         "kvoam: check: unknown product 'KV 9999' (products: KV 7400C-48, "},
        {{"--check", "--", "--emulator"}, 1, "--emulator: error: No such file or directory"},
    };
    for (const auto& c : cases) {
        Outcome run = Check(c.args);
        EXPECT_EQ(run.status, c.status) << c.first;
        EXPECT_EQ(run.out.substr(0, c.first.size()), c.first);
    }
}

TEST(KvoamCheck, ShippedFilesCheckClean) {
    Strings args{"--check", "--emulator"};
    for (const auto& file : std::filesystem::directory_iterator(KV_SHARE_DIR))
        args.push_back(file.path().string());
    Outcome run = Check(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "check: 9 files, 0 errors, 0 warnings\n");
}

}  // namespace
