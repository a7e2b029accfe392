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
#include <unordered_map>
#include <vector>

#include "copyout.h"
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

using zel::CopyOut;

}  // namespace

void ZelSetDeviceEnumerator(ZelDeviceEnumerator enumerator) { g_enumerator.store(enumerator); }

// ---------------------------------------------------------------- CBoard

CBoard::CBoard(const char* name, const char* product)
    : CZelKWStruct(name, nullptr, 0), m_Product{}, m_pTableEntry(nullptr) {
    std::snprintf(m_Product, sizeof(m_Product), "%s", product != nullptr ? product : "");

    static const char* const kStates[] = {"IDLE", "BOOTED"};
    AddKeyword(new CZelKWStr("State", "IDLE", const_cast<const char**>(kStates), 2, 0, 16));
    AddKeyword(new CZelKWInt("Number", -1, -1, 255, 0, 1));
    AddKeyword(NewStruct("Location", {NewString("Type", "None")}));
    AddKeyword(NewStruct("Driver", {NewString("Name", ""), NewString("BoardId", "-1")}));
    std::vector<CZelKeyword*> eeprom;
    for (const char* field :
         {"Family", "SoftwareCompatibility", "MFGYear", "MFGWeek", "ATETestBit", "SerialNum"})
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

struct BoardTable;

// One board of the table. Operations hold a reference while they run; a board
// leaves the look-ups at once when it is destroyed, and is deleted when the
// last reference is given back (its name stays taken until then).
struct BoardEntry {
    BoardTable* table = nullptr;
    std::string name;
    std::string key;  // the name folded to lower case
    uint64_t handle = 0;
    CBoard* board = nullptr;  // null while CreateProduct is making it
    unsigned users = 0;
    bool dying = false;      // being destroyed: unknown to new calls, name still taken
    bool ownThread = false;  // the board's own thread still has to call OwnThreadDone
    bool lastOut = false;    // whoever lets go last deletes the board (no caller waits)
    bool ending = false;     // being deleted right now
};

char FoldChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

std::string FoldName(const char* name) {
    std::string key(name);
    for (char& c : key) c = FoldChar(c);
    return key;
}

// A hash of a name as FoldName folds it, taken from the name itself.
uint64_t NameHash(const char* name, size_t* length) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    const char* p = name;
    for (; *p != '\0'; ++p) {
        hash ^= static_cast<unsigned char>(FoldChar(*p));
        hash *= 1099511628211ull;
    }
    *length = static_cast<size_t>(p - name);
    // Mixed, so that the low bits that choose a slot depend on every character.
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdull;
    hash ^= hash >> 33;
    return hash;
}

// The entries by folded name: open addressing with linear probing, at most a
// quarter full, so that finding a board by name takes the same few steps
// however many boards there are and wherever the board stands among them.
// Each slot keeps the name's hash, so that a probe that passes another board
// costs a comparison of two numbers.
class NameIndex {
public:
    // The entry of that name (any case), or null.
    const std::shared_ptr<BoardEntry>* Find(const char* name) const {
        const size_t at = Locate(name);
        return at != kNone ? &m_Slots[at].entry : nullptr;
    }

    // Adds the entry under its key (already folded); false when the key is taken.
    bool Insert(const std::shared_ptr<BoardEntry>& entry) {
        if (Find(entry->key.c_str()) != nullptr) return false;
        if (4 * (m_Count + 1) > m_Slots.size()) Grow();
        size_t length = 0;
        Place(NameHash(entry->key.c_str(), &length), entry);
        ++m_Count;
        return true;
    }

    // Removes that very entry (not another of its name).
    void Erase(const BoardEntry* entry) {
        size_t hole = Locate(entry->key.c_str());
        if (hole == kNone || m_Slots[hole].entry.get() != entry) return;
        m_Slots[hole] = Slot();
        --m_Count;
        // Entries after the hole move back into it unless their own slot lies
        // between the hole and them (the probe sequences stay unbroken).
        for (size_t j = (hole + 1) & m_Mask; m_Slots[j].entry != nullptr; j = (j + 1) & m_Mask) {
            const size_t home = m_Slots[j].hash & m_Mask;
            const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
            if (stays) continue;
            m_Slots[hole] = std::move(m_Slots[j]);
            m_Slots[j] = Slot();
            hole = j;
        }
    }

