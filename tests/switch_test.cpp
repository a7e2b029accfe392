// The switch chip's bring-up, and the requests on the board's switch device: reset, connections, the default
// connections, and the H.100 clock keywords (validation and command). The requests of whole starts are
// compared with the golden journals; here what they cannot show.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>

#include "KvRegisters.h"
#include "T8100.h"
#include "fixtures.h"
#include "kvd/kvdevice.h"

namespace {

using kvtest::Texts;

using T8100Test = kvtest::BoardFixture;

TEST_F(T8100Test, InitializeBringsUpTheChipAndReportsAFailingStepOnce) {
    cT8100 chip(board.get());
    HMICHANDLE hmic = nullptr;
    ASSERT_EQ(kvGetHmicHandle(board->GetDriverHandle(), 0, &hmic), 0u);
    // An early end of stream moves on to the next stream.
    ASSERT_EQ(kvemu::SetFault("hmic_set_output", uint32_t(-3081), 11), 0);
    kvemu::ClearJournal();
    ASSERT_EQ(chip.Initialize(hmic), 0);
    kvemu::SwitchChip state;
    ASSERT_EQ(kvemu::GetSwitchChip(0, 0, &state), 0);
    EXPECT_TRUE(state.initialised);
    EXPECT_EQ(kvtest::Calls("hmic_set_output").at(11), "hmic_set_output 1 1 0 0x40 0 0 0 0x55 = 0");
    const std::tuple<const char*, unsigned, const char*> cases[] = {
        {"hmic_id_device_type", 2, "hmic_id_device_type() failed\n"},
        {"hmic_id_device_type", 1, nullptr},  // only the second identification counts
        {"hmic_set_master_reg", 1, "hmic_set_master_reg() returns -7\n"},
        {"hmic_set_master_reg", 2, "hmic_set_master_reg() returns -7\n"},
        {"hmic_config_connect_mode", 1, "hmic_config_connect_mode() returns -7\n"},
        {"hmic_config_HBus_speed", 6, "hmic_config_HBus_speed() returns -7\n"},
        {"hmic_config_LBus_speed", 3, "hmic_config_LBus_speed returns -7\n"},
        {"hmic_init", 1, "hmic_init() returns -7\n"},
        {"hmic_set_master_reg", 3, "hmic_set_master_reg() returns -7\n"},
        {"hmic_reset_switch", 1, "hmic_reset_switch() returns -7\n"},
        {"hmic_set_master_reg", 4, "hmic_set_master_reg() returns -7\n"},
        {"hmic_set_output", 500, "hmic_set_output() returns -7\n"},
    };
    for (const auto& [function, nth, error] : cases) {
        kvemu::ClearFaults();
        kvtest::ClearAlerts();
        ASSERT_EQ(kvemu::SetFault(function, uint32_t(-7), nth), 0);
        EXPECT_EQ(chip.Initialize(hmic), error ? 1 : 0) << function << " #" << nth;
        EXPECT_EQ(kvtest::Messages(kvtest::kError), error ? Texts{error} : Texts{})
            << function << " #" << nth;
        // Nothing after the failing step, which journals itself.
        EXPECT_TRUE(!error || kvtest::Calls().back().rfind(std::string(function) + " ", 0) == 0)
            << kvtest::Calls().back();
    }
}

class SwitchTest : public kvtest::BoardFixture {
protected:
    void SetUp() override {
        BoardFixture::SetUp();
        ASSERT_EQ(board->SetKeywordValue("Number", "0") + board->AssignLogicalNumber(), 0u);
        ASSERT_GE(board->m_SwitchFd = kvDevOpen("/dev/kvsw00", O_RDONLY), 0);
        kvtest::ClearAlerts();
        kvemu::ClearJournal();
    }
    void TearDown() override { kvDevClose(board->m_SwitchFd); }
    static Texts Requests() {
        Texts requests = kvtest::Calls("ioctl");
        for (std::string& request : requests) request.erase(0, 6);
        return requests;
    }
    static Texts Errors() { return kvtest::Messages(kvtest::kError); }
};

TEST_F(SwitchTest, ResetAndConnectAndTheirFailures) {
    EXPECT_EQ(board->Connect(4, 9, 0, 8), 0u);
    EXPECT_EQ(board->ResetSwitch(), 0u);
    EXPECT_EQ(Requests(), (Texts{"259 36 1 0 8 2 1 4 9 0 = 0", "257 0 = 0"}));
    // Failed requests report the system error number, each family in its own format.
    ASSERT_EQ(kvemu::SetFault("ioctl", EIO, 1), 0);
    EXPECT_EQ(board->ResetSwitch(), 1u);
    ASSERT_EQ(kvemu::SetFault("ioctl", EBUSY, 1), 0);
    EXPECT_EQ(board->Connect(4, 9, 0, 9), 1u);
    EXPECT_EQ(Errors(), (Texts{"MVIP95_CMD_RESET_SWITCH returns 5 (00000005h)\n",
                               "MVIP95_CMD_SET_OUTPUT returns 16 (00000010h)\n"}));
}

TEST_F(SwitchTest, DefaultConnectionsStopAtTheFirstFailure) {
    // The population changes after the map was made: station 17 has no timeslot.
    ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, 0x20), 0);
    ASSERT_EQ(board->MapPortGroups(), 0u);
    ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, 0x60), 0);
    EXPECT_EQ(board->NailDefaultConnections(), 1u);
    EXPECT_EQ(Requests().size(), 64u);
    // A failed request: the third connection of station 5 is request 19.
    ASSERT_EQ(board->MapPortGroups(), 0u);
    kvemu::ClearJournal();
    ASSERT_EQ(kvemu::SetFault("ioctl", EBUSY, 19), 0);
    EXPECT_EQ(board->NailDefaultConnections(), 1u);
    EXPECT_EQ(Requests().size(), 19u);
    ASSERT_EQ(kvemu::SetFault("BoardReadByte", 5, 1), 0);  // without the population nothing is connected
    EXPECT_EQ(board->NailDefaultConnections(), 1u);
    EXPECT_EQ(
        Errors(),
        (Texts{"CKvBoard::NailDefaultConnections() - station 17 has no logical timeslot\n",
               "MVIP95_CMD_SET_OUTPUT returns 16 (00000010h)\n",
               "CKvBoard::NailDefaultConnections() - BoardReadByte(000a0008h) returns 5 (00000005h)\n"}));
}

