// The board object: its keyword tree, configuration, state and identity,
// messages, and its reactions to keyword changes and alerts. The board's
// other facets are in kvboard_<facet>.cpp: the start and stop sequences
// (start), the configuration file (config), driver handle and registers (driver), switching (switch), the
// line side (lines), the DSP image download (dsp), the monitor (monitor), the report and file list (report).
#include "kvboard.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "Dsp.h"
#include "KvRegisters.h"
#include "KvResults.h"
#include "KvTrace.h"
#include "KvWaits.h"
#include "PortGroup.h"
#include "Qslac.h"
#include "QslacFile.h"
#include "Supervisor.h"
#include "T8100.h"
#include "Thermo.h"
#include "Utilities.h"
#include "oam/oamsupervisor.h"
#include "tsi/tsi.h"

namespace {

const char* const kEnableDisable[] = {"Enable", "Disable"};
const unsigned kThermoCount = 5;
const unsigned kPortCount = 48;
const unsigned kValueSize = 128;

}  // namespace

// ---- Construction ------------------------------------------------------------

CKvBoard::CKvBoard(const char* name, const char* product)
    : CBoard(name, product),
      m_pT8100(nullptr),
      m_DriverHandle(nullptr),
      m_SwitchFd(0),
      m_pMonitorThread(nullptr),
      m_pMonitorEvent(nullptr),
      m_FirstStatusEvent(1),
      m_LastStatus(),
      m_StatusText(),
      m_ConfigBaseName(),
      m_ConfigExtension(),
      m_FileList(),
      m_SearchPath(),
      m_pRawMap(nullptr),
      m_pThermos(nullptr),
      m_MonitorDriverHandle(nullptr),
      m_SwitchDriverName(),
      m_StateMutex(0, nullptr, 0),
      m_BoardMutex(0, nullptr, 0),
      m_pEndingMonitor(nullptr),
      m_SwitchFdOpen(false),
      m_WaitedMonitor(nullptr),
      m_pBoardEndOwner(nullptr) {
    m_pT8100 = new cT8100(this);

    InitializeRequiredKeywords();

    // EEPROM fields that the framework's "Eeprom" lacks; the start sequence fills them.
    if (CZelKWStruct* eeprom = ChildStruct(this, "Eeprom")) {
        static const char* const fields[] = {"AssemblyRevision", "TestLevel", "TestLevelRev", "OAMProductNo"};
        for (const char* field : fields)
            if (eeprom->GetKeywordByName(field) == nullptr)
                Adopt(eeprom, new CZelKWInt(field, 0, 0, 65535, 1, 1));
    }

    CZelKWStr* dspFile = new CZelKWStr("DspFile", nullptr, nullptr, 0, 0, 16);
    dspFile->SetStrValue("kv100.dsp");
    Adopt(this, dspFile);
    Adopt(this, new CKvKWStr("DefaultQslacFile", "k7allsl6.slc"));

    // Per-port coefficient files, "Port[n].Qslac.File"; empty means "DefaultQslacFile".
    CZelKWStructArray* ports = new CZelKWStructArray("Port", nullptr, 0);
    for (unsigned i = 0; i < kPortCount; ++i) {
        CZelKWStruct* port = new CZelKWStruct("", nullptr, 0);
        CZelKWStruct* qslac = new CZelKWStruct("Qslac", nullptr, 0);
        Adopt(qslac, new CZelKWStr("File", nullptr, nullptr, 0, 0, 16));
        Adopt(port, qslac);
        if (ports->AddKeyword(port) != 0) delete port;
    }
    Adopt(this, ports);

    Adopt(this, NewChoiceString("HighBatteryEnable", "Enable", kEnableDisable, 2));
    Adopt(this, NewChoiceString("LowBatteryEnable", "Enable", kEnableDisable, 2));
    Adopt(this, NewChoiceString("ExternalRingerEnable", "Enable", kEnableDisable, 2));
    Adopt(this, NewChoiceString("RingVoltageEnable", "Enable", kEnableDisable, 2));
    static const char* const encodings[] = {"MuLaw", "ALaw"};
    Adopt(this, NewChoiceString("Encoding", "MuLaw", encodings, 2));
    Adopt(this, NewChoiceString("SignalingLoopbackEnable", "Disable", kEnableDisable, 2));
    CZelKWStruct* switchDriver = new CZelKWStruct("SwitchDriver", nullptr, 0);
    Adopt(switchDriver, new CZelKWStr("Name", "kvsw", nullptr, 0, 0, 16));
    Adopt(this, switchDriver);
    static const char* const connections[] = {"Yes", "No", "Auto"};
    Adopt(this, NewChoiceString("SwitchConnections", "Auto", connections, 3));
    Adopt(this, NewChoiceString("MonitorEnable", "Enable", kEnableDisable, 2));
    Adopt(this, new CZelKWInt("HeartbeatRate", 100, 0, 2147483647L, 0, 1));

    Adopt(this, new CRinger(this));
    CRinger* ringer = dynamic_cast<CRinger*>(GetKeywordByName("Ring"));
    Adopt(this, new cDsp(this, ringer));

    // The sensors live beside the tree, not in it.
    m_pThermos = new CZelKWStructArray("Thermos", nullptr, 0);
    for (unsigned i = 0; i < kThermoCount; ++i) {
        cThermo* thermo = new cThermo(this, i);
        if (m_pThermos->AddKeyword(thermo) != 0) delete thermo;
    }

    Adopt(this, new CZelKWInt("OamTraceMask", 0, -1, 2147483647L, 0, 1));
    CZelKWStr* override_ = new CZelKWStr("CFBEMCoverride", nullptr, nullptr, 0, 0, 16);
    override_->AddChoice("Enable");
    override_->AddChoice("Disable");
    override_->SetStrValue("Disable");
    Adopt(this, override_);
    CKvKWStr* rawMap = new CKvKWStr("RawMap");
    rawMap->AddChoice("Enable");
    rawMap->AddChoice("Disable");
    rawMap->SetStrValue("Disable");
    m_pRawMap = static_cast<CKvKWStr*>(Adopt(this, rawMap));

    memset(m_ConfigBaseName, 0, sizeof(m_ConfigBaseName));
    memset(m_ConfigExtension, 0, sizeof(m_ConfigExtension));
    m_pMonitorThread = nullptr;
    m_DriverHandle = nullptr;
    m_MonitorDriverHandle = nullptr;
    m_SwitchFd = 0;
    m_SwitchFdOpen = false;

    SetSearchPath(getenv("WBLOAD"));
    Reset();
}

