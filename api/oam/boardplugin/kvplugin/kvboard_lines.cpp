// The board's line side: the port groups and the station map (the
// logical-to-physical table), the ports and their line circuits, and the
// coefficient files the circuits are given at start.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "KvRegisters.h"
#include "PortGroup.h"
#include "Qslac.h"
#include "QslacFile.h"
#include "Utilities.h"
#include "kvboard.h"
#include "tsi/tsi.h"

namespace {

enum : uint32_t { kCoefficientCapacity = 512 };

// Writes one table entry; entries outside the table are ignored.
void SetMapEntry(uint16_t* map, int stream, int timeslot, int physicalStream, int physicalSlot) {
    if (stream < 0 || stream >= L2P_STREAMS || timeslot < 0 || timeslot >= L2P_TIMESLOTS) return;
    map[stream * L2P_TIMESLOTS + timeslot] = uint16_t(physicalStream * 256 + physicalSlot);
}

}  // namespace

// ---- Port groups and the station map -----------------------------------------

bool CKvBoard::IsPopulated(cPortGroup* group, uint8_t population) {
    if (group == nullptr) return false;
    uint8_t present = uint8_t((population >> 5) & 7);
    if ((group->m_PresenceMask & present) == group->m_PresenceMask) return true;
    return m_pRawMap != nullptr && m_pRawMap->IsValue("Enable") == 1;
}

unsigned CKvBoard::MapPortGroups() {
    m_PortGroups.RemoveAll(true);
    m_Ports.RemoveAll(true);
    m_QslacFiles.RemoveAll(true);

    struct GroupTable {
        const STATION_MAP_ENTRY* table;
        uint8_t mask;
    };
    static const GroupTable kGroups[] = {
        {g_PortGroup_1_16, 1}, {g_PortGroup_17_32, 2}, {g_PortGroup_33_48, 4}};
    for (const GroupTable& entry : kGroups) {
        cPortGroup* group = new (std::nothrow) cPortGroup(entry.table, 16, entry.mask);
        if (group == nullptr) {
            Error("CKvBoard::MapPortGroups() - memory allocation failed\n");
            return 1;
        }
        m_PortGroups.AddToTail(group);
    }

    // A failed read would look like a board without stations: every station
    // left off the switch while the start goes on. It fails the mapping instead.
    uint8_t population = 0;
    uint32_t status = ReadByteStatus(KV_REG_POPULATION, &population);
    if (status != 0) {
        Error("CKvBoard::MapPortGroups() - BoardReadByte(%08xh) returns %d (%08xh)\n",
              unsigned(KV_REG_POPULATION), int(status), status);
        return 1;
    }

    // Populated stations get dense logical timeslots across the groups.
    int timeslot = 0;
    for (cPortGroup* g = m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g)) {
        if (!IsPopulated(g, population)) continue;
        for (uint32_t i = 0; i < g->m_StationCount; ++i) {
            int s = g->GetStationNumber(i);
            g->SetLogicalStreamVoiceOut(s, 0);
            g->SetLogicalStreamVoiceIn(s, 1);
            g->SetLogicalStreamSignalOut(s, 2);
            g->SetLogicalStreamSignalIn(s, 3);
            g->SetLogicalTimeslot(s, timeslot++);
        }
    }

    // The working table lives for this call only, so boards starting at the
    // same time each load their own.
    uint16_t tempMap[L2P_STREAMS * L2P_TIMESLOTS];
    memcpy(tempMap, DefaultMap, sizeof(tempMap));
    for (cPortGroup* g = m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g)) {
        if (!IsPopulated(g, population)) continue;
        for (uint32_t i = 0; i < g->m_StationCount; ++i) {
            int s = g->GetStationNumber(i);
            int t = g->GetLogicalTimeslot(s);
            int slot = g->GetPhysicalTimeslot(s);
            SetMapEntry(tempMap, g->GetLogicalStreamVoiceOut(s), t, g->GetPhysicalStreamVoiceOut(s), slot);
            SetMapEntry(tempMap, g->GetLogicalStreamVoiceIn(s), t, g->GetPhysicalStreamVoiceIn(s), slot);
            SetMapEntry(tempMap, g->GetLogicalStreamSignalOut(s), t, g->GetPhysicalStreamSignalOut(s), slot);
            SetMapEntry(tempMap, g->GetLogicalStreamSignalIn(s), t, g->GetPhysicalStreamSignalIn(s), slot);
        }
    }

    uint32_t rc = BoardLoadL2PTable(GetDriverHandle(), sizeof(tempMap), tempMap);
    if (rc != 0) {
        Error("BoardLoadL2PTable rc %d (%08Xh)\n", int(rc), rc);
        return 1;
    }

    CZelKeyword* encoding = GetKeywordByName("Encoding");
    const bool alaw = encoding != nullptr && Match(encoding, "ALaw") == 1;

    // Four line circuits per group, fitted or not: timeslot q * 4 + c on
    // channel c of circuit q, SLIC I/O direction 3 except channels 0 to 2 of
    // the first circuit.
    for (cPortGroup* g = m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g)) {
        for (unsigned q = 0; q < 4; ++q) {
            cQslac* qslac = new (std::nothrow) cQslac(this);
            if (qslac == nullptr) {
                Error("CKvBoard::MapPortGroups() - memory allocation failed\n");
                return 1;
            }
            for (unsigned c = 0; c < 4; ++c) {
                qslac->SetTimeslot(c, q * 4 + c);
                qslac->SetSlicIoDirection(c, 3);
                if (alaw)
                    qslac->SetEncodingAlaw(c);
                else
                    qslac->SetEncodingUlaw(c);
            }
            g->m_Qslacs.AddToTail(qslac);
        }
        cQslac* first = g->m_Qslacs.Head();
        for (unsigned c = 0; c < 3; ++c) first->SetSlicIoDirection(c, 0);
    }
    return 0;
}

