// Differential target for the firmware image reader: the fast reader (record by record, as the old loader
// read), the loader loop and the checker against a plain reader written from the record rules with one getc
// and the <cctype> tests per character. Any difference aborts:
// - record by record: result, count, address, type, data and stream position;
// - whole image: the load's result and every download (address and bytes);
// - the checker finds no error exactly when the load succeeds, and then hands over the same data records
//   as the loader downloads.
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

// White space, then 1 to maxDigits hexadecimal digits; the character after the field stays in the stream.
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
    uint8_t sum = *count = static_cast<uint8_t>(value);
    if (!PlainField(file, 4, &value)) return 1;
    *address = static_cast<uint16_t>(value);
    sum = static_cast<uint8_t>(sum + (value >> 8) + value);
    if (!PlainField(file, 2, &value)) return 1;
    sum = static_cast<uint8_t>(sum + (*type = static_cast<uint8_t>(value)));
    for (unsigned i = 0; i < *count; ++i) {
        if (!PlainField(file, 2, &value)) return 1;
        sum = static_cast<uint8_t>(sum + (data[i] = static_cast<uint8_t>(value)));
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

// Downloads as one log: address (4 bytes), count, the bytes; kept between inputs, so that an input costs
// no allocation per record.
using Downloads = std::vector<uint8_t>;

void Log(void* log, uint32_t address, const uint8_t* data, unsigned count) {
    Downloads* downloads = static_cast<Downloads*>(log);
    const uint8_t head[5] = {static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                             static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24),
                             static_cast<uint8_t>(count)};
    downloads->insert(downloads->end(), head, head + 5);
    downloads->insert(downloads->end(), data, data + count);
}

uint32_t Collect(void* log, uint32_t address, const uint8_t* data, uint8_t count) {
    Log(log, address, data, count);
    return 0;
}

struct Counter : IKvDiagnostics {
    unsigned errors = 0;
    void Report(unsigned line, KvSeverity severity, const char* message) override {
        REQUIRE(line >= 1 && message != nullptr && message[0] != '\0' && strchr(message, '\n') == nullptr);
        errors += severity == KV_SEVERITY_ERROR;
    }
};

// A stream over the input, with a buffer kept between inputs.
FILE* Open(const uint8_t* data, size_t size, char* buffer, size_t bufferSize) {
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");  // opened for reading: never written
    REQUIRE(file != nullptr);
    setvbuf(file, buffer, _IOFBF, bufferSize);
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;  // fmemopen takes no empty buffer
    static char buffers[2][4096];
    static Downloads fastDownloads, plainDownloads, checked;
    fastDownloads.clear(), plainDownloads.clear(), checked.clear();
    FILE* fast = Open(data, size, buffers[0], sizeof buffers[0]);
    FILE* plain = Open(data, size, buffers[1], sizeof buffers[1]);

    // Record by record to the first record that cannot be read; the plain records make the load as the
    // rules have it: data records downloaded at the upper address and the record's address until the
    // end-of-file record (success) or a record refused (failure, as is an image that stops early).
    uint32_t upper = 0;
    unsigned plainResult = 1;
    for (bool loading = true;;) {
        uint8_t count[2] = {}, type[2] = {}, bytes[2][255];
        uint16_t address[2] = {};
        const unsigned rc = KvReadHexRecord(fast, &count[0], &address[0], &type[0], bytes[0]);
        REQUIRE(rc == PlainRecord(plain, &count[1], &address[1], &type[1], bytes[1]));
        REQUIRE(ftell(fast) == ftell(plain));
        if (rc != 0) break;
        REQUIRE(count[0] == count[1] && address[0] == address[1] && type[0] == type[1]);
        REQUIRE(memcmp(bytes[0], bytes[1], count[0]) == 0);
        if (!loading) continue;
        if (type[1] == 0x00) {
            Log(&plainDownloads, (upper << 16) + address[1], bytes[1], count[1]);
        } else if (type[1] == 0x04 && count[1] >= 2) {
            upper = bytes[1][0] * 256u + bytes[1][1];
        } else {
            loading = false;
            plainResult = type[1] == 0x01 ? 0 : 1;
        }
    }
    fclose(plain);

    rewind(fast);
    const unsigned loaded = KvLoadHexImage(fast, Collect, &fastDownloads);
    REQUIRE(loaded == plainResult);
    REQUIRE(fastDownloads == plainDownloads);

    rewind(fast);
    Counter counter;
    const unsigned errors = KvCheckHexImage(fast, counter, Log, &checked);
    REQUIRE(errors == counter.errors);
    REQUIRE((errors == 0) == (loaded == 0));
    if (errors == 0) REQUIRE(checked == fastDownloads);
    fclose(fast);
    return 0;
}
