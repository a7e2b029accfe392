// The emulated boards: state, journal, faults, messages and the DSP model.
#include "emulator.h"

#include <linux/futex.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kvemu {
namespace detail {

namespace {

void Put16(uint8_t* at, uint16_t value) { std::memcpy(at, &value, 2); }
void Put32(uint8_t* at, uint32_t value) { std::memcpy(at, &value, 4); }
uint16_t Get16(const uint8_t* at) {
    uint16_t value;
    std::memcpy(&value, at, 2);
    return value;
}

// A plausible EEPROM record at 128 (host byte order), 0xFF elsewhere.
void DefaultEeprom(uint8_t eeprom[kEepromSize]) {
    std::memset(eeprom, 0xFF, kEepromSize);
    uint8_t* r = eeprom + kEepromRecordAddress;
    Put16(r + 0, 0x7400);   // Family
    Put16(r + 2, 3);        // TestLevel
    r[4] = 1;               // TestLevelRev
    r[5] = 2;               // SoftwareCompatibility
    Put16(r + 6, 0x0148);   // OAMProductNo
    Put16(r + 8, 2004);     // MFGYear
    r[10] = 23;             // MFGWeek
    r[11] = 1;              // ATETestBit
    Put32(r + 12, 100234);  // SerialNum
    Put32(r + 16, 0);       // not used
    Put32(r + 20, 5);       // AssemblyRevision
}

}  // namespace

namespace {

Emulator* NewEmulator() {
    Emulator* e = new Emulator;
    std::lock_guard<EmuLock> lock(e->mutex);
    e->ResetLocked();
    return e;
}

}  // namespace

Emulator* const g_emulator = NewEmulator();

// ---- The lock ------------------------------------------------------------------
// Taken: 1 while nobody waits, 2 once a thread may be waiting; whoever finds it
// taken marks it 2 and sleeps until the holder's unlock wakes one waiter.

void EmuLock::Wait(int state) {
    if (state != 2) state = m_State.exchange(2, std::memory_order_acquire);
    while (state != 0) {
        syscall(SYS_futex, reinterpret_cast<int*>(&m_State), FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
        state = m_State.exchange(2, std::memory_order_acquire);
    }
}

void EmuLock::Wake() {
    syscall(SYS_futex, reinterpret_cast<int*>(&m_State), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

std::string Format(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(args, format);
    vsnprintf(&big[0], big.size(), format, args);
    va_end(args);
    big.resize(static_cast<size_t>(n));
    return big;
}

// ---- Switch connections ------------------------------------------------------

size_t& ConnectionMap::Position(const Connection& c) {
    if (c.outStream < kStreams && c.outSlot < kSlots) {
        if (table_.empty()) table_.assign(kStreams * kSlots, 0);
        return table_[c.outStream * kSlots + c.outSlot];
    }
    return others_[static_cast<uint64_t>(c.outStream) << 32 | c.outSlot];
}

void ConnectionMap::Set(const Connection& c) {
    size_t& position = Position(c);
    if (position != 0) {
        order_[position - 1].live = false;
        ++dead_;
    }
    order_.push_back(Entry{c, true});
    position = order_.size();
    if (dead_ > 64 && dead_ > order_.size() / 2) {  // drop the replaced entries
        size_t kept = 0;
        for (size_t i = 0; i < order_.size(); ++i)
            if (order_[i].live) {
                order_[kept++] = order_[i];
                Position(order_[i].c) = kept;
            }
        order_.resize(kept);
        dead_ = 0;
    }
}

void ConnectionMap::Clear() {
    for (const Entry& e : order_)
        if (e.live && e.c.outStream < kStreams && e.c.outSlot < kSlots)
            table_[e.c.outStream * kSlots + e.c.outSlot] = 0;
    order_.clear();
    others_.clear();
    dead_ = 0;
}

std::vector<Connection> ConnectionMap::List() const {
    std::vector<Connection> list;
    list.reserve(order_.size() - dead_);
    for (const Entry& e : order_)
        if (e.live) list.push_back(e.c);
    return list;
}

// ---- Boards and handles ----------------------------------------------------

void Emulator::ResetLocked() {
    for (auto& entry : handles)
        if (entry.second->muxFd >= 0) ::close(entry.second->muxFd);
    handles.clear();
    ForgetHandles();
    // The descriptors stay open until their owner closes them, so that their
    // numbers cannot be reused under it; they no longer reach a board.
    for (auto& entry : devices) entry.second.boardId = 0;
    boards.clear();
    ForgetBoard();
    journal.Clear();
    for (auto& list : faults) list.clear();
    switchName = "kvsw";
    AddLocked(0, 0);
}

Board* Emulator::Find(unsigned bus, unsigned slot) {
    for (auto& b : boards)
        if (b->bus == bus && b->slot == slot) return b.get();
    return nullptr;
}

Board* Emulator::FindBoard(uint64_t id) {
    if (id == 0) return nullptr;
    for (auto& b : boards)
        if (b->id == id) {
            lastBoardId_ = id;
            lastBoard_ = b.get();
            return lastBoard_;
        }
    return nullptr;
}

Board* Emulator::AddLocked(unsigned bus, unsigned slot) {
    if (Find(bus, slot) != nullptr) return nullptr;
    std::unique_ptr<Board> board(new Board);
    board->id = nextBoardId++;
    board->bus = bus;
    board->slot = slot;
    board->registers[0xA0008] = 0xE0;  // all three line banks populated
    DefaultEeprom(board->eeprom);
    board->geographic = slot;
    std::fill(std::begin(board->l2p), std::end(board->l2p), 0xFFFF);
    boards.push_back(std::move(board));
    return boards.back().get();
}

void Emulator::RemoveLocked(Board* board) {
    ForgetHandles();
    for (auto it = handles.begin(); it != handles.end();) {
        if (it->second->boardId == board->id) {
            if (it->second->muxFd >= 0) ::close(it->second->muxFd);
            it = handles.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& entry : devices)
        if (entry.second.boardId == board->id) entry.second.boardId = 0;
    ForgetBoard();
    boards.erase(std::remove_if(boards.begin(), boards.end(),
                                [board](const std::unique_ptr<Board>& b) { return b.get() == board; }),
                 boards.end());
}

HandleRec* Emulator::FindHandle(uint64_t number) {
    auto it = handles.find(number);
    if (it == handles.end()) return nullptr;
    lastHandleNumber_ = number;
    lastHandle_ = it->second.get();
    return lastHandle_;
}

void Emulator::AddHandle(uint64_t number, std::unique_ptr<HandleRec> handle) {
    handles[number] = std::move(handle);
    ForgetHandles();
}

// A switch-chip handle is the board's id with a tag bit, never dereferenced.
Board* Emulator::BoardOfHmic(void* hmic) {
    uintptr_t value = reinterpret_cast<uintptr_t>(hmic);
    if ((value & 0x40000000u) == 0) return nullptr;
    return FindById(value & ~static_cast<uintptr_t>(0x40000000u));
}

void Emulator::CloseHandleLocked(uint64_t number) {
    ForgetHandles();
    auto it = handles.find(number);
    if (it == handles.end()) return;
    if (it->second->muxFd >= 0) ::close(it->second->muxFd);
    handles.erase(it);
}

bool Emulator::Writable(const Board& board, uint32_t address) const {
    return board.registers.size() < kRegistersMax || board.registers.count(address) != 0;
}

// ---- Journal and faults ----------------------------------------------------

bool Emulator::TakeFaultFrom(Fn function, uint32_t* status) {
    std::vector<Fault>& list = faults[static_cast<size_t>(function)];
    bool fire = false;
    // Counted faults first: each call brings every one of them a step closer.
    for (auto f = list.begin(); f != list.end();) {
        if (f->countdown > 0 && --f->countdown == 0) {
            if (!fire) *status = f->status;
            fire = true;
            f = list.erase(f);
        } else {
            ++f;
        }
    }
    if (!fire) {
        for (const Fault& f : list)
            if (f.countdown == 0) {
                *status = f.status;
                fire = true;
                break;
            }
    }
    return fire;
}

// ---- Messages --------------------------------------------------------------

void Emulator::Queue(HandleRec& handle, std::vector<uint8_t> message) {
    if (handle.queue.size() >= kQueueMax) return;  // a reader that never reads loses the newest
    bool wasEmpty = handle.queue.empty();
    handle.queue.push_back(std::move(message));
    if (wasEmpty && handle.muxFd >= 0) {
        uint64_t one = 1;
        ssize_t n = ::write(handle.muxFd, &one, sizeof one);
        (void)n;
    }
}

void Emulator::SendToMonitoring(const Board& board, const std::vector<uint8_t>& message) {
    for (auto& entry : handles)
        if (entry.second->boardId == board.id && entry.second->monitoring) Queue(*entry.second, message);
}

std::vector<uint8_t> Emulator::StatusMessage(Board& board, const uint16_t words[8]) {
    std::vector<uint8_t> m(kMessageSize, 0);
    Put32(&m[0], 2);
    Put16(&m[4], 14);
    Put16(&m[6], 0x8000);
    Put16(&m[8], 0xFFFF);
    Put16(&m[10], ++board.timestamp);
    Put16(&m[12], 0x15);
    Put16(&m[14], 0x10);
    for (unsigned i = 0; i < 8; ++i) Put16(&m[16 + 2 * i], words[i]);
    return m;
}

void Emulator::ComputeStatus(Board& board, uint16_t words[8]) {
    std::fill(words, words + 8, 0);
    uint8_t feeds = board.registers.count(0xA0002) ? board.registers[0xA0002] : 0;
    uint8_t population = board.registers.count(0xA0008) ? board.registers[0xA0008] : 0;
    words[0] = static_cast<uint16_t>(((feeds >> 1) & 1) | (((feeds >> 2) & 1) << 1) |
                                     (((feeds >> 3) & 1) << 2) | (((~feeds) & 1) << 3));
    words[1] = static_cast<uint16_t>((population >> 5) & 7);
    unsigned thermal = 0;
    for (unsigned i = 0; i < kSensors; ++i) {
        SensorModel& s = board.sensors[i];
        if (!s.running) continue;
        words[6] = static_cast<uint16_t>(words[6] | (1u << i));
        // Enter a state at its high threshold; leave it only below its low one.
        int t = s.temperature;
        unsigned level = 1;
        if (t >= s.protectionHigh || (s.level == 3 && t >= s.protectionLow))
            level = 3;
        else if (t >= s.warningHigh || (s.level >= 2 && t >= s.warningLow))
            level = 2;
        s.level = level;
        thermal = std::max(thermal, level);
    }
    words[7] = static_cast<uint16_t>(thermal);
}

void Emulator::StatusChanged(Board& board) {
    if (!board.dsp.running || !board.dsp.monitoring) {
        board.statusValid = false;
        return;
    }
    uint16_t words[8];
    ComputeStatus(board, words);
    if (board.statusValid && std::equal(words, words + 8, board.lastStatus)) return;
    std::copy(words, words + 8, board.lastStatus);
    board.statusValid = true;
    SendToMonitoring(board, StatusMessage(board, words));
}

// ---- DSP ---------------------------------------------------------------------

void Emulator::DspClearTold(Board& board) {
    DspModel& d = board.dsp;
    d.law = -1;
    std::fill(std::begin(d.ring), std::end(d.ring), 0);
    d.ringConfigured = false;
    d.monitoring = false;
    for (SensorModel& s : board.sensors) {
        int temperature = s.temperature;
        s = SensorModel();
        s.temperature = temperature;
    }
    board.statusValid = false;
}

void Emulator::Restart(Board& board) {
    DspResetLocked(board);
    for (PortInfo& port : board.ports) port.commands.clear();
    board.chip.masterPairs.clear();
}

void Emulator::DspResetLocked(Board& board) {
    DspModel& d = board.dsp;
    d.memory.clear();
    d.lastPage = nullptr;
    d.bytesLoaded = 0;
    d.running = false;
    d.recognised = false;
    d.diagnostic = false;
    std::fill(std::begin(d.info), std::end(d.info), 0);
    d.commands.clear();
    DspClearTold(board);
}

// Whether the pages of the range that are not there yet still fit; the range
// (of count > 0 bytes) ends below 4 GiB.
bool Emulator::DspMemoryFitsNewPages(const Board& board, uint32_t address, uint32_t count) const {
    uint64_t last = static_cast<uint64_t>(address) + count - 1;
    size_t newPages = 0;
    for (uint64_t page = address / kDspPageSize; page <= last / kDspPageSize; ++page)
        if (board.dsp.memory.find(static_cast<uint32_t>(page)) == board.dsp.memory.end()) ++newPages;
    return board.dsp.memory.size() + newPages <= kDspMaxPages;
}

DspModel::Page& Emulator::DspPage(Board& board, uint32_t number) {
    DspModel& d = board.dsp;
    if (d.lastPage != nullptr && d.lastPageNumber == number) return *d.lastPage;
    std::unique_ptr<DspModel::Page>& page = d.memory[number];
    if (!page) page.reset(new DspModel::Page());  // value-initialised: zero
    d.lastPageNumber = number;
    d.lastPage = page.get();
    return *page;
}

void Emulator::DspWriteFrom(Board& board, uint32_t address, const uint8_t* data, uint32_t count) {
    board.dsp.bytesLoaded += count;
    while (count > 0) {
        uint32_t offset = address % kDspPageSize;
        uint32_t n = std::min(count, kDspPageSize - offset);
        std::memcpy(DspPage(board, address / kDspPageSize).data() + offset, data, n);
        address += n;
        data += n;
        count -= n;
    }
}

void Emulator::DspRead(const Board& board, uint32_t address, uint8_t* data, uint32_t count) const {
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t a = address + i;
        auto it = board.dsp.memory.find(a / kDspPageSize);
        data[i] = it == board.dsp.memory.end() ? 0 : (*it->second)[a % kDspPageSize];
    }
}

// The firmware runs when its image starts with "KVDSPFW1" (operational) or
// "KVDSPDG1" (diagnostic) followed by five 16-bit words for GetInfo.
void Emulator::DspStartLocked(Board& board) {
    uint8_t head[18];
    DspRead(board, 0, head, sizeof head);
    DspModel& d = board.dsp;
    bool operational = std::memcmp(head, "KVDSPFW1", 8) == 0;
    bool diagnostic = std::memcmp(head, "KVDSPDG1", 8) == 0;
    DspClearTold(board);
    d.recognised = operational || diagnostic;
    d.diagnostic = diagnostic;
    d.running = d.recognised;
    for (unsigned i = 0; i < 5; ++i)
        d.info[i] = d.recognised ? static_cast<uint16_t>(head[8 + 2 * i] | (head[9 + 2 * i] << 8)) : 0;
}

void Emulator::DspCommand(Board& board, const uint8_t* command, uint32_t length, uint8_t reply[78]) {
    DspModel& d = board.dsp;
    uint16_t handle = Get16(command + 8);
    uint16_t code = Get16(command + 10);
    unsigned count = (length - 12) / 2;
    uint16_t p[33] = {};
    for (unsigned i = 0; i < count; ++i) p[i] = Get16(command + 12 + 2 * i);
    KeepNewest(d.commands, code, kDspCommandsMax);

    uint16_t reason = 0;
    auto injected = board.reasons.find(code);
    bool refused = injected != board.reasons.end();
    if (refused) reason = injected->second;

    uint16_t words[6] = {0, 0, 0, 0, 0, 0};  // params[1..]
    unsigned extra = 0;
    bool sensorCommand = code == 0x11 || code == 0x12 || code == 0x13 || code == 0x14;
    unsigned sensor = count > 0 ? p[0] : 0xFFFF;
    bool statusMayChange = false;
    if (sensorCommand) {
        words[0] = static_cast<uint16_t>(sensor);
        extra = code == 0x14 ? 3 : 1;
    }
    bool applied = !refused;
    auto bad = [&]() {
        if (!refused) reason = kReasonBadParameter;
        applied = false;
    };
    switch (code) {
    case 0x00:  // SoftReset: the firmware forgets what it was told
        if (applied) DspClearTold(board);
        break;
    case 0x02:
    case 0x04:
    case 0x08:
    case 0x09: break;
    case 0x03:
        for (unsigned i = 0; i < 5; ++i) words[i] = d.info[i];
        extra = 5;
        break;
    case 0x06:
        if (count != 1 || p[0] > 1) bad();
        if (applied) d.law = p[0];
        break;
    case 0x07:
        if (count != 19) bad();
        if (applied) {
            std::copy(p, p + 19, d.ring);
            d.ringConfigured = true;
        }
        break;
    case 0x11:
    case 0x12:
    case 0x14:
        if (count != 1 || sensor >= kSensors) bad();
        if (applied && code == 0x11) board.sensors[sensor].running = true;
        if (applied && code == 0x12) board.sensors[sensor].running = false;
        if (applied && code == 0x14) words[1] = static_cast<uint16_t>(board.sensors[sensor].temperature);
        statusMayChange = applied && code != 0x14;
        break;
    case 0x13:
        if (count != 5 || sensor >= kSensors) bad();
        if (applied) {
            SensorModel& s = board.sensors[sensor];
            s.configured = true;
            s.warningLow = p[1];
            s.warningHigh = p[2];
            s.protectionLow = p[3];
            s.protectionHigh = p[4];
            statusMayChange = true;
        }
        break;
    case 0x15:
        if (applied) {
            d.monitoring = true;
            board.statusValid = false;
            statusMayChange = true;
        }
        break;
    case 0x16:
        if (applied) {
            d.monitoring = false;
            board.statusValid = false;
        }
        break;
    default:
        if (!refused) reason = kReasonUnknownCommand;
        break;
    }

    std::memset(reply, 0, kMessageSize);
    Put32(reply, 2);
    Put16(reply + 4, static_cast<uint16_t>(6 + extra));
    Put16(reply + 6, 0x8000);
    Put16(reply + 8, handle);
    Put16(reply + 10, ++board.timestamp);
    Put16(reply + 12, code);
    Put16(reply + 14, reason);
    for (unsigned i = 0; i < extra; ++i) Put16(reply + 16 + 2 * i, words[i]);
    if (statusMayChange) StatusChanged(board);
}

}  // namespace detail

// ---- Control ---------------------------------------------------------------

using detail::Board;
using detail::Emu;
using detail::Emulator;

namespace {

struct Locked {
    Emulator& e = Emu();
    std::lock_guard<detail::EmuLock> lock{e.mutex};
};

}  // namespace

void Reset() {
    Locked l;
    l.e.ResetLocked();
}

int AddBoard(unsigned bus, unsigned slot) {
    Locked l;
    return l.e.AddLocked(bus, slot) != nullptr ? 0 : -1;
}

int RemoveBoard(unsigned bus, unsigned slot) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr) return -1;
    l.e.RemoveLocked(b);
    return 0;
}

std::vector<std::pair<unsigned, unsigned>> Boards() {
    Locked l;
    std::vector<std::pair<unsigned, unsigned>> list;
    for (auto& b : l.e.boards) list.emplace_back(b->bus, b->slot);
    return list;
}

const char* DriverName() { return "kv7400cpci"; }

void SetSwitchDriverName(const char* name) {
    Locked l;
    l.e.switchName = (name != nullptr && name[0] != '\0') ? name : "kvsw";
}

std::string SwitchDriverName() {
    Locked l;
    return l.e.switchName;
}

int SetEeprom(unsigned bus, unsigned slot, const uint8_t record[24]) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || record == nullptr) return -1;
    std::memcpy(b->eeprom + detail::kEepromRecordAddress, record, 24);
    return 0;
}