    bool Empty() const { return m_Count == 0; }

    // Calls f(entry) on every entry, in no particular order; f must not change the index.
    template <typename F>
    void ForEach(F f) const {
        for (const Slot& slot : m_Slots)
            if (slot.entry != nullptr) f(slot.entry);
    }

private:
    struct Slot {
        uint64_t hash = 0;
        std::shared_ptr<BoardEntry> entry;
    };

    static constexpr size_t kNone = ~static_cast<size_t>(0);

    // The slot of the entry of that name (any case), or kNone.
    size_t Locate(const char* name) const {
        if (m_Count == 0) return kNone;
        size_t length = 0;
        const uint64_t hash = NameHash(name, &length);
        for (size_t i = hash & m_Mask; m_Slots[i].entry != nullptr; i = (i + 1) & m_Mask)
            if (m_Slots[i].hash == hash && Same(m_Slots[i].entry->key, name, length)) return i;
        return kNone;
    }

    // Whether the folded key is the name (of that length), folded.
    static bool Same(const std::string& key, const char* name, size_t length) {
        if (key.size() != length) return false;
        for (size_t i = 0; i < length; ++i)
            if (key[i] != FoldChar(name[i])) return false;
        return true;
    }

    void Place(uint64_t hash, std::shared_ptr<BoardEntry> entry) {
        size_t i = hash & m_Mask;
        while (m_Slots[i].entry != nullptr) i = (i + 1) & m_Mask;
        m_Slots[i].hash = hash;
        m_Slots[i].entry = std::move(entry);
    }

    void Grow() {
        std::vector<Slot> old(m_Slots.empty() ? 8 : 2 * m_Slots.size());
        old.swap(m_Slots);
        m_Mask = m_Slots.size() - 1;
        for (Slot& slot : old)
            if (slot.entry != nullptr) Place(slot.hash, std::move(slot.entry));
    }

    std::vector<Slot> m_Slots;  // a power of two long
    size_t m_Mask = 0;
    size_t m_Count = 0;
};

// The entries that the calling thread holds (operations in progress on its
// stack), so that it is never made to wait for itself.
constexpr unsigned kHeldMax = 32;
thread_local BoardEntry* t_held[kHeldMax];
thread_local unsigned t_heldCount = 0;

void PushHeld(BoardEntry* entry) {
    if (t_heldCount < kHeldMax) t_held[t_heldCount] = entry;
    ++t_heldCount;
}

// Every hold lasts one call on one thread, so a thread gives its holds back
// in the reverse order it took them.
void PopHeld() { --t_heldCount; }

bool HeldByMe(const BoardEntry* entry) {
    unsigned top = t_heldCount < kHeldMax ? t_heldCount : kHeldMax;
    for (unsigned i = 0; i < top; ++i)
        if (t_held[i] == entry) return true;
    return false;
}

struct BoardTable {
    std::mutex lock;                   // guards the table, the maps and the counters
    std::condition_variable released;  // a reference was given back, or an entry left
    // Every entry by folded name (made, being made or being destroyed), and
    // the boards that calls may use by handle.
    NameIndex byName;
    std::unordered_map<uint64_t, std::shared_ptr<BoardEntry>> byHandle;
    uint64_t nextHandle = 1;

    static bool Live(const std::shared_ptr<BoardEntry>& entry) {
        return entry != nullptr && entry->board != nullptr && !entry->dying;
    }

    // The board of that name that calls may use, or null. Caller holds lock.
    std::shared_ptr<BoardEntry> FindLive(const char* name) {
        if (name == nullptr) return nullptr;
        const std::shared_ptr<BoardEntry>* entry = byName.Find(name);
        return entry != nullptr && Live(*entry) ? *entry : nullptr;
    }

    // The board of that handle that calls may use, or null. Caller holds lock.
    std::shared_ptr<BoardEntry> FindLive(uint64_t handle) {
        auto it = byHandle.find(handle);
        return it != byHandle.end() && Live(it->second) ? it->second : nullptr;
    }

    // Gives back one reference; the last one out of a board that nobody waits
    // for deletes it.
    void Release(BoardEntry* entry) {
        PopHeld();
        std::unique_lock<std::mutex> guard(lock);
        --entry->users;
        if (!entry->dying) return;
        if (Deletable(entry)) {
            End(entry, guard);
            return;
        }
        guard.unlock();
        released.notify_all();
    }

