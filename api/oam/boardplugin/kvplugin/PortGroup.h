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

    // The station at index (0 to the count), or -1.
    int GetStationNumber(unsigned index) {
        return index < m_StationCount && index < 16 ? m_Stations[index].Station : -1;
    }
    // A field of station s (a station number, from 1), or -1 when s is not
    // a station of this group. Defined here, so that a map's loops over
    // every station inline them.
    int GetPhysicalStreamVoiceOut(int station) {
        const STATION_MAP_ENTRY* e = FindStation(station);
        return e != nullptr ? e->PhysicalStreamVoiceOut : -1;
    }
    int GetPhysicalStreamVoiceIn(int station) {
        const STATION_MAP_ENTRY* e = FindStation(station);
        return e != nullptr ? e->PhysicalStreamVoiceIn : -1;
    }
    int GetPhysicalStreamSignalOut(int station) {
        const STATION_MAP_ENTRY* e = FindStation(station);
        return e != nullptr ? e->PhysicalStreamSignalOut : -1;
    }
    int GetPhysicalStreamSignalIn(int station) {
        const STATION_MAP_ENTRY* e = FindStation(station);
        return e != nullptr ? e->PhysicalStreamSignalIn : -1;
    }
    int GetPhysicalTimeslot(int station) {
        const STATION_MAP_ENTRY* e = FindStation(station);
        return e != nullptr ? e->PhysicalTimeslot : -1;
    }
    int GetLogicalStreamVoiceOut(int station) {
        const STATION_MAP_ENTRY* e = FindStation(station);
        return e != nullptr ? e->LogicalStreamVoiceOut : -1;
    }
    int GetLogicalStreamVoiceIn(int station) {
        const STATION_MAP_ENTRY* e = FindStation(station);
        return e != nullptr ? e->LogicalStreamVoiceIn : -1;
    }
    int GetLogicalStreamSignalOut(int station) {
        const STATION_MAP_ENTRY* e = FindStation(station);
        return e != nullptr ? e->LogicalStreamSignalOut : -1;
    }
    int GetLogicalStreamSignalIn(int station) {
        const STATION_MAP_ENTRY* e = FindStation(station);
        return e != nullptr ? e->LogicalStreamSignalIn : -1;
    }
    int GetLogicalTimeslot(int station) {
        const STATION_MAP_ENTRY* e = FindStation(station);
        return e != nullptr ? e->LogicalTimeslot : -1;
    }
    // Sets a logical field of station s: 0, or 0xFFFFFFFF when s is not a station of this group.
    unsigned SetLogicalStreamVoiceOut(int station, int value) {
        return Set(station, &STATION_MAP_ENTRY::LogicalStreamVoiceOut, value);
    }
    unsigned SetLogicalStreamVoiceIn(int station, int value) {
        return Set(station, &STATION_MAP_ENTRY::LogicalStreamVoiceIn, value);
    }
    unsigned SetLogicalStreamSignalOut(int station, int value) {
        return Set(station, &STATION_MAP_ENTRY::LogicalStreamSignalOut, value);
    }
    unsigned SetLogicalStreamSignalIn(int station, int value) {
        return Set(station, &STATION_MAP_ENTRY::LogicalStreamSignalIn, value);
    }
    unsigned SetLogicalTimeslot(int station, int value) {
        return Set(station, &STATION_MAP_ENTRY::LogicalTimeslot, value);
    }
    int Compare(cListElement* other);
    void Print();

    cList<cQslac> m_Qslacs;
    STATION_MAP_ENTRY m_Stations[16];
    uint32_t m_StationCount;
    uint8_t m_PresenceMask;

private:
    // The entry of station s, or null when s is not a station of this group.
    // A count outside 1 to 16 makes every look-up fail rather than divide by
    // zero or read past the table.
    STATION_MAP_ENTRY* FindStation(int station) {
        if (m_StationCount == 0 || m_StationCount > 16) return nullptr;
        uint32_t index = (uint32_t(station) - 1u) % m_StationCount;
        return m_Stations[index].Station == station ? &m_Stations[index] : nullptr;
    }
    unsigned Set(int station, int32_t STATION_MAP_ENTRY::*field, int value) {
        STATION_MAP_ENTRY* e = FindStation(station);
        if (e == nullptr) return 0xFFFFFFFFu;
        e->*field = value;
        return 0;
    }
};
