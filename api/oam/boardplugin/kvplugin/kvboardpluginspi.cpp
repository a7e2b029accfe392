// The fifteen entry points that the supervisor resolves by name. Each one
// forwards to the plug-in object and turns a failure into its fixed code;
// nothing thrown inside the plug-in leaves through them.
#include "oam/boardplugin.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>

#include "kvboardplugin.h"

#define KV_EXPORT __attribute__((visibility("default")))

namespace {

constexpr uint32_t ZEL_QUALIFIER_UNKNOWN = 8;  // the framework's answer for a qualifier a keyword lacks

// The gate every entry point passes. A call counts itself in before it looks
// at the plug-in object and out when it is done; Exit closes the gate, waits
// until no call is inside, and only then destroys the object. Init opens it.
// A call that finds the gate closed answers "not initialised" without
// touching the object.
//
// Counting in and reading the phase are sequentially consistent on both sides
// (a call: count in, then read the phase; Exit: close, then read the count),
// so either the call sees the gate closed or Exit sees the call.
enum Phase : int { kClosed, kOpening, kOpen, kClosing };

std::atomic<int> g_phase{kClosed};
std::atomic<unsigned> g_inside{0};
std::mutex g_drainLock;
std::condition_variable g_drained;

// Entry points the calling thread is inside (callbacks from the plug-in to
// the supervisor may call in again).
thread_local unsigned t_depth = 0;

class Pass {
public:
    Pass() : m_Open(false) {
        ++t_depth;
        g_inside.fetch_add(1);
        m_Open = g_phase.load() == kOpen;
    }
    ~Pass() {
        --t_depth;
        if (g_inside.fetch_sub(1) == 1 && g_phase.load() == kClosing) {
            std::lock_guard<std::mutex> guard(g_drainLock);
            g_drained.notify_all();
        }
    }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    bool Open() const { return m_Open; }

private:
    bool m_Open;
};

// Calls operation on the plug-in object: 0 stays 0, any other result (or
// anything thrown) becomes failure; before Init the answer is "not initialised".
template <class Operation>
uint32_t Forward(uint32_t failure, Operation operation)
{
    Pass pass;
    if (!pass.Open()) return KV_E_NOT_INITIALISED;
    try {
        return operation(boardPlugin) == 0 ? 0 : failure;
    } catch (...) {
        return failure;
    }
}

}  // namespace

