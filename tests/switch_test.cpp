// Switch requests on the board's switch device: reset, connections, the
// default connections, and the H.100 clock keywords (validation and command).
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cctype>
#include <cerrno>
#include <memory>
#include <ostream>
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

std::ostream& operator<<(std::ostream& os, const Connection& c) {
    return os << "(" << c.outStream << "," << c.outSlot << ")<-(" << c.srcStream << "," << c.srcSlot << ")";
}

}  // namespace kvemu

namespace {

const uint32_t kBoardMessage = 0x40002001;

class SwitchTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        m_Board = new CKvBoard("b0", "KV 7400C-48");
        ASSERT_EQ(m_Board->SetKeywordValue("Number", "0"), 0u);
        ASSERT_EQ(m_Board->AssignLogicalNumber(), 0u);
        m_Board->m_SwitchFd = kvDevOpen("/dev/kvsw00", O_RDONLY);
        ASSERT_GE(m_Board->m_SwitchFd, 0);
        kvtest::ClearAlerts();
        kvemu::ClearJournal();
    }
    void TearDown() override {
        if (m_Board->m_SwitchFd >= 0) kvDevClose(m_Board->m_SwitchFd);
        delete m_Board;
    }

    static std::vector<kvemu::Connection> Connections() {
        std::vector<kvemu::Connection> c;
        EXPECT_EQ(kvemu::GetConnections(0, 0, &c), 0);
        return c;
    }

    static std::vector<std::string> Requests() {
        std::vector<std::string> lines;
        for (const std::string& line : kvemu::Journal())
            if (line.compare(0, 10, "0:0 ioctl ") == 0) lines.push_back(line.substr(10));
        return lines;
    }

    static std::vector<std::string> Errors() { return kvtest::AlertTexts(kBoardMessage, 2); }
    static std::vector<std::string> Warnings() { return kvtest::AlertTexts(kBoardMessage, 1); }

    CKvBoard* m_Board = nullptr;
};

// ---- Requests -------------------------------------------------------------------

TEST_F(SwitchTest, ResetAndOneConnection) {
    EXPECT_EQ(m_Board->Connect(4, 9, 0, 9), 0u);
    EXPECT_EQ(Connections(), (std::vector<kvemu::Connection>{{4, 9, 0, 9}}));
    EXPECT_EQ(m_Board->ResetSwitch(), 0u);
    EXPECT_TRUE(Connections().empty());
    EXPECT_EQ(Requests(), (std::vector<std::string>{"259 36 1 0 9 2 1 4 9 0 = 0", "257 0 = 0"}));
    EXPECT_TRUE(Errors().empty());
}

TEST_F(SwitchTest, FailedRequestsReportTheSystemErrorNumber) {
    ASSERT_EQ(kvemu::SetFault("ioctl", EIO, 0), 0);
    unsigned word = 0;
    EXPECT_EQ(m_Board->MvipIssueCommand(MVIP95_CMD_RESET_SWITCH, &word), unsigned(EIO));
    EXPECT_EQ(m_Board->ResetSwitch(), 1u);
    EXPECT_EQ(m_Board->Connect(0, 0, 5, 0), 1u);
    EXPECT_EQ(Errors(), (std::vector<std::string>{"MVIP95_CMD_RESET_SWITCH returns 5 (00000005h)\n",
                                                  "MVIP95_CMD_SET_OUTPUT returns 5 (00000005h)\n"}));
    kvemu::ClearFaults();
    kvtest::ClearAlerts();

    // A device that failed to open: the request itself fails with EBADF.
    kvDevClose(m_Board->m_SwitchFd);
    m_Board->m_SwitchFd = -1;
    EXPECT_EQ(m_Board->ResetSwitch(), 1u);
    EXPECT_EQ(Errors(), std::vector<std::string>{"MVIP95_CMD_RESET_SWITCH returns 9 (00000009h)\n"});
}

TEST_F(SwitchTest, NailStreamsSendsOneRecordForAllTimeslots) {
    m_Board->NailStreams(4, 0, 3);
    EXPECT_EQ(Requests(), std::vector<std::string>{"259 100 1 0 0 2 1 4 0 0 1 0 1 2 1 4 1 0 1 0 2 2 1 4 2 0 = 0"});
    EXPECT_EQ(Connections(), (std::vector<kvemu::Connection>{{4, 0, 0, 0}, {4, 1, 0, 1}, {4, 2, 0, 2}}));

    kvemu::ClearJournal();
    m_Board->NailStreams(4, 0, 0);  // nothing to connect
    EXPECT_TRUE(Requests().empty());

    ASSERT_EQ(kvemu::SetFault("ioctl", EINVAL, 1), 0);
    m_Board->NailStreams(6, 2, 1);
    EXPECT_EQ(Errors(), std::vector<std::string>{"MVIP95_CMD_SET_OUTPUT returns 0x00000016\n"});
}

