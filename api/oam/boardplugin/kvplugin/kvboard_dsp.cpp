// The download of the DSP's firmware image: read record by record and handed
// to the driver as it is read.
#include <cstdio>
#include <memory>
#include <new>

#include "HexReader.h"
#include "KvFile.h"
#include "KvTrace.h"
#include "kvboard.h"

namespace {

// An image is read once from start to end: a large buffer saves most read calls.
const size_t kImageBufferSize = 256 * 1024;

struct DownloadTarget {
    CKvBoard* board;
    KVHANDLE handle;
};

}  // namespace

unsigned CKvBoard::read_line(FILE* file, uint8_t* count, uint16_t* address, uint8_t* type, uint8_t* data) {
    return KvReadHexRecord(file, count, address, type, data);
}

uint32_t CKvBoard::DspDownload(KVHANDLE handle, uint32_t address, const uint8_t* data, uint8_t count) {
    return BoardDspDownload(handle, address, data, count);
}

int CKvBoard::LoadDSP(KVHANDLE handle, const char* name) {
    if (name == nullptr) return 1;
    // Declared before the file so that it outlives the stream that uses it.
    std::unique_ptr<char[]> buffer;
    CKvFile file(this, name, "dsp", "rt");
    if (file.Open() != 0) return 1;
    Record(&file);
    buffer.reset(new (std::nothrow) char[kImageBufferSize]);
    if (buffer) setvbuf(file.GetStream(), buffer.get(), _IOFBF, kImageBufferSize);

    // Only a whole image is a success: a damaged or truncated image, or a
    // download the driver refused, fails the load, so the DSP is never
    // started on part of its firmware.
    DownloadTarget target = {this, handle};
    const unsigned loaded = KvLoadHexImage(
        file.GetStream(),
        [](void* context, uint32_t address, const uint8_t* data, uint8_t count) {
            DownloadTarget* t = static_cast<DownloadTarget*>(context);
            const uint32_t status = t->board->DspDownload(t->handle, address, data, count);
            if (status != 0)
                t->board->Trace(KV_TRACE_DEBUG, "CKvBoard::LoadDSP() - BoardDspDownload(%08xh) returns %d\n",
                                address, static_cast<int>(status));
            return status;
        },
        &target);
    file.Close();
    return loaded == 0 ? 0 : 1;
}
