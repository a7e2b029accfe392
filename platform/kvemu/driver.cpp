// The driver library's calls, answered by the emulated boards. Each call takes
// the emulator's lock, checks for an injected fault, does its work and leaves
// one journal record.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "emulator.h"
#include "kvd/kvdriver.h"

using kvemu::detail::Board;
using kvemu::detail::Bytes;
using kvemu::detail::Emu;
using kvemu::detail::Emulator;
using kvemu::detail::Fn;
using kvemu::detail::HandleRec;
using kvemu::detail::Record;

namespace {

struct Call {
    Emulator& e = Emu();
    std::lock_guard<kvemu::detail::EmuLock> lock{e.mutex};
};

// The common frame of the handle calls: the call's journal record (its
// function, form, data and words, as for Journal::Emplace), then the fault,
// then the handle check.
#define KV_ENTER(...)                                                                     \
    Call c;                                                                               \
    Board* b = c.e.BoardOf(handle);                                                       \
    Record& entry = c.e.journal.Emplace(__VA_ARGS__);                                     \
    {                                                                                     \
        uint32_t faulted;                                                                 \
        if (c.e.TakeFault(entry.Function(), &faulted)) return c.e.Log(b, entry, faulted); \
        if (b == nullptr) return c.e.Log(nullptr, entry, KVD_ERR_BAD_HANDLE);             \
    }

#define KV_RETURN(status) return c.e.Log(b, entry, (status))

// Switch-chip calls answer ints of the chip's numbering.
#define HMIC_ENTER(...)                                                           \
    Call c;                                                                       \
    Board* b = c.e.BoardOfHmic(hmic);                                             \
    Record& entry = c.e.journal.Emplace(__VA_ARGS__);                             \
    {                                                                             \
        uint32_t faulted;                                                         \
        if (c.e.TakeFault(entry.Function(), &faulted))                            \
            return c.e.LogInt(b, entry, static_cast<int>(faulted));               \
        if (b == nullptr) return c.e.LogInt(nullptr, entry, HMIC_ERR_BAD_HANDLE); \
    }

#define HMIC_RETURN(status) return c.e.LogInt(b, entry, (status))

// The Gx and Gr zero values: a pair of values kept per port.
uint32_t SetZeroValues(Fn fn, KVHANDLE handle, uint32_t device, uint32_t first, uint32_t second, bool gr) {
    KV_ENTER(fn, "uxx", {}, device, first, second);
    if (device >= kvemu::detail::kPorts) KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    kvemu::PortInfo& p = b->ports[device];
    (gr ? p.grSet : p.gxSet) = true;
    uint32_t* pair = gr ? p.gr : p.gx;
    pair[0] = first;
    pair[1] = second;
    KV_RETURN(KVD_OK);
}

}  // namespace

