// The board configuration file: "Key = value" lines applied to the board's keywords.
#pragma once

#include "ConfigReader.h"
#include "KvFile.h"

class CConfigFile : public CKvFile, private IKvConfigTarget {
public:
    CConfigFile(IKvBoardServices* board, const char* name, const char* extension, const char* mode);
    ~CConfigFile() override;

    // Reads the whole open file into the board (ConfigReader.h).
    unsigned Parse();
    // line: one logical line; key: CONFIG_KEY_SIZE bytes; value: CONFIG_VALUE_SIZE bytes.
    unsigned ParseKeyValFromBuf(const char* line, char* key, char* value);
    // key: a CONFIG_KEY_SIZE buffer, changed during the call and restored.
    unsigned SetComplexKeyword(char* key, const char* value, char* scanStart);

private:
    // The board as the reader's target.
    unsigned SetKeywordValue(const char* name, const char* value) override;
    unsigned GetKeywordValue(const char* name, char* buffer, unsigned size) override;
    unsigned GetQualifierValue(const char* name, const char* qualifier, char* buffer, unsigned size) override;
    void LineNotParsed(unsigned line, const char* text) override;
};
