// Control of the emulated boards behind the driver library: a builder that
// describes boards and a back door that injects stimuli and faults and shows
// what the plug-in did. Tests and kvoam use it in-process; the plug-in never
// does (it sees only the driver library's own calls).
//
// Every function is safe to call from any thread. Functions answering int
// give 0 for success and -1 when there is no board at (bus, slot) or an
// argument is out of range.
//
// The model, in short:
// - Boards live at PCI locations (bus, slot); opening a location without a
//   board answers KVD_ERR_NO_DEVICE. Registers read back what was last
//   written (0 when never written; 0xA0008, the population byte, starts at
//   0xE0). The EEPROM holds 256 bytes, 0xFF except the 24-byte record at 128.
// - Journal: one line per call, "BUS:SLOT NAME ARGS = STATUS", with "?:?"
//   for a call on a null, closed or foreign handle. Addresses, register
//   values, masks, record words after the length and bytes are 0x-hex;
//   counts, numbers, ports, streams, timeslots and the MVIP record words are
//   decimal. Buffers and records appear as their contents (their byte count
//   is then implied). Results handed back follow as "-> ...":
//     0:0 BoardWriteByte 0xa0002 0xfb = 0
//     0:0 BoardReadByte 0xa0008 = 0 -> 0xe0
//     0:0 kvSendMessage 2 5 0x8000 0xffff 0x6 0x1 = 0   (manager_id, length, then the words)
//     0:0 BoardDspDownload 0x10010 4 = 0                (DSP address, byte count)
//     0:0 ioctl 259 36 1 5 0 2 1 0 0 0 = 0              (request, the record's words; status is the errno)
//     0:0 open /dev/kvsw00 0x0 = 0, 0:0 close = 0        (the switch device)
//     0:0 LineConfigureSingle 0 0x46 0x82 = 0           (port, bytes)
//     0:0 LineConfigureMultiple 0 1 2 0x1f 0x2a = 0     (ports, then bytes)
//     0:0 hmic_set_output 1 0 31 0x40 0 0 0 0x55 = 0    (chip statuses are signed)
//   kvOpenByBusDeviceFunction is journaled under the location asked for.
//   Beyond 200000 lines the oldest are dropped. A call keeps a compact record
//   of what it was handed (copied at call time); Journal makes the text.
// - Switch device: "/dev/<switch driver name><NN>" (default name "kvsw", NN
//   the board's logical number as "%02d") is claimed through the device
//   layer once BoardSetLogicalNumber gave the board its number. Only read-only
//   opens succeed (else EACCES). Requests: 257 resets the connection map;
//   259 takes a record of size 4 + 32 * n (word 0) with n entries of eight
//   words (1, source stream, source slot, 2, 1, output stream, output slot,
//   unused), a new source replacing an output's old one; 273 takes the nine
//   words of the board-clock record (word 0 = 36). A wrong size word, wrong
//   entry constants or another request: -1 with EINVAL.
// - Switch chip: hmic_id_device_type answers 0x8100; hmic_set_output answers
//   HMIC_ERR_END_OF_STREAM past the stream's last timeslot, 16 timeslots per
//   unit of the local stream's speed code (2: 32, 4: 64, 8: 128; 32 when not
//   configured).
// - DSP: downloads write its memory; BoardDspReset stops it and clears its
//   memory and everything it was told. BoardDspStart runs the firmware only
//   when DSP memory at address 0 holds the 8 ASCII bytes "KVDSPFW1"
//   (operational image) or "KVDSPDG1" (diagnostic image), followed by five
//   16-bit little-endian words: firmware revision, MIPS version, number of
//   ports, CPU meter (tenths), tokens available. Otherwise the DSP stays
//   silent and kvSendMessage answers KVD_ERR_TIMEOUT at once.
//   kvSendMessage takes a record of 2 * length + 4 bytes (manager_id 2, at
//   most 33 parameters), else KVD_ERR_BAD_ARGUMENT. Replies: manager_id 2,
//   target 0x8000, handle as sent, type the command code, params[0] the
//   reason; length 6, or 7 for the sensor commands 0x11, 0x12, 0x13
//   (params[1] sensor), 9 for ReadThermo 0x14 (params[1] sensor, params[2]
//   temperature, params[3] 0), 11 for GetInfo 0x03 (params[1..5] the image's
//   five words). Reasons: 0xFFFF unknown command code; 0xFFFE parameters the
//   command cannot take (wrong count, sensor above 4, G.711 law other than 0
//   or 1); otherwise the reason set by SetDspReason, in which case the
//   command is refused and changes nothing. ConfigureG711's parameter is kept
//   as the law (1 A-law, 0 mu-law). SoftReset (0x00) forgets what the
//   firmware was told but keeps it running.
// - Messages go to every handle of the board that called
//   BoardStartMonitoring (and not BoardStopMonitoring or kvClose since).
//   kvGetMuxHandle gives an eventfd that is readable exactly while a message
//   is pending for the handle. Heartbeat: 8 bytes, manager_id 1 then event
//   code 1 lost, 2 returned. Status event: a 78-byte DSP up-message, type
//   0x15, length 14, params[0] 0x10, params[1..8] the status words:
//   params[1] bit0 low battery = bit 1 of register 0xA0002, bit1 high
//   battery = bit 2, bit2 ring voltage = bit 3, bit3 external ringer enabled
//   = NOT bit 0; params[2] bits 0-2 = bits 5-7 of 0xA0008; params[7] the
//   running sensors, one bit each; params[8] the thermal state: 0 no sensor
//   runs, 1 normal, 2 a running sensor reached its warning high threshold,
//   3 its protection high threshold (a sensor leaves a state only below the
//   state's low threshold). Once the DSP was told StartBoardMonitoring
//   (0x15) it sends one status event to each monitoring handle, one to a
//   handle that starts monitoring later, and a new one whenever the words
//   change (register writes, temperatures, sensors started or stopped).
//   Temperatures start at 40 degrees. A handle holds at most 4096 pending
//   messages; beyond that new ones are dropped for it.
// - Faults (SetFault) apply to every board. A faulted call does nothing but
//   journal itself with the injected status and answer it (switch-chip calls
//   answer it cast to int; the switch device's "open", "ioctl" and "close"
//   answer -1 with errno set to it). At most 64 counted faults wait per
//   function; SetFault refuses another with -1.
// - Memory is bounded whatever the calls, so that a session can run for days.
//   Histories: BoardDspReset, with which every start begins, starts a board's
//   histories afresh, and between two resets each keeps its newest entries up
//   to a fixed count: PortInfo::commands the last 64 strings of each port,
//   SwitchChip::masterPairs the last 64 calls, DspState::commands the last
//   1024 codes. So a test reads back everything since the board's last start
//   as long as it stays within these counts (a start sends at most 3 strings
//   per port, 4 master-register calls and about 20 DSP commands).
//   Counters (coefficientLoads, outputsSet) count on through resets; last
//   values (coefficients, Gx/Gr, ring, law, sensors, clock record, L2P table)
//   are replaced, never accumulated.
//   State keyed by what the calls name: at most 65536 register addresses per
//   board (writing a further new one: BoardWriteByte answers
//   KVD_ERR_BAD_ARGUMENT, WriteRegister -1); at most 65536 outputs in a
//   connection map (a request 259 that could pass that answers ENOSPC and
//   changes nothing); DSP memory at most 16 MB (a download past it answers
//   KVD_ERR_BAD_ARGUMENT), freed by BoardDspReset; at most 4096 pending
//   messages per handle.
//   Handles: one record per open driver handle (with its eventfd once
//   kvGetMuxHandle gave one) and one per open switch-device descriptor, also
//   a descriptor kept open through Reset until its owner closes it.
//   Journal: 200000 records of about 112 bytes each once full, which
//   ClearJournal and Reset keep for the records to come (about 22 MB), plus
//   the data of the records held that is longer than 40 bytes (a
//   logical-to-physical table's 1024 bytes, a long circuit command or switch
//   record; each freed when its record is reused).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvemu {

