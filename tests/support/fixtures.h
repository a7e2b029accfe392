// The tests' two ways to hold a board: made on its own (the component tests), or through the entry points
// with the plug-in around it. Each starts from a fresh emulator with no alerts recorded and the pauses
// recorded, not slept.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "emulated_board.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvboardplugin.h"
#include "kvemu.h"
#include "oam/boardplugin.h"

namespace kvtest {

// Board "b0" of a KV 7400C-48 with the shipped files as its search path.
class BoardFixture : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        board = std::make_unique<CKvBoard>("b0", "KV 7400C-48");
        board->SetSearchPath(KV_SHARE_DIR);
        ClearAlerts();
    }
    SleepRecorder pauses;
    std::unique_ptr<CKvBoard> board;
};

// The plug-in with board "b0" (InitWithBoard), its monitor disabled.
class PluginFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(handle = InitWithBoard(), 0u);
        board = dynamic_cast<CKvBoard*>(boardPlugin->GetBoardByName("b0"));
        ASSERT_EQ(SetKeyword(handle, "MonitorEnable", "Disable"), 0u);
        kvemu::ClearJournal();
        ClearAlerts();
    }
    void TearDown() override {
        kvemu::ClearFaults();
        Exit();
    }
    void Set(const char* name, const char* value) { ASSERT_EQ(SetKeyword(handle, name, value), 0u) << name; }
    std::string Read(const char* name) { return Keyword(handle, name); }

    SleepRecorder pauses;
    uint64_t handle = 0;
    CKvBoard* board = nullptr;
};

}  // namespace kvtest
