// The monitor: status and heartbeat messages turned into board messages, the
// monitor's own driver handle, and the monitor thread's start and stop.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Dsp.h"
#include "KvMonitorThread.h"
#include "Supervisor.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"

namespace {

const char kHeader[] = "Status event(s) -\n";

std::vector<std::string> Informs() { return kvtest::AlertTexts(KV_ALERT_MESSAGE, KV_SEVERITY_INFORM); }
std::vector<std::string> Warnings() { return kvtest::AlertTexts(KV_ALERT_MESSAGE, KV_SEVERITY_WARNING); }
std::vector<std::string> Errors() { return kvtest::AlertTexts(KV_ALERT_MESSAGE, KV_SEVERITY_ERROR); }

// Waits (bounded) for something the monitor thread does on its own.
bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 2000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

unsigned OpenHandles() {
    kvemu::BoardInfo info{};
    kvemu::GetBoardInfo(0, 0, &info);
    return info.openHandles;
}

// Whether a handle of the board listens for its messages: the driver's
// journal shows more monitoring starts than stops.
bool Monitoring() {
    int listening = 0;
    for (const std::string& line : kvemu::Journal()) {
        if (line.find(" BoardStartMonitoring") != std::string::npos && line.find("= 0") != std::string::npos)
            ++listening;
        if (line.find(" BoardStopMonitoring") != std::string::npos && line.find("= 0") != std::string::npos)
            --listening;
    }
    return listening > 0;
}

// ---- Message handling, driven on the test's own thread --------------------

class MonitorEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        board = std::make_unique<CKvBoard>("b0", "KV 7400C-48");
        ASSERT_EQ(0u, board->StartMonitor());
        ASSERT_NE(nullptr, board->m_MonitorDriverHandle);
        ASSERT_NE(nullptr, board->m_pMonitorEvent);
        kvtest::ClearAlerts();
    }
    void TearDown() override {
        board->StopMonitor();
        EXPECT_EQ(nullptr, board->m_MonitorDriverHandle);
        EXPECT_EQ(nullptr, board->m_pMonitorEvent);
    }

    // Sends a status event and has the board handle it; answers the one message it sent.
    std::string Status(const uint16_t (&params)[8]) {
        kvtest::ClearAlerts();
        EXPECT_EQ(0, kvemu::SendStatus(0, 0, params));
        board->Event();
        std::vector<std::string> informs = Informs();
        EXPECT_EQ(1u, kvtest::Alerts().size());
        return informs.empty() ? std::string() : informs.back();
    }

    std::unique_ptr<CKvBoard> board;
};

TEST_F(MonitorEventTest, FirstStatusEventReportsEveryItemThenOnlyChanges) {
    const uint16_t first[8] = {0x000B, 0x0005, 0x1111, 0x2222, 0x3333, 0x0002, 0x0015, 1};
    EXPECT_EQ(std::string(kHeader) +
                  " Low Battery:            present\n"
                  " High Battery:           present\n"
                  " Ring Voltage:           not present\n"
                  " External Ringer Enable: enabled\n"
                  " Line bank 0:            present\n"
                  " Line bank 1:            not present\n"
                  " Line bank 2:            present\n"
                  " Rear I/O:               not present\n"
                  " T8100 system error:     no error\n"
                  " T8100 clock error:      error\n"
                  " Thermo 0:               present\n"
                  " Thermo 1:               not present\n"
                  " Thermo 2:               present\n"
                  " Thermo 3:               not present\n"
                  " Thermo 4:               present\n"
                  " Thermal state:          Normal\n"
                  "\n",
              Status(first));
    EXPECT_EQ(0, board->m_FirstStatusEvent);

    // The same status again: the header and the empty line only.
    EXPECT_EQ(std::string(kHeader) + "\n", Status(first));

    struct Change {
        const char* what;
        unsigned word;
        uint16_t value;
        const char* lines;
    };
    const Change changes[] = {
        {"thermo 2 bit alone", 6, 0x0011, " Thermo 2:               not present\n"},
        {"unreported word 3", 2, 0x7777, ""},
        {"unreported words 4 and 5", 3, 0xFFFF, ""},
        {"thermal state above 2", 7, 7, " Thermal state:          Protection\n"},
        {"thermal state warning", 7, 2, " Thermal state:          Warning\n"},
        {"thermal state idle", 7, 0, " Thermal state:          Idle\n"},
        {"bits outside the items", 0, 0x00FB, ""},
        {"two batteries", 0, 0x00F8,
         " Low Battery:            not present\n High Battery:           not present\n"},
        {"ringer", 0, 0x00F0, " External Ringer Enable: disabled\n"},
        {"rear I/O", 1, 0x000D, " Rear I/O:               present\n"},
    };
    uint16_t status[8];
    memcpy(status, first, sizeof(status));
    for (const Change& change : changes) {
        SCOPED_TRACE(change.what);
        status[change.word] = change.value;
        EXPECT_EQ(std::string(kHeader) + change.lines + "\n", Status(status));
        EXPECT_EQ(0, memcmp(status, board->m_LastStatus, sizeof(status)));
    }
}

