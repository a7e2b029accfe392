// The Intel HEX reader of DSP firmware images, its loader loop and its checker.
//
// Images run to megabytes and are read at every board start, so the reader
// decodes characters through one table. A single record is read with
// getc_unlocked while the stream's lock is held for the whole record; the
// loader reads the image in blocks of its own and decodes plain pairs of
// digits straight from the block. Loader and checker run the same record
// parser, so an image the checker passes is one the loader takes.
#include "HexReader.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

namespace {

// Character classes, indexed by the character + 1 so that EOF (-1) has a place:
// 0 to 15 the value of a hexadecimal digit, kSpace white space (as isspace in
// the C locale), kOther anything else.
constexpr uint8_t kSpace = 0x10;
constexpr uint8_t kOther = 0x20;

struct ClassTable {
    uint8_t at[257];
    constexpr ClassTable() : at() {
        for (int c = -1; c < 256; ++c) {
            uint8_t k = kOther;
            if (c >= '0' && c <= '9') k = static_cast<uint8_t>(c - '0');
            if (c >= 'a' && c <= 'f') k = static_cast<uint8_t>(c - 'a' + 10);
            if (c >= 'A' && c <= 'F') k = static_cast<uint8_t>(c - 'A' + 10);
            if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') k = kSpace;
            at[c + 1] = k;
        }
    }
};
constexpr ClassTable kClasses;

inline uint8_t Class(int c) { return kClasses.at[c + 1]; }

// The stream as the loader reads it.
class StreamSource {
public:
    explicit StreamSource(FILE* file) : m_File(file) {}
    int Get() { return getc_unlocked(m_File); }
    void Unget(int c) {
        if (c != EOF) ungetc(c, m_File);
    }
    unsigned TakeHexPairs(uint8_t*, unsigned, unsigned*) { return 0; }

private:
    FILE* m_File;
};

// The stream as the loader reads a whole image: in blocks into a buffer of its
// own, so that a character costs a pointer step instead of a stdio call. The
// parser only ever puts back the character it read last. A load reads ahead
// of the records it takes: the stream's position afterwards is past them.
class BlockSource {
public:
    BlockSource(FILE* file, char* buffer, size_t size) : m_File(file), m_Buffer(buffer), m_Size(size) {}
    int Get() { return m_Next < m_End ? static_cast<unsigned char>(*m_Next++) : Refill(); }
    void Unget(int c) {
        if (c != EOF) --m_Next;
    }
    // Data bytes written as plain pairs of hexadecimal digits, decoded straight
    // from the block: at most n of them, up to the first pair that is not two
    // digits (or the end of the block), which the parser then reads as usual.
    // Adds them to *sum; answers how many it took.
    unsigned TakeHexPairs(uint8_t* data, unsigned n, unsigned* sum) {
        char* p = m_Next;
        const size_t pairs = static_cast<size_t>(m_End - p) / 2;
        if (n > pairs) n = static_cast<unsigned>(pairs);
        unsigned taken = 0, added = 0;
        for (; taken < n; ++taken, p += 2) {
            const uint8_t high = Class(static_cast<unsigned char>(p[0]));
            const uint8_t low = Class(static_cast<unsigned char>(p[1]));
            if ((high | low) >= 16) break;
            const unsigned value = high * 16u + low;
            data[taken] = static_cast<uint8_t>(value);
            added += value;
        }
        m_Next = p;
        *sum += added;
        return taken;
    }

private:
    int Refill() {
        const size_t got = fread(m_Buffer, 1, m_Size, m_File);
        if (got == 0) return EOF;
        m_Next = m_Buffer;
        m_End = m_Buffer + got;
        return static_cast<unsigned char>(*m_Next++);
    }

