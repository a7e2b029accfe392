// The QSLAC coefficient file format (QslacReader.h).
#include "QslacReader.h"

#include <cstdlib>
#include <cstring>

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Cuts a line at its first line feed, carriage return and comment sign.
void CutLine(char* line) {
    static const char kEnds[] = {'\n', '\r', '#', ';'};
    for (char end : kEnds) {
        char* p = strchr(line, end);
        if (p != nullptr) *p = '\0';
    }
}

}  // namespace

unsigned KvReadCoefficients(FILE* stream, uint8_t* buffer, uint32_t capacity, uint32_t* count,
                            IKvDiagnostics* sink) {
    if (stream == nullptr || buffer == nullptr || count == nullptr) return 0xFFFFFFFFu;

    bool invalid = false;
    bool full = false;  // more values than capacity (reported once)
    uint32_t stored = 0;
    unsigned lineNumber = 0;
    bool lineStart = true;  // the next piece begins a physical line
    char line[256];
    char message[384];
    // fgets hands out at most 255 characters at a time; a longer line comes
    // in pieces, each handled as a line of its own.
    while (fgets(line, sizeof(line), stream) != nullptr) {
        if (lineStart) ++lineNumber;
        const size_t length = strlen(line);
        const bool whole = length > 0 && line[length - 1] == '\n';
        if (!whole && lineStart && sink != nullptr) {
            int next = getc(stream);  // a piece cut right before its line end is no piece
            if (next != EOF) ungetc(next, stream);
            if (next != EOF && next != '\n') {
                sink->Report(
                    lineNumber, KV_SEVERITY_WARNING,
                    "line longer than 255 characters: each further 255 are read as a line of their own, "
                    "comment or not");
            }
        }
        lineStart = whole;
        CutLine(line);
        char* p = line;
        for (;;) {
            while (IsSeparator(*p)) ++p;
            if (*p == '\0') break;
            char* token = p;
            while (*p != '\0' && !IsSeparator(*p)) ++p;
            const bool last = *p == '\0';
            *p = '\0';
            // The token is terminated inside the line buffer: optional blanks
            // and sign, optional 0x, hexadecimal digits up to the first other
            // character. No digits at all makes the file invalid.
            char* end = token;
            unsigned long value = strtoul(token, &end, 16);
            if (end == token) {
                if (sink == nullptr) return 0xFFFFFFFFu;
                snprintf(message, sizeof message, "'%s' is not a hexadecimal number", token);
                sink->Report(lineNumber, KV_SEVERITY_ERROR, message);
                invalid = true;
            } else if (stored >= capacity) {
                if (sink == nullptr) return 0xFFFFFFFFu;
                if (!full) {
                    snprintf(message, sizeof message, "'%s' is value %lu: a file holds at most %lu", token,
                             static_cast<unsigned long>(capacity) + 1, static_cast<unsigned long>(capacity));
                    sink->Report(lineNumber, KV_SEVERITY_ERROR, message);
                }
                invalid = full = true;
            } else {
                buffer[stored++] = uint8_t(value & 0xFF);
                if (sink != nullptr && *end != '\0') {
                    snprintf(message, sizeof message,
                             "'%s' is read as 0x%02lX: the characters after its digits are ignored", token,
                             value & 0xFF);
                    sink->Report(lineNumber, KV_SEVERITY_WARNING, message);
                } else if (sink != nullptr && value > 0xFF) {
                    snprintf(message, sizeof message, "'%s' is above 0xFF: only its low byte 0x%02lX is used",
                             token, value & 0xFF);
                    sink->Report(lineNumber, KV_SEVERITY_WARNING, message);
                }
            }
            if (last) break;
            ++p;
        }
    }
    // A read error is no end of file: the block would be incomplete.
    if (ferror(stream)) {
        if (sink != nullptr) sink->Report(0, KV_SEVERITY_ERROR, "read error");
        return 0xFFFFFFFFu;
    }
    if (invalid) return 0xFFFFFFFFu;
    if (stored == 0 && sink != nullptr) sink->Report(0, KV_SEVERITY_WARNING, "no coefficient values");
    *count = stored;
    return 0;
}
