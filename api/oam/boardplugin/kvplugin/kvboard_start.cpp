// The board's start, stop and test sequences.
//
// A start is the table of steps below, run in order under the board mutex
// between the states "BOOTING" and "BOOTED". Each step reports its own
// failure; the one failure path (FailStart) then closes what the table says
// is open after the failing step, and the board is "IDLE" again.
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "Dsp.h"
#include "KvRegisters.h"
#include "KvResults.h"
#include "KvTrace.h"
#include "KvWaits.h"
#include "T8100.h"
#include "Thermo.h"
#include "Utilities.h"
#include "kvboard.h"
#include "kvd/kvdevice.h"
#include "tsi/tsi.h"

namespace {

const unsigned kThermoCount = 5;
const unsigned kValueSize = 128;

// Register bits are changed one at a time through the masked write: a set
// passes the bit as mask and value, a clear the bit and its complement.
void SetBit(CKvBoard* board, uint32_t address, unsigned bit) {
    uint8_t mask = static_cast<uint8_t>(1u << bit);
    board->WriteByte(address, mask, mask);
}

void ClearBit(CKvBoard* board, uint32_t address, unsigned bit) {
    uint8_t mask = static_cast<uint8_t>(1u << bit);
    board->WriteByte(address, mask, static_cast<uint8_t>(~mask));
}

void SetOrClearBit(CKvBoard* board, uint32_t address, unsigned bit, bool set) {
    if (set)
        SetBit(board, address, bit);
    else
        ClearBit(board, address, bit);
}

// What is open after a step of the start, for the failure path to close.
enum : unsigned {
    DRIVER = 1,         // m_DriverHandle
    SWITCH_DEVICE = 2,  // m_SwitchFd
    LINE_POWER = 4,     // the line power bits of KV_REG_LINE_POWER
    MONITOR = 8,        // the monitor thread
};

}  // namespace

// The keywords a start reads, taken from the tree once before its first step.
struct CKvBoard::StartKeywords {
    CZelKWStruct* eeprom;
    CZelKeyword* clockOverride;
    CZelKWStruct* clocking;
    CZelKeyword* signalingLoopback;
    cDsp* dsp;
    CZelKeyword* encoding;
    CZelKeyword* heartbeatRate;
    CZelKeyword* switchConnections;
    CZelKeyword* monitorEnable;
    CZelKWStruct* hbus;
    CZelKeyword* clockMode;
    CZelKeyword* highBattery;
    CZelKeyword* lowBattery;
    CZelKeyword* ringVoltage;
    CZelKeyword* externalRinger;
};

struct CKvBoard::StartStep {
    unsigned (CKvBoard::*run)(const StartKeywords& keywords);  // 0, or 1 after its message
    unsigned open;                                             // what is open once the step has run
};

// The start, in order.
const CKvBoard::StartStep CKvBoard::kStartSteps[] = {
    {&CKvBoard::StartOpenDriver, DRIVER},                        // open the driver
    {&CKvBoard::StartHoldInReset, DRIVER},                       // line power off, hardware held in reset
    {&CKvBoard::StartLogicalNumber, DRIVER},                     // logical number
    {&CKvBoard::StartReadEeprom, DRIVER},                        // EEPROM record into "Eeprom"
    {&CKvBoard::StartResetDsp, DRIVER},                          // DSP reset
    {&CKvBoard::StartSwitchChip, DRIVER},                        // switch chip (T8100)
    {&CKvBoard::StartOpenSwitchDevice, DRIVER | SWITCH_DEVICE},  // open the switch device
    {&CKvBoard::StartClocking, DRIVER | SWITCH_DEVICE},          // H.100 clocking, when "CFBEMCoverride" asks
    {&CKvBoard::StartResetSwitch, DRIVER | SWITCH_DEVICE},       // switch reset, signalling loopback
    {&CKvBoard::StartMapStations, DRIVER | SWITCH_DEVICE},       // port groups and station map
    {&CKvBoard::StartLineCircuits, DRIVER | SWITCH_DEVICE},      // line circuits and coefficient files
    {&CKvBoard::StartDsp, DRIVER | SWITCH_DEVICE},               // DSP firmware and thermal sensors
    {&CKvBoard::StartHeartbeat, DRIVER | SWITCH_DEVICE},         // heartbeat
    {&CKvBoard::StartDefaultConnections, DRIVER | SWITCH_DEVICE},  // default connections
    {&CKvBoard::StartCloseSwitchDevice, DRIVER},                   // close the switch device
    {&CKvBoard::StartLinePower, DRIVER | LINE_POWER},              // line power on
    {&CKvBoard::StartBoardMonitoring, DRIVER | LINE_POWER},        // board monitoring in the DSP
    {&CKvBoard::StartReport, DRIVER | LINE_POWER},                 // board report
    {&CKvBoard::StartCloseDriver, LINE_POWER},                     // close the driver
    {&CKvBoard::StartMonitorThread, LINE_POWER | MONITOR},  // monitor thread, when "MonitorEnable" asks
};

