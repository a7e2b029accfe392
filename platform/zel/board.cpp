// The framework's board and plug-in objects: the keywords every board and the
// plug-in carry, the table of boards by name and handle, and board operations
// that stay safe while another thread destroys the board.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tsi/tsi.h"
#include "zel/zelframework.h"

namespace {

std::atomic<ZelDeviceEnumerator> g_enumerator{nullptr};

// Devices asked of the enumerator at most; guards against one that never ends.
constexpr unsigned kMaxDevices = 4096;

CZelKWStr* NewString(const char* name, const char* value) {
    return new CZelKWStr(name, value, nullptr, 0, 0, 16);
}

CZelKWStruct* NewStruct(const char* name, std::vector<CZelKeyword*> children) {
    return new CZelKWStruct(name, children.data(), static_cast<unsigned>(children.size()));
}

unsigned CopyText(const char* text, char* buffer, unsigned size) {
    if (buffer == nullptr || size == 0) return ZEL_ERR_INVALID_ARGUMENT;
    size_t len = std::strlen(text);
    if (len < size) {
        std::memcpy(buffer, text, len + 1);
        return ZEL_OK;
    }
    std::memcpy(buffer, text, size - 1);
    buffer[size - 1] = '\0';
    return ZEL_ERR_BUFFER_TOO_SMALL;
}

}  // namespace

void ZelSetDeviceEnumerator(ZelDeviceEnumerator enumerator) { g_enumerator.store(enumerator); }

// ---------------------------------------------------------------- CBoard

CBoard::CBoard(const char* name, const char* product) : CZelKWStruct(name, nullptr, 0), m_Product{} {
    std::snprintf(m_Product, sizeof(m_Product), "%s", product != nullptr ? product : "");

    static const char* const kStates[] = {"IDLE", "BOOTED"};
    AddKeyword(new CZelKWStr("State", "IDLE", const_cast<const char**>(kStates), 2, 0, 16));
    AddKeyword(new CZelKWInt("Number", -1, -1, 255, 0, 1));
    AddKeyword(NewStruct("Location", {NewString("Type", "None")}));
    AddKeyword(NewStruct("Driver", {NewString("Name", ""), NewString("BoardId", "-1")}));
    std::vector<CZelKeyword*> eeprom;
    for (const char* field : {"Family", "SoftwareCompatibility", "MFGYear", "MFGWeek", "ATETestBit", "SerialNum"})
        eeprom.push_back(new CZelKWInt(field, 0, 0, 0xFFFFFFFFL, ZEL_KW_READONLY, 1));
    AddKeyword(NewStruct("Eeprom", eeprom));
    AddKeyword(new CZelKWInt("BootDiagnosticLevel", 0, -65535, 65535, 0, 1));
    AddKeyword(NewStruct("Clocking", {NewString("Type", "None")}));
}

CBoard::~CBoard() {}

const char* CBoard::GetProduct() const { return m_Product; }
unsigned CBoard::Start() { return ZEL_ERR_NOT_SUPPORTED; }
unsigned CBoard::Stop() { return ZEL_ERR_NOT_SUPPORTED; }
unsigned CBoard::Test(unsigned) { return ZEL_ERR_NOT_SUPPORTED; }
unsigned CBoard::SendBuffer(const void*, unsigned) { return ZEL_ERR_NOT_SUPPORTED; }
bool CBoard::KeywordsValidate() { return true; }
void CBoard::Event() {}
void CBoard::Reset() {}

void CBoard::Shutdown() {}

// ---------------------------------------------------------------- CBoardPlugIn

namespace {

// One board of the table. Operations hold a reference while they run; a board
// leaves the table at once when it is destroyed, and is deleted when the last
// reference is given back.
struct BoardEntry {
    std::string name;
    uint64_t handle = 0;
    CBoard* board = nullptr;  // null while CreateProduct is making it
    unsigned users = 0;
    bool dying = false;       // being destroyed: unknown to new calls, name still taken
};

}  // namespace

struct CBoardPlugIn::Impl {
    std::mutex lock;                     // guards the table and the counters
    std::condition_variable released;    // a reference was given back
    std::vector<std::shared_ptr<BoardEntry>> boards;
    uint64_t nextHandle = 1;
    std::recursive_mutex ownKeywords;    // the plug-in's own keywords (handle 0)

    // The entry holding that name (a board made, being made or being
    // destroyed), or null. Caller holds lock.
    std::shared_ptr<BoardEntry> FindName(const char* name) {
        for (auto& entry : boards)
            if (tsiStricmp(entry->name.c_str(), name) == 0) return entry;
        return nullptr;
    }

