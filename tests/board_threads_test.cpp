// Several boards driven from several threads at once through the entry
// points: starts, stops, monitor switches, removal requests and board
// destruction racing each other while heartbeats and status events arrive.
// Run under ThreadSanitizer as well.
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

const unsigned kBoards = 4;
const unsigned kRounds = 3;
const unsigned kIterations = 8;

std::string BoardName(unsigned slot) { return "b" + std::to_string(slot); }

// A removal request from the supervisor, addressed to the named board.
std::vector<uint8_t> RemovalRequest(const std::string& board) {
    std::vector<uint8_t> record(sizeof(oam_msg_tag) + board.size() + 2, 0);
    oam_msg_tag header{};
    header.size = static_cast<uint32_t>(record.size());
    header.alert = KV_ALERT_REMOVAL_REQUESTED;
    header.severity = 0;
    header.source_offset = sizeof(oam_msg_tag);
    header.text_offset = static_cast<uint32_t>(sizeof(oam_msg_tag) + board.size() + 1);
    memcpy(record.data(), &header, sizeof(header));
    memcpy(record.data() + sizeof(header), board.c_str(), board.size() + 1);
    return record;
}

uint32_t RequestRemoval(const std::string& board) {
    std::vector<uint8_t> record = RemovalRequest(board);
    return AlertReceive(reinterpret_cast<oam_msg_tag*>(record.data()));
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
        std::string name = BoardName(slot);
        EXPECT_EQ(0u, CreateBoard(name.c_str(), "KV 7400C-48"));
        uint64_t handle = Handle(name);
        EXPECT_NE(0u, handle);
        EXPECT_EQ(0u, SetKeyword(handle, "Location.PCI.Slot", std::to_string(slot).c_str()));
        EXPECT_EQ(0u, SetKeyword(handle, "MonitorEnable", "Enable"));
        return handle;
    }

    static void ExpectNothingOpen() {
        for (unsigned slot = 0; slot < kBoards; ++slot) {
            kvemu::BoardInfo info{};
            ASSERT_EQ(0, kvemu::GetBoardInfo(0, slot, &info));
            EXPECT_EQ(0u, info.openHandles) << "slot " << slot;
            EXPECT_EQ(0u, info.openDevices) << "slot " << slot;
        }
    }

    // Never two monitors on one board, never a monitor stop that had to give up.
    static void ExpectMonitorsKeptApart() {
        EXPECT_FALSE(kvtest::AnyAlertContains("multiple monitor attempt blocked"));
        EXPECT_FALSE(kvtest::AnyAlertContains("terminating monitor thread"));
        EXPECT_FALSE(kvtest::AnyAlertContains("kvReceiveMessage returns"));
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
            // Starts and stops the board, and asks for its removal in between.
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
            // Asks for removal, stops, restarts; in the last round it destroys
            // the board while the other two are still at work on it.
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
    ExpectMonitorsKeptApart();
    // The monitors ran and reported while all this went on.
    EXPECT_TRUE(kvtest::AnyAlertContains("Heartbeat lost\n"));
    EXPECT_TRUE(kvtest::AnyAlertContains("Status event(s) -\n"));
}

TEST_F(BoardThreadsTest, OneBootedBoardFacesManyMonitorSwitches) {
    uint64_t handle = Create(0);
    ASSERT_EQ(0u, StartBoard("b0"));
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) {
        threads.emplace_back([t, handle] {
            for (unsigned i = 0; i < kIterations * 4; ++i) {
                switch ((i + t) % 3) {
                case 0: SetKeyword(handle, "MonitorEnable", "Enable"); break;
                case 1: SetKeyword(handle, "MonitorEnable", "Disable"); break;
                default: RequestRemoval("b0"); break;
                }
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