TEST_F(MonitorEventTest, LongestStatusTextArrivesWhole) {
    // Every bit clear and a thermal state past 2: each item at its longest text.
    const uint16_t longest[8] = {0, 0, 0, 0, 0, 0, 0, 0xFFFF};
    std::string text = Status(longest);
    EXPECT_EQ(601u, text.size());
    EXPECT_EQ(std::string(kHeader) + " Low Battery:            not present\n",
              text.substr(0, strlen(kHeader) + 37));
    EXPECT_EQ(" Thermal state:          Protection\n\n", text.substr(text.size() - 37));
}

TEST_F(MonitorEventTest, RejectedStatusEventsKeepTheLastStatus) {
    const uint16_t known[8] = {1, 2, 3, 4, 5, 1, 3, 1};
    Status(known);
    const uint16_t other[8] = {0, 0, 0, 0, 0, 0, 0, 2};
    struct Bad {
        uint16_t length;
        uint16_t tag;
        const char* error;
    };
    const Bad bad[] = {
        {14, 0x11, "CKvBoard::StatusEvent - Message->event.params[0] = 0x0011\n"},
        {14, 0x00, "CKvBoard::StatusEvent - Message->event.params[0] = 0x0000\n"},
        {15, 0x10, "CKvBoard::StatusEvent - Message->event.length = 15\n"},
        {0xFFFF, 0x10, "CKvBoard::StatusEvent - Message->event.length = 65535\n"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.error);
        kvtest::ClearAlerts();
        std::vector<uint16_t> params = {b.tag};
        params.insert(params.end(), other, other + 8);
        ASSERT_EQ(0, kvemu::SendDspMessage(0, 0, DSP_EVENT_STATUS, b.length, params));
        board->Event();
        EXPECT_EQ(std::vector<std::string>{b.error}, Errors());
        EXPECT_EQ(1u, kvtest::Alerts().size());
        EXPECT_EQ(0, memcmp(known, board->m_LastStatus, sizeof(known)));
    }
    // A short status event is accepted.
    kvtest::ClearAlerts();
    std::vector<uint16_t> params = {0x10};
    params.insert(params.end(), known, known + 8);
    ASSERT_EQ(0, kvemu::SendDspMessage(0, 0, DSP_EVENT_STATUS, 6, params));
    board->Event();
    EXPECT_EQ(std::vector<std::string>{std::string(kHeader) + "\n"}, Informs());
}

