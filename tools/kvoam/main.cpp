// kvoam: loads a board plug-in, acts as its supervisor and runs commands
// from -c, a script file or standard input; with no commands, the
// demonstration on the emulated boards.
#include <dlfcn.h>
#include <getopt.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "check.h"
#include "emucmd.h"
#include "interrupt.h"
#include "kvemu.h"
#include "kvoam.h"
#include "lineedit.h"
#include "options.h"
#include "zel/zelframework.h"

#ifndef KVOAM_DEFAULT_PLUGIN
#define KVOAM_DEFAULT_PLUGIN "libkv.so"
#endif
#ifndef KVOAM_DEFAULT_SHARE
#define KVOAM_DEFAULT_SHARE "share"
#endif
// Where an installed tree keeps the plug-in and the search path, relative to
// the directory of the kvoam executable, so that the tree works from any
// prefix it is installed or extracted to.
#ifndef KVOAM_INSTALLED_PLUGIN
#define KVOAM_INSTALLED_PLUGIN "../lib/kv/libkv.so"
#endif
#ifndef KVOAM_INSTALLED_SHARE
#define KVOAM_INSTALLED_SHARE "../share/kv"
#endif
#ifndef KVOAM_VERSION
#define KVOAM_VERSION "unknown"
#endif

namespace {

using namespace kvoam;

const int kStatusOk = 0;
const int kStatusFailed = 1;
const int kStatusUsage = 2;

const char kUsage[] =
    "usage: kvoam [--json] [--no-history] [--plugin PATH] [-c \"CMD; CMD...\"] [SCRIPT | -]\n"
    "       kvoam [--json] [--plugin PATH] --check [--product PRODUCT] [--emulator] [--type KIND] FILE...\n"
    "       kvoam --version | --help\n"
    "  -c CMDS        run the commands, separated by ';'\n"
    "  SCRIPT         run the commands of a file, one a line ('#' starts a comment)\n"
    "  -              read commands from standard input (at a terminal: line editing,\n"
    "                 Tab completion, history in ~/.kvoam_history)\n"
    "  --no-history   at a terminal, neither read nor keep the history file\n"
    "  --json         every line as one JSON object, on standard error too\n"
    "  --plugin PATH  the plug-in to load (default: the libkv.so installed or built with kvoam)\n"
    "  --check ...    check configuration, coefficient and DSP image files, as the command check\n"
    "  --version      print kvoam's version\n"
    "  --             end of the options: the next word is the script\n"
    "With no commands kvoam runs its demonstration on the emulated boards.\n"
    "The board files come from WBLOAD, or the shipped share directory when it is unset.\n";

bool IsFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The directory of the running executable, or empty.
std::string ExecutableDirectory() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::string();
    path[length] = '\0';
    std::string text(path);
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? std::string() : text.substr(0, slash);
}

// The plug-in of this kvoam: where an installed tree keeps it relative to
// the executable, then beside the executable (so that a moved build still
// finds its own), then where the build put it.
std::string FindPlugin() {
    std::string exeDir = ExecutableDirectory();
    if (!exeDir.empty()) {
        for (const char* relative : {"/" KVOAM_INSTALLED_PLUGIN, "/../lib/libkv.so", "/libkv.so"}) {
            std::string candidate = exeDir + relative;
            if (IsFile(candidate)) return candidate;
        }
    }
    return KVOAM_DEFAULT_PLUGIN;
}

// The shipped search path: an installed tree's, found from the executable;
// else the source tree's share directory; else one found from the executable
// (bin/ of a build inside the tree).
std::string FindShare() {
    std::string exeDir = ExecutableDirectory();
    if (!exeDir.empty() && IsDirectory(exeDir + "/" KVOAM_INSTALLED_SHARE))
        return exeDir + "/" KVOAM_INSTALLED_SHARE;
    if (IsDirectory(KVOAM_DEFAULT_SHARE)) return KVOAM_DEFAULT_SHARE;
    if (!exeDir.empty()) {
        for (const char* relative : {"/../../share", "/../share", "/share"}) {
            std::string candidate = exeDir + relative;
            if (IsDirectory(candidate)) return candidate;
        }
    }
    return std::string();
}

