// The monitor: board messages from status and heartbeat events, its own handle, its thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Dsp.h"
#include "KvMonitorThread.h"
#include "Supervisor.h"
#include "emulated_board.h"
#include "fake_supervisor.h"
#include "fake_waits.h"
#include "kvboard.h"
#include "kvemu.h"
#include "process_usage.h"

namespace {

using Texts = std::vector<std::string>;
const std::string kHeader = "Status event(s) -\n";
const uint16_t kHeldStatus[8] = {0xF, 0xF, 0, 0, 0, 0, 0x1F, 1};

using kvtest::Messages;
using kvtest::OpenHandles;
using kvtest::WaitFor;

// Whether a handle listens: more successful monitoring starts than stops in the journal.
bool Monitoring() {
    int listening = 0;
    for (const std::string& line : kvemu::Journal())
        if (line.find("= 0") != std::string::npos)
            listening += (line.find(" BoardStartMonitoring") != std::string::npos) -
                         (line.find(" BoardStopMonitoring") != std::string::npos);
    return listening > 0;
}

// A board whose message handling can be held up, as by a supervisor that does not take an alert.
struct HeldBoard : CKvBoard {
    HeldBoard() : CKvBoard("b0", "KV 7400C-48") {}
    void Event() override {
        m_Entered = true;
        while (m_Hold) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        CKvBoard::Event();
    }
    std::atomic<bool> m_Hold{false}, m_Entered{false};
};

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        board = std::make_unique<HeldBoard>();
        kvemu::ClearJournal();
        kvtest::ClearAlerts();
    }

    // Sends a status event, has the board handle it and answers the one message it sent.
    std::string Status(const uint16_t (&params)[8]) {
        kvtest::ClearAlerts();
        EXPECT_EQ(0, kvemu::SendStatus(0, 0, params));
        board->Event();
        Texts sent = kvtest::AlertTexts(KV_ALERT_MESSAGE);
        return sent.size() == 1 ? sent[0] : std::to_string(sent.size()) + " messages";
    }
    // Sends a status event to the running monitor thread and holds its handling.
    bool HoldNextMessage() {
        board->m_Hold = true;
        board->m_Entered = false;
        return WaitFor(Monitoring) && kvemu::SendStatus(0, 0, kHeldStatus) == 0 &&
               WaitFor([this] { return board->m_Entered.load(); });
    }
    void ExpectNothingHeld() {
        EXPECT_EQ(0u, OpenHandles());
        EXPECT_FALSE(Monitoring());
    }

    std::unique_ptr<HeldBoard> board;
};

TEST_F(MonitorTest, FirstStatusEventReportsEveryItemThenOnlyChanges) {
    ASSERT_EQ(0u, board->StartMonitor());
    const uint16_t first[8] = {0x000B, 0x0005, 0x1111, 0x2222, 0x3333, 0x0002, 0x0015, 1};
    EXPECT_EQ(kHeader +
                  " Low Battery:            present\n High Battery:           present\n"
                  " Ring Voltage:           not present\n External Ringer Enable: enabled\n"
                  " Line bank 0:            present\n Line bank 1:            not present\n"
                  " Line bank 2:            present\n Rear I/O:               not present\n"
                  " T8100 system error:     no error\n T8100 clock error:      error\n"
                  " Thermo 0:               present\n Thermo 1:               not present\n"
                  " Thermo 2:               present\n Thermo 3:               not present\n"
                  " Thermo 4:               present\n Thermal state:          Normal\n\n",
              Status(first));
    EXPECT_EQ(kHeader + "\n", Status(first));  // the same status again: no news

    const struct {
        unsigned word;
        uint16_t value;
        const char* lines;
    } changes[] = {
        {6, 0x0011, " Thermo 2:               not present\n"},
        {2, 0x7777, ""},  // words 3 to 5 are not reported
        {0, 0x00F8, " Low Battery:            not present\n High Battery:           not present\n"},
    };
    uint16_t status[8];
    memcpy(status, first, sizeof(status));
    for (const auto& change : changes) {
        status[change.word] = change.value;
        EXPECT_EQ(kHeader + change.lines + "\n", Status(status));
        EXPECT_EQ(0, memcmp(status, board->m_LastStatus, sizeof(status)));
    }
}