int SetTemperature(unsigned bus, unsigned slot, unsigned sensor, int degrees) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || sensor >= detail::kSensors) return -1;
    b->sensors[sensor].temperature = degrees;
    l.e.StatusChanged(*b);
    return 0;
}

int SetPhysicalSlot(unsigned bus, unsigned slot, uint32_t shelf, uint32_t geographic) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr) return -1;
    b->shelf = shelf;
    b->geographic = geographic;
    return 0;
}

int ReadRegister(unsigned bus, unsigned slot, uint32_t address, uint8_t* value) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || value == nullptr) return -1;
    auto it = b->registers.find(address);
    *value = it == b->registers.end() ? 0 : it->second;
    return 0;
}

int WriteRegister(unsigned bus, unsigned slot, uint32_t address, uint8_t value) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || !l.e.Writable(*b, address)) return -1;
    b->registers[address] = value;
    l.e.StatusChanged(*b);
    return 0;
}

std::vector<std::string> Journal() {
    Locked l;
    return l.e.journal.Lines();
}

size_t JournalSize() {
    Locked l;
    return l.e.journal.Size();
}

void ClearJournal() {
    Locked l;
    l.e.journal.Clear();
}

bool KnownFunction(const char* function) {
    detail::Fn fn;
    return detail::FindFunction(function, &fn);
}

