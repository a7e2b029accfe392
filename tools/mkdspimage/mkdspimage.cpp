// Makes DSP firmware images as Intel HEX: the images shipped in share/, Intel
// HEX from a binary file, and large generated images for benchmarks. Every
// image it writes uses extended linear address records (type 04), which the
// plug-in's loader accepts, never extended segment address records (type 02).
//
// The shipped images: after the header record (see DspImage.h) come blocks of
// deterministic filler spread over several 64 KiB segments, so that the images
// use extended linear address records; then the end-of-file record. Lines end
// in a line feed. The output is the same on every run.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DspImage.h"
#include "options.h"

namespace {

using dspimage::Header;
using dspimage::HexWriter;

const char kUsage[] =
    "usage: mkdspimage OUTPUT_DIRECTORY\n"
    "         writes the shipped images kv100.dsp and bootdiag.hex into OUTPUT_DIRECTORY\n"
    "       mkdspimage --from-binary BINARY IMAGE [ADDRESS]\n"
    "         converts the binary file BINARY into the Intel HEX image IMAGE, loaded at\n"
    "         ADDRESS (default 0; decimal, or hexadecimal with 0x): 32-byte data records and\n"
    "         extended linear address records (type 04), which the board's loader accepts.\n"
    "         Use it instead of 'objcopy -I binary -O ihex', whose extended segment address\n"
    "         records (type 02) for data between 64 KiB and 1 MiB the loader refuses.\n"
    "       mkdspimage --generate BYTES IMAGE\n"
    "         writes a runnable operational image of BYTES bytes of firmware (header and\n"
    "         filler) in 32-byte records, for measuring the loader\n";

const unsigned kRecordBytes = 32;

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

bool Finish(FILE* file, const std::string& path) {
    const bool ok = ferror(file) == 0;
    if (fclose(file) != 0 || !ok) {
        fprintf(stderr, "mkdspimage: failed writing %s\n", path.c_str());
        return false;
    }
    return true;
}

FILE* Create(const std::string& path) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) fprintf(stderr, "mkdspimage: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return file;
}

bool WriteShippedImage(const std::string& directory, const Image& image) {
    const std::string path = directory + "/" + image.fileName;
    FILE* file = Create(path);
    if (file == nullptr) return false;
    HexWriter writer(file, image.bytesPerRecord);
    writer.Write(0, dspimage::HeaderBytes(image.header));
    uint32_t state = image.seed;
    for (const Block& block : image.blocks) writer.Write(block.address, dspimage::Filler(&state, block.size));
    writer.End();
    return Finish(file, path);
}

int WriteShippedImages(const char* directory) {
    const Image images[] = {
        {"kv100.dsp",
         dspimage::kOperationalHeader,
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
        if (!WriteShippedImage(directory, image)) return 1;
    return 0;
}

// A whole number in decimal or, with 0x, hexadecimal, within limit.
bool ParseNumber(const char* text, uint64_t limit, uint64_t* value) {
    if (text == nullptr || *text == '\0' || *text == '-') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || parsed > limit) return false;
    *value = parsed;
    return true;
}

int FromBinary(const char* binaryPath, const char* imagePath, const char* addressText) {
    uint64_t address = 0;
    if (addressText != nullptr && !ParseNumber(addressText, 0xFFFFFFFFu, &address)) {
        fprintf(stderr, "mkdspimage: '%s' is not an address from 0 to 0xFFFFFFFF\n", addressText);
        return 2;
    }
    FILE* in = fopen(binaryPath, "rb");
    if (in == nullptr) {
        fprintf(stderr, "mkdspimage: cannot read %s: %s\n", binaryPath, strerror(errno));
        return 1;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), in)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    const bool readFailed = ferror(in) != 0;
    fclose(in);
    if (readFailed) {
        fprintf(stderr, "mkdspimage: failed reading %s\n", binaryPath);
        return 1;
    }
    if (address + bytes.size() > 0x100000000ull) {
        fprintf(stderr, "mkdspimage: %s does not fit below 4 GiB at address 0x%llx\n", binaryPath,
                static_cast<unsigned long long>(address));
        return 1;
    }
    FILE* out = Create(imagePath);
    if (out == nullptr) return 1;
    HexWriter writer(out, kRecordBytes);
    writer.Write(static_cast<uint32_t>(address), bytes);
    writer.End();
    return Finish(out, imagePath) ? 0 : 1;
}

int Generate(const char* sizeText, const char* imagePath) {
    uint64_t size = 0;
    if (!ParseNumber(sizeText, 0xFFFFFFFFu, &size)) {
        fprintf(stderr, "mkdspimage: '%s' is not a size in bytes\n", sizeText);
        return 2;
    }
    FILE* out = Create(imagePath);
    if (out == nullptr) return 1;
    dspimage::WriteGeneratedImage(out, static_cast<uint32_t>(size), kRecordBytes);
    return Finish(out, imagePath) ? 0 : 1;
}

int Usage(const std::string& why) {
    if (!why.empty()) fprintf(stderr, "mkdspimage: %s\n", why.c_str());
    fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    enum { kFromBinary = 256, kGenerate, kHelp };
    const ::option longOptions[] = {{"from-binary", no_argument, nullptr, kFromBinary},
                                    {"generate", no_argument, nullptr, kGenerate},
                                    {"help", no_argument, nullptr, kHelp},
                                    {nullptr, 0, nullptr, 0}};
    // '+': the options come first; the operands after them (an ADDRESS may
    // begin with '-' and is then refused as an address, not as an option).
    int mode = 0;
    std::string why;
    for (int c; (c = kvoptions::Next(argc, argv, "+:h", longOptions, &why)) != -1;) {
        if (c == 'h' || c == kHelp) {
            fputs(kUsage, stdout);
            return 0;
        }
        if (c != kFromBinary && c != kGenerate) return Usage(why);
        if (mode != 0 && mode != c) return Usage("give either --from-binary or --generate, not both");
        mode = c;
    }
    char** operands = argv + optind;
    const int count = argc - optind;
    if (mode == 0 && count == 1) return WriteShippedImages(operands[0]);
    if (mode == kFromBinary && (count == 2 || count == 3))
        return FromBinary(operands[0], operands[1], count == 3 ? operands[2] : nullptr);
    if (mode == kGenerate && count == 2) return Generate(operands[0], operands[1]);
    return Usage(std::string());
}