void CKvBoard::InitializeRequiredKeywords() {
    if (CZelKWStr* state = dynamic_cast<CZelKWStr*>(GetKeywordByName("State"))) state->AddChoice("BOOTING");

    if (CZelKWStruct* location = ChildStruct(this, "Location")) {
        SetText(location->GetKeywordByName("Type"), "PCI");
        if (location->GetKeywordByName("PCI") == nullptr) {
            CZelKWStruct* pci = new CZelKWStruct("PCI", nullptr, 0);
            Adopt(pci, new CZelKWInt("Bus", 0, -65535, 65535, 0, 1));
            Adopt(pci, new CZelKWInt("Slot", 0, -65535, 65535, 0, 1));
            Adopt(location, pci);
        }
    }

    CZelKeyword* level = GetKeywordByName("BootDiagnosticLevel");
    if (level == nullptr) level = Adopt(this, new CZelKWInt("BootDiagnosticLevel", 1, -65535, 65535, 0, 1));
    SetInt(level, 1);

    CZelKeyword* debugMask = GetKeywordByName("DebugMask");
    if (debugMask == nullptr) debugMask = Adopt(this, new CZelKWInt("DebugMask", 0, -65535, 65535, 0, 1));
    SetInt(debugMask, 0);

    if (CZelKWStruct* driver = ChildStruct(this, "Driver")) {
        SetText(driver->GetKeywordByName("Name"), "kvhw");
        char boardId[16];
        snprintf(boardId, sizeof(boardId), "%d", -1);
        SetText(driver->GetKeywordByName("BoardId"), boardId);
    }
}

