// The emulated driver library, driven through its own calls and checked through the control header.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kvd/kvdevice.h"
#include "kvd/kvdriver.h"
#include "kvemu.h"
#include "process_usage.h"

namespace {

using Statuses = std::vector<uint32_t>;
using Words = std::vector<uint16_t>;

bool Readable(uint32_t fd) {
    pollfd p{static_cast<int>(fd), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

std::string LastLine(int back = 1) {
    std::vector<std::string> journal = kvemu::Journal();
    return static_cast<int>(journal.size()) < back ? std::string() : journal.end()[-back];
}

#pragma pack(push, 1)
struct Reply {
    uint32_t manager;
    uint16_t length, target, handle, timestamp, type, params[32];
};
struct Command {
    uint32_t manager;
    uint16_t length, target, handle, code, params[33];
};
#pragma pack(pop)

class EmulatorTest : public ::testing::Test {
protected:
    KVHANDLE h = nullptr;
    Reply reply;

    void SetUp() override {
        kvemu::Reset();
        ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, &h));
        kvemu::ClearJournal();
    }
    void TearDown() override { kvemu::Reset(); }

    // Sends a command as the plug-in builds it; the answer lands in *into (default: reply).
    uint32_t Send(uint16_t code, Words params, Reply* into = nullptr) {
        Command c{2, static_cast<uint16_t>(params.size() + 4), 0x8000, 0xFFFF, code, {}};
        std::copy(params.begin(), params.end(), c.params);
        *(into = into ? into : &reply) = Reply{};
        return kvSendMessage(h, &c, 2u * c.length + 4, into, 78);
    }

    // Downloads a firmware image header (revision 0x0203, 900 tokens) in two pieces and starts the DSP.
    void StartFirmware() {
        const uint8_t image[18] = {'K', 'V', 'D', 'S', 'P', 'F', 'W', '1',  3,
                                   2,   7,   0,   48,  0,   123, 0,   0x84, 3};
        ASSERT_EQ(0u, BoardDspDownload(h, 0, image, 10));
        ASSERT_EQ(0u, BoardDspDownload(h, 10, image + 10, 8));
        ASSERT_EQ(0u, BoardDspStart(h));
    }

    // Opens another handle that monitors the board; returns its mux descriptor.
    uint32_t Monitor(KVHANDLE* handle) {
        uint32_t mux = 0;
        EXPECT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, handle));
        EXPECT_EQ(0u, kvGetMuxHandle(*handle, &mux));
        EXPECT_EQ(0u, BoardStartMonitoring(*handle));
        return mux;
    }

    // The next DSP message for handle: 78 bytes.
    Reply ReceiveEvent(KVHANDLE handle) {
        Reply event{};
        uint32_t length = 0;
        EXPECT_TRUE(kvReceiveMessage(handle, &event, sizeof event, &length) == 0 && length == 78);
        return event;
    }
};

TEST_F(EmulatorTest, OpensOnlyWhereABoardIsAndRefusesStaleHandles) {
    KVHANDLE other = reinterpret_cast<KVHANDLE>(1);
    uint8_t value = 0;
    EXPECT_EQ(KVD_ERR_NO_DEVICE, kvOpenByBusDeviceFunction(0, 1, 0, &other));
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ("0:1 kvOpenByBusDeviceFunction 0 1 0 = 2", LastLine());
    ASSERT_EQ(0, kvemu::AddBoard(0, 1));
    ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 1, 0, &other));
    EXPECT_EQ(0u, kvClose(other));
    EXPECT_EQ(KVD_ERR_BAD_HANDLE, BoardReadByte(other, 0xA0008, &value));
    EXPECT_EQ("?:? BoardReadByte 0xa0008 = 6", LastLine());
}

