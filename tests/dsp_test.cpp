// The DSP command channel: records sent, replies accepted, texts printed on failures.
#include "Dsp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"

namespace {

// A kvSendMessage stand-in: records the command, answers any prepared reply.
struct Exchange {
    std::vector<uint16_t> words;  // the command as 16-bit words (manager_id takes two)
    __DSP_UP_MESSAGE__ reply;
    uint32_t status = 0;
} g_Exchange;

uint32_t SendStandIn(KVHANDLE, const void* command, uint32_t length, void* reply, uint32_t) {
    g_Exchange.words.assign(length / 2, 0);
    memcpy(g_Exchange.words.data(), command, length);
    if (g_Exchange.status == 0) memcpy(reply, &g_Exchange.reply, sizeof(g_Exchange.reply));
    return g_Exchange.status;
}

__DSP_UP_MESSAGE__ Reply(uint16_t type, uint16_t length, std::vector<uint16_t> params,
                         uint16_t target = 0x8000) {
    __DSP_UP_MESSAGE__ reply = {2, {length, target, 0, 0, type, {}}};
    std::copy(params.begin(), params.end(), reply.event.params);
    return reply;
}

struct Family {
    const char* invalidText;
    uint16_t code, replyLength;
    std::function<unsigned(cDsp*)> call;
    // A refusal (reason 0x42) names the sensor for sensor commands, whose replies are longer.
    std::string ReasonText() const {
        return std::string(invalidText, strstr(invalidText, " Invalid") - invalidText) +
               (replyLength > 6 ? " failed for thermo 3, reason 0042.\n" : " failed for reason 0042.\n");
    }
};

std::vector<Family> Families() {
    uint32_t reading = 0;
    return {
        {"cDsp::SendCommand(0006) Invalid DSP response.\n", 0x06, 6,
         [](cDsp* d) {
             d->m_Encoding = 0;
             return d->ConfigureG711();
         }},
        {"cDsp::ConfigureRinger() Invalid DSP response.\n", 0x07, 6,
         [](cDsp* d) { return d->ConfigureRinger(); }},
        {"cDsp::StartBoardMonitoring() Invalid DSP response.\n", 0x15, 6,
         [](cDsp* d) { return d->StartBoardMonitoring(); }},
        {"cDsp::StopBoardMonitoring() Invalid DSP response.\n", 0x16, 6,
         [](cDsp* d) { return d->StopBoardMonitoring(); }},
        {"cDsp::StartThermo() Invalid DSP resonse.\n", 0x11, 7, [](cDsp* d) { return d->StartThermo(3); }},
        {"cDsp::StopThermo() Invalid DSP response.\n", 0x12, 7, [](cDsp* d) { return d->StopThermo(3); }},
        {"cDsp::ConfigureThermo() Invalid DSP resonse.\n", 0x13, 7,
         [](cDsp* d) { return d->ConfigureThermo(3, 93, 95, 106, 108); }},
        {"cDsp::ReadThermo() Invalid DSP response.\n", 0x14, 9,
         [reading](cDsp* d) mutable { return d->ReadThermo(3, &reading); }},
        // Last: a reset the DSP carries out would stop it for the others.
        {"cDsp::SendCommand(0000) Invalid DSP response.\n", 0x00, 6, [](cDsp* d) { return d->SoftReset(); }},
    };
}

class DspTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        g_Exchange = Exchange();
        board_.reset(new CKvBoard("b0", "KV 7400C-48"));
        board_->SetSearchPath(KV_SHARE_DIR);
        dsp_ = dynamic_cast<cDsp*>(board_->GetKeywordByName("Dsp"));
        ASSERT_NE(dsp_, nullptr);
    }
    static std::string Printed(const std::function<unsigned()>& operation, unsigned expected) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(operation(), expected);
        return ::testing::internal::GetCapturedStdout();
    }

    kvtest::SleepRecorder sleeps_;
    std::unique_ptr<CKvBoard> board_;
    cDsp* dsp_ = nullptr;
};

// The records of a start, both laws' among them, are compared whole with the golden journals; here values
// wider than a word.
TEST_F(DspTest, CommandRecordsCarryLengthTargetHandleCodeAndParameters) {
    dsp_->m_pSend = SendStandIn;
    g_Exchange.reply = Reply(0x13, 7, {0, 0});
    EXPECT_EQ(dsp_->ConfigureThermo(1, 0xFFFFFFFB, 95, 0x10006, 108), 0u);
    EXPECT_EQ(g_Exchange.words,
              (std::vector<uint16_t>{2, 0, 9, 0x8000, 0xFFFF, 0x13, 1, 0xFFFB, 95, 6, 108}));
}

