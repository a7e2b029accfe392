// kvoam driven as a subprocess, the way an operator or a script uses it:
// output lines, exit status and error handling.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Outcome {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    int signal = 0;   // the signal that ended it, if any
    std::string out, err;
    std::vector<std::string> lines, errLines;  // standard output and error, line by line
};

std::string ReadAll(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// Runs kvoam with args, input on its standard input, and WBLOAD unset unless
// wbload is given. The output goes through files; a run past a minute is killed.
Outcome RunKvoam(const std::vector<std::string>& args, const std::string& input = "",
                 const char* wbload = nullptr)
{
    char dir[] = "/tmp/kvoam_e2e_XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return Outcome();
    }
    const std::string in = std::string(dir) + "/in", out = std::string(dir) + "/out", err = std::string(dir) + "/err";
    std::ofstream(in) << input;
    pid_t pid = fork();
    if (pid == 0) {
        int fds[3] = {open(in.c_str(), O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT, 0600),
                      open(err.c_str(), O_WRONLY | O_CREAT, 0600)};
        for (int i = 0; i < 3; ++i)
            dup2(fds[i], i);
        if (wbload != nullptr)
            setenv("WBLOAD", wbload, 1);
        else
            unsetenv("WBLOAD");
        std::vector<char*> argv{const_cast<char*>(KVOAM_PATH)};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        alarm(60);
        execv(KVOAM_PATH, argv.data());
        _exit(127);
    }
    Outcome outcome;
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    outcome.out = ReadAll(out);
    outcome.err = ReadAll(err);
    outcome.lines = Lines(outcome.out);
    outcome.errLines = Lines(outcome.err);
    for (const std::string& path : {in, out, err})
        unlink(path.c_str());
    rmdir(dir);
    return outcome;
}

// The value of a top-level field of a one-line JSON object: a string
// (unescaped) or a bare number; empty when the field is missing.
std::string Field(const std::string& line, const std::string& key)
{
    std::string pattern = "\"" + key + "\":", value;
    size_t pos = line.find(pattern);
    if (pos == std::string::npos)
        return value;
    pos += pattern.size();
    if (pos < line.size() && line[pos] != '"')
        return line.substr(pos, line.find_first_of(",}", pos) - pos);
    for (++pos; pos < line.size() && line[pos] != '"'; ++pos) {
        char c = line[pos];
        if (c == '\\' && ++pos < line.size())
            c = line[pos] == 'n' ? '\n' : line[pos] == 't' ? '\t' : line[pos];
        value += c;
    }
    return value;
}

// The JSON lines of one kind ("call", "alert", "db", "note").
std::vector<std::string> Records(const Outcome& outcome, const std::string& kind)
{
    std::vector<std::string> records;
    for (const std::string& line : outcome.lines)
        if (line.rfind("{\"" + kind + "\":", 0) == 0)
            records.push_back(line);
    return records;
}

// "Name=result" of each entry point call, in order.
std::vector<std::string> CallResults(const Outcome& outcome)
{
    std::vector<std::string> calls;
    for (const std::string& line : Records(outcome, "call"))
        calls.push_back(Field(line, "call") + "=" + Field(line, "result"));
    return calls;
}

bool Contains(const std::string& text, const std::string& fragment)
{
    return text.find(fragment) != std::string::npos;
}

using Strings = std::vector<std::string>;
const std::string kSetUp = "init; create b0 KV 7400C-48; ";

