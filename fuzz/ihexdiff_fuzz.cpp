// Differential target for the firmware image reader: the fast reader, the
// loader loop and the checker against a plain reader written from the record
// rules with one getc and the <cctype> tests per character. Any difference
// aborts:
// - record by record: result, count, address, type, data and stream position;
// - whole image: the load's result and every download (address and bytes);
// - the checker finds no error exactly when the load succeeds, and then hands
//   over the same data records as the loader downloads.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "HexReader.h"

namespace {

#define REQUIRE(condition)                                                             \
    do {                                                                               \
        if (!(condition)) {                                                            \
            fprintf(stderr, "ihexdiff: %s failed at line %d\n", #condition, __LINE__); \
            abort();                                                                   \
        }                                                                              \
    } while (0)

// ---- The plain reader -----------------------------------------------------------

// White space, then 1 to maxDigits hexadecimal digits; the character after
// the field stays in the stream.
bool PlainField(FILE* file, unsigned maxDigits, unsigned* value) {
    int c = getc(file);
    while (c != EOF && isspace(c)) c = getc(file);
    unsigned result = 0, digits = 0;
    while (digits < maxDigits && c != EOF && isxdigit(c)) {
        result = result * 16 + static_cast<unsigned>(isdigit(c) ? c - '0' : tolower(c) - 'a' + 10);
        if (++digits < maxDigits) c = getc(file);
    }
    if (digits < maxDigits && c != EOF) ungetc(c, file);
    *value = result;
    return digits > 0;
}

unsigned PlainRecord(FILE* file, uint8_t* count, uint16_t* address, uint8_t* type, uint8_t* data) {
    unsigned value = 0;
    if (getc(file) != ':' || !PlainField(file, 2, &value)) return 1;
    *count = static_cast<uint8_t>(value);
    uint8_t sum = *count;
    if (!PlainField(file, 4, &value)) return 1;
    *address = static_cast<uint16_t>(value);
    sum = static_cast<uint8_t>(sum + (value >> 8) + value);
    if (!PlainField(file, 2, &value)) return 1;
    *type = static_cast<uint8_t>(value);
    sum = static_cast<uint8_t>(sum + value);
    for (unsigned i = 0; i < *count; ++i) {
        if (!PlainField(file, 2, &value)) return 1;
        data[i] = static_cast<uint8_t>(value);
        sum = static_cast<uint8_t>(sum + value);
    }
    if (!PlainField(file, 2, &value)) return 1;
    sum = static_cast<uint8_t>(sum + value);
    // One character ends the line; a carriage return may bring its line feed; the file may just end.
    if (getc(file) == '\r') {
        int next = getc(file);
        if (next != '\n' && next != EOF) ungetc(next, file);
    }
    return sum == 0 ? 0 : 1;
}

// Downloads as one log: address (4 bytes), count, the bytes; reused between
// inputs so that an input costs no allocation per record.
using Downloads = std::vector<uint8_t>;

void Log(Downloads* log, uint32_t address, const uint8_t* data, unsigned count) {
    const uint8_t head[5] = {static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                             static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24),
                             static_cast<uint8_t>(count)};
    log->insert(log->end(), head, head + 5);
    log->insert(log->end(), data, data + count);
}

// The load as the rules have it, fed record by record: data records are
// downloaded at the upper address and the record's address until the
// end-of-file record (success) or a record it refuses (failure).
class PlainLoad {
public:
    explicit PlainLoad(Downloads* downloads) : m_Downloads(downloads) {}
    void Take(uint8_t count, uint16_t address, uint8_t type, const uint8_t* data) {
        if (m_Done) return;
        if (type == 0x00) {
            Log(m_Downloads, (m_Upper << 16) + address, data, count);
        } else if (type == 0x04 && count >= 2) {
            m_Upper = data[0] * 256u + data[1];
        } else {
            m_Done = true;
            m_Result = type == 0x01 ? 0 : 1;
        }
    }
    // 1 as long as no end-of-file record was taken: an image that stops early fails.
    unsigned Result() const { return m_Result; }

private:
    Downloads* m_Downloads;
    uint32_t m_Upper = 0;
    bool m_Done = false;
    unsigned m_Result = 1;
};

// ---- Harness ------------------------------------------------------------------------

struct Counter : IKvDiagnostics {
    unsigned errors = 0;
    void Report(unsigned line, KvSeverity severity, const char* message) override {
        REQUIRE(line >= 1 && message != nullptr && message[0] != '\0' && strchr(message, '\n') == nullptr);
        if (severity == KV_SEVERITY_ERROR) ++errors;
    }
};

// Two streams over one input, for the fast and the plain reader; their
// buffers are kept between inputs so that an input costs few allocations.
class Streams {
public:
    // A stream opened for reading never writes to its buffer.
    Streams(const uint8_t* data, size_t size) {
        for (int i = 0; i < 2; ++i) {
            m_File[i] = fmemopen(const_cast<uint8_t*>(data), size, "r");
            REQUIRE(m_File[i] != nullptr);
            setvbuf(m_File[i], s_Buffers[i], _IOFBF, sizeof(s_Buffers[i]));
        }
    }
    ~Streams() {
        fclose(m_File[0]);
        fclose(m_File[1]);
    }
    FILE* Fast() { return m_File[0]; }
    FILE* Plain() { return m_File[1]; }
    // Back to the start of the fast reader's stream.
    void Rewind() { rewind(m_File[0]); }

private:
    static char s_Buffers[2][4096];
    FILE* m_File[2];
};
char Streams::s_Buffers[2][4096];

// Reads both streams record by record to the first record that cannot be
// read, comparing the readers, and feeds the plain records to load.
void CompareRecords(FILE* fast, FILE* plain, PlainLoad* load) {
    for (;;) {
        uint8_t count[2] = {}, type[2] = {}, data[2][255];
        uint16_t address[2] = {};
        const unsigned rc = KvReadHexRecord(fast, &count[0], &address[0], &type[0], data[0]);
        REQUIRE(rc == PlainRecord(plain, &count[1], &address[1], &type[1], data[1]));
        REQUIRE(ftell(fast) == ftell(plain));
        if (rc != 0) break;
        REQUIRE(count[0] == count[1] && address[0] == address[1] && type[0] == type[1]);
        REQUIRE(memcmp(data[0], data[1], count[0]) == 0);
        load->Take(count[1], address[1], type[1], data[1]);
    }
}

uint32_t Collect(void* context, uint32_t address, const uint8_t* data, uint8_t count) {
    Log(static_cast<Downloads*>(context), address, data, count);
    return 0;
}

void Seen(void* context, uint32_t address, const uint8_t* data, unsigned count) {
    Log(static_cast<Downloads*>(context), address, data, count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;  // fmemopen takes no empty buffer
    static Downloads fastDownloads, plainDownloads, checked;
    fastDownloads.clear();
    plainDownloads.clear();
    checked.clear();

    Streams streams(data, size);
    PlainLoad plainLoad(&plainDownloads);
    CompareRecords(streams.Fast(), streams.Plain(), &plainLoad);

    streams.Rewind();
    const unsigned loaded = KvLoadHexImage(streams.Fast(), Collect, &fastDownloads);
    REQUIRE(loaded == plainLoad.Result());
    REQUIRE(fastDownloads == plainDownloads);

    streams.Rewind();
    Counter counter;
    const unsigned errors = KvCheckHexImage(streams.Fast(), counter, Seen, &checked);
    REQUIRE(errors == counter.errors);
    REQUIRE((errors == 0) == (loaded == 0));
    if (errors == 0) REQUIRE(checked == fastDownloads);
    return 0;
}
