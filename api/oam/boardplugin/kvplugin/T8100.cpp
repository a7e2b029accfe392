// The board's T8100 switch chip: its bring-up through the driver's hmic_
// register calls, the H.100 clock keywords (validation and the board-clock
// command) and the MVIP-95 switch requests on the switch device.
#include "T8100.h"

#include <cerrno>
#include <cstdint>
#include <new>

#include "PortGroup.h"
#include "kvboard.h"
#include "kvd/kvdevice.h"
#include "tsi/tsi.h"

namespace {

enum : int {
    kErrClockNeedsEnable = -3089,  // source 0, 1 or 4 asked for with a zero enable flag
    kErrFrameSync200 = -3088,      // frame-sync mode 0x200
};

// Words 8 (connect mode), 11-18 (H-bus group speeds) and 19-22 (local-bus
// group speeds) are read; 0 leaves a group unconfigured.
const uint16_t T8100ConfigDefaults[23] = {
    0, 0, 0, 0, 0, 0, 0, 0,
    0,                       // 8: connect mode
    0, 0,
    8, 8, 8, 8, 8, 8, 0, 0,  // 11-18: H-bus groups
    2, 4, 8, 0,              // 19-22: local-bus groups
};

struct StreamGroup {
    int16_t count;
    int16_t first;
};

const StreamGroup Hbus_group_info[8] = {{4, 0}, {4, 4}, {4, 8}, {4, 12}, {8, 16}, {8, 24}, {0, 0}, {0, 0}};
const StreamGroup Lbus_group_info[4] = {{8, 0}, {4, 8}, {4, 12}, {0, 16}};

}  // namespace

// ---------------------------------------------------------------------------
// Clock and frame-sync registers

int hmic_config_clock(HMICHANDLE hmic, unsigned index, unsigned source, unsigned enable) {
    unsigned r0, r3, r2, r7, r9, low24;
    switch (source) {
    case 0: r0 = 0xC4; r3 = 0x40; r2 = 0xF3; r7 = 0x01; r9 = 0x00; low24 = 6; break;
    case 1: r0 = 0x61; r3 = 0x00; r2 = 0xFB; r7 = 0x00; r9 = 0x00; low24 = 2; break;
    case 2: r0 = 0x60; r3 = 0x40; r2 = 0x13; r7 = 0x07; r9 = 0x03; low24 = 6; break;
    case 3: r0 = (index + 0x6C) & 0xFF; r3 = 0x00; r2 = 0xFB; r7 = 0x00; r9 = 0x00; low24 = 6; break;
    case 4: r0 = 0x82; r3 = 0x40; r2 = 0x10; r7 = 0x03; r9 = 0x01; low24 = 6; break;
    default: return HMIC_ERR_BAD_ARGUMENT;
    }
    if (enable == 0) {
        if (source != 2 && source != 3) return kErrClockNeedsEnable;
        r2 &= 0xF3;
        r0 &= 0xDF;
    }
    hmic_set_control_reg(hmic, 0, r0);
    hmic_set_control_reg(hmic, 3, r3);
    hmic_set_control_reg(hmic, 2, r2);
    hmic_set_control_reg(hmic, 7, r7);
    hmic_set_control_reg(hmic, 9, r9);
    unsigned value = 0;
    int rc = hmic_read_control_reg(hmic, 24, &value);
    if (rc != 0) return rc;
    return hmic_set_control_reg(hmic, 24, (value & 0xF8) | low24);
}

int hmic_config_sec8k(HMICHANDLE hmic, unsigned index, unsigned mode) {
    switch (mode) {
    case 0:
        hmic_set_control_reg(hmic, 1, 0x60);
        return 0;
    case 0x300:
        hmic_set_control_reg(hmic, 1, (index + 0x8C) & 0xFF);
        hmic_set_control_reg(hmic, 8, 0xFF);
        return 0;
    case 0x200:
        return kErrFrameSync200;
    default:
        return HMIC_ERR_BAD_ARGUMENT;
    }
}

int init_hmic_clock(HMICHANDLE hmic, unsigned enable) {
    hmic_config_clock(hmic, 0, 2, enable);
    hmic_config_sec8k(hmic, 0, 0);
    static const unsigned kRegisters[][2] = {{4, 0x10},  {5, 0x44},  {6, 0x45},  {43, 0x00}, {33, 0x87},
                                             {32, 0xFB}, {35, 0x47}, {34, 0xF5}, {37, 0x00}, {36, 0x00}};
    for (const auto& r : kRegisters) hmic_set_control_reg(hmic, r[0], r[1]);
    return 0;
}