TEST_F(SwitchTest, NailStreamsRefusesARecordTooLargeToDescribe) {
    // 4 + 32 * count no longer fits the size word: reported, nothing sent, the process lives.
    m_Board->NailStreams(4, 0, 0x08000000u);
    EXPECT_EQ(Errors(), std::vector<std::string>{"Memory allocation failed in cKvBoard::NailStreams\n"});
    EXPECT_TRUE(Requests().empty());
}

// ---- Default connections ------------------------------------------------------------

TEST_F(SwitchTest, DefaultConnectionsFollowTheStationMap) {
    struct Case {
        uint8_t population;
        const char* rawMap;
        unsigned populatedGroups;
    } cases[] = {
        {0xE0, "Disable", 3},
        {0xA0, "Disable", 2},
        {0x00, "Disable", 0},
        {0x00, "Enable", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.population) << " " << c.rawMap);
        ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, c.population), 0);
        ASSERT_EQ(m_Board->SetKeywordValue("RawMap", c.rawMap), 0u);
        ASSERT_EQ(m_Board->MapPortGroups(), 0u);
        ASSERT_EQ(m_Board->ResetSwitch(), 0u);
        kvemu::ClearJournal();

        EXPECT_EQ(m_Board->NailDefaultConnections(), 0u);
        // Populated stations hold logical timeslots 0, 1, ... in station order.
        std::vector<kvemu::Connection> expected;
        for (unsigned t = 0; t < 16 * c.populatedGroups; ++t) {
            expected.push_back({0, t, 5, t});
            expected.push_back({4, t, 1, t});
            expected.push_back({2, t, 7, t});
            expected.push_back({6, t, 3, t});
        }
        // The switch keeps one source per output; the requests show every one, in order.
        std::vector<std::string> requests = Requests();
        ASSERT_EQ(requests.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            const kvemu::Connection& e = expected[i];
            EXPECT_EQ(requests[i], "259 36 1 " + std::to_string(e.srcStream) + " " + std::to_string(e.srcSlot) +
                                       " 2 1 " + std::to_string(e.outStream) + " " + std::to_string(e.outSlot) +
                                       " 0 = 0")
                << "request " << i;
        }
        EXPECT_EQ(Connections(), expected);
    }
    EXPECT_TRUE(Errors().empty());
}

TEST_F(SwitchTest, StationThirtyThreeTakesTimeslotSixteenWhenTheMiddleGroupIsMissing) {
    ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, 0xA0), 0);
    ASSERT_EQ(m_Board->MapPortGroups(), 0u);
    kvemu::ClearJournal();
    ASSERT_EQ(m_Board->NailDefaultConnections(), 0u);
    std::vector<std::string> requests = Requests();
    ASSERT_EQ(requests.size(), 128u);
    EXPECT_EQ(requests[64], "259 36 1 5 16 2 1 0 16 0 = 0");
}

TEST_F(SwitchTest, FirstFailedConnectionEndsTheDefaults) {
    ASSERT_EQ(m_Board->MapPortGroups(), 0u);
    kvemu::ClearJournal();
    // Third connection of station 5: request 19.
    ASSERT_EQ(kvemu::SetFault("ioctl", EBUSY, 19), 0);
    EXPECT_EQ(m_Board->NailDefaultConnections(), 1u);
    EXPECT_EQ(Requests().size(), 19u);
    EXPECT_EQ(Connections().size(), 18u);
    EXPECT_EQ(Errors(), std::vector<std::string>{"MVIP95_CMD_SET_OUTPUT returns 16 (00000010h)\n"});
}

TEST_F(SwitchTest, UnreadablePopulationIsAFailure) {
    ASSERT_EQ(m_Board->MapPortGroups(), 0u);
    kvemu::ClearJournal();
    ASSERT_EQ(kvemu::SetFault("BoardReadByte", 5, 1), 0);
    EXPECT_EQ(m_Board->NailDefaultConnections(), 1u);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(Errors(), std::vector<std::string>{
                            "CKvBoard::NailDefaultConnections() - BoardReadByte(000a0008h) returns 5 (00000005h)\n"});
}

