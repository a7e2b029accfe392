// The monitor: board messages from status and heartbeat events, its own handle, its thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "Dsp.h"
#include "fake_waits.h"
#include "fixtures.h"
#include "process_usage.h"

namespace {

using kvtest::Messages;
using kvtest::OpenHandles;
using kvtest::Texts;
using kvtest::WaitFor;
const std::string kHeader = "Status event(s) -\n";
const uint16_t kHeldStatus[8] = {0xF, 0xF, 0, 0, 0, 0, 0x1F, 1};

// Whether a handle listens: more successful monitoring starts than stops in the journal.
bool Monitoring() {
    int listening = 0;
    for (const std::string& call : kvtest::Calls())
        if (call.find(" = 0") != std::string::npos)
            listening +=
                (call.rfind("BoardStartMonitoring", 0) == 0) - (call.rfind("BoardStopMonitoring", 0) == 0);
    return listening > 0;
}

// A board whose message handling can be held up, as by a supervisor that does not take an alert.
struct HeldBoard : CKvBoard {
    HeldBoard() : CKvBoard("b0", "KV 7400C-48") {}
    void Event() override {
        m_Entered = true;
        while (m_Hold) std::this_thread::yield();
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
    // Queues the message, has the board handle it and answers the messages it sent.
    Texts Handle(const std::vector<uint32_t>& words) {
        kvtest::ClearAlerts();
        EXPECT_EQ(0, kvemu::QueueMessage(0, 0, words.data(), static_cast<uint32_t>(words.size() * 4)));
        board->Event();
        return Messages(-1);
    }
    std::string Status(const uint16_t (&params)[8]) {
        kvtest::ClearAlerts();
        EXPECT_EQ(0, kvemu::SendStatus(0, 0, params));
        board->Event();
        Texts sent = Messages(-1);
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
        {7, 2, " Thermal state:          Warning\n"},
        {7, 3, " Thermal state:          Protection\n"},
        {7, 0, " Thermal state:          Idle\n"},
    };
    uint16_t status[8];
    std::copy(first, first + 8, status);
    for (const auto& change : changes) {
        status[change.word] = change.value;
        EXPECT_EQ(kHeader + change.lines + "\n", Status(status));
        EXPECT_TRUE(std::equal(status, status + 8, board->m_LastStatus));
    }
}

TEST_F(MonitorTest, MalformedStatusEventsKeepTheLastStatus) {
    ASSERT_EQ(0u, board->StartMonitor());
    const uint16_t longest[8] = {0, 0, 0, 0, 0, 0, 0, 0xFFFF};  // every item at its longest text
    EXPECT_EQ(601u, Status(longest).size());
    const struct {
        uint16_t length, tag;
        const char* error;  // null: accepted
    } cases[] = {
        {14, 0x11, "CKvBoard::StatusEvent - Message->event.params[0] = 0x0011\n"},
        {15, 0x10, "CKvBoard::StatusEvent - Message->event.length = 15\n"},
        {14, 0x10, nullptr},  // the longest status event
        {6, 0x10, nullptr},   // a short one
    };
    for (const auto& c : cases) {
        kvtest::ClearAlerts();
        std::vector<uint16_t> params(9, c.error ? 0xFF : 0);
        params[0] = c.tag;
        params[8] = 0xFFFF;
        ASSERT_EQ(0, kvemu::SendDspMessage(0, 0, DSP_EVENT_STATUS, c.length, params));
        board->Event();
        EXPECT_EQ(Messages(c.error ? 2 : 0), Texts{c.error ? c.error : kHeader + "\n"}) << c.length;
        EXPECT_EQ(1u, kvtest::Alerts().size());
        EXPECT_TRUE(std::equal(longest, longest + 8, board->m_LastStatus));
    }
}

TEST_F(MonitorTest, OtherMessagesAreReportedOnce) {
    ASSERT_EQ(0u, board->StartMonitor());
    // A failed receive is reported, and the message it missed arrives next.
    ASSERT_EQ(0, kvemu::SendHeartbeat(0, 0, true) | kvemu::SetFault("kvReceiveMessage", 5, 1));
    board->Event();
    EXPECT_EQ(Messages(kvtest::kError),
              Texts{"CKvBoard::Event(): kvReceiveMessage returns 5 (0x00000005)\n"});
    kvtest::ClearAlerts();
    board->Event();
    EXPECT_EQ(Messages(-1), Texts{"Heartbeat lost\n"});
    EXPECT_EQ("b0", kvtest::Alerts()[0].source);
    EXPECT_EQ((Texts{"Heartbeat returned\n"}), Handle({1, 2}));
    EXPECT_EQ((Texts{"CKvBoard::Event() - unexpected event from board manager\n"}), Handle({1, 3}));
    EXPECT_EQ((Texts{"CKvBoard::Event(): unknown manager 3 (0x00000003)\n"}), Handle({3, 1}));
    ASSERT_EQ(0, kvemu::SendDspMessage(0, 0, 0x8001, 9, {0x00AB, 1, 2}));
    kvtest::ClearAlerts();
    board->Event();
    Texts warnings = Messages(kvtest::kWarning);
    ASSERT_EQ(1u, warnings.size());
    EXPECT_EQ(0u, warnings[0].find("Unexpected event:\n type:      -32767 (0x8001)\n length:    9\n"
                                   " handle:    0xffff\n target:    0x8000\n timestamp: 0x"))
        << warnings[0];
    EXPECT_EQ("\n params[0]: 0x00ab\n", warnings[0].substr(warnings[0].size() - 20));
    EXPECT_EQ(1, board->m_FirstStatusEvent);  // none of these counts as a status event
}

TEST_F(MonitorTest, MonitorUsesItsOwnHandleOnceAndFailedStartsLeaveNothingOpen) {
    for (const char* fault : {"kvGetMuxHandle", "BoardStartMonitoring", "kvOpenByBusDeviceFunction"}) {
        ASSERT_EQ(0, kvemu::SetFault(fault, 9, 1));
        EXPECT_EQ(1u, board->StartMonitor()) << fault;
        ExpectNothingHeld();
        kvemu::ClearFaults();
    }
    // The failed start of the monitoring itself is not reported.
    EXPECT_EQ(Messages(kvtest::kError),
              (Texts{"CKvBoard::StartMonitor() - kvGetMuxHandle returns 9 (0x00000009) for board -1\n",
                     "CKvBoard::StartMonitor() - OpenDriver returns 1 (0x00000001) for board -1\n"}));
    // Once the faults are gone: one handle of its own, listening; a second start changes nothing.
    ASSERT_EQ(0u, board->StartMonitor());
    EXPECT_EQ(nullptr, board->m_DriverHandle);
    EXPECT_EQ(1u, board->StartMonitor());
    EXPECT_TRUE(kvtest::AnyAlertContains("CKvBoard::StartMonitor() - multiple monitor attempt blocked\n"));
    EXPECT_EQ(1u, OpenHandles());
    EXPECT_EQ(0u, board->StopMonitor());
    ExpectNothingHeld();
}

// A handle the driver refuses to close stays the board's, so that the next open or the board's end closes it;
// no other handle is opened beside it meanwhile. Lost, it would stay open in the driver.
TEST_F(MonitorTest, HandleTheDriverRefusesToCloseIsKeptUntilItCloses) {
    const unsigned descriptors = kvtest::Descriptors();
    // Whether the refused close is a stop's (the monitor listened before); then each function fails its next
    // call, when the monitor starts again.
    const std::pair<bool, std::vector<const char*>> cases[] = {{false, {"kvGetMuxHandle", "kvClose"}},
                                                               {true, {"kvClose"}}};
    for (const auto& [listened, failing] : cases) {
        if (listened) {
            ASSERT_EQ(0u, board->StartMonitor());
            ASSERT_EQ(0, kvemu::SetFault("kvClose", 9, 1));
            board->StopMonitor();
        }
        for (const char* function : failing) ASSERT_EQ(0, kvemu::SetFault(function, 9, 1));
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
        ASSERT_TRUE(WaitFor([] { return !Messages(kvtest::kInform).empty(); }));
        // The last status survives a restart of the monitor alone: the same status is no news.
        EXPECT_EQ(run == 1, Messages(kvtest::kInform)[0] == kHeader + "\n");
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
    // The stop gives up waiting after its 5000 ms (on the test's clock), warns, and keeps the running thread;
    // no second monitor meanwhile.
    waits.Expiring = true;
    EXPECT_EQ(0u, board->_StopMonitor());
    EXPECT_EQ(5000u, waits.Clock.load());
    EXPECT_EQ(1u, board->_StartMonitor());
    EXPECT_EQ(10000u, waits.Clock.load());
    EXPECT_EQ(1u, OpenHandles());
    EXPECT_EQ(
        Messages(kvtest::kWarning),
        (Texts{"CKvBoard::_StopMonitor() - error 1 (00000001h) terminating monitor thread\n",
               "CKvBoard::_StartMonitor() - previous monitor thread has not ended, error 1 (00000001h)\n"}));
    // Once it has ended, a new monitor starts in its place. The thread given up on dropped the status it
    // held: the new monitor's first status event still reports every item.
    kvtest::ClearAlerts();
    board->m_Hold = false;
    bool restarted = false;
    ASSERT_TRUE(WaitFor([&] { return restarted || (restarted = board->_StartMonitor() == 0); }));
    EXPECT_EQ(nullptr, board->m_pEndingMonitor);
    EXPECT_TRUE(Messages(kvtest::kInform).empty());
    ASSERT_TRUE(WaitFor(Monitoring));
    ASSERT_EQ(0, kvemu::SendStatus(0, 0, kHeldStatus));
    ASSERT_TRUE(WaitFor([] { return !Messages(kvtest::kInform).empty(); }));
    const std::string report = Messages(kvtest::kInform)[0];
    EXPECT_EQ(18, std::count(report.begin(), report.end(), '\n')) << report;  // header, 16 items, blank
    // The destruction path waits for a left-over thread without limit; it is released once the shutdown waits
    // for the thread's end that way.
    ASSERT_TRUE(HoldNextMessage());
    EXPECT_EQ(0u, board->_StopMonitor());
    ASSERT_NE(nullptr, board->m_pEndingMonitor);
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
