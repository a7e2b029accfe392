// kvoam driven as a subprocess, the way an operator or a script uses it:
// output lines, exit status and error handling.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Outcome {
    int status = -1;         // exit status, or -1 when the process did not exit normally
    int signal = 0;          // the signal that ended it, if any
    std::string out;
    std::string err;
    std::vector<std::string> lines;     // standard output, line by line
    std::vector<std::string> errLines;  // standard error, line by line
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Runs kvoam with args, input on its standard input, and WBLOAD unset unless
// wbload is given. A run that takes longer than a minute is killed.
Outcome RunKvoam(const std::vector<std::string>& args, const std::string& input = "",
                 const char* wbload = nullptr)
{
    Outcome outcome;
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
        ADD_FAILURE() << "pipe failed";
        return outcome;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        if (wbload != nullptr)
            setenv("WBLOAD", wbload, 1);
        else
            unsetenv("WBLOAD");
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(KVOAM_PATH));
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(KVOAM_PATH, argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (!input.empty() && write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        ADD_FAILURE() << "could not write kvoam's input";
    close(in[1]);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&outcome.out, &outcome.err};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 1000) < 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    if (open > 0) {
        ADD_FAILURE() << "kvoam did not finish within a minute";
        kill(pid, SIGKILL);
        for (pollfd& fd : fds)
            if (fd.fd >= 0)
                close(fd.fd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        outcome.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        outcome.signal = WTERMSIG(status);
    outcome.lines = Lines(outcome.out);
    outcome.errLines = Lines(outcome.err);
    return outcome;
}

// The value of a top-level field of a one-line JSON object: a string
// (unescaped) or a bare number; empty when the field is missing.
std::string Field(const std::string& line, const std::string& key)
{
    std::string pattern = "\"" + key + "\":";
    size_t pos = line.find(pattern);
    if (pos == std::string::npos)
        return std::string();
    pos += pattern.size();
    if (pos < line.size() && line[pos] != '"') {
        size_t end = line.find_first_of(",}", pos);
        return line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    }
    std::string value;
    for (++pos; pos < line.size() && line[pos] != '"'; ++pos) {
        if (line[pos] != '\\' || pos + 1 >= line.size()) {
            value += line[pos];
            continue;
        }
        char c = line[++pos];
        switch (c) {
        case 'n': value += '\n'; break;
        case 't': value += '\t'; break;
        case 'r': value += '\r'; break;
        case 'u':
            value += static_cast<char>(strtoul(line.substr(pos + 1, 4).c_str(), nullptr, 16));
            pos += 4;
            break;
        default: value += c;
        }
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

const char kCreate[] = "create b0 KV 7400C-48";

TEST(KvoamJson, CallLinesCarryResultsAndValues)
{
    Outcome run = RunKvoam({"--json", "-c",
                            "init; create b0 KV 7400C-48; get b0 Clocking.HBus.ClockMode; get b0 HeartbeatRate"});
    ASSERT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> expected = {
        R"({"call":"Init","args":[],"result":"0x00000000"})",
        R"({"call":"CreateBoard","args":["b0","KV 7400C-48"],"result":"0x00000000"})",
        R"({"call":"GetKeyword","args":["b0","Clocking.HBus.ClockMode"],"result":"0x00000000","value":"STANDALONE"})",
        R"({"call":"GetKeyword","args":["b0","HeartbeatRate"],"result":"0x00000000","value":"100"})",
    };
    EXPECT_EQ(Records(run, "call"), expected);
    EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST(KvoamJson, PluginObjectAndUnknownBoards)
{
    Outcome run = RunKvoam({"--json", "-c",
                            "init; get - Version.Major; get plugin Products[0]; get nosuch State; "
                            "set nosuch HeartbeatRate 5; qualifier b0 State Type; " +
                                std::string(kCreate) + "; qualifier b0 State Type; qualifier b0 State Nonsense"});
    ASSERT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 1);
    std::vector<std::string> calls = Records(run, "call");
    ASSERT_EQ(calls.size(), 9u) << run.out;
    EXPECT_EQ(Field(calls[1], "value"), "1");
    EXPECT_EQ(Field(calls[2], "value"), "KV 7400C-48");
    // A board the plug-in does not know reaches it as an impossible handle;
    // the shell shows the plug-in's own refusal and no value.
    EXPECT_EQ(Field(calls[3], "result"), "0x40000107");
    EXPECT_FALSE(Contains(calls[3], "\"value\""));
    EXPECT_EQ(Field(calls[4], "result"), "0x40000108");
    EXPECT_EQ(Field(calls[5], "result"), "0x40000109");
    EXPECT_EQ(Field(calls[7], "value"), "String");
    EXPECT_EQ(Field(calls[8], "result"), "0x40000004");
}

TEST(KvoamJson, EntryPointsAnswerOutOfOrder)
{
    Outcome run = RunKvoam({"--json", "-c",
                            "get b0 State; start b0; detect; exit; init; init second; exit; "
                            "create b0 KV 7400C-48; exit"});
    ASSERT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 1);
    std::vector<std::string> expected = {
        "GetKeyword=0x40000002", "StartBoard=0x40000002", "DetectBoards=0x40000002",
        "Exit=0x40000002",       "Init=0x00000000",       "Init=0x40000101",
        "Exit=0x00000000",       "CreateBoard=0x40000002", "Exit=0x40000002",
    };
    EXPECT_EQ(CallResults(run), expected);
    EXPECT_TRUE(Contains(run.out, R"({"call":"Init","args":["second"],"result":"0x40000101"})"));
}

// The record built by "alert" must reach the board named in it: with the
// alerts trace on, the removal request comes back as a trace from that board.
// With USE_PRINTF the same trace is the plug-in's own standard output, which
// passes through as a plain line in its place among the JSON lines.
TEST(KvoamJson, AlertRecordsReachTheNamedBoard)
{
    Outcome run = RunKvoam({"--json", "-c",
                            "init; " + std::string(kCreate) +
                                "; set b0 OamTraceMask 2; alert b0 0x40112002; alert b0 1074864130; "
                                "alert b0 0x40002001; alert nosuch 0x40112002; "
                                "set b0 OamTraceMask 0x40000002; alert b0 0x40112002"});
    ASSERT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 1);  // the unknown board's alert is refused

    std::vector<std::string> results;
    for (const std::string& line : Records(run, "call"))
        if (Field(line, "call") == "AlertReceive")
            results.push_back(Field(line, "result"));
    EXPECT_EQ(results, (std::vector<std::string>{"0x00000000", "0x00000000", "0x00000000", "0x00000001",
                                                 "0x00000000"}));

    unsigned removals = 0;
    for (const std::string& line : Records(run, "alert")) {
        if (!Contains(Field(line, "text"), "HSWEVN_REMOVAL_REQUESTED"))
            continue;
        ++removals;
        EXPECT_EQ(Field(line, "source"), "b0");
        EXPECT_EQ(Field(line, "alert"), "0x40002001");
        EXPECT_EQ(Field(line, "severity"), "0");
    }
    EXPECT_EQ(removals, 2u) << run.out;

    // The printed trace stands between the last SetKeyword and the last AlertReceive.
    size_t lastSet = 0, plain = 0, lastAlert = 0;
    for (size_t i = 0; i < run.lines.size(); ++i) {
        const std::string& line = run.lines[i];
        if (Contains(line, R"("call":"SetKeyword")"))
            lastSet = i;
        if (Contains(line, R"("call":"AlertReceive")"))
            lastAlert = i;
        if (line.rfind("CKvBoard::AlertReceive() - HSWEVN_REMOVAL_REQUESTED", 0) == 0)
            plain = i;
    }
    EXPECT_LT(lastSet, plain);
    EXPECT_LT(plain, lastAlert);
}

// Multi-line alert texts: escaped on one line in JSON, an indented block for people.
TEST(KvoamOutput, MultiLineAlertTexts)
{
    const std::string commands = "init; " + std::string(kCreate) + "; set b0 OamTraceMask 0x40000005; set b0 OamTraceMask 0";
    Outcome json = RunKvoam({"--json", "-c", commands});
    ASSERT_EQ(json.signal, 0);
    std::vector<std::string> tables;
    for (const std::string& line : Records(json, "alert"))
        if (Contains(line, "OAM trace masks for KV:"))
            tables.push_back(line);
    ASSERT_GE(tables.size(), 2u) << json.out;
    std::string text = Field(tables[tables.size() - 2], "text");
    EXPECT_TRUE(Contains(text, "\n  KV_TRACE_API            0x00000001\n")) << text;
    EXPECT_TRUE(Contains(text, "OamTraceMask:           0x40000005\n")) << text;
    EXPECT_TRUE(Contains(tables.back(), R"(\n  USE_PRINTF              0x40000000\n)")) << tables.back();

    Outcome human = RunKvoam({"-c", commands});
    ASSERT_EQ(human.signal, 0);
    EXPECT_EQ(human.status, 0) << human.err;
    size_t header = human.lines.size();
    for (size_t i = 0; i < human.lines.size(); ++i)
        if (human.lines[i] == "alert 0x40002001 [info] b0:")
            header = i;
    ASSERT_LT(header + 2, human.lines.size()) << human.out;
    EXPECT_EQ(human.lines[header + 1], "    OAM trace masks for KV:");
    EXPECT_EQ(human.lines[header + 2], "      KV_TRACE_API            0x00000001");
    EXPECT_TRUE(Contains(human.out, "SetKeyword(\"b0\", \"OamTraceMask\", \"0\") -> 0x00000000 ok\n"));
}

TEST(KvoamInput, BadCommandsAreReportedAndTheShellGoesOn)
{
    const std::vector<std::string> bad = {
        "frobnicate b0",        // unknown command
        "create b0",            // no product
        "get b0",               // no keyword
        "set b0 HeartbeatRate", // no value
        "qualifier b0 State",   // no qualifier
        "get b0 State extra",   // one word too many
        "sleep",                // no time
        "sleep ten",            // not a number
        "test b0 0x",           // hex prefix without digits
        "alert b0 12abc",       // not a number
        "alert b0 0x100000000", // more than 32 bits
        "start",                // no board
    };
    std::string commands;
    for (const std::string& command : bad)
        commands += command + "; ";
    commands += "init; sleep 0x0a; sleep 10; test b0 0x1";
    Outcome run = RunKvoam({"--json", "-c", commands});
    ASSERT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.errLines.size(), bad.size()) << run.err;
    for (size_t i = 0; i < bad.size(); ++i)
        EXPECT_EQ(run.errLines[i].rfind("kvoam: ", 0), 0u) << run.errLines[i];
    EXPECT_TRUE(Contains(run.errLines[0], "unknown command 'frobnicate'"));
    EXPECT_TRUE(Contains(run.errLines[1], "usage: create BOARD PRODUCT"));
    // No bad command reached the plug-in; the good ones after them all ran.
    EXPECT_EQ(CallResults(run), (std::vector<std::string>{"Init=0x00000000", "TestBoard=0x4000010f"}));
    EXPECT_TRUE(Contains(run.out, R"("args":["b0","0x1"])"));

    Outcome good = RunKvoam({"--json", "-c", "init;; sleep 0x0A ;  # a comment; exit"});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(CallResults(good), (std::vector<std::string>{"Init=0x00000000", "Exit=0x00000000"}));
}

