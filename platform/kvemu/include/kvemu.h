// Control of the emulated boards behind the driver library: a builder that
// describes boards and a back door that injects stimuli and faults and shows
// what the plug-in did. Tests and kvoam use it in-process; the plug-in never
// does (it sees only the driver library's own calls).
//
// Every function is safe to call from any thread. Functions answering int
// give 0 for success and -1 when there is no board at (bus, slot) or an
// argument is out of range.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvemu {

// Back to the initial state: one board at bus 0, slot 0 with default
// registers, EEPROM and sensors; every handle closed; journal, faults and
// replies cleared.
void Reset();

// ---- Builder -------------------------------------------------------------
int AddBoard(unsigned bus, unsigned slot);  // -1 when a board is already there
int RemoveBoard(unsigned bus, unsigned slot);
std::vector<std::pair<unsigned, unsigned>> Boards();  // (bus, slot), in order added
// The driver name a device scan reports for the boards ("kv7400cpci").
const char* DriverName();
int SetEeprom(unsigned bus, unsigned slot, const uint8_t record[24]);
int SetTemperature(unsigned bus, unsigned slot, unsigned sensor, int degrees);
int SetPhysicalSlot(unsigned bus, unsigned slot, uint32_t shelf, uint32_t geographic);

// ---- Registers -----------------------------------------------------------
int ReadRegister(unsigned bus, unsigned slot, uint32_t address, uint8_t* value);
int WriteRegister(unsigned bus, unsigned slot, uint32_t address, uint8_t value);  // not journaled

// ---- Journal: one line per driver call, "BUS:SLOT NAME ARGS = STATUS" -----
std::vector<std::string> Journal();
void ClearJournal();

// ---- Faults --------------------------------------------------------------
// Makes calls of function (a driver call's name, "ioctl" for the switch
// device's requests, whose status is then an errno) answer status: on its
// nth call from now (1 = the next call), or on every call when nth is 0.
// Status 0 removes the function's faults. The faulted call does nothing else.
int SetFault(const char* function, uint32_t status, unsigned nth);
void ClearFaults();

// ---- Board state as the emulator holds it --------------------------------
struct BoardInfo {
    int logicalNumber;      // -1 until BoardSetLogicalNumber
    unsigned openHandles;   // driver handles open now
    unsigned openDevices;   // switch-device descriptors open now
    bool heartbeat;         // heartbeat running
    uint32_t heartbeatRate;
    bool ledOn;
};
int GetBoardInfo(unsigned bus, unsigned slot, BoardInfo* info);

struct DspState {
    bool running;           // the firmware runs and answers commands
    bool recognised;        // the downloaded image is a firmware image the DSP can run
    uint32_t bytesLoaded;   // bytes downloaded since the last reset
    int law;                // -1 not configured, 0 mu-law, 1 A-law (the command's parameter)
    uint16_t ring[19];      // words of the last ringer command
    bool ringConfigured;
    struct Sensor {
        bool configured, running;
        uint16_t warningLow, warningHigh, protectionLow, protectionHigh;
        int temperature;
    } sensors[5];
    bool monitoring;        // board monitoring on
    uint16_t firmwareRevision, mipsVersion, numberPorts, cpuMeter, tokensAvailable;
    std::vector<uint16_t> commands;  // codes of the commands received since the last reset, in order
};
int GetDspState(unsigned bus, unsigned slot, DspState* state);
// Makes the DSP answer command code with reason (0 removes it).
int SetDspReason(unsigned bus, unsigned slot, uint16_t code, uint16_t reason);
// Reads count bytes of DSP memory at address.
int ReadDspMemory(unsigned bus, unsigned slot, uint32_t address, uint8_t* data, uint32_t count);

// ---- Switch --------------------------------------------------------------
// One entry of the loaded logical-to-physical table (0xFFFF unmapped).
int GetL2PEntry(unsigned bus, unsigned slot, unsigned stream, unsigned timeslot, uint16_t* value);
bool L2PLoaded(unsigned bus, unsigned slot);
struct Connection {
    uint32_t outStream, outSlot, srcStream, srcSlot;
};
// The board's connection map, in the order the connections were made.
int GetConnections(unsigned bus, unsigned slot, std::vector<Connection>* connections);
// The last board-clock record (nine words); false when none was sent.
bool GetClockRecord(unsigned bus, unsigned slot, uint32_t record[9]);
struct SwitchChip {
    int deviceType;
    bool initialised;
    unsigned connectMode;
    unsigned controlRegs[64];
    std::vector<std::pair<unsigned, unsigned>> masterPairs;  // hmic_set_master_reg calls, in order
    unsigned hbusSpeed[32];   // per H-bus stream, 0 not configured
    unsigned lbusSpeed[16];   // per local stream
    unsigned outputsSet;      // hmic_set_output calls that succeeded
};
int GetSwitchChip(unsigned bus, unsigned slot, SwitchChip* chip);

// ---- Line circuits: what the circuit of a port was given ------------------
struct PortInfo {
    std::vector<std::vector<uint8_t>> commands;  // LineConfigureSingle byte strings, in order
    std::vector<uint8_t> coefficients;           // last LineConfigureMultiple bytes
    unsigned coefficientLoads;                   // LineConfigureMultiple calls naming the port
    bool gxSet, grSet;
    uint32_t gx[2], gr[2];
};
int GetPortInfo(unsigned bus, unsigned slot, unsigned port, PortInfo* info);

// ---- Messages to the plug-in ---------------------------------------------
// Each goes to every open handle of the board that asked for its mux handle.
int SendHeartbeat(unsigned bus, unsigned slot, bool lost);
int SendStatus(unsigned bus, unsigned slot, const uint16_t params[8]);
int SendDspMessage(unsigned bus, unsigned slot, uint16_t type, uint16_t length,
                   const std::vector<uint16_t>& params);
int SendManagerMessage(unsigned bus, unsigned slot, uint32_t manager);

}  // namespace kvemu
