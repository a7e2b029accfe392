// Switch requests on the board's switch device: reset, connections, the
// default connections, and the H.100 clock keywords (validation and command).
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "KvRegisters.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvd/kvdevice.h"
#include "kvemu.h"

namespace {

using Texts = std::vector<std::string>;

class SwitchTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        m_Board.reset(new CKvBoard("b0", "KV 7400C-48"));
        ASSERT_EQ(m_Board->SetKeywordValue("Number", "0"), 0u);
        ASSERT_EQ(m_Board->AssignLogicalNumber(), 0u);
        m_Board->m_SwitchFd = kvDevOpen("/dev/kvsw00", O_RDONLY);
        ASSERT_GE(m_Board->m_SwitchFd, 0);
        kvtest::ClearAlerts();
        kvemu::ClearJournal();
    }
    void TearDown() override { kvDevClose(m_Board->m_SwitchFd); }

    static Texts Requests() {
        Texts lines;
        for (const std::string& line : kvemu::Journal())
            if (line.compare(0, 10, "0:0 ioctl ") == 0) lines.push_back(line.substr(10));
        return lines;
    }
    static Texts Errors() { return kvtest::AlertTexts(0x40002001, 2); }

    std::unique_ptr<CKvBoard> m_Board;
};

TEST_F(SwitchTest, ResetConnectNailStreamsAndFailures) {
    EXPECT_EQ(m_Board->Connect(4, 9, 0, 9), 0u);
    EXPECT_EQ(m_Board->ResetSwitch(), 0u);
    // One record for all timeslots; nothing sent for none.
    m_Board->NailStreams(4, 0, 3);
    m_Board->NailStreams(4, 0, 0);
    EXPECT_EQ(Requests(), (Texts{"259 36 1 0 9 2 1 4 9 0 = 0", "257 0 = 0",
                                 "259 100 1 0 0 2 1 4 0 0 1 0 1 2 1 4 1 0 1 0 2 2 1 4 2 0 = 0"}));
    // 4 + 32 * count no longer fits the size word: reported, nothing sent, the process lives.
    kvemu::ClearJournal();
    m_Board->NailStreams(4, 0, 0x08000000u);
    EXPECT_TRUE(Requests().empty());
    // Failed requests report the system error number, each family in its own format.
    ASSERT_EQ(kvemu::SetFault("ioctl", EIO, 1), 0);
    EXPECT_EQ(m_Board->ResetSwitch(), 1u);
    ASSERT_EQ(kvemu::SetFault("ioctl", EINVAL, 1), 0);
    m_Board->NailStreams(6, 2, 1);
    EXPECT_EQ(Errors(), (Texts{"Memory allocation failed in cKvBoard::NailStreams\n",
                               "MVIP95_CMD_RESET_SWITCH returns 5 (00000005h)\n",
                               "MVIP95_CMD_SET_OUTPUT returns 0x00000016\n"}));
}

// Every default connection of each population is compared with the golden journals (kvoam_e2e_test).
TEST_F(SwitchTest, DefaultConnectionsStopAtTheFirstFailure) {
    // The population changes after the map was made: station 17 has no timeslot.
    ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, 0x20), 0);
    ASSERT_EQ(m_Board->MapPortGroups(), 0u);
    ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, 0x60), 0);
    EXPECT_EQ(m_Board->NailDefaultConnections(), 1u);
    EXPECT_EQ(Requests().size(), 64u);
    // A failed request: the third connection of station 5 is request 19.
    ASSERT_EQ(m_Board->MapPortGroups(), 0u);
    kvemu::ClearJournal();
    ASSERT_EQ(kvemu::SetFault("ioctl", EBUSY, 19), 0);
    EXPECT_EQ(m_Board->NailDefaultConnections(), 1u);
    EXPECT_EQ(Requests().size(), 19u);
    EXPECT_EQ(Errors(), (Texts{"CKvBoard::NailDefaultConnections() - station 17 has no logical timeslot\n",
                               "MVIP95_CMD_SET_OUTPUT returns 16 (00000010h)\n"}));
}

// A "Clocking" structure with free-text values, so that any text can be set.
CZelKWStruct* MakeClocking(const char* mode, const char* source, const char* autoFallBack = "NO",
                           const char* fallBack = "OSC") {
    CZelKeyword* values[] = {new CZelKWStr("ClockSource", source, nullptr, 0, 0, 16),
                             new CZelKWStr("ClockMode", mode, nullptr, 0, 0, 16),
                             new CZelKWStr("AutoFallBack", autoFallBack, nullptr, 0, 0, 16),
                             new CZelKWStr("FallBackClockSource", fallBack, nullptr, 0, 0, 16)};
    CZelKeyword* hbus[] = {new CZelKWStruct("HBus", values, 4)};
    return new CZelKWStruct("Clocking", hbus, 1);
}

