// The process-wide proxy through which boards send alerts to the supervisor.
#include "Supervisor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "oam/oamsupervisor.h"

namespace {
const uint32_t kMaxMessageSize = 0x5000;  // terminating NUL included
const uint32_t kHeaderSize = sizeof(oam_msg_tag);
// Calls into the supervisor's code the calling thread is inside.
thread_local unsigned t_supervisorCalls = 0;
}  // namespace

CSupervisorCall::CSupervisorCall() { ++t_supervisorCalls; }

CSupervisorCall::~CSupervisorCall() { --t_supervisorCalls; }

bool CSupervisor::InSupervisorCode() { return t_supervisorCalls != 0; }

CSupervisor::CSupervisor() : m_MaxMessageSize(kMaxMessageSize) {}

CSupervisor* CSupervisor::GetSupervisor() {
    // Made once, safely even when the first messages come from several threads;
    // never destroyed, so that messages sent late in the process still find it.
    static CSupervisor* instance = new CSupervisor();
    return instance;
}

uint32_t CSupervisor::AlertNotify(uint32_t code, uint32_t severity, const char* source, const char* format,
                                  ...) {
    va_list arguments;
    va_start(arguments, format);
    uint32_t result = AlertNotify(code, severity, source, format, arguments);
    va_end(arguments);
    return result;
}

uint32_t CSupervisor::AlertNotify(uint32_t code, uint32_t severity, const char* source, const char* format,
                                  va_list arguments) {
    if (source == nullptr) source = "";
    if (format == nullptr) format = "";
    uint32_t maxSize = m_MaxMessageSize;
    char* text = static_cast<char*>(malloc(maxSize));
    if (text == nullptr) return KV_E_ALERT_NO_MEMORY;
    int written = vsnprintf(text, maxSize, format, arguments);
    if (written < 0) text[0] = '\0';
    text[maxSize - 1] = '\0';

    size_t nameLength = strlen(source);
    size_t textLength = strlen(text);
    size_t total = kHeaderSize + nameLength + 1 + textLength + 1;
    if (total > 0xFFFFFFFFu) {
        free(text);
        return KV_E_ALERT_NO_MEMORY;
    }
    char* block = static_cast<char*>(calloc(1, total));
    if (block == nullptr) {
        free(text);
        return KV_E_ALERT_NO_MEMORY;
    }
    oam_msg_tag* record = reinterpret_cast<oam_msg_tag*>(block);
    record->size = static_cast<uint32_t>(total);
    record->alert = code;
    record->severity = severity;
    record->source_offset = kHeaderSize;
    record->text_offset = static_cast<uint32_t>(kHeaderSize + nameLength + 1);
    memcpy(block + record->source_offset, source, nameLength + 1);
    memcpy(block + record->text_offset, text, textLength + 1);

    uint32_t status;
    {
        CSupervisorCall call;
        status = _oamAlertNotify(record);
    }
    free(block);
    free(text);
    return status;
}
