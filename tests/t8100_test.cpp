// The switch chip: its register helpers and its bring-up, on the emulator's chip.
#include "T8100.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fake_services.h"
#include "fake_supervisor.h"
#include "kvemu.h"

namespace {

using Texts = std::vector<std::string>;

class T8100Test : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        ASSERT_EQ(kvOpenByBusDeviceFunction(0, 0, 0, &m_Handle), 0u);
        ASSERT_EQ(kvGetHmicHandle(m_Handle, 0, &m_Hmic), 0u);
        kvemu::ClearJournal();
    }
    void TearDown() override { kvClose(m_Handle); }

    // The journal lines of one call (all calls when empty), without the board prefix.
    static Texts Calls(const std::string& name = "") {
        Texts lines;
        for (const std::string& line : kvemu::Journal())
            if (line.compare(4, name.size(), name) == 0) lines.push_back(line.substr(4));
        return lines;
    }

    KVHANDLE m_Handle = nullptr;
    HMICHANDLE m_Hmic = nullptr;
};

TEST_F(T8100Test, ConfigClockWritesTheSourcesRegisters) {
    const struct {
        unsigned source, enable, r0, r3, r2, r7, r9, low24;
    } cases[] = {{0, 1, 0xC4, 0x40, 0xF3, 0x01, 0x00, 6},
                 {1, 1, 0x61, 0x00, 0xFB, 0x00, 0x00, 2},
                 {3, 1, 0x6F, 0x00, 0xFB, 0x00, 0x00, 6},  // index 3: 0x6C + 3
                 {4, 1, 0x82, 0x40, 0x10, 0x03, 0x01, 6},
                 {2, 0, 0x40, 0x40, 0x13, 0x07, 0x03, 6}};  // without enable: reg 2 & 0xF3, reg 0 & 0xDF
    for (const auto& c : cases) {
        hmic_set_control_reg(m_Hmic, 24, 0xA9);
        kvemu::ClearJournal();
        EXPECT_EQ(hmic_config_clock(m_Hmic, 3, c.source, c.enable), 0);
        char text[400];
        snprintf(
            text, sizeof(text),
            "hmic_set_control_reg 0 0x%x = 0|hmic_set_control_reg 3 0x%x = 0|hmic_set_control_reg 2 0x%x = 0|"
            "hmic_set_control_reg 7 0x%x = 0|hmic_set_control_reg 9 0x%x = 0|"
            "hmic_read_control_reg 24 = 0 -> 0xa9|hmic_set_control_reg 24 0x%x = 0",
            c.r0, c.r3, c.r2, c.r7, c.r9, 0xA8 | c.low24);
        std::string journal;
        for (const std::string& line : Calls()) journal += (journal.empty() ? "" : "|") + line;
        EXPECT_EQ(journal, text) << "source " << c.source << " enable " << c.enable;
    }
}

TEST_F(T8100Test, HelpersRefuseBeforeWritingAndMaskNothingAfterAFailedRead) {
    EXPECT_EQ(
        (std::vector<int>{hmic_config_clock(m_Hmic, 0, 1, 0), hmic_config_clock(m_Hmic, 0, 0xFFFFFFFF, 1),
                          hmic_config_sec8k(m_Hmic, 0, 0x200), hmic_config_sec8k(m_Hmic, 0, 1)}),
        (std::vector<int>{-3089, -3083, -3088, -3083}));
    EXPECT_TRUE(kvemu::Journal().empty());
    // Frame sync 0x300: register 1 from the index (0x8C + 5), register 8 all ones.
    EXPECT_EQ(hmic_config_sec8k(m_Hmic, 5, 0x300), 0);
    EXPECT_EQ(Calls(), (Texts{"hmic_set_control_reg 1 0x91 = 0", "hmic_set_control_reg 8 0xff = 0"}));
    kvemu::ClearJournal();
    ASSERT_EQ(kvemu::SetFault("hmic_read_control_reg", uint32_t(-3090), 1), 0);
    EXPECT_EQ(hmic_config_clock(m_Hmic, 0, 2, 1), -3090);
    EXPECT_EQ(Calls("hmic_set_control_reg").size(), 5u);  // register 24 not written
}

TEST_F(T8100Test, InitializeBringsUpTheChip) {
    kvtest::FakeServices board;
    cT8100 chip(&board);
    EXPECT_EQ(chip.Initialize(nullptr), -3097);
    ASSERT_EQ(chip.Initialize(m_Hmic), 0);
    kvemu::SwitchChip state;
    ASSERT_EQ(kvemu::GetSwitchChip(0, 0, &state), 0);
    EXPECT_TRUE(state.initialised);
    EXPECT_EQ(state.connectMode, 0u);
    // Its registers, bus speeds and outputs, call by call, are compared whole with the golden journals.
    // An early end of stream moves on to the next stream.
    ASSERT_EQ(kvemu::SetFault("hmic_set_output", uint32_t(-3081), 11), 0);
    kvemu::ClearJournal();
    ASSERT_EQ(chip.Initialize(m_Hmic), 0);
    EXPECT_EQ(Calls("hmic_set_output ").at(11), "hmic_set_output 1 1 0 0x40 0 0 0 0x55 = 0");
}

TEST_F(T8100Test, EachFailingStepIsReportedOnce) {
    const struct {
        const char* function;
        unsigned nth;
        const char* error;
    } cases[] = {
        {"hmic_id_device_type", 2, "hmic_id_device_type() failed\n"},
        {"hmic_set_master_reg", 1, "hmic_set_master_reg() returns -7\n"},
        {"hmic_config_HBus_speed", 6, "hmic_config_HBus_speed() returns -7\n"},
        {"hmic_config_LBus_speed", 3, "hmic_config_LBus_speed returns -7\n"},
        {"hmic_reset_switch", 1, "hmic_reset_switch() returns -7\n"},
        {"hmic_set_output", 500, "hmic_set_output() returns -7\n"},
        {"hmic_id_device_type", 1, nullptr},  // only the second identification counts
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.function << " #" << c.nth);
        kvemu::ClearFaults();
        kvtest::FakeServices board;
        cT8100 chip(&board);
        ASSERT_EQ(kvemu::SetFault(c.function, uint32_t(-7), c.nth), 0);
        EXPECT_EQ(chip.Initialize(m_Hmic), c.error ? 1 : 0);
        EXPECT_EQ(board.Texts(2), c.error ? Texts{c.error} : Texts{});
        // Nothing after the failing step, which journals itself.
        EXPECT_TRUE(!c.error || Calls().back().rfind(std::string(c.function) + " ", 0) == 0)
            << Calls().back();
    }
}

}  // namespace
