// The fifteen entry points that the supervisor resolves by name. Each one
// forwards to the plug-in object and turns a failure into its fixed code;
// nothing thrown inside the plug-in leaves through them.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>

#include "Supervisor.h"
#include "kvboardplugin.h"
#include "oam/boardplugin.h"

#define KV_EXPORT __attribute__((visibility("default")))

namespace {

constexpr uint32_t ZEL_QUALIFIER_UNKNOWN = 8;  // the framework's answer for a qualifier a keyword lacks

// The gate every entry point passes. A call counts itself in before it looks
// at the plug-in object and out when it is done; Exit closes the gate, waits
// until no call is inside, and only then destroys the object. Init opens it.
// A call that finds the gate closed answers "not initialised" without
// touching the object.
//
// The phase and the count of calls inside share one atomic word (phase in
// the top byte), so that a call learns the phase from its own count-in and
// either sees the gate closed or is seen by Exit. The codes make the calls'
// path short: an open gate's phase byte is 0, so the count-in's old word is
// at most the count mask; a closing gate's has the sign bit, so a count-out
// while closing leaves a negative word.
enum Phase : uint32_t { kOpen = 0x00, kClosed = 0x01, kOpening = 0x02, kClosing = 0x80 };
constexpr unsigned kPhaseShift = 24;
constexpr uint32_t kCountMask = (1u << kPhaseShift) - 1;

std::atomic<int32_t> g_gate{kClosed << kPhaseShift};
std::mutex g_drainLock;
std::condition_variable g_drained;

Phase PhaseOf(uint32_t gate) { return static_cast<Phase>(gate >> kPhaseShift); }

// Moves the gate from phase from to phase to, whatever the count; false
// when it was not in phase from.
bool MovePhase(Phase from, Phase to) {
    int32_t gate = g_gate.load();
    while (PhaseOf(static_cast<uint32_t>(gate)) == from) {
        const uint32_t moved = (static_cast<uint32_t>(gate) & kCountMask) | (uint32_t{to} << kPhaseShift);
        if (g_gate.compare_exchange_weak(gate, static_cast<int32_t>(moved))) return true;
    }
    return false;
}

// A call counted out of a closing gate: Exit, which waits, learns that no
// call is inside any more once the count is 0. Kept out of line: the calls'
// own path stays short.
__attribute__((noinline, cold)) void CountedOutWhileClosing() {
    if ((static_cast<uint32_t>(g_gate.load()) & kCountMask) != 0) return;
    std::lock_guard<std::mutex> guard(g_drainLock);
    g_drained.notify_all();
}

// Counts the calling call in while operation runs on the plug-in object: 0
// stays 0, any other result (or anything thrown) becomes failure; with the
// gate closed the answer is "not initialised" and the object is not touched.
template <class Operation>
inline uint32_t Pass(uint32_t failure, Operation operation) {
    uint32_t result;
    if (__builtin_expect(static_cast<uint32_t>(g_gate.fetch_add(1)) <= kCountMask, 1)) {  // open
        try {
            result = operation(boardPlugin);
        } catch (...) {
            result = failure;
        }
    } else {
        result = KV_E_NOT_INITIALISED;
    }
    if (__builtin_expect(--g_gate < 0, 0)) CountedOutWhileClosing();
    return result;
}

// As Pass, for an operation whose every non-zero result is failure.
template <class Operation>
inline uint32_t Forward(uint32_t failure, Operation operation) {
    return Pass(failure, [&](CKvBoardPlugIn* p) { return operation(p) == 0 ? 0 : failure; });
}

}  // namespace