TEST_F(MonitorTest, MalformedStatusEventsKeepTheLastStatus) {
    ASSERT_EQ(0u, board->StartMonitor());
    const uint16_t longest[8] = {0, 0, 0, 0, 0, 0, 0, 0xFFFF};  // every item at its longest text
    std::string text = Status(longest);
    EXPECT_EQ(601u, text.size());

    const struct {
        uint16_t length, tag;
        const char* error;
    } cases[] = {
        // error null: accepted
        {14, 0x11, "CKvBoard::StatusEvent - Message->event.params[0] = 0x0011\n"},
        {0xFFFF, 0x10, "CKvBoard::StatusEvent - Message->event.length = 65535\n"},
        {6, 0x10, nullptr},  // a short status event
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        kvtest::ClearAlerts();
        std::vector<uint16_t> params(9, c.error ? 0xFF : 0);
        params[0] = c.tag;
        params[8] = 0xFFFF;
        ASSERT_EQ(0, kvemu::SendDspMessage(0, 0, DSP_EVENT_STATUS, c.length, params));
        board->Event();
        EXPECT_EQ(Texts{c.error ? c.error : kHeader + "\n"},
                  Messages(c.error ? KV_SEVERITY_ERROR : KV_SEVERITY_INFORM));
        EXPECT_EQ(1u, kvtest::Alerts().size());
        EXPECT_EQ(0, memcmp(longest, board->m_LastStatus, sizeof(longest)));
    }
}

TEST_F(MonitorTest, OtherMessagesAreReportedOnce) {
    ASSERT_EQ(0u, board->StartMonitor());
    // A failed receive is reported, and the message it missed arrives next.
    ASSERT_EQ(0, kvemu::SendHeartbeat(0, 0, true) | kvemu::SetFault("kvReceiveMessage", 5, 1));
    board->Event();
    board->Event();
    ASSERT_EQ(0, kvemu::SendDspMessage(0, 0, 0x8001, 9, {0x00AB, 1, 2}));
    board->Event();
    EXPECT_EQ(Texts{"CKvBoard::Event(): kvReceiveMessage returns 5 (0x00000005)\n"},
              Messages(KV_SEVERITY_ERROR));
    EXPECT_EQ(Texts{"Heartbeat lost\n"}, Messages(KV_SEVERITY_INFORM));
    Texts warnings = Messages(KV_SEVERITY_WARNING);
    ASSERT_EQ(1u, warnings.size());
    EXPECT_EQ(0u, warnings[0].find("Unexpected event:\n type:      -32767 (0x8001)\n length:    9\n"
                                   " handle:    0xffff\n target:    0x8000\n timestamp: 0x"))
        << warnings[0];
    EXPECT_EQ("\n params[0]: 0x00ab\n", warnings[0].substr(warnings[0].size() - 20));
    EXPECT_EQ("b0", kvtest::Alerts()[0].source);
    EXPECT_EQ(1, board->m_FirstStatusEvent);  // none of these counts as a status event
}

TEST_F(MonitorTest, MonitorUsesItsOwnHandleOnceAndFailedStartsLeaveNothingOpen) {
    for (const char* fault : {"kvGetMuxHandle", "BoardStartMonitoring"}) {
        SCOPED_TRACE(fault);
        ASSERT_EQ(0, kvemu::SetFault(fault, 9, 1));
        EXPECT_EQ(1u, board->StartMonitor());
        ExpectNothingHeld();
        kvemu::ClearFaults();
    }
    EXPECT_EQ(Messages(KV_SEVERITY_ERROR).size(), 1u);  // only the failed handle is reported
    EXPECT_TRUE(kvtest::AnyAlertContains(
        "CKvBoard::StartMonitor() - kvGetMuxHandle returns 9 (0x00000009) for board "));

    // Once the faults are gone: one handle of its own, listening; a second start changes nothing.
    ASSERT_EQ(0u, board->StartMonitor());
    EXPECT_EQ(nullptr, board->m_DriverHandle);
    EXPECT_EQ(1u, board->StartMonitor());
    EXPECT_TRUE(kvtest::AnyAlertContains("CKvBoard::StartMonitor() - multiple monitor attempt blocked\n"));
    EXPECT_EQ(1u, OpenHandles());
    EXPECT_EQ(0u, board->StopMonitor());
    ExpectNothingHeld();
}

