// Intel HEX records of a DSP firmware image, read from a stdio stream without a
// board, so that the loader and a checking tool share one reader.
//
// A record is ":", then hexadecimal fields (digits in either case, white space
// allowed before each field): a count of at most 2 digits, an address of at
// most 4, a type of at most 2, count data bytes and a checksum of at most 2
// digits each; then one character that ends the line (a carriage return with
// its line feed counts as one). The 8-bit sum of count, both address bytes,
// type, the data bytes and the checksum is 0. The ":" of the next record
// follows directly.
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
// data must hold 255 bytes. The stream must not be used by another thread
// during the call.
unsigned KvReadHexRecord(FILE* file, uint8_t* count, uint16_t* address, uint8_t* type, uint8_t* data);

// Receives each data record of an image with its full 32-bit address.
using KvHexDataCallback = void (*)(void* context, uint32_t address, const uint8_t* data, unsigned count);

// Where the loader sends a data record (the driver's download call, or a
// stand-in); a status other than 0 fails the load.
using KvHexDownload = uint32_t (*)(void* context, uint32_t address, const uint8_t* data, uint8_t count);

// Loads a whole image as the board's firmware download does: each data record
// goes to download once, at the address made of the upper address (0 at the
// start, set by extended linear address records) and the record's address.
// Returns 0 when the image ended with its end-of-file record; 1 when a record
// could not be read or had a wrong checksum, the image ended without its
// end-of-file record, a record type is refused (02, 03, 05 and above), an
// address record lacks its two bytes, or a download failed. The records
// before a failure have been downloaded. The stream is read in blocks: its
// position afterwards is past the records taken.
unsigned KvLoadHexImage(FILE* file, KvHexDownload download, void* context);

// Checks a whole image without loading it: record syntax and checksums,
// extended addresses, record types the loader refuses, the end-of-file record
// and records after it. Every problem goes to sink with its line; reading goes
// on past a bad line. Returns the number of errors reported: 0 exactly when
// KvLoadHexImage would load the image (with downloads that succeed). onData,
// when given, receives every readable data record as the loader would
// download it.
unsigned KvCheckHexImage(FILE* file, IKvDiagnostics& sink, KvHexDataCallback onData = nullptr,
                         void* context = nullptr);