extern "C" {

KV_EXPORT uint32_t Init(const char* text) {
    if (!MovePhase(kClosed, kOpening)) return KV_E_INIT;
    uint32_t result = KV_E_INIT;
    try {
        boardPlugin = new (std::nothrow) CKvBoardPlugIn();
        if (boardPlugin != nullptr) result = boardPlugin->Init(text) == 0 ? 0 : KV_E_INIT;
    } catch (...) {
        result = KV_E_INIT;
    }
    // A failed Init keeps its object, which a later Exit destroys.
    MovePhase(kOpening, boardPlugin != nullptr ? kOpen : kClosed);
    return result;
}

KV_EXPORT uint32_t Exit(void) {
    // From inside another entry point (the supervisor's own code, called
    // from the plug-in) or on a monitor thread the wait below would wait for
    // the caller itself.
    if (CSupervisor::InSupervisorCode() || CKvBoard::OnMonitorThread()) {
        return PhaseOf(static_cast<uint32_t>(g_gate.load())) == kOpen ? KV_E_EXIT : KV_E_NOT_INITIALISED;
    }
    if (!MovePhase(kOpen, kClosing)) return KV_E_NOT_INITIALISED;
    {
        std::unique_lock<std::mutex> guard(g_drainLock);
        g_drained.wait(guard, [] { return (static_cast<uint32_t>(g_gate.load()) & kCountMask) == 0; });
    }
    uint32_t result = 0;
    try {
        // Destroys every board and joins every monitor thread.
        if (boardPlugin->Exit() != 0) result = KV_E_EXIT;
    } catch (...) {
        result = KV_E_EXIT;
    }
    if (result != 0) {
        MovePhase(kClosing, kOpen);  // kept, and may be asked to exit again
        return result;
    }
    CKvBoardPlugIn* plugin = boardPlugin;
    boardPlugin = nullptr;
    delete plugin;
    MovePhase(kClosing, kClosed);
    return 0;
}

KV_EXPORT uint32_t DetectBoards(void) {
    return Forward(KV_E_DETECT, [](CKvBoardPlugIn* p) { return p->DetectBoards(); });
}

KV_EXPORT uint32_t CreateBoard(const char* boardName, const char* productName) {
    return Forward(KV_E_CREATE, [&](CKvBoardPlugIn* p) { return p->CreateBoard(boardName, productName); });
}

KV_EXPORT uint32_t DestroyBoard(const char* boardName) {
    return Forward(KV_E_DESTROY, [&](CKvBoardPlugIn* p) { return p->DestroyBoard(boardName); });
}

KV_EXPORT uint32_t GetKeyword(uint64_t handle, const char* keyword, char* value, uint32_t size) {
    return Forward(KV_E_GET_KEYWORD,
                   [&](CKvBoardPlugIn* p) { return p->GetKeyword(handle, keyword, value, size); });
}

KV_EXPORT uint32_t SetKeyword(uint64_t handle, const char* keyword, const char* value) {
    return Forward(KV_E_SET_KEYWORD,
                   [&](CKvBoardPlugIn* p) { return p->SetKeyword(handle, keyword, value); });
}

KV_EXPORT uint32_t GetQualifier(uint64_t handle, const char* keyword, const char* qualifier, char* value,
                                uint32_t size) {
    return Pass(KV_E_GET_QUALIFIER, [&](CKvBoardPlugIn* p) -> uint32_t {
        unsigned result = p->GetQualifier(handle, keyword, qualifier, value, size);
        if (result == 0) return 0;
        return result == ZEL_QUALIFIER_UNKNOWN ? KV_E_UNKNOWN_QUALIFIER : KV_E_GET_QUALIFIER;
    });
}

KV_EXPORT uint32_t OpenObject(uint64_t handle, uint32_t value) {
    return Forward(KV_E_OPEN_OBJECT, [&](CKvBoardPlugIn* p) { return p->OpenObject(handle, value); });
}

KV_EXPORT uint32_t CloseObject(uint64_t handle) {
    return Forward(KV_E_CLOSE_OBJECT, [&](CKvBoardPlugIn* p) { return p->CloseObject(handle); });
}

KV_EXPORT uint32_t StartBoard(const char* boardName) {
    return Forward(KV_E_START, [&](CKvBoardPlugIn* p) { return p->StartBoard(boardName); });
}

KV_EXPORT uint32_t StopBoard(const char* boardName) {
    return Forward(KV_E_STOP, [&](CKvBoardPlugIn* p) { return p->StopBoard(boardName); });
}

KV_EXPORT uint32_t TestBoard(const char* boardName, uint32_t value) {
    return Forward(KV_E_TEST, [&](CKvBoardPlugIn* p) { return p->TestBoard(boardName, value); });
}

KV_EXPORT uint32_t SendBuffer(const char* boardName, const void* buffer, uint32_t length) {
    return Forward(KV_E_SEND_BUFFER,
                   [&](CKvBoardPlugIn* p) { return p->SendBuffer(boardName, buffer, length); });
}

// Unlike the others, the result of the plug-in object is passed through as it is.
KV_EXPORT uint32_t AlertReceive(oam_msg_tag* message) {
    return Pass(1, [&](CKvBoardPlugIn* p) { return p->AlertReceive(message); });
}

}  // extern "C"
