// Every driver call that a start and a stop of a 48-station board make is failed in turn, one occurrence at a
// time, as the supervisor would live through it. A start that fails leaves the board IDLE with its message
// and nothing open or running; a start that goes through is stopped to IDLE with the line power off; and
// whatever happened, the next start and stop succeed.
#include <gtest/gtest.h>

#include <map>

#include "fixtures.h"
#include "process_usage.h"
#include "zelcontrol.h"

namespace {

constexpr uint32_t kFaultStatus = 0x5A;
const char kStatusEvent[] = "Status event(s) -\n";
using kvtest::Threads;
using kvtest::WaitFor;

bool LinePowerOff() { return (kvtest::Register(0xA0002) & 0x1F) == 0x01; }  // the ringer's bit is active low

uint32_t Quietly(uint32_t (*entry)(const char*)) {
    kvtest::Silence silence;  // failing line circuits print
    return entry("b0");
}

class FaultSweepTest : public ::testing::Test {
protected:
    void SetUp() override {
        threads = Threads();
        ASSERT_NE(board = kvtest::InitWithBoard(), 0u);
        // The clock command too, besides the default connections of a standalone board.
        ASSERT_EQ(SetKeyword(board, "CFBEMCoverride", "Enable"), 0u);
    }
    void TearDown() override {
        kvemu::ClearFaults();
        Exit();
    }
    // A thread left by the run after the fault shows at the next occurrence's check.
    void ExpectIdleWithNothingLeft(bool handleKept, bool threadsToo = true) {
        EXPECT_EQ(kvtest::Keyword(board, "State"), "IDLE");
        EXPECT_TRUE(handleKept || kvtest::Info().openHandles == 0) << "a driver handle is left open";
        EXPECT_EQ(kvtest::Info().openDevices, 0u) << "the switch device is left open";
        EXPECT_TRUE(!threadsToo || WaitFor([this] { return Threads() == threads; })) << "a thread is left";
    }

    // Fails the nth call of function from now; phase and line are where it comes in a run without faults.
    void Sweep(const std::string& function, unsigned nth, const std::string& phase, const std::string& line) {
        kvtest::ClearAlerts();
        kvemu::ClearJournal();
        ASSERT_EQ(kvemu::SetFault(function.c_str(), kFaultStatus, nth), 0);
        if (Quietly(StartBoard) != 0) {
            EXPECT_NE(phase, "stop");
            EXPECT_FALSE(kvtest::Messages(kvtest::kError).empty()) << "failed without a message";
            ExpectIdleWithNothingLeft(false);
            EXPECT_TRUE(LinePowerOff()) << "line power left on by a failed start";
        } else {
            // The monitor listens and has reported the DSP's status, or it could not start and ended.
            ASSERT_TRUE(WaitFor([this] {
                return Threads() == threads ||
                       (kvtest::Journaled(" BoardStartMonitoring = 0") &&
                        (!kvtest::Dsp().monitoring || kvtest::AnyAlertContains(kStatusEvent)));
            }));
            ASSERT_EQ(Quietly(StopBoard), 0u);
            ExpectIdleWithNothingLeft(function == "kvClose");  // closed at the next occasion
            // A stop kept from the line power register cannot switch it off.
            const bool unreachable = phase == "stop" && (function == "kvOpenByBusDeviceFunction" ||
                                                         line.find(" 0xa0002 ") != std::string::npos);
            EXPECT_TRUE(unreachable || LinePowerOff()) << "line power left on";
        }
        ASSERT_TRUE(kvtest::Journaled(" = " + std::to_string(kFaultStatus))) << "the fault was not reached";
        // The board works again at once.
        kvemu::ClearFaults();
        kvtest::ClearAlerts();
        ASSERT_EQ(Quietly(StartBoard), 0u);
        ASSERT_TRUE(kvtest::WaitForAlert(kStatusEvent));
        ASSERT_EQ(Quietly(StopBoard), 0u);
        ExpectIdleWithNothingLeft(false, false);
        EXPECT_TRUE(LinePowerOff());
    }

