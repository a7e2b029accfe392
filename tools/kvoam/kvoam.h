// kvoam, the supervisor shell: what its sources share.
//
// kvoam loads a board plug-in, stands in for the supervisor (alerts and the
// object database) and runs commands that call the plug-in's entry points.
// Everything it prints goes through the output functions below, which write
// whole lines under one lock and flush them, so that alerts arriving on other
// threads and the plug-in's own printf output never cut into a line.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "oam/boardplugin.h"

namespace kvoam {

// ---- Output ----------------------------------------------------------------
// JSON mode: every line kvoam writes, on standard output and standard error,
// is one JSON object. The plug-in's own output to standard output is taken
// through a pipe and written as {"stdout": LINE}, in order with kvoam's lines:
// each of kvoam's lines first writes out what the plug-in wrote before it.
void SetJsonOutput(bool json);
bool JsonOutput();
// Writes text (one or more lines, each ending in "\n") to standard output
// under the output lock and flushes it. In JSON mode each line must be a JSON
// object: text for people goes through PrintLines.
void PrintText(const std::string& text);
// Writes one line (the "\n" is added).
void PrintLine(const std::string& line);
// Writes one JSON object as a line.
void PrintJson(const nlohmann::ordered_json& object);
// Text for people (help, usage): as it is, or in JSON mode each line as
// {key: LINE}.
void PrintLines(const char* key, const std::string& text, bool error = false);
// Writes "kvoam: [location: ]message" as one line on standard error; in JSON
// mode {"error": message[, "at": location]}.
void PrintError(const std::string& message, const std::string& location = std::string());
// Shows the alerts still held, flushes both streams and ends the process with
// status, holding the output lock so that no alert is cut off half-written.
// Plug-in threads that may still run are not waited for.
[[noreturn]] void ExitProcess(int status);

// ---- Alerts --------------------------------------------------------------------
// An alert sent on the thread that runs the commands comes inside a call and
// is shown at once. Alerts from the plug-in's own threads (a board's monitor)
// never cut into a command's output: from the start of a command until kvoam
// waits for input again they are held, and shown before the next command's
// echo (by wait and sleep after theirs), so that a script's output does not
// depend on when they come.
//
// Holds the alerts of other threads from now on.
void HoldAlerts();
// Shows the alerts held; with following, also every later one as it comes,
// until HoldAlerts.
void ShowAlerts(bool following);
// Waits at most ms until an alert whose text holds text has come since the
// alert the last such wait found (or since kvoam started); answers whether
// one did. At most the last 1000 alerts are looked at. An interrupt of the
// command ends the wait (answering false).
bool WaitForAlert(const std::string& text, unsigned ms);

// ---- Supervisor --------------------------------------------------------------
// The in-memory object database that _oamDbSetKeyword fills, in the order
// objects and keywords were first written.
struct DbEntry {
    std::string object;
    std::string keyword;
    std::string value;
};
std::vector<DbEntry> DatabaseEntries();

// ---- Plug-in -----------------------------------------------------------------
struct EntryPoints {
    PFN_Init Init;
    PFN_Exit Exit;
    PFN_DetectBoards DetectBoards;
    PFN_CreateBoard CreateBoard;
    PFN_DestroyBoard DestroyBoard;
    PFN_GetKeyword GetKeyword;
    PFN_SetKeyword SetKeyword;
    PFN_GetQualifier GetQualifier;
    PFN_OpenObject OpenObject;
    PFN_CloseObject CloseObject;
    PFN_StartBoard StartBoard;
    PFN_StopBoard StopBoard;
    PFN_TestBoard TestBoard;
    PFN_SendBuffer SendBuffer;
    PFN_AlertReceive AlertReceive;
};

// ---- Commands ------------------------------------------------------------------
struct Shell {
    EntryPoints entry{};
    bool echo = false;                // print each command before running it (human mode, not interactive)
    bool failed = false;              // some command failed
    bool quit = false;                // "quit" was given
    std::string location;             // "script.txt:3" for messages, or empty
    std::vector<std::string> boards;  // boards created and not destroyed, for completion
    std::map<std::string, std::string> products;  // the product each of them was created as
};

// Runs one command line (blank lines and '#' comments do nothing). Answers
// false when the command failed; the shell records that in failed.
bool RunLine(Shell& shell, const std::string& line);
// The command list for "help" and --help.
std::string CommandHelp();
// The usage line of each command ("get BOARD KEYWORD"), for completion.
std::vector<std::string> CommandUsages();

// Decimal or 0x-hexadecimal text, 32 bits, nothing else.
bool ParseNumber(const std::string& text, uint32_t* value);

// What a board name resolves to when the plug-in knows no such board: a
// keyword call with it shows the plug-in's own answer to an unknown handle.
const uint64_t kNoSuchHandle = 0xFFFFFFFFu;
// The object handle of a board, as the plug-in object tells it ("-" and
// "plugin" name the plug-in object itself, 0), or kNoSuchHandle.
uint64_t ResolveHandle(const Shell& shell, const std::string& board);

// The demonstration, a script of kvoam commands.
const char* DemoScript();

}  // namespace kvoam
