// The DSP command channel, the firmware start, and the ringer.
//
// Channel failures are printed on standard output (they are low-level detail
// for whoever watches the console); the firmware start reports through the
// board's Error so that the operator sees why a board came up without a DSP.
#include "Dsp.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "KvBoardServices.h"
#include "KvKWStr.h"
#include "tsi/tsi.h"

namespace {

const uint32_t kDspManager = 2;
const uint16_t kDspTarget = 0x8000;
const uint16_t kHostHandle = 0xFFFF;
const uint16_t kMaxParams = 33;
const uint16_t kReplyLength = 6;            // reason only
const uint16_t kThermoReplyLength = 7;      // reason, sensor
const uint16_t kReadThermoReplyLength = 9;  // reason, sensor, reading, unused
const unsigned kDspStartPauseMs = 1000;

void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Print(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    fflush(stdout);
}

const char* const kCadenceTimes[6] = {"Ton1", "Toff1", "Ton2", "Toff2", "Ton3", "Toff3"};

struct CadenceDefaults {
    long times[6];
};
const CadenceDefaults kDefaultCadences[3] = {
    {{2000, 0, 0, 0, 0, 4000}},
    {{600, 800, 600, 0, 0, 4000}},
    {{400, 400, 400, 400, 400, 4000}},
};

}  // namespace

// ---- Ringer ------------------------------------------------------------------

CRinger::CRinger(IKvBoardServices* board) : cComponent(board, "Ring") {
    AddKeyword(new CZelKWInt("Period", 6000, 6, 32766, 0, 1));
    CZelKWStructArray* cadences = new CZelKWStructArray("Cadences", nullptr, 0);
    for (const CadenceDefaults& defaults : kDefaultCadences) {
        CZelKWStruct* cadence = new CZelKWStruct("", nullptr, 0);
        for (unsigned i = 0; i < 6; ++i)
            cadence->AddKeyword(new CZelKWInt(kCadenceTimes[i], defaults.times[i], 0, 32766, 0, 1));
        cadences->AddKeyword(cadence);
    }
    AddKeyword(cadences);
}

CRinger::~CRinger() = default;

// ---- DSP component -------------------------------------------------------------

cDsp::cDsp(IKvBoardServices* board, CRinger* ringer)
    : cComponent(board, "Dsp"),
      m_Encoding(0xFFFFFFFF),
      m_FirmwareRevision(0xFFFFFFFF),
      m_MipsVersion(0xFFFFFFFF),
      m_NumberPorts(0xFFFFFFFF),
      m_CpuMeter(0xFFFFFFFF),
      m_TokensAvailable(0xFFFFFFFF),
      m_pRinger(ringer),
      m_pSend(kvSendMessage) {
    CZelKWStruct* interrupt = new CZelKWStruct("Interrupt", nullptr, 0);
    interrupt->AddKeyword(new CZelKWInt("Time", 10, 0, 65535, 0, 1));
    interrupt->AddKeyword(new CZelKWInt("Size", 509, 0, 1018, 0, 1));
    AddKeyword(interrupt);
    AddKeyword(new CKvKWStr("DiagnosticImage", "bootdiag.hex"));
    AddKeyword(new CKvKWStr("Image", "kv100.dsp"));
}

cDsp::~cDsp() = default;

bool cDsp::AcceptReply(const __DSP_UP_MESSAGE__& reply, uint16_t code, uint16_t expectedLength) {
    return reply.event.target == kDspTarget && reply.event.type == code &&
           reply.event.length == expectedLength;
}

unsigned cDsp::Exchange(uint16_t code, const uint16_t* params, uint16_t count, __DSP_UP_MESSAGE__* reply) {
    // The record has room for 33 words; anything more would be cut off or
    // read past the caller's array.
    if (count > kMaxParams || (count > 0 && params == nullptr)) {
        Print("cDsp::SendCommand(%04x) invalid parameter count %u.\n", code, (unsigned)count);
        return 1;
    }
    __DSP_DOWN_MESSAGE__ command = {};
    command.manager_id = kDspManager;
    command.length = static_cast<uint16_t>(count + 4);
    command.target = kDspTarget;
    command.handle = kHostHandle;
    command.type = code;
    for (uint16_t i = 0; i < count; ++i) command.params[i] = params[i];

    *reply = __DSP_UP_MESSAGE__{};
    KVHANDLE handle = m_pBoard->GetDriverHandle();
    uint32_t status = m_pSend(handle, &command, 2u * command.length + 4u, reply, sizeof(*reply));
    if (status != 0) {
        Print("kvSendMessage returns %d\n", static_cast<int>(status));
        return 1;
    }
    return 0;
}