    // The board of that name that calls may use, or null. Caller holds lock.
    std::shared_ptr<BoardEntry> FindLive(const char* name) {
        std::shared_ptr<BoardEntry> entry = FindName(name);
        return entry != nullptr && entry->board != nullptr && !entry->dying ? entry : nullptr;
    }

    std::shared_ptr<BoardEntry> Acquire(const char* name) {
        if (name == nullptr) return nullptr;
        std::lock_guard<std::mutex> guard(lock);
        std::shared_ptr<BoardEntry> entry = FindLive(name);
        if (entry == nullptr) return nullptr;
        ++entry->users;
        return entry;
    }

    std::shared_ptr<BoardEntry> Acquire(uint64_t handle) {
        std::lock_guard<std::mutex> guard(lock);
        for (auto& entry : boards)
            if (entry->board != nullptr && !entry->dying && entry->handle == handle) {
                ++entry->users;
                return entry;
            }
        return nullptr;
    }

    void Release(const std::shared_ptr<BoardEntry>& entry) {
        {
            std::lock_guard<std::mutex> guard(lock);
            --entry->users;
        }
        released.notify_all();
    }

    void Erase(const std::shared_ptr<BoardEntry>& entry) {
        for (auto it = boards.begin(); it != boards.end(); ++it)
            if (*it == entry) {
                boards.erase(it);
                return;
            }
    }

    // Marks a live entry dying (new calls no longer find it), waits until no
    // operation uses it, deletes the board, and only then frees the name, so
    // that a board of the same name cannot be made while the old one still
    // exists. Answers false when another thread is already destroying it.
    bool Destroy(const std::shared_ptr<BoardEntry>& entry) {
        std::unique_lock<std::mutex> guard(lock);
        if (entry->board == nullptr || entry->dying) return false;
        entry->dying = true;
        released.wait(guard, [&] { return entry->users == 0; });
        CBoard* board = entry->board;
        guard.unlock();
        board->Shutdown();
        delete board;
        guard.lock();
        entry->board = nullptr;
        Erase(entry);
        return true;
    }

    // Calls op on the board that the name or handle designates, holding a
    // reference for the duration of the call (never the table lock).
    template <typename Key, typename Op>
    unsigned WithBoard(Key key, Op op) {
        std::shared_ptr<BoardEntry> entry = Acquire(key);
        if (entry == nullptr) return ZEL_ERR_UNKNOWN_BOARD;
        unsigned result = op(entry->board);
        Release(entry);
        return result;
    }

    void DestroyAll() {
        for (;;) {
            std::shared_ptr<BoardEntry> entry;
            {
                std::lock_guard<std::mutex> guard(lock);
                for (auto& e : boards)
                    if (e->board != nullptr && !e->dying) {
                        entry = e;
                        break;
                    }
            }
            if (entry == nullptr) return;
            Destroy(entry);
        }
    }
};

CBoardPlugIn::CBoardPlugIn(CZelKeyword** initial, unsigned count)
    : CZelKWStruct("BoardPlugIn", initial, count), m_pImpl(new Impl) {
    if (GetKeywordByName("Products") == nullptr)
        AddKeyword(new CZelKWStrArray("Products", nullptr, 0, 0, 16));
    if (GetKeywordByName("Version") == nullptr)
        AddKeyword(NewStruct("Version", {new CZelKWInt("Major", 0, 0, 0x7FFFFFFF, 0, 1),
                                         new CZelKWInt("Minor", 0, 0, 0x7FFFFFFF, 0, 1)}));
}

CBoardPlugIn::~CBoardPlugIn() {
    m_pImpl->DestroyAll();
    delete m_pImpl;
}

unsigned CBoardPlugIn::Init(const char*) { return ZEL_OK; }

unsigned CBoardPlugIn::Exit() {
    m_pImpl->DestroyAll();
    return ZEL_OK;
}

unsigned CBoardPlugIn::DetectBoards() { return ZEL_OK; }

