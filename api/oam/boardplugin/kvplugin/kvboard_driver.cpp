// The board's driver handle, opened by PCI location on first use, and its
// register access: byte reads and plain or masked writes.
#include <cstdlib>

#include "KvTrace.h"
#include "kvboard.h"

namespace {

const unsigned kValueSize = 128;

}  // namespace

unsigned CKvBoard::GetPciBus() {
    char value[kValueSize] = {0};
    if (GetKeywordValue("Location.PCI.Bus", value, sizeof(value)) != 0) value[0] = '\0';
    value[sizeof(value) - 1] = '\0';
    return static_cast<unsigned>(atoi(value));
}

unsigned CKvBoard::GetPciSlot() {
    char value[kValueSize] = {0};
    if (GetKeywordValue("Location.PCI.Slot", value, sizeof(value)) != 0) value[0] = '\0';
    value[sizeof(value) - 1] = '\0';
    return static_cast<unsigned>(atoi(value));
}

unsigned CKvBoard::OpenDriver(KVHANDLE* handle) {
    Trace(KV_TRACE_API, "CKvBoard::OpenDriver()\n");
    if (handle == nullptr) return 1;
    // A handle still open would be lost by the new open: close it first. One
    // the driver refuses to close stays, for the next open or close to retry.
    if (*handle != nullptr && CloseDriver(handle) != 0) return 1;
    unsigned bus = GetPciBus();
    unsigned slot = GetPciSlot();
    uint32_t status = kvOpenByBusDeviceFunction(bus, slot, 0, handle);
    if (status == 0) return 0;
    *handle = nullptr;
    Trace(KV_TRACE_DEBUG, "kvOpen failed to open driver (%d) for board %d in PCI bus:slot %d:%d\n",
          static_cast<int>(status), static_cast<int>(GetLogicalNumber()), static_cast<int>(bus),
          static_cast<int>(slot));
    return 1;
}

unsigned CKvBoard::CloseDriver(KVHANDLE* handle) {
    Trace(KV_TRACE_API, "CKvBoard::CloseDriver()\n");
    if (handle == nullptr || *handle == nullptr) return 1;
    uint32_t status = kvClose(*handle);
    if (status != 0) {
        // The handle stays open in the driver: keep it, so that it is still
        // used and a later close can release it.
        Trace(KV_TRACE_DEBUG, "kvClose rc %08d\n", static_cast<int>(status));
        return status;
    }
    *handle = nullptr;
    return 0;
}

KVHANDLE CKvBoard::GetDriverHandle() {
    if (m_DriverHandle == nullptr && OpenDriver(&m_DriverHandle) != 0)
        Trace(KV_TRACE_DEBUG, "CKvBoard::GetDriverHandle() failed to open driver.\n");
    return m_DriverHandle;
}

uint32_t CKvBoard::ReadByteStatus(uint32_t address, uint8_t* value) {
    uint8_t byte = 0;
    uint32_t status = BoardReadByte(GetDriverHandle(), address, &byte);
    if (status == 0)
        Trace(KV_TRACE_READ_BYTE, "CKvBoard::ReadByte() -> %08x %02x\n", address, byte);
    else
        Trace(KV_TRACE_DEBUG, "CKvBoard::ReadByte() - BoardReadByte(%08xh) returns %d (%08xh)\n", address,
              static_cast<int>(status), status);
    if (value != nullptr) *value = byte;
    return status;
}

uint8_t CKvBoard::ReadByte(uint32_t address) {
    uint8_t byte = 0;
    ReadByteStatus(address, &byte);
    return byte;
}

void CKvBoard::WriteByte(uint32_t address, uint8_t value) {
    Trace(KV_TRACE_WRITE_BYTE, "CKvBoard::WriteByte() -> %08x %02x\n", address, value);
    uint32_t status = BoardWriteByte(GetDriverHandle(), address, value);
    if (status != 0)
        Trace(KV_TRACE_DEBUG, "CKvBoard::WriteByte(Address => %08x, Value => %02x) returns %d (%08xh)\n",
              address, value, static_cast<int>(status), status);
}

void CKvBoard::WriteByte(uint32_t address, uint8_t mask, uint8_t value) {
    Trace(KV_TRACE_WRITE_BYTE, "CKvBoard::WriteByte() -> %08x %02x %02x\n", address, mask, value);
    uint8_t old = 0;
    if (ReadByteStatus(address, &old) != 0) {
        // Without the old byte the other bits of the register are unknown:
        // writing over them would switch off whatever they control.
        Trace(KV_TRACE_DEBUG,
              "CKvBoard::WriteByte(Address => %08x, Mask => %02x, Value => %02x) not written: "
              "register could not be read\n",
              address, mask, value);
        return;
    }
    uint8_t byte = static_cast<uint8_t>((old & ~mask) | (value & mask));
    uint32_t status = BoardWriteByte(GetDriverHandle(), address, byte);
    if (status != 0)
        Trace(KV_TRACE_DEBUG,
              "CKvBoard::WriteByte(Address => %08x, Mask => %02x, Value => %02x) returns %d (%08xh)\n",
              address, mask, value, static_cast<int>(status), status);
}