class KvoamScript : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kvoam_script_XXXXXX";
        int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        m_Path = pattern;
    }
    void TearDown() override { unlink(m_Path.c_str()); }
    void Write(const std::string& text)
    {
        std::ofstream file(m_Path);
        file << text;
    }
    std::string m_Path;
};

TEST_F(KvoamScript, FileAndStandardInput)
{
    const std::string script =
        "# set up one board\n"
        "init\r\n"
        "\n"
        "   create b0   KV 7400C-48  \n"
        "set b0 HeartbeatRate 0x20\n"
        "get b0 HeartbeatRate\n"
        "quit\n"
        "get b0 State\n";
    const std::vector<std::string> expected = {"Init=0x00000000", "CreateBoard=0x00000000",
                                               "SetKeyword=0x00000000", "GetKeyword=0x00000000"};
    Write(script);
    Outcome file = RunKvoam({"--json", m_Path});
    ASSERT_EQ(file.signal, 0);
    EXPECT_EQ(file.status, 0) << file.err;
    EXPECT_EQ(CallResults(file), expected);  // nothing after quit
    EXPECT_TRUE(Contains(file.out, R"("args":["b0","KV 7400C-48"])"));
    EXPECT_TRUE(Contains(file.out, R"("value":"32")"));

    Outcome input = RunKvoam({"--json", "-"}, script);
    EXPECT_EQ(input.status, 0) << input.err;
    EXPECT_EQ(CallResults(input), expected);

    // A failing line sets the status and is named by its line number.
    Write("init\nbogus\ninit\n");
    Outcome failing = RunKvoam({m_Path});
    EXPECT_EQ(failing.status, 1);
    EXPECT_EQ(failing.errLines.size(), 1u) << failing.err;  // the refused second init is a result, not an error
    EXPECT_TRUE(Contains(failing.err, m_Path + ":2: unknown command 'bogus'")) << failing.err;
    EXPECT_TRUE(Contains(failing.out, "kvoam> init\nInit() -> 0x40000101 failed\n")) << failing.out;
}

