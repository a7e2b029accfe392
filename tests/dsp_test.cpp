// The DSP command channel: the records sent, the replies accepted, and the
// texts printed when the DSP or the driver fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Dsp.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"

namespace {

// A stand-in for kvSendMessage that records the command and answers with a
// prepared reply, including replies the emulated DSP never sends.
struct Exchange {
    std::vector<uint16_t> words;  // the command as 16-bit words (manager_id takes two)
    __DSP_UP_MESSAGE__ reply;
    uint32_t status = 0;
    unsigned calls = 0;
} g_Exchange;

uint32_t SendStandIn(KVHANDLE, const void* command, uint32_t length, void* reply, uint32_t) {
    ++g_Exchange.calls;
    g_Exchange.words.assign(length / 2, 0);
    memcpy(g_Exchange.words.data(), command, length);
    if (g_Exchange.status == 0) memcpy(reply, &g_Exchange.reply, sizeof(g_Exchange.reply));
    return g_Exchange.status;
}

__DSP_UP_MESSAGE__ Reply(uint16_t type, uint16_t length, std::vector<uint16_t> params, uint16_t target = 0x8000) {
    __DSP_UP_MESSAGE__ reply = {};
    reply.manager_id = 2;
    reply.event.length = length;
    reply.event.target = target;
    reply.event.type = type;
    for (size_t i = 0; i < params.size(); ++i) reply.event.params[i] = params[i];
    return reply;
}

const std::vector<uint16_t> kDefaultRing = {2000, 2000, 0, 0, 0, 0, 4000, 600, 800, 600,
                                            0, 0, 4000, 400, 400, 400, 400, 400, 4000};

// One command family: how to call it, its reply and what it prints.
struct Family {
    const char* name;
    uint16_t code, replyLength;
    std::function<unsigned(cDsp*)> call;
    const char* invalidText;
    const char* reasonText;  // reason 0x42, sensor 3
};

std::vector<Family> Families() {
    uint32_t reading = 0;
    return {
        {"ConfigureG711", 0x06, 6, [](cDsp* d) { d->m_Encoding = 0; return d->ConfigureG711(); },
         "cDsp::SendCommand(0006) Invalid DSP response.\n", "cDsp::SendCommand(0006) failed for reason 0042.\n"},
        {"ConfigureRinger", 0x07, 6, [](cDsp* d) { return d->ConfigureRinger(); },
         "cDsp::ConfigureRinger() Invalid DSP response.\n", "cDsp::ConfigureRinger() failed for reason 0042.\n"},
        {"StartBoardMonitoring", 0x15, 6, [](cDsp* d) { return d->StartBoardMonitoring(); },
         "cDsp::StartBoardMonitoring() Invalid DSP response.\n", "cDsp::StartBoardMonitoring() failed for reason 0042.\n"},
        {"StopBoardMonitoring", 0x16, 6, [](cDsp* d) { return d->StopBoardMonitoring(); },
         "cDsp::StopBoardMonitoring() Invalid DSP response.\n", "cDsp::StopBoardMonitoring() failed for reason 0042.\n"},
        {"StartThermo", 0x11, 7, [](cDsp* d) { return d->StartThermo(3); },
         "cDsp::StartThermo() Invalid DSP resonse.\n", "cDsp::StartThermo() failed for thermo 3, reason 0042.\n"},
        {"StopThermo", 0x12, 7, [](cDsp* d) { return d->StopThermo(3); },
         "cDsp::StopThermo() Invalid DSP response.\n", "cDsp::StopThermo() failed for thermo 3, reason 0042.\n"},
        {"ConfigureThermo", 0x13, 7, [](cDsp* d) { return d->ConfigureThermo(3, 93, 95, 106, 108); },
         "cDsp::ConfigureThermo() Invalid DSP resonse.\n", "cDsp::ConfigureThermo() failed for thermo 3, reason 0042.\n"},
        {"ReadThermo", 0x14, 9, [reading](cDsp* d) mutable { return d->ReadThermo(3, &reading); },
         "cDsp::ReadThermo() Invalid DSP response.\n", "cDsp::ReadThermo() failed for thermo 3, reason 0042.\n"},
        // Last: a reset the DSP carries out would stop it for the others.
        {"SoftReset", 0x00, 6, [](cDsp* d) { return d->SoftReset(); },
         "cDsp::SendCommand(0000) Invalid DSP response.\n", "cDsp::SendCommand(0000) failed for reason 0042.\n"},
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
    kvemu::DspState State() {
        kvemu::DspState state;
        EXPECT_EQ(kvemu::GetDspState(0, 0, &state), 0);
        return state;
    }
    static std::string Printed(const std::function<unsigned()>& operation, unsigned expected) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(operation(), expected);
        return ::testing::internal::GetCapturedStdout();
    }
    std::vector<uint32_t> Info() const {
        return {dsp_->m_FirmwareRevision, dsp_->m_MipsVersion, dsp_->m_NumberPorts, dsp_->m_CpuMeter,
                dsp_->m_TokensAvailable};
    }

    kvtest::SleepRecorder sleeps_;
    std::unique_ptr<CKvBoard> board_;
    cDsp* dsp_ = nullptr;
};

TEST_F(DspTest, CommandRecordsCarryLengthTargetHandleCodeAndParameters) {
    dsp_->m_pSend = SendStandIn;
    const struct { const char* name; std::function<unsigned(cDsp*)> call; std::vector<uint16_t> words; } cases[] = {
        {"mu-law", [](cDsp* d) { d->m_Encoding = 1; return d->ConfigureG711(); }, {2, 0, 5, 0x8000, 0xFFFF, 6, 0}},
        {"A-law", [](cDsp* d) { d->m_Encoding = 0; return d->ConfigureG711(); }, {2, 0, 5, 0x8000, 0xFFFF, 6, 1}},
        {"SoftReset", [](cDsp* d) { return d->SoftReset(); }, {2, 0, 4, 0x8000, 0xFFFF, 0}},
        {"ConfigurePx", [](cDsp* d) { return d->ConfigurePx(); }, {2, 0, 6, 0x8000, 0xFFFF, 4, 0, 2}},
        {"cPci", [](cDsp* d) { return d->SetBoardTypecPci(); }, {2, 0, 5, 0x8000, 0xFFFF, 8, 0}},
        {"Pci", [](cDsp* d) { return d->SetBoardTypePci(); }, {2, 0, 5, 0x8000, 0xFFFF, 8, 1}},
        {"SetInterruptRate", [](cDsp* d) { return d->SetInterruptRate(); }, {2, 0, 6, 0x8000, 0xFFFF, 9, 10, 509}},
        {"ConfigureThermo", [](cDsp* d) { return d->ConfigureThermo(1, 0xFFFFFFFB, 95, 0x10006, 108); },
         {2, 0, 9, 0x8000, 0xFFFF, 0x13, 1, 0xFFFB, 95, 6, 108}},
        {"StartThermo", [](cDsp* d) { return d->StartThermo(4); }, {2, 0, 5, 0x8000, 0xFFFF, 0x11, 4}},
    };
    for (const auto& c : cases) {
        const uint16_t code = c.words[5];
        g_Exchange.reply = Reply(code, code == 0x11 || code == 0x13 ? 7 : 6, {0, 0});
        EXPECT_EQ(c.call(dsp_), 0u) << c.name;
        EXPECT_EQ(g_Exchange.words, c.words) << c.name;  // 2 x length + 4 bytes
    }
}

TEST_F(DspTest, EveryFamilyRejectsBadRepliesWithItsOwnText) {
    dsp_->m_pSend = SendStandIn;
    for (const Family& f : Families()) {
        const uint16_t other = static_cast<uint16_t>(f.code + 1);
        const __DSP_UP_MESSAGE__ bad[] = {
            Reply(f.code, f.replyLength, {0, 3}, 0x0001),  // wrong target
            Reply(other, f.replyLength, {0, 3}),           // wrong type
            Reply(other, f.replyLength, {0x42, 3}),        // wrong type, with a reason
            Reply(f.code, static_cast<uint16_t>(f.replyLength - 1), {0, 3}),
            Reply(f.code, static_cast<uint16_t>(f.replyLength + 1), {0, 3}),
        };
        for (const __DSP_UP_MESSAGE__& reply : bad) {
            g_Exchange.reply = reply;
            EXPECT_EQ(Printed([&] { return f.call(dsp_); }, 1), f.invalidText) << f.name;
        }
        // A sensor refusal names the sensor the reply carries.
        g_Exchange.reply = Reply(f.code, f.replyLength, {0x42, 3});
        EXPECT_EQ(Printed([&] { return f.call(dsp_); }, 1), f.reasonText) << f.name;
        g_Exchange.reply = Reply(f.code, f.replyLength, {0, 3});
        EXPECT_EQ(Printed([&] { return f.call(dsp_); }, 0), "") << f.name;
    }
}

TEST_F(DspTest, ReplyValuesAreKeptOnlyFromAnAcceptedExchange) {
    dsp_->m_pSend = SendStandIn;
    g_Exchange.reply = Reply(0x77, 1, {0x99, 0x0203, 100, 48, 123, 64}, 0x1234);  // GetInfo checks nothing
    EXPECT_EQ(dsp_->GetInfo(), 0u);
    EXPECT_EQ(g_Exchange.words, (std::vector<uint16_t>{2, 0, 4, 0x8000, 0xFFFF, 3}));
    g_Exchange.status = 110;
    EXPECT_EQ(Printed([&] { return dsp_->GetInfo(); }, 1), "kvSendMessage returns 110\n");
    EXPECT_EQ(Info(), (std::vector<uint32_t>{0x203, 100, 48, 123, 64}));
    g_Exchange.status = 0;
    uint32_t reading = 7;
    g_Exchange.reply = Reply(0x14, 9, {5, 1, 40, 0});
    Printed([&] { return dsp_->ReadThermo(1, &reading); }, 1);
    EXPECT_EQ(reading, 7u);
    g_Exchange.reply = Reply(0x14, 9, {0, 1, 0xFFF6, 0});
    EXPECT_EQ(dsp_->ReadThermo(1, &reading), 0u);
    EXPECT_EQ(reading, 0xFFF6u);  // zero-extended

    // Commands that cannot be built send nothing; thirty-three words fill the record exactly.
    g_Exchange.calls = 0;
    dsp_->m_Encoding = 0xFFFF;
    EXPECT_EQ(Printed([&] { return dsp_->ConfigureG711(); }, 1), "cDsp::ConfigureG711() detected invalid encoding\n");
    std::vector<uint16_t> params(34, 1);
    Printed([&] { return dsp_->SendCommand(0x04, params.data(), 34); }, 1);
    EXPECT_EQ(g_Exchange.calls, 0u);
    g_Exchange.reply = Reply(0x04, 6, {0});
    EXPECT_EQ(dsp_->SendCommand(0x04, params.data(), 33), 0u);
    EXPECT_EQ(g_Exchange.words.size(), 39u);
}

TEST_F(DspTest, DumpEventPrintsTheParametersTheLengthCovers) {
    for (auto c : std::vector<std::pair<uint16_t, size_t>>{{0, 6}, {5, 6}, {7, 8}, {37, 38}, {0xFFFF, 38}}) {
        __DSP_UP_MESSAGE__ message = Reply(0x15, c.first, {0x11, 0x22});
        message.event.timestamp = 0xABCD;
        ::testing::internal::CaptureStdout();
        cDsp::DumpEvent(message);
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(static_cast<size_t>(std::count(out.begin(), out.end(), '\n')), c.second) << c.first;
        EXPECT_TRUE(c.first != 7 ||
                    out == "Message.manager_id     : 00000002\nMessage.event.length   : 0007\n"
                           "Message.event.target   : 8000\nMessage.event.handle   : 0000\n"
                           "Message.event.timestamp: abcd\nMessage.event.type     : 0015\n"
                           "Message.event.params[0]: 0011\nMessage.event.params[1]: 0022\n")
            << out;
    }
}

TEST_F(DspTest, FirmwareStartConfiguresG711ThenTheRingerWithItsKeywords) {
    const struct { const char *keyword, *value; unsigned param; uint16_t expected; } cases[] = {
        {nullptr, nullptr, 0, 2000},          {"Period", "6", 0, 2},               {"Period", "32766", 0, 10922},
        {"Period", "6001", 0, 2000},          {"Cadences[1].Toff2", "250", 10, 250}, {"Cadences[0].Ton1", "32766", 1, 32766},
        {"Cadences[2].Toff3", "0", 18, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.keyword ? c.keyword : "defaults") << "=" << (c.value ? c.value : ""));
        SetUp();
        sleeps_.Clear();
        ASSERT_TRUE(!c.keyword || board_->GetKeywordByName("Ring")->SetKeywordValue(c.keyword, c.value) == 0);
        dsp_->m_Encoding = c.keyword ? 0 : 1;
        ASSERT_EQ(dsp_->StartOperation(), 0u);
        const kvemu::DspState state = State();
        EXPECT_TRUE(state.running);
        EXPECT_EQ(state.commands, (std::vector<uint16_t>{0x06, 0x07}));
        EXPECT_EQ(state.law, c.keyword ? 1 : 0);  // A-law is sent as 1, mu-law as 0
        std::vector<uint16_t> expected = kDefaultRing;
        expected[c.param] = c.expected;
        EXPECT_EQ(std::vector<uint16_t>(state.ring, state.ring + 19), expected);
        EXPECT_EQ(sleeps_.Pauses(), std::vector<unsigned>{1000});
        EXPECT_TRUE(kvtest::AlertTexts(0x40002001, 2).empty());
    }
    // The DSP reports what the operational image declares.
    EXPECT_EQ(dsp_->GetInfo(), 0u);
    EXPECT_EQ(Info(), (std::vector<uint32_t>{0x203, 100, 48, 123, 64}));
}