// ---------------------------------------------------------------------------
// cT8100

cT8100::cT8100(CKvBoard* board) : m_pBoard(board) {}

int cT8100::Initialize(HMICHANDLE hmic) {
    uint16_t config[23];
    for (unsigned i = 0; i < 23; ++i) config[i] = T8100ConfigDefaults[i];
    if (hmic == nullptr) return HMIC_ERR_BAD_HANDLE;

    // The chip is asked twice; the second answer counts.
    (void)hmic_id_device_type(hmic);
    int rc = hmic_id_device_type(hmic);
    if (rc <= 0) {
        m_pBoard->Error("hmic_id_device_type() failed\n");
        return 1;
    }
    if ((rc = hmic_set_master_reg(hmic, 0xFE, 0xE0)) != 0) {
        m_pBoard->Error("hmic_set_master_reg() returns %d\n", rc);
        return 1;
    }
    if ((rc = init_hmic_clock(hmic, 1)) != 0) {
        m_pBoard->Error("init_hmic_clock() returns %d\n", rc);
        return 1;
    }
    if ((rc = hmic_set_master_reg(hmic, 6, 6)) != 0) {
        m_pBoard->Error("hmic_set_master_reg() returns %d\n", rc);
        return 1;
    }
    if ((rc = hmic_config_connect_mode(hmic, config[8])) != 0) {
        m_pBoard->Error("hmic_config_connect_mode() returns %d\n", rc);
        return 1;
    }

    int streams[32];
    for (int i = 0; i < 32; ++i) streams[i] = i;
    for (unsigned i = 0; i < 8; ++i) {
        if (config[11 + i] == 0) continue;
        rc = hmic_config_HBus_speed(hmic, Hbus_group_info[i].count, &streams[Hbus_group_info[i].first],
                                    config[11 + i]);
        if (rc != 0) {
            m_pBoard->Error("hmic_config_HBus_speed() returns %d\n", rc);
            return 1;
        }
    }
    for (unsigned i = 0; i < 4; ++i) {
        if (config[19 + i] == 0) continue;
        rc = hmic_config_LBus_speed(hmic, Lbus_group_info[i].count, &streams[Lbus_group_info[i].first],
                                    config[19 + i]);
        if (rc != 0) {
            m_pBoard->Error("hmic_config_LBus_speed returns %d\n", rc);
            return 1;
        }
    }

    if ((rc = hmic_init(hmic, 0)) != 0) {
        m_pBoard->Error("hmic_init() returns %d\n", rc);
        return 1;
    }
    if ((rc = hmic_config_sec8k(hmic, 0, 0)) != 0) {
        m_pBoard->Error("hmic_config_sec8k() returns %d\n", rc);
        return 1;
    }
    if ((rc = hmic_set_master_reg(hmic, 8, 8)) != 0) {
        m_pBoard->Error("hmic_set_master_reg() returns %d\n", rc);
        return 1;
    }
    if ((rc = hmic_reset_switch(hmic)) != 0) {
        m_pBoard->Error("hmic_reset_switch() returns %d\n", rc);
        return 1;
    }
    if ((rc = hmic_set_master_reg(hmic, 0x60, 0x60)) != 0) {
        m_pBoard->Error("hmic_set_master_reg() returns %d\n", rc);
        return 1;
    }

    // Every output of local streams 0 to 15 to one setting; the chip answers
    // "end of stream" past a stream's last timeslot.
    for (unsigned stream = 0; stream < 16; ++stream) {
        for (unsigned slot = 0; slot < 128; ++slot) {
            rc = hmic_set_output(hmic, 1, stream, slot, 0x40, 0, 0, 0, 0x55);
            if (rc == HMIC_ERR_END_OF_STREAM) break;
            if (rc != 0) {
                m_pBoard->Error("hmic_set_output() returns %d\n", rc);
                return 1;
            }
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Clock keywords

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
    } kSources[] = {{"A_CLOCK", 8}, {"B_CLOCK", 9}, {"NETREF", 10}, {"NETREF1", 10}, {"NETREF2", 11}, {"OSC", 1}};
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
    } kTable[] = {{"MASTER_A", kMasterA}, {"MASTER_B", kMasterB}, {"SLAVE", kSlave}, {"STANDALONE", kStandalone}};

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
void FillOutputEntry(unsigned* entry, unsigned outStream, unsigned outSlot, unsigned srcStream, unsigned srcSlot) {
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