// The journal keeps the last 200000 calls, oldest first, also once it wrapped
// around and after it was cleared.
TEST_F(EmulatorTest, JournalKeepsTheLast200000CallsInOrder) {
    uint8_t value;
    for (uint32_t i = 0; i < 200003; ++i) BoardReadByte(h, i, &value);
    std::vector<std::string> journal = kvemu::Journal();
    ASSERT_EQ(200000u, journal.size());
    EXPECT_EQ(200000u, kvemu::JournalSize());
    EXPECT_EQ("0:0 BoardReadByte 0x3 = 0 -> 0x0", journal.front());
    EXPECT_EQ("0:0 BoardReadByte 0x30d42 = 0 -> 0x0", journal.back());
    kvemu::ClearJournal();
    BoardFlashLedOn(h);
    EXPECT_EQ((std::vector<std::string>{"0:0 BoardFlashLedOn = 0"}), kvemu::Journal());
    EXPECT_EQ(1u, kvemu::JournalSize());
}

TEST_F(EmulatorTest, RegistersAndEepromReadBackWithinBounds) {
    uint8_t value = 0, record[24], mine[24] = {7, 0, 9}, big[300];
    ASSERT_EQ(0u, BoardWriteByte(h, 0xA0002, 0xFB));
    ASSERT_EQ(0u, BoardReadByte(h, 0xA0002, &value));
    EXPECT_EQ("0:0 BoardReadByte 0xa0002 = 0 -> 0xfb", LastLine());
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, BoardReadByte(h, 0xA0002, nullptr));
    ASSERT_EQ(0, kvemu::SetEeprom(0, 0, mine));
    ASSERT_EQ(0u, BoardEEPROMGetData(h, 128, record, 24));
    EXPECT_EQ(0, std::memcmp(mine, record, 24));
    EXPECT_EQ(Statuses(2, KVD_ERR_BAD_ARGUMENT),
              (Statuses{BoardEEPROMGetData(h, 250, big, 24), BoardEEPROMGetData(h, 0, big, 257)}));
}

TEST_F(EmulatorTest, FaultsHitTheNthCallOrEveryCallAndDoNothingElse) {
    uint8_t value = 0x77;
    // The second write from now fails, once; it does not reach the register.
    ASSERT_EQ(0, kvemu::SetFault("BoardWriteByte", 5, 2));
    EXPECT_EQ((Statuses{0, 5, 0}),
              (Statuses{BoardWriteByte(h, 0x10, 1), BoardWriteByte(h, 0x10, 2), BoardWriteByte(h, 0x11, 3)}));
    EXPECT_EQ("0:0 BoardWriteByte 0x10 0x2 = 5", LastLine(2));
    EXPECT_TRUE(kvemu::ReadRegister(0, 0, 0x10, &value) == 0 && value == 1);
    // Every call, until status 0 removes it; other functions are untouched.
    ASSERT_EQ(0, kvemu::SetFault("BoardReadByte", 0x1234, 0));
    EXPECT_EQ((Statuses{0x1234, 0x1234, 0}),
              (Statuses{BoardReadByte(h, 0x10, &value), BoardReadByte(h, 0x10, &value),
                        BoardWriteByte(h, 0x10, 4)}));
    EXPECT_EQ(1, value);  // a failed read leaves the caller's byte alone
    ASSERT_EQ(0, kvemu::SetFault("BoardReadByte", 0, 0));
    EXPECT_TRUE(BoardReadByte(h, 0x10, &value) == 0 && value == 4);
}

TEST_F(EmulatorTest, SwitchDeviceAppliesMvipRequestsToTheConnectionMap) {
    ASSERT_EQ(0u, BoardSetLogicalNumber(h, 0));
    int fd = kvDevOpen("/dev/kvsw00", O_RDONLY);
    ASSERT_GE(fd, 0);

    uint32_t set[17] = {68, 1, 5, 0, 2, 1, 0, 0, 0, 1, 0, 3, 2, 1, 4, 3, 0},
             again[9] = {36, 1, 7, 0, 2, 1, 0, 0, 0};
    ASSERT_EQ(0, kvDevIoctl(fd, 259, set));
    EXPECT_EQ("0:0 ioctl 259 68 1 5 0 2 1 0 0 0 1 0 3 2 1 4 3 0 = 0", LastLine());
    ASSERT_EQ(0, kvDevIoctl(fd, 259, again));  // output 0:0 gets a new source
    // Refused: a size word not 4 + 32n, wrong entry constants, a clock record of the wrong size.
    uint32_t badSize[9] = {35, 1, 5, 0, 2, 1, 0, 0, 0}, badEntry[9] = {36, 9, 5, 0, 2, 1, 0, 0, 0},
             badClock[9] = {32, 5, 1, 1, 3, 0, 0, 1, 1};
    EXPECT_EQ((std::vector<int>{-1, -1, -1}),
              (std::vector<int>{kvDevIoctl(fd, 259, badSize), kvDevIoctl(fd, 259, badEntry),
                                kvDevIoctl(fd, 273, badClock)}));
    EXPECT_EQ(EINVAL, errno);
    std::vector<kvemu::Connection> map;
    std::vector<uint32_t> flat;
    ASSERT_EQ(0, kvemu::GetConnections(0, 0, &map));
    for (auto& c : map) flat.insert(flat.end(), {c.outStream, c.outSlot, c.srcStream, c.srcSlot});
    EXPECT_EQ((std::vector<uint32_t>{4, 3, 0, 3, 0, 0, 7, 0}), flat);
    // The reset empties the map.
    ASSERT_EQ(0, kvDevIoctl(fd, 257, set));
    EXPECT_TRUE(kvemu::GetConnections(0, 0, &map) == 0 && map.empty());
    kvDevClose(fd);
}