void CKvBoard::CloseSwitchDevice() {
    if (!m_SwitchFdOpen) return;
    kvDevClose(m_SwitchFd);
    m_SwitchFd = -1;
    m_SwitchFdOpen = false;
}

void CKvBoard::SwitchLinePowerOff() {
    ClearBit(this, KV_REG_LINE_POWER, 3);
    ClearBit(this, KV_REG_LINE_POWER, 2);
    ClearBit(this, KV_REG_LINE_POWER, 1);
    SetBit(this, KV_REG_LINE_POWER, 0);  // the external ringer's bit is active low
    ClearBit(this, KV_REG_LINE_POWER, 4);
}

unsigned CKvBoard::Start() {
    if (LockBoard() != 1) {
        Error("CKvBoard::Start() - failed to lock mutex.\n");
        return KV_E_START_FAILED;
    }
    Trace(KV_TRACE_API, "CKvBoard::Start()\n");
    if (!IsState("IDLE")) {
        Error("CKvBoard::Start() - Board state must be 'IDLE' before starting.  Try stopping board\n");
        m_BoardMutex.Unlock();
        return KV_E_START_FAILED;
    }
    // A monitor thread of an earlier run still holds the monitor's handle and
    // event; until it has ended no new monitor can start, so the start is
    // refused before it touches the board (at once on that thread itself).
    unsigned ending = ReapEndingMonitor(KV_MONITOR_END_TIMEOUT_MS);
    if (ending != 0) {
        Error("CKvBoard::Start() - previous monitor thread has not ended, error %d (%08xh)\n", ending,
              ending);
        m_BoardMutex.Unlock();
        return KV_E_START_FAILED;
    }
    SetState("BOOTING");
    const StartKeywords keywords = TakeStartKeywords();
    unsigned open = 0;
    for (const StartStep& step : kStartSteps) {
        if ((this->*step.run)(keywords) != 0) {
            FailStart(open | step.open);
            m_BoardMutex.Unlock();
            return KV_E_START_FAILED;
        }
        open = step.open;
    }
    SetState("BOOTED");
    m_BoardMutex.Unlock();
    return 0;
}

CKvBoard::StartKeywords CKvBoard::TakeStartKeywords() {
    StartKeywords keywords = {};
    keywords.eeprom = ChildStruct(this, "Eeprom");
    keywords.clockOverride = GetKeywordByName("CFBEMCoverride");
    keywords.clocking = ChildStruct(this, "Clocking");
    keywords.signalingLoopback = GetKeywordByName("SignalingLoopbackEnable");
    keywords.dsp = dynamic_cast<cDsp*>(GetKeywordByName("Dsp"));
    keywords.encoding = GetKeywordByName("Encoding");
    keywords.heartbeatRate = GetKeywordByName("HeartbeatRate");
    keywords.switchConnections = GetKeywordByName("SwitchConnections");
    keywords.monitorEnable = GetKeywordByName("MonitorEnable");
    keywords.hbus = ChildStruct(keywords.clocking, "HBus");
    keywords.clockMode = keywords.hbus != nullptr ? keywords.hbus->GetKeywordByName("ClockMode") : nullptr;
    keywords.highBattery = GetKeywordByName("HighBatteryEnable");
    keywords.lowBattery = GetKeywordByName("LowBatteryEnable");
    keywords.ringVoltage = GetKeywordByName("RingVoltageEnable");
    keywords.externalRinger = GetKeywordByName("ExternalRingerEnable");
    return keywords;
}

