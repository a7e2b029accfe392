// The emulated driver library; Replay makes each journal line's call ("BUS:SLOT NAME ARGS = STATUS").
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "kvd/kvdevice.h"
#include "kvd/kvdriver.h"
#include "kvemu.h"

namespace {

using Statuses = std::vector<uint32_t>;
using Words = std::vector<uint16_t>;
using Ints = std::vector<int>;

bool Readable(uint32_t fd) {
    pollfd p{static_cast<int>(fd), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
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

struct EmulatorTest : ::testing::Test {
    KVHANDLE h = nullptr;
    HMICHANDLE chip = nullptr;
    Reply reply;
    uint8_t value = 0;

    void SetUp() override {
        kvemu::Reset();
        ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, &h));
        ASSERT_EQ(0u, kvGetHmicHandle(h, 0, &chip));
        kvemu::ClearJournal();
    }
    void TearDown() override { kvemu::Reset(); }

    // "?:?": on a handle never opened; 6 a bad handle, 22 a bad argument.
    std::string Replay(const std::string& calls) {
        kvemu::ClearJournal();
        for (size_t at = 0, end; at < calls.size(); at = end + 2) {
            const std::string line =
                calls.substr(at, (end = std::min(calls.find("; ", at), calls.size())) - at);
            std::string name, word;
            std::istringstream words(line.substr(line.find(' ') + 1));
            std::vector<uint32_t> u;
            for (words >> name; words >> word && word != "=";) u.push_back(std::stoul(word, nullptr, 0));
            u.resize(8);
            KVHANDLE on = line[0] == '?' ? reinterpret_cast<KVHANDLE>(1) : h, other = nullptr;
            HMICHANDLE hmic = line[0] == '?' ? nullptr : chip;
            uint8_t bytes[300];
            const int streams[1] = {static_cast<int>(u[1])};
            if (name == "kvOpenByBusDeviceFunction") kvOpenByBusDeviceFunction(u[0], u[1], u[2], &other);
            if (name == "BoardReadByte") BoardReadByte(on, u[0], &value);
            if (name == "BoardWriteByte") BoardWriteByte(on, u[0], static_cast<uint8_t>(u[1]));
            if (name == "BoardEEPROMGetData") BoardEEPROMGetData(on, u[0], bytes, u[1]);
            if (name == "BoardFlashLedOn") BoardFlashLedOn(on);
            if (name == "LineSetGrZeroValues") LineSetGrZeroValues(on, u[0], u[1], u[2]);
            if (name == "hmic_config_LBus_speed") hmic_config_LBus_speed(hmic, 1, streams, u[2]);
            if (name == "hmic_set_output")
                hmic_set_output(hmic, u[0], u[1], u[2], u[3], u[4], u[5], u[6], u[7]);
        }
        std::string text;
        for (const std::string& line : kvemu::Journal()) text += (text.empty() ? "" : "; ") + line;
        return text;
    }
    uint32_t Send(uint16_t code, Words params, Reply* into = nullptr) {
        Command c{2, static_cast<uint16_t>(params.size() + 4), 0x8000, 0xFFFF, code, {}};
        std::copy(params.begin(), params.end(), c.params);
        *(into = into ? into : &reply) = Reply{};
        return kvSendMessage(h, &c, 2u * c.length + 4, into, 78);
    }
    void StartFirmware() {
        const uint8_t image[18] = {'K', 'V', 'D', 'S', 'P', 'F', 'W', '1',  3,
                                   2,   7,   0,   48,  0,   123, 0,   0x84, 3};
        ASSERT_EQ(Statuses(3, 0), (Statuses{BoardDspDownload(h, 0, image, 10),
                                            BoardDspDownload(h, 10, image + 10, 8), BoardDspStart(h)}));
    }
    uint32_t Monitor(KVHANDLE* handle) {
        uint32_t mux = 0;
        EXPECT_EQ(Statuses(3, 0), (Statuses{kvOpenByBusDeviceFunction(0, 0, 0, handle),
                                            kvGetMuxHandle(*handle, &mux), BoardStartMonitoring(*handle)}));
        return mux;
    }
    Reply ReceiveEvent(KVHANDLE handle) {
        Reply event{};
        uint32_t length = 0;
        EXPECT_TRUE(kvReceiveMessage(handle, &event, sizeof event, &length) == 0 && length == 78);
        return event;
    }
};

TEST_F(EmulatorTest, HandlesOpenOnlyWhereABoardIsAndResetRestoresTheInitialState) {
    const std::string calls = "0:1 kvOpenByBusDeviceFunction 0 1 0 = 2; ?:? BoardReadByte 0xa0008 = 6";
    EXPECT_EQ(Replay(calls), calls);
    kvemu::SetSwitchDriverName("xsw");
    ASSERT_EQ(0u, BoardSetLogicalNumber(h, 7));
    const int fd = kvDevOpen("/dev/xsw07", O_RDONLY);
    ASSERT_EQ(0, kvemu::AddBoard(1, 2) | kvemu::WriteRegister(0, 0, 0xA0008, 0) |
                     kvemu::SetFault("BoardFlashLedOn", 5, 0) | kvemu::SetDspReason(0, 0, 0x06, 0x77));
    kvemu::Reset();
    ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, &h));
    EXPECT_EQ((std::vector<std::pair<unsigned, unsigned>>{{0, 0}}), kvemu::Boards());
    EXPECT_EQ("kvsw", kvemu::SwitchDriverName());
    EXPECT_EQ(Replay("0:0 BoardReadByte 0xa0008 = 0 -> 0xe0; 0:0 BoardFlashLedOn = 0"),
              "0:0 BoardReadByte 0xa0008 = 0 -> 0xe0; 0:0 BoardFlashLedOn = 0");
    StartFirmware();
    EXPECT_TRUE(Send(0x06, {1}) == 0 && reply.params[0] == 0);
    EXPECT_TRUE(kvDevIoctl(fd, 257, &reply) == -1 && errno == EBADF);
    EXPECT_EQ(0, kvDevClose(fd));
}

