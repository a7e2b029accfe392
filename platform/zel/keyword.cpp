// Keywords: the typed nodes of a keyword tree, their values and qualifiers,
// and the walk of dotted paths ("A.B[2].C", "Products.Count").
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "copyout.h"
#include "tsi/tsi.h"
#include "zel/zelframework.h"

namespace {

using zel::CopyOut;
using zel::CopyOutLong;

bool IsQualifier(const char* qualifier, const char* name) {
    return qualifier != nullptr && tsiStricmp(qualifier, name) == 0;
}

inline unsigned char LowerAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Whether name is the len characters of step, letters compared without regard
// to case (as tsiStrnicmp compares them). Path walks make this comparison more
// than any other, so it is made here rather than through the library call;
// names are mostly written as they are looked up, so equal bytes go first.
inline bool SameName(const char* name, const char* step, size_t len) {
    size_t i = 0;
    while (i < len && name[i] == step[i] && name[i] != '\0') ++i;
    for (; i < len; ++i) {
        const unsigned char a = static_cast<unsigned char>(name[i]);
        const unsigned char b = static_cast<unsigned char>(step[i]);
        if (a != b && LowerAscii(a) != LowerAscii(b)) return false;
        if (a == '\0') break;
    }
    return name[len] == '\0';
}

// A hash of a name that ignores the case of its letters: names that SameName
// takes for equal hash alike (OR-ing 0x20 folds every letter to lower case;
// that it folds some other characters together only costs a comparison). It
// takes the length and the first and the last eight characters (all of a
// shorter name), so that it costs the same for any name.
inline uint32_t NameHash(const char* name, size_t len) {
    uint64_t head = 0, tail = 0;
    if (len >= 8) {
        std::memcpy(&head, name, 8);
        std::memcpy(&tail, name + len - 8, 8);
    } else {
        for (size_t i = 0; i < len; ++i) head = head << 8 | static_cast<unsigned char>(name[i]);
    }
    const uint64_t fold = 0x2020202020202020ull;
    uint64_t hash = ((head | fold) * 0x9E3779B97F4A7C15ull) ^ ((tail | fold) * 0xC2B2AE3D27D4EB4Full) ^ len;
    hash ^= hash >> 31;
    hash *= 0xff51afd7ed558ccdull;
    return static_cast<uint32_t>(hash >> 32);
}

// Whether text equals one of the choices, letters compared without regard to case.
bool IsChoice(const std::vector<std::string>& choices, const char* text) {
    for (const std::string& c : choices)
        if (tsiStricmp(c.c_str(), text) == 0) return true;
    return false;
}

std::string JoinChoices(const std::vector<std::string>& choices) {
    std::string list;
    for (size_t i = 0; i < choices.size(); ++i) {
        if (i != 0) list += ',';
        list += choices[i];
    }
    return list;
}

// Adds a choice unless it is already there; maxChoices > 0 bounds the list.
unsigned AddChoiceTo(std::vector<std::string>& choices, int maxChoices, const char* choice) {
    if (choice == nullptr) return ZEL_ERR_INVALID_ARGUMENT;
    if (IsChoice(choices, choice)) return ZEL_OK;
    if (maxChoices > 0 && choices.size() >= static_cast<size_t>(maxChoices)) return ZEL_ERR_NO_MEMORY;
    choices.emplace_back(choice);
    return ZEL_OK;
}

// Integer text: optional sign, then decimal digits or 0x and hexadecimal
// digits, nothing before or after. A number too large for a long is out of
// any limit rather than not a number.
unsigned ParseLong(const char* text, long* value) {
    const char* p = text;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (*p == '\0') return ZEL_ERR_NOT_A_NUMBER;
    unsigned long long magnitude = 0;
    bool overflow = false;
    for (; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && std::isxdigit(c))
            digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
        else
            return ZEL_ERR_NOT_A_NUMBER;
        if (magnitude > (ULLONG_MAX - digit) / base)
            overflow = true;
        else
            magnitude = magnitude * base + digit;
    }
    const unsigned long long limit =
        negative ? static_cast<unsigned long long>(LONG_MAX) + 1 : static_cast<unsigned long long>(LONG_MAX);
    if (overflow || magnitude > limit) return ZEL_ERR_INVALID_VALUE;
    *value = negative ? static_cast<long>(0 - magnitude) : static_cast<long>(magnitude);
    return ZEL_OK;
}