    FILE* m_File;
    char* m_Buffer;
    size_t m_Size;
    char* m_Next = nullptr;
    char* m_End = nullptr;
};

// The stream as the checker reads it: counts lines and remembers the last
// character taken, so that it can find the start of the next line.
class LineSource {
public:
    explicit LineSource(FILE* file) : m_File(file) {}
    int Get() {
        const int c = getc_unlocked(m_File);
        if (c != EOF) {
            m_Before = m_Last;
            m_Last = c;
            if (c == '\n') ++m_Line;
        }
        return c;
    }
    void Unget(int c) {
        if (c == EOF) return;
        ungetc(c, m_File);
        if (c == '\n') --m_Line;
        m_Last = m_Before;
    }
    // Whether the next character starts a line.
    bool AtLineStart() const { return m_Last == '\n' || m_Last == kNothing; }
    unsigned TakeHexPairs(uint8_t*, unsigned, unsigned*) { return 0; }
    unsigned Line() const { return m_Line; }

private:
    static const int kNothing = -2;
    FILE* m_File;
    unsigned m_Line = 1;
    int m_Last = kNothing;
    int m_Before = kNothing;
};

// What stopped a record, for the checker's messages.
enum class Problem { None, Mark, Count, Address, Type, Data, Checksum, Sum };

struct Outcome {
    Problem problem = Problem::None;
    int found = EOF;       // the character that stopped a field
    unsigned index = 0;    // the data byte that is missing
    uint8_t checksum = 0;  // the record's checksum and the one its bytes need
    uint8_t expected = 0;
};

// Skips white space, then reads 1 to maxDigits hexadecimal digits. False when
// no digit is there; the character that ends the field stays in the stream.
template <class Source>
inline bool Field(Source& in, unsigned maxDigits, unsigned* value, int* found) {
    int c;
    uint8_t k;
    do {
        c = in.Get();
        k = Class(c);
    } while (k == kSpace);
    if (k >= 16) {
        in.Unget(c);
        *found = c;
        return false;
    }
    unsigned result = k;
    for (unsigned digits = 1; digits < maxDigits; ++digits) {
        c = in.Get();
        k = Class(c);
        if (k >= 16) {
            in.Unget(c);
            break;
        }
        result = result * 16 + k;
    }
    *value = result;
    return true;
}

template <class Source>
Problem ParseRecord(Source& in, uint8_t* count, uint16_t* address, uint8_t* type, uint8_t* data,
                    Outcome* outcome) {
    int& found = outcome->found;
    found = in.Get();
    unsigned value = 0;
    if (found != ':') return Problem::Mark;
    if (!Field(in, 2, &value, &found)) return Problem::Count;
    *count = static_cast<uint8_t>(value);
    unsigned sum = value;

    if (!Field(in, 4, &value, &found)) return Problem::Address;
    *address = static_cast<uint16_t>(value);
    sum += (value & 0xFF) + (value >> 8);

    if (!Field(in, 2, &value, &found)) return Problem::Type;
    *type = static_cast<uint8_t>(value);
    sum += value;

    // count is at most 255, the size of data. Plain pairs of digits are
    // decoded at once where the source can; the rest field by field.
    const unsigned bytes = *count;
    for (unsigned i = in.TakeHexPairs(data, bytes, &sum); i < bytes; ++i) {
        if (!Field(in, 2, &value, &found)) {
            outcome->index = i;
            return Problem::Data;
        }
        data[i] = static_cast<uint8_t>(value);
        sum += value;
    }

    if (!Field(in, 2, &value, &found)) return Problem::Checksum;
    // The line end: one character, a carriage return with its line feed, or
    // the end of the file after the last record.
    const int end = in.Get();
    if (end == '\r') {
        const int next = in.Get();
        if (next != '\n') in.Unget(next);
    }
    if (((sum + value) & 0xFF) != 0) {
        outcome->checksum = static_cast<uint8_t>(value);
        outcome->expected = static_cast<uint8_t>(0x100 - (sum & 0xFF));
        return Problem::Sum;
    }
    return Problem::None;
}

}  // namespace