TEST_F(MonitorEventTest, OtherMessagesAreReportedOnce) {
    struct Case {
        const char* what;
        std::function<int()> send;
        int severity;
        std::string start;
        std::string end;  // the unexpected DSP events end with their params[0]
    };
    const Case cases[] = {
        {"heartbeat lost", [] { return kvemu::SendHeartbeat(0, 0, true); }, KV_SEVERITY_INFORM,
         "Heartbeat lost\n", "Heartbeat lost\n"},
        {"heartbeat returned", [] { return kvemu::SendHeartbeat(0, 0, false); }, KV_SEVERITY_INFORM,
         "Heartbeat returned\n", "Heartbeat returned\n"},
        {"DSP type 3",
         [] { return kvemu::SendDspMessage(0, 0, 0x0003, 9, {0x0042, 1, 2, 3, 4}); },
         KV_SEVERITY_WARNING,
         "Unexpected event:\n type:      3 (0x0003)\n length:    9\n handle:    0xffff\n"
         " target:    0x8000\n timestamp: 0x",
         "\n params[0]: 0x0042\n"},
        {"DSP type 0x8001",
         [] { return kvemu::SendDspMessage(0, 0, 0x8001, 5, {0x00AB}); }, KV_SEVERITY_WARNING,
         "Unexpected event:\n type:      -32767 (0x8001)\n length:    5\n", "\n params[0]: 0x00ab\n"},
        {"unknown manager", [] { return kvemu::SendManagerMessage(0, 0, 7); }, KV_SEVERITY_ERROR,
         "CKvBoard::Event(): unknown manager 7 (0x00000007)\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kvtest::ClearAlerts();
        ASSERT_EQ(0, c.send());
        board->Event();
        std::vector<kvtest::Alert> alerts = kvtest::Alerts();
        ASSERT_EQ(1u, alerts.size());
        const std::string& text = alerts[0].text;
        EXPECT_EQ(KV_ALERT_MESSAGE, alerts[0].code);
        EXPECT_EQ(static_cast<uint32_t>(c.severity), alerts[0].severity);
        EXPECT_EQ("b0", alerts[0].source);
        EXPECT_EQ(0u, text.find(c.start)) << text;
        EXPECT_TRUE(text.size() >= c.end.size() &&
                    text.compare(text.size() - c.end.size(), c.end.size(), c.end) == 0)
            << text;
    }
    // Nothing of these counts as the first status event.
    EXPECT_EQ(1, board->m_FirstStatusEvent);
}

TEST_F(MonitorEventTest, ReceiveFailureIsReportedAndTheNextMessageStillArrives) {
    ASSERT_EQ(0, kvemu::SendHeartbeat(0, 0, true));
    ASSERT_EQ(0, kvemu::SetFault("kvReceiveMessage", 5, 1));
    board->Event();
    EXPECT_EQ(std::vector<std::string>{"CKvBoard::Event(): kvReceiveMessage returns 5 (0x00000005)\n"},
              Errors());
    kvtest::ClearAlerts();
    board->Event();
    EXPECT_EQ(std::vector<std::string>{"Heartbeat lost\n"}, Informs());
}

// ---- Opening and closing the monitor's own driver handle ----------------------

class MonitorHandleTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        board = std::make_unique<CKvBoard>("b0", "KV 7400C-48");
        kvemu::ClearJournal();
    }
    std::unique_ptr<CKvBoard> board;
};

TEST_F(MonitorHandleTest, StartAndStopUseTheMonitorsOwnHandle) {
    ASSERT_EQ(0u, board->StartMonitor());
    EXPECT_EQ(nullptr, board->m_DriverHandle);
    EXPECT_EQ(1u, OpenHandles());
    EXPECT_TRUE(Monitoring());

    // A second start on the same board is refused and changes nothing.
    KVHANDLE handle = board->m_MonitorDriverHandle;
    CZelEvent* event = board->m_pMonitorEvent;
    EXPECT_EQ(1u, board->StartMonitor());
    EXPECT_EQ(std::vector<std::string>{"CKvBoard::StartMonitor() - multiple monitor attempt blocked\n"},
              Warnings());
    EXPECT_EQ(handle, board->m_MonitorDriverHandle);
    EXPECT_EQ(event, board->m_pMonitorEvent);
    EXPECT_EQ(1u, OpenHandles());

    EXPECT_EQ(0u, board->StopMonitor());
    EXPECT_EQ(nullptr, board->m_MonitorDriverHandle);
    EXPECT_EQ(nullptr, board->m_pMonitorEvent);
    EXPECT_EQ(0u, OpenHandles());
    EXPECT_FALSE(Monitoring());
}