extern "C" {

uint32_t kvOpenByBusDeviceFunction(uint32_t bus, uint32_t slot, uint32_t function, KVHANDLE* handle) {
    Call c;
    Board* b = c.e.Find(bus, slot);
    Record& entry = c.e.journal.Emplace(Fn::kvOpenByBusDeviceFunction, "uuu", {}, bus, slot, function);
    // Journaled under the location asked for, whether a board is there or not.
    entry.Locate(bus, slot);
    uint32_t status;
    if (!c.e.TakeFault(Fn::kvOpenByBusDeviceFunction, &status)) {
        if (handle == nullptr) {
            status = KVD_ERR_BAD_ARGUMENT;
        } else if (b == nullptr || function != 0) {
            *handle = nullptr;
            status = KVD_ERR_NO_DEVICE;
        } else {
            uint64_t number = c.e.nextHandle++;
            std::unique_ptr<HandleRec> rec(new HandleRec);
            rec->boardId = b->id;
            rec->board = b;
            c.e.AddHandle(number, std::move(rec));
            *handle = reinterpret_cast<KVHANDLE>(static_cast<uintptr_t>(number));
            status = KVD_OK;
        }
    }
    return c.e.Log(nullptr, entry, status);
}

uint32_t kvClose(KVHANDLE handle) {
    KV_ENTER(Fn::kvClose, "", {});
    c.e.CloseHandleLocked(reinterpret_cast<uintptr_t>(handle));
    KV_RETURN(KVD_OK);
}

uint32_t kvSendMessage(KVHANDLE handle, const void* command, uint32_t length, void* reply,
                       uint32_t replySize) {
    const uint8_t* record = static_cast<const uint8_t*>(command);
    // A well-formed record: manager 2, its length word matching the byte
    // count, at most 33 parameters. It is shown field by field; anything else
    // as its bytes.
    bool wellFormed = false;
    const char* form = "";
    uint32_t words[3] = {0, 0, 0};
    Bytes shown{record, 0};
    if (record != nullptr && length >= 12 && length <= 78 && length % 2 == 0) {
        uint32_t manager;
        uint16_t size;
        std::memcpy(&manager, record, 4);
        std::memcpy(&size, record + 4, 2);
        unsigned count = (length - 4) / 2;
        wellFormed = manager == 2 && size == count;
        form = "uuw";  // manager, length word, then the words after it
        words[0] = manager;
        words[1] = size;
        words[2] = count - 1;
        shown = Bytes{record + 6, length - 6u};
    } else if (record != nullptr) {
        form = "b";
        words[0] = length < 78 ? length : 78;
        shown.size = words[0];
    }
    KV_ENTER(Fn::kvSendMessage, form, {shown}, words[0], words[1], words[2]);
    if (!wellFormed || reply == nullptr || replySize == 0) KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    if (b->hasNextReply) {  // a raw reply set through the back door stands for the DSP's
        b->hasNextReply = false;
        std::memcpy(reply, b->nextReply, replySize < 78 ? replySize : 78);
        KV_RETURN(KVD_OK);
    }
    // A stalled or unloaded DSP never answers; the emulator does not make the
    // caller wait for that.
    if (!b->dsp.running) KV_RETURN(KVD_ERR_TIMEOUT);
    uint8_t answer[78];
    c.e.DspCommand(*b, record, length, answer);
    std::memcpy(reply, answer, replySize < 78 ? replySize : 78);
    KV_RETURN(KVD_OK);
}

uint32_t kvReceiveMessage(KVHANDLE handle, void* buffer, uint32_t size, uint32_t* value) {
    KV_ENTER(Fn::kvReceiveMessage, "u", {}, size);
    HandleRec* h = c.e.Handle(handle);
    if (buffer == nullptr && size > 0) KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    if (h->queue.empty()) KV_RETURN(KVD_ERR_NO_MESSAGE);
    std::vector<uint8_t> message = std::move(h->queue.front());
    h->queue.pop_front();
    if (h->queue.empty() && h->muxFd >= 0) {
        uint64_t drained;
        ssize_t n = ::read(h->muxFd, &drained, sizeof drained);
        (void)n;
    }
    uint32_t n = static_cast<uint32_t>(message.size());
    if (n > 0 && size > 0) std::memcpy(buffer, message.data(), n < size ? n : size);
    if (value != nullptr) *value = n;
    uint32_t shown = n < 16 ? n : 16;
    entry.SetForm("u=b").AddWord(shown).AddData(message.data(), shown);
    KV_RETURN(KVD_OK);
}

uint32_t kvGetMuxHandle(KVHANDLE handle, uint32_t* muxHandle) {
    KV_ENTER(Fn::kvGetMuxHandle, "", {});
    if (muxHandle == nullptr) KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    HandleRec* h = c.e.Handle(handle);
    if (h->muxFd < 0) {
        h->muxFd = ::eventfd(h->queue.empty() ? 0 : 1, EFD_NONBLOCK | EFD_CLOEXEC);
        if (h->muxFd < 0) KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    }
    *muxHandle = static_cast<uint32_t>(h->muxFd);
    KV_RETURN(KVD_OK);
}

uint32_t kvGetHmicHandle(KVHANDLE handle, uint32_t chip, HMICHANDLE* hmic) {
    KV_ENTER(Fn::kvGetHmicHandle, "u", {}, chip);
    if (chip != 0 || hmic == nullptr) KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    *hmic = reinterpret_cast<HMICHANDLE>(static_cast<uintptr_t>(b->id | 0x40000000u));
    KV_RETURN(KVD_OK);
}

uint32_t BoardSetLogicalNumber(KVHANDLE handle, uint32_t logicalNumber) {
    KV_ENTER(Fn::BoardSetLogicalNumber, "u", {}, logicalNumber);
    if (logicalNumber > 0x7FFFFFFFu) KV_RETURN(KVD_ERR_BAD_ARGUMENT);  // no board number
    b->logicalNumber = static_cast<int>(logicalNumber);
    KV_RETURN(KVD_OK);
}

uint32_t BoardEEPROMGetData(KVHANDLE handle, uint32_t address, uint8_t* buffer, uint32_t length) {
    KV_ENTER(Fn::BoardEEPROMGetData, "xu", {}, address, length);
    if ((buffer == nullptr && length > 0) || address > kvemu::detail::kEepromSize ||
        length > kvemu::detail::kEepromSize - address)
        KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    if (length > 0) std::memcpy(buffer, b->eeprom + address, length);
    KV_RETURN(KVD_OK);
}

uint32_t BoardDspReset(KVHANDLE handle) {
    KV_ENTER(Fn::BoardDspReset, "", {});
    c.e.Restart(*b);
    KV_RETURN(KVD_OK);
}

uint32_t BoardDspStart(KVHANDLE handle) {
    KV_ENTER(Fn::BoardDspStart, "", {});
    c.e.DspStartLocked(*b);
    KV_RETURN(KVD_OK);
}

uint32_t BoardFlashLedOn(KVHANDLE handle) {
    KV_ENTER(Fn::BoardFlashLedOn, "", {});
    b->ledOn = true;
    KV_RETURN(KVD_OK);
}

uint32_t BoardFlashLedOff(KVHANDLE handle) {
    KV_ENTER(Fn::BoardFlashLedOff, "", {});
    b->ledOn = false;
    KV_RETURN(KVD_OK);
}

uint32_t BoardDspDownload(KVHANDLE handle, uint32_t address, const uint8_t* data, uint8_t count) {
    KV_ENTER(Fn::BoardDspDownload, "xu", {}, address, count);
    if ((data == nullptr && count > 0) || !c.e.DspMemoryFits(*b, address, count))
        KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    c.e.DspWrite(*b, address, data, count);
    KV_RETURN(KVD_OK);
}

uint32_t BoardStartHeartBeat(KVHANDLE handle, uint32_t rate) {
    KV_ENTER(Fn::BoardStartHeartBeat, "u", {}, rate);
    if (rate == 0) KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    b->heartbeat = true;
    b->heartbeatRate = rate;
    KV_RETURN(KVD_OK);
}

uint32_t BoardStopHeartBeat(KVHANDLE handle) {
    KV_ENTER(Fn::BoardStopHeartBeat, "", {});
    b->heartbeat = false;
    KV_RETURN(KVD_OK);
}

uint32_t BoardStartMonitoring(KVHANDLE handle) {
    KV_ENTER(Fn::BoardStartMonitoring, "", {});
    HandleRec* h = c.e.Handle(handle);
    h->monitoring = true;
    // A new listener hears the board's status at once when the DSP monitors.
    if (b->dsp.running && b->dsp.monitoring) {
        uint16_t words[8];
        c.e.ComputeStatus(*b, words);
        std::copy(words, words + 8, b->lastStatus);
        b->statusValid = true;
        c.e.Queue(*h, c.e.StatusMessage(*b, words));
    }
    KV_RETURN(KVD_OK);
}

uint32_t BoardStopMonitoring(KVHANDLE handle) {
    KV_ENTER(Fn::BoardStopMonitoring, "", {});
    c.e.Handle(handle)->monitoring = false;
    KV_RETURN(KVD_OK);
}

uint32_t BoardReadByte(KVHANDLE handle, uint32_t address, uint8_t* value) {
    KV_ENTER(Fn::BoardReadByte, "x", {}, address);
    if (value == nullptr) KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    auto it = b->registers.find(address);
    *value = it == b->registers.end() ? 0 : it->second;
    entry.SetForm("x=x").AddWord(*value);
    KV_RETURN(KVD_OK);
}

uint32_t BoardWriteByte(KVHANDLE handle, uint32_t address, uint8_t value) {
    KV_ENTER(Fn::BoardWriteByte, "xx", {}, address, value);
    if (!c.e.Writable(*b, address)) KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    b->registers[address] = value;
    c.e.StatusChanged(*b);
    KV_RETURN(KVD_OK);
}

uint32_t BoardLoadL2PTable(KVHANDLE handle, uint32_t size, const uint16_t* table) {
    bool whole = table != nullptr && size == 1024;
    KV_ENTER(Fn::BoardLoadL2PTable, whole ? "uw" : "u", {{table, whole ? 1024u : 0u}}, size, 512);
    if (table == nullptr || size != 1024) KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    std::memcpy(b->l2p, table, 1024);
    b->l2pLoaded = true;
    KV_RETURN(KVD_OK);
}

uint32_t BoardGetPhysicalSlot(KVHANDLE handle, uint32_t* shelfAddress, uint32_t* geographicAddress) {
    KV_ENTER(Fn::BoardGetPhysicalSlot, "", {});
    if (shelfAddress == nullptr || geographicAddress == nullptr) KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    *shelfAddress = b->shelf;
    *geographicAddress = b->geographic;
    entry.SetForm("=uu").AddWord(b->shelf).AddWord(b->geographic);
    KV_RETURN(KVD_OK);
}

uint32_t BoardGetDriverVersion(KVHANDLE handle, uint32_t* major, uint32_t* minor) {
    KV_ENTER(Fn::BoardGetDriverVersion, "", {});
    if (major == nullptr || minor == nullptr) KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    *major = 2;
    *minor = 3;
    entry.SetForm("=uu").AddWord(2).AddWord(3);
    KV_RETURN(KVD_OK);
}

uint32_t LineConfigureSingle(KVHANDLE handle, uint32_t device, const uint8_t* bytes, uint32_t count) {
    uint32_t shown = bytes != nullptr && count <= 4096 ? count : 0;
    KV_ENTER(Fn::LineConfigureSingle, "ub", {{bytes, shown}}, device, shown);
    if (device >= kvemu::detail::kPorts || bytes == nullptr || count == 0 || count > 4096)
        KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    kvemu::detail::KeepNewest(b->ports[device].commands, std::vector<uint8_t>(bytes, bytes + count),
                              kvemu::detail::kPortCommandsMax);
    KV_RETURN(KVD_OK);
}

uint32_t LineConfigureMultiple(KVHANDLE handle, const uint32_t* ports, uint32_t count, const uint8_t* bytes,
                               uint32_t byteCount) {
    bool readable =
        ports != nullptr && count <= kvemu::detail::kPorts && bytes != nullptr && byteCount <= 4096;
    // The ports and the bytes when they can be read; else their counts.
    KV_ENTER(Fn::LineConfigureMultiple, readable ? "nb" : "uu",
             {{ports, readable ? 4u * count : 0u}, {bytes, readable ? byteCount : 0u}}, count, byteCount);
    if (!readable || count == 0 || byteCount == 0) KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    for (uint32_t i = 0; i < count; ++i)
        if (ports[i] >= kvemu::detail::kPorts) KV_RETURN(KVD_ERR_BAD_ARGUMENT);
    for (uint32_t i = 0; i < count; ++i) {
        kvemu::PortInfo& p = b->ports[ports[i]];
        p.coefficients.assign(bytes, bytes + byteCount);
        ++p.coefficientLoads;
    }
    KV_RETURN(KVD_OK);
}

uint32_t LineSetGxZeroValues(KVHANDLE handle, uint32_t device, uint32_t first, uint32_t second) {
    return SetZeroValues(Fn::LineSetGxZeroValues, handle, device, first, second, false);
}

uint32_t LineSetGrZeroValues(KVHANDLE handle, uint32_t device, uint32_t first, uint32_t second) {
    return SetZeroValues(Fn::LineSetGrZeroValues, handle, device, first, second, true);
}

// ---- Switch chip -------------------------------------------------------------

int hmic_init(HMICHANDLE hmic, int mode) {
    HMIC_ENTER(Fn::hmic_init, "d", {}, mode);
    b->chip.initialised = true;
    b->chip.initMode = mode;
    HMIC_RETURN(0);
}

int hmic_id_device_type(HMICHANDLE hmic) {
    HMIC_ENTER(Fn::hmic_id_device_type, "", {});
    HMIC_RETURN(kvemu::detail::kDeviceType);
}

int hmic_set_master_reg(HMICHANDLE hmic, unsigned mask, unsigned value) {
    HMIC_ENTER(Fn::hmic_set_master_reg, "xx", {}, mask, value);
    b->chip.master = (b->chip.master & ~mask) | (value & mask);
    kvemu::detail::KeepNewest(b->chip.masterPairs, std::make_pair(mask, value),
                              kvemu::detail::kMasterPairsMax);
    HMIC_RETURN(0);
}

int hmic_set_control_reg(HMICHANDLE hmic, unsigned reg, unsigned value) {
    HMIC_ENTER(Fn::hmic_set_control_reg, "ux", {}, reg, value);
    if (reg >= 64 || value > 0xFF) HMIC_RETURN(HMIC_ERR_BAD_ARGUMENT);
    b->chip.controlRegs[reg] = value;
    HMIC_RETURN(0);
}

int hmic_read_control_reg(HMICHANDLE hmic, unsigned reg, unsigned* value) {
    HMIC_ENTER(Fn::hmic_read_control_reg, "u", {}, reg);
    if (reg >= 64 || value == nullptr) HMIC_RETURN(HMIC_ERR_BAD_ARGUMENT);
    *value = b->chip.controlRegs[reg];
    entry.SetForm("u=x").AddWord(*value);
    HMIC_RETURN(0);
}

int hmic_config_connect_mode(HMICHANDLE hmic, unsigned mode) {
    HMIC_ENTER(Fn::hmic_config_connect_mode, "u", {}, mode);
    b->chip.connectMode = mode;
    HMIC_RETURN(0);
}

}  // extern "C"

