// Makes the DSP firmware images shipped in share/: the operational image
// kv100.dsp and the diagnostic image bootdiag.hex, both Intel HEX.
//
// The emulated DSP runs a downloaded image only when its memory at DSP address
// 0x00000000 starts with an 8-byte ASCII signature, "KVDSPFW1" for operational
// firmware or "KVDSPDG1" for diagnostic firmware, followed by five 16-bit
// little-endian words: firmware revision (major in the high byte), MIPS
// version, number of ports, CPU meter in tenths, tokens available. The DSP
// answers GetInfo with these words. Anything else leaves the DSP silent.
//
// After the header record come blocks of deterministic filler spread over
// several 64 KiB segments, so that the images use extended linear address
// records; then the end-of-file record. Lines end in a line feed.
//
// Usage: mkdspimage OUTPUT_DIRECTORY
// The output is the same on every run.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Header {
    const char* signature;  // 8 characters
    uint16_t firmwareRevision;
    uint16_t mipsVersion;
    uint16_t numberPorts;
    uint16_t cpuMeter;
    uint16_t tokensAvailable;
};

struct Block {
    uint32_t address;
    uint32_t size;
};

struct Image {
    const char* fileName;
    Header header;
    unsigned bytesPerRecord;
    uint32_t seed;
    std::vector<Block> blocks;
};

class HexWriter {
public:
    HexWriter(FILE* file, unsigned bytesPerRecord) : m_File(file), m_BytesPerRecord(bytesPerRecord) {}

    // Writes data at a 32-bit address, starting a new segment where needed.
    void Write(uint32_t address, const std::vector<uint8_t>& data) {
        size_t offset = 0;
        while (offset < data.size()) {
            const uint32_t at = address + static_cast<uint32_t>(offset);
            const uint16_t upper = static_cast<uint16_t>(at >> 16);
            if (!m_HaveUpper || upper != m_Upper) {
                const uint8_t bytes[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
                Record(0x04, 0, bytes, 2);
                m_Upper = upper;
                m_HaveUpper = true;
            }
            // A record never crosses a segment boundary.
            size_t count = data.size() - offset;
            if (count > m_BytesPerRecord) count = m_BytesPerRecord;
            const uint32_t room = 0x10000u - (at & 0xFFFFu);
            if (count > room) count = room;
            Record(0x00, static_cast<uint16_t>(at), &data[offset], count);
            offset += count;
        }
    }

    void End() { Record(0x01, 0, nullptr, 0); }

private:
    void Record(uint8_t type, uint16_t address, const uint8_t* data, size_t count) {
        uint8_t sum = static_cast<uint8_t>(count + (address >> 8) + (address & 0xFF) + type);
        fprintf(m_File, ":%02X%04X%02X", static_cast<unsigned>(count), address, type);
        for (size_t i = 0; i < count; ++i) {
            fprintf(m_File, "%02X", data[i]);
            sum = static_cast<uint8_t>(sum + data[i]);
        }
        fprintf(m_File, "%02X\n", static_cast<uint8_t>(0x100 - sum) & 0xFF);
    }

    FILE* m_File;
    unsigned m_BytesPerRecord;
    uint16_t m_Upper = 0;
    bool m_HaveUpper = false;
};

std::vector<uint8_t> HeaderBytes(const Header& header) {
    std::vector<uint8_t> bytes(header.signature, header.signature + 8);
    for (uint16_t word : {header.firmwareRevision, header.mipsVersion, header.numberPorts,
                          header.cpuMeter, header.tokensAvailable}) {
        bytes.push_back(static_cast<uint8_t>(word));
        bytes.push_back(static_cast<uint8_t>(word >> 8));
    }
    return bytes;
}

// Filler that looks like code but is the same on every run (xorshift32).
std::vector<uint8_t> Filler(uint32_t* state, uint32_t size) {
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

bool WriteImage(const std::string& directory, const Image& image) {
    const std::string path = directory + "/" + image.fileName;
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        fprintf(stderr, "mkdspimage: cannot write %s\n", path.c_str());
        return false;
    }
    HexWriter writer(file, image.bytesPerRecord);
    writer.Write(0, HeaderBytes(image.header));
    uint32_t state = image.seed;
    for (const Block& block : image.blocks) writer.Write(block.address, Filler(&state, block.size));
    writer.End();
    const bool ok = ferror(file) == 0;
    if (fclose(file) != 0 || !ok) {
        fprintf(stderr, "mkdspimage: failed writing %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: mkdspimage OUTPUT_DIRECTORY\n");
        return 2;
    }
    const Image images[] = {
        {"kv100.dsp",
         {"KVDSPFW1", 0x0203, 100, 48, 123, 64},
         32,
         0x4B563130u,
         {{0x00000100, 2048}, {0x0000FF80, 256}, {0x00010400, 2048}, {0x00020000, 1024}}},
        {"bootdiag.hex",
         {"KVDSPDG1", 0x0101, 100, 48, 50, 16},
         16,
         0x44494147u,
         {{0x00000100, 512}, {0x00010000, 512}}},
    };
    for (const Image& image : images)
        if (!WriteImage(argv[1], image)) return 1;
    return 0;
}
