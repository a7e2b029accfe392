// Firmware images: the record reader, the download and the firmware start.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Dsp.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"

namespace {

const char kEnd[] = ":00000001FF\n";
// A whole image the emulated DSP runs: the operational header, one data record.
const char kHeaderRecord[] = ":120000004B564453504657310302640030007B00400044\n";

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
        board_.reset();
        for (const char* file : {"image.dsp", "far.dsp", "near.dsp", "bad.dsp", "data.dsp"})
            unlink((dir_ + "/" + file).c_str());
        rmdir(dir_.c_str());
    }

    void WriteImage(const std::string& name, const std::string& text) {
        FILE* file = fopen((dir_ + "/" + name).c_str(), "wb");
        ASSERT_NE(file, nullptr);
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
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

    std::string dir_;
    std::unique_ptr<CKvBoard> board_;
    cDsp* dsp_ = nullptr;
    kvtest::SleepRecorder sleeps_;
};

std::string Record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    char field[8];
    std::string text;
    uint8_t sum = static_cast<uint8_t>(data.size() + (address >> 8) + (address & 0xFF) + type);
    snprintf(field, sizeof(field), ":%02X", static_cast<unsigned>(data.size()));
    text += field;
    snprintf(field, sizeof(field), "%04X%02X", address, type);
    text += field;
    for (uint8_t byte : data) {
        snprintf(field, sizeof(field), "%02X", byte);
        text += field;
        sum = static_cast<uint8_t>(sum + byte);
    }
    snprintf(field, sizeof(field), "%02X", static_cast<uint8_t>(-sum));
    return text + field + "\n";
}

// ---- The record reader ---------------------------------------------------------

TEST_F(LoadDspTest, ReadLineParsesOneRecordAndChecksItsSum) {
    std::vector<uint8_t> full(255);
    for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i * 7);
    const struct { const char* what; std::string text; unsigned rc; uint8_t count, type; uint16_t address;
                   std::vector<uint8_t> data; } cases[] = {
        {"data record", ":0400100012345678D8\n", 0, 4, 0, 0x0010, {0x12, 0x34, 0x56, 0x78}},
        {"lower-case digits", ":04abcd00deadbeef4c\n", 0, 4, 0, 0xABCD, {0xDE, 0xAD, 0xBE, 0xEF}},
        {"end of file", ":00000001FF\n", 0, 0, 1, 0, {}},
        {"extended address", ":020000040001F9\n", 0, 2, 4, 0, {0x00, 0x01}},
        {"255 data bytes", Record(0, 0x1234, full), 0, 255, 0, 0x1234, full},
        {"no line end after the last record", ":00000001FF", 0, 0, 1, 0, {}},
        {"checksum digit changed", ":0400100012345678D9\n", 1, 4, 0, 0x0010, {0x12, 0x34, 0x56, 0x78}},
        {"white space before the mark", " :00000001FF\n", 1, 0, 0, 0, {}},
        {"mark only", ":", 1, 0, 0, 0, {}},
        {"cut in the data", ":0400100012", 1, 4, 0, 0x0010, {0x12}},
        {"no checksum", ":00000001\n", 1, 0, 1, 0, {}},
        {"count larger than the data", ":FF00000012345678\n", 1, 0xFF, 0, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FILE* file = fmemopen(const_cast<char*>(c.text.data()), c.text.size(), "r");
        ASSERT_NE(file, nullptr);
        uint8_t count = 0xEE, type = 0xEE, data[255] = {};
        uint16_t address = 0xEEEE;
        EXPECT_EQ(board_->read_line(file, &count, &address, &type, data), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ((std::vector<unsigned>{count, type, address}), (std::vector<unsigned>{c.count, c.type, c.address}));
            EXPECT_EQ(std::vector<uint8_t>(data, data + count), c.data);
        }
        fclose(file);
    }
}

// ---- The download ------------------------------------------------------------------

