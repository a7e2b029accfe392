// Every driver call that a start and a stop of a 48-station board make is
// failed in turn, one occurrence at a time, as the supervisor would live
// through it. A start that fails leaves the board IDLE with its message and
// nothing open or running; a start that goes through is stopped to IDLE with
// the line power off; and whatever happened, the next start and stop succeed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "emulated_board.h"
#include "fake_supervisor.h"
#include "kvemu.h"
#include "oam/boardplugin.h"
#include "process_usage.h"
#include "zelcontrol.h"

namespace {

constexpr uint32_t kFaultStatus = 0x5A;
constexpr uint32_t kAlertMessage = 0x40002001;
constexpr int kSeverityError = 2;
const char kStatusEvent[] = "Status event(s) -\n";

using kvtest::Threads;

// Waits until done holds (the monitor thread works on its own schedule); a
// state that never comes fails after a generous bound.
bool WaitUntil(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

bool LinePowerOff() {
    return (kvtest::Register(0xA0002) & 0x1F) == 0x01;  // feeds and loopback off, ringer (active low) off
}

// Starts or stops b0 with standard output, where failing line circuits print, sent nowhere.
uint32_t Quietly(uint32_t (*entry)(const char*)) {
    fflush(stdout);
    int saved = dup(STDOUT_FILENO), null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    uint32_t result = entry("b0");
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(null), close(saved);
    return result;
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

    // The monitor thread has done what it does before a stop: it listens and
    // has reported the status the DSP sent, or it could not start and ended.
    bool MonitorSettled() {
        if (Threads() == threads) return true;
        return kvtest::Journaled(" BoardStartMonitoring = 0") &&
               (!kvtest::Dsp().monitoring || kvtest::AnyAlertContains(kStatusEvent));
    }
    // A thread left by the run after the fault shows at the next occurrence's check.
    void ExpectIdleWithNothingLeft(bool handleKept, bool threadsToo = true) {
        EXPECT_EQ(kvtest::Keyword(board, "State"), "IDLE");
        if (!handleKept) {
            EXPECT_EQ(kvtest::Info().openHandles, 0u) << "a driver handle is left open";
        }
        EXPECT_EQ(kvtest::Info().openDevices, 0u) << "the switch device is left open";
        if (threadsToo) {
            EXPECT_TRUE(WaitUntil([this] { return Threads() == threads; })) << "a thread is left";
        }
    }

    // Fails the nth call of function from now. phase and line are where the
    // call comes in a run without faults.
    void Sweep(const std::string& function, unsigned nth, const std::string& phase, const std::string& line) {
        kvtest::ClearAlerts();
        kvemu::ClearJournal();
        ASSERT_EQ(kvemu::SetFault(function.c_str(), kFaultStatus, nth), 0);
        if (Quietly(StartBoard) != 0) {
            EXPECT_NE(phase, "stop");
            EXPECT_FALSE(kvtest::AlertTexts(kAlertMessage, kSeverityError).empty())
                << "failed without a message";
            ExpectIdleWithNothingLeft(false);
            EXPECT_TRUE(LinePowerOff()) << "line power left on by a failed start";
        } else {
            ASSERT_TRUE(WaitUntil([this] { return MonitorSettled(); }));
            ASSERT_EQ(Quietly(StopBoard), 0u);
            // A handle the driver refused to close is closed at the next occasion.
            ExpectIdleWithNothingLeft(function == "kvClose");
            // A stop kept from the line power register cannot switch it off.
            bool powerUnreachable = phase == "stop" && (function == "kvOpenByBusDeviceFunction" ||
                                                        line.find(" 0xa0002 ") != std::string::npos);
            if (!powerUnreachable) {
                EXPECT_TRUE(LinePowerOff()) << "line power left on";
            }
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
    // The calls of runs without faults: a start without monitor, then a start,
    // the monitor's calls and a stop.
    ASSERT_EQ(SetKeyword(board, "MonitorEnable", "Disable"), 0u);
    ASSERT_EQ(Quietly(StartBoard), 0u);
    ASSERT_EQ(Quietly(StopBoard), 0u);
    ASSERT_EQ(SetKeyword(board, "MonitorEnable", "Enable"), 0u);
    kvemu::ClearJournal();
    ASSERT_EQ(Quietly(StartBoard), 0u);
    ASSERT_TRUE(kvtest::WaitForAlert(kStatusEvent));
    size_t startAndMonitor = kvemu::Journal().size();
    ASSERT_EQ(Quietly(StopBoard), 0u);
    const std::vector<std::string> lines = kvemu::Journal();
    kvemu::ClearJournal();
    ASSERT_EQ(SetKeyword(board, "MonitorEnable", "Disable"), 0u);
    ASSERT_EQ(Quietly(StartBoard), 0u);
    size_t start = kvemu::Journal().size();
    ASSERT_EQ(Quietly(StopBoard), 0u);
    ASSERT_EQ(SetKeyword(board, "MonitorEnable", "Enable"), 0u);
    ASSERT_GT(lines.size(), 1500u);

    std::map<std::string, unsigned> seen;
    unsigned failing = 0;
    for (size_t i = 0; i < lines.size() && failing < 20; ++i) {
        const std::string call = kvtest::CallOf(lines[i]);
        const unsigned nth = ++seen[call];
        const char* phase = i < start ? "start" : i < startAndMonitor ? "monitor" : "stop";
        SCOPED_TRACE(call + " #" + std::to_string(nth) + " (" + phase + ", call " + std::to_string(i + 1) +
                     ")");
        ASSERT_TRUE(kvemu::KnownFunction(call.c_str()));
        int before = ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
        Sweep(call, nth, phase, lines[i]);
        if (::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() != before) {
            ++failing;
            // The next occurrence starts from a fresh plug-in and emulator.
            TearDown();
            SetUp();
        }
    }
    EXPECT_TRUE(WaitUntil([this] { return Threads() == threads; })) << "a thread is left";
    printf("%zu calls failed in turn: %zu of the start, %zu of the monitor, %zu of the stop\n", lines.size(),
           start, startAndMonitor - start, lines.size() - startAndMonitor);
}

// The only step after the line power step that can fail a start is the
// start of the monitor thread. The failed start switches the power off again
// (reopening the driver, writing the register in the stop's order) before the
// board reads IDLE; when the driver cannot be reopened for that, it says so.
TEST_F(FaultSweepTest, AStartFailingAfterTheLinePowerStepSwitchesThePowerOff) {
    auto opens = [] { return kvtest::Journaled(" kvOpenByBusDeviceFunction "); };
    // The values written to the line power register after the last open of the driver.
    auto lastPowerWrites = [] {
        std::vector<unsigned> written;
        for (const std::string& line : kvemu::Journal()) {
            unsigned value = 0;
            if (line.find(" kvOpenByBusDeviceFunction ") != std::string::npos) written.clear();
            if (sscanf(line.c_str(), "%*s BoardWriteByte 0xa0002 %x", &value) == 1) written.push_back(value);
        }
        return written;
    };
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
            // Power on (0x0e: feeds on, ringer off), then off bit by bit as a stop does it.
            EXPECT_EQ(lastPowerWrites(), (std::vector<unsigned>{0x06, 0x02, 0x00, 0x01, 0x01}));
            EXPECT_TRUE(LinePowerOff());
            opensOfAStart = opens();
        }
        kvemu::ClearFaults();
    }
    ZelFailThreadStarts(0);
    ASSERT_EQ(Quietly(StartBoard), 0u);
    ASSERT_EQ(Quietly(StopBoard), 0u);
}

}  // namespace