TEST_F(DspTest, EveryFamilyRejectsBadRepliesWithItsOwnText) {
    dsp_->m_pSend = SendStandIn;
    for (const Family& f : Families()) {
        const __DSP_UP_MESSAGE__ bad[] = {
            Reply(f.code, f.replyLength, {0, 3}, 0x0001),                        // wrong target
            Reply(static_cast<uint16_t>(f.code + 1), f.replyLength, {0x42, 3}),  // wrong type, with a reason
            Reply(f.code, static_cast<uint16_t>(f.replyLength - 1), {0, 3}),
            Reply(f.code, static_cast<uint16_t>(f.replyLength + 1), {0, 3}),
        };
        for (const __DSP_UP_MESSAGE__& reply : bad) {
            g_Exchange.reply = reply;
            EXPECT_EQ(Printed([&] { return f.call(dsp_); }, 1), f.invalidText);
        }
        g_Exchange.reply = Reply(f.code, f.replyLength, {0, 3});
        EXPECT_EQ(Printed([&] { return f.call(dsp_); }, 0), "") << f.invalidText;
    }
}

TEST_F(DspTest, ReplyValuesAreKeptOnlyFromAnAcceptedExchange) {
    dsp_->m_pSend = SendStandIn;
    uint32_t reading = 7;
    g_Exchange.reply = Reply(0x14, 9, {5, 1, 40, 0});
    Printed([&] { return dsp_->ReadThermo(1, &reading); }, 1);
    EXPECT_EQ(reading, 7u);
    g_Exchange.reply = Reply(0x14, 9, {0, 1, 0xFFF6, 0});
    EXPECT_EQ(dsp_->ReadThermo(1, &reading), 0u);
    EXPECT_EQ(reading, 0xFFF6u);  // zero-extended
    // Commands that cannot be built send nothing; thirty-three words fill the record exactly.
    g_Exchange.words.clear();
    dsp_->m_Encoding = 0xFFFF;
    EXPECT_EQ(Printed([&] { return dsp_->ConfigureG711(); }, 1),
              "cDsp::ConfigureG711() detected invalid encoding\n");
    std::vector<uint16_t> params(34, 1);
    Printed([&] { return dsp_->SendCommand(0x04, params.data(), 34); }, 1);
    EXPECT_TRUE(g_Exchange.words.empty());
    g_Exchange.reply = Reply(0x04, 6, {0});
    EXPECT_EQ(dsp_->SendCommand(0x04, params.data(), 33), 0u);
    EXPECT_EQ(g_Exchange.words.size(), 39u);
}

TEST_F(DspTest, DumpEventPrintsOnlyTheParametersTheRecordHolds) {
    for (auto c : std::vector<std::pair<uint16_t, size_t>>{{0, 6}, {7, 8}, {0xFFFF, 38}}) {
        ::testing::internal::CaptureStdout();
        cDsp::DumpEvent(Reply(0x15, c.first, {0x11, 0x22}));
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(static_cast<size_t>(std::count(out.begin(), out.end(), '\n')), c.second) << c.first;
    }
}

TEST_F(DspTest, FirmwareStartConfiguresG711ThenTheRingerWithItsKeywords) {
    const struct {
        const char *keyword, *value;
        unsigned param;
        uint16_t expected;
    } cases[] = {{nullptr, nullptr, 0, 2000},
                 {"Period", "6", 0, 2},
                 {"Period", "6001", 0, 2000},
                 {"Cadences[1].Toff2", "250", 10, 250}};
    for (const auto& c : cases) {
        SetUp();
        sleeps_.Clear();
        ASSERT_TRUE(!c.keyword || board_->GetKeywordByName("Ring")->SetKeywordValue(c.keyword, c.value) == 0);
        dsp_->m_Encoding = c.keyword ? 0 : 1;
        ASSERT_EQ(dsp_->StartOperation(), 0u);
        kvemu::DspState state;
        ASSERT_EQ(kvemu::GetDspState(0, 0, &state), 0);
        EXPECT_EQ(state.commands, (std::vector<uint16_t>{0x06, 0x07}));
        EXPECT_EQ(state.ring[c.param], c.expected) << c.keyword << "=" << c.value;
        EXPECT_EQ(sleeps_.Pauses(), std::vector<unsigned>{1000});
    }
}

TEST_F(DspTest, CommandsReachTheDspAndItsRefusalsArePrinted) {
    dsp_->m_Encoding = 1;
    ASSERT_EQ(dsp_->StartOperation(), 0u);
    ASSERT_EQ(kvemu::SetTemperature(0, 0, 3, 47), 0);
    uint32_t reading = 0;
    EXPECT_EQ(
        dsp_->ConfigureThermo(3, 93, 95, 106, 108) + dsp_->StartThermo(3) + dsp_->ReadThermo(3, &reading),
        0u);
    EXPECT_EQ(reading, 47u);
    for (const Family& f : Families()) {
        ASSERT_EQ(kvemu::SetDspReason(0, 0, f.code, 0x42), 0);
        EXPECT_EQ(Printed([&] { return f.call(dsp_); }, 1), f.ReasonText());
        ASSERT_EQ(kvemu::SetFault("kvSendMessage", 110, 1), 0);
        EXPECT_EQ(Printed([&] { return f.call(dsp_); }, 1), "kvSendMessage returns 110\n") << f.invalidText;
    }
    // The DSP answers a sensor command with the sensor word too, which a
    // command expecting the bare reason rejects.
    EXPECT_EQ(Printed([&] { return dsp_->SendCommand(0x11, 1); }, 1),
              "cDsp::SendCommand(0011) Invalid DSP response.\n");
}

}  // namespace