TEST_F(EmulatorTest, DspAnswersOnlyRecognisedFirmwareAndRefusesMalformedRecords) {
    const uint8_t junk[4] = {1, 2, 3, 4};
    ASSERT_EQ(0u, BoardDspDownload(h, 0, junk, 4));
    ASSERT_EQ(0u, BoardDspStart(h));
    EXPECT_EQ(KVD_ERR_TIMEOUT, Send(0x06, {1}));
    StartFirmware();
    uint8_t small[16];                           // a short reply buffer receives the reply's first bytes only
    Command c{1, 5, 0x8000, 0xFFFF, 0x06, {1}};  // manager 1 is not the DSP's
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, kvSendMessage(h, &c, 14, &reply, 78));
    c.manager = 2;
    EXPECT_EQ(Statuses(3, KVD_ERR_BAD_ARGUMENT),
              (Statuses{kvSendMessage(h, &c, 16, &reply, 78),  // length word says 14
                        kvSendMessage(h, &c, 80, &reply, 78),  // beyond 33 parameters
                        kvSendMessage(h, &c, 3, &reply, 78)}));
    std::memset(small, 0xEE, sizeof small);
    ASSERT_EQ(0u, kvSendMessage(h, &c, 14, small, 14));
    EXPECT_EQ(0xEE, small[14]);
}

TEST_F(EmulatorTest, RunningDspAnswersEveryCommandAndKeepsWhatItWasTold) {
    StartFirmware();
    ASSERT_EQ(0u, Send(0x06, {1}));
    EXPECT_EQ("0:0 kvSendMessage 2 5 0x8000 0xffff 0x6 0x1 = 0", LastLine());
    // Reason 0xFFFE: no such law / sensor; 0xFFFF: unknown code.
    struct {
        uint16_t code;
        Words params;
        uint16_t length, reason;
    } table[] = {{0x06, {2}, 6, 0xFFFE}, {0x13, {2, 93, 95, 106, 108}, 7, 0},
                 {0x11, {2}, 7, 0},      {0x11, {5}, 7, 0xFFFE},
                 {0x14, {2}, 9, 0},      {0x0A, {}, 6, 0xFFFF}};
    for (auto& row : table) {
        SCOPED_TRACE(row.code);
        ASSERT_EQ(0u, Send(row.code, row.params));
        EXPECT_EQ(
            (Statuses{2, 0x8000, 0xFFFF, row.code, row.length, row.reason}),
            (Statuses{reply.manager, reply.target, reply.handle, reply.type, reply.length, reply.params[0]}));
    }
    kvemu::DspState dsp;
    ASSERT_EQ(0, kvemu::GetDspState(0, 0, &dsp));
    EXPECT_EQ(1, dsp.law);  // the refused law changed nothing
    EXPECT_TRUE(dsp.sensors[2].running && dsp.sensors[2].protectionHigh == 108 && !dsp.sensors[0].running);
}