// The read-only "Count" below an array: reads the array's current element count.
class CountKeyword : public CZelKeyword {
public:
    CountKeyword(CZelKeyword* owner, std::function<unsigned()> count)
        : CZelKeyword("Count"), m_Count(std::move(count)) {
        SetParent(owner);
    }
    unsigned GetOwnValue(char* buffer, unsigned size) override {
        return CopyOutLong(static_cast<long>(m_Count()), buffer, size);
    }
    unsigned GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) override {
        if (IsQualifier(qualifier, "Type")) return CopyOut("Integer", buffer, size);
        return ZEL_ERR_UNKNOWN_QUALIFIER;
    }

private:
    std::function<unsigned()> m_Count;
};

// The qualifiers that let a client walk a tree it does not know; asked of
// a keyword once its own GetOwnQualifier has answered that it has no such
// qualifier, so a keyword kind of the plug-in's own is described as well.
unsigned DescribeKeyword(CZelKeyword* keyword, const char* qualifier, char* buffer, unsigned size) {
    if (IsQualifier(qualifier, "Kind")) {
        static const char* const kKinds[][2] = {
            {"Structure", "structure"}, {"String", "string"}, {"Integer", "integer"}, {"List", "array"}};
        char type[32] = {0};
        if (keyword->GetOwnQualifier("Type", type, sizeof(type)) != ZEL_OK) return ZEL_ERR_UNKNOWN_QUALIFIER;
        for (const auto& kind : kKinds)
            if (tsiStricmp(type, kind[0]) == 0) return CopyOut(kind[1], buffer, size);
        return ZEL_ERR_UNKNOWN_QUALIFIER;
    }
    if (IsQualifier(qualifier, "Settable"))
        return CopyOut(keyword->IsSettable() ? "Yes" : "No", buffer, size);
    if (IsQualifier(qualifier, "Children")) return CopyOutLong(keyword->GetChildCount(), buffer, size);
    // "Child[i]"
    if (qualifier != nullptr && tsiStrnicmp(qualifier, "Child[", 6) == 0) {
        const char* digits = qualifier + 6;
        char* end = nullptr;
        if (*digits < '0' || *digits > '9') return ZEL_ERR_UNKNOWN_QUALIFIER;
        unsigned long index = std::strtoul(digits, &end, 10);
        if (end == nullptr || std::strcmp(end, "]") != 0) return ZEL_ERR_UNKNOWN_QUALIFIER;
        CZelKeyword* child =
            index < keyword->GetChildCount() ? keyword->GetChild(static_cast<unsigned>(index)) : nullptr;
        if (child == nullptr) return ZEL_ERR_UNKNOWN_KEYWORD;
        char type[32] = {0};
        if (keyword->GetOwnQualifier("Type", type, sizeof(type)) == ZEL_OK && tsiStricmp(type, "List") == 0) {
            char step[32];
            std::snprintf(step, sizeof(step), "[%lu]", index);
            return CopyOut(step, buffer, size);
        }
        return CopyOut(child->GetName(), buffer, size);
    }
    return ZEL_ERR_UNKNOWN_QUALIFIER;
}

// The characters that end a step's name: the end of the path, '.', '[' and ']'.
struct NameEnds {
    bool at[256];
    constexpr NameEnds() : at() {
        at[0] = true;
        at[static_cast<unsigned char>('.')] = true;
        at[static_cast<unsigned char>('[')] = true;
        at[static_cast<unsigned char>(']')] = true;
    }
};
constexpr NameEnds kNameEnds;

