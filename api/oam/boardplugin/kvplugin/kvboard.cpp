// The board object: its keyword tree, state and identity, hardware access,
// the start, stop and test sequences, runtime keyword reactions, messages and
// the board report.
#include "kvboard.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Dsp.h"
#include "KvFile.h"
#include "KvMonitorThread.h"
#include "PortGroup.h"
#include "Qslac.h"
#include "QslacFile.h"
#include "Supervisor.h"
#include "T8100.h"
#include "Thermo.h"
#include "Utilities.h"
#include "kvd/kvdevice.h"
#include "oam/oamsupervisor.h"
#include "tsi/tsi.h"

namespace {

const char* const kEnableDisable[] = {"Enable", "Disable"};
const unsigned kThermoCount = 5;
const unsigned kPortCount = 48;
const unsigned kValueSize = 128;
const unsigned kReportSize = 20480;

// Adds child to parent, destroying it when the parent refuses it (a name
// already taken), so that nothing leaks.
CZelKeyword* Adopt(CZelKWStruct* parent, CZelKeyword* child)
{
    if (parent == nullptr || child == nullptr) {
        delete child;
        return nullptr;
    }
    if (parent->AddKeyword(child) != 0) {
        delete child;
        return nullptr;
    }
    return child;
}

CZelKWStr* NewChoiceString(const char* name, const char* value, const char* const* choices,
                           unsigned count)
{
    return new CZelKWStr(name, value, const_cast<const char**>(choices), count, 0, 16);
}

// Sets a keyword's text as the program, whatever the keyword's flags.
unsigned SetText(CZelKeyword* keyword, const char* text)
{
    if (keyword == nullptr) return ZEL_ERR_UNKNOWN_KEYWORD;
    if (CZelKWStr* string = dynamic_cast<CZelKWStr*>(keyword)) return string->SetStrValue(text);
    return keyword->SetKeywordValue(nullptr, text);
}

// Sets an integer keyword as the program, whatever the keyword's flags.
unsigned SetInt(CZelKeyword* keyword, long value)
{
    if (keyword == nullptr) return ZEL_ERR_UNKNOWN_KEYWORD;
    if (CZelKWInt* integer = dynamic_cast<CZelKWInt*>(keyword)) return integer->SetIntValue(value);
    char text[32];
    snprintf(text, sizeof(text), "%ld", value);
    return keyword->SetKeywordValue(nullptr, text);
}

// The integer value of a keyword, 0 when it is missing or holds no number.
long IntValue(CZelKeyword* keyword)
{
    if (keyword == nullptr) return 0;
    if (CZelKWInt* integer = dynamic_cast<CZelKWInt*>(keyword)) return integer->GetIntValue();
    char text[64] = {0};
    if (keyword->GetKeywordValue(nullptr, text, sizeof(text)) != 0) return 0;
    return strtol(text, nullptr, 0);
}

long ChildInt(CZelKWStruct* parent, const char* name)
{
    return parent != nullptr ? IntValue(parent->GetKeywordByName(name)) : 0;
}

CZelKWStruct* ChildStruct(CZelKWStruct* parent, const char* name)
{
    return parent != nullptr ? dynamic_cast<CZelKWStruct*>(parent->GetKeywordByName(name)) : nullptr;
}

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

// A zero-filled text buffer that lines are appended to, never past its end.
class ReportText {
public:
    explicit ReportText(size_t size)
        : m_Text(static_cast<char*>(calloc(1, size))), m_Size(size), m_Length(0) {}
    ~ReportText() { free(m_Text); }
    ReportText(const ReportText&) = delete;
    ReportText& operator=(const ReportText&) = delete;

    bool Valid() const { return m_Text != nullptr; }
    const char* Text() const { return m_Text; }
    char* End() { return m_Text + m_Length; }
    size_t Room() const { return m_Size - m_Length; }
    void Resync() { m_Length = strnlen(m_Text, m_Size - 1); }

    void Append(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        if (Room() <= 1) return;
        va_list arguments;
        va_start(arguments, format);
        vsnprintf(End(), Room(), format, arguments);
        va_end(arguments);
        Resync();
    }

private:
    char* m_Text;
    size_t m_Size;
    size_t m_Length;
};

}  // namespace

// ---- Construction ------------------------------------------------------------