namespace {

// How many streams a speed call's journal record shows: all when they can be read.
uint32_t ShownStreams(int count, const int* streams) {
    return streams != nullptr && count > 0 && count <= 32 ? static_cast<uint32_t>(count) : 0;
}

int ConfigSpeed(unsigned* speeds, int limit, int count, const int* streams, unsigned speed) {
    if (count <= 0 || count > limit || streams == nullptr) return HMIC_ERR_BAD_ARGUMENT;
    for (int i = 0; i < count; ++i)
        if (streams[i] < 0 || streams[i] >= limit) return HMIC_ERR_BAD_ARGUMENT;
    for (int i = 0; i < count; ++i) speeds[streams[i]] = speed;
    return 0;
}

}  // namespace

extern "C" {

int hmic_config_HBus_speed(HMICHANDLE hmic, int count, const int* streams, unsigned speed) {
    HMIC_ENTER(Fn::hmic_config_HBus_speed, "diu", {{streams, 4 * ShownStreams(count, streams)}}, count,
               ShownStreams(count, streams), speed);
    HMIC_RETURN(ConfigSpeed(b->chip.hbusSpeed, 32, count, streams, speed));
}

int hmic_config_LBus_speed(HMICHANDLE hmic, int count, const int* streams, unsigned speed) {
    HMIC_ENTER(Fn::hmic_config_LBus_speed, "diu", {{streams, 4 * ShownStreams(count, streams)}}, count,
               ShownStreams(count, streams), speed);
    HMIC_RETURN(ConfigSpeed(b->chip.lbusSpeed, 16, count, streams, speed));
}

int hmic_reset_switch(HMICHANDLE hmic) {
    HMIC_ENTER(Fn::hmic_reset_switch, "", {});
    b->chip.outputsSet = 0;
    HMIC_RETURN(0);
}

// A local stream carries 16 timeslots per speed-code unit (code 2: 32
// timeslots, 4: 64, 8: 128); an unconfigured stream has 32.
int hmic_set_output(HMICHANDLE hmic, unsigned mode, unsigned stream, unsigned timeslot, unsigned source,
                    unsigned a5, unsigned a6, unsigned a7, unsigned pattern) {
    HMIC_ENTER(Fn::hmic_set_output, "uuuxuuux", {}, mode, stream, timeslot, source, a5, a6, a7, pattern);
    if (stream >= 16) HMIC_RETURN(HMIC_ERR_BAD_ARGUMENT);
    unsigned speed = b->chip.lbusSpeed[stream];
    unsigned timeslots = (speed == 2 || speed == 4 || speed == 8) ? 16 * speed : 32;
    if (timeslot >= timeslots) HMIC_RETURN(HMIC_ERR_END_OF_STREAM);
    ++b->chip.outputsSet;
    HMIC_RETURN(0);
}

}  // extern "C"