    static bool Deletable(const BoardEntry* entry) {
        return entry->lastOut && entry->users == 0 && !entry->ownThread && !entry->ending;
    }

    void Erase(BoardEntry* entry) {
        byName.Erase(entry);
        released.notify_all();
    }

    // Deletes the board of a dying entry that nobody uses any more, then frees
    // its name. Caller holds lock (through guard); it is released meanwhile.
    void End(BoardEntry* entry, std::unique_lock<std::mutex>& guard) {
        // The entry outlives its erasure here.
        const std::shared_ptr<BoardEntry>* found = byName.Find(entry->key.c_str());
        std::shared_ptr<BoardEntry> keep = found != nullptr ? *found : nullptr;
        entry->ending = true;
        CBoard* board = entry->board;
        guard.unlock();
        board->Shutdown();
        delete board;
        guard.lock();
        entry->board = nullptr;
        Erase(entry);
    }

    // Takes a live entry out of the look-ups and destroys its board: at once
    // when the board says the calling thread must not wait for its end (the
    // board ends on a thread of its own later), else once no operation uses it. Answers
    // ZEL_ERR_UNKNOWN_BOARD when another thread is already destroying it,
    // ZEL_ERR_BUSY when the calling thread itself holds it.
    unsigned Destroy(const std::shared_ptr<BoardEntry>& entry) {
        std::unique_lock<std::mutex> guard(lock);
        if (!Live(entry)) return ZEL_ERR_UNKNOWN_BOARD;
        if (HeldByMe(entry.get())) return ZEL_ERR_BUSY;
        entry->dying = true;
        byHandle.erase(entry->handle);
        CBoard* board = entry->board;
        // Set before the board is asked: once it has answered, its own thread
        // may call OwnThreadDone at any time, even before the answer is seen here.
        entry->ownThread = true;
        guard.unlock();
        // Asked unlocked: the board may send messages from here.
        bool deferred = board->EndsOnOwnThread();
        guard.lock();
        if (deferred) {
            entry->lastOut = true;
            if (Deletable(entry.get())) End(entry.get(), guard);  // its thread was quicker
            return ZEL_OK;
        }
        entry->ownThread = false;
        released.wait(guard, [&] { return entry->users == 0; });
        End(entry.get(), guard);
        return ZEL_OK;
    }

    // The board's own thread has let go of a board whose end it was left.
    void OwnThreadDone(BoardEntry* entry) {
        std::unique_lock<std::mutex> guard(lock);
        entry->ownThread = false;
        if (Deletable(entry)) End(entry, guard);
    }

    // Calls op on the board that the name or handle designates, holding a
    // reference for the duration of the call (never the table lock). With
    // notHeld, a thread that is already inside an operation on that board is
    // refused (it would start or stop the board under itself).
    template <typename Key, typename Op>
    unsigned WithBoard(Key key, Op op, bool notHeld = false) {
        std::shared_ptr<BoardEntry> entry;
        {
            std::lock_guard<std::mutex> guard(lock);
            entry = FindLive(key);
            if (entry == nullptr) return ZEL_ERR_UNKNOWN_BOARD;
            if (notHeld && HeldByMe(entry.get())) return ZEL_ERR_BUSY;
            ++entry->users;
            PushHeld(entry.get());
        }
        unsigned result = op(entry->board);
        Release(entry.get());
        return result;
    }

    // Destroys every board and waits for those whose end another thread has
    // begun (or is making), until the table is empty.
    void DestroyAll() {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            std::shared_ptr<BoardEntry> live;
            byName.ForEach([&live](const std::shared_ptr<BoardEntry>& entry) {
                if (live == nullptr && Live(entry)) live = entry;
            });
            if (live != nullptr) {
                guard.unlock();
                Destroy(live);
                guard.lock();
                continue;
            }
            if (byName.Empty()) return;
            released.wait(guard);
        }
    }
};

}  // namespace

void CBoard::OwnThreadDone() {
    auto* entry = static_cast<BoardEntry*>(m_pTableEntry);
    if (entry != nullptr) entry->table->OwnThreadDone(entry);
}