unsigned cDsp::SendCommand(uint16_t code, const uint16_t* params, uint16_t count) {
    return Command(code, params, count, kReplyLength, "cDsp::SendCommand(%04x) Invalid DSP response.\n",
                   "cDsp::SendCommand(%04x) failed for reason %04x.\n", Refusal::CodeReason);
}

unsigned cDsp::SendCommand(uint16_t code, uint16_t param) { return SendCommand(code, &param, 1); }

// Each operation hands over its own texts whole, so that every text stands
// in the source as it is printed.
unsigned cDsp::Command(uint16_t code, const uint16_t* params, uint16_t count, uint16_t expectedLength,
                       const char* invalidText, const char* refusedText, Refusal refusal, uint32_t* reading) {
    __DSP_UP_MESSAGE__ reply;
    if (Exchange(code, params, count, &reply) != 0) return 1;
    if (!AcceptReply(reply, code, expectedLength)) {
        if (refusal == Refusal::CodeReason)
            Print(invalidText, code);
        else
            Print("%s", invalidText);
        return 1;
    }
    const uint16_t reason = reply.event.params[0];
    if (reason != 0) {
        if (refusal == Refusal::CodeReason)
            Print(refusedText, code, reason);
        else if (refusal == Refusal::SensorReason)
            Print(refusedText, reply.event.params[1], reason);  // the sensor the DSP answered for
        else
            Print(refusedText, reason);
        return 1;
    }
    if (reading != nullptr) *reading = reply.event.params[2];
    return 0;
}

unsigned cDsp::SoftReset() { return SendCommand(DSP_CMD_SOFT_RESET, nullptr, 0); }

unsigned cDsp::InitializeSxChain() { return SendCommand(DSP_CMD_INITIALIZE_SX_CHAIN, nullptr, 0); }

unsigned cDsp::GetInfo() {
    __DSP_UP_MESSAGE__ reply;
    if (Exchange(DSP_CMD_GET_INFO, nullptr, 0, &reply) != 0) return 1;
    m_FirmwareRevision = reply.event.params[1];
    m_MipsVersion = reply.event.params[2];
    m_NumberPorts = reply.event.params[3];
    m_CpuMeter = reply.event.params[4];
    m_TokensAvailable = reply.event.params[5];
    return 0;
}

unsigned cDsp::ConfigurePx() {
    const uint16_t params[2] = {0, 2};
    return SendCommand(DSP_CMD_CONFIGURE_PX, params, 2);
}

unsigned cDsp::ConfigureG711() {
    // The DSP's word is 1 for A-law and 0 for mu-law, the reverse of m_Encoding.
    if (m_Encoding == 0) return SendCommand(DSP_CMD_CONFIGURE_G711, 1);
    if (m_Encoding == 1) return SendCommand(DSP_CMD_CONFIGURE_G711, 0);
    Print("cDsp::ConfigureG711() detected invalid encoding\n");
    return 1;
}

unsigned cDsp::ConfigureRinger() {
    if (m_pRinger == nullptr) {
        Print("cDsp::ConfigureRinger() - no ringer.\n");
        return 1;
    }
    CZelKWInt* period = dynamic_cast<CZelKWInt*>(m_pRinger->GetKeywordByName("Period"));
    CZelKWStructArray* cadences = dynamic_cast<CZelKWStructArray*>(m_pRinger->GetKeywordByName("Cadences"));
    if (period == nullptr) {
        Print("cDsp::ConfigureRinger() - expected keyword 'Period' not found\n");
        return 1;
    }
    if (cadences == nullptr) {
        Print("cDsp::ConfigureRinger() - expected keyword 'Cadences' not found\n");
        return 1;
    }

    uint16_t params[19];
    unsigned n = 0;
    params[n++] = static_cast<uint16_t>(static_cast<uint16_t>(period->GetIntValue()) / 3);
    for (unsigned c = 0; c < 3; ++c) {
        CZelKWStruct* cadence = cadences->GetElement(c);
        for (const char* name : kCadenceTimes) {
            char text[128] = "";
            if (cadence == nullptr || cadence->GetKeywordValue(name, text, sizeof(text)) != 0) {
                Print("cDsp::ConfigureRinger() - expected keyword 'Cadences[%u].%s' not found\n", c, name);
                return 1;
            }
            params[n++] = static_cast<uint16_t>(atoi(text));
        }
    }
    return Command(DSP_CMD_CONFIGURE_RINGER, params, static_cast<uint16_t>(n), kReplyLength,
                   "cDsp::ConfigureRinger() Invalid DSP response.\n",
                   "cDsp::ConfigureRinger() failed for reason %04x.\n", Refusal::Reason);
}