// The host's device scan for DetectBoards: the emulated boards.
unsigned EnumerateEmulatedBoards(unsigned index, char* driverName, unsigned size, unsigned* bus,
                                 unsigned* slot) {
    std::vector<std::pair<unsigned, unsigned>> boards = kvemu::Boards();
    if (index >= boards.size() || driverName == nullptr || size == 0 || bus == nullptr || slot == nullptr)
        return 1;
    snprintf(driverName, size, "%s", kvemu::DriverName());
    *bus = boards[index].first;
    *slot = boards[index].second;
    return 0;
}

template <typename T>
bool Resolve(void* library, const char* name, T* function, std::string& missing) {
    dlerror();
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        missing += missing.empty() ? name : std::string(", ") + name;
        return false;
    }
    *function = reinterpret_cast<T>(symbol);
    return true;
}

bool LoadPlugin(const std::string& path, EntryPoints& entry) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        PrintError("cannot load plug-in '" + path + "': " + (why ? why : "unknown error"));
        return false;
    }
    std::string missing;
    Resolve(library, "Init", &entry.Init, missing);
    Resolve(library, "Exit", &entry.Exit, missing);
    Resolve(library, "DetectBoards", &entry.DetectBoards, missing);
    Resolve(library, "CreateBoard", &entry.CreateBoard, missing);
    Resolve(library, "DestroyBoard", &entry.DestroyBoard, missing);
    Resolve(library, "GetKeyword", &entry.GetKeyword, missing);
    Resolve(library, "SetKeyword", &entry.SetKeyword, missing);
    Resolve(library, "GetQualifier", &entry.GetQualifier, missing);
    Resolve(library, "OpenObject", &entry.OpenObject, missing);
    Resolve(library, "CloseObject", &entry.CloseObject, missing);
    Resolve(library, "StartBoard", &entry.StartBoard, missing);
    Resolve(library, "StopBoard", &entry.StopBoard, missing);
    Resolve(library, "TestBoard", &entry.TestBoard, missing);
    Resolve(library, "SendBuffer", &entry.SendBuffer, missing);
    Resolve(library, "AlertReceive", &entry.AlertReceive, missing);
    if (!missing.empty()) {
        PrintError("plug-in '" + path + "' lacks the entry points " + missing);
        // The library stays loaded: its initialisers may have started
        // something that unloading would pull from under it.
        return false;
    }
    return true;
}

// Runs the lines of text separated by separator. The location names the
// source in error messages ("script.txt:3").
void RunLines(Shell& shell, const std::string& text, char separator, const std::string& source) {
    size_t start = 0;
    unsigned number = 0;
    while (start <= text.size() && !shell.quit && ShutdownSignal() == 0) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        ++number;
        shell.location = source.empty() ? std::string() : source + ":" + std::to_string(number);
        BeginCommand(InterruptCount());
        RunLine(shell, text.substr(start, end - start));
        start = end + 1;
    }
    shell.location.clear();
}