bool CBoard::EndsOnOwnThread() { return false; }

struct CBoardPlugIn::Impl {
    BoardTable table;
    std::recursive_mutex ownKeywords;  // the plug-in's own keywords (handle 0)
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
    m_pImpl->table.DestroyAll();
    ZelJoinEndedThreads();
    delete m_pImpl;
}

unsigned CBoardPlugIn::Init(const char*) { return ZEL_OK; }

unsigned CBoardPlugIn::Exit() {
    m_pImpl->table.DestroyAll();
    ZelJoinEndedThreads();
    return ZEL_OK;
}

unsigned CBoardPlugIn::DetectBoards() { return ZEL_OK; }

unsigned CBoardPlugIn::CreateBoard(const char* name, const char* product) {
    if (name == nullptr || *name == '\0' || product == nullptr) return ZEL_ERR_INVALID_ARGUMENT;
    if (strnlen(name, ZEL_NAME_MAX) >= ZEL_NAME_MAX) return ZEL_ERR_INVALID_ARGUMENT;
    BoardTable& table = m_pImpl->table;
    // The name is reserved first, so that two creations of one name cannot
    // both succeed; CreateProduct (which may read files) runs unlocked.
    auto entry = std::make_shared<BoardEntry>();
    entry->table = &table;
    entry->name = name;
    entry->key = FoldName(name);
    {
        std::lock_guard<std::mutex> guard(table.lock);
        if (!table.byName.Insert(entry)) return ZEL_ERR_DUPLICATE;
    }
    CBoard* board = CreateProduct(name, product);
    std::lock_guard<std::mutex> guard(table.lock);
    if (board == nullptr) {
        table.Erase(entry.get());
        return ZEL_ERR_CREATE_FAILED;
    }
    auto* number = dynamic_cast<CZelKWInt*>(board->GetKeywordByName("Number"));
    if (number != nullptr && number->GetIntValue() == -1) {
        std::vector<bool> taken(256, false);
        table.byName.ForEach([&taken](const std::shared_ptr<BoardEntry>& other) {
            if (!BoardTable::Live(other)) return;  // a dying board may be mid-delete
            auto* n = dynamic_cast<CZelKWInt*>(other->board->GetKeywordByName("Number"));
            long value = n != nullptr ? n->GetIntValue() : -1;
            if (value >= 0 && value < static_cast<long>(taken.size()))
                taken[static_cast<size_t>(value)] = true;
        });
        for (size_t i = 0; i < taken.size(); ++i)
            if (!taken[i] && number->SetIntValue(static_cast<long>(i)) == ZEL_OK) break;
    }
    board->FreezeDefaults();  // "Default" answers what the board was created with
    entry->handle = table.nextHandle++;
    entry->board = board;
    board->m_pTableEntry = entry.get();
    table.byHandle.emplace(entry->handle, entry);
    table.released.notify_all();  // Exit may be waiting for boards being made
    return ZEL_OK;
}

unsigned CBoardPlugIn::DestroyBoard(const char* name) {
    if (name == nullptr) return ZEL_ERR_INVALID_ARGUMENT;
    BoardTable& table = m_pImpl->table;
    std::shared_ptr<BoardEntry> entry;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        entry = table.FindLive(name);
        if (entry == nullptr) return ZEL_ERR_UNKNOWN_BOARD;
    }
    return table.Destroy(entry);
}

unsigned CBoardPlugIn::StartBoard(const char* name) {
    return m_pImpl->table.WithBoard(
        name, [](CBoard* b) { return b->Start(); }, true);
}

unsigned CBoardPlugIn::StopBoard(const char* name) {
    return m_pImpl->table.WithBoard(
        name, [](CBoard* b) { return b->Stop(); }, true);
}

unsigned CBoardPlugIn::TestBoard(const char* name, unsigned value) {
    return m_pImpl->table.WithBoard(name, [value](CBoard* b) { return b->Test(value); });
}

