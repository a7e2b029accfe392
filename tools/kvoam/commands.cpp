// kvoam's commands: one table entry per command, each calling one entry
// point of the plug-in (or controlling the shell) and showing the result.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "emucmd.h"
#include "interrupt.h"
#include "json.h"
#include "kvoam.h"
#include "printf.h"
#include "running.h"
#include "schema.h"
#include "zel/zelframework.h"

namespace kvoam {
namespace {

// How long wait waits when not told.
const uint32_t kWaitMs = 10000;

struct Args {
    std::vector<std::string> words;  // the fixed words after the command name
    std::string rest;                // the rest of the line (PRODUCT, VALUE, TEXT)
};

typedef bool (*Handler)(Shell& shell, const Args& args);

enum class Rest { None, Optional, Required };

struct Command {
    const char* name;
    unsigned minWords;
    unsigned maxWords;
    Rest rest;  // when not None, exactly minWords words precede the rest
    Handler handler;
    const char* usage;
    const char* help;
};

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// Splits off the next blank-separated word of text from position pos.
bool NextWord(const std::string& text, size_t& pos, std::string& word) {
    pos = text.find_first_not_of(" \t", pos);
    if (pos == std::string::npos) {
        pos = text.size();
        return false;
    }
    size_t end = text.find_first_of(" \t", pos);
    if (end == std::string::npos) end = text.size();
    word = text.substr(pos, end - pos);
    pos = end;
    return true;
}

std::string Hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

const char* ResultMeaning(uint32_t result) {
    switch (result) {
    case 0: return "ok";
    case KV_E_NOT_INITIALISED: return "plug-in not initialised";
    case 0x40000003: return "out of memory";
    case KV_E_UNKNOWN_QUALIFIER: return "no such qualifier";
    default: return "failed";
    }
}

// Shows one entry point call: its name, the arguments as given and the
// result, plus the value read when a read succeeded, and why it failed when
// that is known (a line of its own for people, a field in JSON).
void ShowCall(const char* call, const std::vector<std::string>& args, uint32_t result,
              const std::string* value = nullptr, const std::string& why = std::string()) {
    if (JsonOutput()) {
        Json line{{"call", call}, {"args", args}, {"result", Hex32(result)}};
        if (value != nullptr && result == 0) line["value"] = *value;
        if (!why.empty()) line["why"] = why;
        PrintJson(line);
        return;
    }
    std::string line = std::string(call) + "(";
    for (size_t i = 0; i < args.size(); ++i) line += (i ? ", \"" : "\"") + args[i] + "\"";
    line += ") -> " + Hex32(result) + " " + ResultMeaning(result);
    if (value != nullptr && result == 0) line += ": " + *value;
    if (!why.empty()) line += "\n  why: " + why;
    PrintLine(line);
}

// Failure of the shell itself (not of the plug-in): one line on standard error.
bool Fail(const Shell& shell, const std::string& message) {
    PrintError(message, shell.location);
    return false;
}

// ---- Why a call failed ---------------------------------------------------------

const char kNotInitialised[] = "the plug-in is not initialised (init first)";

// "; nearest: " and up to three of the names nearest to name, or when none is
// near " (what: all of them)".
std::string Nearest(const std::vector<std::string>& names, const std::string& name, const char* what) {
    std::vector<SchemaEntry> entries(names.size());
    for (size_t i = 0; i < names.size(); ++i) entries[i].path = names[i];
    std::vector<std::string> nearest = NearestPaths(entries, name, 3);
    std::string list;
    for (const std::string& n : nearest.empty() ? names : nearest) list += (list.empty() ? "" : ", ") + n;
    return nearest.empty() ? Printf(" (%s: %s)", what, list.c_str()) : Printf("; nearest: %s", list.c_str());
}

std::string NoSuchBoard(const Shell& shell, const std::string& board) {
    if (shell.boards.empty()) return Printf("there is no board named '%s' (none was created)", board.c_str());
    return Printf("there is no board named '%s'", board.c_str()) + Nearest(shell.boards, board, "boards");
}

// The product names the plug-in announces.
std::vector<std::string> Products(const Shell& shell) {
    std::vector<std::string> products;
    char text[256] = "";
    uint32_t count = 0;
    if (shell.entry.GetKeyword(0, "Products.Count", text, sizeof text) != 0 || !ParseNumber(text, &count))
        return products;
    for (uint32_t i = 0; i < count && i < 64; ++i) {
        std::string path = "Products[" + std::to_string(i) + "]";
        if (shell.entry.GetKeyword(0, path.c_str(), text, sizeof text) == 0) products.push_back(text);
    }
    return products;
}

// Why a call that names a board (or the plug-in object, board empty)
// failed, in one line: what the plug-in's state, the board's existence and
// its state tell; else what the board's alerts above it say.
std::string WhyCallFailed(const Shell& shell, const char* call, const std::string& board, uint32_t result,
                          const std::string& product = std::string()) {
    if (result == KV_E_NOT_INITIALISED) return kNotInitialised;
    const std::string name = call;
    if (name == "Init") return "the plug-in is initialised already (exit first)";
    if (board.empty()) return "refused by the plug-in (the alerts above say why)";
    const bool exists = ResolveHandle(shell, board) != kNoSuchHandle;
    if (name == "CreateBoard") {
        if (board.size() >= ZEL_NAME_MAX)
            return Printf("the board name is %zu bytes long; at most %d are taken", board.size(),
                          ZEL_NAME_MAX - 1);
        if (exists)
            return Printf("there is a board named '%s' already (names compare without regard to case)",
                          board.c_str());
        std::vector<std::string> products = Products(shell);
        bool known = false;
        for (const std::string& p : products)
            known = known || strncasecmp(product.c_str(), p.c_str(), p.size()) == 0;
        if (!known)
            return Printf("unknown product '%s'", product.c_str()) + Nearest(products, product, "products");
        return "the board's configuration could not be applied (the alerts above say why)";
    }
    if (!exists) return NoSuchBoard(shell, board);
    if (name == "StartBoard") {
        char state[64] = "";
        uint64_t handle = ResolveHandle(shell, board);
        if (shell.entry.GetKeyword(handle, "State", state, sizeof state) == 0 &&
            strcasecmp(state, "IDLE") != 0)
            return Printf("'%s' is %s; only an IDLE board starts (stop it first)", board.c_str(), state);
        return "the start failed (the alerts above name the step)";
    }
    if (name == "TestBoard") return "the board does not support a test";
    if (name == "SendBuffer") return "the board takes no buffers";
    if (name == "AlertReceive") return "the board did not take the alert";
    return "refused by the board (the alerts above say why)";
}

bool Number(const Shell& shell, const std::string& text, const char* what, uint32_t* value) {
    if (ParseNumber(text, value)) return true;
    return Fail(shell, "invalid " + std::string(what) + " '" + text +
                           "' (a decimal or 0x-hexadecimal number of 32 bits)");
}

// ---- Handlers ----------------------------------------------------------------

bool DoInit(Shell& shell, const Args& args) {
    uint32_t result = shell.entry.Init(args.rest.c_str());
    ShowCall("Init", args.rest.empty() ? std::vector<std::string>() : std::vector<std::string>{args.rest},
             result, nullptr, result != 0 ? WhyCallFailed(shell, "Init", std::string(), result) : "");
    return result == 0;
}

bool DoExit(Shell& shell, const Args&) {
    uint32_t result = shell.entry.Exit();
    ShowCall("Exit", {}, result, nullptr,
             result != 0 ? WhyCallFailed(shell, "Exit", std::string(), result) : "");
    if (result == 0) shell.boards.clear(), shell.products.clear();
    return result == 0;
}

bool DoDetect(Shell& shell, const Args&) {
    uint32_t result = shell.entry.DetectBoards();
    ShowCall("DetectBoards", {}, result, nullptr,
             result != 0 ? WhyCallFailed(shell, "DetectBoards", std::string(), result) : "");
    if (result == 0 && !JsonOutput()) {
        // A short account of what was found, read from the plug-in object.
        char count[32] = {0};
        if (shell.entry.GetKeyword(0, "DetectedBoards.Count", count, sizeof count) == 0) {
            count[sizeof count - 1] = '\0';
            PrintLine("  detected boards: " + std::string(count));
            uint32_t n = 0;
            if (ParseNumber(count, &n)) {
                for (uint32_t i = 0; i < n && i < 64; ++i) {
                    std::string line = "   ";
                    for (const char* field : {"Name", "Driver", "Bus", "Slot"}) {
                        char path[96];
                        char value[128] = {0};
                        snprintf(path, sizeof path, "DetectedBoards[%u].%s", i, field);
                        if (shell.entry.GetKeyword(0, path, value, sizeof value) == 0) {
                            value[sizeof value - 1] = '\0';
                            line += " " + std::string(field) + "=" + value;
                        }
                    }
                    PrintLine(line);
                }
            }
        }
    }
    return result == 0;
}

bool DoCreate(Shell& shell, const Args& args) {
    uint32_t result = shell.entry.CreateBoard(args.words[0].c_str(), args.rest.c_str());
    ShowCall("CreateBoard", {args.words[0], args.rest}, result, nullptr,
             result != 0 ? WhyCallFailed(shell, "CreateBoard", args.words[0], result, args.rest) : "");
    if (result == 0) shell.boards.push_back(args.words[0]), shell.products[args.words[0]] = args.rest;
    return result == 0;
}

// Entry points that take only a board name.
bool ByName(const Shell& shell, const char* call, uint32_t (*entry)(const char*), const Args& args) {
    uint32_t result = entry(args.words[0].c_str());
    ShowCall(call, {args.words[0]}, result, nullptr,
             result != 0 ? WhyCallFailed(shell, call, args.words[0], result) : "");
    return result == 0;
}

bool DoDestroy(Shell& shell, const Args& args) {
    if (!ByName(shell, "DestroyBoard", shell.entry.DestroyBoard, args)) return false;
    shell.boards.erase(std::remove(shell.boards.begin(), shell.boards.end(), args.words[0]),
                       shell.boards.end());
    shell.products.erase(args.words[0]);
    return true;
}

bool DoGet(Shell& shell, const Args& args) {
    uint64_t handle = ResolveHandle(shell, args.words[0]);
    char* value = ValueBuffer();
    value[0] = '\0';
    uint32_t result = shell.entry.GetKeyword(handle, args.words[1].c_str(), value, kValueBufferSize);
    value[kValueBufferSize - 1] = '\0';
    std::string text(value);
    std::string why;
    if (result != 0)
        why = ExplainFailure(shell.entry, handle, args.words[0], args.words[1], nullptr, nullptr, result);
    ShowCall("GetKeyword", {args.words[0], args.words[1]}, result, &text, why);
    return result == 0;
}

bool DoSet(Shell& shell, const Args& args) {
    uint64_t handle = ResolveHandle(shell, args.words[0]);
    uint32_t result = shell.entry.SetKeyword(handle, args.words[1].c_str(), args.rest.c_str());
    std::string why;
    if (result != 0)
        why = ExplainFailure(shell.entry, handle, args.words[0], args.words[1], &args.rest, nullptr, result);
    ShowCall("SetKeyword", {args.words[0], args.words[1], args.rest}, result, nullptr, why);
    return result == 0;
}

bool DoQualifier(Shell& shell, const Args& args) {
    uint64_t handle = ResolveHandle(shell, args.words[0]);
    char* value = ValueBuffer();
    value[0] = '\0';
    uint32_t result = shell.entry.GetQualifier(handle, args.words[1].c_str(), args.words[2].c_str(), value,
                                               kValueBufferSize);
    value[kValueBufferSize - 1] = '\0';
    std::string text(value);
    std::string why;
    if (result != 0)
        why = ExplainFailure(shell.entry, handle, args.words[0], args.words[1], nullptr, &args.words[2],
                             result);
    ShowCall("GetQualifier", {args.words[0], args.words[1], args.words[2]}, result, &text, why);
    return result == 0;
}

// The keywords of a board (or of one subtree), as the plug-in describes them.
bool DoSchema(Shell& shell, const Args& args) {
    uint64_t handle = ResolveHandle(shell, args.words[0]);
    std::string path = args.words.size() > 1 ? args.words[1] : std::string();
    std::vector<SchemaEntry> entries;
    if (!ReadSchema(shell.entry, handle, path, entries)) {
        std::string why = ExplainFailure(shell.entry, handle, args.words[0], path, nullptr, nullptr, 1);
        return Fail(shell, "schema: " + why);
    }
    PrintText(JsonOutput() ? SchemaJson(entries) : SchemaText(entries));
    return true;
}

bool DoOpen(Shell& shell, const Args& args) {
    uint32_t value = 0;
    if (args.words.size() > 1 && !Number(shell, args.words[1], "value", &value)) return false;
    uint64_t handle = ResolveHandle(shell, args.words[0]);
    uint32_t result = shell.entry.OpenObject(handle, value);
    ShowCall("OpenObject", args.words, result, nullptr,
             result != 0 ? WhyCallFailed(shell, "OpenObject", args.words[0], result) : "");
    return result == 0;
}

bool DoClose(Shell& shell, const Args& args) {
    uint64_t handle = ResolveHandle(shell, args.words[0]);
    uint32_t result = shell.entry.CloseObject(handle);
    ShowCall("CloseObject", {args.words[0]}, result, nullptr,
             result != 0 ? WhyCallFailed(shell, "CloseObject", args.words[0], result) : "");
    return result == 0;
}

bool DoStart(Shell& shell, const Args& args) {
    return ByName(shell, "StartBoard", shell.entry.StartBoard, args);
}

bool DoStop(Shell& shell, const Args& args) {
    return ByName(shell, "StopBoard", shell.entry.StopBoard, args);
}

bool DoTest(Shell& shell, const Args& args) {
    uint32_t value = 0;
    if (args.words.size() > 1 && !Number(shell, args.words[1], "count", &value)) return false;
    uint32_t result = shell.entry.TestBoard(args.words[0].c_str(), value);
    ShowCall("TestBoard", args.words, result, nullptr,
             result != 0 ? WhyCallFailed(shell, "TestBoard", args.words[0], result) : "");
    return result == 0;
}

bool DoSend(Shell& shell, const Args& args) {
    uint32_t result = shell.entry.SendBuffer(args.words[0].c_str(), args.rest.data(),
                                             static_cast<uint32_t>(args.rest.size()));
    ShowCall("SendBuffer", {args.words[0], args.rest}, result, nullptr,
             result != 0 ? WhyCallFailed(shell, "SendBuffer", args.words[0], result) : "");
    return result == 0;
}

// An alert record from the supervisor, laid out as the plug-in's own alerts:
// the header, the source name at offset 24, then an empty text.
bool DoAlert(Shell& shell, const Args& args) {
    uint32_t code = 0;
    if (!Number(shell, args.words[1], "alert code", &code)) return false;
    const std::string& source = args.words[0];
    const size_t header = sizeof(oam_msg_tag);
    const size_t size = header + source.size() + 1 + 1;
    // uint32_t storage keeps the record aligned for its header.
    std::vector<uint32_t> block((size + sizeof(uint32_t) - 1) / sizeof(uint32_t), 0);
    oam_msg_tag* record = reinterpret_cast<oam_msg_tag*>(block.data());
    record->size = static_cast<uint32_t>(size);
    record->alert = code;
    record->severity = 0;
    record->source_offset = static_cast<uint32_t>(header);
    record->text_offset = static_cast<uint32_t>(header + source.size() + 1);
    record->reserved = 0;
    char* bytes = reinterpret_cast<char*>(block.data());
    memcpy(bytes + header, source.c_str(), source.size() + 1);
    bytes[record->text_offset] = '\0';
    uint32_t result = shell.entry.AlertReceive(record);
    ShowCall("AlertReceive", {source, args.words[1]}, result, nullptr,
             result != 0 ? WhyCallFailed(shell, "AlertReceive", source, result) : "");
    return result == 0;
}

// Alerts from other threads are shown as they come while it sleeps; an
// interrupt ends the sleep.
bool DoSleep(Shell& shell, const Args& args) {
    uint32_t ms = 0;
    if (!Number(shell, args.words[0], "time", &ms)) return false;
    ShowAlerts(true);
    const bool slept = PauseUnlessInterrupted(ms);
    HoldAlerts();
    return slept || Fail(shell, "sleep: interrupted");
}

// Waits for the monitor's (or any) alert instead of for a fixed time: the
// bound only ends a wait for an alert that never comes. A first word that is
// a number, with more text after it, is the bound.
bool DoWait(Shell& shell, const Args& args) {
    uint32_t ms = kWaitMs;
    std::string text = args.rest;
    size_t pos = 0;
    std::string first;
    if (NextWord(text, pos, first) && ParseNumber(first, &ms) && pos < text.size())
        text = Trim(text.substr(pos));
    else
        ms = kWaitMs;
    ShowAlerts(true);
    bool found = WaitForAlert(text, ms);
    HoldAlerts();
    if (!found && CommandInterrupted()) return Fail(shell, "wait: interrupted");
    if (!found)
        return Fail(shell, "wait: no alert holding '" + text + "' came within " + std::to_string(ms) + " ms");
    return true;
}

bool DoSave(Shell& shell, const Args& args) {
    std::string why;
    return SaveConfiguration(shell, args.words[0], args.words.size() > 1 ? args.words[1] : std::string(),
                             why) ||
           Fail(shell, "save: " + why);
}

bool DoDiff(Shell& shell, const Args& args) {
    std::string why;
    return DiffConfiguration(shell, args.words[0], args.words[1], why) || Fail(shell, "diff: " + why);
}

bool DoDb(Shell&, const Args&) {
    std::vector<DbEntry> entries = DatabaseEntries();
    std::string out;
    if (JsonOutput()) {
        for (const DbEntry& entry : entries)
            out += JsonText(Json{{"db", entry.object}, {"keyword", entry.keyword}, {"value", entry.value}}) +
                   "\n";
    } else if (entries.empty()) {
        out = "database: empty\n";
    } else {
        std::string object;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (i == 0 || entries[i].object != object) {
                object = entries[i].object;
                out += "database object " + object + ":\n";
            }
            out += "  " + entries[i].keyword + " = " + entries[i].value + "\n";
        }
    }
    PrintText(out);
    return true;
}

bool DoNote(Shell&, const Args& args) {
    if (JsonOutput())
        PrintJson(Json{{"note", args.rest}});
    else
        PrintLine("# " + args.rest);
    return true;
}

bool DoCheck(Shell& shell, const Args& args) {
    std::vector<std::string> words;
    std::string word;
    size_t pos = 0;
    while (NextWord(args.rest, pos, word)) words.push_back(word);
    return RunCheck(shell, words) == 0;
}

bool DoHelp(Shell&, const Args&) {
    PrintLines("help", CommandHelp());
    return true;
}

bool DoQuit(Shell& shell, const Args&) {
    shell.quit = true;
    return true;
}

const Command kCommands[] = {
    {"init", 0, 0, Rest::Optional, DoInit, "init [TEXT]", "Init: create the plug-in object"},
    {"exit", 0, 0, Rest::None, DoExit, "exit", "Exit: destroy the plug-in object and its boards"},
    {"detect", 0, 0, Rest::None, DoDetect, "detect", "DetectBoards: list the boards found"},
    {"create", 1, 1, Rest::Required, DoCreate, "create BOARD PRODUCT", "CreateBoard"},
    {"destroy", 1, 1, Rest::None, DoDestroy, "destroy BOARD", "DestroyBoard"},
    {"get", 2, 2, Rest::None, DoGet, "get BOARD KEYWORD", "GetKeyword (BOARD '-': the plug-in object)"},
    {"set", 2, 2, Rest::Required, DoSet, "set BOARD KEYWORD VALUE", "SetKeyword"},
    {"qualifier", 3, 3, Rest::None, DoQualifier, "qualifier BOARD KEYWORD QUALIFIER", "GetQualifier"},
    {"schema", 1, 2, Rest::None, DoSchema, "schema BOARD [KEYWORD]",
     "the keywords: kind, default, choices or limits, settable, value"},
    {"open", 1, 2, Rest::None, DoOpen, "open BOARD [VALUE]", "OpenObject"},
    {"close", 1, 1, Rest::None, DoClose, "close BOARD", "CloseObject"},
    {"start", 1, 1, Rest::None, DoStart, "start BOARD", "StartBoard"},
    {"stop", 1, 1, Rest::None, DoStop, "stop BOARD", "StopBoard"},
    {"test", 1, 2, Rest::None, DoTest, "test BOARD [N]", "TestBoard"},
    {"send", 1, 1, Rest::Required, DoSend, "send BOARD TEXT", "SendBuffer"},
    {"alert", 2, 2, Rest::None, DoAlert, "alert BOARD CODE", "AlertReceive: an alert from the supervisor"},
    {"sleep", 1, 1, Rest::None, DoSleep, "sleep MS", "wait, letting alerts from other threads arrive"},
    {"wait", 0, 0, Rest::Required, DoWait, "wait [MS] TEXT",
     "wait until an alert holding TEXT comes (at most MS, 10000)"},
    {"save", 1, 2, Rest::None, DoSave, "save BOARD [FILE]",
     "the settings that differ from the product's defaults, as a configuration file"},
    {"diff", 2, 2, Rest::None, DoDiff, "diff BOARD FILE", "the settings where the board and the file differ"},
    {"db", 0, 0, Rest::None, DoDb, "db", "print the supervisor's database"},
    {"check", 0, 0, Rest::Required, DoCheck, kCheckUsage,
     "check configuration, coefficient and DSP image files"},
    {"note", 0, 0, Rest::Optional, DoNote, "note TEXT", "print a comment line"},
    {"help", 0, 0, Rest::None, DoHelp, "help", "this list"},
    {"quit", 0, 0, Rest::None, DoQuit, "quit", "leave kvoam"},
};

const Command* FindCommand(const std::string& name) {
    for (const Command& command : kCommands)
        if (name == command.name) return &command;
    return nullptr;
}

bool RunEmu(Shell& shell, const std::string& rest) {
    std::vector<std::string> words;
    std::string word;
    size_t pos = 0;
    while (NextWord(rest, pos, word)) words.push_back(word);
    std::string out;
    std::string error;
    int status = RunEmuCommand(words, JsonOutput(), out, error);
    if (!out.empty()) {
        if (out.back() != '\n') out += "\n";
        PrintText(out);
    }
    if (status != 0) {
        // One line: the first of what the emulator says.
        error = error.substr(0, error.find('\n'));
        if (error.empty()) error = "command failed";
        return Fail(shell, error.compare(0, 4, "emu:") == 0 ? error : "emu: " + error);
    }
    return true;
}

}  // namespace