TEST_F(DspTest, SensorAndMonitoringCommandsReachTheDsp) {
    dsp_->m_Encoding = 1;
    ASSERT_EQ(dsp_->StartOperation(), 0u);
    ASSERT_EQ(kvemu::SetTemperature(0, 0, 3, 47), 0);
    EXPECT_EQ(dsp_->ConfigureThermo(3, 93, 95, 106, 108), 0u);
    EXPECT_EQ(dsp_->StartThermo(3), 0u);
    uint32_t reading = 0;
    EXPECT_EQ(dsp_->ReadThermo(3, &reading), 0u);
    EXPECT_EQ(reading, 47u);
    EXPECT_EQ(dsp_->StartBoardMonitoring(), 0u);
    kvemu::DspState state = State();
    const auto& sensor = state.sensors[3];
    EXPECT_TRUE(sensor.configured && sensor.running && state.monitoring);
    EXPECT_EQ((std::vector<uint16_t>{sensor.warningLow, sensor.warningHigh, sensor.protectionLow, sensor.protectionHigh}),
              (std::vector<uint16_t>{93, 95, 106, 108}));
    EXPECT_EQ(dsp_->StopThermo(3), 0u);
    EXPECT_EQ(dsp_->StopBoardMonitoring(), 0u);
    state = State();
    EXPECT_FALSE(state.sensors[3].running || state.monitoring);
}