int SetFault(const char* function, uint32_t status, unsigned nth) {
    detail::Fn fn;
    if (!detail::FindFunction(function, &fn)) return -1;
    Locked l;
    auto& list = l.e.faults[static_cast<size_t>(fn)];
    if (status == 0) {
        list.clear();
        return 0;
    }
    if (nth == 0) {
        // One standing fault per function: the newest status wins.
        list.erase(
            std::remove_if(list.begin(), list.end(), [](const detail::Fault& f) { return f.countdown == 0; }),
            list.end());
    } else if (std::count_if(list.begin(), list.end(), [](const detail::Fault& f) {
                   return f.countdown != 0;
               }) >= static_cast<std::ptrdiff_t>(detail::kFaultsMax)) {
        return -1;
    }
    list.push_back(detail::Fault{status, nth});
    return 0;
}

void ClearFaults() {
    Locked l;
    for (auto& list : l.e.faults) list.clear();
}

int GetBoardInfo(unsigned bus, unsigned slot, BoardInfo* info) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || info == nullptr) return -1;
    info->logicalNumber = b->logicalNumber;
    info->openHandles = 0;
    for (auto& h : l.e.handles)
        if (h.second->boardId == b->id) ++info->openHandles;
    info->openDevices = 0;
    for (auto& d : l.e.devices)
        if (d.second.boardId == b->id) ++info->openDevices;
    info->heartbeat = b->heartbeat;
    info->heartbeatRate = b->heartbeatRate;
    info->ledOn = b->ledOn;
    return 0;
}

