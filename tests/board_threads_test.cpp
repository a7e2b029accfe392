// Several boards driven from several threads at once through the entry points:
// starts, stops, monitor switches, removal requests and destruction racing
// while heartbeats and status events arrive. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Supervisor.h"
#include "fake_supervisor.h"
#include "kvemu.h"
#include "oam/boardplugin.h"

namespace {

const unsigned kBoards = 4, kRounds = 3, kIterations = 8;

std::string BoardName(unsigned slot) { return "b" + std::to_string(slot); }

// Sends the supervisor's removal request for the named board.
uint32_t RequestRemoval(const std::string& board) {
    std::vector<uint8_t> record(sizeof(oam_msg_tag) + board.size() + 2, 0);
    oam_msg_tag* header = reinterpret_cast<oam_msg_tag*>(record.data());
    header->size = static_cast<uint32_t>(record.size());
    header->alert = KV_ALERT_REMOVAL_REQUESTED;
    header->source_offset = sizeof(oam_msg_tag);
    header->text_offset = static_cast<uint32_t>(sizeof(oam_msg_tag) + board.size() + 1);
    memcpy(record.data() + sizeof(oam_msg_tag), board.c_str(), board.size() + 1);
    return AlertReceive(header);
}

uint64_t Handle(const std::string& board) {
    char text[32] = {};
    if (GetQualifier(0, board.c_str(), "Handle", text, sizeof(text)) != 0) return 0;
    return strtoull(text, nullptr, 10);
}

class BoardThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        for (unsigned slot = 1; slot < kBoards; ++slot) ASSERT_EQ(0, kvemu::AddBoard(0, slot));
        setenv("WBLOAD", KV_SHARE_DIR, 1);
        kvtest::ClearAlerts();
        ASSERT_EQ(0u, Init(""));
    }
    void TearDown() override { EXPECT_EQ(0u, Exit()); }

    // Creates board bN for the emulated board in slot N, with its monitor enabled.
    uint64_t Create(unsigned slot) {
        EXPECT_EQ(0u, CreateBoard(BoardName(slot).c_str(), "KV 7400C-48"));
        uint64_t handle = Handle(BoardName(slot));
        EXPECT_NE(0u, handle);
        EXPECT_EQ(0u, SetKeyword(handle, "Location.PCI.Slot", std::to_string(slot).c_str()));
        EXPECT_EQ(0u, SetKeyword(handle, "MonitorEnable", "Enable"));
        return handle;
    }

    static void ExpectNothingOpen() {
        for (unsigned slot = 0; slot < kBoards; ++slot) {
            kvemu::BoardInfo info{};
            ASSERT_EQ(0, kvemu::GetBoardInfo(0, slot, &info));
            EXPECT_EQ(0u, info.openHandles + info.openDevices) << "slot " << slot;
        }
    }
    // Never two monitors on one board, never a monitor stop that had to give up.
    static void ExpectMonitorsKeptApart() {
        for (const char* text : {"multiple monitor attempt blocked", "terminating monitor thread", "kvReceiveMessage returns"})
            EXPECT_FALSE(kvtest::AnyAlertContains(text)) << text;
    }

    kvtest::SleepRecorder pauses;
};

TEST_F(BoardThreadsTest, BoardsStartStopAndDieWhileTheirMonitorsRun) {
    for (unsigned round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<uint64_t> handles;
        for (unsigned slot = 0; slot < kBoards; ++slot) handles.push_back(Create(slot));

        std::atomic<unsigned> started{0};
        std::vector<std::thread> threads;
        for (unsigned slot = 0; slot < kBoards; ++slot) {
            const std::string name = BoardName(slot);
            const uint64_t handle = handles[slot];
            // Starts and stops the board, asking for its removal in between.
            threads.emplace_back([name, &started] {
                for (unsigned i = 0; i < kIterations; ++i) {
                    if (StartBoard(name.c_str()) == 0) ++started;
                    RequestRemoval(name);
                    StopBoard(name.c_str());
                }
            });
            // Switches the monitor on and off and feeds it messages.
            threads.emplace_back([slot, handle] {
                const uint16_t status[8] = {0xF, 0x7, 0, 0, 0, 0, 0x1F, 1};
                for (unsigned i = 0; i < kIterations * 2; ++i) {
                    SetKeyword(handle, "MonitorEnable", i % 2 ? "Disable" : "Enable");
                    kvemu::SendHeartbeat(0, slot, i % 2 == 0);
                    kvemu::SendStatus(0, slot, status);
                }
            });
            // Asks for removal, stops, restarts; in the last round destroys the board under the others.
            threads.emplace_back([name, round, &started] {
                for (unsigned i = 0; i < kIterations; ++i) {
                    RequestRemoval(name);
                    if (i % 3 == 2) StopBoard(name.c_str());
                    if (StartBoard(name.c_str()) == 0) ++started;
                    if (round == kRounds - 1 && i == kIterations / 2) DestroyBoard(name.c_str());
                }
            });
        }
        for (std::thread& t : threads) t.join();
        EXPECT_GT(started.load(), 0u);

        // Boards still alive are destroyed with their monitors running.
        for (unsigned slot = 0; slot < kBoards; ++slot) {
            if (slot % 2 == 0) StartBoard(BoardName(slot).c_str());
            DestroyBoard(BoardName(slot).c_str());
            EXPECT_EQ(0u, Handle(BoardName(slot)));
        }
        ExpectNothingOpen();
    }
    // Whether a monitor happened to run when a message came is up to the
    // scheduler; what must hold whatever the interleaving is checked here.
    ExpectMonitorsKeptApart();
}

TEST_F(BoardThreadsTest, OneBootedBoardFacesManyMonitorSwitches) {
    uint64_t handle = Create(0);
    ASSERT_EQ(0u, StartBoard("b0"));
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) {
        threads.emplace_back([t, handle] {
            for (unsigned i = 0; i < kIterations * 4; ++i) {
                if ((i + t) % 3 == 2) RequestRemoval("b0");
                else SetKeyword(handle, "MonitorEnable", (i + t) % 3 ? "Disable" : "Enable");
                kvemu::SendHeartbeat(0, 0, i % 2 == 0);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    ASSERT_EQ(0u, SetKeyword(handle, "MonitorEnable", "Enable"));
    ASSERT_EQ(0u, StopBoard("b0"));
    ExpectNothingOpen();
    ASSERT_EQ(0u, DestroyBoard("b0"));
    ExpectMonitorsKeptApart();
}

}  // namespace
