// Firmware images: the record reader, the download and the firmware start.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Dsp.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"

namespace {

using Texts = std::vector<std::string>;
const char kEnd[] = ":00000001FF\n";
const std::string kData = ":0400100012345678D8\n";  // 12 34 56 78 at 0x0010

class LoadDspTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        char pattern[] = "/tmp/kvdsp_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        board_.reset(new CKvBoard("b0", "KV 7400C-48"));
        board_->SetSearchPath(dir_.c_str());
        dsp_ = dynamic_cast<cDsp*>(board_->GetKeywordByName("Dsp"));
        ASSERT_NE(dsp_, nullptr);
        dsp_->m_Encoding = 1;
    }
    void TearDown() override {
        unlink((dir_ + "/image.dsp").c_str());
        rmdir(dir_.c_str());
    }

    // Writes image.dsp and makes it the firmware image.
    void WriteImage(const std::string& text) {
        FILE* file = fopen((dir_ + "/image.dsp").c_str(), "wb");
        ASSERT_NE(file, nullptr);
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
        ASSERT_EQ(dsp_->SetKeywordValue("Image", "image.dsp"), 0u);
    }
    kvemu::DspState State() {
        kvemu::DspState state;
        EXPECT_EQ(kvemu::GetDspState(0, 0, &state), 0);
        return state;
    }
    std::vector<uint8_t> Memory(uint32_t address, uint32_t count) {
        std::vector<uint8_t> bytes(count);
        EXPECT_EQ(kvemu::ReadDspMemory(0, 0, address, bytes.data(), count), 0);
        return bytes;
    }
    static Texts Errors() { return kvtest::AlertTexts(0x40002001, 2); }

    std::string dir_;
    std::unique_ptr<CKvBoard> board_;
    cDsp* dsp_ = nullptr;
    kvtest::SleepRecorder sleeps_;
};

TEST_F(LoadDspTest, ReadLineParsesOneRecordAndChecksItsSum) {
    const struct { std::string text; unsigned rc; uint8_t count, type; uint16_t address; std::vector<uint8_t> data; } cases[] = {
        {":04abcd00deadbeef4c\n", 0, 4, 0, 0xABCD, {0xDE, 0xAD, 0xBE, 0xEF}},
        {":FF123400" + std::string(510, '1') + "CC\n", 0, 255, 0, 0x1234, std::vector<uint8_t>(255, 0x11)},
        {":020000040001F9", 0, 2, 4, 0, {0x00, 0x01}},  // no line end after the last record
        {":0400100012345678D9\n", 1, 0, 0, 0, {}}, {" :00000001FF\n", 1, 0, 0, 0, {}}, {":", 1, 0, 0, 0, {}},
        {":0400100012", 1, 0, 0, 0, {}}, {":00000001\n", 1, 0, 0, 0, {}}, {":FF00000012345678\n", 1, 0, 0, 0, {}},
    };
    for (const auto& c : cases) {
        FILE* file = fmemopen(const_cast<char*>(c.text.data()), c.text.size(), "r");
        ASSERT_NE(file, nullptr);
        uint8_t count = 0xEE, type = 0xEE, data[255] = {};
        uint16_t address = 0xEEEE;
        EXPECT_EQ(board_->read_line(file, &count, &address, &type, data), c.rc) << c.text;
        if (c.rc == 0) {
            EXPECT_EQ((std::vector<unsigned>{count, type, address}), (std::vector<unsigned>{c.count, c.type, c.address}));
            EXPECT_EQ(std::vector<uint8_t>(data, data + count), c.data);
        }
        fclose(file);
    }
}

TEST_F(LoadDspTest, DownloadPlacesDataAndRejectsDamagedImages) {
    const struct { std::string image; int rc; uint32_t bytesLoaded; } cases[] = {
        {":0400100012345678D8\r\n:0400140012345678D4\r\n:00000001FF\r\n", 0, 8},
        {kData + ":0400140012345678D5\n" + kEnd, 1, 4},  // checksum changed in the second record
        {kData, 1, 4},                                   // no end record
        {kData + ":020000021000EC\n" + kEnd, 1, 4},    // unsupported record type
        {":0100000401FA\n" + kData + kEnd, 1, 0},       // address record without its address
    };
    for (const auto& c : cases) {
        ASSERT_EQ(BoardDspReset(board_->GetDriverHandle()), 0u);
        WriteImage(c.image);
        EXPECT_EQ(board_->LoadDSP(board_->GetDriverHandle(), "image"), c.rc) << c.image;
        EXPECT_EQ(State().bytesLoaded, c.bytesLoaded) << c.image;
    }
}