TEST_F(EmulatorTest, JournalKeepsTheLast200000CallsInOrder) {
    auto ends = [] {
        std::vector<std::string> journal = kvemu::Journal();
        return std::to_string(kvemu::JournalSize()) + " " + journal.front() + " | " + journal.back();
    };
    for (uint32_t i = 0; i < 200000; ++i) BoardReadByte(h, i, &value);
    EXPECT_EQ("200000 0:0 BoardReadByte 0x0 = 0 -> 0x0 | 0:0 BoardReadByte 0x30d3f = 0 -> 0x0", ends());
    BoardReadByte(h, 200000, &value);
    EXPECT_EQ("200000 0:0 BoardReadByte 0x1 = 0 -> 0x0 | 0:0 BoardReadByte 0x30d40 = 0 -> 0x0", ends());
    kvemu::ClearJournal();
    BoardFlashLedOn(h);
    EXPECT_EQ("1 0:0 BoardFlashLedOn = 0 | 0:0 BoardFlashLedOn = 0", ends());
}

TEST_F(EmulatorTest, RegistersAndEepromReadBackWithinBounds) {
    for (uint32_t address = 2; address < 65535; ++address)
        ASSERT_EQ(0u, BoardWriteByte(h, 0x100000 + address, 1));
    const std::string calls =
        "0:0 BoardWriteByte 0xa0002 0xfb = 0; 0:0 BoardReadByte 0xa0002 = 0 -> 0xfb; "
        "0:0 BoardWriteByte 0x100001 0x1 = 0; 0:0 BoardWriteByte 0x200000 0x1 = 22; "
        "0:0 BoardWriteByte 0x100002 0x2 = 0; 0:0 BoardReadByte 0x200000 = 0 -> 0x0; "
        "0:0 BoardEEPROMGetData 0xe8 24 = 0; 0:0 BoardEEPROMGetData 0x0 256 = 0; "
        "0:0 BoardEEPROMGetData 0x100 0 = 0; 0:0 BoardEEPROMGetData 0xe9 24 = 22; "
        "0:0 BoardEEPROMGetData 0x0 257 = 22; 0:0 BoardEEPROMGetData 0x101 0 = 22";
    EXPECT_EQ(Replay(calls), calls);
    EXPECT_EQ((Ints{-1, 0}),
              (Ints{kvemu::WriteRegister(0, 0, 0x200001, 1), kvemu::WriteRegister(0, 0, 0xA0008, 0)}));
}

