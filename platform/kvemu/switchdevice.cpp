// The emulated boards' switch devices: "/dev/<switch driver name><NN>", NN
// the board's logical number in two digits. The device layer hands their
// opens, requests and closes to this provider; each applies the request to
// the board's connection map.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "emulator.h"
#include "kvd/kvdevice.h"

using kvemu::detail::Board;
using kvemu::detail::DeviceRec;
using kvemu::detail::Emu;
using kvemu::detail::Emulator;
using kvemu::detail::Fn;
using kvemu::detail::Format;
using kvemu::detail::Record;

namespace {

constexpr unsigned long kResetSwitch = 257;
constexpr unsigned long kSetOutput = 259;
constexpr unsigned long kBoardClock = 273;
constexpr uint32_t kMaxOutputEntries = 4096;

// Answers -1 with errno set when status is an error number, else 0.
int Answer(int status) {
    if (status == 0) return 0;
    errno = status;
    return -1;
}

int DeviceOpen(const char* path, int flags, void*) {
    Emulator& e = Emu();
    std::lock_guard<kvemu::detail::EmuLock> lock(e.mutex);
    Board* board = nullptr;
    for (auto& b : e.boards) {
        if (b->logicalNumber < 0) continue;
        std::string name = Format("/dev/%s%02d", e.switchName.c_str(), b->logicalNumber);
        if (name == path) {
            board = b.get();
            break;
        }
    }
    if (board == nullptr) return -2;  // not one of ours: the system's own open answers
    uint32_t length = static_cast<uint32_t>(std::strlen(path));
    Record& entry = e.journal.Emplace(Fn::open, "sx", {{path, length}}, length, flags);
    uint32_t status;
    if (e.TakeFault(Fn::open, &status)) {
        e.Log(board, entry, status);
        return Answer(static_cast<int>(status));
    }
    if ((flags & O_ACCMODE) != O_RDONLY) {
        e.Log(board, entry, EACCES);
        return Answer(EACCES);
    }
    // A real descriptor, so that its number cannot clash with any other.
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        e.Log(board, entry, static_cast<uint32_t>(error));
        return Answer(error);
    }
    e.devices[fd] = DeviceRec{board->id};
    e.Log(board, entry, 0);
    return fd;
}

int DeviceIoctl(int fd, unsigned long request, void* argument, void*) {
    Emulator& e = Emu();
    std::lock_guard<kvemu::detail::EmuLock> lock(e.mutex);
    auto device = e.devices.find(fd);
    Board* board = device != e.devices.end() ? e.FindById(device->second.boardId) : nullptr;
    const uint32_t* words = static_cast<const uint32_t*>(argument);
    // The record's words, as far as its size word allows reading them.
    uint32_t count = 0;
    if (words != nullptr) {
        count = 1;
        if (request == kSetOutput && words[0] >= 36 && (words[0] - 4) % 32 == 0 &&
            (words[0] - 4) / 32 <= kMaxOutputEntries)
            count = words[0] / 4;
        if (request == kBoardClock && words[0] == 36) count = 9;
    }
    uint64_t code = request;
    Record& entry = e.journal.Emplace(Fn::ioctl, "ln", {{words, 4 * count}}, static_cast<uint32_t>(code),
                                      static_cast<uint32_t>(code >> 32), count);
    uint32_t status;
    if (e.TakeFault(Fn::ioctl, &status)) {
        e.Log(board, entry, status);
        return Answer(static_cast<int>(status));
    }
    int error = 0;
    if (board == nullptr) {
        error = EBADF;
    } else if (words == nullptr) {
        error = EFAULT;
    } else if (request == kResetSwitch) {
        board->connections.Clear();
    } else if (request == kSetOutput) {
        if (count < 9) {
            error = EINVAL;
        } else {
            uint32_t entries = (words[0] - 4) / 32;
            for (uint32_t i = 0; i < entries && error == 0; ++i) {
                const uint32_t* entry = words + 1 + 8 * i;
                if (entry[0] != 1 || entry[3] != 2 || entry[4] != 1) error = EINVAL;
            }
            // The map has room for every entry even if all name new outputs.
            if (error == 0 && board->connections.Size() + entries > kvemu::detail::kConnectionsMax)
                error = ENOSPC;
            // An output has one source: a new connection replaces the old one.
            for (uint32_t i = 0; i < entries && error == 0; ++i) {
                const uint32_t* entry = words + 1 + 8 * i;
                board->connections.Set(kvemu::Connection{entry[5], entry[6], entry[1], entry[2]});
            }
        }
    } else if (request == kBoardClock) {
        if (count != 9) {
            error = EINVAL;
        } else {
            std::memcpy(board->clock, words, sizeof board->clock);
            board->clockSet = true;
        }
    } else {
        error = EINVAL;
    }
    e.Log(board, entry, static_cast<uint32_t>(error));
    return Answer(error);
}

int DeviceClose(int fd, void*) {
    Emulator& e = Emu();
    std::lock_guard<kvemu::detail::EmuLock> lock(e.mutex);
    auto device = e.devices.find(fd);
    if (device == e.devices.end()) {
        errno = EBADF;
        return -1;
    }
    Board* board = e.FindById(device->second.boardId);
    e.devices.erase(device);
    // The descriptor is gone whatever the answer, as with the system's close.
    ::close(fd);
    Record& entry = e.journal.Emplace(Fn::close, "", {});
    uint32_t status;
    if (e.TakeFault(Fn::close, &status)) {
        e.Log(board, entry, status);
        return Answer(static_cast<int>(status));
    }
    e.Log(board, entry, 0);
    return 0;
}

const KvDevProvider kProvider = {DeviceOpen, DeviceIoctl, DeviceClose, nullptr};

// The emulator claims its boards' switch devices as soon as it is loaded.
struct Registration {
    Registration() { kvDevSetProvider(&kProvider); }
} registration;

}  // namespace