int GetDspState(unsigned bus, unsigned slot, DspState* state) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || state == nullptr) return -1;
    const detail::DspModel& d = b->dsp;
    state->running = d.running;
    state->recognised = d.recognised;
    state->bytesLoaded = d.bytesLoaded;
    state->law = d.law;
    std::copy(std::begin(d.ring), std::end(d.ring), state->ring);
    state->ringConfigured = d.ringConfigured;
    for (unsigned i = 0; i < detail::kSensors; ++i) {
        const detail::SensorModel& s = b->sensors[i];
        DspState::Sensor& o = state->sensors[i];
        o.configured = s.configured;
        o.running = s.running;
        o.warningLow = s.warningLow;
        o.warningHigh = s.warningHigh;
        o.protectionLow = s.protectionLow;
        o.protectionHigh = s.protectionHigh;
        o.temperature = s.temperature;
    }
    state->monitoring = d.monitoring;
    state->firmwareRevision = d.info[0];
    state->mipsVersion = d.info[1];
    state->numberPorts = d.info[2];
    state->cpuMeter = d.info[3];
    state->tokensAvailable = d.info[4];
    state->commands = d.commands;
    return 0;
}

int GetStatusWords(unsigned bus, unsigned slot, uint16_t words[8]) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || words == nullptr) return -1;
    l.e.ComputeStatus(*b, words);
    return 0;
}

