// Inside the emulated driver library: the boards as the emulator holds them,
// the one lock that guards them, the journal and the faults. Only the sources
// of libkvd.so include this header.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "journal.h"
#include "kvemu.h"

namespace kvemu {
namespace detail {

constexpr unsigned kSensors = 5;
constexpr unsigned kPorts = 48;
constexpr uint32_t kEepromSize = 256;
constexpr uint32_t kEepromRecordAddress = 128;
constexpr uint32_t kDspPageSize = 4096;
constexpr size_t kDspMaxPages = 4096;      // 16 MB of DSP memory at most
constexpr size_t kQueueMax = 4096;         // messages pending per handle at most
constexpr uint32_t kMessageSize = 78;      // a DSP up-message
constexpr uint32_t kRawMessageMax = 4096;  // QueueMessage
constexpr int kDeviceType = 0x8100;        // what hmic_id_device_type answers

// What a board keeps of its calls. Histories restart at BoardDspReset, the
// reset with which every start begins, and keep at most their newest entries
// in between; state keyed by what the calls name has a fixed number of keys.
constexpr size_t kPortCommandsMax = 64;    // LineConfigureSingle strings per port
constexpr size_t kMasterPairsMax = 64;     // hmic_set_master_reg calls
constexpr size_t kDspCommandsMax = 1024;   // command codes the DSP received
constexpr size_t kRegistersMax = 65536;    // register addresses written
constexpr size_t kConnectionsMax = 65536;  // outputs in the connection map
constexpr size_t kFaultsMax = 64;          // counted faults pending per function

// Appends to a history that keeps its newest max entries.
template <typename T, typename Item>
void KeepNewest(std::vector<T>& history, Item&& item, size_t max) {
    if (history.size() >= max) history.erase(history.begin(), history.begin() + (history.size() - max + 1));
    history.emplace_back(std::forward<Item>(item));
}

// Reason words of the emulated firmware.
constexpr uint16_t kReasonUnknownCommand = 0xFFFF;
constexpr uint16_t kReasonBadParameter = 0xFFFE;

struct Board;

// One driver handle: the board it was opened on and the messages pending.
struct HandleRec {
    uint64_t boardId = 0;
    Board* board = nullptr;   // the board of boardId: a board's handles go with it
    bool monitoring = false;  // BoardStartMonitoring called and not stopped
    int muxFd = -1;           // eventfd, readable while queue is not empty
    std::deque<std::vector<uint8_t>> queue;
};

struct SensorModel {
    bool configured = false, running = false;
    uint16_t warningLow = 0xFFFF, warningHigh = 0xFFFF, protectionLow = 0xFFFF, protectionHigh = 0xFFFF;
    int temperature = 40;
    unsigned level = 1;  // 1 normal, 2 warning, 3 protection (with hysteresis)
};

// The DSP: memory written by downloads, and what its firmware was told.
struct DspModel {
    using Page = std::array<uint8_t, kDspPageSize>;
    std::map<uint32_t, std::unique_ptr<Page>> memory;
    // The page written last, so that a download in order finds its page at once.
    uint32_t lastPageNumber = 0;
    Page* lastPage = nullptr;
    uint32_t bytesLoaded = 0;
    bool running = false, recognised = false, diagnostic = false;
    uint16_t info[5] = {0, 0, 0, 0, 0};
    int law = -1;
    uint16_t ring[19] = {};
    bool ringConfigured = false;
    bool monitoring = false;
    std::vector<uint16_t> commands;
};

struct ChipModel {
    bool initialised = false;
    int initMode = 0;
    unsigned connectMode = 0;
    unsigned master = 0;
    unsigned controlRegs[64] = {};
    std::vector<std::pair<unsigned, unsigned>> masterPairs;
    unsigned hbusSpeed[32] = {};
    unsigned lbusSpeed[16] = {};
    unsigned outputsSet = 0;
};

// The switch's connections in the order they were made; an output has one
// source, and a new one replaces the old one (which then leaves the order).
// Outputs on the usual streams and timeslots are found through a table,
// others through a hash map.
class ConnectionMap {
public:
    void Set(const Connection& c);
    void Clear();
    std::vector<Connection> List() const;
    size_t Size() const { return order_.size() - dead_; }  // outputs connected

private:
    static constexpr uint32_t kStreams = 64, kSlots = 256;
    struct Entry {
        Connection c;
        bool live;
    };
    // Where the output's entry number + 1 is kept (0: none yet).
    size_t& Position(const Connection& c);