// One path step at step: a name (possibly empty, up to '.', '[', ']' or the
// end) followed by any number of "[digits]", up to '.' or the end. Sets
// *nameLen and *end (the '.' or the end of the path); false for anything
// malformed, or a step with neither name nor index.
bool ParseStep(const char* step, size_t* nameLen, const char** end) {
    const char* p = step;
    while (!kNameEnds.at[static_cast<unsigned char>(*p)]) ++p;
    *nameLen = static_cast<size_t>(p - step);
    bool indexed = false;
    while (*p == '[') {
        ++p;
        size_t digits = 0;
        long index = 0;
        for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
            if (index > (LONG_MAX - 9) / 10) return false;
            index = index * 10 + (*p - '0');
        }
        if (digits == 0 || *p != ']') return false;
        ++p;
        indexed = true;
    }
    if (*p != '\0' && *p != '.') return false;
    *end = p;
    return *nameLen != 0 || indexed;
}

}  // namespace

// ---------------------------------------------------------------- CZelKeyword

CZelKeyword::CZelKeyword(const char* name) : m_Name{}, m_pParent(nullptr) {
    std::snprintf(m_Name, sizeof(m_Name), "%s", name != nullptr ? name : "");
}

CZelKeyword::~CZelKeyword() {}

const char* CZelKeyword::GetName() const { return m_Name; }
CZelKeyword* CZelKeyword::GetParent() const { return m_pParent; }
void CZelKeyword::SetParent(CZelKeyword* parent) { m_pParent = parent; }

CZelKeyword* CZelKeyword::FindKeyword(const char* path) {
    if (path == nullptr || *path == '\0') return this;
    CZelKeyword* current = this;
    const char* step = path;
    for (;;) {
        // The whole step is checked before it is walked, so that a malformed
        // step never reaches a keyword.
        size_t nameLen = 0;
        const char* end = nullptr;
        if (!ParseStep(step, &nameLen, &end)) return nullptr;
        if (nameLen != 0) current = current->FindStep(step, nameLen, -1);
        // The indices, already checked: "[digits]" up to end.
        for (const char* p = step + nameLen; p < end && current != nullptr;) {
            long index = 0;
            for (++p; *p != ']'; ++p) index = index * 10 + (*p - '0');
            ++p;
            current = current->FindStep("", 0, index);
        }
        if (current == nullptr) return nullptr;
        if (*end == '\0') return current;
        step = end + 1;
    }
}

unsigned CZelKeyword::GetKeywordValue(const char* name, char* buffer, unsigned size) {
    if (buffer == nullptr || size == 0) return ZEL_ERR_INVALID_ARGUMENT;
    CZelKeyword* keyword = FindKeyword(name);
    if (keyword == nullptr) return ZEL_ERR_UNKNOWN_KEYWORD;
    return keyword->GetOwnValue(buffer, size);
}

unsigned CZelKeyword::SetKeywordValue(const char* name, const char* value) {
    if (value == nullptr) return ZEL_ERR_INVALID_ARGUMENT;
    CZelKeyword* keyword = FindKeyword(name);
    if (keyword == nullptr) return ZEL_ERR_UNKNOWN_KEYWORD;
    return keyword->SetOwnValue(value);
}

unsigned CZelKeyword::GetQualifierValue(const char* name, const char* qualifier, char* buffer,
                                        unsigned size) {
    if (qualifier == nullptr || buffer == nullptr || size == 0) return ZEL_ERR_INVALID_ARGUMENT;
    CZelKeyword* keyword = FindKeyword(name);
    if (keyword == nullptr) return ZEL_ERR_UNKNOWN_KEYWORD;
    unsigned result = keyword->GetOwnQualifier(qualifier, buffer, size);
    if (result != ZEL_ERR_UNKNOWN_QUALIFIER) return result;
    return DescribeKeyword(keyword, qualifier, buffer, size);
}

unsigned CZelKeyword::GetOwnValue(char*, unsigned) { return ZEL_ERR_NOT_A_VALUE; }
unsigned CZelKeyword::SetOwnValue(const char*) { return ZEL_ERR_NOT_A_VALUE; }
unsigned CZelKeyword::GetOwnQualifier(const char*, char*, unsigned) { return ZEL_ERR_UNKNOWN_QUALIFIER; }
CZelKeyword* CZelKeyword::FindStep(const char*, size_t, long) { return nullptr; }
unsigned CZelKeyword::GetChildCount() const { return 0; }
CZelKeyword* CZelKeyword::GetChild(unsigned) const { return nullptr; }
bool CZelKeyword::IsSettable() const { return false; }
void CZelKeyword::FreezeDefaults() {}