CKvBoard::~CKvBoard() {
    Trace(KV_TRACE_API, "CKvBoard::~CKvBoard()\n");
    // Serialised with runtime monitor changes still finishing on other threads;
    // a board made and destroyed without the plug-in has its monitors ended here.
    bool locked = LockBoard() == 1;
    EndMonitors();

    m_PortGroups.RemoveAll(true);
    m_Ports.RemoveAll(true);
    m_QslacFiles.RemoveAll(true);

    CloseSwitchDevice();
    // The monitor's handle first, then the board's; each close is traced,
    // also of a handle that is not open.
    CloseDriver(&m_MonitorDriverHandle);
    CloseDriver(&m_DriverHandle);
    // The monitor's event outlives a monitor only when the thread never tidied up.
    delete m_pMonitorEvent;
    m_pMonitorEvent = nullptr;

    delete m_pT8100;
    m_pT8100 = nullptr;
    delete m_pThermos;
    m_pThermos = nullptr;
    if (locked) m_BoardMutex.Unlock();
}

void CKvBoard::SetConfigFile(const char* baseName, const char* extension) {
    snprintf(m_ConfigBaseName, sizeof(m_ConfigBaseName), "%s", baseName != nullptr ? baseName : "");
    snprintf(m_ConfigExtension, sizeof(m_ConfigExtension), "%s", extension != nullptr ? extension : "");
}

// ---- State and identity ------------------------------------------------------------

void CKvBoard::SetState(const char* state) {
    Trace(KV_TRACE_API, "CKvBoard::SetState()\n");
    if (LockState() != 1) {
        Error("CKvBoard::SetState() - failed to lock mutex.\n");
        return;
    }
    CZelKeyword* keyword = GetKeywordByName("State");
    if (keyword == nullptr) {
        Warning("CKvBoard::SetState() - Expected keyword 'State' not found.\n");
    } else {
        unsigned result = SetText(keyword, state);
        if (result != 0)
            Warning("CKvBoard::SetState() - Failed to update board state: %d\n", static_cast<int>(result));
    }
    m_StateMutex.Unlock();
}

const char* CKvBoard::GetState() {
    static const char* const states[] = {"IDLE", "BOOTED", "BOOTING", "STOPPED"};
    Trace(KV_TRACE_API, "CKvBoard::GetState()\n");
    if (LockState() != 1) {
        Error("CKvBoard::GetState() - failed to lock mutex.\n");
        return nullptr;
    }
    const char* result = nullptr;
    CZelKeyword* keyword = GetKeywordByName("State");
    if (keyword == nullptr) {
        Warning("CKvBoard::GetState() - Expected keyword 'State' not found.\n");
    } else {
        char value[kValueSize] = {0};
        if (keyword->GetKeywordValue(nullptr, value, sizeof(value)) == 0) {
            for (const char* state : states)
                if (tsiStricmp(value, state) == 0) {
                    result = state;
                    break;
                }
        }
    }
    m_StateMutex.Unlock();
    return result;
}

bool CKvBoard::IsState(const char* state) {
    if (LockState() != 1) {
        Error("CKvBoard::IsState() - failed to lock m_StateMutex.\n");
        return false;
    }
    const char* current = GetState();
    bool result = current != nullptr && state != nullptr && tsiStricmp(current, state) == 0;
    m_StateMutex.Unlock();
    return result;
}

void CKvBoard::Reset() {
    {
        std::lock_guard<std::mutex> guard(m_MonitorLock);
        m_FirstStatusEvent = 1;
        memset(m_LastStatus, 0, sizeof(m_LastStatus));
    }
    memset(m_SwitchDriverName, 0, sizeof(m_SwitchDriverName));
    memset(m_FileList, 0, sizeof(m_FileList));
}

unsigned CKvBoard::GetLogicalNumber() {
    CZelKeyword* number = GetKeywordByName("Number");
    if (number == nullptr) {
        Error("CKvBoard::GetLogicalNumber() - Expected keyword 'Number' not found\n");
        return 0xFFFFFFFFu;
    }
    return static_cast<unsigned>(IntValue(number));
}

