// The board's switching: validation of the H.100 clock keywords and the
// board-clock request, and the MVIP-95 requests on the switch device that
// reset the switch and nail the default connections of the stations.
#include <cerrno>
#include <cstdint>
#include <new>

#include "KvRegisters.h"
#include "KvTrace.h"
#include "PortGroup.h"
#include "kvboard.h"
#include "kvd/kvdevice.h"
#include "tsi/tsi.h"

namespace {

// Reads a keyword's value into a 128-byte buffer; empty when unreadable.
void ReadValue(CZelKeyword* keyword, char (&buffer)[128]) {
    buffer[0] = '\0';
    unsigned rc = keyword->GetKeywordValue(nullptr, buffer, sizeof(buffer));
    if (rc != 0 && rc != ZEL_ERR_BUFFER_TOO_SMALL) buffer[0] = '\0';
    buffer[sizeof(buffer) - 1] = '\0';
}

bool OneOf(const char* value, const char* const* set) {
    for (; *set != nullptr; ++set)
        if (tsiStricmp(value, *set) == 0) return true;
    return false;
}

// Source code of a clock source value; false when it has none.
bool ClockSourceCode(const char* value, unsigned* code) {
    static const struct {
        const char* name;
        unsigned code;
    } kSources[] = {{"A_CLOCK", 8},  {"B_CLOCK", 9},  {"NETREF", 10},
                    {"NETREF1", 10}, {"NETREF2", 11}, {"OSC", 1}};
    for (const auto& s : kSources)
        if (tsiStricmp(value, s.name) == 0) {
            *code = s.code;
            return true;
        }
    return false;
}

bool ClockModeCode(const char* value, unsigned* code) {
    static const struct {
        const char* name;
        unsigned code;
    } kModes[] = {{"MASTER_A", 1}, {"MASTER_B", 2}, {"SLAVE", 0}, {"STANDALONE", 3}};
    for (const auto& m : kModes)
        if (tsiStricmp(value, m.name) == 0) {
            *code = m.code;
            return true;
        }
    return false;
}

}  // namespace

bool CKvBoard::KeywordsValidate() {
    Trace(KV_TRACE_API, "CKvBoard::KeywordsValidate()\n");

    CZelKeyword* clocking = GetKeywordByName("Clocking");
    if (clocking == nullptr) {
        Warning("CKvBoard::KeywordsValidate() - expected keyword 'Clocking' not found\n");
        return false;
    }
    CZelKeyword* hbus = clocking->FindKeyword("HBus");
    if (hbus == nullptr) {
        Warning("CKvBoard::KeywordsValidate() - expected keyword 'Clocking.HBus' not found\n");
        return false;
    }
    CZelKeyword* modeKw = hbus->FindKeyword("ClockMode");
    if (modeKw == nullptr) {
        Warning("CKvBoard::KeywordsValidate() - expected keyword 'Clocking.HBus.ClockMode' not found\n");
        return false;
    }
    CZelKeyword* sourceKw = hbus->FindKeyword("ClockSource");
    if (sourceKw == nullptr) {
        Warning("CKvBoard::KeywordsValidate() - expected keyword 'Clocking.HBus.ClockSource' not found\n");
        return false;
    }

    char mode[128];
    char source[128];
    ReadValue(modeKw, mode);
    ReadValue(sourceKw, source);

    static const char* const kMasterA[] = {"B_CLOCK", "NETREF", "NETREF1", "NETREF2", "OSC", nullptr};
    static const char* const kMasterB[] = {"A_CLOCK", "NETREF", "NETREF1", "NETREF2", "OSC", nullptr};
    static const char* const kSlave[] = {"A_CLOCK", "B_CLOCK", nullptr};
    static const char* const kStandalone[] = {"OSC", nullptr};
    static const struct {
        const char* mode;
        const char* const* sources;
    } kTable[] = {
        {"MASTER_A", kMasterA}, {"MASTER_B", kMasterB}, {"SLAVE", kSlave}, {"STANDALONE", kStandalone}};

    for (const auto& row : kTable) {
        if (tsiStricmp(mode, row.mode) != 0) continue;
        if (OneOf(source, row.sources)) return true;
        if (row.sources == kMasterA)
            Warning("CKvBoard::KeywordsValidate() - invalid combination:\n%s = '%s'  and  %s = '%s'\n",
                    modeKw->GetName(), mode, sourceKw->GetName(), source);
        else
            Warning("CKvBoard::KeywordsValidate() - invalid combination:\n%s = '%s' and %s = '%s'\n",
                    modeKw->GetName(), mode, sourceKw->GetName(), source);
        return false;
    }
    Warning("CKvBoard::KeywordsValidate() - unknown mode '%s'\n", mode);
    return false;
}

