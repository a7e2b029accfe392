// kvoam's line editor (libedit) and its Tab completion.
#include "lineedit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "emucmd.h"
#include "interrupt.h"
#include "schema.h"

#ifdef KVOAM_HAVE_LIBEDIT
#include <histedit.h>
#endif

namespace kvoam {
namespace {

const char* const kQualifiers[] = {"Type",    "Kind",    "Settable", "Children", "Child[0]",
                                   "Choices", "Default", "Minimum",  "Maximum",  "Handle"};

bool StartsWith(const std::string& text, const std::string& prefix) {
    if (prefix.size() > text.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    size_t pos = 0;
    while ((pos = text.find_first_not_of(" \t", pos)) != std::string::npos) {
        size_t end = text.find_first_of(" \t", pos);
        if (end == std::string::npos) end = text.size();
        words.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    return words;
}

void AddMatches(std::vector<std::string>& out, const std::vector<std::string>& names,
                const std::string& prefix, const char* suffix) {
    for (const std::string& name : names)
        if (StartsWith(name, prefix) && std::find(out.begin(), out.end(), name + suffix) == out.end())
            out.push_back(name + suffix);
}

// The next step of each keyword path that begins with prefix: "Clo" gives
// "Clocking."; "Port" gives "Port[0]" to "Port[47]"; a value ends in ' '.
void AddPaths(std::vector<std::string>& out, const std::vector<SchemaEntry>& entries,
              const std::string& prefix) {
    for (const SchemaEntry& e : entries) {
        if (!StartsWith(e.path, prefix)) continue;
        size_t cut = e.path.find_first_of(".[", prefix.size() + 1);
        std::string step = cut == std::string::npos ? e.path : e.path.substr(0, cut + 1);
        if (cut == std::string::npos) step += e.type == "structure" ? "." : e.type == "array" ? "[" : " ";
        if (std::find(out.begin(), out.end(), step) == out.end()) out.push_back(step);
    }
}

std::vector<std::string> ListItems(const std::string& list) {
    // A list keyword's value: items separated by blanks, double-quoted when they hold one.
    std::vector<std::string> items;
    size_t i = 0;
    while (i < list.size()) {
        if (list[i] == ' ') {
            ++i;
        } else if (list[i] == '"') {
            size_t end = list.find('"', i + 1);
            items.push_back(list.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1));
            i = end == std::string::npos ? list.size() : end + 1;
        } else {
            size_t end = list.find(' ', i);
            items.push_back(list.substr(i, end - i));
            i = end == std::string::npos ? list.size() : end;
        }
    }
    return items;
}

std::vector<std::string> DetectedNames(const Shell& shell) {
    std::vector<std::string> names;
    char count[32] = {0};
    uint32_t n = 0;
    if (shell.entry.GetKeyword(0, "DetectedBoards.Count", count, sizeof count) != 0 ||
        !ParseNumber(std::string(count, strnlen(count, sizeof count)), &n))
        return names;
    for (uint32_t i = 0; i < n && i < 256; ++i) {
        char path[64], name[128] = {0};
        snprintf(path, sizeof path, "DetectedBoards[%u].Name", i);
        if (shell.entry.GetKeyword(0, path, name, sizeof name) == 0)
            names.push_back(std::string(name, strnlen(name, sizeof name)));
    }
    return names;
}

}  // namespace

Completion Complete(const Shell& shell, const std::string& text) {
    Completion c;
    std::vector<std::string> words = Words(text);
    bool fresh = text.empty() || text.back() == ' ' || text.back() == '\t';
    size_t index = fresh ? words.size() : words.size() - 1;
    std::string prefix = fresh ? std::string() : words.back();
    c.start = text.size() - prefix.size();

    if (index == 0) {
        std::vector<std::string> names{"emu"};
        for (const std::string& usage : CommandUsages()) names.push_back(Words(usage)[0]);
        AddMatches(c.candidates, names, prefix, " ");
        return c;
    }
    if (words[0] == "emu") {
        std::vector<std::string> verbs;
        const std::string help = EmuCommandHelp();
        size_t pos = 0;
        while ((pos = help.find("emu ", pos)) != std::string::npos) {
            size_t end = help.find(' ', pos + 4);
            std::string verb = help.substr(pos + 4, end - pos - 4);
            if (std::find(verbs.begin(), verbs.end(), verb) == verbs.end()) verbs.push_back(verb);
            pos = end;
        }
        if (index == 1)
            AddMatches(c.candidates, verbs, prefix, " ");
        else if (index == 2 && words[1] == "journal")
            AddMatches(c.candidates, {"clear", "save", "compare", "wait"}, prefix, " ");
        return c;
    }
    std::vector<std::string> usage;
    for (const std::string& u : CommandUsages())
        if (Words(u)[0] == words[0]) usage = Words(u);
    if (usage.empty()) return c;
    // The rest of the line (a product, a value) is one argument, blanks and all.
    for (size_t i = 1; i < usage.size(); ++i) {
        const std::string role = usage[i].front() == '[' ? usage[i].substr(1, usage[i].size() - 2) : usage[i];
        if ((role == "PRODUCT" || role == "VALUE") && index >= i) {
            size_t pos = 0;
            for (size_t w = 0; w < i; ++w) {
                pos = text.find_first_not_of(" \t", pos);
                pos = text.find_first_of(" \t", pos);
            }
            pos = text.find_first_not_of(" \t", pos);
            c.start = pos == std::string::npos ? text.size() : pos;
            prefix = text.substr(c.start);
            index = i;
            break;
        }
    }
    if (index >= usage.size()) return c;
    std::string role = usage[index];
    if (role.front() == '[') role = role.substr(1, role.size() - 2);
    if (role == "BOARD") {
        AddMatches(c.candidates, words[0] == "create" ? DetectedNames(shell) : shell.boards, prefix, " ");
    } else if (role == "PRODUCT") {
        std::vector<char> list(4096, '\0');
        if (shell.entry.GetKeyword(0, "Products", list.data(), 4096) == 0) {
            list.back() = '\0';
            AddMatches(c.candidates, ListItems(list.data()), prefix, "");
        }
    } else if (role == "QUALIFIER") {
        AddMatches(c.candidates, std::vector<std::string>(std::begin(kQualifiers), std::end(kQualifiers)),
                   prefix, "");
    } else if (role == "KEYWORD" || role == "VALUE") {
        uint64_t handle = ResolveHandle(shell, words[1]);
        std::vector<SchemaEntry> entries;
        if (handle == kNoSuchHandle) return c;
        if (role == "KEYWORD") {
            ReadSchema(shell.entry, handle, "", entries);
            AddPaths(c.candidates, entries, prefix);
        } else if (ReadSchema(shell.entry, handle, words[2], entries) && !entries.empty()) {
            AddMatches(c.candidates, entries.front().choices, prefix, "");
        }
    }
    return c;
}

#ifndef KVOAM_HAVE_LIBEDIT

bool LineEditorAvailable() { return false; }
bool RunLineEditor(Shell&, bool) { return false; }

#else

namespace {

// The interrupt count when the line being typed was begun: a Ctrl-C after it
// drops the line (or, once the line is read, ends its command).
uint64_t g_LineBegun = 0;

const char* Prompt(EditLine*) { return "kvoam> "; }

// Reads one character for the editor. A Ctrl-C (an interrupt while it waits
// for input) answers an error, which ends the line being typed.
int ReadCharacter(EditLine*, wchar_t* out) {
    mbstate_t state;
    memset(&state, 0, sizeof state);
    for (;;) {
        const int ready = WaitForInput(STDIN_FILENO, g_LineBegun);
        if (ready <= 0) return -1;
        char byte;
        ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        size_t r = mbrtowc(out, &byte, 1, &state);
        if (r == static_cast<size_t>(-2)) continue;  // more bytes of one character to come
        if (r == static_cast<size_t>(-1)) {
            *out = static_cast<unsigned char>(byte);
            memset(&state, 0, sizeof state);
        }
        return 1;
    }
}

unsigned char CompleteKey(EditLine* el, int) {
    Shell* shell = nullptr;
    el_get(el, EL_CLIENTDATA, &shell);
    const LineInfo* info = el_line(el);
    std::string text(info->buffer, static_cast<size_t>(info->cursor - info->buffer));
    Completion c = Complete(*shell, text);
    if (c.candidates.empty()) return CC_REFRESH_BEEP;
    std::string typed = text.substr(c.start);
    // The longest start all candidates share (the first one's spelling).
    std::string common = c.candidates[0];
    for (const std::string& candidate : c.candidates) {
        size_t n = 0;
        while (n < common.size() && n < candidate.size() &&
               std::tolower(static_cast<unsigned char>(common[n])) ==
                   std::tolower(static_cast<unsigned char>(candidate[n])))
            ++n;
        common.resize(n);
    }
    if (common.size() > typed.size() || (c.candidates.size() == 1 && common != typed)) {
        el_deletestr(el, static_cast<int>(typed.size()));
        el_insertstr(el, common.c_str());
        return CC_REFRESH;
    }
    // Nothing more to add: show the choices under the line.
    std::string list = "\n";
    for (const std::string& candidate : c.candidates) list += candidate + "  ";
    PrintText(list + "\n");
    return CC_REDISPLAY;
}

// The history file in the user's home directory, made with mode 0600 before
// anything is written to it (and brought back to 0600 if it was wider).
std::string HistoryFile() {
    const char* home = getenv("HOME");
    if (home == nullptr || home[0] == '\0') return std::string();
    std::string path = std::string(home) + "/.kvoam_history";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return std::string();
    bool ok = fchmod(fd, 0600) == 0;
    close(fd);
    return ok ? path : std::string();
}

}  // namespace

bool LineEditorAvailable() { return true; }

bool RunLineEditor(Shell& shell, bool keepHistory) {
    setlocale(LC_CTYPE, "");
    EditLine* el = el_init("kvoam", stdin, stdout, stderr);
    if (el == nullptr) return false;
    History* kept = history_init();
    HistEvent event;
    history(kept, &event, H_SETSIZE, 1000);
    history(kept, &event, H_SETUNIQUE, 1);
    std::string file = keepHistory ? HistoryFile() : std::string();
    if (!file.empty()) history(kept, &event, H_LOAD, file.c_str());

    el_set(el, EL_EDITOR, "emacs");
    el_set(el, EL_PROMPT, Prompt);
    el_set(el, EL_HIST, history, kept);
    el_set(el, EL_CLIENTDATA, &shell);
    el_set(el, EL_GETCFN, ReadCharacter);
    el_set(el, EL_ADDFN, "kvoam-complete", "complete a command, name, keyword or value", CompleteKey);
    el_set(el, EL_BIND, "^I", "kvoam-complete", nullptr);
    el_source(el, nullptr);  // the user's own ~/.editrc

    unsigned number = 0;
    while (!shell.quit && ShutdownSignal() == 0) {
        g_LineBegun = InterruptCount();
        int count = 0;
        ShowAlerts(true);  // as they come while the line is typed
        const char* line = el_gets(el, &count);
        HoldAlerts();
        if (ShutdownSignal() != 0) break;
        if (line == nullptr && InterruptCount() != g_LineBegun) {
            PrintText("^C\n");
            el_reset(el);
            continue;
        }
        if (line == nullptr || count <= 0) {
            PrintText("\n");
            break;
        }
        std::string text(line, static_cast<size_t>(count));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text.find_first_not_of(" \t") != std::string::npos) {
            history(kept, &event, H_ENTER, text.c_str());
            if (!file.empty()) history(kept, &event, H_SAVE, file.c_str());
        }
        shell.location = "stdin:" + std::to_string(++number);
        BeginCommand(g_LineBegun);
        RunLine(shell, text);
    }
    shell.location.clear();
    el_end(el);
    history_end(kept);
    return true;
}

#endif

}  // namespace kvoam
