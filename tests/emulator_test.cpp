// The emulated driver library, driven through its own calls and checked
// through the control header: registers, EEPROM, journal, faults, switch
// device, DSP, messages, L2P table, line circuits and switch chip.
#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kvd/kvdevice.h"
#include "kvd/kvdriver.h"
#include "kvemu.h"

namespace {

bool Readable(uint32_t fd) {
    pollfd p{static_cast<int>(fd), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

std::string LastLine() {
    std::vector<std::string> journal = kvemu::Journal();
    return journal.empty() ? std::string() : journal.back();
}

#pragma pack(push, 1)
struct Reply {
    uint32_t manager;
    uint16_t length, target, handle, timestamp, type;
    uint16_t params[32];
};
#pragma pack(pop)
static_assert(sizeof(Reply) == 78, "a DSP up-message is 78 bytes");

class EmulatorTest : public ::testing::Test {
protected:
    KVHANDLE h = nullptr;

    void SetUp() override {
        kvemu::Reset();
        ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, &h));
        kvemu::ClearJournal();
    }
    void TearDown() override { kvemu::Reset(); }

    // Sends a command with its parameters as the plug-in builds it.
    uint32_t Send(uint16_t code, std::vector<uint16_t> params, Reply* reply, KVHANDLE handle = nullptr) {
        uint8_t record[78] = {};
        uint32_t manager = 2;
        uint16_t head[4] = {static_cast<uint16_t>(params.size() + 4), 0x8000, 0xFFFF, code};
        std::memcpy(record, &manager, 4);
        std::memcpy(record + 4, head, 8);
        std::memcpy(record + 12, params.data(), 2 * params.size());
        std::memset(reply, 0, sizeof *reply);
        return kvSendMessage(handle ? handle : h, record, static_cast<uint32_t>(2 * head[0] + 4), reply, 78);
    }

    // Downloads a firmware image header in two pieces and starts the DSP.
    void StartFirmware(const char* magic = "KVDSPFW1") {
        uint8_t image[18];
        std::memcpy(image, magic, 8);
        const uint16_t words[5] = {0x0203, 7, 48, 123, 900};
        std::memcpy(image + 8, words, 10);
        ASSERT_EQ(0u, BoardDspDownload(h, 0, image, 10));
        ASSERT_EQ(0u, BoardDspDownload(h, 10, image + 10, 8));
        ASSERT_EQ(0u, BoardDspStart(h));
    }

    std::vector<uint8_t> Receive(KVHANDLE handle, uint32_t* status) {
        std::vector<uint8_t> buffer(116, 0);
        uint32_t length = 0;
        *status = kvReceiveMessage(handle, buffer.data(), 116, &length);
        buffer.resize(*status == 0 ? length : 0);
        return buffer;
    }
};

TEST_F(EmulatorTest, OpensOnlyWhereABoardIsAndRefusesStaleHandles) {
    KVHANDLE other = reinterpret_cast<KVHANDLE>(1);
    EXPECT_EQ(KVD_ERR_NO_DEVICE, kvOpenByBusDeviceFunction(0, 1, 0, &other));
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ("0:1 kvOpenByBusDeviceFunction 0 1 0 = 2", LastLine());
    EXPECT_EQ(KVD_ERR_NO_DEVICE, kvOpenByBusDeviceFunction(0, 0, 1, &other));
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, kvOpenByBusDeviceFunction(0, 0, 0, nullptr));

    ASSERT_EQ(0, kvemu::AddBoard(0, 1));
    EXPECT_EQ(-1, kvemu::AddBoard(0, 1));
    ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 1, 0, &other));
    kvemu::BoardInfo info;
    ASSERT_EQ(0, kvemu::GetBoardInfo(0, 1, &info));
    EXPECT_EQ(1u, info.openHandles);
    EXPECT_EQ(-1, info.logicalNumber);

    EXPECT_EQ(0u, kvClose(other));
    uint8_t value = 0;
    EXPECT_EQ(KVD_ERR_BAD_HANDLE, BoardReadByte(other, 0xA0008, &value));
    EXPECT_EQ("?:? BoardReadByte 0xa0008 = 6", LastLine());
    EXPECT_EQ(KVD_ERR_BAD_HANDLE, kvClose(other));
    EXPECT_EQ(KVD_ERR_BAD_HANDLE, BoardWriteByte(nullptr, 0xA0002, 1));

    // A removed board takes its handles with it.
    ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 1, 0, &other));
    ASSERT_EQ(0, kvemu::RemoveBoard(0, 1));
    EXPECT_EQ(KVD_ERR_BAD_HANDLE, BoardReadByte(other, 0xA0008, &value));
    EXPECT_EQ(-1, kvemu::GetBoardInfo(0, 1, &info));
}

