// The plug-in object, the product models and the H.100 clocking structure.
#include "kvboardplugin.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "Supervisor.h"
#include "tsi/tsi.h"

CKvBoardPlugIn* boardPlugin = nullptr;

namespace {

const char* const kProducts[] = {"KV 7400C-48", "KV 7400C-32", "KV 7400C-16",
                                 "KV 7400-32",  "KV 7400-16",  "KV_7400"};

CKvBoard* MakeC48(const char* n, const char* p) { return new (std::nothrow) CKv7400_C48(n, p); }
CKvBoard* MakeC32(const char* n, const char* p) { return new (std::nothrow) CKv7400_C32(n, p); }
CKvBoard* MakeC16(const char* n, const char* p) { return new (std::nothrow) CKv7400_C16(n, p); }
CKvBoard* Make32(const char* n, const char* p) { return new (std::nothrow) CKv7400_32(n, p); }
CKvBoard* Make16(const char* n, const char* p) { return new (std::nothrow) CKv7400_16(n, p); }
CKvBoard* MakeGeneric(const char* n, const char* p) { return new (std::nothrow) CKv7400_GENERIC(n, p); }

struct ProductModel {
    const char* product;  // the product name begins with this, in any case
    CKvBoard* (*make)(const char* name, const char* product);
    const char* configName;
    const char* configExtension;
};

const ProductModel kModels[] = {
    {"KV 7400C-48", MakeC48, "kv7400cpci_48", "dft"}, {"KV 7400C-32", MakeC32, "kv7400cpci_32", "dft"},
    {"KV 7400C-16", MakeC16, "kv7400cpci_16", "dft"}, {"KV 7400-32", Make32, "kv7400pci_32", "dft"},
    {"KV 7400-16", Make16, "kv7400pci_16", "dft"},    {"KV_7400", MakeGeneric, "kv7400", "dft"},
};

const uint32_t kAlertHeaderSize = sizeof(oam_msg_tag);

// Whether an alert record from the supervisor can be read safely: its header
// fits, and its source name lies inside it and ends inside it.
bool AlertRecordIsSound(const oam_msg_tag* message) {
    if (message == nullptr) return false;
    if (message->size < kAlertHeaderSize) return false;
    if (message->source_offset < kAlertHeaderSize || message->source_offset >= message->size) return false;
    const char* bytes = reinterpret_cast<const char*>(message);
    return memchr(bytes + message->source_offset, '\0', message->size - message->source_offset) != nullptr;
}

}  // namespace

CKvBoardPlugIn::CKvBoardPlugIn() : CBoardPlugIn(nullptr, 0) {
    if (CZelKWStrArray* products = dynamic_cast<CZelKWStrArray*>(GetKeywordByName("Products"))) {
        products->RemoveAllValues();
        for (const char* product : kProducts) products->AddChoice(product);
        for (const char* product : kProducts) products->AddStrValue(product);
    }
    if (CZelKWInt* major = dynamic_cast<CZelKWInt*>(GetKeywordByName("Version.Major"))) major->SetIntValue(1);
    if (CZelKWInt* minor = dynamic_cast<CZelKWInt*>(GetKeywordByName("Version.Minor"))) minor->SetIntValue(1);
}

CKvBoardPlugIn::~CKvBoardPlugIn() {}

unsigned CKvBoardPlugIn::Init(const char* text) {
    CBoardPlugIn::Init(text);
    return 0;
}

unsigned CKvBoardPlugIn::DetectBoards() {
    CSupervisorCall call;  // the supervisor's device enumerator runs inside
    AddDetectedBoardsKeywords("KV", "kv");
    return 0;
}

unsigned CKvBoardPlugIn::CreateBoard(const char* name, const char* product) {
    return CBoardPlugIn::CreateBoard(name, product);
}

unsigned CKvBoardPlugIn::DestroyBoard(const char* name) { return CBoardPlugIn::DestroyBoard(name); }

unsigned CKvBoardPlugIn::StartBoard(const char* name) { return CBoardPlugIn::StartBoard(name); }

unsigned CKvBoardPlugIn::StopBoard(const char* name) { return CBoardPlugIn::StopBoard(name); }

unsigned CKvBoardPlugIn::TestBoard(const char* name, unsigned value) {
    return CBoardPlugIn::TestBoard(name, value);
}

CBoard* CKvBoardPlugIn::CreateProduct(const char* name, const char* product) {
    if (name == nullptr || product == nullptr) return nullptr;
    for (const ProductModel& model : kModels) {
        if (tsiStrnicmp(product, model.product, strlen(model.product)) != 0) continue;
        CKvBoard* board = model.make(name, product);
        if (board == nullptr) return nullptr;
        board->SetConfigFile(model.configName, model.configExtension);
        if (board->GetKeywordByName("Clocking") != nullptr) board->RemoveKeyword("Clocking");
        CKvH100Keyword* clocking = new (std::nothrow) CKvH100Keyword();
        if (clocking == nullptr || board->AddKeyword(clocking) != 0) {
            delete clocking;
            delete board;
            return nullptr;
        }
        if (board->Initialize() != 0) {
            delete board;
            return nullptr;
        }
        return board;
    }
    return nullptr;
}