TEST_F(LoadDspTest, DownloadPlacesDataAndRejectsDamagedImages) {
    const std::string data = ":0400100012345678D8\n";
    const struct { const char* what; std::string image; int rc; uint32_t bytesLoaded; } cases[] = {
        {"end record only", kEnd, 0, 0},
        {"data then end", data + kEnd, 0, 4},
        {"carriage returns", ":0400100012345678D8\r\n:0400140012345678D4\r\n:00000001FF\r\n", 0, 8},
        {"end record without line end", data + ":00000001FF", 0, 4},
        {"checksum changed in the second record", data + ":0400140012345678D5\n" + kEnd, 1, 4},
        {"no end record", data, 1, 4},
        {"last data record without line end", ":0400100012345678D8", 1, 4},
        {"empty file", "", 1, 0},
        {"type 02", data + ":020000021000EC\n" + kEnd, 1, 4},
        {"type 05", ":04000005000000CD2A\n" + std::string(kEnd), 1, 0},
        {"type 06", Record(6, 0, {1}) + kEnd, 1, 0},
        {"address record without its address", Record(4, 0, {1}) + data + kEnd, 1, 0},
        {"line noise", "garbage\n", 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(BoardDspReset(board_->GetDriverHandle()), 0u);
        WriteImage("image.dsp", c.image);
        EXPECT_EQ(board_->LoadDSP(board_->GetDriverHandle(), "image"), c.rc);
        EXPECT_EQ(State().bytesLoaded, c.bytesLoaded);
    }
}

TEST_F(LoadDspTest, ExtendedLinearAddressesReachThe32BitAddress) {
    WriteImage("far.dsp", std::string(":020000040001F9\n:0400100012345678D8\n") + Record(4, 0, {0xAB, 0xCD}) +
                              Record(0, 0xFFFE, {1, 2}) + kEnd);
    ASSERT_EQ(board_->LoadDSP(board_->GetDriverHandle(), "far.dsp"), 0);
    EXPECT_EQ(Memory(0x10010, 4), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(Memory(0xABCDFFFE, 2), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(Memory(0x0010, 4), (std::vector<uint8_t>{0, 0, 0, 0}));

    // Each download starts again in the first segment.
    WriteImage("near.dsp", std::string(":0400100012345678D8\n") + kEnd);
    ASSERT_EQ(board_->LoadDSP(board_->GetDriverHandle(), "near.dsp"), 0);
    EXPECT_EQ(Memory(0x0010, 4), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
}

TEST_F(LoadDspTest, ShippedImagesLoadWhole) {
    board_->SetSearchPath(KV_SHARE_DIR);
    ASSERT_EQ(board_->LoadDSP(board_->GetDriverHandle(), "kv100.dsp"), 0);
    EXPECT_EQ(State().bytesLoaded, 5394u);
    std::vector<uint8_t> header = Memory(0, 18);
    EXPECT_EQ(std::string(header.begin(), header.begin() + 8), "KVDSPFW1");

    ASSERT_EQ(BoardDspReset(board_->GetDriverHandle()), 0u);
    ASSERT_EQ(board_->LoadDSP(board_->GetDriverHandle(), "bootdiag.hex"), 0);
    EXPECT_EQ(State().bytesLoaded, 1042u);
    header = Memory(0, 8);
    EXPECT_EQ(std::string(header.begin(), header.end()), "KVDSPDG1");

    char list[4096] = "";
    board_->PrintFileList(list, sizeof(list));
    EXPECT_NE(strstr(list, "kv100.dsp"), nullptr) << list;
    EXPECT_NE(strstr(list, "bootdiag.hex"), nullptr) << list;

    // The diagnostic firmware runs and declares its own revision.
    EXPECT_EQ(dsp_->StartDiagnostic(), 0u);
    EXPECT_EQ(dsp_->GetInfo(), 0u);
    EXPECT_EQ(dsp_->m_FirmwareRevision, 0x0101u);
    EXPECT_TRUE(kvtest::AlertTexts(0x40002001, 2).empty());
}

// ---- The firmware start ----------------------------------------------------------------

TEST_F(LoadDspTest, DamagedImagesLeaveTheDspSilent) {
    const std::string header = kHeaderRecord;
    const std::pair<const char*, std::string> cases[] = {
        {"wrong checksum", header.substr(0, header.size() - 3) + "45\n" + kEnd}, {"no end record", header},
        {"empty", ""}, {"unsupported record", header + ":020000021000EC\n" + kEnd}};
    ASSERT_EQ(dsp_->SetKeywordValue("Image", "bad.dsp"), 0u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        ASSERT_EQ(BoardDspReset(board_->GetDriverHandle()), 0u);
        kvtest::ClearAlerts();
        WriteImage("bad.dsp", c.second);
        sleeps_.Clear();
        EXPECT_EQ(dsp_->StartOperation(), 1u);
        EXPECT_EQ(kvtest::AlertTexts(0x40002001, 2), std::vector<std::string>{"LoadDSP rc 00000001\n"});
        const kvemu::DspState state = State();
        EXPECT_FALSE(state.running);
        EXPECT_TRUE(state.commands.empty());
        EXPECT_TRUE(sleeps_.Pauses().empty());
    }
}

TEST_F(LoadDspTest, StartReportsEachFailingStep) {
    // A missing image: the file search's own message, then the download's.
    ASSERT_EQ(dsp_->SetKeywordValue("Image", "missing.dsp"), 0u);
    EXPECT_EQ(dsp_->StartOperation(), 1u);
    std::vector<std::string> errors = kvtest::AlertTexts(0x40002001, 2);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("missing.dsp"), std::string::npos) << errors[0];
    EXPECT_EQ(errors[1], "LoadDSP rc 00000001\n");

    // An empty image name.
    kvtest::ClearAlerts();
    ASSERT_EQ(dsp_->SetKeywordValue("Image", ""), 0u);
    EXPECT_EQ(dsp_->StartOperation(), 1u);
    EXPECT_EQ(dsp_->Start(nullptr), 1u);
    EXPECT_EQ(kvtest::AlertTexts(0x40002001, 2),
              (std::vector<std::string>{"cDsp::Start() - NULL image\n", "cDsp::Start() - NULL image\n"}));

    // A whole image that is no firmware: the DSP never answers.
    kvtest::ClearAlerts();
    WriteImage("data.dsp", ":0400100012345678D8\n" + std::string(kEnd));
    ASSERT_EQ(dsp_->SetKeywordValue("Image", "data.dsp"), 0u);
    EXPECT_EQ(dsp_->StartOperation(), 1u);
    EXPECT_EQ(kvtest::AlertTexts(0x40002001, 2),
              std::vector<std::string>{
                  "KV driver failed to communicate with embedded processor (1).\n"
                  "Possible causes: stalled processor or failed DSP firmware load.\n"
                  "Ensure CTBus clock configuration provides stable clock to board.\n\n"});
    EXPECT_EQ(sleeps_.Pauses(), std::vector<unsigned>{1000});

    // The DSP start refused by the driver.
    kvtest::ClearAlerts();
    board_->SetSearchPath(KV_SHARE_DIR);
    ASSERT_EQ(dsp_->SetKeywordValue("Image", "kv100.dsp"), 0u);
    ASSERT_EQ(kvemu::SetFault("BoardDspStart", 5, 1), 0);
    EXPECT_EQ(dsp_->StartOperation(), 1u);
    EXPECT_EQ(kvtest::AlertTexts(0x40002001, 2),
              std::vector<std::string>{"cDsp::Start() -  BoardDspStart returns 00000005\n"});

    // The ringer refused.
    kvtest::ClearAlerts();
    ASSERT_EQ(kvemu::SetDspReason(0, 0, 0x07, 3), 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(dsp_->StartOperation(), 1u);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "cDsp::ConfigureRinger() failed for reason 0003.\n");
    EXPECT_EQ(kvtest::AlertTexts(0x40002001, 2),
              std::vector<std::string>{"cDsp::Start() -  ConfigureRinger() returns 00000001\n"});
}

}  // namespace
