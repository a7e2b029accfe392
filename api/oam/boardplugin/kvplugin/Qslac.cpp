// The QSLAC line circuits (four channels each) and their boot.
#include "Qslac.h"

#include <cstdio>

#include "KvBoardServices.h"

namespace {

enum : uint32_t {
    kRejected = 0xFFFFFFFFu,
    kEncodingAlaw = 17,
    kEncodingUlaw = 43,
};

}  // namespace

cQslac::cQslac(IKvBoardServices* board) : m_FileNames(), m_ChannelPorts(), m_pBoard(board) {
    for (unsigned c = 0; c < 4; ++c) {
        m_Timeslots[c] = 0xFFFFFFFFu;
        m_SlicIoDirections[c] = 0xFFFFFFFFu;
        m_Encodings[c] = 0xFFFFFFFFu;
    }
}

unsigned cQslac::SetTimeslot(unsigned channel, unsigned timeslot) {
    if (channel >= 4) return kRejected;
    m_Timeslots[channel] = timeslot;
    return 0;
}

unsigned cQslac::SetEncodingAlaw(unsigned channel) {
    if (channel >= 4) return kRejected;
    m_Encodings[channel] = kEncodingAlaw;
    return 0;
}

unsigned cQslac::SetEncodingUlaw(unsigned channel) {
    if (channel >= 4) return kRejected;
    m_Encodings[channel] = kEncodingUlaw;
    return 0;
}

// Only the five low bits drive SLIC outputs; the others must stay clear.
unsigned cQslac::SetSlicIoDirection(unsigned channel, uint8_t value) {
    if (channel >= 4 || (value & 0xE0) != 0) return kRejected;
    m_SlicIoDirections[channel] = value;
    return 0;
}

unsigned cQslac::SetPort(unsigned channel, cPort* port) {
    if (channel >= 4 || port == nullptr) return kRejected;
    m_ChannelPorts[channel] = port;
    return 0;
}

void cQslac::SetFilename(unsigned channel, const char* name) {
    if (channel >= 4 || name == nullptr || name[0] == '\0') return;
    snprintf(m_FileNames[channel], sizeof(m_FileNames[channel]), "%s", name);
}

const char* cQslac::GetFilename(unsigned channel) {
    if (channel >= 4) return "";
    return m_FileNames[channel];
}

// Sends one command string to the circuit serving a port; failures are only
// printed, the boot goes on.
static void SendCommand(KVHANDLE handle, uint32_t port, const uint8_t* bytes, uint32_t count, bool report) {
    uint32_t rc = LineConfigureSingle(handle, port, bytes, count);
    if (rc != 0 && report) {
        printf("LineConfigureSingle returns %d\n", int(rc));
        fflush(stdout);
    }
}

unsigned cQslac::Boot() {
    KVHANDLE handle = m_pBoard != nullptr ? m_pBoard->GetDriverHandle() : nullptr;
    // A circuit is addressed through the ports of its channels; a channel
    // without a port cannot be addressed and is left out.
    if (m_ChannelPorts[0] != nullptr) {
        const uint32_t port = m_ChannelPorts[0]->m_Number;
        static const uint8_t kStep1[] = {0x46, 0x82};
        static const uint8_t kStep2[] = {0x44, 0x40, 0xC8, 0x00};
        SendCommand(handle, port, kStep1, sizeof(kStep1), false);
        SendCommand(handle, port, kStep2, sizeof(kStep2), true);
    }
    for (unsigned c = 0; c < 4; ++c) {
        if (m_ChannelPorts[c] == nullptr) continue;
        const uint8_t slot = uint8_t(m_Timeslots[c] & 0xFF);
        const uint8_t law = m_Encodings[c] == kEncodingAlaw ? 0x3F : 0x7F;
        const uint8_t channel[17] = {0x4A, uint8_t(0x20 + (1u << c)),
                                     0x40, slot,
                                     0x42, slot,
                                     0x52, 0x3F,
                                     0x54, uint8_t(m_SlicIoDirections[c] & 0xFF),
                                     0x60, law,
                                     0x6C, 0xFF,
                                     0x70, 0x00,
                                     0x0E};
        SendCommand(handle, m_ChannelPorts[c]->m_Number, channel, sizeof(channel), true);
    }
    return 0;
}

unsigned cQslac::LoopbackOn(unsigned) { return 0; }
unsigned cQslac::LoopbackOff(unsigned) { return 0; }
