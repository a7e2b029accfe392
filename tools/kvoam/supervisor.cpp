// kvoam as the supervisor: the calls a plug-in makes into its host (alerts
// and the object database) and the shell's output.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "check.h"
#include "interrupt.h"
#include "json.h"
#include "kvoam.h"
#include "oam/oamsupervisor.h"

namespace kvoam {
namespace {

std::mutex g_OutputMutex;
std::atomic<bool> g_Json{false};

// Largest alert record taken; anything bigger is a corrupt size field.
const uint32_t kMaxAlertRecord = 16u * 1024u * 1024u;

const uint32_t kAlertReport = 0x40002002;

const char* SeverityName(uint32_t severity) {
    switch (severity) {
    case 0: return "info";
    case 1: return "warning";
    case 2: return "error";
    default: return nullptr;
    }
}

// Text made safe for a terminal: control characters other than tab and
// newline are shown as \xNN.
std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// One alert as the shell shows it. A one-line text follows the header; a text
// of several lines (and the board report always) goes below it, indented.
std::string FormatAlert(uint32_t code, uint32_t severity, const std::string& source,
                        const std::string& text) {
    char head[96];
    const char* name = SeverityName(severity);
    if (name != nullptr)
        snprintf(head, sizeof head, "alert 0x%08x [%s] ", code, name);
    else
        snprintf(head, sizeof head, "alert 0x%08x [severity %u] ", code, severity);

    if (g_Json.load()) {
        char hex[16];
        snprintf(hex, sizeof hex, "0x%08x", code);
        return JsonText(Json{{"alert", hex}, {"severity", severity}, {"source", source}, {"text", text}}) +
               "\n";
    }

    // Messages end in "\n" and some start with one; neither is worth a line.
    size_t first = text.find_first_not_of('\n');
    size_t last = text.find_last_not_of('\n');
    std::string body = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    body = Printable(body);

    std::string out = head + Printable(source) + ":";
    bool block = code == kAlertReport || body.find('\n') != std::string::npos;
    if (!block) {
        if (!body.empty()) out += " " + body;
        return out + "\n";
    }
    if (code == kAlertReport) out += " board report";
    out += "\n";
    for (const std::string& line : SplitLines(body)) {
        if (line.empty())
            out += "\n";
        else
            out += "    " + line + "\n";
    }
    return out;
}

// ---- Standard output in JSON mode ------------------------------------------------
// The plug-in writes to standard output as it likes (printf, traces). In JSON
// mode file descriptor 1 is a pipe: what arrives there is written out line by
// line as {"stdout": LINE} on the real standard output, kept in g_RealOut.
// Only holders of g_OutputMutex read the pipe, so that kvoam's own lines and
// the plug-in's come out in the order written: a thread waits for data on
// the pipe and writes the complete lines out; kvoam's own output first writes
// everything the pipe holds, an unfinished last line too.

int g_RealOut = -1;     // the real standard output while captured, else -1
int g_CaptureIn = -1;   // the pipe's reading end (non-blocking)
std::string g_Partial;  // the start of a line of the plug-in's not yet ended

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Reads what the pipe holds and writes its complete lines out, and with
// unfinished also a last line that has no end yet; g_OutputMutex is held.
void DrainCaptureLocked(bool unfinished) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(g_CaptureIn, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        g_Partial.append(buffer, static_cast<size_t>(n));
    }
    std::string lines;
    size_t start = 0;
    for (size_t end; (end = g_Partial.find('\n', start)) != std::string::npos; start = end + 1)
        lines += JsonText(Json{{"stdout", g_Partial.substr(start, end - start)}}) + "\n";
    g_Partial.erase(0, start);
    if (unfinished && !g_Partial.empty()) {
        lines += JsonText(Json{{"stdout", g_Partial}}) + "\n";
        g_Partial.clear();
    }
    WriteAll(g_RealOut, lines);
}

void CaptureThread() {
    for (;;) {
        pollfd ready{g_CaptureIn, POLLIN, 0};
        if (poll(&ready, 1, -1) < 0 && errno != EINTR) return;
        std::lock_guard<std::mutex> lock(g_OutputMutex);
        DrainCaptureLocked(false);
        if ((ready.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (ready.revents & POLLIN) == 0) return;
    }
}

// Puts a pipe in place of file descriptor 1. When that cannot be done the
// plug-in's output stays as it is.
void CaptureStandardOutput() {
    std::lock_guard<std::mutex> lock(g_OutputMutex);
    if (g_RealOut >= 0) return;
    fflush(stdout);
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return;
    int real = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (real < 0 || dup2(pipeEnds[1], STDOUT_FILENO) < 0) {
        if (real >= 0) close(real);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        return;
    }
    close(pipeEnds[1]);
    fcntl(pipeEnds[0], F_SETFL, fcntl(pipeEnds[0], F_GETFL) | O_NONBLOCK);
    g_RealOut = real;
    g_CaptureIn = pipeEnds[0];
    // A line the plug-in ends goes into the pipe at once, not when the
    // buffer fills.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::thread(CaptureThread).detach();
}

// Writes text to standard output; g_OutputMutex is held.
void WriteOutLocked(const std::string& text) {
    if (g_RealOut >= 0) {
        DrainCaptureLocked(true);
        WriteAll(g_RealOut, text);
        return;
    }
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

// Writes text to standard error, after what standard output holds so far;
// g_OutputMutex is held.
void WriteErrorLocked(const std::string& text) {
    if (g_RealOut >= 0) DrainCaptureLocked(true);
    fwrite(text.data(), 1, text.size(), stderr);
    fflush(stderr);
}

// ---- Alerts from the plug-in's threads ------------------------------------------
// Lock order: g_AlertMutex before g_OutputMutex.

std::mutex g_AlertMutex;
std::condition_variable g_AlertArrived;
// The thread that runs the commands: its alerts come inside a call and are
// shown at once, in the call's output.
const std::thread::id g_CommandThread = std::this_thread::get_id();
bool g_Holding = true;            // alerts of other threads wait in g_Held
std::vector<std::string> g_Held;  // formatted, in the order they came
// Texts of the alerts since the one the last wait found, newest last; the
// oldest go once there are more than kUnmatchedKept.
std::deque<std::string> g_Unmatched;
const size_t kUnmatchedKept = 1000;

// Writes the held alerts out; g_AlertMutex is held.
void PrintHeldLocked() {
    std::string text;
    for (const std::string& alert : g_Held) text += alert;
    g_Held.clear();
    if (!text.empty()) PrintText(text);
}

// ---- Database ----------------------------------------------------------------

struct DbObject {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keywords;
};

std::mutex g_DbMutex;
std::vector<DbObject> g_DbObjects;
std::map<uintptr_t, size_t> g_DbHandles;  // open handle -> index in g_DbObjects
uintptr_t g_DbNextHandle = 1;

const uint32_t kDbFailed = 1;

}  // namespace

void SetJsonOutput(bool json) {
    g_Json.store(json);
    if (json) CaptureStandardOutput();
}

bool JsonOutput() { return g_Json.load(); }

void PrintText(const std::string& text) {
    // The plug-in's output so far goes first; flushed before the lock is
    // taken, since a plug-in thread may hold stdout while it waits for the
    // capture thread to empty the pipe.
    fflush(stdout);
    std::lock_guard<std::mutex> lock(g_OutputMutex);
    WriteOutLocked(text);
}

void PrintLine(const std::string& line) { PrintText(line + "\n"); }

void PrintJson(const Json& object) { PrintText(JsonText(object) + "\n"); }

void PrintLines(const char* key, const std::string& text, bool error) {
    if (!g_Json.load()) {
        if (!error) return PrintText(text);
        fflush(stdout);
        std::lock_guard<std::mutex> lock(g_OutputMutex);
        return WriteErrorLocked(text);
    }
    std::string lines;
    for (const std::string& line : SplitLines(text.substr(0, text.find_last_not_of('\n') + 1)))
        lines += JsonText(Json{{key, line}}) + "\n";
    fflush(stdout);
    std::lock_guard<std::mutex> lock(g_OutputMutex);
    if (error)
        WriteErrorLocked(lines);
    else
        WriteOutLocked(lines);
}

void PrintError(const std::string& message, const std::string& location) {
    std::string line;
    if (g_Json.load()) {
        Json object{{"error", message}};
        if (!location.empty()) object["at"] = location;
        line = JsonText(object) + "\n";
    } else {
        line = "kvoam: " + Printable(location.empty() ? message : location + ": " + message) + "\n";
    }
    fflush(stdout);
    std::lock_guard<std::mutex> lock(g_OutputMutex);
    WriteErrorLocked(line);
}

void HoldAlerts() {
    std::lock_guard<std::mutex> lock(g_AlertMutex);
    g_Holding = true;
}

void ShowAlerts(bool following) {
    std::lock_guard<std::mutex> lock(g_AlertMutex);
    PrintHeldLocked();
    if (following) g_Holding = false;
}

bool WaitForAlert(const std::string& text, unsigned ms) {
    NotifyOnInterrupt(g_AlertMutex, g_AlertArrived);
    std::unique_lock<std::mutex> lock(g_AlertMutex);
    auto found = g_Unmatched.end();
    g_AlertArrived.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        if (CommandInterrupted()) return true;
        found = std::find_if(g_Unmatched.begin(), g_Unmatched.end(),
                             [&](const std::string& alert) { return alert.find(text) != std::string::npos; });
        return found != g_Unmatched.end();
    });
    if (found == g_Unmatched.end()) return false;
    g_Unmatched.erase(g_Unmatched.begin(), found + 1);
    return true;
}

