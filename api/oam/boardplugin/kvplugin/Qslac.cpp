// The QSLAC line circuits (four channels each), the board's ports and the
// coefficient files they are given at start.
#include "Qslac.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "PortGroup.h"
#include "QslacFile.h"
#include "kvboard.h"

namespace {

enum : uint32_t {
    kRejected = 0xFFFFFFFFu,
    kEncodingAlaw = 17,
    kEncodingUlaw = 43,
    kCoefficientCapacity = 512,
};

}  // namespace

cQslac::cQslac(CKvBoard* board) : m_FileNames(), m_ChannelPorts(), m_pBoard(board) {
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
        const uint8_t channel[17] = {0x4A, uint8_t(0x20 + (1u << c)), 0x40, slot, 0x42, slot,
                                     0x52, 0x3F, 0x54, uint8_t(m_SlicIoDirections[c] & 0xFF),
                                     0x60, law, 0x6C, 0xFF, 0x70, 0x00, 0x0E};
        SendCommand(handle, m_ChannelPorts[c]->m_Number, channel, sizeof(channel), true);
    }
    return 0;
}

unsigned cQslac::LoopbackOn(unsigned) { return 0; }
unsigned cQslac::LoopbackOff(unsigned) { return 0; }

// ---------------------------------------------------------------------------
// The board's ports and coefficient files

void CKvBoard::MapQslacFilesToPorts() {
    // Ports 0 to 47: channel n mod 4 of circuit (n mod 16) div 4 of group n div 16.
    for (cPortGroup* g = m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g)) {
        for (cQslac* q = g->m_Qslacs.Head(); q != nullptr; q = cList<cQslac>::Next(q)) {
            for (unsigned c = 0; c < 4; ++c) {
                cPort* port = new (std::nothrow) cPort;
                if (port == nullptr) {
                    Error("CKvBoard::MapQslacFilesToPorts() - memory allocation failed\n");
                    return;
                }
                port->m_Number = m_Ports.m_Count;
                port->m_Qslac = q;
                port->m_Channel = c;
                q->SetPort(c, port);
                m_Ports.AddToTail(port);
            }
        }
    }

    CZelKeyword* defaultFile = GetKeywordByName("DefaultQslacFile");
    if (defaultFile == nullptr) {
        Error("CKvBoard::MapQslacFilesToPorts() - expected keyword 'DefaultQslacFile' not found\n");
        return;
    }

    char defaultName[128] = "";
    if (defaultFile->GetKeywordValue(nullptr, defaultName, sizeof(defaultName)) == 0) {
        for (cPort* p = m_Ports.Head(); p != nullptr; p = cList<cPort>::Next(p)) {
            // A port's own file, when the tree holds one and it is set,
            // takes the place of the default.
            char keyword[64];
            snprintf(keyword, sizeof(keyword), "Port[%u].Qslac.File", p->m_Number);
            char own[255] = "";
            const char* name = defaultName;
            if (FindKeyword(keyword) != nullptr) {
                if (GetKeywordValue(keyword, own, sizeof(own)) != 0) {
                    Warning("CKvBoard::MapQslacFilesToPorts() - could not read keyword '%s'\n", keyword);
                } else if (own[0] != '\0') {
                    name = own;
                }
            }
            p->m_Qslac->SetFilename(p->m_Channel, name);
        }
    }

    // One record per distinct file name, in order of first use, each with
    // copies of its ports in port order.
    for (cPort* p = m_Ports.Head(); p != nullptr; p = cList<cPort>::Next(p)) {
        std::unique_ptr<cQslacFile> record(
            new (std::nothrow) cQslacFile(this, p->m_Qslac->GetFilename(p->m_Channel)));
        cPort* copy = new (std::nothrow) cPort(*p);
        if (record == nullptr || copy == nullptr) {
            delete copy;
            Error("CKvBoard::MapQslacFilesToPorts() - memory allocation failed\n");
            return;
        }
        cQslacFile* found = m_QslacFiles.Find(record.get());
        if (found != nullptr) {
            found->AddPort(copy);
        } else {
            record->AddPort(copy);
            m_QslacFiles.AddToTail(record.release());
        }
    }
}

void CKvBoard::ConfigureLineInterfaceHardware() {
    for (cPortGroup* g = m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g))
        for (cQslac* q = g->m_Qslacs.Head(); q != nullptr; q = cList<cQslac>::Next(q)) q->Boot();

    for (cQslacFile* f = m_QslacFiles.Head(); f != nullptr; f = cList<cQslacFile>::Next(f)) {
        if (f->Open() != 0) {
            Error("Could not open file '%s'\n", f->GetName());
            continue;
        }
        Record(f);
        uint8_t coefficients[kCoefficientCapacity];
        uint32_t byteCount = 0;
        if (f->Parse(coefficients, sizeof(coefficients), &byteCount) != 0) {
            Error("Could not parse file %s\n", f->GetName());
        } else {
            cList<cPort>& ports = f->GetPortList();
            std::unique_ptr<uint32_t[]> numbers(new (std::nothrow) uint32_t[ports.m_Count + 1]);
            if (numbers == nullptr) {
                Error("CKvBoard::ConfigureLineInterfaceHardware() - memory allocation failed\n");
            } else {
                uint32_t count = 0;
                for (cPort* p = ports.Head(); p != nullptr && count < ports.m_Count; p = cList<cPort>::Next(p))
                    numbers[count++] = p->m_Number;
                uint32_t rc = LineConfigureMultiple(GetDriverHandle(), numbers.get(), count, coefficients, byteCount);
                if (rc != 0) Error("LineConfigureMultiple returns %d\n", int(rc));
            }
        }
        f->Close();
    }

    for (cPort* p = m_Ports.Head(); p != nullptr; p = cList<cPort>::Next(p)) {
        uint32_t rc = LineSetGxZeroValues(GetDriverHandle(), p->m_Number, 0xA4, 0x40);
        if (rc != 0) Error("LineSetGxZeroValues returns %d\n", int(rc));
        rc = LineSetGrZeroValues(GetDriverHandle(), p->m_Number, 0xA2, 0x51);
        if (rc != 0) Error("LineSetGrZeroValues returns %d\n", int(rc));
    }
}
