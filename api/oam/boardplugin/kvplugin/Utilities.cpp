// Small keyword helpers shared by the board's sources: case-insensitive
// comparison with fixed texts, values set and read as the program.
#include "Utilities.h"

#include <cstdio>
#include <cstdlib>

#include "tsi/tsi.h"

int Match(CZelKeyword* keyword, const char* text) {
    if (keyword == nullptr || text == nullptr) return 0;
    char value[200] = {0};
    if (keyword->GetKeywordValue(nullptr, value, sizeof(value)) != 0) return 0;
    return tsiStricmp(value, text) == 0 ? 1 : 0;
}

int Match(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return 0;
    return tsiStricmp(a, b) == 0 ? 1 : 0;
}

// Adds child to parent, destroying it when the parent refuses it (a name
// already taken), so that nothing leaks.
CZelKeyword* Adopt(CZelKWStruct* parent, CZelKeyword* child) {
    if (parent == nullptr || child == nullptr) {
        delete child;
        return nullptr;
    }
    if (parent->AddKeyword(child) != 0) {
        delete child;
        return nullptr;
    }
    return child;
}

CZelKWStr* NewChoiceString(const char* name, const char* value, const char* const* choices, unsigned count) {
    return new CZelKWStr(name, value, const_cast<const char**>(choices), count, 0, 16);
}

// Sets a keyword's text as the program, whatever the keyword's flags.
unsigned SetText(CZelKeyword* keyword, const char* text) {
    if (keyword == nullptr) return ZEL_ERR_UNKNOWN_KEYWORD;
    if (CZelKWStr* string = dynamic_cast<CZelKWStr*>(keyword)) return string->SetStrValue(text);
    return keyword->SetKeywordValue(nullptr, text);
}

// Sets an integer keyword as the program, whatever the keyword's flags.
unsigned SetInt(CZelKeyword* keyword, long value) {
    if (keyword == nullptr) return ZEL_ERR_UNKNOWN_KEYWORD;
    if (CZelKWInt* integer = dynamic_cast<CZelKWInt*>(keyword)) return integer->SetIntValue(value);
    char text[32];
    snprintf(text, sizeof(text), "%ld", value);
    return keyword->SetKeywordValue(nullptr, text);
}

// The integer value of a keyword, 0 when it is missing or holds no number.
long IntValue(CZelKeyword* keyword) {
    if (keyword == nullptr) return 0;
    if (CZelKWInt* integer = dynamic_cast<CZelKWInt*>(keyword)) return integer->GetIntValue();
    char text[64] = {0};
    if (keyword->GetKeywordValue(nullptr, text, sizeof(text)) != 0) return 0;
    return strtol(text, nullptr, 0);
}

long ChildInt(CZelKWStruct* parent, const char* name) {
    return parent != nullptr ? IntValue(parent->GetKeywordByName(name)) : 0;
}

CZelKWStruct* ChildStruct(CZelKWStruct* parent, const char* name) {
    return parent != nullptr ? dynamic_cast<CZelKWStruct*>(parent->GetKeywordByName(name)) : nullptr;
}