TEST_F(EmulatorTest, RegistersReadBackPerBoardAndJournalInHex) {
    uint8_t value = 0;
    EXPECT_EQ(0u, BoardReadByte(h, 0xA0008, &value));
    EXPECT_EQ(0xE0, value);
    EXPECT_EQ(0u, BoardReadByte(h, 0xA0002, &value));
    EXPECT_EQ(0, value);
    EXPECT_EQ(0u, BoardWriteByte(h, 0xA0002, 0xFB));
    EXPECT_EQ(0u, BoardReadByte(h, 0xA0002, &value));
    EXPECT_EQ(0xFB, value);
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, BoardReadByte(h, 0xA0002, nullptr));

    std::vector<std::string> expected = {
        "0:0 BoardReadByte 0xa0008 = 0 -> 0xe0",
        "0:0 BoardReadByte 0xa0002 = 0 -> 0x0",
        "0:0 BoardWriteByte 0xa0002 0xfb = 0",
        "0:0 BoardReadByte 0xa0002 = 0 -> 0xfb",
        "0:0 BoardReadByte 0xa0002 = 22",
    };
    EXPECT_EQ(expected, kvemu::Journal());

    // Another board has its own register space; the back door is not journaled.
    ASSERT_EQ(0, kvemu::AddBoard(3, 7));
    ASSERT_EQ(0, kvemu::WriteRegister(3, 7, 0xA0002, 0x11));
    ASSERT_EQ(0, kvemu::ReadRegister(3, 7, 0xA0008, &value));
    EXPECT_EQ(0xE0, value);
    ASSERT_EQ(0, kvemu::ReadRegister(0, 0, 0xA0002, &value));
    EXPECT_EQ(0xFB, value);
    EXPECT_EQ(5u, kvemu::Journal().size());
    EXPECT_EQ(-1, kvemu::WriteRegister(9, 9, 0xA0002, 1));

    // Reset restores the defaults.
    kvemu::Reset();
    ASSERT_EQ(0, kvemu::ReadRegister(0, 0, 0xA0002, &value));
    EXPECT_EQ(0, value);
    EXPECT_EQ(1u, kvemu::Boards().size());
}

TEST_F(EmulatorTest, EepromRecordIsReadWithinBounds) {
    uint8_t record[24];
    ASSERT_EQ(0u, BoardEEPROMGetData(h, 128, record, 24));
    EXPECT_EQ("0:0 BoardEEPROMGetData 0x80 24 = 0", LastLine());
    uint16_t family, year;
    uint32_t serial;
    std::memcpy(&family, record, 2);
    std::memcpy(&year, record + 8, 2);
    std::memcpy(&serial, record + 12, 4);
    EXPECT_EQ(0x7400, family);
    EXPECT_GE(year, 1990);
    EXPECT_LE(record[10], 53);  // week of the year
    EXPECT_NE(0u, serial);

    uint8_t mine[24];
    for (int i = 0; i < 24; ++i) mine[i] = static_cast<uint8_t>(i * 3);
    ASSERT_EQ(0, kvemu::SetEeprom(0, 0, mine));
    ASSERT_EQ(0u, BoardEEPROMGetData(h, 128, record, 24));
    EXPECT_EQ(0, std::memcmp(mine, record, 24));

    uint8_t big[300];
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, BoardEEPROMGetData(h, 250, big, 24));
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, BoardEEPROMGetData(h, 0, big, 257));
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, BoardEEPROMGetData(h, 128, nullptr, 24));
}

