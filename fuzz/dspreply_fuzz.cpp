// Feeds arbitrary DSP replies to every command of the DSP channel: the emulated board's next reply is set raw
// (kvemu::SetNextReply) and one command runs, which takes it; the last operation dumps the reply as an event
// instead.
//
// Input: an operation byte (% 16 the operation, / 16 its sensor number or G.711 encoding), then the reply
// (its first 78 bytes, zero-padded). One command per input: a reply's handling depends on nothing an earlier
// one left. The board and its driver handle are made once; what the plug-in prints on standard output goes to
// /dev/null.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Dsp.h"
#include "kvboard.h"
#include "kvemu.h"

namespace {

cDsp* Setup() {
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    CKvBoard* board = new CKvBoard("fuzz", "KV 7400C-48");
    cDsp* dsp = dynamic_cast<cDsp*>(board->GetKeywordByName("Dsp"));
    if (dsp == nullptr || board->GetDriverHandle() == nullptr) abort();
    return dsp;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static cDsp* dsp = Setup();
    if (size == 0) return 0;
    unsigned operation = data[0] % 16, argument = data[0] / 16;
    __DSP_UP_MESSAGE__ reply = {};
    memcpy(&reply, data + 1, size - 1 < sizeof reply ? size - 1 : sizeof reply);
    if (kvemu::SetNextReply(0, 0, &reply, sizeof reply) != 0) abort();
    unsigned sensor = argument % 8;  // 5 to 7: no such sensor
    uint32_t reading = 0;
    switch (operation) {
    case 0: dsp->SoftReset(); break;
    case 1: dsp->InitializeSxChain(); break;
    case 2: dsp->GetInfo(); break;
    case 3: dsp->ConfigurePx(); break;
    case 4:
        dsp->m_Encoding = argument % 3 == 2 ? 0xFFFFFFFF : argument % 3;
        dsp->ConfigureG711();
        break;
    case 5: dsp->ConfigureRinger(); break;
    case 6: dsp->SetBoardTypecPci(); break;
    case 7: dsp->SetBoardTypePci(); break;
    case 8: dsp->SetInterruptRate(); break;
    case 9: dsp->StartThermo(sensor); break;
    case 10: dsp->StopThermo(sensor); break;
    case 11: dsp->ConfigureThermo(sensor, 93, 95, 106, 108); break;
    case 12: dsp->ReadThermo(sensor, &reading); break;
    case 13: dsp->StartBoardMonitoring(); break;
    case 14: dsp->StopBoardMonitoring(); break;
    default: cDsp::DumpEvent(reply); break;
    }
    kvemu::ClearJournal();  // frees what the input's calls left in it
    return 0;
}
