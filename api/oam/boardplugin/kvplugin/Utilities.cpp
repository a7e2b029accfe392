// Case-insensitive comparison of keyword values with fixed texts.
#include "Utilities.h"

#include "tsi/tsi.h"

int Match(CZelKeyword* keyword, const char* text)
{
    if (keyword == nullptr || text == nullptr) return 0;
    char value[200] = {0};
    if (keyword->GetKeywordValue(nullptr, value, sizeof(value)) != 0) return 0;
    return tsiStricmp(value, text) == 0 ? 1 : 0;
}

int Match(const char* a, const char* b)
{
    if (a == nullptr || b == nullptr) return 0;
    return tsiStricmp(a, b) == 0 ? 1 : 0;
}
