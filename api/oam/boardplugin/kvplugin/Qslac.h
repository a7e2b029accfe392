// The line-interface circuits (four channels each) and the ports they serve.
#pragma once

#include <cstdint>

#include "List.h"

class IKvBoardServices;
class cQslac;

class cPort : public cListElement {
public:
    uint32_t m_Number = 0;
    cQslac* m_Qslac = nullptr;  // not owned
    uint32_t m_Channel = 0;
};

class cQslac : public cListElement {
public:
    explicit cQslac(IKvBoardServices* board);

    unsigned SetTimeslot(unsigned channel, unsigned timeslot);
    unsigned SetEncodingAlaw(unsigned channel);
    unsigned SetEncodingUlaw(unsigned channel);
    unsigned SetSlicIoDirection(unsigned channel, uint8_t value);
    unsigned SetPort(unsigned channel, cPort* port);
    void SetFilename(unsigned channel, const char* name);
    const char* GetFilename(unsigned channel);
    unsigned Boot();
    unsigned LoopbackOn(unsigned channel);
    unsigned LoopbackOff(unsigned channel);

    char m_FileNames[4][256];
    uint32_t m_Timeslots[4];
    uint32_t m_SlicIoDirections[4];
    uint32_t m_Encodings[4];  // 17 A-law, 43 mu-law
    cPort* m_ChannelPorts[4];
    IKvBoardServices* m_pBoard;
};