unsigned KvReadHexRecord(FILE* file, uint8_t* count, uint16_t* address, uint8_t* type, uint8_t* data) {
    if (file == nullptr || count == nullptr || address == nullptr || type == nullptr || data == nullptr)
        return 1;
    flockfile(file);
    StreamSource in(file);
    Outcome outcome;
    const Problem problem = ParseRecord(in, count, address, type, data, &outcome);
    funlockfile(file);
    return problem == Problem::None ? 0 : 1;
}

namespace {

template <class Source>
unsigned LoadRecords(Source& in, KvHexDownload download, void* context) {
    uint32_t upper = 0;
    uint8_t data[255];
    for (;;) {
        uint8_t count = 0;
        uint16_t address = 0;
        uint8_t type = 0;
        Outcome outcome;
        if (ParseRecord(in, &count, &address, &type, data, &outcome) != Problem::None) return 1;
        switch (type) {
        case HEX_DATA:
            if (download(context, (upper << 16) | address, data, count) != 0) return 1;
            break;
        case HEX_END_OF_FILE: return 0;
        case HEX_EXTENDED_LINEAR_ADDRESS:
            if (count < 2) return 1;  // an address record without its address
            upper = (static_cast<uint32_t>(data[0]) << 8) | data[1];
            break;
        default: return 1;
        }
    }
}

}  // namespace

unsigned KvLoadHexImage(FILE* file, KvHexDownload download, void* context) {
    if (file == nullptr) return 1;
    const size_t kBlockSize = 64 * 1024;
    std::unique_ptr<char[]> block(new (std::nothrow) char[kBlockSize]);
    if (!block) {
        // Record by record through the stream, as KvReadHexRecord reads.
        flockfile(file);
        StreamSource in(file);
        const unsigned loaded = LoadRecords(in, download, context);
        funlockfile(file);
        return loaded;
    }
    BlockSource in(file, block.get(), kBlockSize);
    return LoadRecords(in, download, context);
}

// ---- Checking ------------------------------------------------------------------------

namespace {

// The character that stopped a field, as a message shows it.
const char* Describe(int c, char* text, size_t size) {
    if (c == EOF) return "the end of the file";
    if (c == '\n') return "the end of the line";
    if (c == '\r') return "a carriage return";
    if (c >= ' ' && c < 0x7F)
        snprintf(text, size, "'%c'", c);
    else
        snprintf(text, size, "the byte 0x%02X", static_cast<unsigned>(c) & 0xFF);
    return text;
}

// Record types the loader refuses, with what they are.
struct RefusedType {
    uint8_t type;
    const char* message;
};
const RefusedType kRefusedTypes[] = {
    {0x02,
     "record type 02 (extended segment address) is refused by the loader, which accepts 00 (data), "
     "01 (end of file) and 04 (extended linear address); 'mkdspimage --from-binary' makes images "
     "with type 04 records"},
    {0x03,
     "record type 03 (start segment address) is refused by the loader, which accepts 00 (data), "
     "01 (end of file) and 04 (extended linear address)"},
    {0x05,
     "record type 05 (start linear address) is refused by the loader, which accepts 00 (data), "
     "01 (end of file) and 04 (extended linear address)"},
};

class Checker {
public:
    Checker(FILE* file, IKvDiagnostics& sink, KvHexDataCallback onData, void* context)
        : m_In(file), m_Sink(sink), m_OnData(onData), m_Context(context) {}

