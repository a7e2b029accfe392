// One of the board's five thermal sensors: its switch and thresholds.
#pragma once

#include <cstdint>

#include "Component.h"

class cThermo : public cComponent {
public:
    cThermo(IKvBoardServices* board, unsigned index);
    ~cThermo() override;

    unsigned IsEnabled();
    unsigned GetHysteresis();
    unsigned GetWarningLow();
    unsigned GetWarningHigh();
    unsigned GetProtectionLow();
    unsigned GetProtectionHigh();
    // 0 when warning low < warning high < protection low < protection high, else 0xFFFFFFFF.
    unsigned Initialize();

    uint32_t m_Index;
};