void ExitProcess(int status) {
    // Alerts still held are shown; any that come after are not.
    g_AlertMutex.lock();
    PrintHeldLocked();
    fflush(stdout);
    g_OutputMutex.lock();
    WriteOutLocked(std::string());  // the plug-in's last lines, a last one unfinished too
    fflush(stderr);
    _exit(status);
}

std::vector<DbEntry> DatabaseEntries() {
    std::lock_guard<std::mutex> lock(g_DbMutex);
    std::vector<DbEntry> entries;
    for (const DbObject& object : g_DbObjects)
        for (const auto& keyword : object.keywords)
            entries.push_back(DbEntry{object.name, keyword.first, keyword.second});
    return entries;
}

}  // namespace kvoam

using namespace kvoam;

// Takes an alert from the plug-in (any thread) and prints it whole. The record
// is checked before it is read: the offsets must lie inside the size it
// gives, and both texts must end inside it. A malformed record answers 1.
extern "C" uint32_t _oamAlertNotify(oam_msg_tag* message) {
    if (message == nullptr) {
        PrintError("alert with no record");
        return 1;
    }
    const uint32_t size = message->size;
    const uint32_t sourceOffset = message->source_offset;
    const uint32_t textOffset = message->text_offset;
    const size_t header = sizeof(oam_msg_tag);
    if (size < header + 2 || size > kMaxAlertRecord || sourceOffset < header || sourceOffset >= size ||
        textOffset < header || textOffset >= size) {
        char detail[160];
        snprintf(detail, sizeof detail,
                 "malformed alert record 0x%08x: size %u, source offset %u, text offset %u", message->alert,
                 size, sourceOffset, textOffset);
        PrintError(detail);
        return 1;
    }
    const char* base = reinterpret_cast<const char*>(message);
    size_t sourceLength = strnlen(base + sourceOffset, size - sourceOffset);
    size_t textLength = strnlen(base + textOffset, size - textOffset);
    if (sourceLength == size - sourceOffset || textLength == size - textOffset) {
        char detail[128];
        snprintf(detail, sizeof detail, "malformed alert record 0x%08x: text not terminated", message->alert);
        PrintError(detail);
        return 1;
    }
    std::string source(base + sourceOffset, sourceLength);
    std::string text(base + textOffset, textLength);
    if (TakeCheckAlert(message->alert, message->severity, source, text)) return 0;
    std::string shown = FormatAlert(message->alert, message->severity, source, text);
    std::lock_guard<std::mutex> lock(g_AlertMutex);
    g_Unmatched.push_back(text);
    if (g_Unmatched.size() > kUnmatchedKept) g_Unmatched.pop_front();
    g_AlertArrived.notify_all();
    if (g_Holding && std::this_thread::get_id() != g_CommandThread)
        g_Held.push_back(shown);
    else
        PrintText(shown);
    return 0;
}