TEST_F(EmulatorTest, FaultsHitTheNthCallOrEveryCallAndDoNothingElse) {
    uint8_t value = 0;
    // The second write from now fails, once; it does not reach the register.
    ASSERT_EQ(0, kvemu::SetFault("BoardWriteByte", 5, 2));
    EXPECT_EQ(0u, BoardWriteByte(h, 0x10, 1));
    EXPECT_EQ(5u, BoardWriteByte(h, 0x10, 2));
    EXPECT_EQ("0:0 BoardWriteByte 0x10 0x2 = 5", LastLine());
    EXPECT_EQ(0u, BoardWriteByte(h, 0x11, 3));
    ASSERT_EQ(0, kvemu::ReadRegister(0, 0, 0x10, &value));
    EXPECT_EQ(1, value);

    // Every call, until status 0 removes it; other functions are untouched.
    ASSERT_EQ(0, kvemu::SetFault("BoardReadByte", 0x1234, 0));
    value = 0x77;
    EXPECT_EQ(0x1234u, BoardReadByte(h, 0x10, &value));
    EXPECT_EQ(0x1234u, BoardReadByte(h, 0x10, &value));
    EXPECT_EQ(0x77, value);
    EXPECT_EQ(0u, BoardWriteByte(h, 0x10, 4));
    ASSERT_EQ(0, kvemu::SetFault("BoardReadByte", 0, 0));
    EXPECT_EQ(0u, BoardReadByte(h, 0x10, &value));
    EXPECT_EQ(4, value);

    // A faulted open journals under the location asked for.
    ASSERT_EQ(0, kvemu::SetFault("kvOpenByBusDeviceFunction", 99, 1));
    KVHANDLE other = nullptr;
    EXPECT_EQ(99u, kvOpenByBusDeviceFunction(0, 0, 0, &other));
    EXPECT_EQ("0:0 kvOpenByBusDeviceFunction 0 0 0 = 99", LastLine());
    EXPECT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, &other));

    // Switch-chip calls answer the status as an int.
    HMICHANDLE hmic = nullptr;
    ASSERT_EQ(0u, kvGetHmicHandle(h, 0, &hmic));
    ASSERT_EQ(0, kvemu::SetFault("hmic_id_device_type", static_cast<uint32_t>(-5), 0));
    EXPECT_EQ(-5, hmic_id_device_type(hmic));
    EXPECT_EQ("0:0 hmic_id_device_type = -5", LastLine());

    EXPECT_EQ(-1, kvemu::SetFault("NoSuchCall", 1, 0));
    kvemu::ClearFaults();
    EXPECT_GT(hmic_id_device_type(hmic), 0);
}