TEST_F(LoadDspTest, ExtendedLinearAddressesReachThe32BitAddress) {
    WriteImage(":020000040001F9\n" + kData + ":02000004ABCD82\n:02FFFE000102FE\n" + kEnd);
    ASSERT_EQ(board_->LoadDSP(board_->GetDriverHandle(), "image.dsp"), 0);
    EXPECT_EQ(Memory(0x10010, 4), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(Memory(0xABCDFFFE, 2), (std::vector<uint8_t>{1, 2}));
    // Each download starts again in the first segment.
    WriteImage(kData + kEnd);
    ASSERT_EQ(board_->LoadDSP(board_->GetDriverHandle(), "image.dsp"), 0);
    EXPECT_EQ(Memory(0x0010, 4), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
}

TEST_F(LoadDspTest, DiagnosticImageLoadsAndRuns) {
    board_->SetSearchPath(KV_SHARE_DIR);
    ASSERT_EQ(board_->LoadDSP(board_->GetDriverHandle(), "bootdiag.hex"), 0);
    EXPECT_EQ(dsp_->StartDiagnostic(), 0u);
    EXPECT_EQ(dsp_->GetInfo(), 0u);
    EXPECT_EQ(dsp_->m_FirmwareRevision, 0x0101u);  // the diagnostic firmware's own revision
}

TEST_F(LoadDspTest, StartReportsEachFailingStep) {
    // A damaged image (the operational header, no end record) leaves the DSP silent.
    WriteImage(":120000004B564453504657310302640030007B00400044\n");
    EXPECT_EQ(dsp_->StartOperation(), 1u);
    EXPECT_EQ(Errors(), Texts{"LoadDSP rc 00000001\n"});
    EXPECT_TRUE(State().commands.empty() && !State().running);
    // A missing image: the file search's own message, then the download's.
    kvtest::ClearAlerts();
    ASSERT_EQ(dsp_->SetKeywordValue("Image", "missing.dsp"), 0u);
    EXPECT_EQ(dsp_->StartOperation(), 1u);
    EXPECT_EQ(Errors().size(), 2u);
    // An empty image name.
    kvtest::ClearAlerts();
    ASSERT_EQ(dsp_->SetKeywordValue("Image", ""), 0u);
    EXPECT_EQ(dsp_->StartOperation(), 1u);
    EXPECT_EQ(Errors(), Texts{"cDsp::Start() - NULL image\n"});
    // A whole image that is no firmware: the DSP never answers.
    kvtest::ClearAlerts();
    ASSERT_EQ(BoardDspReset(board_->GetDriverHandle()), 0u);  // no header left from the images above
    WriteImage(kData + kEnd);
    EXPECT_EQ(dsp_->StartOperation(), 1u);
    EXPECT_EQ(Errors(), Texts{"KV driver failed to communicate with embedded processor (1).\n"
                              "Possible causes: stalled processor or failed DSP firmware load.\n"
                              "Ensure CTBus clock configuration provides stable clock to board.\n\n"});
    EXPECT_EQ(sleeps_.Pauses(), std::vector<unsigned>{1000});  // the only pause so far
    // The DSP start refused by the driver, then the ringer refused.
    kvtest::ClearAlerts();
    board_->SetSearchPath(KV_SHARE_DIR);
    ASSERT_EQ(dsp_->SetKeywordValue("Image", "kv100.dsp"), 0u);
    ASSERT_EQ(kvemu::SetFault("BoardDspStart", 5, 1), 0);
    ASSERT_EQ(kvemu::SetDspReason(0, 0, 0x07, 3), 0);
    EXPECT_EQ(dsp_->StartOperation(), 1u);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(dsp_->StartOperation(), 1u);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "cDsp::ConfigureRinger() failed for reason 0003.\n");
    EXPECT_EQ(Errors(), (Texts{"cDsp::Start() -  BoardDspStart returns 00000005\n",
                               "cDsp::Start() -  ConfigureRinger() returns 00000001\n"}));
}

}  // namespace