    std::vector<Entry> order_;
    std::vector<size_t> table_;                    // by stream * kSlots + slot
    std::unordered_map<uint64_t, size_t> others_;  // by (stream << 32 | slot)
    size_t dead_ = 0;
};

struct Board {
    uint64_t id = 0;  // never reused: hmic handles and descriptors name boards by it
    unsigned bus = 0, slot = 0;
    std::map<uint32_t, uint8_t> registers;
    uint8_t eeprom[kEepromSize] = {};
    int logicalNumber = -1;
    bool heartbeat = false;
    uint32_t heartbeatRate = 0;
    bool ledOn = false;
    uint32_t shelf = 0, geographic = 0;
    DspModel dsp;
    SensorModel sensors[kSensors];
    std::map<uint16_t, uint16_t> reasons;  // injected reasons by command code
    uint16_t timestamp = 0;
    bool statusValid = false;
    uint16_t lastStatus[8] = {};
    uint16_t l2p[512];
    bool l2pLoaded = false;
    ConnectionMap connections;
    bool clockSet = false;
    uint32_t clock[9] = {};
    ChipModel chip;
    bool hasNextReply = false;  // SetNextReply
    uint8_t nextReply[kMessageSize] = {};
    PortInfo ports[kPorts]{};  // value-initialised: counts and flags start at 0
    unsigned openDevices = 0;
};

struct DeviceRec {
    uint64_t boardId = 0;  // 0 once the emulator was reset under it
};

struct Fault {
    uint32_t status;
    unsigned countdown;  // 0: every call
};

// The emulator's lock. Every driver call takes it (a start makes some 1,800
// calls), so taking and releasing it costs one atomic instruction each while
// nobody waits; a thread that finds it taken sleeps on a futex until the
// holder lets go. Not re-entrant.
class EmuLock {
public:
    void lock() {
        int free = 0;
        if (!m_State.compare_exchange_strong(free, 1, std::memory_order_acquire, std::memory_order_relaxed))
            Wait(free);
    }
    void unlock() {
        if (m_State.exchange(0, std::memory_order_release) == 2) Wake();
    }

private:
    void Wait(int state);
    void Wake();
    std::atomic<int> m_State{0};  // 0 free, 1 taken, 2 taken and a thread may be waiting
};

class Emulator {
public:
    EmuLock mutex;
    std::vector<std::unique_ptr<Board>> boards;
    std::map<uint64_t, std::unique_ptr<HandleRec>> handles;  // by handle number
    std::map<int, DeviceRec> devices;                        // by descriptor
    Journal journal;
    std::vector<Fault> faults[kFunctionCount];  // by function
    std::string switchName = "kvsw";
    uint64_t nextBoardId = 1;
    uint64_t nextHandle = 0x1000;

    // Everything below expects mutex to be held.
    void ResetLocked();
    Board* Find(unsigned bus, unsigned slot);
    Board* FindById(uint64_t id) {
        if (id != 0 && id == lastBoardId_) return lastBoard_;
        return FindBoard(id);
    }
    Board* AddLocked(unsigned bus, unsigned slot);
    void RemoveLocked(Board* board);
    HandleRec* Handle(void* handle) {
        const uint64_t number = reinterpret_cast<uintptr_t>(handle);
        if (number == lastHandleNumber_ && lastHandle_ != nullptr) return lastHandle_;
        return FindHandle(number);
    }
    Board* BoardOf(void* handle) {
        HandleRec* h = Handle(handle);
        return h != nullptr ? h->board : nullptr;
    }
    Board* BoardOfHmic(void* hmic);
    void CloseHandleLocked(uint64_t number);
    // Every change of handles goes through AddHandle, CloseHandleLocked,
    // RemoveLocked or ResetLocked, which forget the handle Handle found last.
    void AddHandle(uint64_t number, std::unique_ptr<HandleRec> handle);
    void ForgetHandles() {
        lastHandleNumber_ = 0;
        lastHandle_ = nullptr;
    }
    // Boards leave only through RemoveLocked and ResetLocked, which forget
    // the board FindById found last.
    void ForgetBoard() {
        lastBoardId_ = 0;
        lastBoard_ = nullptr;
    }
    // Whether the register can be written: it was before, or the board has
    // room for another address (kRegistersMax).
    bool Writable(const Board& board, uint32_t address) const;