TEST_F(EmulatorTest, MessagesReachMonitoringHandlesAndTheMuxDescriptorTracksThem) {
    KVHANDLE monitor = nullptr;
    uint32_t mux = Monitor(&monitor);
    // The DSP reports the board once it monitors, then every change.
    ASSERT_EQ(0, kvemu::WriteRegister(0, 0, 0xA0002, 0x0E));  // both batteries, ring voltage, ringer on
    ASSERT_EQ(0, kvemu::WriteRegister(0, 0, 0xA0008, 0xA0));  // banks 0 and 2
    StartFirmware();
    ASSERT_EQ(0u, Send(0x13, {1, 93, 95, 106, 108}));
    ASSERT_EQ(0u, Send(0x11, {1}));
    ASSERT_EQ(0u, Send(0x15, {}));
    Reply event = ReceiveEvent(monitor);
    EXPECT_EQ((Words{0x15, 14, 0x10, 0x0F, 0x05, 0, 0x02, 1}),
              (Words{event.type, event.length, event.params[0], event.params[1], event.params[2],
                     event.params[6], event.params[7], event.params[8]}));
    EXPECT_FALSE(Readable(mux));
    // Thermal state follows the temperature against the thresholds, with hysteresis.
    const int heat[][2] = {{95, 2}, {108, 3}, {107, 0}, {100, 2}, {92, 1}};  // degrees, state (0: no event)
    for (auto& step : heat) {
        ASSERT_EQ(0, kvemu::SetTemperature(0, 0, 1, step[0]));
        EXPECT_EQ(step[1], Readable(mux) ? ReceiveEvent(monitor).params[8] : 0) << step[0];
    }
    // A stopped listener hears nothing.
    ASSERT_EQ(0u, BoardStopMonitoring(monitor));
    ASSERT_EQ(0, kvemu::WriteRegister(0, 0, 0xA0002, 0x01));
    EXPECT_FALSE(Readable(mux));
}

// Raw stimuli: a message delivered byte for byte; a reply that stands for the
// DSP's once, for the next command that would reach it, running or not.
TEST_F(EmulatorTest, RawMessagesAndRepliesArriveAsTheyAre) {
    KVHANDLE monitor = nullptr;
    uint32_t mux = Monitor(&monitor);
    const uint8_t raw[5] = {9, 0, 0, 0, 0xAB};
    uint8_t buffer[116] = {};
    uint32_t length = 0;
    ASSERT_EQ(0, kvemu::QueueMessage(0, 0, raw, sizeof raw));
    ASSERT_TRUE(Readable(mux));
    ASSERT_EQ(0u, kvReceiveMessage(monitor, buffer, sizeof buffer, &length));
    EXPECT_EQ(5u, length);
    EXPECT_EQ(0, std::memcmp(raw, buffer, 5));
    EXPECT_EQ(-1, kvemu::QueueMessage(0, 0, raw, 4097));

    const uint8_t odd[6] = {2, 0, 0, 0, 0x77, 0};  // manager 2, length 0x77, the rest zero
    ASSERT_EQ(0, kvemu::SetNextReply(0, 0, odd, sizeof odd));
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, kvSendMessage(h, raw, 5, &reply, 78));  // not a command: the reply waits
    ASSERT_EQ(0u, Send(0x06, {1}));
    EXPECT_EQ((Statuses{2, 0x77, 0, 0}),
              (Statuses{reply.manager, reply.length, reply.type, reply.params[31]}));
    EXPECT_EQ(KVD_ERR_TIMEOUT, Send(0x06, {1}));  // taken once; no firmware runs
    kvemu::DspState dsp;
    ASSERT_EQ(0, kvemu::GetDspState(0, 0, &dsp));
    EXPECT_TRUE(dsp.commands.empty());
}

// A reader woken by the mux descriptor gets every message once, in order,
// while another thread sends messages and commands on the same board.
TEST_F(EmulatorTest, ConcurrentSendersLoseNoMessageAndDuplicateNone) {
    KVHANDLE monitor = nullptr;
    uint32_t mux = Monitor(&monitor);
    StartFirmware();
    std::thread sender([&] {
        Reply mine;
        for (uint16_t i = 0; i < 2000; ++i) {
            kvemu::SendDspMessage(0, 0, 0x30, 6, {i});
            Send(0x02, {}, &mine);
        }
    });
    int received = 0;  // messages seen in order; a gap or a repeat stops the count
    for (pollfd p{static_cast<int>(mux), POLLIN, 0}; received < 2000 && ::poll(&p, 1, 5000) == 1; ++received)
        if (ReceiveEvent(monitor).params[0] != received) break;
    sender.join();
    EXPECT_EQ(2000, received);
    EXPECT_FALSE(Readable(mux));
}