void CKvBoard::FailStart(unsigned open) {
    // Close what the sequence opened; programmed hardware stays as it is,
    // but for the line power: a board reported IDLE never has it on.
    if (open & SWITCH_DEVICE) CloseSwitchDevice();
    if (open & DRIVER) CloseDriver(&m_DriverHandle);
    if ((open & MONITOR) && MonitorStarted() == 1) _StopMonitor();
    if (open & LINE_POWER) {
        if (GetDriverHandle() != nullptr) {
            SwitchLinePowerOff();
            CloseDriver(&m_DriverHandle);
        } else {
            Error("CKvBoard::Start() - could not access board; line power may still be on.\n");
        }
    }
    SetState("IDLE");
}

// ---- The steps of a start ----------------------------------------------------------

unsigned CKvBoard::StartOpenDriver(const StartKeywords&) {
    unsigned result = OpenDriver(&m_DriverHandle);
    if (result != 0) {
        Error("CKvBoard::Start() - failed to open driver %d (0x%08x)\n", static_cast<int>(result), result);
        return 1;
    }
    return 0;
}

unsigned CKvBoard::StartHoldInReset(const StartKeywords&) {
    // Everything off and held in reset before the board is prepared.
    ClearBit(this, KV_REG_CONTROL, 3);
    ClearBit(this, KV_REG_LINE_POWER, 2);
    ClearBit(this, KV_REG_LINE_POWER, 1);
    ClearBit(this, KV_REG_LINE_POWER, 3);
    SetBit(this, KV_REG_LINE_POWER, 0);
    ClearBit(this, KV_REG_LINE_POWER, 4);
    SetBit(this, KV_REG_RESET, 4);
    SetBit(this, KV_REG_RESET, 2);
    SetBit(this, KV_REG_RESET, 3);
    SetBit(this, KV_REG_RESET, 1);
    ClearBit(this, KV_REG_RESET, 4);
    return 0;
}

unsigned CKvBoard::StartLogicalNumber(const StartKeywords&) { return AssignLogicalNumber() != 0 ? 1 : 0; }

unsigned CKvBoard::StartReadEeprom(const StartKeywords& keywords) {
    uint8_t record[24] = {0};
    uint32_t status = BoardEEPROMGetData(GetDriverHandle(), 128, record, sizeof(record));
    if (status != 0) {
        Error("CKvBoard::Start() - failed to read eeprom %d (0x%08x)\n", static_cast<int>(status), status);
        return 1;
    }
    if (keywords.eeprom == nullptr) return 0;
    // The record's fields in their order: offset, size (host byte order), keyword.
    static const struct {
        size_t offset, size;
        const char* keyword;
    } fields[] = {{0, 2, "Family"},       {2, 2, "TestLevel"},
                  {4, 1, "TestLevelRev"}, {5, 1, "SoftwareCompatibility"},
                  {6, 2, "OAMProductNo"}, {8, 2, "MFGYear"},
                  {10, 1, "MFGWeek"},     {11, 1, "ATETestBit"},
                  {12, 4, "SerialNum"},   {20, 4, "AssemblyRevision"}};
    for (const auto& field : fields) {
        uint32_t value = 0;
        if (field.size == 1) {
            value = record[field.offset];
        } else if (field.size == 2) {
            uint16_t word = 0;
            memcpy(&word, record + field.offset, 2);
            value = word;
        } else {
            memcpy(&value, record + field.offset, 4);
        }
        SetInt(keywords.eeprom->GetKeywordByName(field.keyword), static_cast<long>(value));
    }
    return 0;
}

unsigned CKvBoard::StartResetDsp(const StartKeywords&) {
    uint32_t status = BoardDspReset(GetDriverHandle());
    if (status != 0) {
        Error("BoardDspReset rc %08d\n", static_cast<int>(status));
        return 1;
    }
    ClearBit(this, KV_REG_RESET, 3);
    tsiSleepMs(100);
    return 0;
}

