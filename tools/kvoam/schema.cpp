// The keyword tree of a board as the plug-in describes it: the "schema"
// command's walk and output, and the explanations of failed calls.
#include "schema.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "json.h"
#include "printf.h"

namespace kvoam {
namespace {

// The size given for a qualifier's text.
const uint32_t kTextSize = 4096;
// Deepest tree walked, a guard against a plug-in whose tree loops.
const unsigned kMaxDepth = 32;

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

class Reader {
public:
    Reader(const EntryPoints& entry, uint64_t handle) : m_Entry(entry), m_Handle(handle) {}

    // A qualifier's text; the entry point's result.
    uint32_t Qualifier(const std::string& path, const char* qualifier, std::string& text) const {
        char* buffer = ValueBuffer();
        buffer[0] = '\0';
        uint32_t result = m_Entry.GetQualifier(m_Handle, path.c_str(), qualifier, buffer, kTextSize);
        buffer[kTextSize - 1] = '\0';
        text = result == 0 ? buffer : "";
        return result;
    }

    bool Value(const std::string& path, std::string& text) const {
        char* buffer = ValueBuffer();
        buffer[0] = '\0';
        uint32_t result = m_Entry.GetKeyword(m_Handle, path.c_str(), buffer, kValueBufferSize);
        buffer[kValueBufferSize - 1] = '\0';
        text = buffer;
        return result == 0;
    }

    // The kind of the keyword at path: from "Kind", else from "Type". Answers
    // false when there is no such keyword.
    bool Kind(const std::string& path, std::string& kind) const {
        uint32_t result = Qualifier(path, "Kind", kind);
        if (result == 0) return true;
        if (result != KV_E_UNKNOWN_QUALIFIER) return false;
        std::string type;
        if (Qualifier(path, "Type", type) != 0) return false;
        static const char* const kKinds[][2] = {
            {"Structure", "structure"}, {"String", "string"}, {"Integer", "integer"}, {"List", "array"}};
        for (const auto& k : kKinds) {
            if (SameText(type, k[0])) {
                kind = k[1];
                return true;
            }
        }
        kind = "string";  // a kind of the plug-in's own: shown with its value
        return true;
    }

    bool Walk(const std::string& path, unsigned depth, bool listSelf,
              std::vector<SchemaEntry>& entries) const {
        SchemaEntry e;
        e.path = path;
        if (!Kind(path, e.type)) return false;
        std::string text;
        uint32_t settable = Qualifier(path, "Settable", text);
        e.settable = settable == 0 ? SameText(text, "Yes")
                                   : (e.type == "string" || e.type == "integer");  // no "Settable": assume so
        e.hasValue = Value(path, e.value);
        if (e.type == "string" || e.type == "integer")
            e.hasDefault = Qualifier(path, "Default", e.defaultValue) == 0;
        if (e.type == "string" && Qualifier(path, "Choices", text) == 0 && !text.empty()) {
            size_t start = 0;
            while (start <= text.size()) {
                size_t comma = text.find(',', start);
                if (comma == std::string::npos) comma = text.size();
                e.choices.push_back(text.substr(start, comma - start));
                start = comma + 1;
            }
        }
        if (e.type == "integer") {
            std::string min, max;
            if (Qualifier(path, "Minimum", min) == 0 && Qualifier(path, "Maximum", max) == 0) {
                e.hasLimits = true;
                e.min = strtol(min.c_str(), nullptr, 0);
                e.max = strtol(max.c_str(), nullptr, 0);
            }
        }
        if (listSelf) entries.push_back(e);
        if ((e.type != "structure" && e.type != "array") || depth >= kMaxDepth) return true;

        unsigned long count = 0;
        if (Qualifier(path, "Children", text) == 0)
            count = strtoul(text.c_str(), nullptr, 10);
        else if (e.type == "array" && Value(path.empty() ? "Count" : path + ".Count", text))
            count = strtoul(text.c_str(), nullptr, 10);
        if (listSelf) entries.back().count = count;  // before the children go in behind it
        for (unsigned long i = 0; i < count; ++i) {
            std::string step;
            if (Qualifier(path, Printf("Child[%lu]", i).c_str(), step) != 0) {
                if (e.type != "array") break;
                step = Printf("[%lu]", i);
            }
            std::string child = step[0] == '[' || path.empty() ? path + step : path + "." + step;
            Walk(child, depth + 1, true, entries);
        }
        return true;
    }

private:
    const EntryPoints& m_Entry;
    uint64_t m_Handle;
};

// The path with every array index replaced by the marker "[]".
std::string Folded(const std::string& path, std::vector<unsigned long>& indices) {
    std::string out;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '[') {
            size_t close = path.find(']', i);
            if (close == std::string::npos) break;
            indices.push_back(strtoul(path.c_str() + i + 1, nullptr, 10));
            out += "[]";
            i = close;
        } else {
            out += path[i];
        }
    }
    return out;
}

