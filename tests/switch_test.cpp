// Switch requests on the board's switch device: reset, connections, the
// default connections, and the H.100 clock keywords (validation and command).
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cctype>
#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "PortGroup.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvd/kvdevice.h"
#include "kvemu.h"

namespace kvemu {

bool operator==(const Connection& a, const Connection& b) {
    return a.outStream == b.outStream && a.outSlot == b.outSlot && a.srcStream == b.srcStream &&
           a.srcSlot == b.srcSlot;
}

}  // namespace kvemu

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
    void TearDown() override {
        if (m_Board->m_SwitchFd >= 0) kvDevClose(m_Board->m_SwitchFd);
    }

    static std::vector<kvemu::Connection> Connections() {
        std::vector<kvemu::Connection> c;
        EXPECT_EQ(kvemu::GetConnections(0, 0, &c), 0);
        return c;
    }
    static Texts Requests() {
        Texts lines;
        for (const std::string& line : kvemu::Journal())
            if (line.compare(0, 10, "0:0 ioctl ") == 0) lines.push_back(line.substr(10));
        return lines;
    }
    static Texts Errors() { return kvtest::AlertTexts(0x40002001, 2); }
    static Texts Warnings() { return kvtest::AlertTexts(0x40002001, 1); }

    std::unique_ptr<CKvBoard> m_Board;
};

TEST_F(SwitchTest, ResetConnectAndNailStreams) {
    EXPECT_EQ(m_Board->Connect(4, 9, 0, 9), 0u);
    EXPECT_EQ(Connections(), (std::vector<kvemu::Connection>{{4, 9, 0, 9}}));
    EXPECT_EQ(m_Board->ResetSwitch(), 0u);
    EXPECT_TRUE(Connections().empty());
    // One record for all timeslots; nothing sent for none.
    m_Board->NailStreams(4, 0, 3);
    m_Board->NailStreams(4, 0, 0);
    EXPECT_EQ(Requests(), (Texts{"259 36 1 0 9 2 1 4 9 0 = 0", "257 0 = 0",
                                 "259 100 1 0 0 2 1 4 0 0 1 0 1 2 1 4 1 0 1 0 2 2 1 4 2 0 = 0"}));
    EXPECT_EQ(Connections(), (std::vector<kvemu::Connection>{{4, 0, 0, 0}, {4, 1, 0, 1}, {4, 2, 0, 2}}));
    EXPECT_TRUE(Errors().empty());
    // 4 + 32 * count no longer fits the size word: reported, nothing sent, the process lives.
    kvemu::ClearJournal();
    m_Board->NailStreams(4, 0, 0x08000000u);
    EXPECT_EQ(Errors(), Texts{"Memory allocation failed in cKvBoard::NailStreams\n"});
    EXPECT_TRUE(Requests().empty());
}

TEST_F(SwitchTest, FailedRequestsReportTheSystemErrorNumber) {
    ASSERT_EQ(kvemu::SetFault("ioctl", EIO, 0), 0);
    unsigned word = 0;
    EXPECT_EQ(m_Board->MvipIssueCommand(MVIP95_CMD_RESET_SWITCH, &word), unsigned(EIO));
    EXPECT_EQ(m_Board->ResetSwitch(), 1u);
    EXPECT_EQ(m_Board->Connect(0, 0, 5, 0), 1u);
    kvemu::ClearFaults();
    ASSERT_EQ(kvemu::SetFault("ioctl", EINVAL, 1), 0);
    m_Board->NailStreams(6, 2, 1);
    // A device that failed to open: the request itself fails with EBADF.
    kvDevClose(m_Board->m_SwitchFd);
    m_Board->m_SwitchFd = -1;
    EXPECT_EQ(m_Board->ResetSwitch(), 1u);
    EXPECT_EQ(Errors(), (Texts{"MVIP95_CMD_RESET_SWITCH returns 5 (00000005h)\n",
                               "MVIP95_CMD_SET_OUTPUT returns 5 (00000005h)\n",
                               "MVIP95_CMD_SET_OUTPUT returns 0x00000016\n",
                               "MVIP95_CMD_RESET_SWITCH returns 9 (00000009h)\n"}));
}

TEST_F(SwitchTest, DefaultConnectionsFollowTheStationMap) {
    const struct { uint8_t population; const char* rawMap; unsigned populatedGroups; } cases[] = {
        {0xE0, "Disable", 3}, {0xA0, "Disable", 2}, {0x00, "Disable", 0}, {0x00, "Enable", 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.population) << " " << c.rawMap);
        ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, c.population), 0);
        ASSERT_EQ(m_Board->SetKeywordValue("RawMap", c.rawMap), 0u);
        ASSERT_EQ(m_Board->MapPortGroups(), 0u);
        ASSERT_EQ(m_Board->ResetSwitch(), 0u);
        kvemu::ClearJournal();
        EXPECT_EQ(m_Board->NailDefaultConnections(), 0u);
        // Populated stations hold logical timeslots 0, 1, ... in station order (with 0xA0, station 33
        // takes timeslot 16); the switch keeps one source per output, the requests show every one.
        std::vector<kvemu::Connection> expected;
        Texts requests;
        for (unsigned t = 0; t < 16 * c.populatedGroups; ++t)
            for (const auto& e : std::vector<kvemu::Connection>{{0, t, 5, t}, {4, t, 1, t}, {2, t, 7, t}, {6, t, 3, t}}) {
                expected.push_back(e);
                requests.push_back("259 36 1 " + std::to_string(e.srcStream) + " " + std::to_string(t) + " 2 1 " +
                                   std::to_string(e.outStream) + " " + std::to_string(t) + " 0 = 0");
            }
        EXPECT_EQ(Requests(), requests);
        EXPECT_EQ(Connections(), expected);
    }
    EXPECT_TRUE(Errors().empty());
}