// Standard input, read a line at a time without a line editor. The wait for
// input ends at an interrupt too: at a terminal Ctrl-C drops what was typed
// (the terminal discards it), elsewhere the signal ends the input.
class StdinLines {
public:
    enum Result { kLine, kEnd, kInterrupted };
    Result Next(std::string& line, uint64_t since) {
        for (;;) {
            size_t end = m_Pending.find('\n');
            if (end != std::string::npos) {
                line = m_Pending.substr(0, end);
                m_Pending.erase(0, end + 1);
                return kLine;
            }
            if (m_Ended) {
                if (m_Pending.empty()) return kEnd;
                line.swap(m_Pending);
                m_Pending.clear();
                return kLine;
            }
            const int ready = WaitForInput(STDIN_FILENO, since);
            if (ready == 0) {
                m_Pending.clear();
                return kInterrupted;
            }
            char buffer[4096];
            const ssize_t n = ready < 0 ? 0 : read(STDIN_FILENO, buffer, sizeof buffer);
            if (n > 0)
                m_Pending.append(buffer, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                m_Ended = true;
        }
    }

private:
    std::string m_Pending;
    bool m_Ended = false;
};

void RunStream(Shell& shell, std::istream& in, const std::string& source, bool prompt) {
    // While kvoam waits for a line from standard input, alerts are shown as they come.
    const bool waits = &in == &std::cin;
    StdinLines stdinLines;
    std::string line;
    unsigned number = 0;
    while (!shell.quit && ShutdownSignal() == 0) {
        if (waits) ShowAlerts(true);
        if (prompt) PrintText("kvoam> ");
        const uint64_t since = InterruptCount();
        StdinLines::Result got = StdinLines::kLine;
        if (waits)
            got = stdinLines.Next(line, since);
        else if (!std::getline(in, line))
            got = StdinLines::kEnd;
        if (waits) HoldAlerts();
        if (got == StdinLines::kInterrupted) {
            if (prompt) PrintText("^C\n");
            continue;
        }
        if (got == StdinLines::kEnd) break;
        ++number;
        shell.location = source + ":" + std::to_string(number);
        BeginCommand(since);
        RunLine(shell, line);
    }
    if (prompt && !shell.quit && ShutdownSignal() == 0) PrintText("\n");
    shell.location.clear();
}

// After the first SIGINT or SIGTERM of a script (or SIGTERM at a terminal):
// every board that is not IDLE is stopped and Exit called, each shown as the
// commands show them; answers the exit status, 128 plus the signal's number.
int ShutDown(Shell& shell, int signal) {
    PrintError(std::string(signal == SIGINT ? "SIGINT" : "SIGTERM") +
               ": stopping the running boards and calling Exit (another signal ends kvoam at once)");
    shell.location.clear();
    for (const std::string& board : std::vector<std::string>(shell.boards)) {
        char state[64] = "";
        const uint64_t handle = ResolveHandle(shell, board);
        if (handle != kNoSuchHandle && shell.entry.GetKeyword(handle, "State", state, sizeof state) == 0 &&
            strcmp(state, "IDLE") != 0)
            RunLine(shell, "stop " + board);
    }
    RunLine(shell, "exit");
    return 128 + signal;
}

int UsageError(const std::string& message) {
    PrintError(message);
    PrintLines("usage", kUsage, true);
    return kStatusUsage;
}

// The options; those without a short form take values from 256 up.
enum { kJson = 256, kNoHistory, kPlugin, kCheck, kVersion, kHelp };
const option kLongOptions[] = {{"json", no_argument, nullptr, kJson},
                               {"no-history", no_argument, nullptr, kNoHistory},
                               {"plugin", required_argument, nullptr, kPlugin},
                               {"check", no_argument, nullptr, kCheck},
                               {"version", no_argument, nullptr, kVersion},
                               {"help", no_argument, nullptr, kHelp},
                               {nullptr, 0, nullptr, 0}};
// '+': options are taken in order up to the first operand, which Main takes
// before it reads on (options may follow the script; --check takes the rest
// of the line as it stands); ':': a missing argument answers ':'.
const char kShortOptions[] = "+:hc:";

// Whether --json is among the options (check's included), read before
// anything is printed so that usage errors, the usage and the help come as
// JSON too. Leaves getopt_long as at the start.
bool JsonRequested(int argc, char** argv) {
    bool json = false;
    optind = 0;
    for (;;) {
        const int c = kvoptions::Next(argc, argv, kShortOptions, kLongOptions, nullptr);
        json = json || c == kJson;
        if (c != -1) continue;
        if (optind >= argc || strcmp(argv[optind - 1], "--") == 0) break;
        ++optind;  // the script: options may follow it
    }
    optind = 0;  // starts afresh, in the same mode, at the first argument
    kvoptions::Next(1, argv, kShortOptions, kLongOptions, nullptr);
    return json;
}

int Main(int argc, char** argv) {
    SetJsonOutput(JsonRequested(argc, argv));
    bool json = JsonOutput();
    bool history = true;
    std::string plugin;
    std::vector<std::string> commands;
    std::string script;
    bool haveScript = false;
    bool check = false;
    std::vector<std::string> checkArgs;

    bool operandsOnly = false;  // after "--"
    std::string why;
    while (!check && optind < argc) {
        const int before = optind;
        const int c = operandsOnly ? -1 : kvoptions::Next(argc, argv, kShortOptions, kLongOptions, &why);
        switch (c) {
        case -1:
            if (optind >= argc) break;
            if (optind == before + 1 && strcmp(argv[before], "--") == 0) {
                operandsOnly = true;
                break;
            }
            if (haveScript) return UsageError("only one script may be given");
            script = argv[optind++];
            haveScript = true;
            break;
        case kJson: json = true; break;
        case kNoHistory: history = false; break;
        case 'h':
        case kHelp:
            PrintLines("help", kUsage);
            if (!LineEditorAvailable())
                PrintLines("help",
                           "This kvoam was built without libedit: at a terminal it reads plain lines.\n");
            PrintLines("help", "\n" + CommandHelp());
            return kStatusOk;
        case kVersion: PrintLines("version", "kvoam " KVOAM_VERSION "\n"); return kStatusOk;
        case 'c': commands.push_back(optarg); break;
        case kPlugin: plugin = optarg; break;
        case kCheck:
            check = true;
            checkArgs.assign(argv + optind, argv + argc);
            break;
        default: return UsageError(why);
        }
    }
    if (haveScript && !commands.empty()) return UsageError("give either -c or a script, not both");
    if (check && (haveScript || !commands.empty()))
        return UsageError("give either --check or commands, not both");

    std::ifstream file;
    if (haveScript && script != "-") {
        file.open(script);
        if (!file) {
            PrintError("cannot open script '" + script + "'");
            return kStatusUsage;
        }
    }

    if (getenv("WBLOAD") == nullptr) {
        std::string share = FindShare();
        if (!share.empty()) setenv("WBLOAD", share.c_str(), 1);
    }
    if (plugin.empty()) plugin = FindPlugin();

    ZelSetDeviceEnumerator(EnumerateEmulatedBoards);

    Shell shell;
    if (!LoadPlugin(plugin, shell.entry)) return kStatusUsage;

    if (check) return RunCheck(shell, checkArgs);
    const bool interactive = haveScript && script == "-" && isatty(STDIN_FILENO) != 0;
    SetInterruptMode(interactive ? InterruptMode::Interactive : InterruptMode::Script);
    SetEmuPause(PauseUnlessInterrupted);
    if (!commands.empty()) {
        shell.echo = !json;
        for (const std::string& text : commands) {
            if (shell.quit) break;
            RunLines(shell, text, ';', std::string());
        }
    } else if (haveScript && script == "-") {
        shell.echo = !json && !interactive;
        if (!(interactive && !json && RunLineEditor(shell, history)))
            RunStream(shell, std::cin, "stdin", interactive && !json);
    } else if (haveScript) {
        shell.echo = !json;
        RunStream(shell, file, script, false);
    } else {
        shell.echo = !json;
        RunLines(shell, DemoScript(), '\n', std::string());
    }
    if (const int signal = ShutdownSignal()) return ShutDown(shell, signal);
    return shell.failed ? kStatusFailed : kStatusOk;
}

}  // namespace

int main(int argc, char** argv) {
    kvoam::StartSignalThread();
    // Plug-in threads (board monitors) may still run when the commands end;
    // the process leaves without running destructors under their feet.
    ExitProcess(Main(argc, argv));
}