// ---------------------------------------------------------------- CZelKWStruct

// Children are found by name through a table of their positions, kept beside
// the list: open addressing on NameHash, at most half full, so that a look-up
// costs about the same whatever the structure's size and wherever the child
// stands in it.
struct CZelKWStruct::Impl {
    std::vector<CZelKeyword*> children;
    std::vector<uint32_t> hashes;  // NameHash of each child's name
    std::vector<uint32_t> slots;   // position + 1 of a child, 0 for none; a power of two long

    CZelKeyword* Find(const char* name, size_t len) const {
        if (slots.empty() || len >= ZEL_NAME_MAX) return nullptr;  // no name is that long
        const uint32_t hash = NameHash(name, len);
        const size_t mask = slots.size() - 1;
        for (size_t i = hash & mask; slots[i] != 0; i = (i + 1) & mask) {
            const uint32_t at = slots[i] - 1;
            if (hashes[at] != hash) continue;
            // A name as the child spells it is settled by one memcmp (a name
            // is a buffer of ZEL_NAME_MAX bytes, longer than len).
            const char* childName = children[at]->GetName();
            if ((std::memcmp(childName, name, len) == 0 && childName[len] == '\0') ||
                SameName(childName, name, len))
                return children[at];
        }
        return nullptr;
    }

    void Place(uint32_t at) {
        const size_t mask = slots.size() - 1;
        size_t i = hashes[at] & mask;
        while (slots[i] != 0) i = (i + 1) & mask;
        slots[i] = at + 1;
    }

    // Makes the table anew for the children as they are now.
    void Rebuild() {
        size_t size = 4;
        while (size < 2 * children.size()) size *= 2;
        slots.assign(size, 0);
        for (uint32_t at = 0; at < children.size(); ++at) Place(at);
    }

    void Append(CZelKeyword* child) {
        const char* name = child->GetName();
        children.push_back(child);
        hashes.push_back(NameHash(name, std::strlen(name)));
        if (2 * children.size() > slots.size())
            Rebuild();
        else
            Place(static_cast<uint32_t>(children.size() - 1));
    }
};

CZelKWStruct::CZelKWStruct(const char* name, CZelKeyword** initial, unsigned count)
    : CZelKeyword(name), m_pImpl(new Impl) {
    if (initial == nullptr) return;
    for (unsigned i = 0; i < count; ++i) {
        // A child that cannot be adopted (null, or a name already taken) would
        // otherwise be lost: it is destroyed here, since ownership was handed over.
        if (initial[i] != nullptr && AddKeyword(initial[i]) != ZEL_OK) delete initial[i];
    }
}

CZelKWStruct::~CZelKWStruct() {
    for (auto it = m_pImpl->children.rbegin(); it != m_pImpl->children.rend(); ++it) delete *it;
    delete m_pImpl;
}

unsigned CZelKWStruct::AddKeyword(CZelKeyword* child) {
    if (child == nullptr) return ZEL_ERR_INVALID_ARGUMENT;
    const char* name = child->GetName();
    if (m_pImpl->Find(name, std::strlen(name)) != nullptr) return ZEL_ERR_DUPLICATE;
    m_pImpl->Append(child);
    child->SetParent(this);
    return ZEL_OK;
}

unsigned CZelKWStruct::RemoveKeyword(const char* name) {
    if (name == nullptr) return ZEL_ERR_INVALID_ARGUMENT;
    auto& children = m_pImpl->children;
    for (size_t at = 0; at < children.size(); ++at) {
        if (tsiStricmp(children[at]->GetName(), name) == 0) {
            CZelKeyword* child = children[at];
            children.erase(children.begin() + static_cast<std::ptrdiff_t>(at));
            m_pImpl->hashes.erase(m_pImpl->hashes.begin() + static_cast<std::ptrdiff_t>(at));
            m_pImpl->Rebuild();  // the positions after it moved
            delete child;
            return ZEL_OK;
        }
    }
    return ZEL_ERR_UNKNOWN_KEYWORD;
}

