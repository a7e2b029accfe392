// Firmware images: the record reader, the download, the checker and the firmware start.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>

#include "../tools/mkdspimage/DspImage.h"
#include "Dsp.h"
#include "HexReader.h"
#include "fixtures.h"
#include "temp_dir.h"

namespace {

using kvtest::Texts;
const char kEnd[] = ":00000001FF\n";
const std::string kData = ":0400100012345678D8\n";  // 12 34 56 78 at 0x0010

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A stream of the text; closed by the caller.
FILE* Stream(const std::string& text) {
    FILE* file = tmpfile();
    fwrite(text.data(), 1, text.size(), file);
    rewind(file);
    return file;
}

class LoadDspTest : public kvtest::BoardFixture {
protected:
    void SetUp() override {
        BoardFixture::SetUp();
        board->SetSearchPath(temp.path.c_str());
        ASSERT_NE(dsp = dynamic_cast<cDsp*>(board->GetKeywordByName("Dsp")), nullptr);
        dsp->m_Encoding = 1;
    }
    // Writes image.dsp and makes it the firmware image.
    void WriteImage(const std::string& text) {
        temp.Write("image.dsp", text);
        ASSERT_EQ(dsp->SetKeywordValue("Image", "image.dsp"), 0u);
    }
    std::vector<uint8_t> Memory(uint32_t address, uint32_t count) {
        std::vector<uint8_t> bytes(count);
        EXPECT_EQ(kvemu::ReadDspMemory(0, 0, address, bytes.data(), count), 0);
        return bytes;
    }
    kvtest::TempDir temp;
    cDsp* dsp = nullptr;
};

TEST_F(LoadDspTest, ReadLineParsesOneRecordAndChecksItsSum) {
    std::string longest = "ff 0 1234";  // 255 bytes of 0x11
    for (int i = 0; i < 255; ++i) longest += " 11";
    // A record read as "COUNT TYPE ADDRESS DATA..." in hexadecimal, or "refused".
    const std::pair<std::string, std::string> cases[] = {
        {":04abcd00deadbeef4c\n", "4 0 abcd de ad be ef"},
        {": 04\tABCD 00\r\nDE\vAD\fBE EF 4C\n", "4 0 abcd de ad be ef"},  // blanks before fields
        {":020000040001F9", "2 4 0 0 1"},                                 // no line end after the last record
        {":FF123400" + std::string(510, '1') + "CC\n", longest},
        {":0400100012345678D9\n", "refused"},
        {" :00000001FF\n", "refused"},
        {":", "refused"},
        {":0400100012", "refused"},
        {":00000001\n", "refused"},
        {":FF00000012345678\n", "refused"},
    };
    for (const auto& [text, expected] : cases) {
        FILE* file = Stream(text);
        uint8_t count = 0, type = 0, data[255];
        uint16_t address = 0;
        std::string record = "refused";
        if (board->read_line(file, &count, &address, &type, data) == 0) {
            char fields[32];
            record.assign(fields, snprintf(fields, sizeof fields, "%x %x %x", count, type, address));
            for (unsigned i = 0; i < count; ++i)
                record += " " + std::string(fields, snprintf(fields, 4, "%x", data[i]));
        }
        EXPECT_EQ(record, expected) << text;
        fclose(file);
    }
}

TEST_F(LoadDspTest, DownloadPlacesDataAndRejectsDamagedImages) {
    const std::string kSecond = ":0400140012345678D4\n";
    const struct {
        std::string image;
        int rc;
        uint32_t bytesLoaded;
        unsigned failedDownload;
    } cases[] = {
        {":0400100012345678D8\r\n:0400140012345678D4\r\n:00000001FF\r\n", 0, 8, 0},
        {kData + ":0400140012345678D5\n" + kEnd, 1, 4, 0},  // checksum changed in the second record
        {kData, 1, 4, 0},                                   // no end record
        {kData + ":020000021000EC\n" + kEnd, 1, 4, 0},      // types 02, 03 and 05 are refused
        {kData + ":0400000300003800C1\n" + kEnd, 1, 4, 0},
        {kData + ":04000005000000CD2A\n" + kEnd, 1, 4, 0},
        {":0100000401FA\n" + kData + kEnd, 1, 0, 0},  // address record without its address
        {kData + kSecond + kSecond + kEnd, 1, 4, 2},  // the driver refuses the second download
    };
    for (const auto& c : cases) {
        ASSERT_EQ(BoardDspReset(board->GetDriverHandle()), 0u);
        WriteImage(c.image);
        kvemu::ClearJournal();
        ASSERT_EQ(kvemu::SetFault("BoardDspDownload", c.failedDownload ? 5 : 0, c.failedDownload), 0);
        EXPECT_EQ(board->LoadDSP(board->GetDriverHandle(), "image"), c.rc) << c.image;
        EXPECT_EQ(kvtest::Dsp().bytesLoaded, c.bytesLoaded) << c.image;
        // Nothing is downloaded after a refused download.
        EXPECT_EQ(kvtest::Calls("BoardDspDownload").size(), c.bytesLoaded / 4 + (c.failedDownload != 0))
            << c.image;
    }
}

TEST_F(LoadDspTest, ExtendedLinearAddressesReachThe32BitAddress) {
    WriteImage(":020000040001F9\n" + kData + ":02000004ABCD82\n:02FFFE000102FE\n" + kEnd);
    ASSERT_EQ(board->LoadDSP(board->GetDriverHandle(), "image.dsp"), 0);
    EXPECT_EQ(Memory(0x10010, 4), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(Memory(0xABCDFFFE, 2), (std::vector<uint8_t>{1, 2}));
    WriteImage(kData + kEnd);  // each download starts again in the first segment
    ASSERT_EQ(board->LoadDSP(board->GetDriverHandle(), "image.dsp"), 0);
    EXPECT_EQ(Memory(0x0010, 4), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
}

// The loader's downloads into a flat memory: the bytes from the lowest address downloaded to the highest,
// gaps as zeros (as objcopy fills them).
std::string LoadFlat(const std::string& image) {
    std::map<uint32_t, uint8_t> memory;
    FILE* file = Stream(image);
    EXPECT_EQ(KvLoadHexImage(
                  file,
                  [](void* context, uint32_t address, const uint8_t* data, uint8_t count) {
                      for (uint8_t i = 0; i < count; ++i)
                          (*static_cast<std::map<uint32_t, uint8_t>*>(context))[address + i] = data[i];
                      return 0u;
                  },
                  &memory),
              0u);
    fclose(file);
    std::string flat(memory.empty() ? 0 : memory.rbegin()->first - memory.begin()->first + 1, '\0');
    for (const auto& byte : memory) flat[byte.first - memory.begin()->first] = static_cast<char>(byte.second);
    return flat;
}

TEST(HexLoadTest, LoadsWellFormedImagesByteForByteAsObjcopy) {
    if (system("objcopy --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "objcopy is not installed (package binutils): the loader is not compared with it";
    const struct {
        uint32_t address, size;
        unsigned recordBytes;
        const char* lineEnd;
        bool lower;
        const char* shipped;
    } cases[] = {
        {0, 100000, 32, "\n", false, nullptr},          // across a segment boundary
        {0x0001FFF0, 4096, 16, "\r\n", true, nullptr},  // CR LF, lower-case digits
        {0x12345678, 1000, 255, "\n", false, nullptr},  // longest records, high address
        {0, 0, 0, nullptr, false, "kv100.dsp"},
        {0, 0, 0, nullptr, false, "bootdiag.hex"},  // with gaps
    };
    kvtest::TempDir temp;
    for (const auto& c : cases) {
        uint32_t seed = c.size + 1;
        const std::vector<uint8_t> bytes = dspimage::Filler(&seed, c.size);
        std::string text = c.shipped ? ReadFile(std::string(KV_SHARE_DIR) + "/" + c.shipped) : "";
        if (!c.shipped) {
            FILE* file = tmpfile();
            dspimage::HexWriter writer(file, c.recordBytes, c.lineEnd);
            writer.Write(c.address, bytes);
            writer.End();
            text.assign(static_cast<size_t>(ftell(file)), '\0');
            rewind(file);
            ASSERT_EQ(fread(&text[0], 1, text.size(), file), text.size());
            fclose(file);
            if (c.lower)
                std::transform(text.begin(), text.end(), text.begin(), [](char ch) { return tolower(ch); });
        }
        const std::string flat = LoadFlat(text);
        const std::string image = temp.Write("image.hex", text), binary = temp.path + "/image.bin";
        ASSERT_EQ(system(("objcopy -I ihex -O binary " + image + " " + binary).c_str()), 0);
        EXPECT_EQ(flat, ReadFile(binary)) << c.address << (c.shipped ? c.shipped : "");
        EXPECT_TRUE(c.shipped || flat == std::string(bytes.begin(), bytes.end())) << c.address;
    }
}

// Problems as a checking tool prints them after the file name: "LINE: error|warning: message".
struct Problems : IKvDiagnostics {
    Texts lines;
    void Report(unsigned line, KvSeverity severity, const char* message) override {
        lines.push_back(std::to_string(line) + (severity == KV_SEVERITY_ERROR ? ": error: " : ": warning: ") +
                        message);
    }
};

TEST(HexCheckTest, NamesEveryProblemWithItsLineAndGoesOn) {
    const std::string accepts =
        ", which accepts 00 (data), 01 (end of file) and 04 (extended linear address)";
    const struct {
        std::string image;
        Texts problems;
    } cases[] = {
        {":020000040001F9\r\n" + kData + kEnd, {}},
        {ReadFile(KV_SHARE_DIR "/kv100.dsp"), {}},
        {ReadFile(KV_SHARE_DIR "/bootdiag.hex"), {}},
        {"", {"1: error: no end-of-file record (:00000001FF); the loader refuses an image without it"}},
        {kData + kData,
         {"2: error: no end-of-file record (:00000001FF); the loader refuses an image without it"}},
        {":0400100012345678D9\n" + kData + kEnd,
         {"1: error: checksum D9 is wrong; the record's bytes need D8"}},
        {kData + ":020000021000EC\n:0400000300003800C1\n:04000005000000CD2A\n:00000007F9\n" + kEnd,
         {"2: error: record type 02 (extended segment address) is refused by the loader" + accepts +
              "; 'mkdspimage --from-binary' makes images with type 04 records",
          "3: error: record type 03 (start segment address) is refused by the loader" + accepts,
          "4: error: record type 05 (start linear address) is refused by the loader" + accepts,
          "5: error: record type 07 is refused by the loader" + accepts}},
        {std::string(":0100000401FA\n") + kEnd,
         {"1: error: extended linear address record with 1 data bytes; it needs 2"}},
        {kData + "\n" + kData + kEnd,
         {"2: error: expected ':' at the start of a record, found the end of the line"}},
        {":04001000123456\n:G4\n:04\n:04001x\n:0400100012345678\x01\n" + kData + kEnd,
         {"1: error: data byte 4 of 4 missing, found ':'", "2: error: no byte count after ':', found 'G'",
          "3: error: no load address, found ':'", "4: error: no record type, found 'x'",
          "5: error: no checksum, found the byte 0x01"}},
        {kEnd + std::string("\n") + kData,
         {"3: warning: text after the end-of-file record; the loader ignores it"}},
    };
    for (const auto& c : cases) {
        FILE* file = Stream(c.image);
        Problems problems;
        const unsigned errors = KvCheckHexImage(file, problems);
        fclose(file);
        EXPECT_EQ(problems.lines, c.problems) << c.image;
        EXPECT_EQ(errors, static_cast<unsigned>(
                              std::count_if(c.problems.begin(), c.problems.end(), [](const std::string& p) {
                                  return p.find(": error: ") != std::string::npos;
                              })));
    }
}

TEST_F(LoadDspTest, StartReportsEachFailingStep) {
    auto errors = [] { return kvtest::Messages(kvtest::kError); };
    // A damaged image (the operational header, no end record) leaves the DSP silent.
    WriteImage(":120000004B564453504657310302640030007B00400044\n");
    EXPECT_EQ(dsp->StartOperation(), 1u);
    EXPECT_EQ(errors(), Texts{"LoadDSP rc 00000001\n"});
    EXPECT_TRUE(kvtest::Dsp().commands.empty() && !kvtest::Dsp().running);
    // A missing image: the file search's own message, then the download's.
    kvtest::ClearAlerts();
    ASSERT_EQ(dsp->SetKeywordValue("Image", "missing.dsp"), 0u);
    EXPECT_EQ(dsp->StartOperation(), 1u);
    EXPECT_EQ(errors().size(), 2u);
    kvtest::ClearAlerts();  // an empty image name
    ASSERT_EQ(dsp->SetKeywordValue("Image", ""), 0u);
    EXPECT_EQ(dsp->StartOperation(), 1u);
    EXPECT_EQ(errors(), Texts{"cDsp::Start() - NULL image\n"});
    // A whole image that is no firmware: the DSP never answers.
    kvtest::ClearAlerts();
    ASSERT_EQ(BoardDspReset(board->GetDriverHandle()), 0u);  // no header left from the images above
    WriteImage(kData + kEnd);
    EXPECT_EQ(dsp->StartOperation(), 1u);
    EXPECT_EQ(errors(), Texts{"KV driver failed to communicate with embedded processor (1).\n"
                              "Possible causes: stalled processor or failed DSP firmware load.\n"
                              "Ensure CTBus clock configuration provides stable clock to board.\n\n"});
    EXPECT_EQ(pauses.Pauses(), std::vector<unsigned>{1000});  // the only pause so far
    // The DSP start refused by the driver, then the ringer refused.
    kvtest::ClearAlerts();
    board->SetSearchPath(KV_SHARE_DIR);
    ASSERT_EQ(dsp->SetKeywordValue("Image", "kv100.dsp"), 0u);
    ASSERT_EQ(kvemu::SetFault("BoardDspStart", 5, 1), 0);
    ASSERT_EQ(kvemu::SetDspReason(0, 0, 0x07, 3), 0);
    EXPECT_EQ(dsp->StartOperation(), 1u);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(dsp->StartOperation(), 1u);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "cDsp::ConfigureRinger() failed for reason 0003.\n");
    EXPECT_EQ(errors(), (Texts{"cDsp::Start() -  BoardDspStart returns 00000005\n",
                               "cDsp::Start() -  ConfigureRinger() returns 00000001\n"}));
}

}  // namespace
