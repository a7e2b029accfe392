// Port groups of 16 stations and the station map.
#pragma once

#include <cstdint>

#include "List.h"
#include "Qslac.h"

struct STATION_MAP_ENTRY {
    int32_t Station;
    int32_t PhysicalStreamVoiceOut;
    int32_t PhysicalStreamVoiceIn;
    int32_t PhysicalStreamSignalOut;
    int32_t PhysicalStreamSignalIn;
    int32_t PhysicalTimeslot;
    int32_t LogicalStreamVoiceOut;
    int32_t LogicalStreamVoiceIn;
    int32_t LogicalStreamSignalOut;
    int32_t LogicalStreamSignalIn;
    int32_t LogicalTimeslot;
};

extern const STATION_MAP_ENTRY g_PortGroup_1_16[16];
extern const STATION_MAP_ENTRY g_PortGroup_17_32[16];
extern const STATION_MAP_ENTRY g_PortGroup_33_48[16];

// Logical-to-physical table: 8 logical streams by 64 timeslots.
enum { L2P_STREAMS = 8, L2P_TIMESLOTS = 64 };
extern const uint16_t DefaultMap[L2P_STREAMS * L2P_TIMESLOTS];

class cPortGroup : public cListElement {
public:
    cPortGroup(const STATION_MAP_ENTRY* table, unsigned stationCount, uint8_t presenceMask);
    ~cPortGroup();

    int GetStationNumber(unsigned index);
    int GetPhysicalStreamVoiceOut(int station);
    int GetPhysicalStreamVoiceIn(int station);
    int GetPhysicalStreamSignalOut(int station);
    int GetPhysicalStreamSignalIn(int station);
    int GetPhysicalTimeslot(int station);
    int GetLogicalStreamVoiceOut(int station);
    int GetLogicalStreamVoiceIn(int station);
    int GetLogicalStreamSignalOut(int station);
    int GetLogicalStreamSignalIn(int station);
    int GetLogicalTimeslot(int station);
    unsigned SetLogicalStreamVoiceOut(int station, int value);
    unsigned SetLogicalStreamVoiceIn(int station, int value);
    unsigned SetLogicalStreamSignalOut(int station, int value);
    unsigned SetLogicalStreamSignalIn(int station, int value);
    unsigned SetLogicalTimeslot(int station, int value);
    int Compare(cListElement* other);
    void Print();

    cList<cQslac> m_Qslacs;
    STATION_MAP_ENTRY m_Stations[16];
    uint32_t m_StationCount;
    uint8_t m_PresenceMask;
};
