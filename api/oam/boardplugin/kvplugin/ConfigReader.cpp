// The board configuration file format, read from a stdio stream and applied
// to a keyword tree through IKvConfigTarget.
#include "ConfigReader.h"

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Character classes of 7-bit ASCII; bytes above 0x7F are neither.
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool IsPrintable(char c) { return c >= 0x20 && c <= 0x7E; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

const char* SkipSpace(const char* p) {
    while (IsSpace(*p)) ++p;
    return p;
}

void TrimRight(char* text, size_t length) {
    while (length > 0 && IsSpace(text[length - 1])) text[--length] = '\0';
}

// Reads a decimal number of at least one digit. A number that does not fit
// in 32 bits is consumed but marked too large, so nothing ever wraps.
bool ReadIndex(const char*& p, uint64_t& value, bool& tooLarge) {
    if (!IsDigit(*p)) return false;
    value = 0;
    while (IsDigit(*p)) {
        if (!tooLarge) {
            value = value * 10 + static_cast<uint64_t>(*p - '0');
            if (value > 0xFFFFFFFFull) tooLarge = true;
        }
        ++p;
    }
    return true;
}

// Whether text is a whole decimal or 0x-hexadecimal number, as an integer keyword takes it.
bool IsNumber(const char* text) {
    char* end = nullptr;
    strtol(text, &end, 0);
    return end != text && *SkipSpace(end) == '\0';
}

// Quoting in messages shows at most this much of a line.
enum : int { QUOTE_LENGTH = 80 };

enum : unsigned { LIST_TEST_SIZE = 16, LIST_KEY_ROOM = 10, QUALIFIER_SIZE = 512 };

}  // namespace

CKvConfigReader::CKvConfigReader(IKvConfigTarget& target, IKvDiagnostics* sink)
    : m_Target(target), m_pSink(sink), m_Line(0), m_Expansions(0) {}

