// The monitor: status and heartbeat messages turned into board messages, the
// monitor's own driver handle, and the monitor thread's start and stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
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

using Texts = std::vector<std::string>;
const std::string kHeader = "Status event(s) -\n";

Texts Messages(int severity) { return kvtest::AlertTexts(KV_ALERT_MESSAGE, severity); }

// Waits (bounded) for something the monitor thread does on its own.
bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return done();
}

unsigned OpenHandles() {
    kvemu::BoardInfo info{};
    kvemu::GetBoardInfo(0, 0, &info);
    return info.openHandles;
}

// Whether a handle listens for the board's messages: the journal shows more
// successful monitoring starts than stops.
bool Monitoring() {
    int listening = 0;
    for (const std::string& line : kvemu::Journal())
        if (line.find("= 0") != std::string::npos)
            listening += (line.find(" BoardStartMonitoring") != std::string::npos) -
                         (line.find(" BoardStopMonitoring") != std::string::npos);
    return listening > 0;
}

// A board whose message handling can be held up, as by a supervisor that
// does not take an alert.
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
        CKvMonitorThread::m_EndWaitMs = 5000;
        board = std::make_unique<HeldBoard>();
        kvemu::ClearJournal();
        kvtest::ClearAlerts();
    }
    void TearDown() override { CKvMonitorThread::m_EndWaitMs = 5000; }

    // Sends a status event and has the board handle it; answers the one message it sent.
    std::string Status(const uint16_t (&params)[8]) {
        kvtest::ClearAlerts();
        EXPECT_EQ(0, kvemu::SendStatus(0, 0, params));
        board->Event();
        Texts informs = Messages(KV_SEVERITY_INFORM);
        EXPECT_EQ(1u, kvtest::Alerts().size());
        return informs.empty() ? std::string() : informs.back();
    }
    // Sends a heartbeat message to the running monitor thread and holds its handling.
    bool HoldNextMessage(bool lost) {
        board->m_Hold = true;
        board->m_Entered = false;
        return WaitFor(Monitoring) && kvemu::SendHeartbeat(0, 0, lost) == 0 &&
               WaitFor([this] { return board->m_Entered.load(); });
    }
    // The monitor holds nothing: no handle, no event, nothing listening.
    void ExpectNothingHeld() {
        EXPECT_EQ(nullptr, board->m_MonitorDriverHandle);
        EXPECT_EQ(nullptr, board->m_pMonitorEvent);
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

    const struct { unsigned word; uint16_t value; const char* lines; } changes[] = {
        {6, 0x0011, " Thermo 2:               not present\n"},
        {2, 0x7777, ""},  // words 3 to 5 are not reported
        {7, 7, " Thermal state:          Protection\n"},
        {7, 2, " Thermal state:          Warning\n"},
        {7, 0, " Thermal state:          Idle\n"},
        {0, 0x00FB, ""},  // bits outside the items
        {0, 0x00F8, " Low Battery:            not present\n High Battery:           not present\n"},
        {0, 0x00F0, " External Ringer Enable: disabled\n"},
        {1, 0x000D, " Rear I/O:               present\n"},
    };
    uint16_t status[8];
    memcpy(status, first, sizeof(status));
    for (const auto& change : changes) {
        SCOPED_TRACE(change.lines);
        status[change.word] = change.value;
        EXPECT_EQ(kHeader + change.lines + "\n", Status(status));
        EXPECT_EQ(0, memcmp(status, board->m_LastStatus, sizeof(status)));
    }
}

TEST_F(MonitorTest, MalformedStatusEventsKeepTheLastStatus) {
    ASSERT_EQ(0u, board->StartMonitor());
    // A first status with every item at its longest text arrives whole.
    const uint16_t longest[8] = {0, 0, 0, 0, 0, 0, 0, 0xFFFF};
    std::string text = Status(longest);
    EXPECT_EQ(601u, text.size());
    EXPECT_EQ(kHeader + " Low Battery:            not present\n", text.substr(0, kHeader.size() + 37));
    EXPECT_EQ(" Thermal state:          Protection\n\n", text.substr(text.size() - 37));

    const struct { uint16_t length, tag; const char* error; } cases[] = {  // error null: accepted
        {14, 0x11, "CKvBoard::StatusEvent - Message->event.params[0] = 0x0011\n"},
        {14, 0x00, "CKvBoard::StatusEvent - Message->event.params[0] = 0x0000\n"},
        {15, 0x10, "CKvBoard::StatusEvent - Message->event.length = 15\n"},
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
        EXPECT_EQ(1u, kvtest::Alerts().size());
        EXPECT_EQ(c.error ? Texts{c.error} : Texts{}, Messages(KV_SEVERITY_ERROR));
        EXPECT_EQ(c.error ? Texts{} : Texts{kHeader + "\n"}, Messages(KV_SEVERITY_INFORM));
        EXPECT_EQ(0, memcmp(longest, board->m_LastStatus, sizeof(longest)));
    }
}

