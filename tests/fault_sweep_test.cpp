// Every driver call that a start and a stop of a 48-station board make is
// failed in turn, one occurrence at a time, as the supervisor would live
// through it. A start that fails leaves the board IDLE with its message and
// nothing open or running; a start that goes through is stopped to IDLE with
// the line power off; and whatever happened, the next start and stop succeed.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fake_supervisor.h"
#include "kvemu.h"
#include "oam/boardplugin.h"

namespace {

constexpr uint32_t kFaultStatus = 0x5A;
constexpr uint32_t kAlertMessage = 0x40002001;
constexpr int kSeverityError = 2;
const char kStatusEvent[] = "Status event(s) -\n";

// Threads of this process now.
unsigned Threads() {
    unsigned count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

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

kvemu::BoardInfo Info() {
    kvemu::BoardInfo info{};
    kvemu::GetBoardInfo(0, 0, &info);
    return info;
}

bool LinePowerOff() {
    uint8_t value = 0;
    kvemu::ReadRegister(0, 0, 0xA0002, &value);
    return (value & 0x1F) == 0x01;  // batteries, ring voltage and loopback off, ringer (active low) off
}

bool Journaled(const std::string& fragment) {
    for (const std::string& line : kvemu::Journal())
        if (line.find(fragment) != std::string::npos) return true;
    return false;
}

// The driver call named on a journal line ("0:0 NAME ARGS = STATUS").
std::string CallOf(const std::string& line) {
    size_t start = line.find(' ') + 1;
    return line.substr(start, line.find(' ', start) - start);
}

// The plug-in's result, with standard output (where failing line circuits
// print) sent nowhere during the call.
template <typename Call>
uint32_t Quietly(Call call) {
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    uint32_t result = call();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return result;
}
uint32_t Start() { return Quietly([] { return StartBoard("b0"); }); }
uint32_t Stop() { return Quietly([] { return StopBoard("b0"); }); }

class FaultSweepTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        setenv("WBLOAD", KV_SHARE_DIR, 1);
        threads = Threads();
        ASSERT_EQ(Init(""), 0u);
        ASSERT_EQ(CreateBoard("b0", "KV 7400C-48"), 0u);
        char handle[32] = {0};
        ASSERT_EQ(GetQualifier(0, "b0", "Handle", handle, sizeof(handle)), 0u);
        board = std::strtoull(handle, nullptr, 10);
        // The clock command too, besides the default connections of a standalone board.
        ASSERT_EQ(SetKeyword(board, "CFBEMCoverride", "Enable"), 0u);
    }
    void TearDown() override {
        kvemu::ClearFaults();
        Exit();
    }

    std::string State() {
        char value[64] = {0};
        return GetKeyword(board, "State", value, sizeof(value)) == 0 ? value : "<unreadable>";
    }
    // The monitor thread has done what it does before a stop: it listens and
    // has reported the status the DSP sent, or it could not start and ended.
    bool MonitorSettled() {
        if (Threads() == threads) return true;
        kvemu::DspState dsp;
        kvemu::GetDspState(0, 0, &dsp);
        return Journaled(" BoardStartMonitoring = 0") && (!dsp.monitoring || kvtest::AnyAlertContains(kStatusEvent));
    }
    void ExpectIdleWithNothingLeft(bool handleKept) {
        EXPECT_EQ(State(), "IDLE");
        if (!handleKept) {
            EXPECT_EQ(Info().openHandles, 0u) << "a driver handle is left open";
        }
        EXPECT_EQ(Info().openDevices, 0u) << "the switch device is left open";
        EXPECT_TRUE(WaitUntil([this] { return Threads() == threads; })) << "a thread is left";
    }

    // Fails the nth call of function from now. phase and line are where the
    // call comes in a run without faults.
    void Sweep(const std::string& function, unsigned nth, const std::string& phase, const std::string& line) {
        kvtest::ClearAlerts();
        kvemu::ClearJournal();
        ASSERT_EQ(kvemu::SetFault(function.c_str(), kFaultStatus, nth), 0);
        if (Start() != 0) {
            EXPECT_NE(phase, "stop");
            EXPECT_FALSE(kvtest::AlertTexts(kAlertMessage, kSeverityError).empty()) << "failed without a message";
            ExpectIdleWithNothingLeft(false);
        } else {
            ASSERT_TRUE(WaitUntil([this] { return MonitorSettled(); }));
            ASSERT_EQ(Stop(), 0u);
            // A handle the driver refused to close is closed at the next occasion.
            ExpectIdleWithNothingLeft(function == "kvClose");
            // A stop that could not reach the line power register has told so.
            bool powerUnreachable = phase == "stop" && (function == "kvOpenByBusDeviceFunction" ||
                                                        line.find(" 0xa0002 ") != std::string::npos);
            if (!powerUnreachable) {
                EXPECT_TRUE(LinePowerOff()) << "line power left on";
            }
        }
        ASSERT_TRUE(Journaled(" = " + std::to_string(kFaultStatus))) << "the fault was not reached";

        // The board works again at once.
        kvemu::ClearFaults();
        kvtest::ClearAlerts();
        ASSERT_EQ(Start(), 0u);
        ASSERT_TRUE(kvtest::WaitForAlert(kStatusEvent));
        ASSERT_EQ(Stop(), 0u);
        ExpectIdleWithNothingLeft(false);
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
    ASSERT_EQ(Start(), 0u);
    ASSERT_EQ(Stop(), 0u);
    ASSERT_EQ(SetKeyword(board, "MonitorEnable", "Enable"), 0u);
    kvemu::ClearJournal();
    ASSERT_EQ(Start(), 0u);
    ASSERT_TRUE(kvtest::WaitForAlert(kStatusEvent));
    size_t startAndMonitor = kvemu::Journal().size();
    ASSERT_EQ(Stop(), 0u);
    const std::vector<std::string> lines = kvemu::Journal();
    kvemu::ClearJournal();
    ASSERT_EQ(SetKeyword(board, "MonitorEnable", "Disable"), 0u);
    ASSERT_EQ(Start(), 0u);
    size_t start = kvemu::Journal().size();
    ASSERT_EQ(Stop(), 0u);
    ASSERT_EQ(SetKeyword(board, "MonitorEnable", "Enable"), 0u);
    ASSERT_GT(lines.size(), 1500u);

    std::map<std::string, unsigned> seen;
    unsigned failing = 0;
    for (size_t i = 0; i < lines.size() && failing < 20; ++i) {
        const std::string call = CallOf(lines[i]);
        const unsigned nth = ++seen[call];
        const char* phase = i < start ? "start" : i < startAndMonitor ? "monitor" : "stop";
        SCOPED_TRACE(call + " #" + std::to_string(nth) + " (" + phase + ", call " + std::to_string(i + 1) + ")");
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
    printf("%zu calls failed in turn: %zu of the start, %zu of the monitor, %zu of the stop\n", lines.size(), start,
           startAndMonitor - start, lines.size() - startAndMonitor);
}

}  // namespace