bool ParseNumber(const std::string& text, uint32_t* value) {
    if (text.empty()) return false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    size_t start = hex ? 2 : 0;
    uint64_t result = 0;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (hex && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        result = result * (hex ? 16 : 10) + digit;
        if (result > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<uint32_t>(result);
    return true;
}

uint64_t ResolveHandle(const Shell& shell, const std::string& board) {
    if (board == "-" || board == "plugin") return 0;
    char text[32] = {0};
    if (shell.entry.GetQualifier(0, board.c_str(), "Handle", text, sizeof text) != 0) return kNoSuchHandle;
    text[sizeof text - 1] = '\0';
    uint32_t handle = 0;
    if (!ParseNumber(text, &handle)) return kNoSuchHandle;
    return handle;
}

std::vector<std::string> CommandUsages() {
    std::vector<std::string> usages;
    for (const Command& command : kCommands) usages.push_back(command.usage);
    return usages;
}

std::string CommandHelp() {
    std::string out =
        "Commands (numbers decimal or 0x-hex; PRODUCT, VALUE and TEXT are the rest of the line):\n";
    for (const Command& command : kCommands) {
        char line[160];
        snprintf(line, sizeof line, "  %-39s %s\n", command.usage, command.help);
        out += line;
    }
    // The emu lines, indented like the others.
    std::string emu = EmuCommandHelp();
    size_t start = 0;
    while (start < emu.size()) {
        size_t end = emu.find('\n', start);
        if (end == std::string::npos) end = emu.size();
        out += "  " + emu.substr(start, end - start) + "\n";
        start = end + 1;
    }
    out +=
        "A failed call is followed by a line saying why.\n"
        "At a terminal: Tab completes, Up and Down recall earlier lines, Ctrl-C drops the line or ends a\n"
        "sleep or wait; in a script, the first Ctrl-C or SIGTERM stops the running boards and calls Exit.\n";
    return out;
}

bool RunLine(Shell& shell, const std::string& input) {
    std::string line = Trim(input);
    if (line.empty() || line[0] == '#') return true;
    size_t pos = 0;
    std::string name;
    NextWord(line, pos, name);
    // Alerts held since the last command come before this one's echo; wait
    // and sleep show them after theirs.
    if (name != "wait" && name != "sleep") ShowAlerts(false);
    // A note is its own echo.
    if (shell.echo && name != "note") PrintLine("kvoam> " + line);
    bool ok;
    if (name == "emu") {
        ok = RunEmu(shell, line.substr(pos));
    } else if (const Command* command = FindCommand(name)) {
        Args args;
        std::string word;
        std::string usage = std::string(" (usage: ") + command->usage + ")";
        if (command->rest != Rest::None) {
            while (args.words.size() < command->minWords && NextWord(line, pos, word))
                args.words.push_back(word);
            args.rest = Trim(line.substr(pos));
            if (args.words.size() < command->minWords ||
                (command->rest == Rest::Required && args.rest.empty()))
                ok = Fail(shell, name + ": missing arguments" + usage);
            else
                ok = command->handler(shell, args);
        } else {
            while (NextWord(line, pos, word)) args.words.push_back(word);
            if (args.words.size() < command->minWords)
                ok = Fail(shell, name + ": missing arguments" + usage);
            else if (args.words.size() > command->maxWords)
                ok = Fail(shell, name + ": too many arguments" + usage);
            else
                ok = command->handler(shell, args);
        }
    } else {
        ok = Fail(shell, "unknown command '" + name + "' (try help)");
    }
    if (!ok) shell.failed = true;
    return ok;
}

}  // namespace kvoam