TEST_F(EmulatorTest, SwitchDeviceAppliesMvipRequestsToTheConnectionMap) {
    // No logical number yet: the path is not the emulator's, the system refuses it.
    errno = 0;
    EXPECT_EQ(-1, kvDevOpen("/dev/kvsw00", O_RDONLY));
    ASSERT_EQ(0u, BoardSetLogicalNumber(h, 0));
    EXPECT_EQ(-1, kvDevOpen("/dev/kvsw00", O_RDWR));
    EXPECT_EQ(EACCES, errno);
    int fd = kvDevOpen("/dev/kvsw00", O_RDONLY);
    ASSERT_GE(fd, 0);
    kvemu::BoardInfo info;
    ASSERT_EQ(0, kvemu::GetBoardInfo(0, 0, &info));
    EXPECT_EQ(1u, info.openDevices);

    uint32_t set[1 + 16] = {68, 1, 5, 0, 2, 1, 0, 0, 0, 1, 0, 3, 2, 1, 4, 3, 0};
    ASSERT_EQ(0, kvDevIoctl(fd, 259, set));
    EXPECT_EQ("0:0 ioctl 259 68 1 5 0 2 1 0 0 0 1 0 3 2 1 4 3 0 = 0", LastLine());
    uint32_t again[9] = {36, 1, 7, 0, 2, 1, 0, 0, 0};  // output 0:0 gets a new source
    ASSERT_EQ(0, kvDevIoctl(fd, 259, again));
    std::vector<kvemu::Connection> map;
    ASSERT_EQ(0, kvemu::GetConnections(0, 0, &map));
    ASSERT_EQ(2u, map.size());
    EXPECT_EQ(4u, map[0].outStream);
    EXPECT_EQ(3u, map[0].outSlot);
    EXPECT_EQ(0u, map[0].srcStream);
    EXPECT_EQ(3u, map[0].srcSlot);
    EXPECT_EQ(0u, map[1].outStream);
    EXPECT_EQ(7u, map[1].srcStream);

    struct {
        unsigned long request;
        std::vector<uint32_t> record;
        int error;
    } refused[] = {
        {259, {35, 1, 5, 0, 2, 1, 0, 0, 0}, EINVAL},   // size word not 4 + 32n
        {259, {4}, EINVAL},                            // no entry
        {259, {36, 9, 5, 0, 2, 1, 0, 0, 0}, EINVAL},   // entry constants wrong
        {273, {32, 5, 1, 1, 3, 0, 0, 1, 1}, EINVAL},   // clock record of the wrong size
        {300, {0}, EINVAL},                            // unknown request
    };
    for (auto& r : refused) {
        errno = 0;
        EXPECT_EQ(-1, kvDevIoctl(fd, r.request, r.record.data())) << r.request;
        EXPECT_EQ(r.error, errno) << r.request;
    }
    ASSERT_EQ(0, kvemu::GetConnections(0, 0, &map));
    EXPECT_EQ(2u, map.size());

    uint32_t clock[9] = {36, 5, 1, 1, 3, 0, 0, 1, 1};
    ASSERT_EQ(0, kvDevIoctl(fd, 273, clock));
    uint32_t kept[9];
    ASSERT_TRUE(kvemu::GetClockRecord(0, 0, kept));
    EXPECT_EQ(0, std::memcmp(clock, kept, sizeof clock));

    // An injected errno; then the reset empties the map.
    ASSERT_EQ(0, kvemu::SetFault("ioctl", EIO, 1));
    uint32_t word = 0;
    EXPECT_EQ(-1, kvDevIoctl(fd, 257, &word));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ("0:0 ioctl 257 0 = 5", LastLine());
    ASSERT_EQ(0, kvDevIoctl(fd, 257, &word));
    ASSERT_EQ(0, kvemu::GetConnections(0, 0, &map));
    EXPECT_TRUE(map.empty());

    EXPECT_EQ(0, kvDevClose(fd));
    EXPECT_EQ("0:0 close = 0", LastLine());
    ASSERT_EQ(0, kvemu::GetBoardInfo(0, 0, &info));
    EXPECT_EQ(0u, info.openDevices);

    // Another switch driver name and logical number.
    kvemu::SetSwitchDriverName("mvsw");
    ASSERT_EQ(0u, BoardSetLogicalNumber(h, 7));
    fd = kvDevOpen("/dev/mvsw07", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ("0:0 open /dev/mvsw07 0x0 = 0", LastLine());
    EXPECT_EQ(0, kvDevClose(fd));
}

TEST_F(EmulatorTest, DspWithoutRecognisedFirmwareStaysSilent) {
    Reply reply;
    EXPECT_EQ(KVD_ERR_TIMEOUT, Send(0x06, {1}, &reply));
    const uint8_t junk[4] = {1, 2, 3, 4};
    ASSERT_EQ(0u, BoardDspDownload(h, 0, junk, 4));
    EXPECT_EQ("0:0 BoardDspDownload 0x0 4 = 0", LastLine());
    ASSERT_EQ(0u, BoardDspStart(h));
    EXPECT_EQ(KVD_ERR_TIMEOUT, Send(0x06, {1}, &reply));
    kvemu::DspState dsp;
    ASSERT_EQ(0, kvemu::GetDspState(0, 0, &dsp));
    EXPECT_FALSE(dsp.running);
    EXPECT_FALSE(dsp.recognised);
    EXPECT_EQ(4u, dsp.bytesLoaded);

    // A recognised image runs; a reset stops it and clears its memory.
    StartFirmware();
    EXPECT_EQ(0u, Send(0x06, {1}, &reply));
    ASSERT_EQ(0u, BoardDspReset(h));
    uint8_t memory[8];
    ASSERT_EQ(0, kvemu::ReadDspMemory(0, 0, 0, memory, 8));
    EXPECT_EQ(std::vector<uint8_t>(8, 0), std::vector<uint8_t>(memory, memory + 8));
    ASSERT_EQ(0u, BoardDspStart(h));
    EXPECT_EQ(KVD_ERR_TIMEOUT, Send(0x06, {1}, &reply));
}

TEST_F(EmulatorTest, RunningDspAnswersEveryCommandAndKeepsWhatItWasTold) {
    StartFirmware();
    Reply reply;
    ASSERT_EQ(0u, Send(0x06, {1}, &reply));
    EXPECT_EQ("0:0 kvSendMessage 2 5 0x8000 0xffff 0x6 0x1 = 0", LastLine());

    struct {
        uint16_t code;
        std::vector<uint16_t> params;
        uint16_t length, reason;
    } table[] = {
        {0x02, {}, 6, 0},
        {0x04, {0, 2}, 6, 0},
        {0x06, {0}, 6, 0},
        {0x06, {2}, 6, 0xFFFE},  // no such law
        {0x13, {2, 93, 95, 106, 108}, 7, 0},
        {0x11, {2}, 7, 0},
        {0x11, {5}, 7, 0xFFFE},  // no sensor 5
        {0x14, {2}, 9, 0},
        {0x15, {}, 6, 0},
        {0x0A, {}, 6, 0xFFFF},   // unknown code
    };
    for (auto& row : table) {
        ASSERT_EQ(0u, Send(row.code, row.params, &reply)) << row.code;
        EXPECT_EQ(2u, reply.manager);
        EXPECT_EQ(0x8000, reply.target);
        EXPECT_EQ(0xFFFF, reply.handle);
        EXPECT_EQ(row.code, reply.type);
        EXPECT_EQ(row.length, reply.length) << row.code;
        EXPECT_EQ(row.reason, reply.params[0]) << row.code;
        if (row.length == 7 || row.length == 9) {
            EXPECT_EQ(row.params[0], reply.params[1]);
        }
    }

    std::vector<uint16_t> ring = {2000, 2000, 0, 0, 0, 0, 4000, 600, 800, 600,
                                  0,    0,    4000, 400, 400, 400, 400, 400, 4000};
    ASSERT_EQ(0u, Send(0x07, ring, &reply));
    EXPECT_EQ(0, reply.params[0]);
    ASSERT_EQ(0, kvemu::SetTemperature(0, 0, 2, 57));
    ASSERT_EQ(0u, Send(0x14, {2}, &reply));
    EXPECT_EQ(57, reply.params[2]);
    EXPECT_EQ(0, reply.params[3]);

    ASSERT_EQ(0u, Send(0x03, {}, &reply));
    EXPECT_EQ(11, reply.length);
    EXPECT_EQ((std::vector<uint16_t>{0, 0x0203, 7, 48, 123, 900}),
              std::vector<uint16_t>(reply.params, reply.params + 6));

    kvemu::DspState dsp;
    ASSERT_EQ(0, kvemu::GetDspState(0, 0, &dsp));
    EXPECT_TRUE(dsp.running);
    EXPECT_EQ(0, dsp.law);  // the refused law changed nothing
    EXPECT_TRUE(dsp.ringConfigured);
    EXPECT_EQ(ring, std::vector<uint16_t>(dsp.ring, dsp.ring + 19));
    EXPECT_TRUE(dsp.sensors[2].configured && dsp.sensors[2].running);
    EXPECT_EQ(95, dsp.sensors[2].warningHigh);
    EXPECT_EQ(108, dsp.sensors[2].protectionHigh);
    EXPECT_FALSE(dsp.sensors[0].running);
    EXPECT_TRUE(dsp.monitoring);
    EXPECT_EQ(0x0203, dsp.firmwareRevision);
    EXPECT_EQ(900, dsp.tokensAvailable);
    EXPECT_EQ(0x06, dsp.commands.front());

    // An injected reason refuses the command: the sensor is not stopped.
    ASSERT_EQ(0, kvemu::SetDspReason(0, 0, 0x12, 0x33));
    ASSERT_EQ(0u, Send(0x12, {2}, &reply));
    EXPECT_EQ(0x33, reply.params[0]);
    EXPECT_EQ(7, reply.length);
    ASSERT_EQ(0, kvemu::SetDspReason(0, 0, 0x12, 0));
    ASSERT_EQ(0, kvemu::GetDspState(0, 0, &dsp));
    EXPECT_TRUE(dsp.sensors[2].running);
    ASSERT_EQ(0u, Send(0x12, {2}, &reply));
    EXPECT_EQ(0, reply.params[0]);
}

TEST_F(EmulatorTest, MalformedCommandRecordsAreRefused) {
    StartFirmware();
    Reply reply;
    uint8_t record[78] = {};
    uint32_t manager = 2;
    uint16_t head[4] = {5, 0x8000, 0xFFFF, 0x06};
    std::memcpy(record, &manager, 4);
    std::memcpy(record + 4, head, 8);
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, kvSendMessage(h, record, 16, &reply, 78));  // length word says 14
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, kvSendMessage(h, record, 14, nullptr, 78));
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, kvSendMessage(h, record, 80, &reply, 78));  // beyond 33 parameters
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, kvSendMessage(h, nullptr, 14, &reply, 78));
    manager = 1;
    std::memcpy(record, &manager, 4);
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, kvSendMessage(h, record, 14, &reply, 78));
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, kvSendMessage(h, record, 3, &reply, 78));
    EXPECT_EQ("0:0 kvSendMessage 0x1 0x0 0x0 = 22", LastLine());

    // A short reply buffer receives the reply's first bytes only.
    uint8_t small[16];
    std::memset(small, 0xEE, sizeof small);
    uint16_t params[1] = {1};
    manager = 2;
    std::memcpy(record, &manager, 4);
    std::memcpy(record + 12, params, 2);
    ASSERT_EQ(0u, kvSendMessage(h, record, 14, small, 14));
    EXPECT_EQ(0xEE, small[14]);
}