unsigned CKvBoard::AssignLogicalNumber() {
    unsigned number = GetLogicalNumber();
    uint32_t status = BoardSetLogicalNumber(GetDriverHandle(), number);
    if (status != 0) {
        Error("Error %d (%08xh) assigning logical board number %d to the board in %d:%d.\n",
              static_cast<int>(status), status, static_cast<int>(number), static_cast<int>(GetPciBus()),
              static_cast<int>(GetPciSlot()));
        return 1;
    }
    CZelKWStruct* driver = ChildStruct(this, "Driver");
    if (driver == nullptr) {
        Error("CKvBoard::AssignLogicalNumber() - expected keyword 'Driver' not found\n");
        return 1;
    }
    CZelKeyword* boardId = driver->GetKeywordByName("BoardId");
    CZelKeyword* name = driver->GetKeywordByName("Name");
    if (boardId == nullptr || name == nullptr) {
        Error(
            "CKvBoard::AssignLogicalNumber() - expected keyword 'Driver.BoardId' or 'Driver.Name' not found\n");
        return 1;
    }
    char text[32];
    snprintf(text, sizeof(text), "%d", static_cast<int>(number));
    if (SetText(boardId, text) != 0) {
        Error("Failed to assign value '%d' to keyword '%s.%s'\n", static_cast<int>(number), driver->GetName(),
              boardId->GetName());
        return 1;
    }
    void* database = nullptr;
    CSupervisorCall call;
    if (_oamDbOpenObject(GetName(), &database, 1) == 0) {
        char nameValue[kValueSize] = {0};
        char idValue[kValueSize] = {0};
        name->GetKeywordValue(nullptr, nameValue, sizeof(nameValue));
        boardId->GetKeywordValue(nullptr, idValue, sizeof(idValue));
        nameValue[sizeof(nameValue) - 1] = '\0';
        idValue[sizeof(idValue) - 1] = '\0';
        _oamDbSetKeyword(database, "Driver.Name", nameValue);
        _oamDbSetKeyword(database, "Driver.BoardID", idValue);
        _oamDbCloseObject(database);
    }
    return 0;
}

const char* CKvBoard::GetSwitchDriver() {
    if (m_SwitchDriverName[0] != '\0') return m_SwitchDriverName;
    CZelKWStruct* switchDriver = ChildStruct(this, "SwitchDriver");
    if (switchDriver == nullptr) {
        Error("CKvBoard::GetSwitchDriver() - expected keyword '%s' not found\n", "SwitchDriver");
        return m_SwitchDriverName;
    }
    CZelKeyword* name = switchDriver->GetKeywordByName("Name");
    if (name == nullptr) {
        Error("CKvBoard::GetSwitchDriver() - expected keyword 'Name' not found\n");
        return m_SwitchDriverName;
    }
    char value[kValueSize] = {0};
    if (name->GetKeywordValue(nullptr, value, sizeof(value)) != 0) {
        Error("CKvBoard::GetSwitchDriver() - failed to obtain value for keyword\n");
        return m_SwitchDriverName;
    }
    snprintf(m_SwitchDriverName, sizeof(m_SwitchDriverName), "%s", value);
    return m_SwitchDriverName;
}

// ---- Messages ----------------------------------------------------------------------

void CKvBoard::SendMessage(uint32_t severity, const char* format, va_list arguments) {
    CSupervisor::GetSupervisor()->AlertNotify(KV_ALERT_MESSAGE, severity, GetName(), format, arguments);
}

bool CKvBoard::Traces(uint32_t level) {
    CZelKeyword* maskKeyword = GetKeywordByName("OamTraceMask");
    if (maskKeyword == nullptr) {
        Warning("CKvBoard::Trace() - expected keyword 'OamTraceMask' not found\n");
        return false;
    }
    // USE_PRINTF chooses the destination; it is no level of its own.
    return (static_cast<uint32_t>(IntValue(maskKeyword)) & ~USE_PRINTF & level) != 0;
}

void CKvBoard::SendTrace(uint32_t, const char* format, va_list arguments) {
    if (static_cast<uint32_t>(IntValue(GetKeywordByName("OamTraceMask"))) & USE_PRINTF) {
        vprintf(format, arguments);
        fflush(stdout);
    } else {
        SendMessage(KV_SEVERITY_INFORM, format, arguments);
    }
}

