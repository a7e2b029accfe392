#pragma once

#include "zel/zelframework.h"

// 1 when the keyword's own value equals text without regard to case, else 0.
int Match(CZelKeyword* keyword, const char* text);
// 1 when the two texts are equal without regard to case, else 0.
int Match(const char* a, const char* b);
