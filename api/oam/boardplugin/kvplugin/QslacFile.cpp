// A QSLAC coefficient file: the ports that use it and the parser of its
// text format (hexadecimal byte values, '#' and ';' comments).
#include "QslacFile.h"

#include <cstdlib>
#include <cstring>

#include "tsi/tsi.h"

cQslacFile::cQslacFile(CKvBoard* board, const char* name) : CKvFile(board, name, "slc", "rb") {}

cQslacFile::~cQslacFile() {
    m_PortList.RemoveAll(true);
    Close();
}

int cQslacFile::Compare(cListElement* other) {
    if (other == nullptr) return 1;
    return tsiStricmp(m_Name, static_cast<cQslacFile*>(other)->m_Name);
}

unsigned cQslacFile::AddPort(cPort* port) {
    if (port == nullptr) return 0xFFFFFFFFu;
    m_PortList.AddToTail(port);
    return 0;
}

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

unsigned cQslacFile::Parse(uint8_t* buffer, uint32_t capacity, uint32_t* count) {
    if (m_pStream == nullptr || buffer == nullptr || count == nullptr) return 0xFFFFFFFFu;

    uint32_t stored = 0;
    char line[256];
    // fgets hands out at most 255 characters at a time; a longer line comes
    // in pieces, each handled as a line of its own.
    while (fgets(line, sizeof(line), m_pStream) != nullptr) {
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
            if (end == token) return 0xFFFFFFFFu;
            if (stored >= capacity) return 0xFFFFFFFFu;
            buffer[stored++] = uint8_t(value & 0xFF);
            if (last) break;
            ++p;
        }
    }
    // A read error is no end of file: the block would be incomplete.
    if (ferror(m_pStream)) return 0xFFFFFFFFu;
    *count = stored;
    return 0;
}
