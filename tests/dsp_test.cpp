// The DSP command channel (records sent, replies accepted, texts printed on failures), the ringer, and the
// thermal sensors whose thresholds go to the DSP.
#include "Dsp.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "Thermo.h"
#include "fixtures.h"

namespace {

using Words = std::vector<uint16_t>;

// A kvSendMessage stand-in: records the command, answers the prepared reply.
struct Exchange {
    Words words;  // the command as 16-bit words (manager_id takes two)
    __DSP_UP_MESSAGE__ reply;
    uint32_t status = 0;
} g_Exchange;

uint32_t SendStandIn(KVHANDLE, const void* command, uint32_t length, void* reply, uint32_t) {
    g_Exchange.words.assign(length / 2, 0);
    memcpy(g_Exchange.words.data(), command, length);
    if (g_Exchange.status == 0) memcpy(reply, &g_Exchange.reply, sizeof(g_Exchange.reply));
    return g_Exchange.status;
}

__DSP_UP_MESSAGE__ Reply(uint16_t type, uint16_t length, Words params, uint16_t target = 0x8000) {
    __DSP_UP_MESSAGE__ reply = {2, {length, target, 0, 0, type, {}}};
    std::copy(params.begin(), params.end(), reply.event.params);
    return reply;
}

// A family of commands: its texts, code and reply length, and one call of it.
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
         [](cDsp* d) { return d->m_Encoding = 0, d->ConfigureG711(); }},
        {"cDsp::ConfigureRinger() Invalid DSP response.\n", 0x07, 6,
         [](cDsp* d) { return d->ConfigureRinger(); }},
        {"cDsp::StartBoardMonitoring() Invalid DSP response.\n", 0x15, 6,
         [](cDsp* d) { return d->StartBoardMonitoring(); }},
        {"cDsp::StartThermo() Invalid DSP resonse.\n", 0x11, 7, [](cDsp* d) { return d->StartThermo(3); }},
        {"cDsp::ConfigureThermo() Invalid DSP resonse.\n", 0x13, 7,
         [](cDsp* d) { return d->ConfigureThermo(3, 93, 95, 106, 108); }},
        {"cDsp::ReadThermo() Invalid DSP response.\n", 0x14, 9,
         [reading](cDsp* d) mutable { return d->ReadThermo(3, &reading); }},
    };
}

class DspTest : public kvtest::BoardFixture {
protected:
    void SetUp() override {
        BoardFixture::SetUp();
        g_Exchange = Exchange();
        ASSERT_NE(dsp = dynamic_cast<cDsp*>(board->GetKeywordByName("Dsp")), nullptr);
    }
    static std::string Printed(const std::function<unsigned()>& operation, unsigned expected) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(operation(), expected);
        return ::testing::internal::GetCapturedStdout();
    }
    cDsp* dsp = nullptr;
};

TEST_F(DspTest, EveryFamilyRejectsBadRepliesWithItsOwnText) {
    dsp->m_pSend = SendStandIn;
    for (const Family& f : Families()) {
        for (const __DSP_UP_MESSAGE__& reply :
             {Reply(f.code, f.replyLength, {0, 3}, 0x0001),  // wrong target
              Reply(static_cast<uint16_t>(f.code + 1), f.replyLength,
                    {0x42, 3}),  // wrong type, with a reason
              Reply(f.code, static_cast<uint16_t>(f.replyLength - 1), {0, 3}),
              Reply(f.code, static_cast<uint16_t>(f.replyLength + 1), {0, 3})}) {
            g_Exchange.reply = reply;
            EXPECT_EQ(Printed([&] { return f.call(dsp); }, 1), f.invalidText);
        }
        g_Exchange.reply = Reply(f.code, f.replyLength, {0, 3});
        EXPECT_EQ(Printed([&] { return f.call(dsp); }, 0), "") << f.invalidText;
    }
}

// A reading is taken only from an accepted reply (the report shows -1 for a sensor without one).
TEST_F(DspTest, ReplyValuesAreKeptOnlyFromAnAcceptedExchange) {
    dsp->m_pSend = SendStandIn;
    uint32_t reading = 7;
    g_Exchange.reply = Reply(0x14, 9, {5, 1, 40, 0});
    Printed([&] { return dsp->ReadThermo(1, &reading); }, 1);
    EXPECT_EQ(reading, 7u);
    g_Exchange.reply = Reply(0x14, 9, {0, 1, 0xFFF6, 0});
    EXPECT_EQ(dsp->ReadThermo(1, &reading), 0u);
    EXPECT_EQ(reading, 0xFFF6u);  // zero-extended
    dsp->m_Encoding = 0xFFFF;
    EXPECT_EQ(Printed([&] { return dsp->ConfigureG711(); }, 1),
              "cDsp::ConfigureG711() detected invalid encoding\n");
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
        pauses.Clear();
        ASSERT_TRUE(!c.keyword || board->GetKeywordByName("Ring")->SetKeywordValue(c.keyword, c.value) == 0);
        dsp->m_Encoding = c.keyword ? 0 : 1;
        ASSERT_EQ(dsp->StartOperation(), 0u);
        EXPECT_EQ(kvtest::Dsp().commands, (Words{0x06, 0x07}));
        EXPECT_EQ(kvtest::Dsp().ring[c.param], c.expected) << c.keyword << "=" << c.value;
        EXPECT_EQ(pauses.Pauses(), std::vector<unsigned>{1000});
    }
}