unsigned CBoardPlugIn::CreateBoard(const char* name, const char* product) {
    if (name == nullptr || *name == '\0' || product == nullptr) return ZEL_ERR_INVALID_ARGUMENT;
    Impl* impl = m_pImpl;
    // The name is reserved first, so that two creations of one name cannot
    // both succeed; CreateProduct (which may read files) runs unlocked.
    auto entry = std::make_shared<BoardEntry>();
    entry->name = name;
    {
        std::lock_guard<std::mutex> guard(impl->lock);
        if (impl->FindName(name) != nullptr) return ZEL_ERR_DUPLICATE;
        impl->boards.push_back(entry);
    }
    CBoard* board = CreateProduct(name, product);
    std::lock_guard<std::mutex> guard(impl->lock);
    if (board == nullptr) {
        impl->Erase(entry);
        return ZEL_ERR_CREATE_FAILED;
    }
    auto* number = dynamic_cast<CZelKWInt*>(board->GetKeywordByName("Number"));
    if (number != nullptr && number->GetIntValue() == -1) {
        std::vector<bool> taken(256, false);
        for (auto& other : impl->boards) {
            if (other->board == nullptr || other->dying) continue;  // a dying board may be mid-delete
            auto* n = dynamic_cast<CZelKWInt*>(other->board->GetKeywordByName("Number"));
            long value = n != nullptr ? n->GetIntValue() : -1;
            if (value >= 0 && value < static_cast<long>(taken.size())) taken[static_cast<size_t>(value)] = true;
        }
        for (size_t i = 0; i < taken.size(); ++i)
            if (!taken[i] && number->SetIntValue(static_cast<long>(i)) == ZEL_OK) break;
    }
    board->FreezeDefaults();  // "Default" answers what the board was created with
    entry->handle = impl->nextHandle++;
    entry->board = board;
    return ZEL_OK;
}

unsigned CBoardPlugIn::DestroyBoard(const char* name) {
    if (name == nullptr) return ZEL_ERR_INVALID_ARGUMENT;
    std::shared_ptr<BoardEntry> entry;
    {
        std::lock_guard<std::mutex> guard(m_pImpl->lock);
        entry = m_pImpl->FindLive(name);
        if (entry == nullptr) return ZEL_ERR_UNKNOWN_BOARD;
    }
    return m_pImpl->Destroy(entry) ? ZEL_OK : ZEL_ERR_UNKNOWN_BOARD;
}

unsigned CBoardPlugIn::StartBoard(const char* name) {
    return m_pImpl->WithBoard(name, [](CBoard* b) { return b->Start(); });
}

unsigned CBoardPlugIn::StopBoard(const char* name) {
    return m_pImpl->WithBoard(name, [](CBoard* b) { return b->Stop(); });
}

unsigned CBoardPlugIn::TestBoard(const char* name, unsigned value) {
    return m_pImpl->WithBoard(name, [value](CBoard* b) { return b->Test(value); });
}

unsigned CBoardPlugIn::SendBuffer(const char* name, const void* buffer, unsigned length) {
    return m_pImpl->WithBoard(name, [=](CBoard* b) { return b->SendBuffer(buffer, length); });
}

CBoard* CBoardPlugIn::CreateProduct(const char*, const char*) { return nullptr; }
bool CBoardPlugIn::SupportedDriver(const char*) { return false; }
bool CBoardPlugIn::KeywordsValidate() { return true; }

unsigned CBoardPlugIn::GetKeyword(uint32_t handle, const char* name, char* buffer, unsigned size) {
    return GetKeyword(static_cast<uint64_t>(handle), name, buffer, size);
}

unsigned CBoardPlugIn::SetKeyword(uint32_t handle, const char* name, const char* value) {
    return SetKeyword(static_cast<uint64_t>(handle), name, value);
}

unsigned CBoardPlugIn::GetQualifier(uint32_t handle, const char* name, const char* qualifier,
                                    char* buffer, unsigned size) {
    return GetQualifier(static_cast<uint64_t>(handle), name, qualifier, buffer, size);
}

unsigned CBoardPlugIn::GetKeyword(uint64_t handle, const char* name, char* buffer, unsigned size) {
    if (handle == 0) {
        std::lock_guard<std::recursive_mutex> guard(m_pImpl->ownKeywords);
        return GetKeywordValue(name, buffer, size);
    }
    return m_pImpl->WithBoard(handle, [&](CBoard* b) { return b->GetKeywordValue(name, buffer, size); });
}

unsigned CBoardPlugIn::SetKeyword(uint64_t handle, const char* name, const char* value) {
    if (handle == 0) {
        std::lock_guard<std::recursive_mutex> guard(m_pImpl->ownKeywords);
        return SetKeywordValue(name, value);
    }
    return m_pImpl->WithBoard(handle, [&](CBoard* b) { return b->SetKeywordValue(name, value); });
}

unsigned CBoardPlugIn::GetQualifier(uint64_t handle, const char* name, const char* qualifier,
                                    char* buffer, unsigned size) {
    if (handle == 0) {
        std::lock_guard<std::recursive_mutex> guard(m_pImpl->ownKeywords);
        return GetQualifierValue(name, qualifier, buffer, size);
    }
    return m_pImpl->WithBoard(handle,
                     [&](CBoard* b) { return b->GetQualifierValue(name, qualifier, buffer, size); });
}