// Opens the object of that name; mode 1 creates it when it is missing.
// Answers 0 and a handle, or 1 (no name, no handle pointer, no such object).
extern "C" uint32_t _oamDbOpenObject(const char* objectName, void** handle, uint32_t mode) {
    if (handle == nullptr) return kDbFailed;
    *handle = nullptr;
    if (objectName == nullptr || objectName[0] == '\0') return kDbFailed;
    std::lock_guard<std::mutex> lock(g_DbMutex);
    size_t index = 0;
    while (index < g_DbObjects.size() && g_DbObjects[index].name != objectName) ++index;
    if (index == g_DbObjects.size()) {
        if (mode != 1) return kDbFailed;
        g_DbObjects.push_back(DbObject{objectName, {}});
    }
    uintptr_t id = g_DbNextHandle++;
    g_DbHandles[id] = index;
    *handle = reinterpret_cast<void*>(id);
    return 0;
}

// Stores value under keyword of the open object (replacing an earlier value).
// Answers 0, or 1 for a handle that is not open or a missing text.
extern "C" uint32_t _oamDbSetKeyword(void* handle, const char* keyword, const char* value) {
    if (keyword == nullptr || value == nullptr || keyword[0] == '\0') return kDbFailed;
    std::lock_guard<std::mutex> lock(g_DbMutex);
    auto open = g_DbHandles.find(reinterpret_cast<uintptr_t>(handle));
    if (open == g_DbHandles.end()) return kDbFailed;
    DbObject& object = g_DbObjects[open->second];
    for (auto& entry : object.keywords) {
        if (entry.first == keyword) {
            entry.second = value;
            return 0;
        }
    }
    object.keywords.emplace_back(keyword, value);
    return 0;
}

// Releases the handle. Answers 0, or 1 for a handle that is not open.
extern "C" uint32_t _oamDbCloseObject(void* handle) {
    std::lock_guard<std::mutex> lock(g_DbMutex);
    return g_DbHandles.erase(reinterpret_cast<uintptr_t>(handle)) == 1 ? 0 : kDbFailed;
}