unsigned CKvBoard::Clock(CZelKWStruct* clocking) {
    Trace(KV_TRACE_API, "CKvBoard::Clock()\n");
    if (clocking == nullptr) return 1;

    CZelKeyword* hbus = clocking->GetKeywordByName("HBus");
    if (hbus == nullptr) {
        Warning("CKvBoard::Clock() - expected keyword 'Clocking.HBus' not found\n");
        return 1;
    }
    static const char* const kNames[] = {"ClockMode", "ClockSource", "AutoFallBack", "FallBackClockSource"};
    CZelKeyword* keywords[4];
    for (unsigned i = 0; i < 4; ++i) {
        keywords[i] = hbus->FindKeyword(kNames[i]);
        if (keywords[i] == nullptr) {
            Warning("CKvBoard::Clock() - expected keyword 'Clocking.HBus.%s' not found\n", kNames[i]);
            return 1;
        }
    }
    char mode[128], source[128], autoFallBack[128], fallBack[128];
    ReadValue(keywords[0], mode);
    ReadValue(keywords[1], source);
    ReadValue(keywords[2], autoFallBack);
    ReadValue(keywords[3], fallBack);

    // BoardClockRecord: nine words, 36 bytes.
    unsigned record[9] = {36, 5, 0, 1, 0, 0, 0, 0, 1};
    if (!ClockSourceCode(source, &record[2])) return 1;
    if (!ClockModeCode(mode, &record[4])) return 1;
    record[5] = tsiStricmp(autoFallBack, "YES") == 0 ? 1 : 0;
    if (!ClockSourceCode(fallBack, &record[7])) return 1;

    unsigned rc = MvipIssueCommand(MVIP95_CMD_CONFIG_BOARD_CLOCK, record);
    if (rc != 0) {
        Error("MVIP95_CMD_CONFIG_BOARD_CLOCK returns 0x%08x\n", rc);
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// MVIP-95 switch requests

unsigned CKvBoard::MvipIssueCommand(unsigned command, unsigned* record) {
    errno = 0;
    int rc = kvDevIoctl(m_SwitchFd, command, record);
    if (rc == 0) return 0;
    // A failed request answers the system error number; never 0 for a failure.
    if (errno != 0) return unsigned(errno);
    return rc > 0 ? unsigned(rc) : unsigned(EIO);
}

unsigned CKvBoard::ResetSwitch() {
    Trace(KV_TRACE_API, "CKvBoard::ResetSwitch()\n");
    unsigned parameter = 0;
    unsigned rc = MvipIssueCommand(MVIP95_CMD_RESET_SWITCH, &parameter);
    if (rc != 0) {
        Error("MVIP95_CMD_RESET_SWITCH returns %d (%08Xh)\n", int(rc), rc);
        return 1;
    }
    return 0;
}

namespace {

// SetOutputRecord: a size word, then eight words per entry.
void FillOutputEntry(unsigned* entry, unsigned outStream, unsigned outSlot, unsigned srcStream,
                     unsigned srcSlot) {
    entry[0] = 1;
    entry[1] = srcStream;
    entry[2] = srcSlot;
    entry[3] = 2;
    entry[4] = 1;
    entry[5] = outStream;
    entry[6] = outSlot;
    entry[7] = 0;
}

}  // namespace

unsigned CKvBoard::Connect(unsigned outStream, unsigned outSlot, unsigned srcStream, unsigned srcSlot) {
    unsigned record[9];
    record[0] = 36;
    FillOutputEntry(&record[1], outStream, outSlot, srcStream, srcSlot);
    unsigned rc = MvipIssueCommand(MVIP95_CMD_SET_OUTPUT, record);
    if (rc != 0) {
        Error("MVIP95_CMD_SET_OUTPUT returns %d (%08Xh)\n", int(rc), rc);
        return 1;
    }
    return 0;
}

void CKvBoard::NailStreams(unsigned outStream, unsigned srcStream, unsigned count) {
    Trace(KV_TRACE_API, "CKvBoard::NailStreams()\n");
    if (count == 0) return;
    // The size word must hold 4 + 32 * count; a count beyond that cannot be sent.
    unsigned* record = nullptr;
    if (count <= (0xFFFFFFFFu - 4u) / 32u) record = new (std::nothrow) unsigned[1 + size_t(count) * 8];
    if (record == nullptr) {
        Error("Memory allocation failed in cKvBoard::NailStreams\n");
        return;
    }
    record[0] = 4;
    for (unsigned i = 0; i < count; ++i) {
        FillOutputEntry(&record[1 + size_t(i) * 8], outStream, i, srcStream, i);
        record[0] += 32;
    }
    unsigned rc = MvipIssueCommand(MVIP95_CMD_SET_OUTPUT, record);
    if (rc != 0) Error("MVIP95_CMD_SET_OUTPUT returns 0x%08x\n", rc);
    delete[] record;
}

unsigned CKvBoard::NailDefaultConnections() {
    Trace(KV_TRACE_API, "CKvBoard::NailDefaultConnections()\n");
    // Without the population no station is known to be fitted; nothing
    // connected must not read as success.
    uint8_t population = 0;
    uint32_t status = ReadByteStatus(KV_REG_POPULATION, &population);
    if (status != 0) {
        Error("CKvBoard::NailDefaultConnections() - BoardReadByte(%08xh) returns %d (%08xh)\n",
              unsigned(KV_REG_POPULATION), int(status), status);
        return 1;
    }
    for (cPortGroup* g = m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g)) {
        if (!IsPopulated(g, population)) continue;
        for (uint32_t i = 0; i < g->m_StationCount; ++i) {
            const int s = g->GetStationNumber(i);
            const int t = g->GetLogicalTimeslot(s);
            const int voiceOut = g->GetLogicalStreamVoiceOut(s);
            const int voiceIn = g->GetLogicalStreamVoiceIn(s);
            const int signalOut = g->GetLogicalStreamSignalOut(s);
            const int signalIn = g->GetLogicalStreamSignalIn(s);
            // A station the map left unassigned (the population changed
            // since) has no place on the switch to connect.
            if (t < 0 || voiceOut < 0 || voiceIn < 0 || signalOut < 0 || signalIn < 0) {
                Error("CKvBoard::NailDefaultConnections() - station %d has no logical timeslot\n", s);
                return 1;
            }
            const unsigned slot = unsigned(t);
            if (Connect(unsigned(voiceOut), slot, 5, slot) != 0) return 1;
            if (Connect(4, slot, unsigned(voiceIn), slot) != 0) return 1;
            if (Connect(unsigned(signalOut), slot, 7, slot) != 0) return 1;
            if (Connect(6, slot, unsigned(signalIn), slot) != 0) return 1;
        }
    }
    return 0;
}