unsigned cDsp::SetBoardTypecPci() { return SendCommand(DSP_CMD_SET_BOARD_TYPE, 0); }

unsigned cDsp::SetBoardTypePci() { return SendCommand(DSP_CMD_SET_BOARD_TYPE, 1); }

CZelKWInt* cDsp::FindInterruptKeyword(const char* fullName, const char* shortName) {
    // The full name is tried first; a structure that resolves paths only below
    // itself finds the keyword under the name relative to "Dsp".
    CZelKeyword* keyword = GetKeywordByName(fullName);
    if (keyword == nullptr) keyword = GetKeywordByName(shortName);
    return dynamic_cast<CZelKWInt*>(keyword);
}

unsigned cDsp::SetInterruptRate() {
    CZelKWInt* time = FindInterruptKeyword("Dsp.Interrupt.Time", "Interrupt.Time");
    CZelKWInt* size = FindInterruptKeyword("Dsp.Interrupt.Size", "Interrupt.Size");
    if (time == nullptr) {
        Print("cDsp::SetInterruptRate() - expected keyword 'Dsp.Interrupt.Time' not found\n");
        return 1;
    }
    if (size == nullptr) {
        Print("cDsp::SetInterruptRate() - expected keyword 'Dsp.Interrupt.Size' not found\n");
        return 1;
    }
    const uint16_t params[2] = {static_cast<uint16_t>(time->GetIntValue()),
                                static_cast<uint16_t>(size->GetIntValue())};
    return SendCommand(DSP_CMD_SET_INTERRUPT_RATE, params, 2);
}

unsigned cDsp::StartThermo(unsigned sensor) {
    const uint16_t param = static_cast<uint16_t>(sensor);
    return Command(DSP_CMD_START_THERMO, &param, 1, kThermoReplyLength,
                   "cDsp::StartThermo() Invalid DSP resonse.\n",
                   "cDsp::StartThermo() failed for thermo %d, reason %04x.\n", Refusal::SensorReason);
}

unsigned cDsp::StopThermo(unsigned sensor) {
    const uint16_t param = static_cast<uint16_t>(sensor);
    return Command(DSP_CMD_STOP_THERMO, &param, 1, kThermoReplyLength,
                   "cDsp::StopThermo() Invalid DSP response.\n",
                   "cDsp::StopThermo() failed for thermo %d, reason %04x.\n", Refusal::SensorReason);
}

unsigned cDsp::ConfigureThermo(unsigned sensor, unsigned warningLow, unsigned warningHigh,
                               unsigned protectionLow, unsigned protectionHigh) {
    const uint16_t params[5] = {static_cast<uint16_t>(sensor), static_cast<uint16_t>(warningLow),
                                static_cast<uint16_t>(warningHigh), static_cast<uint16_t>(protectionLow),
                                static_cast<uint16_t>(protectionHigh)};
    return Command(DSP_CMD_CONFIGURE_THERMO, params, 5, kThermoReplyLength,
                   "cDsp::ConfigureThermo() Invalid DSP resonse.\n",
                   "cDsp::ConfigureThermo() failed for thermo %d, reason %04x.\n", Refusal::SensorReason);
}