TEST_F(SwitchTest, StationsLeftUnmappedAreNotConnected) {
    ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, 0x20), 0);
    ASSERT_EQ(m_Board->MapPortGroups(), 0u);
    // The population changes after the map was made.
    ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, 0x60), 0);
    kvemu::ClearJournal();
    EXPECT_EQ(m_Board->NailDefaultConnections(), 1u);
    EXPECT_EQ(Requests().size(), 64u);
    EXPECT_EQ(Errors(),
              std::vector<std::string>{"CKvBoard::NailDefaultConnections() - station 17 has no logical timeslot\n"});
}

// ---- Clock keywords ----------------------------------------------------------------

// A "Clocking" structure with free-text values, so that any text can be set.
CZelKWStruct* MakeClocking(const char* mode, const char* source, const char* autoFallBack = "NO",
                           const char* fallBack = "OSC", const char* omit = nullptr) {
    CZelKWStruct* clocking = new CZelKWStruct("Clocking", nullptr, 0);
    if (omit != nullptr && std::string(omit) == "HBus") return clocking;
    CZelKWStruct* hbus = new CZelKWStruct("HBus", nullptr, 0);
    const char* names[] = {"ClockSource", "ClockMode", "AutoFallBack", "FallBackClockSource"};
    const char* values[] = {source, mode, autoFallBack, fallBack};
    for (unsigned i = 0; i < 4; ++i)
        if (omit == nullptr || std::string(omit) != names[i])
            hbus->AddKeyword(new CZelKWStr(names[i], values[i], nullptr, 0, 0, 16));
    clocking->AddKeyword(hbus);
    return clocking;
}

void ReplaceClocking(CKvBoard* board, CZelKWStruct* clocking) {
    board->RemoveKeyword("Clocking");
    if (clocking != nullptr) {
        ASSERT_EQ(board->AddKeyword(clocking), 0u);
    }
}

TEST_F(SwitchTest, ValidationAcceptsOnlyTheAllowedCombinations) {
    const char* sources[] = {"OSC", "A_CLOCK", "B_CLOCK", "NETREF", "NETREF1", "NETREF2", "XTAL", ""};
    struct Mode {
        const char* value;
        std::vector<std::string> allowed;
        const char* separator;
    } modes[] = {
        {"MASTER_A", {"B_CLOCK", "NETREF", "NETREF1", "NETREF2", "OSC"}, "'  and  "},
        {"master_b", {"A_CLOCK", "NETREF", "NETREF1", "NETREF2", "OSC"}, "' and "},
        {"SLAVE", {"A_CLOCK", "B_CLOCK"}, "' and "},
        {"Standalone", {"OSC"}, "' and "},
    };
    for (const Mode& m : modes)
        for (const char* source : sources) {
            for (const std::string& lower : {std::string(source), [&] {
                     std::string s = source;
                     for (char& ch : s) ch = char(tolower(ch));
                     return s;
                 }()}) {
                SCOPED_TRACE(std::string(m.value) + " / " + lower);
                kvtest::ClearAlerts();
                ReplaceClocking(m_Board, MakeClocking(m.value, lower.c_str()));
                bool allowed = false;
                for (const std::string& a : m.allowed) allowed |= a == source;
                EXPECT_EQ(m_Board->KeywordsValidate(), allowed);
                if (allowed) {
                    EXPECT_TRUE(Warnings().empty());
                } else {  // the mode's own spelling and the source's are shown
                    EXPECT_EQ(Warnings(), std::vector<std::string>{
                                              "CKvBoard::KeywordsValidate() - invalid combination:\nClockMode = '" +
                                              std::string(m.value) + m.separator + "ClockSource = '" + lower + "'\n"});
                }
            }
        }

    for (const char* mode : {"", "MASTER", "OSC"}) {
        SCOPED_TRACE(mode);
        kvtest::ClearAlerts();
        ReplaceClocking(m_Board, MakeClocking(mode, "OSC"));
        EXPECT_FALSE(m_Board->KeywordsValidate());
        EXPECT_EQ(Warnings(), std::vector<std::string>{"CKvBoard::KeywordsValidate() - unknown mode '" +
                                                       std::string(mode) + "'\n"});
    }
}

TEST_F(SwitchTest, ValidationNamesTheFirstMissingKeyword) {
    struct Case {
        const char* omit;
        const char* path;
    } cases[] = {{"Clocking", "Clocking"}, {"HBus", "Clocking.HBus"}, {"ClockMode", "Clocking.HBus.ClockMode"},
                 {"ClockSource", "Clocking.HBus.ClockSource"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.omit);
        kvtest::ClearAlerts();
        ReplaceClocking(m_Board, std::string(c.omit) == "Clocking" ? nullptr
                                                                   : MakeClocking("SLAVE", "A_CLOCK", "NO", "OSC", c.omit));
        EXPECT_FALSE(m_Board->KeywordsValidate());
        EXPECT_EQ(Warnings(), std::vector<std::string>{"CKvBoard::KeywordsValidate() - expected keyword '" +
                                                       std::string(c.path) + "' not found\n"});
    }
}

