// The message helpers every holder of a board's services calls.
#include "KvBoardServices.h"

#include "Supervisor.h"

void IKvBoardServices::Error(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    SendMessage(KV_SEVERITY_ERROR, format, arguments);
    va_end(arguments);
}

void IKvBoardServices::Warning(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    SendMessage(KV_SEVERITY_WARNING, format, arguments);
    va_end(arguments);
}

void IKvBoardServices::Inform(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    SendMessage(KV_SEVERITY_INFORM, format, arguments);
    va_end(arguments);
}

void IKvBoardServices::Trace(uint32_t level, const char* format, ...) {
    if (!Traces(level)) return;
    va_list arguments;
    va_start(arguments, format);
    SendTrace(level, format, arguments);
    va_end(arguments);
}
