// A string keyword that keeps the value it last read, for the many places
// that compare a keyword with a fixed text.
#pragma once

#include "zel/zelframework.h"

class CKvKWStr : public CZelKWStr {
public:
    explicit CKvKWStr(const char* name, const char* defaultValue = nullptr);
    // The current value (in this object's buffer), or null when it cannot be
    // read or is empty.
    const char* GetValue();
    // 1 when text is not null, at most 128 characters, and equals the value
    // without regard to case; else 0.
    int IsValue(const char* text);
    int operator==(const char* text) { return IsValue(text); }

    char m_Value[128];
};
