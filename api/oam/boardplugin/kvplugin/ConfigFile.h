// The board configuration file: "Key = value" lines applied to the board's keywords.
#pragma once

#include "KvFile.h"

enum : unsigned {
    CONFIG_LINE_SIZE = 1282,
    CONFIG_KEY_SIZE = 256,
    CONFIG_VALUE_SIZE = 1024,
    CONFIG_E_KEY_TOO_LONG = 0x40000003,
    CONFIG_E_NOTHING = 0x40000004,  // no file open; inside the parser, a line with nothing to apply
    CONFIG_E_SYNTAX = 0x40000007,
};

class CConfigFile : public CKvFile {
public:
    CConfigFile(CKvBoard* board, const char* name, const char* extension, const char* mode);
    ~CConfigFile() override;

    unsigned Parse();
    // line: one logical line; key: CONFIG_KEY_SIZE bytes; value: CONFIG_VALUE_SIZE bytes.
    unsigned ParseKeyValFromBuf(const char* line, char* key, char* value);
    // key: a CONFIG_KEY_SIZE buffer, changed during the call and restored.
    unsigned SetComplexKeyword(char* key, const char* value, char* scanStart);
};