// Counted faults first (of two due, the first set), 64 at most; a standing one is replaced; status 0 removes.
TEST_F(EmulatorTest, FaultsHitTheNthCallOrEveryCallAndDoNothingElse) {
    ASSERT_EQ(0, kvemu::SetFault("BoardWriteByte", 5, 2) | kvemu::SetFault("BoardReadByte", 0x1234, 0) |
                     kvemu::SetFault("BoardReadByte", 8, 3) | kvemu::SetFault("BoardReadByte", 9, 3));
    const std::string calls =
        "0:0 BoardWriteByte 0x10 0x1 = 0; 0:0 BoardWriteByte 0x10 0x2 = 5; "
        "0:0 BoardWriteByte 0x11 0x3 = 0; 0:0 BoardReadByte 0x10 = 4660; 0:0 BoardReadByte 0x10 = 4660; "
        "0:0 BoardReadByte 0x10 = 8; 0:0 BoardReadByte 0x10 = 4660";
    EXPECT_EQ(Replay(calls), calls);
    EXPECT_EQ((Ints{0, -1}),
              (Ints{kvemu::SetFault("BoardReadByte", 0, 0), kvemu::SetFault("NoSuchCall", 5, 0)}));
    EXPECT_TRUE(BoardReadByte(h, 0x10, &value) == 0 && value == 1);  // not written by the failed call
    for (unsigned n = 1; n <= 64; ++n) ASSERT_EQ(0, kvemu::SetFault("BoardFlashLedOn", 5, 1000 + n));
    EXPECT_EQ((Ints{-1, 0, 0}),
              (Ints{kvemu::SetFault("BoardFlashLedOn", 5, 1), kvemu::SetFault("BoardFlashLedOn", 6, 0),
                    kvemu::SetFault("BoardFlashLedOn", 7, 0)}));
    EXPECT_EQ(7u, BoardFlashLedOn(h));
}

TEST_F(EmulatorTest, SwitchDeviceAppliesMvipRequestsToTheConnectionMap) {
    ASSERT_EQ(0u, BoardSetLogicalNumber(h, 0));
    const int fd = kvDevOpen("/dev/kvsw00", O_RDONLY);
    EXPECT_TRUE(fd >= 0 && kvDevOpen("/dev/kvsw00", O_RDWR) == -1 && errno == EACCES);
    uint32_t set[17] = {68, 1, 5, 0, 2, 1, 0, 0, 0, 1, 0, 3, 2, 1, 4, 3, 0},
             again[9] = {36, 1, 7, 0, 2, 1, 0, 0, 0};
    ASSERT_EQ(Ints(2, 0), (Ints{kvDevIoctl(fd, 259, set), kvDevIoctl(fd, 259, again)}));
    uint32_t badSize[9] = {35, 1, 5, 0, 2, 1, 0, 0, 0}, badEntry[9] = {36, 9, 5, 0, 2, 1, 0, 0, 0};
    EXPECT_EQ(-3, kvDevIoctl(fd, 259, badSize) + kvDevIoctl(fd, 259, badEntry) + kvDevIoctl(fd, 258, set));
    std::vector<kvemu::Connection> map;  // 0:0 got a new source
    std::vector<uint32_t> flat;
    ASSERT_EQ(0, kvemu::GetConnections(0, 0, &map));
    for (auto& c : map) flat.insert(flat.end(), {c.outStream, c.outSlot, c.srcStream, c.srcSlot});
    EXPECT_EQ((std::vector<uint32_t>{4, 3, 0, 3, 0, 0, 7, 0}), flat);
    ASSERT_EQ(0, kvDevIoctl(fd, 257, set));
    EXPECT_TRUE(kvemu::GetConnections(0, 0, &map) == 0 && map.empty());
    std::vector<uint32_t> record(1 + 8 * 4096);  // 16 records of 4096 new outputs, then one more output
    for (uint32_t n = 0; n <= 65536; n += 4096) {
        record[0] = 4 + 32 * (n < 65536 ? 4096 : 1);
        for (uint32_t i = 0, output = n; i < 4096; ++i, ++output) {
            const uint32_t words[8] = {1, 0, 0, 2, 1, output >> 8, output & 0xFF, 0};
            std::copy(words, words + 8, &record[1 + 8 * i]);
        }
        ASSERT_EQ(n < 65536 ? 0 : -1, kvDevIoctl(fd, 259, record.data())) << n;
    }
    EXPECT_TRUE(errno == ENOSPC && kvemu::GetConnections(0, 0, &map) == 0 && map.size() == 65536u);
    EXPECT_EQ((Ints{0, 0, 0}),
              (Ints{kvDevIoctl(fd, 257, set), kvDevIoctl(fd, 259, record.data()), kvDevClose(fd)}));
}