CZelKeyword* CZelKWStruct::GetKeywordByName(const char* name) {
    if (name == nullptr || *name == '\0') return nullptr;
    return FindKeyword(name);
}

unsigned CZelKWStruct::GetChildCount() const { return static_cast<unsigned>(m_pImpl->children.size()); }

CZelKeyword* CZelKWStruct::GetChild(unsigned index) const {
    return index < m_pImpl->children.size() ? m_pImpl->children[index] : nullptr;
}

void CZelKWStruct::FreezeDefaults() {
    for (CZelKeyword* child : m_pImpl->children) child->FreezeDefaults();
}

unsigned CZelKWStruct::GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) {
    if (IsQualifier(qualifier, "Type")) return CopyOut("Structure", buffer, size);
    return ZEL_ERR_UNKNOWN_QUALIFIER;
}

CZelKeyword* CZelKWStruct::FindStep(const char* name, size_t len, long index) {
    if (index >= 0 || name == nullptr || len == 0) return nullptr;
    return m_pImpl->Find(name, len);
}

// ---------------------------------------------------------------- CZelKWStructArray

struct CZelKWStructArray::Impl {
    std::vector<CZelKWStruct*> elements;
    std::unique_ptr<CountKeyword> count;
};

CZelKWStructArray::CZelKWStructArray(const char* name, CZelKWStruct** initial, unsigned count)
    : CZelKeyword(name), m_pImpl(new Impl) {
    m_pImpl->count.reset(new CountKeyword(this, [this] { return GetCount(); }));
    if (initial == nullptr) return;
    for (unsigned i = 0; i < count; ++i) AddKeyword(initial[i]);
}

CZelKWStructArray::~CZelKWStructArray() {
    for (auto it = m_pImpl->elements.rbegin(); it != m_pImpl->elements.rend(); ++it) delete *it;
    delete m_pImpl;
}

unsigned CZelKWStructArray::AddKeyword(CZelKWStruct* element) {
    if (element == nullptr) return ZEL_ERR_INVALID_ARGUMENT;
    m_pImpl->elements.push_back(element);
    element->SetParent(this);
    return ZEL_OK;
}

CZelKWStruct* CZelKWStructArray::GetElement(unsigned index) const {
    return index < m_pImpl->elements.size() ? m_pImpl->elements[index] : nullptr;
}

unsigned CZelKWStructArray::GetCount() const { return static_cast<unsigned>(m_pImpl->elements.size()); }
unsigned CZelKWStructArray::GetChildCount() const { return GetCount(); }
CZelKeyword* CZelKWStructArray::GetChild(unsigned index) const { return GetElement(index); }

void CZelKWStructArray::FreezeDefaults() {
    for (CZelKWStruct* element : m_pImpl->elements) element->FreezeDefaults();
}

unsigned CZelKWStructArray::GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) {
    if (IsQualifier(qualifier, "Type")) return CopyOut("List", buffer, size);
    return ZEL_ERR_UNKNOWN_QUALIFIER;
}

CZelKeyword* CZelKWStructArray::FindStep(const char* name, size_t len, long index) {
    if (index >= 0)
        return static_cast<unsigned long>(index) < m_pImpl->elements.size()
                   ? m_pImpl->elements[static_cast<size_t>(index)]
                   : nullptr;
    if (name != nullptr && SameName("Count", name, len)) return m_pImpl->count.get();
    return nullptr;
}

// ---------------------------------------------------------------- CZelKWStr

struct CZelKWStr::Impl {
    std::mutex lock;  // the value may be read while another thread sets it
    std::string value;
    std::string defaultValue;
    std::vector<std::string> choices;
    int flags = 0;
    int maxChoices = 0;
    bool defaultFixed = false;  // the default no longer follows the value
};

CZelKWStr::CZelKWStr(const char* name, const char* defaultValue, const char** choices, unsigned choiceCount,
                     int flags, int maxChoices)
    : CZelKeyword(name), m_pImpl(new Impl) {
    m_pImpl->flags = flags;
    m_pImpl->maxChoices = maxChoices;
    if (choices != nullptr)
        for (unsigned i = 0; i < choiceCount; ++i)
            if (choices[i] != nullptr) m_pImpl->choices.emplace_back(choices[i]);
    if (defaultValue != nullptr) {
        m_pImpl->value = defaultValue;
        m_pImpl->defaultValue = defaultValue;
    }
}

