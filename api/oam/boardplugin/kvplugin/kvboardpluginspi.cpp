// The fifteen entry points that the supervisor resolves by name. Each one
// forwards to the plug-in object and turns a failure into its fixed code;
// nothing thrown inside the plug-in leaves through them.
#include "oam/boardplugin.h"

#include <new>

#include "kvboardplugin.h"

#define KV_EXPORT __attribute__((visibility("default")))

namespace {

constexpr uint32_t KV_E_NOT_INITIALISED = 0x40000002;
constexpr uint32_t KV_E_UNKNOWN_QUALIFIER = 0x40000004;
constexpr uint32_t KV_E_INIT = 0x40000101;
constexpr uint32_t KV_E_EXIT = 0x40000102;
constexpr uint32_t KV_E_DETECT = 0x40000104;
constexpr uint32_t KV_E_CREATE = 0x40000105;
constexpr uint32_t KV_E_DESTROY = 0x40000106;
constexpr uint32_t KV_E_GET_KEYWORD = 0x40000107;
constexpr uint32_t KV_E_SET_KEYWORD = 0x40000108;
constexpr uint32_t KV_E_GET_QUALIFIER = 0x40000109;
constexpr uint32_t KV_E_OPEN_OBJECT = 0x4000010A;
constexpr uint32_t KV_E_CLOSE_OBJECT = 0x4000010B;
constexpr uint32_t KV_E_START = 0x4000010C;
constexpr uint32_t KV_E_STOP = 0x4000010D;
constexpr uint32_t KV_E_TEST = 0x4000010F;
constexpr uint32_t KV_E_SEND_BUFFER = 0x40000110;
constexpr uint32_t ZEL_QUALIFIER_UNKNOWN = 8;  // the framework's answer for a qualifier a keyword lacks

// Calls operation on the plug-in object: 0 stays 0, any other result (or
// anything thrown) becomes failure; before Init the answer is "not initialised".
template <class Operation>
uint32_t Forward(uint32_t failure, Operation operation)
{
    if (boardPlugin == nullptr) return KV_E_NOT_INITIALISED;
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
    if (boardPlugin != nullptr) return KV_E_INIT;
    try {
        boardPlugin = new (std::nothrow) CKvBoardPlugIn();
        if (boardPlugin == nullptr) return KV_E_INIT;
        return boardPlugin->Init(text) == 0 ? 0 : KV_E_INIT;
    } catch (...) {
        return KV_E_INIT;
    }
}

KV_EXPORT uint32_t Exit(void)
{
    if (boardPlugin == nullptr) return KV_E_NOT_INITIALISED;
    try {
        if (boardPlugin->Exit() != 0) return KV_E_EXIT;
        CKvBoardPlugIn* plugin = boardPlugin;
        boardPlugin = nullptr;
        delete plugin;
        return 0;
    } catch (...) {
        return KV_E_EXIT;
    }
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
    if (boardPlugin == nullptr) return KV_E_NOT_INITIALISED;
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
    if (boardPlugin == nullptr) return KV_E_NOT_INITIALISED;
    try {
        return boardPlugin->AlertReceive(message);
    } catch (...) {
        return 1;
    }
}

}  // extern "C"
