// The QSLAC coefficient file format, read from a stdio stream without a board,
// so that the plug-in (cQslacFile) and kvoam's check share one reader.
//
// Text lines of hexadecimal byte values ("%x": an optional 0x, digits up to
// the first other character; the low 8 bits count), '#' and ';' starting a
// comment. Lines are read 255 characters at a time: a longer line comes in
// pieces, each read as a line of its own.
#pragma once

#include <cstdint>
#include <cstdio>

#include "KvDiagnostics.h"

enum : uint32_t { QSLAC_COEFFICIENTS_MAX = 512 };

// Reads every coefficient byte of the stream into buffer (capacity bytes):
// 0 with the count stored, or 0xFFFFFFFF when the stream is null or the file
// is invalid (a token that is no number, more values than capacity, a read
// error). Without a sink the first problem ends the reading. With one, every
// problem goes to the sink with its line, and reading goes on to the end
// (with the same result); so do warnings about text that is read other than
// it looks (digits cut, values above 0xFF, long lines read in pieces).
unsigned KvReadCoefficients(FILE* stream, uint8_t* buffer, uint32_t capacity, uint32_t* count,
                            IKvDiagnostics* sink = nullptr);
