// The board configuration file: "Key = value" lines, read when the board is
// created and applied through the board's own SetKeywordValue, so that a value
// from the file takes the same path as one set by the supervisor.
//
// Syntax of a line:
//   Key = value          # comment
//   Key[0-3,7].Sub = v   index lists expand into one key per index
//   ListKey = a "b c" d  a list keyword receives its items at [0], [1], ...
//   ... \                a trailing backslash continues on the next line
#include "ConfigFile.h"

#include <cstdint>
#include <cstring>

#include "kvboard.h"

namespace {

// Character classes of 7-bit ASCII; bytes above 0x7F are neither.
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

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

enum : unsigned { LIST_TEST_SIZE = 16, LIST_KEY_ROOM = 10 };

}  // namespace

CConfigFile::CConfigFile(CKvBoard* board, const char* name, const char* extension, const char* mode)
    : CKvFile(board, name, extension, mode) {}

CConfigFile::~CConfigFile() {}

unsigned CConfigFile::Parse() {
    if (m_pStream == nullptr) return CONFIG_E_NOTHING;

    char line[CONFIG_LINE_SIZE];
    char key[CONFIG_KEY_SIZE];
    char value[CONFIG_VALUE_SIZE];
    size_t pending = 0;     // characters of a continued line already in the buffer
    bool tooLong = false;   // the logical line's text does not fit in the buffer
    int lineNumber = 0;

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
        while ((c = getc(m_pStream)) != EOF) {
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
        if (!readAny) return 0;  // end of file; a pending continuation is dropped
        ++lineNumber;
        line[length] = '\0';

        // The next physical line is read over the backslash: nothing is inserted.
        // A line already too long only looks for its end, and takes nothing more.
        if (tooLong) {
            if (last == '\\' && !hasComment) {
                pending = length;
                continue;
            }
        } else {
            TrimRight(line, length);
            length = strlen(line);
            if (length > 0 && line[length - 1] == '\\' && !hasComment) {
                pending = length - 1;
                line[pending] = '\0';
                continue;
            }
        }
        pending = 0;

        unsigned result = tooLong ? CONFIG_E_SYNTAX : ParseKeyValFromBuf(line, key, value);
        tooLong = false;
        if (result == CONFIG_E_NOTHING) continue;
        if (result != 0) {
            if (m_pBoard != nullptr) {
                m_pBoard->Warning("Error parsing file '%s' in line %d: '%s'\n", m_Name, lineNumber, line);
            }
            continue;
        }
        result = SetComplexKeyword(key, value, nullptr);
        if (result != 0) return result;
    }
}

unsigned CConfigFile::ParseKeyValFromBuf(const char* line, char* key, char* value) {
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
            return CONFIG_E_SYNTAX;
        }
        key[keyLength++] = *p++;
    }
    key[keyLength] = '\0';
    TrimRight(key, keyLength);
    if (key[0] == '\0') return CONFIG_E_SYNTAX;

    p = SkipSpace(p);
    if (*p != '=') {
        key[0] = '\0';
        return CONFIG_E_SYNTAX;
    }
    p = SkipSpace(p + 1);
    if (*p == '\0') {  // a value is required
        key[0] = '\0';
        return CONFIG_E_SYNTAX;
    }

    // The value ends at a comment or at the first character that is not
    // printable (a tab included); the rest of the line is ignored.
    size_t valueLength = 0;
    while (IsPrintable(*p) && *p != '#') {
        if (valueLength == CONFIG_VALUE_SIZE - 1) {
            key[0] = '\0';
            value[0] = '\0';
            return CONFIG_E_SYNTAX;
        }
        value[valueLength++] = *p++;
    }
    value[valueLength] = '\0';
    TrimRight(value, valueLength);
    return 0;
}

unsigned CConfigFile::SetComplexKeyword(char* key, const char* value, char* scanStart) {
    if (key == nullptr || m_pBoard == nullptr) return CONFIG_E_SYNTAX;
    if (value == nullptr) value = "";

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
        const char* suffix = original + (close - key);                   // from ']' on
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
                int digitCount = snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(last));
                if (prefixLength + static_cast<size_t>(digitCount) + suffixLength > CONFIG_KEY_SIZE - 1) {
                    wellFormed = false;
                }
            }
            if (!wellFormed || tooLarge) break;

            // Indices run in 64 bits, so an end of 4294967295 cannot wrap.
            for (uint64_t index = first; index <= last; ++index) {
                char digits[16];
                int digitCount = snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(index));
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
        return m_pBoard->SetKeywordValue(key, value);
    }

    // ---- List keywords ----------------------------------------------------------
    size_t keyLength = strlen(key);
    if (keyLength + LIST_KEY_ROOM > CONFIG_KEY_SIZE - 1) return CONFIG_E_KEY_TOO_LONG;

    char probe[CONFIG_KEY_SIZE];
    char answer[LIST_TEST_SIZE];
    snprintf(probe, sizeof probe, "%s.Count", key);
    bool isList = m_pBoard->GetKeywordValue(probe, answer, sizeof answer) == 0;
    if (!isList) {
        isList = m_pBoard->GetQualifierValue(key, "Type", answer, sizeof answer) == 0 &&
                 strcmp(answer, "List") == 0;
    }
    if (!isList) return m_pBoard->SetKeywordValue(key, value);

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
            if (end == nullptr) return m_pBoard->SetKeywordValue(key, value);
            p = end + 1;
        } else {
            begin = p;
            while (*p != '\0' && !IsSpace(*p)) ++p;
            end = p;
            if (memchr(begin, '"', static_cast<size_t>(end - begin)) != nullptr) {
                return m_pBoard->SetKeywordValue(key, value);
            }
        }
        size_t itemLength = static_cast<size_t>(end - begin);
        if (itemLength > sizeof item - 1) itemLength = sizeof item - 1;
        memcpy(item, begin, itemLength);
        item[itemLength] = '\0';

        int keyWritten = snprintf(itemKey, sizeof itemKey, "%s[%lu]", key, index);
        if (keyWritten < 0 || static_cast<size_t>(keyWritten) >= sizeof itemKey) return CONFIG_E_KEY_TOO_LONG;
        // The scan starts at the end of the item key: its index is not a list.
        unsigned result = SetComplexKeyword(itemKey, item, itemKey + keyWritten);
        if (result != 0) return result;
        ++index;
    }
}

unsigned CKvBoard::Initialize() {
    if (!m_BoardMutex.Lock(KV_MUTEX_TIMEOUT_MS)) {
        Error("CKvBoard::Initialize() - failed to lock mutex.\n");
        return KV_E_START_FAILED;
    }
    Trace(KV_TRACE_API, "CKvBoard::Initialize()\n");

    unsigned result = 0;
    {
        CConfigFile file(this, m_ConfigBaseName, m_ConfigExtension, "rb");
        if (file.Open() != 0) {
            Warning("CKvBoard::Initialize() - could not open file '%s'; using internal defaults\n",
                    m_ConfigBaseName);
        } else {
            Record(&file);
            result = file.Parse();
            if (result != 0) {
                Error("CKvBoard::Initialize() - error (%d) parsing config file %s\n", static_cast<int>(result),
                      m_ConfigBaseName);
            }
            file.Close();
        }
    }

    m_BoardMutex.Unlock();
    return result;
}