CZelKWStr::~CZelKWStr() { delete m_pImpl; }

unsigned CZelKWStr::AddChoice(const char* choice) {
    std::lock_guard<std::mutex> guard(m_pImpl->lock);
    return AddChoiceTo(m_pImpl->choices, m_pImpl->maxChoices, choice);
}

unsigned CZelKWStr::SetStrValue(const char* value) {
    if (value == nullptr) return ZEL_ERR_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> guard(m_pImpl->lock);
    if (!m_pImpl->choices.empty() && !IsChoice(m_pImpl->choices, value)) return ZEL_ERR_INVALID_VALUE;
    m_pImpl->value = value;
    if (!m_pImpl->defaultFixed) m_pImpl->defaultValue = value;
    return ZEL_OK;
}

unsigned CZelKWStr::GetStrValue(char* buffer, unsigned size) {
    std::lock_guard<std::mutex> guard(m_pImpl->lock);
    return CopyOut(m_pImpl->value, buffer, size);
}

unsigned CZelKWStr::GetOwnValue(char* buffer, unsigned size) { return GetStrValue(buffer, size); }

unsigned CZelKWStr::SetOwnValue(const char* value) {
    if (m_pImpl->flags & ZEL_KW_READONLY) return ZEL_ERR_NOT_A_VALUE;
    FreezeDefaults();
    return SetStrValue(value);
}

bool CZelKWStr::IsSettable() const { return (m_pImpl->flags & ZEL_KW_READONLY) == 0; }

void CZelKWStr::FreezeDefaults() {
    std::lock_guard<std::mutex> guard(m_pImpl->lock);
    m_pImpl->defaultFixed = true;
}

unsigned CZelKWStr::GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) {
    std::lock_guard<std::mutex> guard(m_pImpl->lock);
    if (IsQualifier(qualifier, "Type")) return CopyOut("String", buffer, size);
    if (IsQualifier(qualifier, "Choices")) return CopyOut(JoinChoices(m_pImpl->choices), buffer, size);
    if (IsQualifier(qualifier, "Default")) return CopyOut(m_pImpl->defaultValue, buffer, size);
    return ZEL_ERR_UNKNOWN_QUALIFIER;
}

// ---------------------------------------------------------------- CZelKWInt
// The value and limits may be read on one thread while another sets them, so
// every access is atomic.

namespace {
long LoadLong(const long& field) { return __atomic_load_n(&field, __ATOMIC_ACQUIRE); }
void StoreLong(long& field, long value) { __atomic_store_n(&field, value, __ATOMIC_RELEASE); }
}  // namespace

CZelKWInt::CZelKWInt(const char* name, long defaultValue, long minimum, long maximum, int flags, int)
    : CZelKeyword(name),
      m_Value(defaultValue),
      m_Min(minimum),
      m_Max(maximum),
      m_Flags(flags),
      m_Default(defaultValue),
      m_DefaultFixed(0) {}

CZelKWInt::~CZelKWInt() {}

void CZelKWInt::SetMinValue(long minimum) { StoreLong(m_Min, minimum); }
void CZelKWInt::SetMaxValue(long maximum) { StoreLong(m_Max, maximum); }
long CZelKWInt::GetIntValue() { return LoadLong(m_Value); }

unsigned CZelKWInt::SetIntValue(long value) {
    if (value < LoadLong(m_Min) || value > LoadLong(m_Max)) return ZEL_ERR_INVALID_VALUE;
    StoreLong(m_Value, value);
    if (LoadLong(m_DefaultFixed) == 0) StoreLong(m_Default, value);
    return ZEL_OK;
}

unsigned CZelKWInt::GetOwnValue(char* buffer, unsigned size) {
    return CopyOutLong(GetIntValue(), buffer, size);
}