// Replaces the board's "Clocking" with one of free-text values, so that any text can be set.
CZelKWStruct* Clocking(CKvBoard& board, const char* mode, const char* source, const char* autoFallBack = "NO",
                       const char* fallBack = "OSC") {
    CZelKeyword* values[] = {new CZelKWStr("ClockSource", source, nullptr, 0, 0, 16),
                             new CZelKWStr("ClockMode", mode, nullptr, 0, 0, 16),
                             new CZelKWStr("AutoFallBack", autoFallBack, nullptr, 0, 0, 16),
                             new CZelKWStr("FallBackClockSource", fallBack, nullptr, 0, 0, 16)};
    CZelKeyword* hbus[] = {new CZelKWStruct("HBus", values, 4)};
    board.RemoveKeyword("Clocking");
    board.AddKeyword(new CZelKWStruct("Clocking", hbus, 1));
    return dynamic_cast<CZelKWStruct*>(board.GetKeywordByName("Clocking"));
}

TEST_F(SwitchTest, ValidationAcceptsOnlyTheAllowedCombinations) {
    const char* sources[] = {"OSC", "a_clock", "B_CLOCK", "NETREF", "netref1", "NETREF2", "XTAL", ""};
    // Allowed sources marked in the order above; a refusal shows the mode's and the source's own spelling.
    const std::tuple<const char*, const char*, const char*> modes[] = {{"MASTER_A", "y.yyyy..", "'  and  "},
                                                                       {"master_b", "yy.yyy..", "' and "},
                                                                       {"SLAVE", ".yy.....", "' and "},
                                                                       {"Standalone", "y.......", "' and "}};
    for (const auto& [mode, allowed, separator] : modes)
        for (unsigned s = 0; s < 8; ++s) {
            kvtest::ClearAlerts();
            Clocking(*board, mode, sources[s]);
            EXPECT_EQ(board->KeywordsValidate(), allowed[s] == 'y');
            EXPECT_EQ(kvtest::Messages(kvtest::kWarning),
                      allowed[s] == 'y'
                          ? Texts{}
                          : Texts{"CKvBoard::KeywordsValidate() - invalid combination:\nClockMode = '" +
                                  std::string(mode) + separator + "ClockSource = '" + sources[s] + "'\n"})
                << mode << " / " << sources[s];
        }
    kvtest::ClearAlerts();
    Clocking(*board, "MASTER", "OSC");
    EXPECT_FALSE(board->KeywordsValidate());
    dynamic_cast<CZelKWStruct*>(board->GetKeywordByName("Clocking.HBus"))->RemoveKeyword("ClockSource");
    EXPECT_FALSE(board->KeywordsValidate());
    EXPECT_EQ(
        kvtest::Messages(kvtest::kWarning),
        (Texts{"CKvBoard::KeywordsValidate() - unknown mode 'MASTER'\n",
               "CKvBoard::KeywordsValidate() - expected keyword 'Clocking.HBus.ClockSource' not found\n"}));
}

