// A board on its own, or through the entry points; each on a fresh emulator, no alerts, pauses recorded.
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