    // True when the function's call is to fail; *status is what it answers.
    bool TakeFault(Fn function, uint32_t* status) {
        return !faults[static_cast<size_t>(function)].empty() && TakeFaultFrom(function, status);
    }
    // Journals the call under the board's location ("?:?" without a board)
    // with its status, and returns the status: unsigned for the driver calls
    // and the switch device, signed for the switch chip's calls.
    // The record is the call's, made by journal.Emplace when the call began.
    uint32_t Log(const Board* board, Record& record, uint32_t status);
    int LogInt(const Board* board, Record& record, int status);

    // Messages.
    void Queue(HandleRec& handle, std::vector<uint8_t> message);
    void SendToMonitoring(const Board& board, const std::vector<uint8_t>& message);
    std::vector<uint8_t> StatusMessage(Board& board, const uint16_t words[8]);
    void ComputeStatus(Board& board, uint16_t words[8]);
    // Sends a status event when the DSP monitors and the status changed.
    void StatusChanged(Board& board);

    // DSP.
    // BoardDspReset: a start begins, and the board's histories with it.
    void Restart(Board& board);
    void DspResetLocked(Board& board);
    void DspClearTold(Board& board);
    void DspStartLocked(Board& board);
    // The caller checked that the range fits (DspMemoryFits). A download in
    // order lands in the page written last, which is written to at once.
    void DspWrite(Board& board, uint32_t address, const uint8_t* data, uint32_t count);
    DspModel::Page& DspPage(Board& board, uint32_t number);
    void DspRead(const Board& board, uint32_t address, uint8_t* data, uint32_t count) const;
    bool DspMemoryFits(const Board& board, uint32_t address, uint32_t count) const;
    // Runs one well-formed command; fills reply (78 bytes).
    void DspCommand(Board& board, const uint8_t* command, uint32_t length, uint8_t reply[78]);

private:
    Board* FindBoard(uint64_t id);
    HandleRec* FindHandle(uint64_t number);
    bool TakeFaultFrom(Fn function, uint32_t* status);
    void DspWriteFrom(Board& board, uint32_t address, const uint8_t* data, uint32_t count);
    bool DspMemoryFitsNewPages(const Board& board, uint32_t address, uint32_t count) const;

    uint64_t lastHandleNumber_ = 0;  // the handle Handle found last
    HandleRec* lastHandle_ = nullptr;
    uint64_t lastBoardId_ = 0;  // the board FindById found last
    Board* lastBoard_ = nullptr;
};

// The one emulator of the process, made when the library is loaded; never
// destroyed: monitor threads may still call in while the process exits.
extern Emulator* const g_emulator;
inline Emulator& Emu() { return *g_emulator; }

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
void RegisterSwitchDevice();

inline uint32_t Emulator::Log(const Board* board, Record& record, uint32_t status) {
    if (board != nullptr) record.Locate(board->bus, board->slot);
    record.SetStatus(status, false);
    return status;
}

inline int Emulator::LogInt(const Board* board, Record& record, int status) {
    if (board != nullptr) record.Locate(board->bus, board->slot);
    record.SetStatus(static_cast<uint32_t>(status), true);
    return status;
}

inline bool Emulator::DspMemoryFits(const Board& board, uint32_t address, uint32_t count) const {
    if (count == 0) return true;
    uint64_t last = static_cast<uint64_t>(address) + count - 1;
    if (last > 0xFFFFFFFFull) return false;
    uint64_t spanned = last / kDspPageSize - address / kDspPageSize + 1;
    if (board.dsp.memory.size() + spanned <= kDspMaxPages) return true;  // fits even if every page is new
    return DspMemoryFitsNewPages(board, address, count);
}

inline void Emulator::DspWrite(Board& board, uint32_t address, const uint8_t* data, uint32_t count) {
    DspModel& d = board.dsp;
    const uint32_t offset = address % kDspPageSize;
    if (d.lastPage != nullptr && d.lastPageNumber == address / kDspPageSize &&
        count <= kDspPageSize - offset) {
        d.bytesLoaded += count;
        std::memcpy(d.lastPage->data() + offset, data, count);
        return;
    }
    DspWriteFrom(board, address, data, count);
}

}  // namespace detail
}  // namespace kvemu
