// The board's start, stop and test sequences.
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "Dsp.h"
#include "KvMonitorThread.h"
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
void SetBit(CKvBoard* board, uint32_t address, unsigned bit)
{
    uint8_t mask = static_cast<uint8_t>(1u << bit);
    board->WriteByte(address, mask, mask);
}

void ClearBit(CKvBoard* board, uint32_t address, unsigned bit)
{
    uint8_t mask = static_cast<uint8_t>(1u << bit);
    board->WriteByte(address, mask, static_cast<uint8_t>(~mask));
}

void SetOrClearBit(CKvBoard* board, uint32_t address, unsigned bit, bool set)
{
    if (set)
        SetBit(board, address, bit);
    else
        ClearBit(board, address, bit);
}

}  // namespace

void CKvBoard::CloseSwitchDevice()
{
    if (!m_SwitchFdOpen) return;
    kvDevClose(m_SwitchFd);
    m_SwitchFd = -1;
    m_SwitchFdOpen = false;
}

void CKvBoard::SwitchLinePowerOff()
{
    ClearBit(this, KV_REG_LINE_POWER, 3);
    ClearBit(this, KV_REG_LINE_POWER, 2);
    ClearBit(this, KV_REG_LINE_POWER, 1);
    SetBit(this, KV_REG_LINE_POWER, 0);  // the external ringer's bit is active low
    ClearBit(this, KV_REG_LINE_POWER, 4);
}

unsigned CKvBoard::Start()
{
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
        Error("CKvBoard::Start() - previous monitor thread has not ended, error %d (%08xh)\n", ending, ending);
        m_BoardMutex.Unlock();
        return KV_E_START_FAILED;
    }
    SetState("BOOTING");
    m_LinePowerOn = false;
    if (RunStartSequence() != 0) {
        // Close what the sequence opened; programmed hardware stays as it is,
        // but for the line power: a board reported IDLE never has it on.
        CloseSwitchDevice();
        CloseDriver(&m_DriverHandle);
        if (MonitorStarted() == 1) _StopMonitor();
        if (m_LinePowerOn) {
            if (GetDriverHandle() != nullptr) {
                SwitchLinePowerOff();
                CloseDriver(&m_DriverHandle);
            } else {
                Error("CKvBoard::Start() - could not access board; line power may still be on.\n");
            }
            m_LinePowerOn = false;
        }
        SetState("IDLE");
        m_BoardMutex.Unlock();
        return KV_E_START_FAILED;
    }
    SetState("BOOTED");
    m_BoardMutex.Unlock();
    return 0;
}

