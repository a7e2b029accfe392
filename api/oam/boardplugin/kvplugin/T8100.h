// The board's H.100 switch chip: bring-up through the driver's hmic_ calls.
#pragma once

#include "kvd/kvdriver.h"

class IKvBoardServices;

class cT8100 {
public:
    explicit cT8100(IKvBoardServices* board);
    // 0 on success, 1 after a reported failure, -3097 for a null handle.
    int Initialize(HMICHANDLE hmic);

    IKvBoardServices* m_pBoard;  // not owned
};

int init_hmic_clock(HMICHANDLE hmic, unsigned enable);
int hmic_config_clock(HMICHANDLE hmic, unsigned index, unsigned source, unsigned enable);
int hmic_config_sec8k(HMICHANDLE hmic, unsigned index, unsigned mode);