TEST_F(EmulatorTest, L2PTableLineCircuitsAndSwitchChipRefuseWhatIsOutOfRange) {
    Words table(512, 0xFFFF);
    table[16] = 0x0102;
    uint16_t value = 0;
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, BoardLoadL2PTable(h, 1022, table.data()));
    EXPECT_FALSE(kvemu::L2PLoaded(0, 0));
    ASSERT_EQ(0u, BoardLoadL2PTable(h, 1024, table.data()));
    EXPECT_TRUE(kvemu::GetL2PEntry(0, 0, 0, 16, &value) == 0 && value == 0x0102);

    const uint8_t coefficients[2] = {0x1F, 0x2A};
    const uint32_t ports[3] = {5, 6, 47}, bad[2] = {7, 48};
    kvemu::PortInfo port;
    ASSERT_EQ(0u, LineConfigureMultiple(h, ports, 3, coefficients, 2));
    EXPECT_TRUE(kvemu::GetPortInfo(0, 0, 47, &port) == 0 && port.coefficientLoads == 1 && !port.gxSet);
    // Ports beyond the board's 48 are refused, and no port is half loaded.
    EXPECT_EQ(KVD_ERR_BAD_ARGUMENT, LineConfigureMultiple(h, bad, 2, coefficients, 2));
    EXPECT_TRUE(kvemu::GetPortInfo(0, 0, 7, &port) == 0 && port.coefficientLoads == 0);

    // The switch chip has 16 streams (where each ends at its speed, the chip's bring-up test shows).
    HMICHANDLE hmic = nullptr;
    ASSERT_EQ(0u, kvGetHmicHandle(h, 0, &hmic));
    EXPECT_EQ(HMIC_ERR_BAD_ARGUMENT, hmic_set_output(hmic, 1, 16, 0, 0x40, 0, 0, 0, 0x55));
    EXPECT_EQ("0:0 hmic_set_output 1 16 0 0x40 0 0 0 0x55 = -3083", LastLine());
}