unsigned CKvBoard::StartSwitchChip(const StartKeywords&) {
    HMICHANDLE hmic = nullptr;
    uint32_t status = kvGetHmicHandle(GetDriverHandle(), 0, &hmic);
    if (status != 0) {
        Error("kvGetHmicHandle rc %08d\n", static_cast<int>(status));
        return 1;
    }
    status = BoardFlashLedOn(GetDriverHandle());
    if (status != 0) {
        Error("BoardFlashLedOn rc %08d\n", static_cast<int>(status));
        return 1;
    }
    int chip = m_pT8100 != nullptr ? m_pT8100->Initialize(hmic) : 1;
    if (chip != 0) {
        Error("inithmic rc %08d\n", chip);
        return 1;
    }
    status = BoardFlashLedOff(GetDriverHandle());
    if (status != 0) {
        Error("BoardFlashLedOff rc %08d\n", static_cast<int>(status));
        return 1;
    }
    return 0;
}

unsigned CKvBoard::StartOpenSwitchDevice(const StartKeywords&) {
    char path[256];
    snprintf(path, sizeof(path), "/dev/%s%02d", GetSwitchDriver(), static_cast<int>(GetLogicalNumber()));
    int fd = kvDevOpen(path, O_RDONLY);
    if (fd < 0) {
        Error("Open of %s failed, errno %d\n", path, errno);
        m_SwitchFd = -1;
        return 1;
    }
    m_SwitchFd = fd;
    m_SwitchFdOpen = true;
    return 0;
}

unsigned CKvBoard::StartClocking(const StartKeywords& keywords) {
    if (keywords.clockOverride == nullptr || keywords.clocking == nullptr) return 0;
    char value[kValueSize] = {0};
    if (keywords.clockOverride->GetKeywordValue(nullptr, value, sizeof(value)) != 0 ||
        tsiStricmp(value, "Enable") != 0)
        return 0;
    if (Clock(keywords.clocking) != 0) {
        Error("Failure configuring clocks - expected keyword 'Clocking' not found\n");
        return 1;
    }
    Inform("Clocks configured internally\n");
    return 0;
}

unsigned CKvBoard::StartResetSwitch(const StartKeywords& keywords) {
    if (ResetSwitch() != 0) return 1;
    SetBit(this, KV_REG_CONTROL, 2);
    ClearBit(this, KV_REG_RESET, 1);
    SetOrClearBit(this, KV_REG_LINE_POWER, 4, Match(keywords.signalingLoopback, "Enable") == 1);
    return 0;
}

unsigned CKvBoard::StartMapStations(const StartKeywords&) { return MapPortGroups() != 0 ? 1 : 0; }

unsigned CKvBoard::StartLineCircuits(const StartKeywords&) {
    MapQslacFilesToPorts();
    ConfigureLineInterfaceHardware();
    return 0;
}

unsigned CKvBoard::StartDsp(const StartKeywords& keywords) {
    // Neither the firmware nor a sensor fails the start: each says what went wrong.
    cDsp* dsp = keywords.dsp;
    if (dsp == nullptr) return 0;
    dsp->m_Encoding = Match(keywords.encoding, "MuLaw") == 1 ? 1 : 0;
    dsp->StartOperation();
    for (unsigned i = 0; i < kThermoCount && m_pThermos != nullptr; ++i) {
        cThermo* thermo = dynamic_cast<cThermo*>(m_pThermos->GetElement(i));
        if (thermo == nullptr || thermo->IsEnabled() != 1) continue;
        dsp->ConfigureThermo(thermo->m_Index, thermo->GetWarningLow(), thermo->GetWarningHigh(),
                             thermo->GetProtectionLow(), thermo->GetProtectionHigh());
        dsp->StartThermo(thermo->m_Index);
    }
    return 0;
}

unsigned CKvBoard::StartHeartbeat(const StartKeywords& keywords) {
    long rate = IntValue(keywords.heartbeatRate);
    if (keywords.heartbeatRate != nullptr && rate > 0)
        BoardStartHeartBeat(GetDriverHandle(), static_cast<uint32_t>(rate));
    return 0;
}

unsigned CKvBoard::StartDefaultConnections(const StartKeywords& keywords) {
    // Connections that fail are reported; they do not fail the start.
    if (Match(keywords.switchConnections, "Yes") == 1) {
        if (NailDefaultConnections() != 0) Warning("CKvBoard::Start() - Default connections failed.\n");
    } else if (Match(keywords.switchConnections, "Auto") == 1) {
        if (keywords.clocking == nullptr || keywords.hbus == nullptr || keywords.clockMode == nullptr) {
            Error("Expected keyword 'Clocking.HBus.ClockMode' not found\n");
        } else if (Match(keywords.clockMode, "STANDALONE") == 1) {
            if (NailDefaultConnections() != 0) Warning("CKvBoard::Start() - Default connections failed.\n");
        }
    }
    return 0;
}