TEST_F(SwitchTest, ClockRecordCarriesTheCodesOfEveryCombination) {
    const std::pair<const char*, uint32_t> sources[] = {{"OSC", 1},     {"a_clock", 8},  {"B_CLOCK", 9},
                                                        {"NETREF", 10}, {"NETREF1", 10}, {"NetRef2", 11}};
    const std::pair<const char*, uint32_t> modes[] = {
        {"MASTER_A", 1}, {"MASTER_B", 2}, {"slave", 0}, {"STANDALONE", 3}};
    for (const auto& [mode, modeCode] : modes)
        for (unsigned s = 0; s < 6; ++s) {
            // Every source as the fall-back of another; "yes" in any case turns fall-back on, other texts
            // off.
            const auto &source = sources[s], &fallBack = sources[(s + 1) % 6];
            ASSERT_EQ(
                board->Clock(Clocking(*board, mode, source.first, s % 2 ? "yes" : "no", fallBack.first)), 0u);
            uint32_t record[9];
            ASSERT_TRUE(kvemu::GetClockRecord(0, 0, record));
            EXPECT_EQ(
                std::vector<uint32_t>(record, record + 9),
                (std::vector<uint32_t>{36, 5, source.second, 1, modeCode, s % 2, 0, fallBack.second, 1}))
                << mode << " " << source.first;
        }
    // Missing keywords and values outside the tables send nothing.
    kvemu::ClearJournal();
    CZelKWStruct* noMode = Clocking(*board, "SLAVE", "A_CLOCK");
    dynamic_cast<CZelKWStruct*>(noMode->GetKeywordByName("HBus"))->RemoveKeyword("ClockMode");
    EXPECT_EQ(board->Clock(noMode) + board->Clock(Clocking(*board, "SLAVE", "XTAL")) +
                  board->Clock(Clocking(*board, "SLAVE", "OSC", "NO", "")) +
                  board->Clock(Clocking(*board, "X", "OSC")),
              4u);
    EXPECT_EQ(kvtest::Messages(kvtest::kWarning),
              Texts{"CKvBoard::Clock() - expected keyword 'Clocking.HBus.ClockMode' not found\n"});
    EXPECT_TRUE(Requests().empty());
    // A combination that validation refuses is still sent; a failed request is an error.
    EXPECT_EQ(board->Clock(Clocking(*board, "MASTER_A", "A_CLOCK")), 0u);
    ASSERT_EQ(kvemu::SetFault("ioctl", ENODEV, 1), 0);
    EXPECT_EQ(board->Clock(Clocking(*board, "MASTER_A", "A_CLOCK")), 1u);
    EXPECT_EQ(Errors(), Texts{"MVIP95_CMD_CONFIG_BOARD_CLOCK returns 0x00000013\n"});
}

}  // namespace
