// The process-wide proxy through which boards send alerts to the supervisor.
#pragma once

#include <cstdarg>
#include <cstdint>

enum : uint32_t {
    KV_ALERT_MESSAGE = 0x40002001,           // error, warning, information or trace
    KV_ALERT_REPORT = 0x40002002,            // the board report
    KV_ALERT_REMOVAL_REQUESTED = 0x40112002, // from the supervisor: removal of a board requested
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

private:
    CSupervisor();
};
