// A receiver for the problems a file reader finds. The plug-in's readers stop
// at their first problem and say nothing through it; a checking tool passes a
// sink so that the same reader names every problem with its line and goes on.
#pragma once

enum KvSeverity { KV_SEVERITY_ERROR = 0, KV_SEVERITY_WARNING = 1 };

class IKvDiagnostics {
public:
    // line: the 1-based physical line the problem was found on (0: the file as a whole).
    // message: one line of text without a trailing line end.
    virtual void Report(unsigned line, KvSeverity severity, const char* message) = 0;

protected:
    ~IKvDiagnostics() = default;
};