CKvBoard::CKvBoard(const char* name, const char* product)
    : CBoard(name, product), m_pT8100(nullptr), m_DriverHandle(nullptr), m_SwitchFd(0),
      m_pMonitorThread(nullptr), m_pMonitorEvent(nullptr), m_FirstStatusEvent(1), m_LastStatus(),
      m_StatusText(), m_ConfigBaseName(), m_ConfigExtension(), m_FileList(), m_SearchPath(),
      m_pRawMap(nullptr), m_pThermos(nullptr), m_MonitorDriverHandle(nullptr), m_SwitchDriverName(),
      m_StateMutex(0, nullptr, 0), m_BoardMutex(0, nullptr, 0), m_pEndingMonitor(nullptr),
      m_SwitchFdOpen(false), m_WaitedMonitor(nullptr), m_pBoardEndOwner(nullptr), m_LinePowerOn(false)
{
    m_pT8100 = new cT8100(this);

    InitializeRequiredKeywords();

    // EEPROM fields that the framework's "Eeprom" lacks; the start sequence fills them.
    if (CZelKWStruct* eeprom = ChildStruct(this, "Eeprom")) {
        static const char* const fields[] = {"AssemblyRevision", "TestLevel", "TestLevelRev",
                                             "OAMProductNo"};
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

void CKvBoard::InitializeRequiredKeywords()
{
    if (CZelKWStr* state = dynamic_cast<CZelKWStr*>(GetKeywordByName("State")))
        state->AddChoice("BOOTING");

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
    if (level == nullptr)
        level = Adopt(this, new CZelKWInt("BootDiagnosticLevel", 1, -65535, 65535, 0, 1));
    SetInt(level, 1);

    CZelKeyword* debugMask = GetKeywordByName("DebugMask");
    if (debugMask == nullptr)
        debugMask = Adopt(this, new CZelKWInt("DebugMask", 0, -65535, 65535, 0, 1));
    SetInt(debugMask, 0);

    if (CZelKWStruct* driver = ChildStruct(this, "Driver")) {
        SetText(driver->GetKeywordByName("Name"), "kvhw");
        char boardId[16];
        snprintf(boardId, sizeof(boardId), "%d", -1);
        SetText(driver->GetKeywordByName("BoardId"), boardId);
    }
}

CKvBoard::~CKvBoard()
{
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

void CKvBoard::EndMonitors()
{
    if (MonitorStarted() == 1) _StopMonitor();
    // A monitor that did not end when asked is waited for here without limit.
    ReapEndingMonitor(ZEL_WAIT_INFINITE);
}

void CKvBoard::Shutdown()
{
    if (LockBoard() != 1) {
        Error("CKvBoard::Shutdown() - failed to lock mutex.\n");
        return;
    }
    EndMonitors();
    m_BoardMutex.Unlock();
}

void CKvBoard::SetConfigFile(const char* baseName, const char* extension)
{
    snprintf(m_ConfigBaseName, sizeof(m_ConfigBaseName), "%s", baseName != nullptr ? baseName : "");
    snprintf(m_ConfigExtension, sizeof(m_ConfigExtension), "%s", extension != nullptr ? extension : "");
}

// ---- Driver handle and registers ------------------------------------------------

unsigned CKvBoard::GetPciBus()
{
    char value[kValueSize] = {0};
    if (GetKeywordValue("Location.PCI.Bus", value, sizeof(value)) != 0) value[0] = '\0';
    value[sizeof(value) - 1] = '\0';
    return static_cast<unsigned>(atoi(value));
}

unsigned CKvBoard::GetPciSlot()
{
    char value[kValueSize] = {0};
    if (GetKeywordValue("Location.PCI.Slot", value, sizeof(value)) != 0) value[0] = '\0';
    value[sizeof(value) - 1] = '\0';
    return static_cast<unsigned>(atoi(value));
}

unsigned CKvBoard::OpenDriver(KVHANDLE* handle)
{
    Trace(KV_TRACE_API, "CKvBoard::OpenDriver()\n");
    if (handle == nullptr) return 1;
    // A handle still open would be lost by the new open: close it first. One
    // the driver refuses to close stays, for the next open or close to retry.
    if (*handle != nullptr && CloseDriver(handle) != 0) return 1;
    unsigned bus = GetPciBus();
    unsigned slot = GetPciSlot();
    uint32_t status = kvOpenByBusDeviceFunction(bus, slot, 0, handle);
    if (status == 0) return 0;
    *handle = nullptr;
    Trace(KV_TRACE_DEBUG, "kvOpen failed to open driver (%d) for board %d in PCI bus:slot %d:%d\n",
          static_cast<int>(status), static_cast<int>(GetLogicalNumber()), static_cast<int>(bus),
          static_cast<int>(slot));
    return 1;
}

unsigned CKvBoard::CloseDriver(KVHANDLE* handle)
{
    Trace(KV_TRACE_API, "CKvBoard::CloseDriver()\n");
    if (handle == nullptr || *handle == nullptr) return 1;
    uint32_t status = kvClose(*handle);
    if (status != 0) {
        // The handle stays open in the driver: keep it, so that it is still
        // used and a later close can release it.
        Trace(KV_TRACE_DEBUG, "kvClose rc %08d\n", static_cast<int>(status));
        return status;
    }
    *handle = nullptr;
    return 0;
}

KVHANDLE CKvBoard::GetDriverHandle()
{
    if (m_DriverHandle == nullptr && OpenDriver(&m_DriverHandle) != 0)
        Trace(KV_TRACE_DEBUG, "CKvBoard::GetDriverHandle() failed to open driver.\n");
    return m_DriverHandle;
}

uint32_t CKvBoard::ReadByteStatus(uint32_t address, uint8_t* value)
{
    uint8_t byte = 0;
    uint32_t status = BoardReadByte(GetDriverHandle(), address, &byte);
    if (status == 0)
        Trace(KV_TRACE_READ_BYTE, "CKvBoard::ReadByte() -> %08x %02x\n", address, byte);
    else
        Trace(KV_TRACE_DEBUG, "CKvBoard::ReadByte() - BoardReadByte(%08xh) returns %d (%08xh)\n",
              address, static_cast<int>(status), status);
    if (value != nullptr) *value = byte;
    return status;
}

uint8_t CKvBoard::ReadByte(uint32_t address)
{
    uint8_t byte = 0;
    ReadByteStatus(address, &byte);
    return byte;
}

void CKvBoard::WriteByte(uint32_t address, uint8_t value)
{
    Trace(KV_TRACE_WRITE_BYTE, "CKvBoard::WriteByte() -> %08x %02x\n", address, value);
    uint32_t status = BoardWriteByte(GetDriverHandle(), address, value);
    if (status != 0)
        Trace(KV_TRACE_DEBUG, "CKvBoard::WriteByte(Address => %08x, Value => %02x) returns %d (%08xh)\n",
              address, value, static_cast<int>(status), status);
}

void CKvBoard::WriteByte(uint32_t address, uint8_t mask, uint8_t value)
{
    Trace(KV_TRACE_WRITE_BYTE, "CKvBoard::WriteByte() -> %08x %02x %02x\n", address, mask, value);
    uint8_t old = 0;
    if (ReadByteStatus(address, &old) != 0) {
        // Without the old byte the other bits of the register are unknown:
        // writing over them would switch off whatever they control.
        Trace(KV_TRACE_DEBUG,
              "CKvBoard::WriteByte(Address => %08x, Mask => %02x, Value => %02x) not written: "
              "register could not be read\n",
              address, mask, value);
        return;
    }
    uint8_t byte = static_cast<uint8_t>((old & ~mask) | (value & mask));
    uint32_t status = BoardWriteByte(GetDriverHandle(), address, byte);
    if (status != 0)
        Trace(KV_TRACE_DEBUG,
              "CKvBoard::WriteByte(Address => %08x, Mask => %02x, Value => %02x) returns %d (%08xh)\n",
              address, mask, value, static_cast<int>(status), status);
}

// ---- State and identity ------------------------------------------------------------

void CKvBoard::SetState(const char* state)
{
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

const char* CKvBoard::GetState()
{
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

bool CKvBoard::IsState(const char* state)
{
    if (LockState() != 1) {
        Error("CKvBoard::IsState() - failed to lock m_StateMutex.\n");
        return false;
    }
    const char* current = GetState();
    bool result = current != nullptr && state != nullptr && tsiStricmp(current, state) == 0;
    m_StateMutex.Unlock();
    return result;
}

void CKvBoard::Reset()
{
    {
        std::lock_guard<std::mutex> guard(m_MonitorLock);
        m_FirstStatusEvent = 1;
        memset(m_LastStatus, 0, sizeof(m_LastStatus));
    }
    memset(m_SwitchDriverName, 0, sizeof(m_SwitchDriverName));
    memset(m_FileList, 0, sizeof(m_FileList));
}

unsigned CKvBoard::GetLogicalNumber()
{
    CZelKeyword* number = GetKeywordByName("Number");
    if (number == nullptr) {
        Error("CKvBoard::GetLogicalNumber() - Expected keyword 'Number' not found\n");
        return 0xFFFFFFFFu;
    }
    return static_cast<unsigned>(IntValue(number));
}

unsigned CKvBoard::AssignLogicalNumber()
{
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
        Error("CKvBoard::AssignLogicalNumber() - expected keyword 'Driver.BoardId' or 'Driver.Name' not found\n");
        return 1;
    }
    char text[32];
    snprintf(text, sizeof(text), "%d", static_cast<int>(number));
    if (SetText(boardId, text) != 0) {
        Error("Failed to assign value '%d' to keyword '%s.%s'\n", static_cast<int>(number),
              driver->GetName(), boardId->GetName());
        return 1;
    }
    void* database = nullptr;
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

const char* CKvBoard::GetSwitchDriver()
{
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

void CKvBoard::Message(uint32_t severity, const char* format, va_list arguments)
{
    CSupervisor::GetSupervisor()->AlertNotify(KV_ALERT_MESSAGE, severity, GetName(), format, arguments);
}

void CKvBoard::Error(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    Message(KV_SEVERITY_ERROR, format, arguments);
    va_end(arguments);
}

void CKvBoard::Warning(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    Message(KV_SEVERITY_WARNING, format, arguments);
    va_end(arguments);
}

void CKvBoard::Inform(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    Message(KV_SEVERITY_INFORM, format, arguments);
    va_end(arguments);
}

void CKvBoard::Trace(uint32_t level, const char* format, ...)
{
    CZelKeyword* maskKeyword = GetKeywordByName("OamTraceMask");
    if (maskKeyword == nullptr) {
        Warning("CKvBoard::Trace() - expected keyword 'OamTraceMask' not found\n");
        return;
    }
    uint32_t mask = static_cast<uint32_t>(IntValue(maskKeyword));
    // USE_PRINTF chooses the destination; it is no level of its own.
    if ((mask & ~USE_PRINTF & level) == 0) return;
    va_list arguments;
    va_start(arguments, format);
    if (mask & USE_PRINTF) {
        vprintf(format, arguments);
        fflush(stdout);
    } else {
        Message(KV_SEVERITY_INFORM, format, arguments);
    }
    va_end(arguments);
}

// ---- Start, stop, test -------------------------------------------------------------

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

// ---- Runtime keyword changes and alerts -----------------------------------------------

unsigned CKvBoard::ReactToBattery(uint8_t bit, const char* value)
{
    bool enable = Match(value, "Enable") == 1;
    if (!enable && Match(value, "Disable") != 1) return KV_E_KEYWORD_REFUSED;
    WriteByte(KV_REG_LINE_POWER, bit, enable ? bit : static_cast<uint8_t>(~bit));
    return 0;
}

unsigned CKvBoard::ReactToMonitor(const char* value)
{
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

unsigned CKvBoard::SetKeywordValue(const char* name, const char* value)
{
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

uint32_t CKvBoard::AlertReceive(oam_msg_tag* message)
{
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

// ---- Report ----------------------------------------------------------------------

unsigned CKvBoard::GenerateReport()
{
    cDsp* dsp = dynamic_cast<cDsp*>(GetKeywordByName("Dsp"));
    Trace(KV_TRACE_API, "CKvBoard::GenerateReport()\n");

    ReportText report(kReportSize);
    if (!report.Valid()) {
        Error("cKvBoard::GenerateReport() - Memory allocation failed\n");
        return 1;
    }
    report.Append("Pci bus: %d\n", static_cast<int>(GetPciBus()));
    report.Append("Pci slot: %d\n", static_cast<int>(GetPciSlot()));

    uint32_t shelf = 0, geographic = 0;
    uint32_t status = BoardGetPhysicalSlot(GetDriverHandle(), &shelf, &geographic);
    if (status != 0) {
        Error("BoardGetPhysicalSlot ret_code %08d \n", static_cast<int>(status));
        return 1;
    }
    report.Append("Shelf Address: %04X\nGeographic Address: %04X\n", shelf, geographic);

    CZelKWStruct* eeprom = ChildStruct(this, "Eeprom");
    report.Append("EEPROM.Family:              0x%04x\n", static_cast<unsigned>(ChildInt(eeprom, "Family")));
    report.Append("EEPROM.TestLevel:           0x%04x\n", static_cast<unsigned>(ChildInt(eeprom, "TestLevel")));
    report.Append("EEPROM.TestLevelRev:        0x%02x\n", static_cast<unsigned>(ChildInt(eeprom, "TestLevelRev")));
    report.Append("EEPROM.SoftwareComp:        0x%02x\n",
                  static_cast<unsigned>(ChildInt(eeprom, "SoftwareCompatibility")));
    report.Append("EEPROM.OAMProductNo:        0x%04x\n", static_cast<unsigned>(ChildInt(eeprom, "OAMProductNo")));
    report.Append("EEPROM.MFGYear:             %d\n", static_cast<int>(ChildInt(eeprom, "MFGYear")));
    report.Append("EEPROM.MFGWeek:             %d\n", static_cast<int>(ChildInt(eeprom, "MFGWeek")));
    report.Append("EEPROM.ATETestBit:          0x%02x\n", static_cast<unsigned>(ChildInt(eeprom, "ATETestBit")));
    report.Append("EEPROM.SerialNum:           %d\n", static_cast<int>(ChildInt(eeprom, "SerialNum")));
    report.Append("EEPROM.AssemblyRevision:    %d\n", static_cast<int>(ChildInt(eeprom, "AssemblyRevision")));

    // The file list, closed by one empty line.
    if (report.Room() > 1) {
        PrintFileList(report.End(), report.Room());
        report.Resync();
    }

    uint32_t major = 0, minor = 0;
    status = BoardGetDriverVersion(GetDriverHandle(), &major, &minor);
    if (status != 0) {
        Error("BoardGetDriverVersion ret_code %08d \n", static_cast<int>(status));
        return 1;
    }
    report.Append("Driver version: %d.%d\n", static_cast<int>(major), static_cast<int>(minor));

    if (dsp != nullptr) {
        dsp->GetInfo();
        report.Append("DSP Firmware Revision: %02X.%02X\n", (dsp->m_FirmwareRevision >> 8) & 0xFF,
                      dsp->m_FirmwareRevision & 0xFF);
        report.Append("DSP Mips Version:      %d\n", static_cast<int>(dsp->m_MipsVersion));
        report.Append("DSP Number Ports:      %d\n", static_cast<int>(dsp->m_NumberPorts));
        report.Append("DSP Cpu Meter:         %d.%d\n", static_cast<int>(dsp->m_CpuMeter / 10),
                      static_cast<int>(dsp->m_CpuMeter % 10));
        report.Append("DSP Tokens Available:  %d\n", static_cast<int>(dsp->m_TokensAvailable));
    }

    tsiSleepMs(500);

    for (unsigned i = 0; i < kThermoCount && m_pThermos != nullptr; ++i) {
        cThermo* thermo = dynamic_cast<cThermo*>(m_pThermos->GetElement(i));
        if (thermo == nullptr || thermo->IsEnabled() != 1) continue;
        // Each sensor shows its own reading, or -1 when it could not be read.
        int temperature = -1;
        uint32_t reading = 0;
        if (dsp != nullptr && dsp->ReadThermo(thermo->m_Index, &reading) == 0)
            temperature = static_cast<int>(reading);
        report.Append("Temperature[%d]: %d degrees C\n", static_cast<int>(thermo->m_Index), temperature);
    }

    uint8_t presence = static_cast<uint8_t>((ReadByte(KV_REG_POPULATION) >> 5) & 0x07);
    report.Append("\n---------------------------------------------------------------\n");
    report.Append("  port group 1-16   |  port group 17-32   |  port group 33-48\n");
    report.Append("     %11s    |     %11s     |     %11s\n", (presence & 1) ? "  present  " : "not present",
                  (presence & 2) ? "  present  " : "not present", (presence & 4) ? "  present  " : "not present");
    report.Append("                    |                     |\n");
    report.Append("  station timeslot  |  station  timeslot  |  station timeslot\n");
    report.Append("---------------------------------------------------------------\n");

    bool rawMap = m_pRawMap != nullptr && m_pRawMap->IsValue("Enable") == 1;
    for (unsigned row = 0; row < 16; ++row) {
        report.Append("| ");
        for (cPortGroup* group = m_PortGroups.Head(); group != nullptr; group = cList<cPortGroup>::Next(group)) {
            int station = group->GetStationNumber(row);
            if ((group->m_PresenceMask & presence) == group->m_PresenceMask || rawMap)
                report.Append("  %02d       %02d  ", station, group->GetLogicalTimeslot(station));
            else
                report.Append("  %02d       xx  ", station);
            report.Append("   |   ");
        }
        report.Append("\n");
    }
    report.Append("\n");

    CSupervisor::GetSupervisor()->AlertNotify(KV_ALERT_REPORT, KV_SEVERITY_INFORM, GetName(), "%s",
                                              report.Text());
    return 0;
}