TEST_F(SwitchTest, ValidationAcceptsOnlyTheAllowedCombinations) {
    const char* sources[] = {"OSC", "a_clock", "B_CLOCK", "NETREF", "netref1", "NETREF2", "XTAL", ""};
    // Allowed sources marked in the order above; a refusal shows the mode's and the source's own spelling.
    const struct {
        const char *value, *allowed, *separator;
    } modes[] = {{"MASTER_A", "y.yyyy..", "'  and  "},
                 {"master_b", "yy.yyy..", "' and "},
                 {"SLAVE", ".yy.....", "' and "},
                 {"Standalone", "y.......", "' and "}};
    for (const auto& m : modes)
        for (unsigned s = 0; s < 8; ++s) {
            kvtest::ClearAlerts();
            m_Board->RemoveKeyword("Clocking");
            ASSERT_EQ(m_Board->AddKeyword(MakeClocking(m.value, sources[s])), 0u);
            const bool allowed = m.allowed[s] == 'y';
            EXPECT_EQ(m_Board->KeywordsValidate(), allowed);
            EXPECT_EQ(
                kvtest::AlertTexts(0x40002001, 1),
                allowed ? Texts{}
                        : Texts{"CKvBoard::KeywordsValidate() - invalid combination:\nClockMode = '" +
                                std::string(m.value) + m.separator + "ClockSource = '" + sources[s] + "'\n"})
                << m.value << " / " << sources[s];
        }
    m_Board->RemoveKeyword("Clocking");
    ASSERT_EQ(m_Board->AddKeyword(MakeClocking("MASTER", "OSC")), 0u);
    EXPECT_FALSE(m_Board->KeywordsValidate());
    EXPECT_EQ(kvtest::AlertTexts(0x40002001, 1).back(),
              "CKvBoard::KeywordsValidate() - unknown mode 'MASTER'\n");
}

TEST_F(SwitchTest, ClockRecordCarriesTheCodesOfEveryCombination) {
    const std::pair<const char*, uint32_t> sources[] = {{"OSC", 1},     {"a_clock", 8},  {"B_CLOCK", 9},
                                                        {"NETREF", 10}, {"NETREF1", 10}, {"NetRef2", 11}};
    const std::pair<const char*, uint32_t> modes[] = {
        {"MASTER_A", 1}, {"MASTER_B", 2}, {"slave", 0}, {"STANDALONE", 3}};
    for (const auto& mode : modes)
        for (unsigned s = 0; s < 6; ++s) {
            // Every source as the fall-back of another; "yes" in any case turns fall-back on, other texts
            // off.
            const auto &source = sources[s], &fallBack = sources[(s + 1) % 6];
            std::unique_ptr<CZelKWStruct> clocking(
                MakeClocking(mode.first, source.first, s % 2 ? "yes" : "no", fallBack.first));
            ASSERT_EQ(m_Board->Clock(clocking.get()), 0u) << mode.first << " " << source.first;
            uint32_t record[9];
            ASSERT_TRUE(kvemu::GetClockRecord(0, 0, record));
            EXPECT_EQ(
                std::vector<uint32_t>(record, record + 9),
                (std::vector<uint32_t>{36, 5, source.second, 1, mode.second, s % 2, 0, fallBack.second, 1}))
                << mode.first << " " << source.first;
        }
    // Missing keywords and values outside the tables send nothing.
    kvemu::ClearJournal();
    std::unique_ptr<CZelKWStruct> noMode(MakeClocking("SLAVE", "A_CLOCK")),
        outside(MakeClocking("SLAVE", "XTAL")), badFallBack(MakeClocking("SLAVE", "OSC", "NO", ""));
    static_cast<CZelKWStruct*>(noMode->GetKeywordByName("HBus"))->RemoveKeyword("ClockMode");
    EXPECT_EQ(
        m_Board->Clock(noMode.get()) + m_Board->Clock(outside.get()) + m_Board->Clock(badFallBack.get()), 3u);
    EXPECT_EQ(kvtest::AlertTexts(0x40002001, 1),
              Texts{"CKvBoard::Clock() - expected keyword 'Clocking.HBus.ClockMode' not found\n"});
    EXPECT_TRUE(Requests().empty());
    // A combination that validation refuses is still sent; a failed request is an error.
    std::unique_ptr<CZelKWStruct> clocking(MakeClocking("MASTER_A", "A_CLOCK"));
    EXPECT_EQ(m_Board->Clock(clocking.get()), 0u);
    ASSERT_EQ(kvemu::SetFault("ioctl", ENODEV, 1), 0);
    EXPECT_EQ(m_Board->Clock(clocking.get()), 1u);
    EXPECT_EQ(Errors(), Texts{"MVIP95_CMD_CONFIG_BOARD_CLOCK returns 0x00000013\n"});
}

}  // namespace