std::string Shown(const SchemaEntry& e, const std::string& text) {
    if (e.type == "integer") return text;
    return "\"" + text + "\"";
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) out += (i ? separator : "") + items[i];
    return out;
}

// Levenshtein distance, letters compared without regard to case.
size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// Decimal or 0x-hexadecimal text with an optional sign, as the keywords take it.
bool ParseLong(const std::string& text, long* value) {
    const char* p = text.c_str();
    const char* digits = p + ((*p == '+' || *p == '-') ? 1 : 0);
    bool hex = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    const char* first = hex ? digits + 2 : digits;
    if (*first == '\0') return false;
    for (const char* c = first; *c != '\0'; ++c)
        if (!(hex ? std::isxdigit(static_cast<unsigned char>(*c))
                  : std::isdigit(static_cast<unsigned char>(*c))))
            return false;
    errno = 0;
    *value = strtol(p, nullptr, 0);
    if (errno == ERANGE) *value = *p == '-' ? LONG_MIN : LONG_MAX;
    return true;
}

}  // namespace

char* ValueBuffer() {
    static std::vector<char> buffer(kValueBufferSize);
    return buffer.data();
}

bool ReadSchema(const EntryPoints& entry, uint64_t handle, const std::string& path,
                std::vector<SchemaEntry>& entries) {
    return Reader(entry, handle).Walk(path, 0, !path.empty(), entries);
}

std::string SchemaText(const std::vector<SchemaEntry>& entries) {
    // Runs of entries whose paths differ only in their indices are one line;
    // a field that differs between the elements shows as "(varies)".
    std::string out;
    std::vector<std::string> folded;
    std::vector<std::vector<unsigned long>> indices(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) folded.push_back(Folded(entries[i].path, indices[i]));
    std::vector<bool> done(entries.size(), false);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (done[i]) continue;
        const SchemaEntry& e = entries[i];
        std::vector<size_t> group;
        for (size_t j = i; j < entries.size(); ++j)
            if (!done[j] && folded[j] == folded[i]) {
                group.push_back(j);
                done[j] = true;
            }
        // The path with each index shown as its range over the group.
        std::string path;
        size_t k = 0;
        for (size_t c = 0; c < folded[i].size(); ++c) {
            if (folded[i].compare(c, 2, "[]") == 0) {
                unsigned long low = ULONG_MAX, high = 0;
                for (size_t j : group) {
                    low = std::min(low, indices[j][k]);
                    high = std::max(high, indices[j][k]);
                }
                path += low == high ? Printf("[%lu]", low) : Printf("[%lu..%lu]", low, high);
                ++k;
                ++c;
            } else {
                path += folded[i][c];
            }
        }
        // A field the elements share shows once; a few differing ones in
        // index order, separated by '|'; many as "(varies)".
        auto across = [&](auto field) {
            bool same = true;
            for (size_t j : group) same = same && field(entries[j]) == field(e);
            if (same) return Shown(e, field(e));
            if (group.size() > 4) return std::string("(varies)");
            std::string list;
            for (size_t j : group) list += (list.empty() ? "" : "|") + Shown(e, field(entries[j]));
            return list;
        };
        std::string line = Printf("%-40s %-9s", path.c_str(), e.type.c_str());
        if (e.type == "string" || e.type == "integer") line += e.settable ? " settable " : " read-only";
        if (e.hasDefault) line += "  default " + across([](const SchemaEntry& x) { return x.defaultValue; });
        if (!e.choices.empty()) line += "  choices " + Join(e.choices, ",");
        if (e.hasLimits) line += Printf("  limits %ld..%ld", e.min, e.max);
        if (e.type == "array") line += Printf("  count %lu", e.count);
        if (e.hasValue && e.type != "array")
            line += "  value " + across([](const SchemaEntry& x) { return x.value; });
        out += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
    }
    return out;
}

