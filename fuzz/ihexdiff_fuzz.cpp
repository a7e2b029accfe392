// Differential target for the firmware image reader's three ways of reading: record by record from the stream
// (KvReadHexRecord, under the load's rules written out here), the loader (blocks of its own, plain pairs of
// digits decoded straight from the block) and the checker (character by character, counting lines). Any
// difference aborts: the load's result and every download (address and bytes); the checker finds no error
// exactly when the load succeeds, and then hands over the same data records.
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

// Downloads as one log: address (4 bytes), count, the bytes; kept between inputs, so that an input costs no
// allocation per record.
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
    static char buffer[4096];
    static Downloads fastDownloads, plainDownloads, checked;
    fastDownloads.clear(), plainDownloads.clear(), checked.clear();
    FILE* fast = Open(data, size, buffer, sizeof buffer);

    // Record by record, the load as the rules have it: data records downloaded at the upper address and the
    // record's address until the end-of-file record (success) or a record refused (failure, as is an image
    // that stops early).
    uint32_t upper = 0;
    unsigned plainResult = 1;
    uint8_t count = 0, type = 0, bytes[255];
    uint16_t address = 0;
    while (KvReadHexRecord(fast, &count, &address, &type, bytes) == 0) {
        if (type == 0x00) {
            Log(&plainDownloads, (upper << 16) + address, bytes, count);
        } else if (type == 0x04 && count >= 2) {
            upper = bytes[0] * 256u + bytes[1];
        } else {
            plainResult = type == 0x01 ? 0 : 1;
            break;
        }
    }

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
