// What a board's components (the DSP, the ringer and sensors, the switch chip,
// the line circuits, the files) need of their board, and nothing more: its
// messages to the supervisor, its driver handle, its search path, its keyword
// tree and the download of a firmware image. The board implements it; a test
// may stand in for it.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "kvd/kvdriver.h"

class CZelKeyword;

class IKvBoardServices {
public:
    // Messages with the board as their source: alert 0x40002001 of severity
    // 2, 1 and 0. The texts are printf formats.
    void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Inform(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A trace, sent when a bit of level is set in the board's "OamTraceMask"
    // (KvTrace.h), to the supervisor or to standard output.
    void Trace(uint32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // The board's driver handle, opened on first use; null when the driver
    // cannot be opened.
    virtual KVHANDLE GetDriverHandle() = 0;
    // Where the board's files are looked for; null for the current directory.
    virtual const char* GetSearchPath() = 0;
    // The board's keyword tree: values set here take the path of a value the
    // supervisor sets (the board's own SetKeywordValue).
    virtual CZelKeyword* GetKeywordTree() = 0;
    // Downloads the named firmware image through the handle: 0 when the whole
    // image went to the DSP, 1 when it is missing or damaged or a download
    // failed (the DSP must then not be started).
    virtual int LoadDSP(KVHANDLE handle, const char* name) = 0;

protected:
    ~IKvBoardServices() = default;
    // severity: KV_SEVERITY_ERROR, _WARNING or _INFORM (Supervisor.h).
    virtual void SendMessage(uint32_t severity, const char* format, va_list arguments)
        __attribute__((format(printf, 3, 0))) = 0;
    // Whether a trace of level is sent at all (asked before its text is made);
    // then SendTrace sends it.
    virtual bool Traces(uint32_t level) = 0;
    virtual void SendTrace(uint32_t level, const char* format, va_list arguments)
        __attribute__((format(printf, 3, 0))) = 0;
};