    unsigned Run() {
        for (;;) {
            const unsigned line = m_In.Line();
            uint8_t count = 0;
            uint16_t address = 0;
            uint8_t type = 0;
            Outcome outcome;
            const Problem problem = ParseRecord(m_In, &count, &address, &type, m_Data, &outcome);
            if (problem == Problem::Mark && outcome.found == EOF) break;
            if (problem == Problem::Sum) {
                Error(line, "checksum %02X is wrong; the record's bytes need %02X", outcome.checksum,
                      outcome.expected);
                continue;
            }
            if (problem != Problem::None) {
                ReportSyntax(line, problem, outcome, count);
                SkipToNextLine();
                continue;
            }
            if (type == HEX_END_OF_FILE) {
                CheckAfterEnd();
                return m_Errors;
            }
            Apply(line, type, address, count);
        }
        Error(m_In.Line() - (m_In.AtLineStart() && m_In.Line() > 1 ? 1 : 0),
              "no end-of-file record (:00000001FF); the loader refuses an image without it");
        return m_Errors;
    }

private:
    void Apply(unsigned line, uint8_t type, uint16_t address, uint8_t count) {
        if (type == HEX_DATA) {
            if (m_OnData != nullptr) m_OnData(m_Context, (m_Upper << 16) | address, m_Data, count);
            return;
        }
        if (type == HEX_EXTENDED_LINEAR_ADDRESS) {
            if (count < 2) {
                Error(line, "extended linear address record with %u data bytes; it needs 2",
                      static_cast<unsigned>(count));
                return;
            }
            m_Upper = (static_cast<uint32_t>(m_Data[0]) << 8) | m_Data[1];
            return;
        }
        for (const RefusedType& refused : kRefusedTypes) {
            if (refused.type == type) {
                Error(line, "%s", refused.message);
                return;
            }
        }
        Error(line,
              "record type %02X is refused by the loader, which accepts 00 (data), 01 (end of file) "
              "and 04 (extended linear address)",
              static_cast<unsigned>(type));
    }

    void ReportSyntax(unsigned line, Problem problem, const Outcome& outcome, uint8_t count) {
        char text[16];
        const char* found = Describe(outcome.found, text, sizeof(text));
        switch (problem) {
        case Problem::Mark: Error(line, "expected ':' at the start of a record, found %s", found); break;
        case Problem::Count: Error(line, "no byte count after ':', found %s", found); break;
        case Problem::Address: Error(line, "no load address, found %s", found); break;
        case Problem::Type: Error(line, "no record type, found %s", found); break;
        case Problem::Data:
            Error(line, "data byte %u of %u missing, found %s", outcome.index + 1,
                  static_cast<unsigned>(count), found);
            break;
        default: Error(line, "no checksum, found %s", found); break;
        }
    }

    // After a bad record: on to the next ":" that starts a line.
    void SkipToNextLine() {
        for (;;) {
            if (m_In.AtLineStart()) {
                const int c = m_In.Get();
                m_In.Unget(c);
                if (c == ':' || c == EOF) return;
            }
            if (m_In.Get() == EOF) return;
        }
    }

    // The loader stops at the end-of-file record; anything but white space
    // after it is never loaded.
    void CheckAfterEnd() {
        int c;
        do {
            c = m_In.Get();
        } while (c != EOF && Class(c) == kSpace);
        if (c != EOF)
            m_Sink.Report(m_In.Line(), KV_SEVERITY_WARNING,
                          "text after the end-of-file record; the loader ignores it");
    }

    void Error(unsigned line, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        char message[256];
        va_list arguments;
        va_start(arguments, format);
        vsnprintf(message, sizeof(message), format, arguments);
        va_end(arguments);
        m_Sink.Report(line, KV_SEVERITY_ERROR, message);
        ++m_Errors;
    }

    LineSource m_In;
    IKvDiagnostics& m_Sink;
    KvHexDataCallback m_OnData;
    void* m_Context;
    uint32_t m_Upper = 0;
    unsigned m_Errors = 0;
    uint8_t m_Data[255];
};

}  // namespace

unsigned KvCheckHexImage(FILE* file, IKvDiagnostics& sink, KvHexDataCallback onData, void* context) {
    if (file == nullptr) {
        sink.Report(0, KV_SEVERITY_ERROR, "no file to check");
        return 1;
    }
    flockfile(file);
    Checker checker(file, sink, onData, context);
    const unsigned errors = checker.Run();
    funlockfile(file);
    return errors;
}