// ---- Ports, line circuits and coefficient files ---------------------------------

void CKvBoard::MapQslacFilesToPorts() {
    // Ports 0 to 47: channel n mod 4 of circuit (n mod 16) div 4 of group n div 16.
    for (cPortGroup* g = m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g)) {
        for (cQslac* q = g->m_Qslacs.Head(); q != nullptr; q = cList<cQslac>::Next(q)) {
            for (unsigned c = 0; c < 4; ++c) {
                cPort* port = new (std::nothrow) cPort;
                if (port == nullptr) {
                    Error("CKvBoard::MapQslacFilesToPorts() - memory allocation failed\n");
                    return;
                }
                port->m_Number = m_Ports.m_Count;
                port->m_Qslac = q;
                port->m_Channel = c;
                q->SetPort(c, port);
                m_Ports.AddToTail(port);
            }
        }
    }

    CZelKeyword* defaultFile = GetKeywordByName("DefaultQslacFile");
    if (defaultFile == nullptr) {
        Error("CKvBoard::MapQslacFilesToPorts() - expected keyword 'DefaultQslacFile' not found\n");
        return;
    }

    char defaultName[128] = "";
    if (defaultFile->GetKeywordValue(nullptr, defaultName, sizeof(defaultName)) == 0) {
        for (cPort* p = m_Ports.Head(); p != nullptr; p = cList<cPort>::Next(p)) {
            // A port's own file, when the tree holds one and it is set,
            // takes the place of the default.
            char keyword[64];
            snprintf(keyword, sizeof(keyword), "Port[%u].Qslac.File", p->m_Number);
            char own[255] = "";
            const char* name = defaultName;
            // The path is walked once; the keyword found is read directly.
            if (CZelKeyword* ownFile = FindKeyword(keyword)) {
                if (ownFile->GetKeywordValue(nullptr, own, sizeof(own)) != 0) {
                    Warning("CKvBoard::MapQslacFilesToPorts() - could not read keyword '%s'\n", keyword);
                } else if (own[0] != '\0') {
                    name = own;
                }
            }
            p->m_Qslac->SetFilename(p->m_Channel, name);
        }
    }

    // One record per distinct file name, in order of first use, each with
    // copies of its ports in port order. A record is made only for a name
    // not seen yet (names compared as cQslacFile::Compare does).
    for (cPort* p = m_Ports.Head(); p != nullptr; p = cList<cPort>::Next(p)) {
        const char* name = p->m_Qslac->GetFilename(p->m_Channel);
        cQslacFile* found = m_QslacFiles.Head();
        while (found != nullptr && tsiStricmp(found->GetName(), name) != 0)
            found = cList<cQslacFile>::Next(found);
        std::unique_ptr<cQslacFile> record(found == nullptr ? new (std::nothrow) cQslacFile(this, name)
                                                            : nullptr);
        cPort* copy = new (std::nothrow) cPort(*p);
        if ((found == nullptr && record == nullptr) || copy == nullptr) {
            delete copy;
            Error("CKvBoard::MapQslacFilesToPorts() - memory allocation failed\n");
            return;
        }
        if (found != nullptr) {
            found->AddPort(copy);
        } else {
            record->AddPort(copy);
            m_QslacFiles.AddToTail(record.release());
        }
    }
}

void CKvBoard::ConfigureLineInterfaceHardware() {
    for (cPortGroup* g = m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g))
        for (cQslac* q = g->m_Qslacs.Head(); q != nullptr; q = cList<cQslac>::Next(q)) q->Boot();

    for (cQslacFile* f = m_QslacFiles.Head(); f != nullptr; f = cList<cQslacFile>::Next(f)) {
        if (f->Open() != 0) {
            Error("Could not open file '%s'\n", f->GetName());
            continue;
        }
        Record(f);
        uint8_t coefficients[kCoefficientCapacity];
        uint32_t byteCount = 0;
        if (f->Parse(coefficients, sizeof(coefficients), &byteCount) != 0) {
            Error("Could not parse file %s\n", f->GetName());
        } else {
            cList<cPort>& ports = f->GetPortList();
            std::unique_ptr<uint32_t[]> numbers(new (std::nothrow) uint32_t[ports.m_Count + 1]);
            if (numbers == nullptr) {
                Error("CKvBoard::ConfigureLineInterfaceHardware() - memory allocation failed\n");
            } else {
                uint32_t count = 0;
                for (cPort* p = ports.Head(); p != nullptr && count < ports.m_Count;
                     p = cList<cPort>::Next(p))
                    numbers[count++] = p->m_Number;
                uint32_t rc =
                    LineConfigureMultiple(GetDriverHandle(), numbers.get(), count, coefficients, byteCount);
                if (rc != 0) Error("LineConfigureMultiple returns %d\n", int(rc));
            }
        }
        f->Close();
    }

    for (cPort* p = m_Ports.Head(); p != nullptr; p = cList<cPort>::Next(p)) {
        uint32_t rc = LineSetGxZeroValues(GetDriverHandle(), p->m_Number, 0xA4, 0x40);
        if (rc != 0) Error("LineSetGxZeroValues returns %d\n", int(rc));
        rc = LineSetGrZeroValues(GetDriverHandle(), p->m_Number, 0xA2, 0x51);
        if (rc != 0) Error("LineSetGrZeroValues returns %d\n", int(rc));
    }
}