int SetDspReason(unsigned bus, unsigned slot, uint16_t code, uint16_t reason) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr) return -1;
    if (reason == 0)
        b->reasons.erase(code);
    else
        b->reasons[code] = reason;
    return 0;
}

int ReadDspMemory(unsigned bus, unsigned slot, uint32_t address, uint8_t* data, uint32_t count) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || (data == nullptr && count > 0)) return -1;
    if (count > 0 && static_cast<uint64_t>(address) + count - 1 > 0xFFFFFFFFull) return -1;
    l.e.DspRead(*b, address, data, count);
    return 0;
}

int GetL2PEntry(unsigned bus, unsigned slot, unsigned stream, unsigned timeslot, uint16_t* value) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || value == nullptr || stream >= 8 || timeslot >= 64) return -1;
    *value = b->l2p[stream * 64 + timeslot];
    return 0;
}

bool L2PLoaded(unsigned bus, unsigned slot) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    return b != nullptr && b->l2pLoaded;
}

int GetConnections(unsigned bus, unsigned slot, std::vector<Connection>* connections) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || connections == nullptr) return -1;
    *connections = b->connections.List();
    return 0;
}

bool GetClockRecord(unsigned bus, unsigned slot, uint32_t record[9]) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || !b->clockSet || record == nullptr) return false;
    std::copy(b->clock, b->clock + 9, record);
    return true;
}