bool CKvBoardPlugIn::SupportedDriver(const char* driverName) {
    return driverName != nullptr && tsiStrnicmp(driverName, "KV7400", 6) == 0;
}

bool CKvBoardPlugIn::KeywordsValidate() { return true; }

unsigned CKvBoardPlugIn::GetKeyword(uint32_t handle, const char* name, char* buffer, unsigned size) {
    return CBoardPlugIn::GetKeyword(static_cast<uint64_t>(handle), name, buffer, size);
}

unsigned CKvBoardPlugIn::SetKeyword(uint32_t handle, const char* name, const char* value) {
    return CBoardPlugIn::SetKeyword(static_cast<uint64_t>(handle), name, value);
}

unsigned CKvBoardPlugIn::GetQualifier(uint32_t handle, const char* name, const char* qualifier, char* buffer,
                                      unsigned size) {
    return CBoardPlugIn::GetQualifier(static_cast<uint64_t>(handle), name, qualifier, buffer, size);
}

uint32_t CKvBoardPlugIn::AlertReceive(oam_msg_tag* message) {
    if (!AlertRecordIsSound(message)) return 1;
    const char* source = reinterpret_cast<const char*>(message) + message->source_offset;
    // Held while the alert is handled, so that a concurrent DestroyBoard
    // waits instead of freeing the board under it.
    struct Alert {
        oam_msg_tag* message;
        uint32_t result;
    } alert{message, 1};
    UseBoard(
        source,
        [](CBoard* held, void* context) -> unsigned {
            auto* a = static_cast<Alert*>(context);
            if (auto* board = dynamic_cast<CKvBoard*>(held)) a->result = board->AlertReceive(a->message);
            return 0;
        },
        &alert);
    return alert.result;
}

CKvH100Keyword::CKvH100Keyword() : CZelKWStruct("Clocking", nullptr, 0) {
    static const char* sources[] = {"OSC", "A_CLOCK", "B_CLOCK", "NETREF"};
    static const char* modes[] = {"MASTER_A", "MASTER_B", "SLAVE", "STANDALONE"};
    static const char* netRefSources[] = {"OSC", "STANDALONE"};
    static const char* netRefSpeeds[] = {"8K", "1544M", "2048M"};
    static const char* sClockSpeeds[] = {"2M", "4M", "8M"};
    static const char* yesNo[] = {"YES", "NO"};

    AddKeyword(new CZelKWStr("Type", "HBus", nullptr, 0, 0, 16));
    CZelKWStruct* hbus = new CZelKWStruct("HBus", nullptr, 0);
    hbus->AddKeyword(new CZelKWStr("ClockSource", "OSC", sources, 4, 0, 16));
    hbus->AddKeyword(new CZelKWInt("ClockSourceNetwork", 0, 0, 0, 0, 1));
    hbus->AddKeyword(new CZelKWStr("ClockMode", "STANDALONE", modes, 4, 0, 16));
    hbus->AddKeyword(new CZelKWStr("NetRefSource", "STANDALONE", netRefSources, 2, 0, 16));
    hbus->AddKeyword(new CZelKWStr("NetRefSpeed", "8K", netRefSpeeds, 3, 0, 16));
    hbus->AddKeyword(new CZelKWStr("SClockSpeed", "2M", sClockSpeeds, 3, 0, 16));
    hbus->AddKeyword(new CZelKWStr("AutoFallBack", "NO", yesNo, 2, 0, 16));
    hbus->AddKeyword(new CZelKWStr("FallBackClockSource", "OSC", sources, 4, 0, 16));
    hbus->AddKeyword(new CZelKWInt("Segment", 1, -65535, 65535, 0, 1));
    AddKeyword(hbus);
}

unsigned CKvH100Keyword::GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) {
    if (qualifier == nullptr || tsiStricmp(qualifier, "Valid") != 0)
        return CZelKWStruct::GetOwnQualifier(qualifier, buffer, size);
    if (buffer == nullptr || size == 0) return ZEL_ERR_INVALID_ARGUMENT;
    CBoard* board = dynamic_cast<CBoard*>(GetParent());
    if (board == nullptr) return ZEL_ERR_NOT_SUPPORTED;
    const char* answer = board->KeywordsValidate() ? "Yes" : "No";
    return static_cast<unsigned>(snprintf(buffer, size, "%s", answer)) < size ? 0u : ZEL_ERR_BUFFER_TOO_SMALL;
}
