// kvoam's running configuration: what "save" writes and "diff" compares. Both
// read the board's keywords through the schema and compare them with a
// scratch board of the same product made from its defaults, with nothing
// applied (save) or the file applied (diff), as check applies a file.
#include "running.h"

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

#include "check.h"
#include "json.h"

namespace kvoam {
namespace {

// Filled by the board at each start, kept by the board, or given to each
// board by its supervisor: what a file written for any board of a product
// does not carry.
const char* const kBoardsOwn[] = {"State", "Number", "Driver.BoardId"};

bool IsLeaf(const SchemaEntry& entry) { return entry.type == "string" || entry.type == "integer"; }

// Values compare as the board compares them: choices without regard to case.
bool SameValue(const SchemaEntry& entry, const std::string& a, const std::string& b) {
    return entry.choices.empty() ? a == b : strcasecmp(a.c_str(), b.c_str()) == 0;
}

// Why value cannot stand in a configuration file, or null: the reader takes
// a value of printable ASCII up to a '#', without the blanks at its ends, and
// a line with nothing after '=' is skipped.
const char* Unwritable(const std::string& value) {
    if (value.empty()) return "it is empty";
    if (value.size() > 1023) return "it is longer than 1023 characters";
    for (unsigned char c : value)
        if (c < 0x20 || c > 0x7e) return "it holds a tab, a control character or a byte outside ASCII";
    if (value.find('#') != std::string::npos) return "it holds a '#'";
    if (value.front() == ' ' || value.back() == ' ') return "it begins or ends with a blank";
    return nullptr;
}

// "KEY = VALUE"; a value that ends in '\' is followed by a comment, so that
// the line does not continue on the next one.
std::string SettingLine(const std::string& key, const std::string& value) {
    return key + " = " + value + (value.back() == '\\' ? " #" : "");
}

// The lines of a saved file past its head: a comment, or the settings that
// differ only in the index of their first array and have one value, written
// on one line with an index list as the shipped files write them
// ("Port[0-3,8].Qslac.File = x").
struct FileLine {
    std::string comment;  // or empty for settings
    std::string prefix, suffix, value;
    std::vector<unsigned long> indices;  // none: a keyword outside arrays
};

void AddSetting(std::vector<FileLine>& lines, const std::string& path, const std::string& value) {
    FileLine line;
    line.value = value;
    const size_t open = path.find('['), close = path.find(']', open);
    const std::string digits = open == std::string::npos || close == std::string::npos
                                   ? std::string()
                                   : path.substr(open + 1, close - open - 1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        line.prefix = path;
        lines.push_back(line);
        return;
    }
    line.prefix = path.substr(0, open);
    line.suffix = path.substr(close + 1);
    for (FileLine& earlier : lines) {
        if (earlier.comment.empty() && !earlier.indices.empty() && earlier.prefix == line.prefix &&
            earlier.suffix == line.suffix && earlier.value == value) {
            earlier.indices.push_back(std::stoul(digits));
            return;
        }
    }
    line.indices.push_back(std::stoul(digits));
    lines.push_back(line);
}

// "0-3,8" of indices in rising order.
std::string IndexList(const std::vector<unsigned long>& indices) {
    std::string list;
    for (size_t i = 0; i < indices.size();) {
        size_t last = i;
        while (last + 1 < indices.size() && indices[last + 1] == indices[last] + 1) ++last;
        list += (list.empty() ? "" : ",") + std::to_string(indices[i]) +
                (last > i ? "-" + std::to_string(indices[last]) : std::string());
        i = last + 1;
    }
    return list;
}

// The board's handle and product, and its keywords; answers false and why.
bool ReadBoard(const Shell& shell, const std::string& board, uint64_t& handle, std::string& product,
               std::vector<SchemaEntry>& entries, std::string& why) {
    handle = ResolveHandle(shell, board);
    auto known = shell.products.find(board);
    if (handle == kNoSuchHandle || handle == 0) {
        why = "there is no board named '" + board + "'";
        return false;
    }
    if (known == shell.products.end()) {
        why = "the product of board '" + board + "' is not known (kvoam knows it of the boards it created)";
        return false;
    }
    product = known->second;
    if (!ReadSchema(shell.entry, handle, "", entries)) {
        why = "the keywords of board '" + board + "' cannot be read";
        return false;
    }
    return true;
}

// The values of a scratch board of product with the file at path applied
// (none when path is empty), by keyword path.
bool ScratchValues(const Shell& shell, const std::string& product, const std::string& path,
                   std::map<std::string, std::string>& values, std::string& why) {
    std::vector<SchemaEntry> entries;
    bool read = false;
    if (!WithScratchBoard(
            shell.entry, product, path,
            [&](uint64_t handle) { read = ReadSchema(shell.entry, handle, "", entries); }, why))
        return false;
    if (!read) {
        why = "the keywords of a board of '" + product + "' cannot be read";
        return false;
    }
    for (const SchemaEntry& entry : entries)
        if (entry.hasValue) values[entry.path] = entry.value;
    return true;
}

}  // namespace

bool FileSettable(const SchemaEntry& entry) {
    if (!IsLeaf(entry) || !entry.settable) return false;
    for (const char* own : kBoardsOwn)
        if (strcasecmp(entry.path.c_str(), own) == 0) return false;
    return true;
}

std::vector<std::string> LeftOut(const std::vector<SchemaEntry>& entries) {
    std::vector<std::string> names;
    for (const char* own : kBoardsOwn)
        for (const SchemaEntry& entry : entries)
            if (strcasecmp(entry.path.c_str(), own) == 0) names.push_back(entry.path);
    auto top = [](const std::string& path) { return path.substr(0, path.find_first_of(".[")); };
    for (const SchemaEntry& entry : entries) {
        if (!IsLeaf(entry) || entry.settable) continue;
        bool allReadOnly = true;
        for (const SchemaEntry& other : entries)
            if (IsLeaf(other) && other.settable && top(other.path) == top(entry.path)) allReadOnly = false;
        const std::string name = allReadOnly ? top(entry.path) : entry.path;
        if (names.empty() || names.back() != name) names.push_back(name);
    }
    return names;
}

bool SaveConfiguration(const Shell& shell, const std::string& board, const std::string& file,
                       std::string& why) {
    uint64_t handle;
    std::string product;
    std::vector<SchemaEntry> entries;
    std::map<std::string, std::string> defaults;
    if (!ReadBoard(shell, board, handle, product, entries, why) ||
        !ScratchValues(shell, product, std::string(), defaults, why))
        return false;

    std::string leftOut;
    for (const std::string& name : LeftOut(entries)) leftOut += (leftOut.empty() ? "" : ", ") + name;
    std::string text = "# Running configuration of board '" + board + "' (" + product +
                       "), written by kvoam's save:\n"
                       "# the settings that differ from the product's defaults. A board of the same\n"
                       "# product reads it as its configuration file.\n"
                       "#: left out: " +
                       leftOut + "\n";
    std::vector<std::pair<std::string, std::string>> settings;
    std::vector<FileLine> lines;
    std::string refused;
    unsigned refusedCount = 0;
    for (const SchemaEntry& entry : entries) {
        if (!FileSettable(entry) || !entry.hasValue) continue;
        auto standard = defaults.find(entry.path);
        if (standard != defaults.end() && SameValue(entry, entry.value, standard->second)) continue;
        if (const char* reason = Unwritable(entry.value)) {
            FileLine comment;
            comment.comment =
                "# " + entry.path + ": not saved, its value cannot stand in a configuration file";
            lines.push_back(comment);
            if (refusedCount++ == 0)
                refused = "'" + entry.path + "' cannot stand in a configuration file: " + reason;
            continue;
        }
        AddSetting(lines, entry.path, entry.value);
        settings.emplace_back(entry.path, entry.value);
    }
    for (const FileLine& line : lines) {
        const std::string key = line.indices.empty()
                                    ? line.prefix
                                    : line.prefix + "[" + IndexList(line.indices) + "]" + line.suffix;
        text += (line.comment.empty() ? SettingLine(key, line.value) : line.comment) + "\n";
    }

    if (!file.empty()) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            why = "cannot write '" + file + "': " + strerror(errno);
            return false;
        }
        if (JsonOutput())
            PrintJson(Json{{"save", board}, {"file", file}, {"settings", settings.size()}});
        else
            PrintLine("saved " + std::to_string(settings.size()) + " setting(s) of " + board + " to " + file);
    } else if (JsonOutput()) {
        for (const auto& setting : settings)
            PrintJson(Json{{"save", board}, {"keyword", setting.first}, {"value", setting.second}});
        PrintJson(Json{{"save", board}, {"settings", settings.size()}});
    } else {
        PrintText(text);
    }
    if (refusedCount == 0) return true;
    why = "the value of " + refused +
          (refusedCount > 1 ? " (and " + std::to_string(refusedCount - 1) + " more)" : "");
    return false;
}