int GetSwitchChip(unsigned bus, unsigned slot, SwitchChip* chip) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || chip == nullptr) return -1;
    const detail::ChipModel& c = b->chip;
    chip->deviceType = detail::kDeviceType;
    chip->initialised = c.initialised;
    chip->connectMode = c.connectMode;
    std::copy(std::begin(c.controlRegs), std::end(c.controlRegs), chip->controlRegs);
    chip->masterPairs = c.masterPairs;
    std::copy(std::begin(c.hbusSpeed), std::end(c.hbusSpeed), chip->hbusSpeed);
    std::copy(std::begin(c.lbusSpeed), std::end(c.lbusSpeed), chip->lbusSpeed);
    chip->outputsSet = c.outputsSet;
    return 0;
}

int GetPortInfo(unsigned bus, unsigned slot, unsigned port, PortInfo* info) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || info == nullptr || port >= detail::kPorts) return -1;
    *info = b->ports[port];
    return 0;
}

namespace {

// A board-manager-style message: two 32-bit words, the source and a code.
int SendTwoWords(unsigned bus, unsigned slot, uint32_t manager, uint32_t code) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr) return -1;
    std::vector<uint8_t> m(8, 0);
    detail::Put32(&m[0], manager);
    detail::Put32(&m[4], code);
    l.e.SendToMonitoring(*b, m);
    return 0;
}

}  // namespace

