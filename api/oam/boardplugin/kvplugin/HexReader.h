// Intel HEX records of a DSP firmware image, read from a stdio stream without a
// board, so that the loader and a checking tool share one reader.
#pragma once

#include <cstdint>
#include <cstdio>

#include "KvDiagnostics.h"

enum : uint8_t {
    HEX_DATA = 0x00,
    HEX_END_OF_FILE = 0x01,
    HEX_EXTENDED_LINEAR_ADDRESS = 0x04,
};

// Reads the next record: 0 when a whole record with a correct checksum was
// read, 1 for anything else (bad syntax, wrong checksum, end of the file).
// data must hold 255 bytes.
unsigned KvReadHexRecord(FILE* file, uint8_t* count, uint16_t* address, uint8_t* type,
                         uint8_t* data);

// Receives each data record of an image with its full 32-bit address.
using KvHexDataCallback = void (*)(void* context, uint32_t address, const uint8_t* data,
                                   unsigned count);

// Checks a whole image without loading it: record syntax and checksums,
// extended addresses, record types the loader refuses, the end-of-file record
// and records after it. Every problem goes to sink with its line; reading goes
// on past a bad line. Returns the number of errors reported.
unsigned KvCheckHexImage(FILE* file, IKvDiagnostics& sink, KvHexDataCallback onData = nullptr,
                         void* context = nullptr);