unsigned CBoardPlugIn::OpenObject(uint64_t handle, unsigned) {
    if (handle == 0) return ZEL_OK;
    return m_pImpl->WithBoard(handle, [](CBoard*) { return static_cast<unsigned>(ZEL_OK); });
}

unsigned CBoardPlugIn::CloseObject(uint64_t handle) { return OpenObject(handle, 0); }

CBoard* CBoardPlugIn::GetBoardByName(const char* name) {
    if (name == nullptr) return nullptr;
    std::lock_guard<std::mutex> guard(m_pImpl->lock);
    std::shared_ptr<BoardEntry> entry = m_pImpl->FindLive(name);
    return entry != nullptr ? entry->board : nullptr;
}

CBoard* CBoardPlugIn::AcquireBoard(const char* name) {
    std::shared_ptr<BoardEntry> entry = m_pImpl->Acquire(name);
    return entry != nullptr ? entry->board : nullptr;
}

void CBoardPlugIn::ReleaseBoard(CBoard* board) {
    if (board == nullptr) return;
    Impl* impl = m_pImpl;
    {
        std::lock_guard<std::mutex> guard(impl->lock);
        // A held board stays in the table (dying at most) until its holds are back.
        for (auto& entry : impl->boards)
            if (entry->board == board && entry->users != 0) {
                --entry->users;
                break;
            }
    }
    impl->released.notify_all();
}

uint64_t CBoardPlugIn::GetBoardHandle(const char* name) {
    if (name == nullptr) return 0;
    std::lock_guard<std::mutex> guard(m_pImpl->lock);
    std::shared_ptr<BoardEntry> entry = m_pImpl->FindLive(name);
    return entry != nullptr ? entry->handle : 0;
}

unsigned CBoardPlugIn::AddDetectedBoardsKeywords(const char* prefix, const char* pluginName) {
    std::lock_guard<std::recursive_mutex> guard(m_pImpl->ownKeywords);
    // Each detection starts from an empty list.
    RemoveKeyword("DetectedBoards");
    auto* detected = new CZelKWStructArray("DetectedBoards", nullptr, 0);
    unsigned result = AddKeyword(detected);
    if (result != ZEL_OK) {
        delete detected;
        return result;
    }
    ZelDeviceEnumerator enumerator = g_enumerator.load();
    if (enumerator == nullptr) return ZEL_OK;
    unsigned found = 0;
    for (unsigned i = 0; i < kMaxDevices; ++i) {
        char driver[256] = {};
        unsigned bus = 0, slot = 0;
        if (enumerator(i, driver, sizeof(driver) - 1, &bus, &slot) != 0) break;
        driver[sizeof(driver) - 1] = '\0';
        if (!SupportedDriver(driver)) continue;
        char name[160];
        std::snprintf(name, sizeof(name), "%s%u", prefix != nullptr ? prefix : "", found++);
        detected->AddKeyword(NewStruct(
            "", {NewString("Name", name), NewString("Driver", driver),
                 NewString("Plugin", pluginName != nullptr ? pluginName : ""),
                 new CZelKWInt("Bus", static_cast<long>(bus), 0, 0xFFFFFFFFL, 0, 1),
                 new CZelKWInt("Slot", static_cast<long>(slot), 0, 0xFFFFFFFFL, 0, 1)}));
    }
    return ZEL_OK;
}

unsigned CBoardPlugIn::GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) {
    // The plug-in object is object handle 0.
    if (qualifier != nullptr && tsiStricmp(qualifier, "Handle") == 0) return CopyText("0", buffer, size);
    return CZelKWStruct::GetOwnQualifier(qualifier, buffer, size);
}

unsigned CBoardPlugIn::GetQualifierValue(const char* name, const char* qualifier, char* buffer,
                                         unsigned size) {
    // "Handle" of a board's name: how a supervisor learns the object handle
    // that names the board in GetKeyword, SetKeyword and GetQualifier.
    if (name != nullptr && *name != '\0' && qualifier != nullptr && tsiStricmp(qualifier, "Handle") == 0) {
        uint64_t handle = GetBoardHandle(name);
        if (handle != 0) {
            char text[32];
            std::snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(handle));
            return CopyText(text, buffer, size);
        }
    }
    return CZelKWStruct::GetQualifierValue(name, qualifier, buffer, size);
}