unsigned CBoardPlugIn::SendBuffer(const char* name, const void* buffer, unsigned length) {
    return m_pImpl->table.WithBoard(name, [=](CBoard* b) { return b->SendBuffer(buffer, length); });
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

unsigned CBoardPlugIn::GetQualifier(uint32_t handle, const char* name, const char* qualifier, char* buffer,
                                    unsigned size) {
    return GetQualifier(static_cast<uint64_t>(handle), name, qualifier, buffer, size);
}

unsigned CBoardPlugIn::GetKeyword(uint64_t handle, const char* name, char* buffer, unsigned size) {
    if (handle == 0) {
        std::lock_guard<std::recursive_mutex> guard(m_pImpl->ownKeywords);
        return GetKeywordValue(name, buffer, size);
    }
    return m_pImpl->table.WithBoard(handle,
                                    [&](CBoard* b) { return b->GetKeywordValue(name, buffer, size); });
}

unsigned CBoardPlugIn::SetKeyword(uint64_t handle, const char* name, const char* value) {
    if (handle == 0) {
        std::lock_guard<std::recursive_mutex> guard(m_pImpl->ownKeywords);
        return SetKeywordValue(name, value);
    }
    return m_pImpl->table.WithBoard(handle, [&](CBoard* b) { return b->SetKeywordValue(name, value); });
}

unsigned CBoardPlugIn::GetQualifier(uint64_t handle, const char* name, const char* qualifier, char* buffer,
                                    unsigned size) {
    if (handle == 0) {
        std::lock_guard<std::recursive_mutex> guard(m_pImpl->ownKeywords);
        return GetQualifierValue(name, qualifier, buffer, size);
    }
    return m_pImpl->table.WithBoard(
        handle, [&](CBoard* b) { return b->GetQualifierValue(name, qualifier, buffer, size); });
}

unsigned CBoardPlugIn::OpenObject(uint64_t handle, unsigned) {
    if (handle == 0) return ZEL_OK;
    return m_pImpl->table.WithBoard(handle, [](CBoard*) { return static_cast<unsigned>(ZEL_OK); });
}

unsigned CBoardPlugIn::CloseObject(uint64_t handle) { return OpenObject(handle, 0); }

CBoard* CBoardPlugIn::GetBoardByName(const char* name) {
    if (name == nullptr) return nullptr;
    BoardTable& table = m_pImpl->table;
    std::lock_guard<std::mutex> guard(table.lock);
    std::shared_ptr<BoardEntry> entry = table.FindLive(name);
    return entry != nullptr ? entry->board : nullptr;
}

unsigned CBoardPlugIn::UseBoard(const char* name, unsigned (*op)(CBoard*, void*), void* context) {
    if (op == nullptr) return ZEL_ERR_INVALID_ARGUMENT;
    return m_pImpl->table.WithBoard(name, [&](CBoard* b) { return op(b, context); });
}

uint64_t CBoardPlugIn::GetBoardHandle(const char* name) {
    if (name == nullptr) return 0;
    BoardTable& table = m_pImpl->table;
    std::lock_guard<std::mutex> guard(table.lock);
    std::shared_ptr<BoardEntry> entry = table.FindLive(name);
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
        detected->AddKeyword(
            NewStruct("", {NewString("Name", name), NewString("Driver", driver),
                           NewString("Plugin", pluginName != nullptr ? pluginName : ""),
                           new CZelKWInt("Bus", static_cast<long>(bus), 0, 0xFFFFFFFFL, 0, 1),
                           new CZelKWInt("Slot", static_cast<long>(slot), 0, 0xFFFFFFFFL, 0, 1)}));
    }
    return ZEL_OK;
}

unsigned CBoardPlugIn::GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) {
    // The plug-in object is object handle 0.
    if (qualifier != nullptr && tsiStricmp(qualifier, "Handle") == 0) return CopyOut("0", buffer, size);
    return CZelKWStruct::GetOwnQualifier(qualifier, buffer, size);
}

unsigned CBoardPlugIn::GetQualifierValue(const char* name, const char* qualifier, char* buffer,
                                         unsigned size) {
    // "Handle" of a board's name: how a supervisor learns the object handle
    // that names the board in GetKeyword, SetKeyword and GetQualifier.
    if (name != nullptr && *name != '\0' && qualifier != nullptr && tsiStricmp(qualifier, "Handle") == 0) {
        uint64_t handle = GetBoardHandle(name);
        if (handle != 0) return zel::CopyOutUnsigned(handle, false, buffer, size);
    }
    return CZelKWStruct::GetQualifierValue(name, qualifier, buffer, size);
}