unsigned cDsp::ReadThermo(unsigned sensor, uint32_t* reading) {
    const uint16_t param = static_cast<uint16_t>(sensor);
    uint32_t value = 0;
    unsigned rc = Command(
        DSP_CMD_READ_THERMO, &param, 1, kReadThermoReplyLength, "cDsp::ReadThermo() Invalid DSP response.\n",
        "cDsp::ReadThermo() failed for thermo %d, reason %04x.\n", Refusal::SensorReason, &value);
    if (rc == 0 && reading != nullptr) *reading = value;
    return rc;
}

unsigned cDsp::StartBoardMonitoring() {
    return Command(DSP_CMD_START_BOARD_MONITORING, nullptr, 0, kReplyLength,
                   "cDsp::StartBoardMonitoring() Invalid DSP response.\n",
                   "cDsp::StartBoardMonitoring() failed for reason %04x.\n", Refusal::Reason);
}

unsigned cDsp::StopBoardMonitoring() {
    return Command(DSP_CMD_STOP_BOARD_MONITORING, nullptr, 0, kReplyLength,
                   "cDsp::StopBoardMonitoring() Invalid DSP response.\n",
                   "cDsp::StopBoardMonitoring() failed for reason %04x.\n", Refusal::Reason);
}

unsigned cDsp::GetBoardStatus() { return 0; }

void cDsp::DumpEvent(__DSP_UP_MESSAGE__ message) {
    printf("Message.manager_id     : %08x\n", message.manager_id);
    printf("Message.event.length   : %04x\n", message.event.length);
    printf("Message.event.target   : %04x\n", message.event.target);
    printf("Message.event.handle   : %04x\n", message.event.handle);
    printf("Message.event.timestamp: %04x\n", message.event.timestamp);
    printf("Message.event.type     : %04x\n", message.event.type);
    for (int i = 0; i < 32 && i + 5 < message.event.length; ++i)
        printf("Message.event.params[%d]: %04x\n", i, message.event.params[i]);
    fflush(stdout);
}

// ---- Firmware ----------------------------------------------------------------------

unsigned cDsp::Start(const char* image) {
    if (image == nullptr) {
        m_pBoard->Error("cDsp::Start() - NULL image\n");
        return 1;
    }
    KVHANDLE handle = m_pBoard->GetDriverHandle();
    int loaded = m_pBoard->LoadDSP(handle, image);
    if (loaded != 0) {
        m_pBoard->Error("LoadDSP rc %08d\n", loaded);
        return 1;
    }
    uint32_t status = BoardDspStart(handle);
    if (status != 0) {
        m_pBoard->Error("cDsp::Start() -  BoardDspStart returns %08d\n", static_cast<int>(status));
        return 1;
    }
    // The firmware needs this long before it takes its first command.
    tsiSleepMs(kDspStartPauseMs);

    unsigned rc = ConfigureG711();
    if (rc != 0) {
        m_pBoard->Error(
            "KV driver failed to communicate with embedded processor (%d).\n"
            "Possible causes: stalled processor or failed DSP firmware load.\n"
            "Ensure CTBus clock configuration provides stable clock to board.\n\n",
            static_cast<int>(rc));
        return 1;
    }
    rc = ConfigureRinger();
    if (rc != 0) {
        m_pBoard->Error("cDsp::Start() -  ConfigureRinger() returns %08d\n", static_cast<int>(rc));
        return 1;
    }
    return 0;
}

unsigned cDsp::StartOperation() { return Start(GetOperationalImage()); }

unsigned cDsp::StopOperation() { return SoftReset(); }

unsigned cDsp::StartDiagnostic() { return Start(GetDiagnosticImage()); }

unsigned cDsp::StopDiagnostic() { return SoftReset(); }

const char* cDsp::GetDiagnosticImage() {
    CKvKWStr* keyword = dynamic_cast<CKvKWStr*>(GetKeywordByName("DiagnosticImage"));
    if (keyword == nullptr) {
        m_pBoard->Error("cDsp::GetDiagnosticImage() - expected keyword 'DiagnosticImage' not found\n");
        return nullptr;
    }
    return keyword->GetValue();
}

const char* cDsp::GetOperationalImage() {
    CKvKWStr* keyword = dynamic_cast<CKvKWStr*>(GetKeywordByName("Image"));
    if (keyword == nullptr) {
        m_pBoard->Error("cDsp::GetOperationalImage() - expected keyword 'Image' not found\n");
        return nullptr;
    }
    return keyword->GetValue();
}