TEST_F(EmulatorTest, MessagesReachMonitoringHandlesAndTheMuxDescriptorTracksThem) {
    KVHANDLE monitor = nullptr, idle = nullptr;
    ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, &monitor));
    ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, &idle));
    uint32_t mux = 0, idleMux = 0, again = 0;
    ASSERT_EQ(0u, kvGetMuxHandle(monitor, &mux));
    ASSERT_EQ(0u, kvGetMuxHandle(monitor, &again));
    EXPECT_EQ(mux, again);
    ASSERT_EQ(0u, kvGetMuxHandle(idle, &idleMux));
    ASSERT_EQ(0u, BoardStartMonitoring(monitor));
    EXPECT_FALSE(Readable(mux));

    uint32_t status;
    Receive(monitor, &status);
    EXPECT_EQ(KVD_ERR_NO_MESSAGE, status);

    // Heartbeats go to the monitoring handle only, one read each.
    ASSERT_EQ(0, kvemu::SendHeartbeat(0, 0, true));
    ASSERT_EQ(0, kvemu::SendHeartbeat(0, 0, false));
    EXPECT_TRUE(Readable(mux));
    EXPECT_FALSE(Readable(idleMux));
    std::vector<uint8_t> m = Receive(monitor, &status);
    ASSERT_EQ(0u, status);
    EXPECT_EQ((std::vector<uint8_t>{1, 0, 0, 0, 1, 0, 0, 0}), m);
    EXPECT_TRUE(Readable(mux));
    m = Receive(monitor, &status);
    ASSERT_EQ(8u, m.size());
    EXPECT_EQ(2, m[4]);
    EXPECT_FALSE(Readable(mux));

    // The DSP reports the board once it monitors, then every change.
    ASSERT_EQ(0, kvemu::WriteRegister(0, 0, 0xA0002, 0x0E));  // both batteries, ring voltage, ringer on
    ASSERT_EQ(0, kvemu::WriteRegister(0, 0, 0xA0008, 0xA0));  // banks 0 and 2
    EXPECT_FALSE(Readable(mux));  // no firmware yet
    StartFirmware();
    Reply reply;
    ASSERT_EQ(0u, Send(0x13, {1, 93, 95, 106, 108}, &reply));
    ASSERT_EQ(0u, Send(0x11, {1}, &reply));
    ASSERT_EQ(0u, Send(0x15, {}, &reply));
    ASSERT_TRUE(Readable(mux));
    m = Receive(monitor, &status);
    ASSERT_EQ(78u, m.size());
    Reply event;
    std::memcpy(&event, m.data(), 78);
    EXPECT_EQ(2u, event.manager);
    EXPECT_EQ(0x15, event.type);
    EXPECT_EQ(14, event.length);
    EXPECT_EQ((std::vector<uint16_t>{0x10, 0x0F, 0x05, 0, 0, 0, 0, 0x02, 1}),
              std::vector<uint16_t>(event.params, event.params + 9));
    EXPECT_FALSE(Readable(mux));

    // Thermal state follows the temperature against the thresholds.
    struct {
        int degrees;
        uint16_t state;
        bool event;
    } heat[] = {{41, 1, false}, {95, 2, true}, {107, 2, false}, {108, 3, true},
                {107, 3, false}, {100, 2, true}, {92, 1, true}};
    for (auto& step : heat) {
        ASSERT_EQ(0, kvemu::SetTemperature(0, 0, 1, step.degrees));
        ASSERT_EQ(step.event, Readable(mux)) << step.degrees;
        if (!step.event) continue;
        m = Receive(monitor, &status);
        std::memcpy(&event, m.data(), 78);
        EXPECT_EQ(step.state, event.params[8]) << step.degrees;
    }

    // A late listener hears the status at once; a closed one hears nothing.
    KVHANDLE late = nullptr;
    ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, &late));
    ASSERT_EQ(0u, BoardStartMonitoring(late));
    m = Receive(late, &status);
    ASSERT_EQ(0u, status);
    EXPECT_EQ(78u, m.size());
    ASSERT_EQ(0u, kvClose(late));
    ASSERT_EQ(0u, BoardStopMonitoring(monitor));
    ASSERT_EQ(0, kvemu::WriteRegister(0, 0, 0xA0002, 0x01));
    EXPECT_FALSE(Readable(mux));

    // Injected DSP and unknown-source messages.
    ASSERT_EQ(0u, BoardStartMonitoring(monitor));
    Receive(monitor, &status);
    ASSERT_EQ(0, kvemu::SendDspMessage(0, 0, 0x8001, 6, {0x44}));
    ASSERT_EQ(0, kvemu::SendManagerMessage(0, 0, 9));
    m = Receive(monitor, &status);
    std::memcpy(&event, m.data(), 78);
    EXPECT_EQ(0x8001, event.type);
    EXPECT_EQ(0x44, event.params[0]);
    m = Receive(monitor, &status);
    EXPECT_EQ((std::vector<uint8_t>{9, 0, 0, 0, 0, 0, 0, 0}), m);
    EXPECT_FALSE(Readable(idleMux));
}