// What a board keeps of its calls stays within fixed counts: its histories
// restart at BoardDspReset (every start begins with it) and keep their newest
// entries in between.
TEST_F(EmulatorTest, HistoriesRestartAtDspResetAndKeepTheirNewestEntries) {
    StartFirmware();
    HMICHANDLE hmic = nullptr;
    ASSERT_EQ(0u, kvGetHmicHandle(h, 0, &hmic));
    // Each call carries its number, so that the oldest one kept shows.
    for (unsigned i = 0; i < 1100; ++i) {
        const uint8_t bytes[2] = {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        ASSERT_EQ(0u, LineConfigureSingle(h, 5, bytes, 2));
        ASSERT_EQ(0, hmic_set_master_reg(hmic, i, 0));
        ASSERT_EQ(0u, Send(static_cast<uint16_t>(0x1000 + i), {}));
    }
    // Per history: entries kept, and the number of the oldest.
    auto histories = [] {
        kvemu::PortInfo port;
        kvemu::SwitchChip chip;
        kvemu::DspState dsp;
        EXPECT_EQ(0, kvemu::GetPortInfo(0, 0, 5, &port) | kvemu::GetSwitchChip(0, 0, &chip) |
                         kvemu::GetDspState(0, 0, &dsp));
        using Kept = std::pair<size_t, unsigned>;
        return std::vector<Kept>{
            {port.commands.size(),
             port.commands.empty() ? 0u : port.commands[0][0] << 8 | port.commands[0][1]},
            {chip.masterPairs.size(), chip.masterPairs.empty() ? 0u : chip.masterPairs[0].first},
            {dsp.commands.size(), dsp.commands.empty() ? 0u : dsp.commands[0] - 0x1000u}};
    };
    EXPECT_EQ((std::vector<std::pair<size_t, unsigned>>{{64, 1036}, {64, 1036}, {1024, 76}}), histories());
    ASSERT_EQ(0u, BoardDspReset(h));
    EXPECT_EQ((std::vector<std::pair<size_t, unsigned>>(3, {0, 0})), histories());
}

// State keyed by what the calls name takes a fixed number of keys; a call
// that would need another is refused and changes nothing.
TEST_F(EmulatorTest, RegistersConnectionsAndFaultsTakeAFixedNumberOfKeys) {
    uint8_t value = 0;
    // With 0xA0008, set when the board was made, the board holds 65536 addresses.
    for (uint32_t address = 0; address < 65535; ++address)
        ASSERT_EQ(0u, BoardWriteByte(h, 0x100000 + address, 1));
    EXPECT_EQ((Statuses{KVD_ERR_BAD_ARGUMENT, 0, 0}),
              (Statuses{BoardWriteByte(h, 0x200000, 1), BoardWriteByte(h, 0x100000, 2),
                        BoardReadByte(h, 0x200000, &value)}));
    EXPECT_EQ(0, value);
    EXPECT_EQ((std::vector<int>{-1, 0}), (std::vector<int>{kvemu::WriteRegister(0, 0, 0x200001, 1),
                                                           kvemu::WriteRegister(0, 0, 0xA0008, 0)}));

    // 65536 outputs in 16 records of 4096 entries; one more output is refused, a reset makes room.
    ASSERT_EQ(0u, BoardSetLogicalNumber(h, 0));
    int fd = kvDevOpen("/dev/kvsw00", O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<uint32_t> record(1 + 8 * 4096);
    record[0] = 4 + 32 * 4096;
    for (uint32_t n = 0; n < 65536 + 1; n += 4096) {
        const uint32_t entries = n < 65536 ? 4096 : 1;
        record[0] = 4 + 32 * entries;
        for (uint32_t i = 0; i < entries; ++i) {
            uint32_t* entry = &record[1 + 8 * i];
            const uint32_t output = n + i;
            const uint32_t words[8] = {1, 0, 0, 2, 1, output >> 8, output & 0xFF, 0};
            std::copy(words, words + 8, entry);
        }
        const int expected = n < 65536 ? 0 : -1;
        ASSERT_EQ(expected, kvDevIoctl(fd, 259, record.data())) << n;
    }
    EXPECT_EQ(ENOSPC, errno);
    std::vector<kvemu::Connection> map;
    EXPECT_TRUE(kvemu::GetConnections(0, 0, &map) == 0 && map.size() == 65536u);
    ASSERT_EQ(0, kvDevIoctl(fd, 257, record.data()));
    EXPECT_EQ(0, kvDevIoctl(fd, 259, record.data()));
    kvDevClose(fd);

    // 64 counted faults wait per function; a standing one still replaces its predecessor.
    for (unsigned n = 1; n <= 64; ++n) ASSERT_EQ(0, kvemu::SetFault("BoardFlashLedOn", 5, 1000 + n));
    EXPECT_EQ((std::vector<int>{-1, 0, 0}), (std::vector<int>{kvemu::SetFault("BoardFlashLedOn", 5, 1),
                                                              kvemu::SetFault("BoardFlashLedOn", 6, 0),
                                                              kvemu::SetFault("BoardFlashLedOn", 7, 0)}));
    EXPECT_EQ(7u, BoardFlashLedOn(h));
}

// A journal record holds its own call's data only: the data of the calls that
// left the ring has left the heap too.
TEST_F(EmulatorTest, JournalFreesTheDataOfTheCallsItDropped) {
    const std::vector<uint8_t> bytes(200, 0x5A);
    auto fill = [&](bool large) {
        for (unsigned i = 0; i < 200000; ++i)
            large ? LineConfigureSingle(h, 0, bytes.data(), 200) : BoardFlashLedOn(h);
    };
    fill(false);  // every record made
    const size_t base = kvtest::HeapInUse();
    fill(true);
    const size_t full = kvtest::HeapInUse();
    fill(false);
    const size_t after = kvtest::HeapInUse();
    EXPECT_GT(full, base + 200000 * 200);
    EXPECT_LT(after, base + 1024 * 1024) << "held " << full - base << " bytes of data, now " << after - base;
}

}  // namespace