// Back to the initial state: one board at bus 0, slot 0 with default
// registers, EEPROM and sensors; every handle closed; journal, faults,
// injected reasons and the switch driver name back to their defaults. Switch
// device descriptors still open stay open (so their numbers are not reused)
// but no longer reach a board: their requests answer EBADF.
void Reset();

// ---- Builder -------------------------------------------------------------
int AddBoard(unsigned bus, unsigned slot);  // -1 when a board is already there
int RemoveBoard(unsigned bus, unsigned slot);
std::vector<std::pair<unsigned, unsigned>> Boards();  // (bus, slot), in order added
// The driver name a device scan reports for the boards ("kv7400cpci").
const char* DriverName();
// The switch driver name of the device paths claimed ("kvsw"; null or empty
// restores it). Reset restores it too.
void SetSwitchDriverName(const char* name);
std::string SwitchDriverName();
int SetEeprom(unsigned bus, unsigned slot, const uint8_t record[24]);
int SetTemperature(unsigned bus, unsigned slot, unsigned sensor, int degrees);
int SetPhysicalSlot(unsigned bus, unsigned slot, uint32_t shelf, uint32_t geographic);

// ---- Registers -----------------------------------------------------------
int ReadRegister(unsigned bus, unsigned slot, uint32_t address, uint8_t* value);
int WriteRegister(unsigned bus, unsigned slot, uint32_t address, uint8_t value);  // not journaled

