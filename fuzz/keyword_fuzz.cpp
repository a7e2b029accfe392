// Feeds arbitrary keyword paths, qualifiers and values to GetKeyword, SetKeyword and GetQualifier, on the
// plug-in object (handle 0), on an idle board, on a started board or on a handle taken from the input.
//
// Input: byte 0 picks the call (% 3: get, set, qualifier) and the handle (/ 3 % 4); byte 1 is the size of the
// answer buffer (its exact size, so an overrun shows); with the input's handle, the next 8 bytes are it. The
// rest is the path, then after a NUL the value or qualifier.
//
// The boards are made once. A value set is put back after the input; when it cannot be (the value read back
// differs, or there was none to read), the plug-in is rebuilt so that no input sees what another one set.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fake_supervisor.h"
#include "kvemu.h"
#include "oam/boardplugin.h"
#include "tsi/tsi.h"

namespace {

constexpr uint32_t kValueSize = 4096;

uint64_t g_idle = 0, g_started = 0;

void NoPause(unsigned, void*) {}

uint64_t Handle(const char* board) {
    char text[32] = {};
    if (GetQualifier(0, board, "Handle", text, sizeof text) != 0) abort();
    return strtoull(text, nullptr, 10);
}

void Build() {
    if (Init("") != 0 || CreateBoard("idle", "KV 7400C-48") != 0 || CreateBoard("started", "KV 7400-32") != 0)
        abort();
    g_idle = Handle("idle");
    g_started = Handle("started");
    // Started without its monitor thread; an input may start it.
    if (SetKeyword(g_started, "MonitorEnable", "Disable") != 0 || StartBoard("started") != 0) abort();
    kvtest::ClearAlerts();
}

void Rebuild() {
    Exit();
    kvtest::ClearDatabase();
    Build();
}

bool Setup() {
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    tsiSetSleepHook(NoPause, nullptr);
    Build();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = Setup();
    (void)ready;
    if (size < 2) return 0;
    unsigned call = data[0] % 3, target = data[0] / 3 % 4;
    uint32_t answerSize = data[1];
    data += 2;
    size -= 2;
    uint64_t handle = target == 0 ? 0 : target == 1 ? g_idle : g_started;
    if (target == 3) {
        if (size < 8) return 0;
        memcpy(&handle, data, 8);
        data += 8;
        size -= 8;
    }
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t nul = text.find('\0');
    std::string path = text.substr(0, nul);
    std::string second = nul == std::string::npos ? std::string() : text.substr(nul + 1).c_str();

    std::unique_ptr<char[]> answer(new char[answerSize]);  // no byte more: any overrun shows
    if (call == 0) {
        GetKeyword(handle, path.c_str(), answer.get(), answerSize);
    } else if (call == 2) {
        GetQualifier(handle, path.c_str(), second.c_str(), answer.get(), answerSize);
    } else {
        static char before[kValueSize], after[kValueSize];
        bool known = GetKeyword(handle, path.c_str(), before, sizeof before) == 0;
        if (SetKeyword(handle, path.c_str(), second.c_str()) == 0) {
            bool restored = known && SetKeyword(handle, path.c_str(), before) == 0 &&
                            GetKeyword(handle, path.c_str(), after, sizeof after) == 0 &&
                            strcmp(before, after) == 0;
            if (!restored) Rebuild();
        }
    }
    kvtest::ClearAlerts();
    kvemu::ClearJournal();  // frees what the input's calls left in it
    return 0;
}