TEST(KvoamUsage, UsageErrorsExitWithTwo)
{
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"-c"}, "-c needs an argument"},
        {{"/nonexistent/script.txt"}, "cannot open script '/nonexistent/script.txt'"},
        {{"-c", "init", "script.txt"}, "either -c or a script"},
        {{"--plugin", "/nonexistent/libkv.so", "-c", "init"}, "cannot load plug-in '/nonexistent/libkv.so'"},
        {{"--plugin", "/bin/sh", "-c", "init"}, "cannot load plug-in '/bin/sh'"},
    };
    for (const Case& c : cases) {
        Outcome run = RunKvoam(c.args);
        EXPECT_EQ(run.signal, 0) << c.message;
        EXPECT_EQ(run.status, 2) << c.message;
        EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    Outcome help = RunKvoam({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Contains(help.out, "qualifier BOARD KEYWORD QUALIFIER"));
}

// The search path: the one WBLOAD gives, or the shipped one when it is unset.
// The plug-in names the path it searched when a file is missing; a board that
// starts (the demonstration) found its firmware in the shipped directory.
TEST(KvoamSearchPath, WbloadChoosesTheBoardFiles)
{
    const std::string commands = "init; " + std::string(kCreate);
    auto searched = [](const Outcome& run) {
        std::vector<std::string> paths;
        for (const std::string& line : Records(run, "alert")) {
            std::string text = Field(line, "text");
            size_t at = text.find("in path '");
            if (at != std::string::npos)
                paths.push_back(text.substr(at + 9, text.find('\'', at + 9) - at - 9));
        }
        return paths;
    };
    Outcome given = RunKvoam({"--json", "-c", commands}, "", "/nonexistent/kvoam-files");
    EXPECT_EQ(CallResults(given), (std::vector<std::string>{"Init=0x00000000", "CreateBoard=0x00000000"}));
    EXPECT_EQ(searched(given), (std::vector<std::string>{"/nonexistent/kvoam-files"})) << given.out;

    Outcome shipped = RunKvoam({"--json", "-c", commands});
    EXPECT_EQ(CallResults(shipped), (std::vector<std::string>{"Init=0x00000000", "CreateBoard=0x00000000"}));
    for (const std::string& path : searched(shipped))
        EXPECT_EQ(path, KV_SHARE_DIR);
}

// The demonstration in JSON: the board boots and stops, the monitor's alerts
// arrive whole from its thread, and the database holds the board's identity.
TEST(KvoamDemo, JsonRunShowsTheBoardsLife)
{
    Outcome run = RunKvoam({"--json"});
    ASSERT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;

    std::vector<std::string> states;
    std::string boardId;
    for (const std::string& line : Records(run, "call")) {
        EXPECT_EQ(Field(line, "result"), "0x00000000") << line;
        if (Contains(line, R"("args":["b0","State"])"))
            states.push_back(Field(line, "value"));
    }
    EXPECT_EQ(states, (std::vector<std::string>{"IDLE", "BOOTED", "IDLE"}));

    std::vector<std::string> texts;
    for (const std::string& line : Records(run, "alert")) {
        EXPECT_EQ(Field(line, "source"), "b0") << line;
        EXPECT_EQ(line.back(), '}') << line;
        texts.push_back(Field(line, "text"));
    }
    auto sent = [&](const std::string& fragment) {
        for (const std::string& text : texts)
            if (Contains(text, fragment))
                return true;
        return false;
    };
    EXPECT_TRUE(sent("Heartbeat lost\n"));
    EXPECT_TRUE(sent("Heartbeat returned\n"));
    EXPECT_EQ(Records(run, "alert").empty(), false);
    EXPECT_TRUE(Contains(run.out, R"({"alert":"0x40002002","severity":0,"source":"b0")")) << run.out;

    bool name = false, id = false;
    for (const std::string& line : Records(run, "db")) {
        EXPECT_EQ(Field(line, "db"), "b0");
        name = name || (Field(line, "keyword") == "Driver.Name" && Field(line, "value") == "kvhw");
        id = id || Field(line, "keyword") == "Driver.BoardID";
    }
    EXPECT_TRUE(name && id) << run.out;
    EXPECT_FALSE(Records(run, "note").empty());
}

TEST(KvoamDemo, HumanRunIsReadable)
{
    Outcome run = RunKvoam({});
    ASSERT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "kvoam> start b0\n"));
    EXPECT_TRUE(Contains(run.out, "StartBoard(\"b0\") -> 0x00000000 ok\n"));
    EXPECT_TRUE(Contains(run.out, "GetKeyword(\"b0\", \"State\") -> 0x00000000 ok: BOOTED\n"));
    EXPECT_TRUE(Contains(run.out, "alert 0x40002001 [info] b0: Heartbeat lost\n"));
    EXPECT_TRUE(Contains(run.out, "alert 0x40002002 [info] b0: board report\n    "));
    EXPECT_TRUE(Contains(run.out, "\n# Start it"));
    EXPECT_TRUE(Contains(run.out, "database object b0:\n  Driver.Name = kvhw\n"));
}

}  // namespace