unsigned CZelKWInt::SetOwnValue(const char* value) {
    if (m_Flags & ZEL_KW_READONLY) return ZEL_ERR_NOT_A_VALUE;
    if (value == nullptr) return ZEL_ERR_INVALID_ARGUMENT;
    FreezeDefaults();
    long number = 0;
    unsigned result = ParseLong(value, &number);
    if (result != ZEL_OK) return result;
    return SetIntValue(number);
}

unsigned CZelKWInt::GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) {
    if (IsQualifier(qualifier, "Type")) return CopyOut("Integer", buffer, size);
    if (IsQualifier(qualifier, "Minimum")) return CopyOutLong(LoadLong(m_Min), buffer, size);
    if (IsQualifier(qualifier, "Maximum")) return CopyOutLong(LoadLong(m_Max), buffer, size);
    if (IsQualifier(qualifier, "Default")) return CopyOutLong(LoadLong(m_Default), buffer, size);
    return ZEL_ERR_UNKNOWN_QUALIFIER;
}

bool CZelKWInt::IsSettable() const { return (m_Flags & ZEL_KW_READONLY) == 0; }
void CZelKWInt::FreezeDefaults() { StoreLong(m_DefaultFixed, 1); }

// ---------------------------------------------------------------- CZelKWStrArray
// Items are reached through one keyword per index, kept for the life of the
// array (so a pointer from FindKeyword never dangles); an index at or past
// the count reads as unknown, and setting the index equal to the count appends.

namespace {

class StrArrayItem : public CZelKeyword {
public:
    using Reader = std::function<unsigned(size_t, char*, unsigned)>;
    using Writer = std::function<unsigned(size_t, const char*)>;
    using Qualifier = std::function<unsigned(const char*, char*, unsigned)>;

    StrArrayItem(CZelKeyword* owner, size_t index, bool settable, Reader read, Writer write,
                 Qualifier qualifier)
        : CZelKeyword(""),
          m_Index(index),
          m_Settable(settable),
          m_Read(std::move(read)),
          m_Write(std::move(write)),
          m_Qualifier(std::move(qualifier)) {
        SetParent(owner);
    }
    bool IsSettable() const override { return m_Settable; }
    unsigned GetOwnValue(char* buffer, unsigned size) override { return m_Read(m_Index, buffer, size); }
    unsigned SetOwnValue(const char* value) override { return m_Write(m_Index, value); }
    unsigned GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) override {
        return m_Qualifier(qualifier, buffer, size);
    }

private:
    size_t m_Index;
    bool m_Settable;
    Reader m_Read;
    Writer m_Write;
    Qualifier m_Qualifier;
};

bool HoldsWhiteSpace(const std::string& text) {
    for (char c : text)
        if (std::isspace(static_cast<unsigned char>(c))) return true;
    return false;
}

}  // namespace

struct CZelKWStrArray::Impl {
    std::mutex lock;  // values may be read while another thread changes them
    std::vector<std::string> values;
    std::vector<std::string> choices;
    std::vector<std::unique_ptr<StrArrayItem>> items;
    std::unique_ptr<CountKeyword> count;
    int flags = 0;
    int maxChoices = 0;
};

CZelKWStrArray::CZelKWStrArray(const char* name, const char** values, unsigned count, int flags,
                               int maxChoices)
    : CZelKeyword(name), m_pImpl(new Impl) {
    m_pImpl->flags = flags;
    m_pImpl->maxChoices = maxChoices;
    m_pImpl->count.reset(new CountKeyword(this, [this] { return GetCount(); }));
    if (values != nullptr)
        for (unsigned i = 0; i < count; ++i)
            if (values[i] != nullptr) m_pImpl->values.emplace_back(values[i]);
}

CZelKWStrArray::~CZelKWStrArray() { delete m_pImpl; }

void CZelKWStrArray::RemoveAllValues() {
    std::lock_guard<std::mutex> guard(m_pImpl->lock);
    m_pImpl->values.clear();
}

unsigned CZelKWStrArray::AddChoice(const char* choice) {
    std::lock_guard<std::mutex> guard(m_pImpl->lock);
    return AddChoiceTo(m_pImpl->choices, m_pImpl->maxChoices, choice);
}