extern "C" {

KV_EXPORT uint32_t Init(const char* text)
{
    int closed = kClosed;
    if (!g_phase.compare_exchange_strong(closed, kOpening)) return KV_E_INIT;
    uint32_t result = KV_E_INIT;
    try {
        boardPlugin = new (std::nothrow) CKvBoardPlugIn();
        if (boardPlugin != nullptr) result = boardPlugin->Init(text) == 0 ? 0 : KV_E_INIT;
    } catch (...) {
        result = KV_E_INIT;
    }
    // A failed Init keeps its object, which a later Exit destroys.
    g_phase.store(boardPlugin != nullptr ? kOpen : kClosed);
    return result;
}

KV_EXPORT uint32_t Exit(void)
{
    // From inside another entry point (a callback of the supervisor's) or on
    // a monitor thread the wait below would wait for the caller itself.
    if (t_depth != 0 || CKvBoard::OnMonitorThread()) {
        return g_phase.load() == kOpen ? KV_E_EXIT : KV_E_NOT_INITIALISED;
    }
    int open = kOpen;
    if (!g_phase.compare_exchange_strong(open, kClosing)) return KV_E_NOT_INITIALISED;
    {
        std::unique_lock<std::mutex> guard(g_drainLock);
        g_drained.wait(guard, [] { return g_inside.load() == 0; });
    }
    uint32_t result = 0;
    try {
        // Destroys every board and joins every monitor thread.
        if (boardPlugin->Exit() != 0) result = KV_E_EXIT;
    } catch (...) {
        result = KV_E_EXIT;
    }
    if (result != 0) {
        g_phase.store(kOpen);  // kept, and may be asked to exit again
        return result;
    }
    CKvBoardPlugIn* plugin = boardPlugin;
    boardPlugin = nullptr;
    delete plugin;
    g_phase.store(kClosed);
    return 0;
}

KV_EXPORT uint32_t DetectBoards(void)
{
    return Forward(KV_E_DETECT, [](CKvBoardPlugIn* p) { return p->DetectBoards(); });
}

KV_EXPORT uint32_t CreateBoard(const char* boardName, const char* productName)
{
    return Forward(KV_E_CREATE,
                   [&](CKvBoardPlugIn* p) { return p->CreateBoard(boardName, productName); });
}

KV_EXPORT uint32_t DestroyBoard(const char* boardName)
{
    return Forward(KV_E_DESTROY, [&](CKvBoardPlugIn* p) { return p->DestroyBoard(boardName); });
}

KV_EXPORT uint32_t GetKeyword(uint64_t handle, const char* keyword, char* value, uint32_t size)
{
    return Forward(KV_E_GET_KEYWORD,
                   [&](CKvBoardPlugIn* p) { return p->GetKeyword(handle, keyword, value, size); });
}

KV_EXPORT uint32_t SetKeyword(uint64_t handle, const char* keyword, const char* value)
{
    return Forward(KV_E_SET_KEYWORD,
                   [&](CKvBoardPlugIn* p) { return p->SetKeyword(handle, keyword, value); });
}

KV_EXPORT uint32_t GetQualifier(uint64_t handle, const char* keyword, const char* qualifier,
                                char* value, uint32_t size)
{
    Pass pass;
    if (!pass.Open()) return KV_E_NOT_INITIALISED;
    try {
        unsigned result = boardPlugin->GetQualifier(handle, keyword, qualifier, value, size);
        if (result == 0) return 0;
        return result == ZEL_QUALIFIER_UNKNOWN ? KV_E_UNKNOWN_QUALIFIER : KV_E_GET_QUALIFIER;
    } catch (...) {
        return KV_E_GET_QUALIFIER;
    }
}

KV_EXPORT uint32_t OpenObject(uint64_t handle, uint32_t value)
{
    return Forward(KV_E_OPEN_OBJECT, [&](CKvBoardPlugIn* p) { return p->OpenObject(handle, value); });
}

KV_EXPORT uint32_t CloseObject(uint64_t handle)
{
    return Forward(KV_E_CLOSE_OBJECT, [&](CKvBoardPlugIn* p) { return p->CloseObject(handle); });
}

KV_EXPORT uint32_t StartBoard(const char* boardName)
{
    return Forward(KV_E_START, [&](CKvBoardPlugIn* p) { return p->StartBoard(boardName); });
}

KV_EXPORT uint32_t StopBoard(const char* boardName)
{
    return Forward(KV_E_STOP, [&](CKvBoardPlugIn* p) { return p->StopBoard(boardName); });
}

KV_EXPORT uint32_t TestBoard(const char* boardName, uint32_t value)
{
    return Forward(KV_E_TEST, [&](CKvBoardPlugIn* p) { return p->TestBoard(boardName, value); });
}

KV_EXPORT uint32_t SendBuffer(const char* boardName, const void* buffer, uint32_t length)
{
    return Forward(KV_E_SEND_BUFFER,
                   [&](CKvBoardPlugIn* p) { return p->SendBuffer(boardName, buffer, length); });
}

// Unlike the others, the result of the plug-in object is passed through as it is.
KV_EXPORT uint32_t AlertReceive(oam_msg_tag* message)
{
    Pass pass;
    if (!pass.Open()) return KV_E_NOT_INITIALISED;
    try {
        return boardPlugin->AlertReceive(message);
    } catch (...) {
        return 1;
    }
}

}  // extern "C"