TEST_F(SwitchTest, ClockRecordCarriesTheCodesOfEveryCombination) {
    const std::pair<const char*, uint32_t> sources[] = {{"OSC", 1},     {"a_clock", 8},  {"B_CLOCK", 9},
                                                        {"NETREF", 10}, {"NETREF1", 10}, {"NetRef2", 11}};
    const std::pair<const char*, uint32_t> modes[] = {
        {"MASTER_A", 1}, {"MASTER_B", 2}, {"slave", 0}, {"STANDALONE", 3}};
    const std::pair<const char*, uint32_t> fallBacks[] = {{"YES", 1}, {"yes", 1}, {"NO", 0}, {"maybe", 0}};
    for (const auto& mode : modes)
        for (const auto& source : sources)
            for (const auto& autoFallBack : fallBacks)
                for (const auto& fallBack : sources) {
                    SCOPED_TRACE(testing::Message() << mode.first << " " << source.first << " "
                                                    << autoFallBack.first << " " << fallBack.first);
                    std::unique_ptr<CZelKWStruct> clocking(
                        MakeClocking(mode.first, source.first, autoFallBack.first, fallBack.first));
                    ASSERT_EQ(m_Board->Clock(clocking.get()), 0u);
                    uint32_t record[9];
                    ASSERT_TRUE(kvemu::GetClockRecord(0, 0, record));
                    const uint32_t expected[9] = {36, 5, source.second, 1, mode.second, autoFallBack.second,
                                                  0,  fallBack.second, 1};
                    ASSERT_EQ(std::vector<uint32_t>(record, record + 9), std::vector<uint32_t>(expected, expected + 9));
                }
    EXPECT_TRUE(Errors().empty());
    EXPECT_TRUE(Warnings().empty());
}

TEST_F(SwitchTest, ClockSendsNothingForValuesOutsideTheTables) {
    struct Case {
        const char *mode, *source, *fallBack;
    } cases[] = {{"MASTER_C", "OSC", "OSC"}, {"SLAVE", "XTAL", "OSC"}, {"SLAVE", "OSC", ""}, {"", "OSC", "OSC"}};
    for (const Case& c : cases) {
        std::unique_ptr<CZelKWStruct> clocking(MakeClocking(c.mode, c.source, "NO", c.fallBack));
        EXPECT_EQ(m_Board->Clock(clocking.get()), 1u);
    }
    EXPECT_EQ(m_Board->Clock(nullptr), 1u);
    EXPECT_TRUE(Requests().empty());
    EXPECT_TRUE(kvtest::Alerts().empty());
}

TEST_F(SwitchTest, ClockReportsMissingKeywordsAndFailedCommands) {
    const char* omitted[] = {"HBus", "ClockMode", "ClockSource", "AutoFallBack", "FallBackClockSource"};
    for (const char* omit : omitted) {
        SCOPED_TRACE(omit);
        kvtest::ClearAlerts();
        std::unique_ptr<CZelKWStruct> clocking(MakeClocking("SLAVE", "A_CLOCK", "NO", "OSC", omit));
        EXPECT_EQ(m_Board->Clock(clocking.get()), 1u);
        const std::string path = std::string(omit) == "HBus" ? "Clocking.HBus" : "Clocking.HBus." + std::string(omit);
        EXPECT_EQ(Warnings(), std::vector<std::string>{"CKvBoard::Clock() - expected keyword '" + path + "' not found\n"});
    }
    EXPECT_TRUE(Requests().empty());

    // A combination that validation refuses is still sent; a failed request is an error.
    std::unique_ptr<CZelKWStruct> clocking(MakeClocking("MASTER_A", "A_CLOCK"));
    EXPECT_EQ(m_Board->Clock(clocking.get()), 0u);
    ASSERT_EQ(kvemu::SetFault("ioctl", ENODEV, 1), 0);
    kvtest::ClearAlerts();
    EXPECT_EQ(m_Board->Clock(clocking.get()), 1u);
    EXPECT_EQ(Errors(), std::vector<std::string>{"MVIP95_CMD_CONFIG_BOARD_CLOCK returns 0x00000013\n"});
}

}  // namespace