unsigned CKvBoard::RunStartSequence()
{
    CZelKWStruct* eeprom = ChildStruct(this, "Eeprom");
    CZelKeyword* clockOverride = GetKeywordByName("CFBEMCoverride");
    CZelKWStruct* clocking = ChildStruct(this, "Clocking");
    CZelKeyword* signalingLoopback = GetKeywordByName("SignalingLoopbackEnable");
    cDsp* dsp = dynamic_cast<cDsp*>(GetKeywordByName("Dsp"));
    CZelKeyword* encoding = GetKeywordByName("Encoding");
    CZelKeyword* heartbeatRate = GetKeywordByName("HeartbeatRate");
    CZelKeyword* switchConnections = GetKeywordByName("SwitchConnections");
    CZelKeyword* monitorEnable = GetKeywordByName("MonitorEnable");
    CZelKWStruct* hbus = ChildStruct(clocking, "HBus");
    CZelKeyword* clockMode = hbus != nullptr ? hbus->GetKeywordByName("ClockMode") : nullptr;
    CZelKeyword* highBattery = GetKeywordByName("HighBatteryEnable");
    CZelKeyword* lowBattery = GetKeywordByName("LowBatteryEnable");
    CZelKeyword* ringVoltage = GetKeywordByName("RingVoltageEnable");
    CZelKeyword* externalRinger = GetKeywordByName("ExternalRingerEnable");

    unsigned result = OpenDriver(&m_DriverHandle);
    if (result != 0) {
        Error("CKvBoard::Start() - failed to open driver %d (0x%08x)\n", static_cast<int>(result), result);
        return 1;
    }

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

    if (AssignLogicalNumber() != 0) return 1;

    uint8_t record[24] = {0};
    uint32_t status = BoardEEPROMGetData(GetDriverHandle(), 128, record, sizeof(record));
    if (status != 0) {
        Error("CKvBoard::Start() - failed to read eeprom %d (0x%08x)\n", static_cast<int>(status), status);
        return 1;
    }
    if (eeprom != nullptr) {
        // The record's fields in their order: offset, size (host byte order), keyword.
        static const struct { size_t offset, size; const char* keyword; } fields[] = {
            {0, 2, "Family"},  {2, 2, "TestLevel"}, {4, 1, "TestLevelRev"}, {5, 1, "SoftwareCompatibility"},
            {6, 2, "OAMProductNo"}, {8, 2, "MFGYear"}, {10, 1, "MFGWeek"}, {11, 1, "ATETestBit"},
            {12, 4, "SerialNum"}, {20, 4, "AssemblyRevision"}};
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
            SetInt(eeprom->GetKeywordByName(field.keyword), static_cast<long>(value));
        }
    }

    status = BoardDspReset(GetDriverHandle());
    if (status != 0) {
        Error("BoardDspReset rc %08d\n", static_cast<int>(status));
        return 1;
    }
    ClearBit(this, KV_REG_RESET, 3);
    tsiSleepMs(100);

    HMICHANDLE hmic = nullptr;
    status = kvGetHmicHandle(GetDriverHandle(), 0, &hmic);
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

    if (clockOverride != nullptr && clocking != nullptr) {
        char value[kValueSize] = {0};
        if (clockOverride->GetKeywordValue(nullptr, value, sizeof(value)) == 0 &&
            tsiStricmp(value, "Enable") == 0) {
            if (Clock(clocking) != 0) {
                Error("Failure configuring clocks - expected keyword 'Clocking' not found\n");
                return 1;
            }
            Inform("Clocks configured internally\n");
        }
    }

    if (ResetSwitch() != 0) return 1;
    SetBit(this, KV_REG_CONTROL, 2);
    ClearBit(this, KV_REG_RESET, 1);
    SetOrClearBit(this, KV_REG_LINE_POWER, 4, Match(signalingLoopback, "Enable") == 1);

    if (MapPortGroups() != 0) return 1;
    MapQslacFilesToPorts();
    ConfigureLineInterfaceHardware();

    if (dsp != nullptr) {
        dsp->m_Encoding = Match(encoding, "MuLaw") == 1 ? 1 : 0;
        dsp->StartOperation();
        for (unsigned i = 0; i < kThermoCount && m_pThermos != nullptr; ++i) {
            cThermo* thermo = dynamic_cast<cThermo*>(m_pThermos->GetElement(i));
            if (thermo == nullptr || thermo->IsEnabled() != 1) continue;
            dsp->ConfigureThermo(thermo->m_Index, thermo->GetWarningLow(), thermo->GetWarningHigh(),
                                 thermo->GetProtectionLow(), thermo->GetProtectionHigh());
            dsp->StartThermo(thermo->m_Index);
        }
    }

    long rate = IntValue(heartbeatRate);
    if (heartbeatRate != nullptr && rate > 0)
        BoardStartHeartBeat(GetDriverHandle(), static_cast<uint32_t>(rate));

    if (Match(switchConnections, "Yes") == 1) {
        if (NailDefaultConnections() != 0) Warning("CKvBoard::Start() - Default connections failed.\n");
    } else if (Match(switchConnections, "Auto") == 1) {
        if (clocking == nullptr || hbus == nullptr || clockMode == nullptr) {
            Error("Expected keyword 'Clocking.HBus.ClockMode' not found\n");
        } else if (Match(clockMode, "STANDALONE") == 1) {
            if (NailDefaultConnections() != 0) Warning("CKvBoard::Start() - Default connections failed.\n");
        }
    }

    CloseSwitchDevice();

    SetOrClearBit(this, KV_REG_LINE_POWER, 2, Match(highBattery, "Enable") == 1);
    SetOrClearBit(this, KV_REG_LINE_POWER, 1, Match(lowBattery, "Enable") == 1);
    SetOrClearBit(this, KV_REG_LINE_POWER, 3, Match(ringVoltage, "Enable") == 1);
    // The external ringer's bit is active low.
    SetOrClearBit(this, KV_REG_LINE_POWER, 0, Match(externalRinger, "Enable") != 1);
    m_LinePowerOn = true;
    tsiSleepMs(250);

    if (dsp != nullptr) dsp->StartBoardMonitoring();
    GenerateReport();
    CloseDriver(&m_DriverHandle);
    {
        std::lock_guard<std::mutex> guard(m_MonitorLock);
        m_FirstStatusEvent = 1;
    }

    if (Match(monitorEnable, "Enable") == 1 && _StartMonitor() != 0) return 1;
    return 0;
}

unsigned CKvBoard::Stop()
{
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

unsigned CKvBoard::Test(unsigned)
{
    if (LockBoard() != 1) {
        Error("CKvBoard::Test() - failed to lock mutex.\n");
        return KV_E_NOT_SUPPORTED;
    }
    Trace(KV_TRACE_API, "CKvBoard::Test()\n");
    Warning("Test not supported.\n");
    m_BoardMutex.Unlock();
    return KV_E_NOT_SUPPORTED;
}

unsigned CKvBoard::SendBuffer(const void*, unsigned)
{
    Inform("CKvBoard::SendBuffer()\n");
    return KV_E_NOT_SUPPORTED;
}

