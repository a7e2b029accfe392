// Port groups of 16 stations, the constant station tables and the default
// logical-to-physical table.
#include "PortGroup.h"

#include <cstdio>
#include <cstring>

// A station: voice on one pair of local streams, signalling on another, one
// physical timeslot on all four; logical fields unassigned until the map runs.
#define KV_STATION(s, voice, signal, slot) \
    { s, voice, voice, signal, signal, slot, -1, -1, -1, -1, -1 }

// Stations 1-16: QSLAC voice on stream 0, EPLD signalling on stream 3, slots 0-15.
#define KV_G1(s) KV_STATION(s, 0, 3, (s)-1)
const STATION_MAP_ENTRY g_PortGroup_1_16[16] = {
    KV_G1(1), KV_G1(2),  KV_G1(3),  KV_G1(4),  KV_G1(5),  KV_G1(6),  KV_G1(7),  KV_G1(8),
    KV_G1(9), KV_G1(10), KV_G1(11), KV_G1(12), KV_G1(13), KV_G1(14), KV_G1(15), KV_G1(16),
};

// Stations 17-32: streams 1 and 4, slots 2-17.
#define KV_G2(s) KV_STATION(s, 1, 4, (s)-15)
const STATION_MAP_ENTRY g_PortGroup_17_32[16] = {
    KV_G2(17), KV_G2(18), KV_G2(19), KV_G2(20), KV_G2(21), KV_G2(22), KV_G2(23), KV_G2(24),
    KV_G2(25), KV_G2(26), KV_G2(27), KV_G2(28), KV_G2(29), KV_G2(30), KV_G2(31), KV_G2(32),
};

// Stations 33-48: streams 2 and 5, slots 4-19.
#define KV_G3(s) KV_STATION(s, 2, 5, (s)-29)
const STATION_MAP_ENTRY g_PortGroup_33_48[16] = {
    KV_G3(33), KV_G3(34), KV_G3(35), KV_G3(36), KV_G3(37), KV_G3(38), KV_G3(39), KV_G3(40),
    KV_G3(41), KV_G3(42), KV_G3(43), KV_G3(44), KV_G3(45), KV_G3(46), KV_G3(47), KV_G3(48),
};

namespace {

// Entry i of the default table: logical streams 0-3 unmapped (the stations
// are written in at start), 4 and 5 on physical stream 8 and 6 and 7 on
// physical stream 10 at the same timeslot, for timeslots 0 to 47.
constexpr uint16_t DefaultEntry(unsigned i) {
    return (i / L2P_TIMESLOTS < 4 || i % L2P_TIMESLOTS >= 48)
               ? uint16_t(0xFFFF)
               : uint16_t((i / L2P_TIMESLOTS < 6 ? 0x0800 : 0x0A00) + i % L2P_TIMESLOTS);
}

}  // namespace

#define KV_E4(b) DefaultEntry(b), DefaultEntry((b) + 1), DefaultEntry((b) + 2), DefaultEntry((b) + 3)
#define KV_E16(b) KV_E4(b), KV_E4((b) + 4), KV_E4((b) + 8), KV_E4((b) + 12)
#define KV_E64(b) KV_E16(b), KV_E16((b) + 16), KV_E16((b) + 32), KV_E16((b) + 48)
const uint16_t DefaultMap[L2P_STREAMS * L2P_TIMESLOTS] = {
    KV_E64(0), KV_E64(64), KV_E64(128), KV_E64(192), KV_E64(256), KV_E64(320), KV_E64(384), KV_E64(448),
};
static_assert(sizeof(DefaultMap) == 1024, "the driver loads a 1024-byte table");
#undef KV_E4
#undef KV_E16
#undef KV_E64

// ---------------------------------------------------------------------------
// cPortGroup

cPortGroup::cPortGroup(const STATION_MAP_ENTRY* table, unsigned stationCount, uint8_t presenceMask)
    : m_Stations(), m_StationCount(stationCount), m_PresenceMask(presenceMask) {
    if (table != nullptr)
        memcpy(m_Stations, table, sizeof(m_Stations));
    else
        m_StationCount = 0;
}

cPortGroup::~cPortGroup() { m_Qslacs.RemoveAll(true); }

int cPortGroup::Compare(cListElement* other) {
    if (other == nullptr) return 1;
    int mine = m_Stations[0].Station;
    int theirs = static_cast<cPortGroup*>(other)->m_Stations[0].Station;
    return mine > theirs ? 1 : (mine == theirs ? 0 : -1);
}

void cPortGroup::Print() {
    printf("                   physical                         logical\n");
    printf("            QSLAC QSLAC EPLD EPLD  slot   voice voice signal signal  slot\n");
    printf("  station    out   in    out  in          out    in    out     in\n");
    printf("  -----------------------------------------------------------------\n");
    fflush(stdout);
    for (uint32_t i = 0; i < m_StationCount && i < 16; ++i) {
        const STATION_MAP_ENTRY& e = m_Stations[i];
        printf(
            "    %02d        %02d   %02d    %02d   %02d    %02d     %02d    %02d     %02d     %02d    %02d\n",
            e.Station, e.PhysicalStreamVoiceOut, e.PhysicalStreamVoiceIn, e.PhysicalStreamSignalOut,
            e.PhysicalStreamSignalIn, e.PhysicalTimeslot, e.LogicalStreamVoiceOut, e.LogicalStreamVoiceIn,
            e.LogicalStreamSignalOut, e.LogicalStreamSignalIn, e.LogicalTimeslot);
        fflush(stdout);
    }
    printf("\n");
    fflush(stdout);
}