unsigned CZelKWStrArray::AddStrValue(const char* value) {
    if (value == nullptr) return ZEL_ERR_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> guard(m_pImpl->lock);
    if (!m_pImpl->choices.empty() && !IsChoice(m_pImpl->choices, value)) return ZEL_ERR_INVALID_VALUE;
    m_pImpl->values.emplace_back(value);
    return ZEL_OK;
}

unsigned CZelKWStrArray::GetCount() const {
    std::lock_guard<std::mutex> guard(m_pImpl->lock);
    return static_cast<unsigned>(m_pImpl->values.size());
}

unsigned CZelKWStrArray::GetChildCount() const { return GetCount(); }

CZelKeyword* CZelKWStrArray::GetChild(unsigned index) const {
    if (index >= GetCount()) return nullptr;
    // The item keywords are made on first use; they are the array's own
    // bookkeeping, not a change a caller can see.
    return const_cast<CZelKWStrArray*>(this)->FindStep("", 0, static_cast<long>(index));
}

unsigned CZelKWStrArray::GetOwnValue(char* buffer, unsigned size) {
    std::string list;
    {
        std::lock_guard<std::mutex> guard(m_pImpl->lock);
        for (size_t i = 0; i < m_pImpl->values.size(); ++i) {
            const std::string& v = m_pImpl->values[i];
            if (i != 0) list += ' ';
            // Quoted when it would not read back as one item.
            if (v.empty() || HoldsWhiteSpace(v))
                list += '"' + v + '"';
            else
                list += v;
        }
    }
    return CopyOut(list, buffer, size);
}

unsigned CZelKWStrArray::GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) {
    std::lock_guard<std::mutex> guard(m_pImpl->lock);
    if (IsQualifier(qualifier, "Type")) return CopyOut("List", buffer, size);
    if (IsQualifier(qualifier, "Choices")) return CopyOut(JoinChoices(m_pImpl->choices), buffer, size);
    return ZEL_ERR_UNKNOWN_QUALIFIER;
}

CZelKeyword* CZelKWStrArray::FindStep(const char* name, size_t len, long index) {
    if (index < 0) return (name != nullptr && SameName("Count", name, len)) ? m_pImpl->count.get() : nullptr;
    Impl* impl = m_pImpl;
    std::lock_guard<std::mutex> guard(impl->lock);
    if (static_cast<unsigned long>(index) > impl->values.size()) return nullptr;
    const size_t at = static_cast<size_t>(index);
    while (impl->items.size() <= at) {
        const size_t itemIndex = impl->items.size();
        const int flags = impl->flags;
        impl->items.emplace_back(new StrArrayItem(
            this, itemIndex, (flags & ZEL_KW_READONLY) == 0,
            [impl](size_t i, char* buffer, unsigned size) -> unsigned {
                std::lock_guard<std::mutex> g(impl->lock);
                if (i >= impl->values.size()) return ZEL_ERR_UNKNOWN_KEYWORD;
                return CopyOut(impl->values[i], buffer, size);
            },
            [impl, flags](size_t i, const char* value) -> unsigned {
                if (flags & ZEL_KW_READONLY) return ZEL_ERR_NOT_A_VALUE;
                if (value == nullptr) return ZEL_ERR_INVALID_ARGUMENT;
                std::lock_guard<std::mutex> g(impl->lock);
                if (i > impl->values.size()) return ZEL_ERR_UNKNOWN_KEYWORD;
                if (!impl->choices.empty() && !IsChoice(impl->choices, value)) return ZEL_ERR_INVALID_VALUE;
                if (i == impl->values.size())
                    impl->values.emplace_back(value);
                else
                    impl->values[i] = value;
                return ZEL_OK;
            },
            [impl](const char* qualifier, char* buffer, unsigned size) -> unsigned {
                std::lock_guard<std::mutex> g(impl->lock);
                if (IsQualifier(qualifier, "Type")) return CopyOut("String", buffer, size);
                if (IsQualifier(qualifier, "Choices"))
                    return CopyOut(JoinChoices(impl->choices), buffer, size);
                return ZEL_ERR_UNKNOWN_QUALIFIER;
            }));
    }
    return impl->items[at].get();
}