// A reader woken by the mux descriptor gets every message once, in order,
// while another thread sends messages and commands on the same board.
TEST_F(EmulatorTest, ConcurrentSendersLoseNoMessageAndDuplicateNone) {
    KVHANDLE monitor = nullptr;
    ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, &monitor));
    uint32_t mux = 0;
    ASSERT_EQ(0u, kvGetMuxHandle(monitor, &mux));
    ASSERT_EQ(0u, BoardStartMonitoring(monitor));
    StartFirmware();
    const int kMessages = 2000;
    std::thread sender([&] {
        Reply reply;
        for (int i = 0; i < kMessages; ++i) {
            kvemu::SendDspMessage(0, 0, 0x30, 6, {static_cast<uint16_t>(i)});
            Send(0x02, {}, &reply);
        }
    });
    std::vector<uint16_t> seen;
    while (static_cast<int>(seen.size()) < kMessages) {
        pollfd p{static_cast<int>(mux), POLLIN, 0};
        ASSERT_EQ(1, ::poll(&p, 1, 5000)) << "no message after " << seen.size();
        uint32_t status;
        std::vector<uint8_t> m = Receive(monitor, &status);
        ASSERT_EQ(0u, status) << "woken without a message";
        Reply event;
        std::memcpy(&event, m.data(), 78);
        seen.push_back(event.params[0]);
    }
    sender.join();
    for (int i = 0; i < kMessages; ++i) ASSERT_EQ(i, seen[i]);
    EXPECT_FALSE(Readable(mux));
}