TEST_F(SwitchTest, DefaultConnectionsStopAtTheFirstFailure) {
    const struct {
        const char* name;
        uint8_t mapped, now;
        const char* fault;
        uint32_t status;
        unsigned nth, requests;
        const char* error;
    } cases[] = {
        // Third connection of station 5: request 19.
        {"failed request", 0xE0, 0xE0, "ioctl", EBUSY, 19, 19, "MVIP95_CMD_SET_OUTPUT returns 16 (00000010h)\n"},
        {"unreadable population", 0xE0, 0xE0, "BoardReadByte", 5, 1, 0,
         "CKvBoard::NailDefaultConnections() - BoardReadByte(000a0008h) returns 5 (00000005h)\n"},
        // The population changes after the map was made.
        {"station left unmapped", 0x20, 0x60, "", 0, 0, 64,
         "CKvBoard::NailDefaultConnections() - station 17 has no logical timeslot\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, c.mapped), 0);
        ASSERT_EQ(m_Board->MapPortGroups(), 0u);
        ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, c.now), 0);
        kvemu::ClearJournal();
        if (*c.fault) {
            ASSERT_EQ(kvemu::SetFault(c.fault, c.status, c.nth), 0);
        }
        EXPECT_EQ(m_Board->NailDefaultConnections(), 1u);
        EXPECT_EQ(Requests().size(), c.requests);
        EXPECT_EQ(Connections().size(), std::min(c.requests, c.nth - 1));
        EXPECT_EQ(Errors(), Texts{c.error});
        TearDown();
    }
}

// A "Clocking" structure with free-text values, so that any text can be set.
CZelKWStruct* MakeClocking(const char* mode, const char* source, const char* autoFallBack = "NO",
                           const char* fallBack = "OSC", const std::string& omit = "") {
    CZelKWStruct* clocking = new CZelKWStruct("Clocking", nullptr, 0);
    if (omit == "HBus") return clocking;
    CZelKWStruct* hbus = new CZelKWStruct("HBus", nullptr, 0);
    const char* names[] = {"ClockSource", "ClockMode", "AutoFallBack", "FallBackClockSource"};
    const char* values[] = {source, mode, autoFallBack, fallBack};
    for (unsigned i = 0; i < 4; ++i)
        if (omit != names[i]) hbus->AddKeyword(new CZelKWStr(names[i], values[i], nullptr, 0, 0, 16));
    clocking->AddKeyword(hbus);
    return clocking;
}

// Replaces the board's "Clocking" and answers the warnings of a validation.
Texts Validate(CKvBoard* board, CZelKWStruct* clocking, bool expected) {
    kvtest::ClearAlerts();
    board->RemoveKeyword("Clocking");
    if (clocking != nullptr && board->AddKeyword(clocking) != 0) ADD_FAILURE() << "Clocking not added";
    EXPECT_EQ(board->KeywordsValidate(), expected);
    return kvtest::AlertTexts(0x40002001, 1);
}

TEST_F(SwitchTest, ValidationAcceptsOnlyTheAllowedCombinations) {
    const char* sources[] = {"OSC", "A_CLOCK", "B_CLOCK", "NETREF", "NETREF1", "NETREF2", "XTAL", ""};
    const struct { const char* value; Texts allowed; const char* separator; } modes[] = {
        {"MASTER_A", {"B_CLOCK", "NETREF", "NETREF1", "NETREF2", "OSC"}, "'  and  "},
        {"master_b", {"A_CLOCK", "NETREF", "NETREF1", "NETREF2", "OSC"}, "' and "},
        {"SLAVE", {"A_CLOCK", "B_CLOCK"}, "' and "},
        {"Standalone", {"OSC"}, "' and "},
    };
    for (const auto& m : modes)
        for (const char* source : sources) {
            std::string lower = source;
            for (char& ch : lower) ch = char(tolower(ch));
            for (const std::string& spelling : {std::string(source), lower}) {
                SCOPED_TRACE(std::string(m.value) + " / " + spelling);
                const bool allowed = std::find(m.allowed.begin(), m.allowed.end(), source) != m.allowed.end();
                // A refusal shows the mode's own spelling and the source's.
                EXPECT_EQ(Validate(m_Board.get(), MakeClocking(m.value, spelling.c_str()), allowed),
                          allowed ? Texts{} : Texts{"CKvBoard::KeywordsValidate() - invalid combination:\nClockMode = '" +
                                                    std::string(m.value) + m.separator + "ClockSource = '" + spelling + "'\n"});
            }
        }
    for (const std::string mode : {"", "MASTER", "OSC"})
        EXPECT_EQ(Validate(m_Board.get(), MakeClocking(mode.c_str(), "OSC"), false),
                  Texts{"CKvBoard::KeywordsValidate() - unknown mode '" + mode + "'\n"});
}