TEST_F(EmulatorTest, DspAnswersWellFormedCommandsOfRecognisedFirmware) {
    const uint8_t junk[4] = {1, 2, 3, 4};
    ASSERT_EQ(Statuses(2, 0), (Statuses{BoardDspDownload(h, 0, junk, 4), BoardDspStart(h)}));
    EXPECT_EQ(KVD_ERR_TIMEOUT, Send(0x06, {1}));
    StartFirmware();
    Command c{1, 5, 0x8000, 0xFFFF, 0x06, {1}};
    EXPECT_EQ(22u, kvSendMessage(h, &c, 14, &reply, 78));
    c.manager = 2;
    EXPECT_EQ(Statuses(3, 22),
              (Statuses{kvSendMessage(h, &c, 16, &reply, 78), kvSendMessage(h, &c, 80, &reply, 78),
                        kvSendMessage(h, &c, 3, &reply, 78)}));
    ASSERT_EQ(0, kvemu::SetDspReason(0, 0, 0x12, 0x77));
    // CODE PARAMETERS ("P*N": N of P) -> the reply's length word, its reason and the word after it. Reasons:
    // 0xfffe no such law, sensor or parameter count; 0xffff an unknown code; 0x77 injected.
    const std::string table =
        "0x06 1 -> 6 0 0; 0x06 2 -> 6 0xfffe 0; 0x13 2 93 95 106 108 -> 7 0 2; 0x11 2 -> 7 0 2; 0x11 5 -> 7 0xfffe 5; "
        "0x11 4 -> 7 0 4; 0x14 2 -> 9 0 2; 0x0a -> 6 0xffff 0; 0x12 2 -> 7 0x77 2; 0x07 1*18 -> 6 0xfffe 0; "
        "0x02 1*33 -> 6 0 0; 0x03 -> 11 0 0x0203";
    for (size_t at = 0, end; at < table.size(); at = end + 2) {
        const std::string row = table.substr(at, (end = std::min(table.find("; ", at), table.size())) - at);
        std::istringstream in(row);
        std::vector<uint32_t> words, expected;  // the code and the parameters; what the reply holds
        for (std::string w; in >> w && w != "->";)
            words.insert(words.end(),
                         w.find('*') == std::string::npos ? 1 : std::stoul(w.substr(w.find('*') + 1)),
                         std::stoul(w, nullptr, 0));
        for (std::string w; in >> w;) expected.push_back(std::stoul(w, nullptr, 0));
        ASSERT_EQ(0u, Send(words[0], Words(words.begin() + 1, words.end()))) << row;
        EXPECT_EQ((Statuses{2, 0x8000, 0xFFFF, words[0], reply.length, reply.params[0], reply.params[1]}),
                  (Statuses{reply.manager, reply.target, reply.handle, reply.type, expected[0], expected[1],
                            expected[2]}))
            << row;
    }
    kvemu::DspState dsp;
    ASSERT_EQ(0, kvemu::GetDspState(0, 0, &dsp));
    EXPECT_TRUE(dsp.law == 1 && !dsp.ringConfigured);  // the refused law and ring changed nothing
    EXPECT_TRUE(dsp.sensors[2].running && dsp.sensors[4].running && dsp.sensors[2].protectionHigh == 108);
}

TEST_F(EmulatorTest, MessagesReachMonitoringHandlesAndTheMuxDescriptorTracksThem) {
    KVHANDLE monitor = nullptr, late = nullptr;
    uint32_t mux = Monitor(&monitor);
    ASSERT_EQ(0, kvemu::WriteRegister(0, 0, 0xA0002, 0x0E) | kvemu::WriteRegister(0, 0, 0xA0008, 0xA0));
    StartFirmware();
    ASSERT_EQ(Statuses(3, 0), (Statuses{Send(0x13, {1, 93, 95, 106, 108}), Send(0x11, {1}), Send(0x15, {})}));
    Reply event = ReceiveEvent(monitor);
    EXPECT_EQ(
        (Words{0x15, 14, 0x10, 0x0F, 0x05, 0, 0x02, 1}),  // both batteries, ring voltage, ringer; banks 0, 2
        (Words{event.type, event.length, event.params[0], event.params[1], event.params[2], event.params[6],
               event.params[7], event.params[8]}));
    EXPECT_FALSE(Readable(mux));
    // The thermal state follows the temperature: a state begins at its high threshold, lasts to its low one.
    const int heat[][2] = {{94, 0}, {95, 2}, {107, 0}, {108, 3}, {106, 0}, {105, 2}, {93, 0}, {92, 1}};
    for (auto& step : heat) {  // degrees, state (0: no event)
        ASSERT_EQ(0, kvemu::SetTemperature(0, 0, 1, step[0]));
        EXPECT_EQ(step[1], Readable(mux) ? ReceiveEvent(monitor).params[8] : 0) << step[0];
    }
    const uint32_t lateMux = Monitor(&late);
    EXPECT_TRUE(Readable(lateMux) && ReceiveEvent(late).params[8] == 1 && !Readable(mux));
    ASSERT_EQ(0u, BoardStopMonitoring(monitor));
    ASSERT_EQ(0, kvemu::WriteRegister(0, 0, 0xA0002, 0x01));
    EXPECT_TRUE(!Readable(mux) && ReceiveEvent(late).params[8] == 1);
    const std::vector<uint8_t> raw(4096, 0xAB);
    std::vector<uint8_t> buffer(5000);
    uint32_t length = 0;
    EXPECT_EQ(-1, kvemu::QueueMessage(0, 0, raw.data(), 4096) + kvemu::QueueMessage(0, 0, raw.data(), 4097));
    ASSERT_EQ(0u, kvReceiveMessage(late, buffer.data(), 5000, &length));
    EXPECT_TRUE(length == 4096 && std::equal(raw.begin(), raw.end(), buffer.begin()) && !Readable(lateMux));
    for (uint16_t i = 0; i < 4097; ++i) ASSERT_EQ(0, kvemu::SendDspMessage(0, 0, 0x30, 6, {i}));
    uint16_t received = 0, last = 0;
    for (; kvReceiveMessage(late, buffer.data(), 5000, &length) == 0; ++received)
        std::memcpy(&last, &buffer[14], 2);
    EXPECT_EQ("4096 4095", std::to_string(received) + " " + std::to_string(last));
}

