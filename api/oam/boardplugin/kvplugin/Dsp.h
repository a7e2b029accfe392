// The command channel to the board's DSP, its firmware start, and the ringer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Component.h"
#include "kvd/kvdriver.h"

// Host-to-DSP command record.
#pragma pack(push, 1)
struct __DSP_DOWN_MESSAGE__ {
    uint32_t manager_id;  // 2, the DSP
    uint16_t length;      // 16-bit words from length to the last parameter: parameter count + 4
    uint16_t target;      // 0x8000
    uint16_t handle;      // 0xFFFF
    uint16_t type;        // command code
    uint16_t params[33];
};

struct __DSP_EVENT__ {
    uint16_t length;  // words from length to the last parameter: parameter count + 5
    uint16_t target;
    uint16_t handle;
    uint16_t timestamp;
    uint16_t type;
    uint16_t params[32];
};

// DSP-to-host record: command replies and unsolicited events.
struct __DSP_UP_MESSAGE__ {
    uint32_t manager_id;  // 2 for the DSP
    __DSP_EVENT__ event;
};
#pragma pack(pop)

static_assert(sizeof(__DSP_DOWN_MESSAGE__) == 78, "command record is 78 bytes");
static_assert(offsetof(__DSP_DOWN_MESSAGE__, length) == 4, "length at 4");
static_assert(offsetof(__DSP_DOWN_MESSAGE__, type) == 10, "type at 10");
static_assert(offsetof(__DSP_DOWN_MESSAGE__, params) == 12, "params at 12");
static_assert(sizeof(__DSP_UP_MESSAGE__) == 78, "message record is 78 bytes");
static_assert(offsetof(__DSP_UP_MESSAGE__, event) + offsetof(__DSP_EVENT__, type) == 12, "type at 12");
static_assert(offsetof(__DSP_UP_MESSAGE__, event) + offsetof(__DSP_EVENT__, params) == 14, "params at 14");

enum : uint16_t {
    DSP_CMD_SOFT_RESET = 0x00,
    DSP_CMD_INITIALIZE_SX_CHAIN = 0x02,
    DSP_CMD_GET_INFO = 0x03,
    DSP_CMD_CONFIGURE_PX = 0x04,
    DSP_CMD_CONFIGURE_G711 = 0x06,
    DSP_CMD_CONFIGURE_RINGER = 0x07,
    DSP_CMD_SET_BOARD_TYPE = 0x08,
    DSP_CMD_SET_INTERRUPT_RATE = 0x09,
    DSP_CMD_START_THERMO = 0x11,
    DSP_CMD_STOP_THERMO = 0x12,
    DSP_CMD_CONFIGURE_THERMO = 0x13,
    DSP_CMD_READ_THERMO = 0x14,
    DSP_CMD_START_BOARD_MONITORING = 0x15,
    DSP_CMD_STOP_BOARD_MONITORING = 0x16,
    DSP_EVENT_STATUS = 0x15,
};

// The ringer: ring period and three cadences, keyword structure "Ring".
class CRinger : public cComponent {
public:
    explicit CRinger(IKvBoardServices* board);
    ~CRinger() override;
};

class cDsp : public cComponent {
public:
    cDsp(IKvBoardServices* board, CRinger* ringer);
    ~cDsp() override;

    unsigned SendCommand(uint16_t code, const uint16_t* params, uint16_t count);
    unsigned SendCommand(uint16_t code, uint16_t param);

    unsigned SoftReset();
    unsigned InitializeSxChain();
    unsigned GetInfo();
    unsigned ConfigurePx();
    unsigned ConfigureG711();
    unsigned ConfigureRinger();
    unsigned SetBoardTypecPci();
    unsigned SetBoardTypePci();
    unsigned SetInterruptRate();
    unsigned StartThermo(unsigned sensor);
    unsigned StopThermo(unsigned sensor);
    unsigned ConfigureThermo(unsigned sensor, unsigned warningLow, unsigned warningHigh,
                             unsigned protectionLow, unsigned protectionHigh);
    unsigned ReadThermo(unsigned sensor, uint32_t* reading);
    unsigned StartBoardMonitoring();
    unsigned StopBoardMonitoring();
    unsigned GetBoardStatus();
    static void DumpEvent(__DSP_UP_MESSAGE__ message);

    // Firmware: download the image, start the DSP, configure G.711 and the ringer.
    unsigned Start(const char* image);
    unsigned StartOperation();
    unsigned StopOperation();
    unsigned StartDiagnostic();
    unsigned StopDiagnostic();
    const char* GetDiagnosticImage();
    const char* GetOperationalImage();

    // Whether a reply answers the command of that code with the expected length.
    static bool AcceptReply(const __DSP_UP_MESSAGE__& reply, uint16_t code, uint16_t expectedLength);

    // How a command reaches the DSP: kvSendMessage, or a stand-in that tests
    // use to answer with replies a working DSP never sends.
    typedef uint32_t (*SendFunction)(KVHANDLE handle, const void* command, uint32_t length, void* reply,
                                     uint32_t replySize);

    uint32_t m_Encoding;  // 0 A-law, 1 mu-law, 0xFFFFFFFF not set
    uint32_t m_FirmwareRevision;
    uint32_t m_MipsVersion;
    uint32_t m_NumberPorts;
    uint32_t m_CpuMeter;  // tenths
    uint32_t m_TokensAvailable;
    CRinger* m_pRinger;  // not owned
    SendFunction m_pSend;

private:
    // Builds the command record, sends it and takes the reply; 0 when the
    // driver delivered a reply, 1 after printing the driver's status.
    unsigned Exchange(uint16_t code, const uint16_t* params, uint16_t count, __DSP_UP_MESSAGE__* reply);
    // How a refusal text takes its numbers: the reason alone, the command
    // code and the reason, or the sensor the DSP answered for and the reason.
    enum class Refusal { Reason, CodeReason, SensorReason };
    // Sends a command and checks its reply against the expected length,
    // printing invalidText (given the code when refusal is CodeReason) or
    // refusedText on failure. reading, when given, receives params[2] of an
    // accepted reply.
    unsigned Command(uint16_t code, const uint16_t* params, uint16_t count, uint16_t expectedLength,
                     const char* invalidText, const char* refusedText, Refusal refusal,
                     uint32_t* reading = nullptr);
    CZelKWInt* FindInterruptKeyword(const char* fullName, const char* shortName);
};