void CKvConfigReader::Report(KvSeverity severity, const char* format, ...) {
    if (m_pSink == nullptr) return;
    char message[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    m_pSink->Report(m_Line, severity, message);
}

unsigned CKvConfigReader::Set(const char* name, const char* value) {
    unsigned result = m_Target.SetKeywordValue(name, value);
    if (result != 0 && m_pSink != nullptr) ExplainRefusal(name, value);
    return result;
}

// Why the target refused a setting, from what its keyword tells about itself.
void CKvConfigReader::ExplainRefusal(const char* name, const char* value) {
    char type[32] = "";
    if (m_Target.GetQualifierValue(name, "Type", type, sizeof type) != 0) {
        Report(KV_SEVERITY_ERROR, "unknown keyword '%s'", name);
        return;
    }
    char first[QUALIFIER_SIZE] = "";
    char second[QUALIFIER_SIZE] = "";
    if (strcmp(type, "Integer") == 0 &&
        m_Target.GetQualifierValue(name, "Minimum", first, sizeof first) == 0 &&
        m_Target.GetQualifierValue(name, "Maximum", second, sizeof second) == 0) {
        if (!IsNumber(value)) {
            Report(KV_SEVERITY_ERROR, "%s = '%s' is not a number (%s to %s)", name, value, first, second);
        } else {
            Report(KV_SEVERITY_ERROR, "%s = '%s' is outside its limits %s to %s", name, value, first, second);
        }
        return;
    }
    if (m_Target.GetQualifierValue(name, "Choices", first, sizeof first) == 0 && first[0] != '\0') {
        Report(KV_SEVERITY_ERROR, "%s = '%s' is not one of its choices %s", name, value, first);
        return;
    }
    if (strcmp(type, "Structure") == 0) {
        Report(KV_SEVERITY_ERROR, "%s is a structure and takes no value", name);
        return;
    }
    Report(KV_SEVERITY_ERROR, "%s refused the value '%s'", name, value);
}

unsigned CKvConfigReader::Parse(FILE* stream) {
    if (stream == nullptr) return CONFIG_E_NOTHING;

    char line[CONFIG_LINE_SIZE];
    char key[CONFIG_KEY_SIZE];
    char value[CONFIG_VALUE_SIZE];
    size_t pending = 0;      // characters of a continued line already in the buffer
    bool tooLong = false;    // the logical line's text does not fit in the buffer
    bool continued = false;  // the last physical line ended in a continuing backslash
    m_Line = 0;

    for (;;) {
        // One physical line, read whole whatever its length, so that its tail
        // never becomes a line of its own. Its text goes into the buffer while
        // there is room; only text before a '#' counts towards the limit, so a
        // comment of any length stays a comment. A NUL byte ends the text.
        size_t length = pending;
        bool hasComment = false;
        bool ended = false;
        bool readAny = false;
        char last = '\0';  // the last character of the line's text that is no whitespace
        int c;
        while ((c = getc(stream)) != EOF) {
            readAny = true;
            if (c == '\n') break;
            if (ended) continue;
            if (c == '\0') {
                ended = true;
                continue;
            }
            if (c == '#') hasComment = true;
            if (!IsSpace(static_cast<char>(c))) last = static_cast<char>(c);
            if (length < CONFIG_LINE_SIZE - 1) {
                line[length++] = static_cast<char>(c);
            } else if (!hasComment && !IsSpace(static_cast<char>(c))) {
                tooLong = true;
            }
        }
        if (!readAny) {  // end of file; a pending continuation is dropped
            if (continued) {
                Report(KV_SEVERITY_WARNING,
                       "the last line ends in a backslash at the end of the file and is not applied");
            }
            return 0;
        }
        ++m_Line;
        line[length] = '\0';

        // The next physical line is read over the backslash: nothing is inserted.
        // A line already too long only looks for its end, and takes nothing more.
        if (tooLong) {
            if (last == '\\' && !hasComment) {
                pending = length;
                continued = true;
                continue;
            }
        } else {
            TrimRight(line, length);
            length = strlen(line);
            if (length > 0 && line[length - 1] == '\\' && !hasComment) {
                pending = length - 1;
                line[pending] = '\0';
                continued = true;
                continue;
            }
        }
        pending = 0;
        continued = false;

        const char* why = "line skipped, its text is longer than 1281 characters";
        unsigned result = tooLong ? CONFIG_E_SYNTAX : Split(line, key, value, &why);
        tooLong = false;
        if (result == CONFIG_E_NOTHING) continue;
        if (result != 0) {
            if (m_pSink == nullptr) {
                m_Target.LineNotParsed(m_Line, line);
            } else {
                Report(KV_SEVERITY_WARNING, "%s: '%.*s%s'", why, QUOTE_LENGTH, line,
                       strlen(line) > QUOTE_LENGTH ? "..." : "");
            }
            continue;
        }
        if (why != nullptr) Report(KV_SEVERITY_WARNING, "%s", why);
        result = SetComplexKeyword(key, value, nullptr);
        if (result != 0 && m_pSink == nullptr) return result;
    }
}

unsigned CKvConfigReader::ParseKeyValFromBuf(const char* line, char* key, char* value) {
    const char* why = nullptr;
    return Split(line, key, value, &why);
}

// Splits one logical line. why receives the reason a line is refused, or
// for an accepted line, that text after its value is ignored (else null).
unsigned CKvConfigReader::Split(const char* line, char* key, char* value, const char** why) {
    *why = nullptr;
    if (key == nullptr || value == nullptr) return CONFIG_E_SYNTAX;
    key[0] = '\0';
    value[0] = '\0';
    if (line == nullptr) return CONFIG_E_NOTHING;

    const char* p = SkipSpace(line);
    if (*p == '\0' || *p == '#') return CONFIG_E_NOTHING;

    size_t keyLength = 0;
    while (IsPrintable(*p) && *p != '=' && *p != '#') {
        if (keyLength == CONFIG_KEY_SIZE - 1) {
            key[0] = '\0';
            *why = "line skipped, its key is longer than 255 characters";
            return CONFIG_E_SYNTAX;
        }
        key[keyLength++] = *p++;
    }
    key[keyLength] = '\0';
    TrimRight(key, keyLength);
    if (key[0] == '\0') {
        *why = "line skipped, no key before '='";
        return CONFIG_E_SYNTAX;
    }

    p = SkipSpace(p);
    if (*p != '=') {
        key[0] = '\0';
        *why = "line skipped, no '=' after the key";
        return CONFIG_E_SYNTAX;
    }
    p = SkipSpace(p + 1);
    if (*p == '\0') {  // a value is required
        key[0] = '\0';
        *why = "line skipped, no value after '='";
        return CONFIG_E_SYNTAX;
    }

    // The value ends at a comment or at the first character that is not
    // printable (a tab included); the rest of the line is ignored.
    size_t valueLength = 0;
    while (IsPrintable(*p) && *p != '#') {
        if (valueLength == CONFIG_VALUE_SIZE - 1) {
            key[0] = '\0';
            value[0] = '\0';
            *why = "line skipped, its value is longer than 1023 characters";
            return CONFIG_E_SYNTAX;
        }
        value[valueLength++] = *p++;
    }
    value[valueLength] = '\0';
    TrimRight(value, valueLength);
    if (*p != '\0' && *p != '#') {
        const char* rest = SkipSpace(p + 1);
        if (*rest != '\0' && *rest != '#') {
            *why =
                "the value ends at a tab or a byte that is not printable ASCII; the rest of the line is ignored";
        }
    }
    return 0;
}

unsigned CKvConfigReader::SetComplexKeyword(char* key, const char* value, char* scanStart) {
    if (key == nullptr) return CONFIG_E_SYNTAX;
    if (value == nullptr) value = "";
    if (scanStart == nullptr) m_Expansions = 0;  // a line of its own

    // ---- Index lists: Name[1,3-5,7..9].Rest -----------------------------------
    char* scan = scanStart != nullptr ? scanStart : key;
    char* open = strchr(scan, '[');
    char* close = strchr(scan, ']');
    if (open != nullptr && close != nullptr && close > open) {
        char original[CONFIG_KEY_SIZE];
        size_t keyLength = strnlen(key, CONFIG_KEY_SIZE - 1);
        memcpy(original, key, keyLength);
        original[keyLength] = '\0';
        const size_t prefixLength = static_cast<size_t>(open - key) + 1;  // up to and with '['
        const char* suffix = original + (close - key);                    // from ']' on
        const size_t suffixLength = strlen(suffix);

        const char* p = open + 1;
        for (;;) {
            uint64_t first = 0;
            uint64_t last = 0;
            bool tooLarge = false;
            bool wellFormed = ReadIndex(p, first, tooLarge);
            if (wellFormed) {
                p = SkipSpace(p);
                last = first;
                if (*p == '-' || (p[0] == '.' && p[1] == '.')) {
                    p += *p == '-' ? 1 : 2;
                    wellFormed = ReadIndex(p, last, tooLarge);
                    p = SkipSpace(p);
                }
            }
            // Only the decimal index replaces the list; the key must still fit.
            if (wellFormed && !tooLarge && last >= first) {
                char digits[16];
                int digitCount =
                    snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(last));
                if (prefixLength + static_cast<size_t>(digitCount) + suffixLength > CONFIG_KEY_SIZE - 1) {
                    wellFormed = false;
                }
            }
            if (!wellFormed || tooLarge) break;

            // Indices run in 64 bits, so an end of 4294967295 cannot wrap.
            for (uint64_t index = first; index <= last; ++index) {
                // A board's arrays are short, and a wide range fails at its
                // first missing element; but a range whose keys expand to
                // nothing (Name[0-4294967295].Sub[1-0]) would run for hours.
                if (++m_Expansions > CONFIG_MAX_EXPANSIONS) {
                    memcpy(key, original, keyLength + 1);
                    Report(KV_SEVERITY_ERROR, "index lists expanding to more than 1024 keys: '%.60s%s'", key,
                           keyLength > 60 ? "..." : "");
                    return CONFIG_E_SYNTAX;
                }
                char digits[16];
                int digitCount =
                    snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(index));
                size_t at = prefixLength;
                memcpy(key + at, digits, static_cast<size_t>(digitCount));
                at += static_cast<size_t>(digitCount);
                memcpy(key + at, suffix, suffixLength + 1);
                unsigned result = SetComplexKeyword(key, value, key + at + 1);
                if (result != 0) {
                    memcpy(key, original, keyLength + 1);
                    return result;
                }
            }
            memcpy(key, original, keyLength + 1);

            if (*p == ',') {
                ++p;
                continue;
            }
            if (*p == ']') return 0;
            break;
        }
        // Not an index list after all: the key goes to the board as written,
        // and the board refuses what it does not know.
        memcpy(key, original, keyLength + 1);
        return Set(key, value);
    }

    // ---- List keywords ----------------------------------------------------------
    size_t keyLength = strlen(key);
    if (keyLength + LIST_KEY_ROOM > CONFIG_KEY_SIZE - 1) {
        Report(KV_SEVERITY_ERROR,
               "key longer than 245 characters, too long to be tested for a list: '%.60s...'", key);
        return CONFIG_E_KEY_TOO_LONG;
    }

    char probe[CONFIG_KEY_SIZE];
    char answer[LIST_TEST_SIZE];
    snprintf(probe, sizeof probe, "%s.Count", key);
    bool isList = m_Target.GetKeywordValue(probe, answer, sizeof answer) == 0;
    if (!isList) {
        isList = m_Target.GetQualifierValue(key, "Type", answer, sizeof answer) == 0 &&
                 strcmp(answer, "List") == 0;
    }
    if (!isList) return Set(key, value);

    // Items: bare words, or double-quoted strings that may hold blanks.
    char item[CONFIG_VALUE_SIZE];
    char itemKey[CONFIG_KEY_SIZE];
    unsigned long index = 0;
    const char* p = value;
    for (;;) {
        p = SkipSpace(p);
        if (*p == '\0') return 0;
        const char* begin;
        const char* end;
        if (*p == '"') {
            begin = p + 1;
            end = strchr(begin, '"');
            if (end == nullptr) return Set(key, value);
            p = end + 1;
        } else {
            begin = p;
            while (*p != '\0' && !IsSpace(*p)) ++p;
            end = p;
            if (memchr(begin, '"', static_cast<size_t>(end - begin)) != nullptr) {
                return Set(key, value);
            }
        }
        size_t itemLength = static_cast<size_t>(end - begin);
        if (itemLength > sizeof item - 1) itemLength = sizeof item - 1;
        memcpy(item, begin, itemLength);
        item[itemLength] = '\0';

        int keyWritten = snprintf(itemKey, sizeof itemKey, "%s[%lu]", key, index);
        if (keyWritten < 0 || static_cast<size_t>(keyWritten) >= sizeof itemKey) {
            Report(KV_SEVERITY_ERROR,
                   "key longer than 245 characters, too long to be tested for a list: '%.60s...'", key);
            return CONFIG_E_KEY_TOO_LONG;
        }
        // The scan starts at the end of the item key: its index is not a list.
        unsigned result = SetComplexKeyword(itemKey, item, itemKey + keyWritten);
        if (result != 0) return result;
        ++index;
    }
}