// A handle the driver refuses to close stays the board's, so that the next
// open or the board's end closes it; no other handle is opened beside it
// meanwhile. Lost, it would stay open in the driver, with its descriptor.
TEST_F(MonitorTest, HandleTheDriverRefusesToCloseIsKeptUntilItCloses) {
    const unsigned descriptors = kvtest::Descriptors();
    const struct {
        const char* what;
        bool listened;                     // the refused close is a stop's: the monitor listened before
        std::vector<const char*> failing;  // then each fails its next call, when the monitor starts again
    } cases[] = {
        {"closed after kvGetMuxHandle failed", false, {"kvGetMuxHandle", "kvClose"}},
        {"closed again before the next open", true, {"kvClose"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.listened) {
            ASSERT_EQ(0u, board->StartMonitor());
            ASSERT_EQ(0, kvemu::SetFault("kvClose", 9, 1));
            board->StopMonitor();
        }
        for (const char* function : c.failing) ASSERT_EQ(0, kvemu::SetFault(function, 9, 1));
        EXPECT_EQ(1u, board->StartMonitor());
        EXPECT_NE(nullptr, board->m_MonitorDriverHandle);
        EXPECT_EQ(1u, OpenHandles());
        kvemu::ClearFaults();
        ASSERT_EQ(0u, board->StartMonitor());
        EXPECT_EQ(1u, OpenHandles());
        board->StopMonitor();
        ExpectNothingHeld();
        EXPECT_EQ(descriptors, kvtest::Descriptors());
    }
}

TEST_F(MonitorTest, ThreadReportsMessagesUntilStopped) {
    for (int run = 0; run < 2; ++run) {
        kvtest::ClearAlerts();
        ASSERT_EQ(0u, board->_StartMonitor());
        ASSERT_TRUE(WaitFor(Monitoring));
        ASSERT_EQ(0, kvemu::SendStatus(0, 0, kHeldStatus));
        ASSERT_TRUE(WaitFor([] { return !Messages(KV_SEVERITY_INFORM).empty(); }));
        // The last status survives a restart of the monitor alone: the same status is no news.
        EXPECT_EQ(run == 1, Messages(KV_SEVERITY_INFORM)[0] == kHeader + "\n");
        EXPECT_EQ(1u, board->_StartMonitor());  // a second start leaves the running thread alone
        EXPECT_TRUE(
            kvtest::AnyAlertContains("CKvBoard::_StartMonitor() - multiple monitor attempt blocked\n"));
        EXPECT_EQ(0u, board->_StopMonitor());
        ExpectNothingHeld();
    }
}

TEST_F(MonitorTest, ThreadThatDoesNotEndInTimeIsKeptUntilItHasEnded) {
    kvtest::FakeWaits waits;
    ASSERT_EQ(0u, board->_StartMonitor());
    ASSERT_TRUE(HoldNextMessage());
    // The stop gives up waiting after its 5000 ms (on the test's clock), warns,
    // and keeps the running thread; no second monitor meanwhile.
    waits.Expiring = true;
    EXPECT_EQ(0u, board->_StopMonitor());
    EXPECT_EQ(5000u, waits.Clock.load());
    EXPECT_EQ(1u, board->_StartMonitor());
    EXPECT_EQ(10000u, waits.Clock.load());
    EXPECT_EQ(1u, OpenHandles());
    EXPECT_EQ(
        (Texts{"CKvBoard::_StopMonitor() - error 1 (00000001h) terminating monitor thread\n",
               "CKvBoard::_StartMonitor() - previous monitor thread has not ended, error 1 (00000001h)\n"}),
        Messages(KV_SEVERITY_WARNING));

    // Once it has ended, a new monitor starts in its place. The thread given
    // up on dropped the status it held: the new monitor's first status event
    // still reports every item.
    kvtest::ClearAlerts();
    board->m_Hold = false;
    bool restarted = false;
    ASSERT_TRUE(WaitFor([&] { return restarted || (restarted = board->_StartMonitor() == 0); }));
    EXPECT_EQ(nullptr, board->m_pEndingMonitor);
    EXPECT_TRUE(Messages(KV_SEVERITY_INFORM).empty());
    ASSERT_TRUE(WaitFor(Monitoring));
    ASSERT_EQ(0, kvemu::SendStatus(0, 0, kHeldStatus));
    ASSERT_TRUE(WaitFor([] { return !Messages(KV_SEVERITY_INFORM).empty(); }));
    const std::string report = Messages(KV_SEVERITY_INFORM)[0];
    EXPECT_EQ(18, std::count(report.begin(), report.end(), '\n')) << report;  // header, 16 items, blank

    // The destruction path waits for a left-over thread without limit.
    ASSERT_TRUE(HoldNextMessage());
    EXPECT_EQ(0u, board->_StopMonitor());
    ASSERT_NE(nullptr, board->m_pEndingMonitor);
    // Released once the shutdown waits for the thread's end without limit.
    std::thread releaser([this, &waits] {
        const std::pair<const void*, unsigned> endWithoutLimit(nullptr, ZEL_WAIT_INFINITE);
        EXPECT_TRUE(WaitFor([&] {
            kvtest::FakeWaits::Given given = waits.Waits();
            return std::find(given.begin(), given.end(), endWithoutLimit) != given.end();
        })) << "the shutdown did not wait for the thread's end";
        board->m_Hold = false;
    });
    board->Shutdown();
    EXPECT_EQ(nullptr, board->m_pEndingMonitor);
    EXPECT_EQ(0u, OpenHandles());
    releaser.join();
}

}  // namespace