TEST_F(DspTest, DspRefusalsAndDriverFailuresArePrinted) {
    // Before any firmware runs the DSP is silent.
    dsp_->m_Encoding = 1;
    EXPECT_EQ(Printed([&] { return dsp_->ConfigureG711(); }, 1).rfind("kvSendMessage returns ", 0), 0u);

    ASSERT_EQ(dsp_->StartOperation(), 0u);
    for (const Family& f : Families()) {
        ASSERT_EQ(kvemu::SetDspReason(0, 0, f.code, 0x42), 0);
        EXPECT_EQ(Printed([&] { return f.call(dsp_); }, 1), f.reasonText) << f.name;
        ASSERT_EQ(kvemu::SetDspReason(0, 0, f.code, 0), 0);
        ASSERT_EQ(kvemu::SetFault("kvSendMessage", 110, 1), 0);
        EXPECT_EQ(Printed([&] { return f.call(dsp_); }, 1), "kvSendMessage returns 110\n") << f.name;
    }
    // The DSP answers a sensor command with the sensor word too, which a
    // command expecting the bare reason rejects.
    EXPECT_EQ(Printed([&] { return dsp_->SendCommand(0x11, 1); }, 1), "cDsp::SendCommand(0011) Invalid DSP response.\n");
}

}  // namespace