TEST_F(DspTest, CommandsReachTheDspAndItsRefusalsArePrinted) {
    dsp->m_Encoding = 1;
    ASSERT_EQ(dsp->StartOperation(), 0u);
    ASSERT_EQ(kvemu::SetTemperature(0, 0, 3, 47), 0);
    uint32_t reading = 0;
    EXPECT_EQ(dsp->ConfigureThermo(3, 93, 95, 106, 108) + dsp->StartThermo(3) + dsp->ReadThermo(3, &reading),
              0u);
    EXPECT_EQ(reading, 47u);
    for (const Family& f : Families()) {
        ASSERT_EQ(kvemu::SetDspReason(0, 0, f.code, 0x42), 0);
        EXPECT_EQ(Printed([&] { return f.call(dsp); }, 1), f.ReasonText());
        ASSERT_EQ(kvemu::SetFault("kvSendMessage", 110, 1), 0);
        EXPECT_EQ(Printed([&] { return f.call(dsp); }, 1), "kvSendMessage returns 110\n") << f.invalidText;
    }
    // The DSP answers a sensor command with the sensor word too, which a command expecting the bare reason
    // rejects.
    EXPECT_EQ(Printed([&] { return dsp->SendCommand(0x11, 1); }, 1),
              "cDsp::SendCommand(0011) Invalid DSP response.\n");
}

// The sensors' defaults reach the DSP at start (the golden journals); here the switch, the limits and the
// threshold checks.
TEST_F(DspTest, SensorsSwitchAndThresholds) {
    EXPECT_EQ(board->GetKeywordByName("Thermos"), nullptr);  // beside the tree, not in it
    cThermo* sensor = dynamic_cast<cThermo*>(board->m_pThermos->GetElement(4));
    // Read without regard to case; a value outside the choices changes nothing.
    for (const auto& [value, enabled] :
         {std::pair<const char*, unsigned>{"dIsAbLe", 0}, {"ENABLE", 1}, {"Maybe", 1}}) {
        sensor->SetKeywordValue("Enable", value);
        EXPECT_EQ(sensor->IsEnabled(), enabled) << value;
    }
    // Limits at their edges.
    const std::tuple<const char*, const char*, bool> limits[] = {
        {"Hysteresis", "255", true},  {"Hysteresis", "256", false}, {"Hysteresis", "-1", false},
        {"Warning", "127", true},     {"Warning", "128", false},    {"Protection", "127", true},
        {"Protection", "128", false}, {"Protection", "0", true},    {"Warning", "-1", false}};
    for (const auto& [name, value, accepted] : limits)
        EXPECT_EQ(sensor->SetKeywordValue(name, value) == 0, accepted) << name << " = " << value;
    // Rejected: no band (low equals high), warning equal to protection or to its band's low edge, a low that
    // wraps below zero, a protection band reaching into the warning band.
    const struct {
        long hysteresis, warning, protection;
        unsigned warningLow, result;
    } cases[] = {{2, 95, 108, 93, 0},
                 {0, 95, 108, 95, 0xFFFFFFFF},
                 {2, 108, 108, 106, 0xFFFFFFFF},
                 {100, 95, 108, 0xFFFFFFFB, 0xFFFFFFFF},
                 {10, 100, 108, 90, 0xFFFFFFFF},
                 {10, 90, 100, 80, 0xFFFFFFFF},
                 {10, 89, 100, 79, 0}};
    for (const auto& c : cases) {
        for (const auto& [name, value] : {std::pair<const char*, long>{"Hysteresis", c.hysteresis},
                                          {"Warning", c.warning},
                                          {"Protection", c.protection}})
            ASSERT_EQ(dynamic_cast<CZelKWInt*>(sensor->GetKeywordByName(name))->SetIntValue(value), 0u);
        EXPECT_EQ(sensor->GetWarningLow(), c.warningLow) << c.warning;
        EXPECT_EQ(sensor->GetProtectionLow(), static_cast<unsigned>(c.protection - c.hysteresis));
        EXPECT_EQ(sensor->Initialize(), c.result) << c.hysteresis << "/" << c.warning << "/" << c.protection;
    }
}

}  // namespace