int SendHeartbeat(unsigned bus, unsigned slot, bool lost) { return SendTwoWords(bus, slot, 1, lost ? 1 : 2); }

int SendStatus(unsigned bus, unsigned slot, const uint16_t params[8]) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || params == nullptr) return -1;
    l.e.SendToMonitoring(*b, l.e.StatusMessage(*b, params));
    return 0;
}

int SendDspMessage(unsigned bus, unsigned slot, uint16_t type, uint16_t length,
                   const std::vector<uint16_t>& params) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || params.size() > 32) return -1;
    std::vector<uint8_t> m(detail::kMessageSize, 0);
    detail::Put32(&m[0], 2);
    detail::Put16(&m[4], length);
    detail::Put16(&m[6], 0x8000);
    detail::Put16(&m[8], 0xFFFF);
    detail::Put16(&m[10], ++b->timestamp);
    detail::Put16(&m[12], type);
    for (size_t i = 0; i < params.size(); ++i) detail::Put16(&m[14 + 2 * i], params[i]);
    l.e.SendToMonitoring(*b, m);
    return 0;
}

int SendManagerMessage(unsigned bus, unsigned slot, uint32_t manager) {
    return SendTwoWords(bus, slot, manager, 0);
}

int QueueMessage(unsigned bus, unsigned slot, const void* bytes, uint32_t size) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || size > detail::kRawMessageMax || (bytes == nullptr && size > 0)) return -1;
    const uint8_t* raw = static_cast<const uint8_t*>(bytes);
    l.e.SendToMonitoring(*b, std::vector<uint8_t>(raw, raw + size));
    return 0;
}

int SetNextReply(unsigned bus, unsigned slot, const void* bytes, uint32_t size) {
    Locked l;
    Board* b = l.e.Find(bus, slot);
    if (b == nullptr || size > detail::kMessageSize) return -1;
    b->hasNextReply = bytes != nullptr;
    std::memset(b->nextReply, 0, sizeof b->nextReply);
    if (bytes != nullptr && size > 0) std::memcpy(b->nextReply, bytes, size);
    return 0;
}

}  // namespace kvemu