TEST_F(EmulatorTest, L2PTableIsKeptOnlyWhenWhole) {
    std::vector<uint16_t> table(512, 0xFFFF);
    table[16] = 0x0102;
    EXPECT_FALSE(kvemu::L2PLoaded(0, 0));
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, BoardLoadL2PTable(h, 1022, table.data()));
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, BoardLoadL2PTable(h, 1024, nullptr));
    EXPECT_FALSE(kvemu::L2PLoaded(0, 0));
    ASSERT_EQ(0u, BoardLoadL2PTable(h, 1024, table.data()));
    EXPECT_TRUE(kvemu::L2PLoaded(0, 0));
    EXPECT_EQ(0u, LastLine().find("0:0 BoardLoadL2PTable 1024 0xffff "));
    uint16_t value = 0;
    ASSERT_EQ(0, kvemu::GetL2PEntry(0, 0, 0, 16, &value));
    EXPECT_EQ(0x0102, value);
    EXPECT_EQ(-1, kvemu::GetL2PEntry(0, 0, 8, 0, &value));
    EXPECT_EQ(-1, kvemu::GetL2PEntry(0, 0, 0, 64, &value));
}

TEST_F(EmulatorTest, LineCircuitsKeepWhatEachPortWasGiven) {
    const uint8_t boot[2] = {0x46, 0x82};
    ASSERT_EQ(0u, LineConfigureSingle(h, 5, boot, 2));
    EXPECT_EQ("0:0 LineConfigureSingle 5 0x46 0x82 = 0", LastLine());
    const uint32_t ports[3] = {5, 6, 47};
    const uint8_t coefficients[2] = {0x1F, 0x2A};
    ASSERT_EQ(0u, LineConfigureMultiple(h, ports, 3, coefficients, 2));
    EXPECT_EQ("0:0 LineConfigureMultiple 5 6 47 0x1f 0x2a = 0", LastLine());
    ASSERT_EQ(0u, LineSetGxZeroValues(h, 5, 164, 64));
    ASSERT_EQ(0u, LineSetGrZeroValues(h, 5, 162, 81));
    EXPECT_EQ("0:0 LineSetGrZeroValues 5 0xa2 0x51 = 0", LastLine());

    kvemu::PortInfo port;
    ASSERT_EQ(0, kvemu::GetPortInfo(0, 0, 5, &port));
    ASSERT_EQ(1u, port.commands.size());
    EXPECT_EQ((std::vector<uint8_t>{0x46, 0x82}), port.commands[0]);
    EXPECT_EQ((std::vector<uint8_t>{0x1F, 0x2A}), port.coefficients);
    EXPECT_EQ(1u, port.coefficientLoads);
    EXPECT_TRUE(port.gxSet && port.grSet);
    EXPECT_EQ(164u, port.gx[0]);
    EXPECT_EQ(81u, port.gr[1]);
    ASSERT_EQ(0, kvemu::GetPortInfo(0, 0, 47, &port));
    EXPECT_EQ(1u, port.coefficientLoads);
    EXPECT_FALSE(port.gxSet);

    // Ports beyond the board's 48 are refused, and no port is half loaded.
    const uint32_t bad[2] = {7, 48};
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, LineConfigureMultiple(h, bad, 2, coefficients, 2));
    ASSERT_EQ(0, kvemu::GetPortInfo(0, 0, 7, &port));
    EXPECT_EQ(0u, port.coefficientLoads);
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, LineConfigureSingle(h, 48, boot, 2));
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, LineSetGxZeroValues(h, 48, 164, 64));
    EXPECT_EQ(-1, kvemu::GetPortInfo(0, 0, 48, &port));

    // A new board's circuits were given nothing.
    ASSERT_EQ(0, kvemu::AddBoard(1, 1));
    for (unsigned p = 0; p < 48; ++p) {
        ASSERT_EQ(0, kvemu::GetPortInfo(1, 1, p, &port));
        EXPECT_TRUE(port.commands.empty() && port.coefficients.empty()) << p;
        EXPECT_EQ(0u, port.coefficientLoads) << p;
        EXPECT_FALSE(port.gxSet || port.grSet) << p;
    }
}

