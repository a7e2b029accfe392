// The process-wide proxy through which boards send alerts to the supervisor.
#pragma once

#include <cstdarg>
#include <cstdint>

enum : uint32_t {
    KV_ALERT_MESSAGE = 0x40002001,            // error, warning, information or trace
    KV_ALERT_REPORT = 0x40002002,             // the board report
    KV_ALERT_REMOVAL_REQUESTED = 0x40112002,  // from the supervisor: removal of a board requested
    KV_SEVERITY_INFORM = 0,
    KV_SEVERITY_WARNING = 1,
    KV_SEVERITY_ERROR = 2,
    KV_E_ALERT_NO_MEMORY = 0x40000003,
};

class CSupervisor {
public:
    // The instance, made on first use (safely, from any number of threads).
    static CSupervisor* GetSupervisor();

    // Formats the message (cut to m_MaxMessageSize - 1 characters), builds an
    // alert record and hands it to the supervisor; answers the supervisor's
    // status, or KV_E_ALERT_NO_MEMORY when nothing could be sent.
    uint32_t AlertNotify(uint32_t code, uint32_t severity, const char* source, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    uint32_t AlertNotify(uint32_t code, uint32_t severity, const char* source, const char* format,
                         va_list arguments) __attribute__((format(printf, 5, 0)));

    uint32_t m_MaxMessageSize;

    // Whether the calling thread is running the supervisor's own code right
    // now, called from the plug-in (an alert, a database call, a device scan):
    // such a thread is inside an entry point, and must not wait for the
    // entry points to drain.
    static bool InSupervisorCode();

private:
    CSupervisor();
};

// Marks the calling thread as running the supervisor's code for its scope:
// every call from the plug-in into the supervisor is made inside one.
class CSupervisorCall {
public:
    CSupervisorCall();
    ~CSupervisorCall();
    CSupervisorCall(const CSupervisorCall&) = delete;
    CSupervisorCall& operator=(const CSupervisorCall&) = delete;
};
