// Feeds arbitrary alert records from the supervisor to AlertReceive. The record is exactly as long as the
// input and its size field says so; the other fields are the input's. Two boards exist for every input (one
// traces the alerts it receives), created once: an alert changes nothing in an idle board that a later input
// could see.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fake_supervisor.h"
#include "oam/boardplugin.h"

namespace {

bool Setup() {
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    if (Init("") != 0 || CreateBoard("b0", "KV 7400C-48") != 0 || CreateBoard("traced", "KV 7400-16") != 0)
        abort();
    char text[32] = {};
    if (GetQualifier(0, "traced", "Handle", text, sizeof text) != 0 ||
        SetKeyword(strtoull(text, nullptr, 10), "OamTraceMask", "2") != 0)
        abort();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = Setup();
    (void)ready;
    if (size < sizeof(uint32_t)) return 0;  // no record is shorter than its size field
    // A block of its own, so that any read past the record's end shows.
    uint32_t* block = static_cast<uint32_t*>(malloc(size));
    memcpy(block, data, size);
    block[0] = static_cast<uint32_t>(size);
    AlertReceive(reinterpret_cast<oam_msg_tag*>(block));
    free(block);
    kvtest::ClearAlerts();
    return 0;
}