TEST_F(SwitchTest, MissingKeywordsAndValuesOutsideTheTablesSendNothing) {
    for (const std::string omit : {"Clocking", "HBus", "ClockMode", "ClockSource"}) {
        const std::string path = omit == "Clocking" ? omit : omit == "HBus" ? "Clocking.HBus" : "Clocking.HBus." + omit;
        EXPECT_EQ(Validate(m_Board.get(), omit == "Clocking" ? nullptr : MakeClocking("SLAVE", "A_CLOCK", "NO", "OSC", omit), false),
                  Texts{"CKvBoard::KeywordsValidate() - expected keyword '" + path + "' not found\n"});
    }
    for (const std::string omit : {"HBus", "ClockMode", "ClockSource", "AutoFallBack", "FallBackClockSource"}) {
        kvtest::ClearAlerts();
        std::unique_ptr<CZelKWStruct> clocking(MakeClocking("SLAVE", "A_CLOCK", "NO", "OSC", omit));
        EXPECT_EQ(m_Board->Clock(clocking.get()), 1u);
        const std::string path = omit == "HBus" ? "Clocking.HBus" : "Clocking.HBus." + omit;
        EXPECT_EQ(Warnings(), Texts{"CKvBoard::Clock() - expected keyword '" + path + "' not found\n"});
    }
    kvtest::ClearAlerts();
    const struct { const char *mode, *source, *fallBack; } outside[] = {
        {"MASTER_C", "OSC", "OSC"}, {"SLAVE", "XTAL", "OSC"}, {"SLAVE", "OSC", ""}, {"", "OSC", "OSC"}};
    for (const auto& c : outside) {
        std::unique_ptr<CZelKWStruct> clocking(MakeClocking(c.mode, c.source, "NO", c.fallBack));
        EXPECT_EQ(m_Board->Clock(clocking.get()), 1u) << c.mode << c.source << c.fallBack;
    }
    EXPECT_EQ(m_Board->Clock(nullptr), 1u);
    EXPECT_TRUE(Requests().empty());
    EXPECT_TRUE(kvtest::Alerts().empty());
}

TEST_F(SwitchTest, ClockRecordCarriesTheCodesOfEveryCombination) {
    const std::pair<const char*, uint32_t> sources[] = {{"OSC", 1},     {"a_clock", 8},  {"B_CLOCK", 9},
                                                        {"NETREF", 10}, {"NETREF1", 10}, {"NetRef2", 11}};
    const std::pair<const char*, uint32_t> modes[] = {{"MASTER_A", 1}, {"MASTER_B", 2}, {"slave", 0}, {"STANDALONE", 3}};
    const std::pair<const char*, uint32_t> fallBacks[] = {{"YES", 1}, {"yes", 1}, {"NO", 0}, {"maybe", 0}};
    for (const auto& mode : modes)
        for (const auto& source : sources)
            for (const auto& autoFallBack : fallBacks)
                for (const auto& fallBack : sources) {
                    SCOPED_TRACE(testing::Message() << mode.first << " " << source.first << " " << autoFallBack.first
                                                    << " " << fallBack.first);
                    std::unique_ptr<CZelKWStruct> clocking(
                        MakeClocking(mode.first, source.first, autoFallBack.first, fallBack.first));
                    ASSERT_EQ(m_Board->Clock(clocking.get()), 0u);
                    uint32_t record[9];
                    ASSERT_TRUE(kvemu::GetClockRecord(0, 0, record));
                    ASSERT_EQ(std::vector<uint32_t>(record, record + 9),
                              (std::vector<uint32_t>{36, 5, source.second, 1, mode.second, autoFallBack.second, 0,
                                                     fallBack.second, 1}));
                }
    EXPECT_TRUE(kvtest::Alerts().empty());
    // A combination that validation refuses is still sent; a failed request is an error.
    std::unique_ptr<CZelKWStruct> clocking(MakeClocking("MASTER_A", "A_CLOCK"));
    EXPECT_EQ(m_Board->Clock(clocking.get()), 0u);
    ASSERT_EQ(kvemu::SetFault("ioctl", ENODEV, 1), 0);
    EXPECT_EQ(m_Board->Clock(clocking.get()), 1u);
    EXPECT_EQ(Errors(), Texts{"MVIP95_CMD_CONFIG_BOARD_CLOCK returns 0x00000013\n"});
}

}  // namespace