// ---- Journal: one line per driver call, "BUS:SLOT NAME ARGS = STATUS" -----
std::vector<std::string> Journal();
// How many lines Journal would answer, without making them.
size_t JournalSize();
void ClearJournal();

// ---- Faults --------------------------------------------------------------
// Makes calls of function (a driver call's name, "ioctl" for the switch
// device's requests, whose status is then an errno) answer status: on its
// nth call from now (1 = the next call), or on every call when nth is 0.
// Status 0 removes the function's faults. The faulted call does nothing else.
// Unknown function names are refused with -1. A new standing fault (nth 0)
// replaces the function's previous one; counted faults add up, at most 64
// waiting per function (-1 beyond).
int SetFault(const char* function, uint32_t status, unsigned nth);
void ClearFaults();
// Whether SetFault knows the function's name.
bool KnownFunction(const char* function);

// ---- Board state as the emulator holds it --------------------------------
struct BoardInfo {
    int logicalNumber;     // -1 until BoardSetLogicalNumber
    unsigned openHandles;  // driver handles open now
    unsigned openDevices;  // switch-device descriptors open now
    bool heartbeat;        // heartbeat running
    uint32_t heartbeatRate;
    bool ledOn;
};
int GetBoardInfo(unsigned bus, unsigned slot, BoardInfo* info);

struct DspState {
    bool running;          // the firmware runs and answers commands
    bool recognised;       // the downloaded image is a firmware image the DSP can run
    uint32_t bytesLoaded;  // bytes downloaded since the last reset
    int law;               // -1 not configured, 0 mu-law, 1 A-law (the command's parameter)
    uint16_t ring[19];     // words of the last ringer command
    bool ringConfigured;
    struct Sensor {
        bool configured, running;
        uint16_t warningLow, warningHigh, protectionLow, protectionHigh;
        int temperature;
    } sensors[5];
    bool monitoring;  // board monitoring on
    uint16_t firmwareRevision, mipsVersion, numberPorts, cpuMeter, tokensAvailable;
    std::vector<uint16_t> commands;  // codes of the commands received since the last reset, in order
};
int GetDspState(unsigned bus, unsigned slot, DspState* state);
// Makes the DSP answer command code with reason (0 removes it). The reason
// stays through BoardDspReset and BoardDspStart; Reset removes it.
int SetDspReason(unsigned bus, unsigned slot, uint16_t code, uint16_t reason);
// Reads count bytes of DSP memory at address.
int ReadDspMemory(unsigned bus, unsigned slot, uint32_t address, uint8_t* data, uint32_t count);
// The eight status words (params[1..8] of a status event) the board would
// report now.
int GetStatusWords(unsigned bus, unsigned slot, uint16_t words[8]);

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
    unsigned hbusSpeed[32];                                  // per H-bus stream, 0 not configured
    unsigned lbusSpeed[16];                                  // per local stream
    unsigned outputsSet;                                     // hmic_set_output calls that succeeded
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
// Each goes to every handle of the board that monitors (BoardStartMonitoring).
// SendManagerMessage sends 8 bytes: manager, then event code 0.
int SendHeartbeat(unsigned bus, unsigned slot, bool lost);
int SendStatus(unsigned bus, unsigned slot, const uint16_t params[8]);
int SendDspMessage(unsigned bus, unsigned slot, uint16_t type, uint16_t length,
                   const std::vector<uint16_t>& params);
int SendManagerMessage(unsigned bus, unsigned slot, uint32_t manager);

// ---- Raw stimuli (fuzzing the plug-in's parsing) ---------------------------
// Queues size bytes (at most 4096), whatever they hold, as one message for
// every monitoring handle of the board; kvReceiveMessage hands them over as
// they are (value = size).
int QueueMessage(unsigned bus, unsigned slot, const void* bytes, uint32_t size);
// The board's next kvSendMessage that would reach its DSP (a well-formed
// record and a reply buffer, no fault) answers 0 with these bytes as the
// reply instead, zero-padded to 78 bytes (size at most 78), whether the
// firmware runs or not; the DSP never sees that command. A later call
// replaces a reply not yet taken; null bytes remove it. Reset removes it.
int SetNextReply(unsigned bus, unsigned slot, const void* bytes, uint32_t size);

}  // namespace kvemu