TEST_F(MonitorTest, OtherMessagesAreReportedOnce) {
    ASSERT_EQ(0u, board->StartMonitor());
    // The unexpected DSP events end with their params[0].
    const struct { std::function<int()> send; int severity; std::string start, end; } cases[] = {
        {[] { return kvemu::SendHeartbeat(0, 0, false); }, KV_SEVERITY_INFORM, "Heartbeat returned\n", ""},
        // A failed receive is reported, and the message it missed arrives next.
        {[] { return kvemu::SendHeartbeat(0, 0, true) | kvemu::SetFault("kvReceiveMessage", 5, 1); },
         KV_SEVERITY_ERROR, "CKvBoard::Event(): kvReceiveMessage returns 5 (0x00000005)\n", ""},
        {[] { return 0; }, KV_SEVERITY_INFORM, "Heartbeat lost\n", ""},
        {[] { return kvemu::SendDspMessage(0, 0, 0x0003, 9, {0x0042, 1, 2, 3, 4}); }, KV_SEVERITY_WARNING,
         "Unexpected event:\n type:      3 (0x0003)\n length:    9\n handle:    0xffff\n"
         " target:    0x8000\n timestamp: 0x",
         "\n params[0]: 0x0042\n"},
        {[] { return kvemu::SendDspMessage(0, 0, 0x8001, 5, {0x00AB}); }, KV_SEVERITY_WARNING,
         "Unexpected event:\n type:      -32767 (0x8001)\n length:    5\n", "\n params[0]: 0x00ab\n"},
        {[] { return kvemu::SendManagerMessage(0, 0, 7); }, KV_SEVERITY_ERROR,
         "CKvBoard::Event(): unknown manager 7 (0x00000007)\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
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
        EXPECT_EQ(c.end, text.substr(text.size() - std::min(text.size(), c.end.size()))) << text;
    }
    EXPECT_EQ(1, board->m_FirstStatusEvent);  // none of these counts as a status event
}

TEST_F(MonitorTest, MonitorUsesItsOwnHandleOnceAndFailedStartsLeaveNothingOpen) {
    // The start of the one error message sent, or null for none.
    const struct { const char* fault; uint32_t status; const char* error; } cases[] = {
        {"kvOpenByBusDeviceFunction", 2, "CKvBoard::StartMonitor() - OpenDriver returns 1 (0x00000001) for board "},
        {"kvGetMuxHandle", 9, "CKvBoard::StartMonitor() - kvGetMuxHandle returns 9 (0x00000009) for board "},
        {"BoardStartMonitoring", 4, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        kvtest::ClearAlerts();
        kvemu::ClearJournal();
        ASSERT_EQ(0, kvemu::SetFault(c.fault, c.status, 1));
        EXPECT_EQ(1u, board->StartMonitor());
        ExpectNothingHeld();
        Texts errors = Messages(KV_SEVERITY_ERROR);
        ASSERT_EQ(c.error ? 1u : 0u, errors.size());
        EXPECT_TRUE(!c.error || errors[0].rfind(c.error, 0) == 0) << errors[0];
        kvemu::ClearFaults();
    }

    // Once the faults are gone: one handle of its own, listening; a second start changes nothing.
    kvemu::ClearJournal();
    ASSERT_EQ(0u, board->StartMonitor());
    EXPECT_EQ(nullptr, board->m_DriverHandle);
    EXPECT_TRUE(Monitoring());
    KVHANDLE handle = board->m_MonitorDriverHandle;
    kvtest::ClearAlerts();
    EXPECT_EQ(1u, board->StartMonitor());
    EXPECT_EQ(Texts{"CKvBoard::StartMonitor() - multiple monitor attempt blocked\n"}, Messages(KV_SEVERITY_WARNING));
    EXPECT_EQ(handle, board->m_MonitorDriverHandle);
    EXPECT_EQ(1u, OpenHandles());
    EXPECT_EQ(0u, board->StopMonitor());
    ExpectNothingHeld();
}

TEST_F(MonitorTest, ThreadReportsMessagesUntilStopped) {
    const uint16_t status[8] = {0xF, 0xF, 0, 0, 0, 0, 0x1F, 1};
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_EQ(0u, board->_StartMonitor());
        ASSERT_TRUE(WaitFor(Monitoring));
        ASSERT_EQ(0, kvemu::SendStatus(0, 0, status));
        ASSERT_TRUE(WaitFor([] { return !Messages(KV_SEVERITY_INFORM).empty(); }));
        // The last status survives a restart of the monitor alone: the same status is no news.
        EXPECT_EQ(run == 1, Messages(KV_SEVERITY_INFORM)[0] == kHeader + "\n");
        ASSERT_EQ(0, kvemu::SendHeartbeat(0, 0, true));
        ASSERT_TRUE(WaitFor([] { return kvtest::AnyAlertContains("Heartbeat lost\n"); }));
        EXPECT_TRUE(Messages(KV_SEVERITY_ERROR).empty());

        // A second start leaves the running thread alone.
        CKvMonitorThread* thread = board->m_pMonitorThread;
        EXPECT_EQ(1u, board->_StartMonitor());
        EXPECT_EQ(thread, board->m_pMonitorThread);
        EXPECT_EQ(Texts{"CKvBoard::_StartMonitor() - multiple monitor attempt blocked\n"},
                  Messages(KV_SEVERITY_WARNING));
        EXPECT_EQ(0u, board->_StopMonitor());
        EXPECT_EQ(0u, board->MonitorStarted());
        ExpectNothingHeld();
        kvemu::ClearJournal();
        EXPECT_EQ(0u, board->_StopMonitor());  // again: finds no monitor, calls nothing
        EXPECT_TRUE(kvemu::Journal().empty());
        kvtest::ClearAlerts();
    }

    // A thread that cannot open its handle ends on its own, counted as started until stopped.
    ASSERT_EQ(0, kvemu::SetFault("kvGetMuxHandle", 9, 1));
    ASSERT_EQ(0u, board->_StartMonitor());
    ASSERT_TRUE(WaitFor([] { return !Messages(KV_SEVERITY_ERROR).empty(); }));
    EXPECT_EQ(1u, board->MonitorStarted());
    EXPECT_EQ(0u, board->_StopMonitor());
    EXPECT_EQ(0u, board->MonitorStarted());
    EXPECT_TRUE(Messages(KV_SEVERITY_WARNING).empty());
    EXPECT_EQ(0u, OpenHandles());
}

TEST_F(MonitorTest, ThreadThatDoesNotEndInTimeIsKeptUntilItHasEnded) {
    CKvMonitorThread::m_EndWaitMs = 50;
    ASSERT_EQ(0u, board->_StartMonitor());
    ASSERT_TRUE(HoldNextMessage(true));
    // The stop gives up waiting, warns, and keeps the running thread; no second monitor meanwhile.
    EXPECT_EQ(0u, board->_StopMonitor());
    ASSERT_NE(nullptr, board->m_pEndingMonitor);
    EXPECT_EQ(1u, board->_StartMonitor());
    EXPECT_EQ(nullptr, board->m_pMonitorThread);
    EXPECT_EQ(1u, OpenHandles());
    EXPECT_EQ((Texts{"CKvBoard::_StopMonitor() - error 1 (00000001h) terminating monitor thread\n",
                     "CKvBoard::_StartMonitor() - previous monitor thread has not ended, error 1 (00000001h)\n"}),
              Messages(KV_SEVERITY_WARNING));

    // Once it has ended, a new monitor starts in its place.
    CKvMonitorThread::m_EndWaitMs = 5000;
    board->m_Hold = false;
    ASSERT_TRUE(WaitFor([] { return OpenHandles() == 0; }));
    kvtest::ClearAlerts();
    ASSERT_EQ(0u, board->_StartMonitor());
    EXPECT_EQ(nullptr, board->m_pEndingMonitor);
    ASSERT_TRUE(WaitFor([] { return OpenHandles() == 1; }));

    // The destruction path waits for a left-over thread without limit.
    CKvMonitorThread::m_EndWaitMs = 50;
    ASSERT_TRUE(HoldNextMessage(false));
    EXPECT_EQ(0u, board->_StopMonitor());
    ASSERT_NE(nullptr, board->m_pEndingMonitor);
    EXPECT_EQ(1u, Messages(KV_SEVERITY_WARNING).size());  // that stop's own, none from the restart
    std::thread releaser([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        board->m_Hold = false;
    });
    EXPECT_EQ(0u, board->_StopMonitor());
    EXPECT_EQ(nullptr, board->m_pEndingMonitor);
    EXPECT_EQ(0u, OpenHandles());
    releaser.join();
}

}  // namespace
