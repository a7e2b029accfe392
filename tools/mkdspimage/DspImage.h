// Writing DSP firmware images as Intel HEX the way the plug-in's loader takes
// them: data records that never cross a 64 KiB segment, an extended linear
// address record (type 04) before the first record of each segment, and the
// end-of-file record. Shared by mkdspimage, the loader's tests and the
// benchmarks, which generate their images with it.
//
// The emulated DSP runs a downloaded image only when its memory at DSP address
// 0x00000000 starts with an 8-byte ASCII signature, "KVDSPFW1" for operational
// firmware or "KVDSPDG1" for diagnostic firmware, followed by five 16-bit
// little-endian words: firmware revision (major in the high byte), MIPS
// version, number of ports, CPU meter in tenths, tokens available.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace dspimage {

class HexWriter {
public:
    // lineEnd: "\n", or "\r\n" for an image written on another system.
    HexWriter(FILE* file, unsigned bytesPerRecord, const char* lineEnd = "\n")
        : m_File(file), m_BytesPerRecord(bytesPerRecord), m_LineEnd(lineEnd) {}

    // Writes data at a 32-bit address, starting a new segment where needed.
    void Write(uint32_t address, const uint8_t* data, size_t size) {
        size_t offset = 0;
        while (offset < size) {
            const uint32_t at = address + static_cast<uint32_t>(offset);
            const uint16_t upper = static_cast<uint16_t>(at >> 16);
            if (!m_HaveUpper || upper != m_Upper) {
                const uint8_t bytes[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
                Record(0x04, 0, bytes, 2);
                m_Upper = upper;
                m_HaveUpper = true;
            }
            size_t count = size - offset;
            if (count > m_BytesPerRecord) count = m_BytesPerRecord;
            const uint32_t room = 0x10000u - (at & 0xFFFFu);
            if (count > room) count = room;
            Record(0x00, static_cast<uint16_t>(at), data + offset, count);
            offset += count;
        }
    }
    void Write(uint32_t address, const std::vector<uint8_t>& data) {
        Write(address, data.data(), data.size());
    }

    void End() { Record(0x01, 0, nullptr, 0); }

private:
    void Record(uint8_t type, uint16_t address, const uint8_t* data, size_t count) {
        static const char kDigits[] = "0123456789ABCDEF";
        char line[9 + 2 * 255 + 2 + 3];
        size_t n = 0;
        uint8_t sum = static_cast<uint8_t>(count + (address >> 8) + (address & 0xFF) + type);
        const auto put = [&](uint8_t byte) {
            line[n++] = kDigits[byte >> 4];
            line[n++] = kDigits[byte & 0xF];
        };
        line[n++] = ':';
        put(static_cast<uint8_t>(count));
        put(static_cast<uint8_t>(address >> 8));
        put(static_cast<uint8_t>(address));
        put(type);
        for (size_t i = 0; i < count; ++i) {
            put(data[i]);
            sum = static_cast<uint8_t>(sum + data[i]);
        }
        put(static_cast<uint8_t>(0x100 - sum));
        fwrite(line, 1, n, m_File);
        fputs(m_LineEnd, m_File);
    }

    FILE* m_File;
    unsigned m_BytesPerRecord;
    const char* m_LineEnd;
    uint16_t m_Upper = 0;
    bool m_HaveUpper = false;
};

struct Header {
    const char* signature;  // 8 characters
    uint16_t firmwareRevision;
    uint16_t mipsVersion;
    uint16_t numberPorts;
    uint16_t cpuMeter;
    uint16_t tokensAvailable;
};

// The operational firmware's header as the shipped kv100.dsp carries it.
constexpr Header kOperationalHeader = {"KVDSPFW1", 0x0203, 100, 48, 123, 64};

inline std::vector<uint8_t> HeaderBytes(const Header& header) {
    std::vector<uint8_t> bytes(header.signature, header.signature + 8);
    for (uint16_t word : {header.firmwareRevision, header.mipsVersion, header.numberPorts, header.cpuMeter,
                          header.tokensAvailable}) {
        bytes.push_back(static_cast<uint8_t>(word));
        bytes.push_back(static_cast<uint8_t>(word >> 8));
    }
    return bytes;
}

// Filler that looks like code but is the same on every run (xorshift32).
inline std::vector<uint8_t> Filler(uint32_t* state, uint32_t size) {
    std::vector<uint8_t> bytes(size);
    for (uint32_t i = 0; i < size; ++i) {
        uint32_t x = *state;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        *state = x;
        bytes[i] = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

// A runnable operational image of size bytes (at least the header's 18) from
// DSP address 0 on: the header, then filler; records of bytesPerRecord bytes.
inline bool WriteGeneratedImage(FILE* file, uint32_t size, unsigned bytesPerRecord) {
    std::vector<uint8_t> bytes = HeaderBytes(kOperationalHeader);
    uint32_t state = 0x4B564247u;
    if (size > bytes.size()) {
        const std::vector<uint8_t> filler = Filler(&state, size - static_cast<uint32_t>(bytes.size()));
        bytes.insert(bytes.end(), filler.begin(), filler.end());
    }
    HexWriter writer(file, bytesPerRecord);
    writer.Write(0, bytes);
    writer.End();
    return ferror(file) == 0;
}

}  // namespace dspimage