CZelKeyword* CKvBoard::GetKeywordTree() { return this; }

// ---- Runtime keyword changes and alerts -----------------------------------------------

unsigned CKvBoard::ReactToBattery(uint8_t bit, const char* value) {
    bool enable = Match(value, "Enable") == 1;
    if (!enable && Match(value, "Disable") != 1) return KV_E_KEYWORD_REFUSED;
    WriteByte(KV_REG_LINE_POWER, bit, enable ? bit : static_cast<uint8_t>(~bit));
    return 0;
}

unsigned CKvBoard::ReactToMonitor(const char* value) {
    if (Match(value, "Enable") == 1) {
        if (MonitorStarted() == 1)
            Warning("Monitor thread is already running\n");
        else
            _StartMonitor();
        return 0;
    }
    if (Match(value, "Disable") == 1) {
        if (MonitorStarted() == 1)
            _StopMonitor();
        else
            Warning("Monitor thread is not running\n");
        return 0;
    }
    return KV_E_KEYWORD_REFUSED;
}

unsigned CKvBoard::SetKeywordValue(const char* name, const char* value) {
    bool highBattery = name != nullptr && tsiStricmp(name, "HighBatteryEnable") == 0;
    bool lowBattery = name != nullptr && tsiStricmp(name, "LowBatteryEnable") == 0;
    bool monitor = name != nullptr && tsiStricmp(name, "MonitorEnable") == 0;
    if (highBattery || lowBattery || monitor) {
        // The board mutex first, then the value: a start, stop or destruction
        // on another thread never sees a value without its reaction, and a
        // change that cannot be made keeps the previous value (re-entrant:
        // Initialize applies its file through here while holding it).
        if (LockBoard() != 1) {
            Error("CKvBoard::SetKeywordValue() - failed to lock mutex.\n");
            return KV_E_KEYWORD_REFUSED;
        }
        unsigned result = CBoard::SetKeywordValue(name, value);
        if (result == 0 && IsState("BOOTED")) {
            if (highBattery)
                result = ReactToBattery(0x04, value);
            else if (lowBattery)
                result = ReactToBattery(0x02, value);
            else
                result = ReactToMonitor(value);
        }
        m_BoardMutex.Unlock();
        return result;
    }

    unsigned result = CBoard::SetKeywordValue(name, value);
    if (result != 0 || name == nullptr) return result;

    if (tsiStricmp(name, "OamTraceMask") == 0) {
        uint32_t mask = static_cast<uint32_t>(IntValue(GetKeywordByName("OamTraceMask")));
        char text[512];
        snprintf(text, sizeof(text),
                 "OAM trace masks for KV:\n"
                 "  KV_TRACE_API            0x%08x\n"
                 "  KV_TRACE_ALERTS         0x%08x\n"
                 "  KV_TRACE_DEBUG          0x%08x\n"
                 "  KV_TRACE_WRITE_BYTE     0x%08x\n"
                 "  KV_TRACE_READ_BYTE      0x%08x\n"
                 "  USE_PRINTF              0x%08x\n"
                 "\n  OamTraceMask:           0x%08x\n\n",
                 KV_TRACE_API, KV_TRACE_ALERTS, KV_TRACE_DEBUG, KV_TRACE_WRITE_BYTE, KV_TRACE_READ_BYTE,
                 USE_PRINTF, mask);
        Inform("\n%s", text);
    }
    return 0;
}

uint32_t CKvBoard::AlertReceive(oam_msg_tag* message) {
    if (message == nullptr || message->alert != KV_ALERT_REMOVAL_REQUESTED) return 0;
    Trace(KV_TRACE_ALERTS, "CKvBoard::AlertReceive() - HSWEVN_REMOVAL_REQUESTED\n");
    if (LockBoard() != 1) {
        Error("CKvBoard::AlertReceive() - failed to lock mutex.\n");
        return 0;
    }
    if (MonitorStarted() == 1) _StopMonitor();
    m_BoardMutex.Unlock();
    return 0;
}