TEST_F(EmulatorTest, SwitchChipKeepsRegistersAndEndsStreamsByTheirSpeed) {
    HMICHANDLE hmic = nullptr;
    ASSERT_EQ(0u, kvGetHmicHandle(h, 0, &hmic));
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, kvGetHmicHandle(h, 1, &hmic));
    EXPECT_GT(hmic_id_device_type(hmic), 0);
    EXPECT_EQ(HMIC_ERR_BAD_HANDLE, hmic_id_device_type(nullptr));

    EXPECT_EQ(0, hmic_set_master_reg(hmic, 0xFE, 0xE0));
    EXPECT_EQ(0, hmic_set_control_reg(hmic, 24, 0x12));
    unsigned value = 0;
    EXPECT_EQ(0, hmic_read_control_reg(hmic, 24, &value));
    EXPECT_EQ(0x12u, value);
    EXPECT_EQ("0:0 hmic_read_control_reg 24 = 0 -> 0x12", LastLine());
    EXPECT_EQ(HMIC_ERR_BAD_ARGUMENT, hmic_set_control_reg(hmic, 64, 1));
    EXPECT_EQ(HMIC_ERR_BAD_ARGUMENT, hmic_read_control_reg(hmic, 1, nullptr));

    const int streams[32] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    ASSERT_EQ(0, hmic_config_LBus_speed(hmic, 8, streams, 2));
    ASSERT_EQ(0, hmic_config_LBus_speed(hmic, 4, streams + 12, 8));
    EXPECT_EQ("0:0 hmic_config_LBus_speed 4 12 13 14 15 8 = 0", LastLine());
    const int beyond[4] = {14, 15, 16, 17};  // local streams end at 15
    EXPECT_EQ(HMIC_ERR_BAD_ARGUMENT, hmic_config_LBus_speed(hmic, 4, beyond, 4));
    ASSERT_EQ(0, hmic_config_HBus_speed(hmic, 4, streams, 8));

    struct {
        unsigned stream, timeslot;
        int result;
    } outputs[] = {{0, 31, 0}, {0, 32, HMIC_ERR_END_OF_STREAM}, {12, 127, 0},
                   {12, 128, HMIC_ERR_END_OF_STREAM}, {16, 0, HMIC_ERR_BAD_ARGUMENT}};
    for (auto& o : outputs)
        EXPECT_EQ(o.result, hmic_set_output(hmic, 1, o.stream, o.timeslot, 0x40, 0, 0, 0, 0x55))
            << o.stream << ":" << o.timeslot;
    EXPECT_EQ("0:0 hmic_set_output 1 16 0 0x40 0 0 0 0x55 = -3083", LastLine());

    kvemu::SwitchChip chip;
    ASSERT_EQ(0, kvemu::GetSwitchChip(0, 0, &chip));
    EXPECT_EQ(2u, chip.outputsSet);
    EXPECT_EQ(2u, chip.lbusSpeed[7]);
    EXPECT_EQ(0u, chip.lbusSpeed[8]);
    EXPECT_EQ(8u, chip.hbusSpeed[3]);
    ASSERT_EQ(1u, chip.masterPairs.size());
    EXPECT_EQ(0xFEu, chip.masterPairs[0].first);
    EXPECT_EQ(0x12u, chip.controlRegs[24]);
}

}  // namespace