std::string SchemaJson(const std::vector<SchemaEntry>& entries) {
    std::string out;
    for (const SchemaEntry& e : entries) {
        // An integer's default and value as numbers when they read as one.
        auto scalar = [&](bool has, const std::string& text) {
            long number = 0;
            if (!has) return Json();
            if (e.type == "integer" && ParseLong(text, &number)) return Json(number);
            return Json(text);
        };
        const bool counted = e.type == "array" || e.type == "structure";
        out += JsonText(Json{{"keyword", e.path},
                             {"type", e.type},
                             {"default", scalar(e.hasDefault, e.defaultValue)},
                             {"value", scalar(e.hasValue, e.value)},
                             {"choices", e.choices.empty() ? Json() : Json(e.choices)},
                             {"min", e.hasLimits ? Json(e.min) : Json()},
                             {"max", e.hasLimits ? Json(e.max) : Json()},
                             {"count", counted ? Json(e.count) : Json()},
                             {"settable", e.settable}}) +
               "\n";
    }
    return out;
}

std::vector<std::string> NearestPaths(const std::vector<SchemaEntry>& entries, const std::string& path,
                                      size_t count) {
    // Close enough to be a slip: at most a third of the longer text, and
    // never more than the length of what was typed.
    std::vector<std::pair<size_t, std::string>> scored;
    for (const SchemaEntry& e : entries) {
        size_t d = Distance(path, e.path);
        size_t limit = std::max<size_t>(2, std::max(path.size(), e.path.size()) / 3);
        // A last step typed right under another parent also counts.
        size_t dot = e.path.rfind('.');
        if (dot != std::string::npos && SameText(e.path.substr(dot + 1), path.substr(path.rfind('.') + 1)))
            d = std::min(d, limit);
        if (d <= limit && d < path.size() + 1) scored.emplace_back(d, e.path);
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> nearest;
    for (size_t i = 0; i < scored.size() && nearest.size() < count; ++i) nearest.push_back(scored[i].second);
    return nearest;
}

std::string ExplainFailure(const EntryPoints& entry, uint64_t handle, const std::string& board,
                           const std::string& path, const std::string* value, const std::string* qualifier,
                           uint32_t result) {
    if (result == KV_E_NOT_INITIALISED) return "the plug-in is not initialised (init first)";
    Reader reader(entry, handle);
    std::string kind;
    if (!reader.Kind("", kind)) return Printf("there is no board named '%s'", board.c_str());
    if (!reader.Kind(path, kind)) {
        std::vector<SchemaEntry> entries;
        reader.Walk("", 0, false, entries);
        std::vector<std::string> nearest = NearestPaths(entries, path, 3);
        if (nearest.empty()) return Printf("unknown keyword '%s'", path.c_str());
        return Printf("unknown keyword '%s'; nearest: %s", path.c_str(), Join(nearest, ", ").c_str());
    }
    std::vector<SchemaEntry> self;
    reader.Walk(path, kMaxDepth, true, self);
    const SchemaEntry& e = self.front();
    if (qualifier != nullptr) {
        if (result == KV_E_UNKNOWN_QUALIFIER)
            return Printf("'%s' has no qualifier '%s'", path.c_str(), qualifier->c_str());
        return "refused by the board";
    }
    if (value == nullptr) {
        if (e.type == "structure" || (e.type == "array" && !e.hasValue))
            return Printf("'%s' is a %s and has no value of its own (schema %s %s lists it)", path.c_str(),
                          e.type.c_str(), board.c_str(), path.c_str());
        return "refused by the board";
    }
    if (!e.settable) return Printf("'%s' is read-only", path.c_str());
    if (e.type == "string" && !e.choices.empty()) {
        bool found = false;
        for (const std::string& c : e.choices) found = found || SameText(c, *value);
        if (!found)
            return Printf("'%s' is not among the choices of '%s': %s", value->c_str(), path.c_str(),
                          Join(e.choices, ", ").c_str());
    }
    if (e.type == "integer") {
        long number = 0;
        if (!ParseLong(*value, &number))
            return Printf("'%s' is not a number (decimal, or hexadecimal with 0x)", value->c_str());
        if (e.hasLimits && (number < e.min || number > e.max))
            return Printf("%s is outside the limits of '%s': %ld to %ld", value->c_str(), path.c_str(), e.min,
                          e.max);
    }
    return "refused by the board";
}

}  // namespace kvoam
