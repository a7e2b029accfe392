// Small keyword helpers shared by the board's sources.
#pragma once

#include "zel/zelframework.h"

// 1 when the keyword's own value equals text without regard to case, else 0.
int Match(CZelKeyword* keyword, const char* text);
// 1 when the two texts are equal without regard to case, else 0.
int Match(const char* a, const char* b);

// Adds child to parent and answers it; destroys it (answering null) when the
// parent refuses it (a name already taken), so that nothing leaks.
CZelKeyword* Adopt(CZelKWStruct* parent, CZelKeyword* child);
CZelKWStr* NewChoiceString(const char* name, const char* value, const char* const* choices, unsigned count);
// Sets a keyword's text, or an integer keyword's value, as the program,
// whatever the keyword's flags.
unsigned SetText(CZelKeyword* keyword, const char* text);
unsigned SetInt(CZelKeyword* keyword, long value);
// The integer value of a keyword (of a parent's child), 0 when it is missing
// or holds no number.
long IntValue(CZelKeyword* keyword);
long ChildInt(CZelKWStruct* parent, const char* name);
// A structure child of parent, or null.
CZelKWStruct* ChildStruct(CZelKWStruct* parent, const char* name);
