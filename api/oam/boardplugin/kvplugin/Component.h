// Base of the board's components (DSP, ringer, thermal sensors): a keyword
// structure of its own that knows its board.
#pragma once

#include "List.h"
#include "zel/zelframework.h"

class CKvBoard;

class cComponent : public cListElement, public CZelKWStruct {
public:
    cComponent(CKvBoard* board, const char* name);
    ~cComponent() override;

    CKvBoard* m_pBoard;  // not owned
};
