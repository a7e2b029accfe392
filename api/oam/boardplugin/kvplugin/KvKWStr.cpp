// A string keyword that keeps the value it last read.
#include "KvKWStr.h"

#include <cstring>

#include "tsi/tsi.h"

CKvKWStr::CKvKWStr(const char* name, const char* defaultValue)
    : CZelKWStr(name, defaultValue, nullptr, 0, 0, 16) {
    memset(m_Value, 0, sizeof(m_Value));
}

const char* CKvKWStr::GetValue() {
    memset(m_Value, 0, sizeof(m_Value));
    if (GetStrValue(m_Value, sizeof(m_Value)) != 0) {
        // A value too long for the buffer is no value this keyword can answer.
        m_Value[0] = '\0';
        return nullptr;
    }
    m_Value[sizeof(m_Value) - 1] = '\0';
    return m_Value[0] != '\0' ? m_Value : nullptr;
}

int CKvKWStr::IsValue(const char* text) {
    if (text == nullptr) return 0;
    if (strnlen(text, sizeof(m_Value) + 1) > sizeof(m_Value)) return 0;
    const char* value = GetValue();
    if (value == nullptr) return 0;
    return tsiStricmp(value, text) == 0 ? 1 : 0;
}
