// The board's T8100 switch chip: its bring-up through the driver's hmic_
// register calls.
#include "T8100.h"

#include <cstdint>

#include "KvBoardServices.h"

namespace {

enum : int {
    kErrClockNeedsEnable = -3089,  // source 0, 1 or 4 asked for with a zero enable flag
    kErrFrameSync200 = -3088,      // frame-sync mode 0x200
};

// Words 8 (connect mode), 11-18 (H-bus group speeds) and 19-22 (local-bus
// group speeds) are read; 0 leaves a group unconfigured.
const uint16_t T8100ConfigDefaults[23] = {
    0, 0, 0, 0, 0, 0, 0, 0,
    0,                             // 8: connect mode
    0, 0, 8, 8, 8, 8, 8, 8, 0, 0,  // 11-18: H-bus groups
    2, 4, 8, 0,                    // 19-22: local-bus groups
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
    case 0:
        r0 = 0xC4;
        r3 = 0x40;
        r2 = 0xF3;
        r7 = 0x01;
        r9 = 0x00;
        low24 = 6;
        break;
    case 1:
        r0 = 0x61;
        r3 = 0x00;
        r2 = 0xFB;
        r7 = 0x00;
        r9 = 0x00;
        low24 = 2;
        break;
    case 2:
        r0 = 0x60;
        r3 = 0x40;
        r2 = 0x13;
        r7 = 0x07;
        r9 = 0x03;
        low24 = 6;
        break;
    case 3:
        r0 = (index + 0x6C) & 0xFF;
        r3 = 0x00;
        r2 = 0xFB;
        r7 = 0x00;
        r9 = 0x00;
        low24 = 6;
        break;
    case 4:
        r0 = 0x82;
        r3 = 0x40;
        r2 = 0x10;
        r7 = 0x03;
        r9 = 0x01;
        low24 = 6;
        break;
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
    case 0: hmic_set_control_reg(hmic, 1, 0x60); return 0;
    case 0x300:
        hmic_set_control_reg(hmic, 1, (index + 0x8C) & 0xFF);
        hmic_set_control_reg(hmic, 8, 0xFF);
        return 0;
    case 0x200: return kErrFrameSync200;
    default: return HMIC_ERR_BAD_ARGUMENT;
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

cT8100::cT8100(IKvBoardServices* board) : m_pBoard(board) {}

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
