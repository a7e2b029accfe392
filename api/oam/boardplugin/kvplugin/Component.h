// Base of the board's components (DSP, ringer, thermal sensors): a keyword
// structure of its own that knows its board.
#pragma once

#include "List.h"
#include "zel/zelframework.h"

class IKvBoardServices;

class cComponent : public cListElement, public CZelKWStruct {
public:
    cComponent(IKvBoardServices* board, const char* name);
    ~cComponent() override;

    IKvBoardServices* m_pBoard;  // not owned
};
