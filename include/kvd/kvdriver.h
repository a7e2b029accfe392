// The KV 7400 board driver library (libkvd.so).
//
// Every kv and Board/Line call answers a 32-bit status: 0 for success; any
// other value is the driver's failure status (KVD_ERR_ values below, or any
// status a fault made it answer). Outputs are valid only on 0. Handles are
// opaque; null means none. Calls on a null or closed handle answer
// KVD_ERR_BAD_HANDLE and touch nothing.
#pragma once

#include <cstdint>

extern "C" {

typedef void* KVHANDLE;
typedef void* HMICHANDLE;

enum : uint32_t {
    KVD_OK = 0,
    KVD_ERR_NO_DEVICE = 2,      // no board at that PCI location
    KVD_ERR_BAD_HANDLE = 6,     // null, closed or foreign handle
    KVD_ERR_BAD_ARGUMENT = 22,  // a size, count or pointer the call cannot take
    KVD_ERR_TIMEOUT = 110,      // the board (its DSP) did not answer in time
    KVD_ERR_NO_MESSAGE = 61,    // kvReceiveMessage with nothing pending
};

// Opens the board at a PCI location (function 0). Fails with KVD_ERR_NO_DEVICE
// when no board is there.
uint32_t kvOpenByBusDeviceFunction(uint32_t bus, uint32_t slot, uint32_t function, KVHANDLE* handle);
// Closes a handle. On 0 the handle is invalid afterwards; on failure it stays open.
uint32_t kvClose(KVHANDLE handle);
// Sends a command record of length bytes to the board's DSP and waits for its
// reply, which fills reply (replySize bytes, at most the 78 of a reply) on 0.
// KVD_ERR_TIMEOUT when the DSP does not answer; KVD_ERR_BAD_ARGUMENT for a
// record that is not a DSP command (manager_id 2, length word = bytes/2 - 2,
// at most 33 parameters) or a missing reply buffer.
uint32_t kvSendMessage(KVHANDLE handle, const void* command, uint32_t length, void* reply,
                       uint32_t replySize);
// Takes the oldest message pending for this handle into buffer (size bytes);
// *value receives the message's length in bytes (the copy is cut to size).
// KVD_ERR_NO_MESSAGE when none; KVD_ERR_BAD_ARGUMENT for a null buffer.
// The first 32-bit word of a message names its source: 1 board manager, 2 DSP.
uint32_t kvReceiveMessage(KVHANDLE handle, void* buffer, uint32_t size, uint32_t* value);
// A descriptor that is readable exactly while a message is pending for this
// handle (the handle owns it: it stays valid until kvClose).
uint32_t kvGetMuxHandle(KVHANDLE handle, uint32_t* muxHandle);
// The switch chip's handle for the hmic_ calls; chip 0 is the only chip
// (another gives KVD_ERR_BAD_ARGUMENT).
uint32_t kvGetHmicHandle(KVHANDLE handle, uint32_t chip, HMICHANDLE* hmic);

// Gives the board its logical number, which also names its switch device.
uint32_t BoardSetLogicalNumber(KVHANDLE handle, uint32_t logicalNumber);
// Reads length bytes of the EEPROM record from EEPROM address address
// (KVD_ERR_BAD_ARGUMENT beyond the EEPROM's 256 bytes).
uint32_t BoardEEPROMGetData(KVHANDLE handle, uint32_t address, uint8_t* buffer, uint32_t length);
uint32_t BoardDspReset(KVHANDLE handle);
// Runs the downloaded firmware.
uint32_t BoardDspStart(KVHANDLE handle);
uint32_t BoardFlashLedOn(KVHANDLE handle);
uint32_t BoardFlashLedOff(KVHANDLE handle);
// Writes count bytes of data into the DSP's memory at address. The DSP runs
// what was downloaded at the next BoardDspStart; BoardDspReset stops it.
uint32_t BoardDspDownload(KVHANDLE handle, uint32_t address, const uint8_t* data, uint8_t count);
uint32_t BoardStartHeartBeat(KVHANDLE handle, uint32_t rate);
uint32_t BoardStopHeartBeat(KVHANDLE handle);
// Asks the board to send its status events to this handle.
uint32_t BoardStartMonitoring(KVHANDLE handle);
uint32_t BoardStopMonitoring(KVHANDLE handle);
uint32_t BoardReadByte(KVHANDLE handle, uint32_t address, uint8_t* value);
uint32_t BoardWriteByte(KVHANDLE handle, uint32_t address, uint8_t value);
// Loads the logical-to-physical table: size bytes (1024) of 16-bit entries;
// any other size gives KVD_ERR_BAD_ARGUMENT and keeps the loaded table.
uint32_t BoardLoadL2PTable(KVHANDLE handle, uint32_t size, const uint16_t* table);
uint32_t BoardGetPhysicalSlot(KVHANDLE handle, uint32_t* shelfAddress, uint32_t* geographicAddress);
uint32_t BoardGetDriverVersion(KVHANDLE handle, uint32_t* major, uint32_t* minor);
// Line calls address ports 0 to 47; another port gives KVD_ERR_BAD_ARGUMENT
// and nothing is sent.
// Sends count command bytes to the line circuit serving port device.
uint32_t LineConfigureSingle(KVHANDLE handle, uint32_t device, const uint8_t* bytes, uint32_t count);
// Loads byteCount coefficient bytes into the line circuits of count ports.
uint32_t LineConfigureMultiple(KVHANDLE handle, const uint32_t* ports, uint32_t count, const uint8_t* bytes,
                               uint32_t byteCount);
uint32_t LineSetGxZeroValues(KVHANDLE handle, uint32_t device, uint32_t first, uint32_t second);
uint32_t LineSetGrZeroValues(KVHANDLE handle, uint32_t device, uint32_t first, uint32_t second);

// Switch chip calls. They answer 0 for success and a negative error code of
// the chip's numbering otherwise (HMIC_ERR_ values); hmic_id_device_type
// answers the chip type, above 0 when a chip answers.
enum : int {
    HMIC_ERR_BAD_HANDLE = -3097,
    HMIC_ERR_BAD_ARGUMENT = -3083,
    HMIC_ERR_END_OF_STREAM = -3081,  // hmic_set_output past the stream's last timeslot
};
int hmic_init(HMICHANDLE hmic, int mode);
int hmic_id_device_type(HMICHANDLE hmic);
int hmic_set_master_reg(HMICHANDLE hmic, unsigned mask, unsigned value);
int hmic_set_control_reg(HMICHANDLE hmic, unsigned reg, unsigned value);
int hmic_read_control_reg(HMICHANDLE hmic, unsigned reg, unsigned* value);
int hmic_config_connect_mode(HMICHANDLE hmic, unsigned mode);
int hmic_config_HBus_speed(HMICHANDLE hmic, int count, const int* streams, unsigned speed);
int hmic_config_LBus_speed(HMICHANDLE hmic, int count, const int* streams, unsigned speed);
int hmic_reset_switch(HMICHANDLE hmic);
int hmic_set_output(HMICHANDLE hmic, unsigned mode, unsigned stream, unsigned timeslot, unsigned source,
                    unsigned a5, unsigned a6, unsigned a7, unsigned pattern);
}
