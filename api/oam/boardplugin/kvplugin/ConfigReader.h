// The board configuration file format: "Key = value" lines read from a stdio
// stream and applied to a keyword tree. The plug-in applies a file to its
// board (CConfigFile); kvoam's check applies it to a scratch board through
// the entry points, with a diagnostics sink, so that both use this one reader.
//
// Syntax of a line:
//   Key = value          # comment
//   Key[0-3,7].Sub = v   index lists expand into one key per index
//   ListKey = a "b c" d  a list keyword receives its items at [0], [1], ...
//   ... \                a trailing backslash continues on the next line
#pragma once

#include <cstdio>

#include "KvDiagnostics.h"

enum : unsigned {
    CONFIG_LINE_SIZE = 1282,  // one logical line holds at most 1281 characters
    CONFIG_KEY_SIZE = 256,
    CONFIG_VALUE_SIZE = 1024,
    CONFIG_E_KEY_TOO_LONG = 0x40000003,
    CONFIG_E_NOTHING = 0x40000004,  // no file open; inside the parser, a line with nothing to apply
    CONFIG_E_SYNTAX = 0x40000007,
    // Keys that the index lists of one line may expand to; past it the line
    // fails with CONFIG_E_SYNTAX (the keys already applied stay applied).
    CONFIG_MAX_EXPANSIONS = 1024,
};

// Where the settings of a configuration file go: the seam between the file
// format and a keyword tree. The plug-in passes its board; kvoam a board it
// reaches through the entry points; a harness may pass a tree it resets.
class IKvConfigTarget {
public:
    // The keyword operations of a board (0 for success).
    virtual unsigned SetKeywordValue(const char* name, const char* value) = 0;
    virtual unsigned GetKeywordValue(const char* name, char* buffer, unsigned size) = 0;
    virtual unsigned GetQualifierValue(const char* name, const char* qualifier, char* buffer,
                                       unsigned size) = 0;
    // A line that is not a key and a value; it is skipped. Called only when
    // the reader has no diagnostics sink. line: the last physical line read.
    virtual void LineNotParsed(unsigned line, const char* text) = 0;

protected:
    ~IKvConfigTarget() = default;
};

class CKvConfigReader {
public:
    // Without a sink (a board), the first setting the target refuses ends the
    // parse with its result. With a sink (a check), every problem goes to the
    // sink with its line and an explanation, and reading goes on to the end.
    explicit CKvConfigReader(IKvConfigTarget& target, IKvDiagnostics* sink = nullptr);

    // Reads the stream to its end: 0, or the result of the setting that failed
    // (without a sink); CONFIG_E_NOTHING for a null stream.
    unsigned Parse(FILE* stream);
    // line: one logical line; key: CONFIG_KEY_SIZE bytes; value: CONFIG_VALUE_SIZE bytes.
    unsigned ParseKeyValFromBuf(const char* line, char* key, char* value);
    // key: a CONFIG_KEY_SIZE buffer, changed during the call and restored.
    unsigned SetComplexKeyword(char* key, const char* value, char* scanStart);
    // The last physical line read: the line a setting being applied ends on.
    unsigned LineNumber() const { return m_Line; }

private:
    unsigned Split(const char* line, char* key, char* value, const char** why);
    unsigned Set(const char* name, const char* value);
    void Report(KvSeverity severity, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void ExplainRefusal(const char* name, const char* value);

    IKvConfigTarget& m_Target;
    IKvDiagnostics* m_pSink;
    unsigned m_Line;        // the last physical line read
    unsigned m_Expansions;  // keys the index lists of the current line expanded to
};