TEST_F(MonitorHandleTest, FailedStartsLeaveNothingOpen) {
    struct Case {
        const char* what;
        const char* fault;
        uint32_t status;
        const char* error;  // start of the one error message, or null for none
    };
    const Case cases[] = {
        {"open", "kvOpenByBusDeviceFunction", 2, "CKvBoard::StartMonitor() - OpenDriver returns 1 (0x00000001) for board "},
        {"mux handle", "kvGetMuxHandle", 9, "CKvBoard::StartMonitor() - kvGetMuxHandle returns 9 (0x00000009) for board "},
        {"monitoring", "BoardStartMonitoring", 4, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kvtest::ClearAlerts();
        ASSERT_EQ(0, kvemu::SetFault(c.fault, c.status, 1));
        EXPECT_EQ(1u, board->StartMonitor());
        EXPECT_EQ(nullptr, board->m_MonitorDriverHandle);
        EXPECT_EQ(nullptr, board->m_pMonitorEvent);
        EXPECT_EQ(0u, OpenHandles());
        std::vector<std::string> errors = Errors();
        if (c.error) {
            ASSERT_EQ(1u, errors.size());
            EXPECT_EQ(0u, errors[0].find(c.error)) << errors[0];
        } else {
            EXPECT_TRUE(errors.empty());
        }
        kvemu::ClearFaults();
    }
    // The board can be monitored once the faults are gone.
    EXPECT_EQ(0u, board->StartMonitor());
    board->StopMonitor();
}

// ---- The monitor thread ---------------------------------------------------------

// A board whose message handling can be held up, as by a supervisor that does
// not take an alert.
class HeldBoard : public CKvBoard {
public:
    HeldBoard() : CKvBoard("b0", "KV 7400C-48") {}
    void Event() override {
        std::unique_lock<std::mutex> lock(m_Lock);
        m_Entered = true;
        m_Changed.notify_all();
        m_Changed.wait(lock, [this] { return !m_Hold; });
        lock.unlock();
        CKvBoard::Event();
    }
    void Hold() {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Hold = true;
        m_Entered = false;
    }
    bool WaitEntered() {
        std::unique_lock<std::mutex> lock(m_Lock);
        return m_Changed.wait_for(lock, std::chrono::seconds(5), [this] { return m_Entered; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Hold = false;
        m_Changed.notify_all();
    }

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    bool m_Hold = false;
    bool m_Entered = false;
};

class MonitorThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
        CKvMonitorThread::m_EndWaitMs = 5000;
    }
    void TearDown() override { CKvMonitorThread::m_EndWaitMs = 5000; }
};

TEST_F(MonitorThreadTest, ThreadReportsMessagesUntilStopped) {
    CKvBoard board("b0", "KV 7400C-48");
    kvemu::ClearJournal();
    ASSERT_EQ(0u, board._StartMonitor());
    EXPECT_EQ(1u, board.MonitorStarted());
    ASSERT_TRUE(WaitFor(Monitoring));

    ASSERT_EQ(0, kvemu::SendHeartbeat(0, 0, true));
    ASSERT_TRUE(WaitFor([] { return kvtest::AnyAlertContains("Heartbeat lost\n"); }));
    const uint16_t status[8] = {0xF, 0xF, 0, 0, 0, 0, 0x1F, 1};
    ASSERT_EQ(0, kvemu::SendStatus(0, 0, status));
    ASSERT_TRUE(WaitFor([] { return kvtest::AnyAlertContains(" Thermal state:          Normal\n"); }));

    // A second start leaves the running thread alone.
    CKvMonitorThread* thread = board.m_pMonitorThread;
    EXPECT_EQ(1u, board._StartMonitor());
    EXPECT_EQ(thread, board.m_pMonitorThread);
    EXPECT_EQ(1u, Warnings().size());
    EXPECT_TRUE(kvtest::AnyAlertContains("CKvBoard::_StartMonitor() - multiple monitor attempt blocked\n"));
    ASSERT_EQ(0, kvemu::SendHeartbeat(0, 0, false));
    ASSERT_TRUE(WaitFor([] { return kvtest::AnyAlertContains("Heartbeat returned\n"); }));

    EXPECT_EQ(0u, board._StopMonitor());
    EXPECT_EQ(0u, board.MonitorStarted());
    EXPECT_EQ(nullptr, board.m_pMonitorThread);
    EXPECT_EQ(nullptr, board.m_MonitorDriverHandle);
    EXPECT_EQ(nullptr, board.m_pMonitorEvent);
    EXPECT_EQ(0u, OpenHandles());
    EXPECT_FALSE(Monitoring());
    EXPECT_TRUE(Errors().empty());

    // Stopping again finds no monitor and calls nothing.
    kvemu::ClearJournal();
    kvtest::ClearAlerts();
    EXPECT_EQ(0u, board._StopMonitor());
    EXPECT_TRUE(kvemu::Journal().empty());
    EXPECT_TRUE(kvtest::Alerts().empty());

    // The last status survives a restart of the monitor alone: the same status is no news.
    ASSERT_EQ(0u, board._StartMonitor());
    ASSERT_TRUE(WaitFor(Monitoring));
    kvtest::ClearAlerts();
    ASSERT_EQ(0, kvemu::SendStatus(0, 0, status));
    ASSERT_TRUE(WaitFor([] { return !Informs().empty(); }));
    EXPECT_EQ(std::vector<std::string>{std::string(kHeader) + "\n"}, Informs());
    EXPECT_EQ(0u, board._StopMonitor());
}

TEST_F(MonitorThreadTest, ThreadThatCannotOpenItsHandleEndsOnItsOwn) {
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(0, kvemu::SetFault("kvGetMuxHandle", 9, 1));
    ASSERT_EQ(0u, board._StartMonitor());
    ASSERT_TRUE(WaitFor([] { return !Errors().empty(); }));
    // Counted as started until stopped, and stopping it needs no warning.
    EXPECT_EQ(1u, board.MonitorStarted());
    EXPECT_EQ(0u, board._StopMonitor());
    EXPECT_EQ(0u, board.MonitorStarted());
    EXPECT_TRUE(Warnings().empty());
    EXPECT_EQ(0u, OpenHandles());
}

TEST_F(MonitorThreadTest, ThreadThatDoesNotEndInTimeIsKeptUntilItHasEnded) {
    CKvMonitorThread::m_EndWaitMs = 50;
    HeldBoard board;
    ASSERT_EQ(0u, board._StartMonitor());
    ASSERT_TRUE(WaitFor(Monitoring));
    board.Hold();
    ASSERT_EQ(0, kvemu::SendHeartbeat(0, 0, true));
    ASSERT_TRUE(board.WaitEntered());

    // The stop gives up waiting, warns, and keeps the running thread.
    EXPECT_EQ(0u, board._StopMonitor());
    EXPECT_EQ(std::vector<std::string>{"CKvBoard::_StopMonitor() - error 1 (00000001h) terminating monitor thread\n"},
              Warnings());
    EXPECT_EQ(0u, board.MonitorStarted());
    ASSERT_NE(nullptr, board.m_pEndingMonitor);

    // No second monitor while the first still runs.
    kvtest::ClearAlerts();
    EXPECT_EQ(1u, board._StartMonitor());
    EXPECT_EQ(nullptr, board.m_pMonitorThread);
    EXPECT_EQ(1u, Warnings().size());
    EXPECT_EQ(1u, OpenHandles());

    // Once it has ended, a new monitor starts in its place.
    CKvMonitorThread::m_EndWaitMs = 5000;
    board.Release();
    ASSERT_TRUE(WaitFor([] { return OpenHandles() == 0; }));
    kvtest::ClearAlerts();
    ASSERT_EQ(0u, board._StartMonitor());
    EXPECT_EQ(nullptr, board.m_pEndingMonitor);
    ASSERT_TRUE(WaitFor([] { return OpenHandles() == 1; }));
    EXPECT_EQ(0u, board._StopMonitor());
    EXPECT_TRUE(Warnings().empty());

    // The destruction path waits for a left-over thread without limit.
    CKvMonitorThread::m_EndWaitMs = 50;
    ASSERT_EQ(0u, board._StartMonitor());
    ASSERT_TRUE(WaitFor(Monitoring));
    board.Hold();
    ASSERT_EQ(0, kvemu::SendHeartbeat(0, 0, false));
    ASSERT_TRUE(board.WaitEntered());
    EXPECT_EQ(0u, board._StopMonitor());
    ASSERT_NE(nullptr, board.m_pEndingMonitor);
    std::thread releaser([&board] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        board.Release();
    });
    EXPECT_EQ(0u, board._StopMonitor());
    EXPECT_EQ(nullptr, board.m_pEndingMonitor);
    EXPECT_EQ(0u, OpenHandles());
    releaser.join();
}

}  // namespace