TEST(KvoamJson, CallLinesCarryResultsAndValues)
{
    Outcome run = RunKvoam({"--json", "-c", kSetUp + "get b0 Clocking.HBus.ClockMode; get - Version.Major; "
                                                     "get plugin Products[0]; qualifier b0 State Type"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    Strings calls = Records(run, "call");
    ASSERT_EQ(calls.size(), 6u) << run.out;
    EXPECT_EQ(calls[1], R"({"call":"CreateBoard","args":["b0","KV 7400C-48"],"result":"0x00000000"})");
    EXPECT_EQ(calls[2], R"({"call":"GetKeyword","args":["b0","Clocking.HBus.ClockMode"],"result":"0x00000000",)"
                        R"("value":"STANDALONE"})");
    EXPECT_EQ((Strings{Field(calls[3], "value"), Field(calls[4], "value"), Field(calls[5], "value")}),
              (Strings{"1", "KV 7400C-48", "String"}));
}

// Unknown boards reach the plug-in as an impossible handle and are refused by
// it, with no value; entry points called out of order are refused too.
TEST(KvoamJson, RefusalsComeFromThePlugin)
{
    Outcome run = RunKvoam({"--json", "-c", "get b0 State; start b0; detect; exit; init; init second; "
                                            "get nosuch State; set nosuch HeartbeatRate 5; qualifier b0 State Type; "
                                            "create b0 KV 7400C-48; qualifier b0 State Nonsense; exit; exit"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(CallResults(run),
              (Strings{"GetKeyword=0x40000002", "StartBoard=0x40000002", "DetectBoards=0x40000002", "Exit=0x40000002",
                       "Init=0x00000000", "Init=0x40000101", "GetKeyword=0x40000107", "SetKeyword=0x40000108",
                       "GetQualifier=0x40000109", "CreateBoard=0x00000000", "GetQualifier=0x40000004",
                       "Exit=0x00000000", "Exit=0x40000002"}));
    EXPECT_FALSE(Contains(Records(run, "call")[6], "\"value\""));
}

// The record built by "alert" must reach the board named in it: with the
// alerts trace on, the removal request comes back as a trace from that board.
// With USE_PRINTF the same trace is the plug-in's own standard output, which
// passes through as a plain line in its place among the JSON lines.
TEST(KvoamJson, AlertRecordsReachTheNamedBoard)
{
    Outcome run = RunKvoam({"--json", "-c", kSetUp + "set b0 OamTraceMask 2; alert b0 0x40112002; alert b0 1074864130; "
                                                     "alert b0 0x40002001; alert nosuch 0x40112002; "
                                                     "set b0 OamTraceMask 0x40000002; alert b0 0x40112002"});
    EXPECT_EQ(run.status, 1);  // the unknown board's alert is refused
    Strings results, removals;
    for (const std::string& line : Records(run, "call"))
        if (Field(line, "call") == "AlertReceive")
            results.push_back(Field(line, "result"));
    EXPECT_EQ(results, (Strings{"0x00000000", "0x00000000", "0x00000000", "0x00000001", "0x00000000"}));
    for (const std::string& line : Records(run, "alert"))
        if (Contains(Field(line, "text"), "HSWEVN_REMOVAL_REQUESTED"))
            removals.push_back(Field(line, "source") + " " + Field(line, "alert") + " " + Field(line, "severity"));
    EXPECT_EQ(removals, Strings(2, "b0 0x40002001 0")) << run.out;
    // The printed trace stands between the last SetKeyword and the last AlertReceive.
    size_t lastSet = 0, plain = 0, lastAlert = 0;
    for (size_t i = 0; i < run.lines.size(); ++i) {
        lastSet = Contains(run.lines[i], R"("call":"SetKeyword")") ? i : lastSet;
        lastAlert = Contains(run.lines[i], R"("call":"AlertReceive")") ? i : lastAlert;
        plain = run.lines[i].rfind("CKvBoard::AlertReceive() - HSWEVN_REMOVAL_REQUESTED", 0) == 0 ? i : plain;
    }
    EXPECT_LT(lastSet, plain);
    EXPECT_LT(plain, lastAlert);
}

// Multi-line alert texts: escaped on one line in JSON, an indented block for people.
TEST(KvoamOutput, MultiLineAlertTexts)
{
    const std::string commands = kSetUp + "set b0 OamTraceMask 0x40000005; set b0 OamTraceMask 0";
    Outcome json = RunKvoam({"--json", "-c", commands});
    Strings tables;
    for (const std::string& line : Records(json, "alert"))
        if (Contains(line, "OAM trace masks for KV:"))
            tables.push_back(line);
    ASSERT_GE(tables.size(), 2u) << json.out;
    std::string text = Field(tables[tables.size() - 2], "text");
    EXPECT_TRUE(Contains(text, "\n  KV_TRACE_API            0x00000001\n")) << text;
    EXPECT_TRUE(Contains(text, "OamTraceMask:           0x40000005\n")) << text;
    EXPECT_TRUE(Contains(tables.back(), R"(\n  USE_PRINTF              0x40000000\n)")) << tables.back();

    Outcome human = RunKvoam({"-c", commands});
    EXPECT_EQ(human.status, 0) << human.err;
    auto header = std::find(human.lines.rbegin(), human.lines.rend(), "alert 0x40002001 [info] b0:");
    ASSERT_GE(header - human.lines.rbegin(), 2) << human.out;
    EXPECT_EQ(Strings(header.base(), header.base() + 2),
              (Strings{"    OAM trace masks for KV:", "      KV_TRACE_API            0x00000001"}));
    EXPECT_TRUE(Contains(human.out, "SetKeyword(\"b0\", \"OamTraceMask\", \"0\") -> 0x00000000 ok\n"));
}

TEST(KvoamInput, BadCommandsAreReportedAndTheShellGoesOn)
{
    // Unknown command, missing product/keyword/value/qualifier/time/board, a word too many,
    // not numbers, a hex prefix without digits, more than 32 bits.
    const Strings bad = {"frobnicate b0", "create b0", "get b0", "set b0 HeartbeatRate", "qualifier b0 State",
                         "get b0 State extra", "sleep", "sleep ten", "test b0 0x", "alert b0 12abc",
                         "alert b0 0x100000000", "start"};
    std::string commands;
    for (const std::string& command : bad)
        commands += command + "; ";
    Outcome run = RunKvoam({"--json", "-c", commands + "init;; sleep 0x0a ;  # a comment; test b0 0x1"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.errLines.size(), bad.size()) << run.err;
    for (const std::string& line : run.errLines)
        EXPECT_EQ(line.rfind("kvoam: ", 0), 0u) << line;
    EXPECT_TRUE(Contains(run.errLines[0], "unknown command 'frobnicate'"));
    EXPECT_TRUE(Contains(run.errLines[1], "usage: create BOARD PRODUCT"));
    // No bad command reached the plug-in; the good ones after them all ran.
    EXPECT_EQ(CallResults(run), (Strings{"Init=0x00000000", "TestBoard=0x4000010f"}));
    EXPECT_TRUE(Contains(run.out, R"("args":["b0","0x1"])"));
}

TEST(KvoamInput, ScriptFileAndStandardInput)
{
    char path[] = "/tmp/kvoam_script_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string script = "# set up one board\ninit\r\n\n   create b0   KV 7400C-48  \n"
                               "set b0 HeartbeatRate 0x20\nget b0 HeartbeatRate\nquit\nget b0 State\n";
    const Strings expected = {"Init=0x00000000", "CreateBoard=0x00000000", "SetKeyword=0x00000000",
                              "GetKeyword=0x00000000"};  // nothing after quit
    std::ofstream(path) << script;
    Outcome file = RunKvoam({"--json", path});
    EXPECT_EQ(file.status, 0) << file.err;
    EXPECT_EQ(CallResults(file), expected);
    EXPECT_TRUE(Contains(file.out, R"("args":["b0","KV 7400C-48"])"));
    EXPECT_TRUE(Contains(file.out, R"("value":"32")"));
    EXPECT_EQ(CallResults(RunKvoam({"--json", "-"}, script)), expected);

    // A failing line sets the status and is named by its line number.
    std::ofstream(path) << "init\nbogus\ninit\n";
    Outcome failing = RunKvoam({path});
    unlink(path);
    EXPECT_EQ(failing.status, 1);
    EXPECT_EQ(failing.errLines.size(), 1u) << failing.err;  // the refused second init is a result, not an error
    EXPECT_TRUE(Contains(failing.err, std::string(path) + ":2: unknown command 'bogus'")) << failing.err;
    EXPECT_TRUE(Contains(failing.out, "kvoam> init\nInit() -> 0x40000101 failed\n")) << failing.out;
}

TEST(KvoamUsage, UsageErrorsExitWithTwo)
{
    const std::pair<Strings, const char*> cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"-c"}, "-c needs an argument"},
        {{"/nonexistent/script.txt"}, "cannot open script '/nonexistent/script.txt'"},
        {{"-c", "init", "script.txt"}, "either -c or a script"},
        {{"--plugin", "/nonexistent/libkv.so", "-c", "init"}, "cannot load plug-in '/nonexistent/libkv.so'"},
        {{"--plugin", "/bin/sh", "-c", "init"}, "cannot load plug-in '/bin/sh'"},
    };
    for (const auto& c : cases) {
        Outcome run = RunKvoam(c.first);
        EXPECT_EQ(run.status, 2) << c.second;
        EXPECT_TRUE(Contains(run.err, c.second)) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    Outcome help = RunKvoam({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Contains(help.out, "qualifier BOARD KEYWORD QUALIFIER"));
}

// The search path: the one WBLOAD gives, or the shipped one when it is unset.
// The plug-in names the path it searched when a file is missing.
TEST(KvoamSearchPath, WbloadChoosesTheBoardFiles)
{
    auto searched = [](const Outcome& run) {
        EXPECT_EQ(CallResults(run), (Strings{"Init=0x00000000", "CreateBoard=0x00000000"}));
        Strings paths;
        for (const std::string& line : Records(run, "alert")) {
            std::string text = Field(line, "text");
            size_t at = text.find("in path '");
            if (at != std::string::npos)
                paths.push_back(text.substr(at + 9, text.find('\'', at + 9) - at - 9));
        }
        return paths;
    };
    const Strings args = {"--json", "-c", kSetUp};
    EXPECT_EQ(searched(RunKvoam(args, "", "/nonexistent/kvoam-files")), Strings{"/nonexistent/kvoam-files"});
    for (const std::string& path : searched(RunKvoam(args)))
        EXPECT_EQ(path, KV_SHARE_DIR);
}

// The demonstration: the board boots and stops, the monitor's alerts arrive
// whole from its thread, and the database holds the board's identity.
TEST(KvoamDemo, JsonAndHumanRunsShowTheBoardsLife)
{
    Outcome run = RunKvoam({"--json"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    Strings states, texts, db;
    for (const std::string& line : Records(run, "call")) {
        EXPECT_EQ(Field(line, "result"), "0x00000000") << line;
        if (Contains(line, R"("args":["b0","State"])"))
            states.push_back(Field(line, "value"));
    }
    EXPECT_EQ(states, (Strings{"IDLE", "BOOTED", "IDLE"}));
    for (const std::string& line : Records(run, "alert")) {
        EXPECT_EQ(Field(line, "source"), "b0") << line;
        EXPECT_EQ(line.back(), '}') << line;
        texts.push_back(Field(line, "text"));
    }
    for (const char* fragment : {"Heartbeat lost\n", "Heartbeat returned\n"})
        EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return Contains(t, fragment); }))
            << fragment;
    EXPECT_TRUE(Contains(run.out, R"({"alert":"0x40002002","severity":0,"source":"b0")")) << run.out;
    for (const std::string& line : Records(run, "db"))
        db.push_back(Field(line, "db") + " " + Field(line, "keyword") + "=" + Field(line, "value"));
    EXPECT_NE(std::find(db.begin(), db.end(), "b0 Driver.Name=kvhw"), db.end()) << run.out;
    EXPECT_NE(std::find_if(db.begin(), db.end(), [](const std::string& d) { return Contains(d, "b0 Driver.BoardID="); }),
              db.end());
    EXPECT_FALSE(Records(run, "note").empty());

    Outcome human = RunKvoam({});
    EXPECT_EQ(human.status, 0) << human.err;
    for (const char* fragment : {"kvoam> start b0\n", "StartBoard(\"b0\") -> 0x00000000 ok\n",
                                 "GetKeyword(\"b0\", \"State\") -> 0x00000000 ok: BOOTED\n",
                                 "alert 0x40002001 [info] b0: Heartbeat lost\n",
                                 "alert 0x40002002 [info] b0: board report\n    ", "\n# Start it",
                                 "database object b0:\n  Driver.Name = kvhw\n"})
        EXPECT_TRUE(Contains(human.out, fragment)) << fragment;
}

}  // namespace