bool DiffConfiguration(const Shell& shell, const std::string& board, const std::string& file,
                       std::string& why) {
    uint64_t handle;
    std::string product;
    std::vector<SchemaEntry> entries;
    std::map<std::string, std::string> fromFile;
    if (!ReadBoard(shell, board, handle, product, entries, why) ||
        !ScratchValues(shell, product, file, fromFile, why))
        return false;
    unsigned differences = 0;
    for (const SchemaEntry& entry : entries) {
        if (!FileSettable(entry) || !entry.hasValue) continue;
        auto other = fromFile.find(entry.path);
        const std::string theirs = other != fromFile.end() ? other->second : std::string();
        if (other != fromFile.end() && SameValue(entry, entry.value, theirs)) continue;
        ++differences;
        if (JsonOutput())
            PrintJson(
                Json{{"diff", board}, {"keyword", entry.path}, {"board", entry.value}, {"file", theirs}});
        else
            PrintLine(entry.path + ": board '" + entry.value + "', file '" + theirs + "'");
    }
    if (JsonOutput())
        PrintJson(Json{{"diff", board}, {"file", file}, {"differences", differences}});
    else if (differences == 0)
        PrintLine(board + " agrees with " + file + " in every setting a configuration file may hold");
    if (differences == 0) return true;
    why = board + " differs from '" + file + "' in " + std::to_string(differences) + " setting(s)";
    return false;
}

}  // namespace kvoam