// 48 ports; 16 streams, a local one of 16 timeslots per unit of its speed code (32 unset).
TEST_F(EmulatorTest, L2PTableLineCircuitsAndSwitchChipRefuseWhatIsOutOfRange) {
    Words table(512, 0xFFFF);
    table[16] = 0x0102;
    uint16_t entry = 0;
    EXPECT_TRUE(BoardLoadL2PTable(h, 1022, table.data()) == 22 && !kvemu::L2PLoaded(0, 0));
    ASSERT_EQ(0u, BoardLoadL2PTable(h, 1024, table.data()));
    EXPECT_TRUE(kvemu::GetL2PEntry(0, 0, 0, 16, &entry) == 0 && entry == 0x0102);
    const uint8_t coefficients[2] = {0x1F, 0x2A};
    const uint32_t ports[3] = {5, 6, 47}, bad[2] = {7, 48};
    kvemu::PortInfo port;
    ASSERT_EQ(0u, LineConfigureMultiple(h, ports, 3, coefficients, 2));
    EXPECT_EQ(22u, LineConfigureMultiple(h, bad, 2, coefficients, 2));
    EXPECT_EQ(kvemu::Journal().end()[-2], "0:0 LineConfigureMultiple 5 6 47 0x1f 0x2a = 0");
    EXPECT_TRUE(kvemu::GetPortInfo(0, 0, 47, &port) == 0 && port.coefficientLoads == 1 && !port.gxSet);
    EXPECT_TRUE(kvemu::GetPortInfo(0, 0, 7, &port) == 0 && port.coefficientLoads == 0);
    const std::string calls =
        "0:0 LineSetGrZeroValues 47 0x1 0x2 = 0; 0:0 LineSetGrZeroValues 48 0x1 0x2 = 22; "
        "0:0 hmic_config_LBus_speed 1 3 4 = 0; 0:0 hmic_set_output 1 1 31 0x0 0 0 0 0x0 = 0; "
        "0:0 hmic_set_output 1 1 32 0x0 0 0 0 0x0 = -3081; 0:0 hmic_set_output 1 3 63 0x0 0 0 0 0x0 = 0; "
        "0:0 hmic_set_output 1 3 64 0x0 0 0 0 0x0 = -3081; 0:0 hmic_set_output 1 15 0 0x0 0 0 0 0x0 = 0; "
        "0:0 hmic_set_output 1 16 0 0x40 0 0 0 0x55 = -3083; "
        "?:? hmic_set_output 1 1 0 0x0 0 0 0 0x0 = -3097";
    EXPECT_EQ(Replay(calls), calls);
}

TEST_F(EmulatorTest, HistoriesRestartAtDspResetAndKeepTheirNewestEntries) {
    kvemu::PortInfo port;
    for (uint8_t i = 0; i < 70; ++i) ASSERT_EQ(0u, LineConfigureSingle(h, 5, &i, 1));
    EXPECT_TRUE(kvemu::GetPortInfo(0, 0, 5, &port) == 0 && port.commands.size() == 64 &&
                port.commands[0][0] == 6);
    ASSERT_EQ(0u, BoardDspReset(h));
    EXPECT_TRUE(kvemu::GetPortInfo(0, 0, 5, &port) == 0 && port.commands.empty());
}

}  // namespace