    kvtest::SleepRecorder pauses;
    uint64_t board = 0;
    unsigned threads = 0;
};

TEST_F(FaultSweepTest, EveryDriverCallOfAStartAndStopFailedInTurn) {
    // The calls of runs without faults: a start without monitor, then a start, the monitor's calls and a
    // stop.
    ASSERT_EQ(SetKeyword(board, "MonitorEnable", "Disable"), 0u);
    ASSERT_EQ(Quietly(StartBoard) + Quietly(StopBoard), 0u);
    ASSERT_EQ(SetKeyword(board, "MonitorEnable", "Enable"), 0u);
    kvemu::ClearJournal();
    ASSERT_EQ(Quietly(StartBoard), 0u);
    ASSERT_TRUE(kvtest::WaitForAlert(kStatusEvent));
    const size_t startAndMonitor = kvemu::Journal().size();
    ASSERT_EQ(Quietly(StopBoard), 0u);
    const kvtest::Texts lines = kvemu::Journal();
    kvemu::ClearJournal();
    ASSERT_EQ(SetKeyword(board, "MonitorEnable", "Disable"), 0u);
    ASSERT_EQ(Quietly(StartBoard), 0u);
    const size_t start = kvemu::Journal().size();
    ASSERT_EQ(Quietly(StopBoard), 0u);
    ASSERT_EQ(SetKeyword(board, "MonitorEnable", "Enable"), 0u);
    ASSERT_GT(lines.size(), 1500u);

    std::map<std::string, unsigned> seen;
    unsigned failing = 0;
    const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    for (size_t i = 0; i < lines.size() && failing < 20; ++i) {
        const std::string call = kvtest::CallOf(lines[i]);
        const unsigned nth = ++seen[call];
        const char* phase = i < start ? "start" : i < startAndMonitor ? "monitor" : "stop";
        SCOPED_TRACE(call + " #" + std::to_string(nth) + " (" + phase + ", call " + std::to_string(i + 1) +
                     ")");
        ASSERT_TRUE(kvemu::KnownFunction(call.c_str()));
        const int before = result->total_part_count();
        Sweep(call, nth, phase, lines[i]);
        if (result->total_part_count() != before) {
            ++failing;
            TearDown();  // the next occurrence starts from a fresh plug-in and emulator
            SetUp();
        }
    }
    EXPECT_TRUE(WaitFor([this] { return Threads() == threads; })) << "a thread is left";
}

// The only step after the line power step that can fail a start is the start of the monitor thread. The
// failed start switches the power off again (reopening the driver, writing the register in the stop's order)
// before the board reads IDLE; when the driver cannot be reopened for that, it says so.
TEST_F(FaultSweepTest, AStartFailingAfterTheLinePowerStepSwitchesThePowerOff) {
    const char kNoAccess[] = "CKvBoard::Start() - could not access board; line power may still be on.\n";
    size_t opensOfAStart = 0;
    for (bool reopenFails : {false, true}) {
        SCOPED_TRACE(reopenFails ? "the driver cannot be reopened" : "the driver is reopened");
        kvtest::ClearAlerts();
        kvemu::ClearJournal();
        ZelFailThreadStarts(1);
        if (reopenFails) {
            ASSERT_EQ(kvemu::SetFault("kvOpenByBusDeviceFunction", kFaultStatus, opensOfAStart), 0);
        }
        EXPECT_EQ(Quietly(StartBoard), KV_E_START);
        EXPECT_EQ(kvtest::Keyword(board, "State"), "IDLE");
        EXPECT_TRUE(
            kvtest::AnyAlertContains("CKvBoard::_StartMonitor() - monitor thread could not be started\n"));
        EXPECT_EQ(kvtest::AnyAlertContains(kNoAccess), reopenFails);
        EXPECT_EQ(kvtest::Info().openHandles, 0u);
        if (reopenFails) {
            EXPECT_EQ(kvtest::Register(0xA0002) & 0x1F, 0x0E) << "the power the start switched on";
        } else {
            // Power on (0x0e: feeds on, ringer off), then off bit by bit as a stop does it, after a new open.
            kvtest::Texts writes;
            for (const std::string& call : kvtest::Calls()) {
                if (call.rfind("kvOpenByBusDeviceFunction", 0) == 0) writes.clear();
                if (call.rfind("BoardWriteByte 0xa0002 ", 0) == 0) writes.push_back(call.substr(23, 3));
            }
            EXPECT_EQ(writes, (kvtest::Texts{"0x6", "0x2", "0x0", "0x1", "0x1"}));
            opensOfAStart = kvtest::Calls("kvOpenByBusDeviceFunction").size();
        }
        kvemu::ClearFaults();
    }
    ZelFailThreadStarts(0);
    ASSERT_EQ(Quietly(StartBoard) + Quietly(StopBoard), 0u);
}

}  // namespace