unsigned CKvBoard::StartCloseSwitchDevice(const StartKeywords&) {
    CloseSwitchDevice();
    return 0;
}

unsigned CKvBoard::StartLinePower(const StartKeywords& keywords) {
    SetOrClearBit(this, KV_REG_LINE_POWER, 2, Match(keywords.highBattery, "Enable") == 1);
    SetOrClearBit(this, KV_REG_LINE_POWER, 1, Match(keywords.lowBattery, "Enable") == 1);
    SetOrClearBit(this, KV_REG_LINE_POWER, 3, Match(keywords.ringVoltage, "Enable") == 1);
    // The external ringer's bit is active low.
    SetOrClearBit(this, KV_REG_LINE_POWER, 0, Match(keywords.externalRinger, "Enable") != 1);
    tsiSleepMs(250);
    return 0;
}

unsigned CKvBoard::StartBoardMonitoring(const StartKeywords& keywords) {
    if (keywords.dsp != nullptr) keywords.dsp->StartBoardMonitoring();
    return 0;
}

unsigned CKvBoard::StartReport(const StartKeywords&) {
    GenerateReport();
    return 0;
}

unsigned CKvBoard::StartCloseDriver(const StartKeywords&) {
    CloseDriver(&m_DriverHandle);
    std::lock_guard<std::mutex> guard(m_MonitorLock);
    m_FirstStatusEvent = 1;
    return 0;
}

unsigned CKvBoard::StartMonitorThread(const StartKeywords& keywords) {
    return Match(keywords.monitorEnable, "Enable") == 1 && _StartMonitor() != 0 ? 1 : 0;
}

unsigned CKvBoard::Stop() {
    if (LockBoard() != 1) {
        Error("CKvBoard::Stop() - failed to lock mutex.\n");
        return KV_E_STOP_FAILED;
    }
    Trace(KV_TRACE_API, "CKvBoard::Stop()\n");
    const char* state = GetState();
    if (state == nullptr || tsiStricmp(state, "BOOTED") != 0) {
        Trace(KV_TRACE_DEBUG, "Stop attempted on board in state '%s'.  Stop ignored.\n",
              state != nullptr ? state : "");
        m_BoardMutex.Unlock();
        return 0;
    }
    // The monitor ends before the hardware is touched.
    if (MonitorStarted() == 1) _StopMonitor();

    KVHANDLE handle = GetDriverHandle();
    if (handle != nullptr) {
        uint32_t status = BoardStopHeartBeat(handle);
        if (status != 0)
            Warning("CKvBoard::Stop() - BoardStopHeartBeat() failed with return code %d (%08xh)\n",
                    static_cast<int>(status), status);
        SwitchLinePowerOff();
        tsiSleepMs(1200);
        SetBit(this, KV_REG_RESET, 2);
        SetBit(this, KV_REG_RESET, 1);
        SetBit(this, KV_REG_RESET, 3);
        CloseDriver(&m_DriverHandle);
    } else {
        Trace(KV_TRACE_DEBUG, "CKVBoard::Stop() - could not access board.\n");
        Error("CKvBoard::Stop() - could not access board; line power may still be on.\n");
    }
    Reset();
    SetState("IDLE");
    m_BoardMutex.Unlock();
    return 0;
}

unsigned CKvBoard::Test(unsigned) {
    if (LockBoard() != 1) {
        Error("CKvBoard::Test() - failed to lock mutex.\n");
        return KV_E_NOT_SUPPORTED;
    }
    Trace(KV_TRACE_API, "CKvBoard::Test()\n");
    Warning("Test not supported.\n");
    m_BoardMutex.Unlock();
    return KV_E_NOT_SUPPORTED;
}

unsigned CKvBoard::SendBuffer(const void*, unsigned) {
    Inform("CKvBoard::SendBuffer()\n");
    return KV_E_NOT_SUPPORTED;
}
