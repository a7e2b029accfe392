// kvoam's "emu" commands: what they print, in words and in JSON, what they
// change in the emulator, and how they refuse bad input.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kvd/kvdriver.h"
#include "kvemu.h"
// The commands are part of kvoam; the test builds their source in.
#include "../tools/kvoam/emucmd.cpp"

namespace {

struct Result {
    int status;
    std::string out, error;
};

Result Emu(const std::vector<std::string>& words, bool json = false) {
    Result r;
    r.status = RunEmuCommand(words, json, r.out, r.error);
    return r;
}

class EmuCommandTest : public ::testing::Test {
protected:
    void SetUp() override { kvemu::Reset(); }
    void TearDown() override { kvemu::Reset(); }
};

TEST_F(EmuCommandTest, RegistersAndBoardsInWordsAndJson) {
    Result r = Emu({"reg", "0", "0", "0xa0008"}, true);
    ASSERT_EQ(0, r.status) << r.error;
    EXPECT_EQ("{\"emu\":\"reg\",\"bus\":0,\"slot\":0,\"address\":\"0x000a0008\",\"value\":\"0xe0\"}\n", r.out);

    r = Emu({"reg", "0", "0", "655362", "0x1f"});
    ASSERT_EQ(0, r.status) << r.error;
    EXPECT_EQ("0:0 0x000a0002 = 0x1f\n", r.out);
    uint8_t value = 0;
    ASSERT_EQ(0, kvemu::ReadRegister(0, 0, 0xA0002, &value));
    EXPECT_EQ(0x1F, value);

    r = Emu({"board", "2", "0x3"}, true);
    ASSERT_EQ(0, r.status) << r.error;
    EXPECT_EQ("{\"emu\":\"board\",\"bus\":2,\"slot\":3}\n", r.out);
    KVHANDLE h = nullptr;
    EXPECT_EQ(0u, kvOpenByBusDeviceFunction(2, 3, 0, &h));
    EXPECT_NE(0, Emu({"board", "2", "3"}).status);
}

TEST_F(EmuCommandTest, FaultsAndTheJournal) {
    KVHANDLE h = nullptr;
    ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, &h));
    ASSERT_EQ(0, Emu({"journal", "clear"}).status);

    Result r = Emu({"fail", "BoardWriteByte", "0x10", "2"}, true);
    ASSERT_EQ(0, r.status) << r.error;
    EXPECT_EQ("{\"emu\":\"fail\",\"function\":\"BoardWriteByte\",\"status\":16,\"nth\":2}\n", r.out);
    EXPECT_EQ(0u, BoardWriteByte(h, 0xA0002, 0xFB));
    EXPECT_EQ(16u, BoardWriteByte(h, 0xA0002, 0xFA));
    EXPECT_EQ(0u, BoardWriteByte(h, 0xA0002, 0xF9));

    r = Emu({"journal"}, true);
    ASSERT_EQ(0, r.status);
    EXPECT_EQ("{\"journal\":\"0:0 BoardWriteByte 0xa0002 0xfb = 0\"}\n"
              "{\"journal\":\"0:0 BoardWriteByte 0xa0002 0xfa = 16\"}\n"
              "{\"journal\":\"0:0 BoardWriteByte 0xa0002 0xf9 = 0\"}\n",
              r.out);
    r = Emu({"journal"});
    EXPECT_EQ("0:0 BoardWriteByte 0xa0002 0xfb = 0\n", r.out.substr(0, r.out.find('\n') + 1));

    // Every call, then removed by status 0.
    ASSERT_EQ(0, Emu({"fail", "ioctl", "5"}).status);
    EXPECT_EQ(0, Emu({"fail", "ioctl", "0"}).status);
    ASSERT_EQ(0, Emu({"fail", "BoardReadByte", "7"}).status);
    uint8_t value;
    EXPECT_EQ(7u, BoardReadByte(h, 0xA0008, &value));
    EXPECT_EQ(7u, BoardReadByte(h, 0xA0008, &value));
    ASSERT_EQ(0, Emu({"fail", "BoardReadByte", "0"}).status);
    EXPECT_EQ(0u, BoardReadByte(h, 0xA0008, &value));

    ASSERT_EQ(0, Emu({"journal", "clear"}).status);
    EXPECT_TRUE(kvemu::Journal().empty());
}

TEST_F(EmuCommandTest, SwitchAndPortViews) {
    KVHANDLE h = nullptr;
    ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, &h));
    std::vector<uint16_t> table(512, 0xFFFF);
    table[16] = 0x0102;
    ASSERT_EQ(0u, BoardLoadL2PTable(h, 1024, table.data()));
    Result r = Emu({"l2p", "0", "0", "0", "16"}, true);
    ASSERT_EQ(0, r.status) << r.error;
    EXPECT_EQ("{\"emu\":\"l2p\",\"bus\":0,\"slot\":0,\"stream\":0,\"timeslot\":16,\"value\":\"0x0102\"}\n", r.out);

    const uint8_t bytes[3] = {0x4A, 0x21, 0x40};
    ASSERT_EQ(0u, LineConfigureSingle(h, 3, bytes, 3));
    ASSERT_EQ(0u, LineSetGxZeroValues(h, 3, 164, 64));
    r = Emu({"port", "0", "0", "3"}, true);
    ASSERT_EQ(0, r.status) << r.error;
    EXPECT_NE(std::string::npos, r.out.find("\"port\":3,\"command\":0,\"bytes\":\"0x4a 0x21 0x40\"}\n"));
    EXPECT_NE(std::string::npos, r.out.find("\"gx\":[164,64],\"gr\":null}\n"));
    r = Emu({"port", "0", "0", "3"});
    EXPECT_NE(std::string::npos, r.out.find("port 3 command 0: 0x4a 0x21 0x40\n"));

    r = Emu({"connections", "0", "0"}, true);
    ASSERT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
    r = Emu({"connections", "0", "0"});
    EXPECT_EQ("0:0 0 connection(s)\n", r.out);
}

TEST_F(EmuCommandTest, DspStimuliReachTheModelAndTheMonitor) {
    KVHANDLE h = nullptr;
    ASSERT_EQ(0u, kvOpenByBusDeviceFunction(0, 0, 0, &h));
    ASSERT_EQ(0u, BoardStartMonitoring(h));

    ASSERT_EQ(0, Emu({"temp", "0", "0", "3", "-5"}).status);
    ASSERT_EQ(0, Emu({"reason", "0", "0", "0x13", "0x21"}).status);
    kvemu::DspState dsp;
    ASSERT_EQ(0, kvemu::GetDspState(0, 0, &dsp));
    EXPECT_EQ(-5, dsp.sensors[3].temperature);
    Result r = Emu({"dsp", "0", "0"}, true);
    ASSERT_EQ(0, r.status) << r.error;
    EXPECT_EQ(0u, r.out.find("{\"emu\":\"dsp\",\"bus\":0,\"slot\":0,\"running\":false,"));
    EXPECT_NE(std::string::npos, r.out.find("{\"sensor\":3,\"configured\":false,\"running\":false,"));
    EXPECT_NE(std::string::npos, r.out.find("\"temperature\":-5}"));
    r = Emu({"dsp", "0", "0"});
    EXPECT_NE(std::string::npos, r.out.find("sensor 3: -5 degrees"));

    ASSERT_EQ(0, Emu({"heartbeat", "0", "0", "lost"}).status);
    ASSERT_EQ(0, Emu({"status", "0", "0", "1", "2", "3", "4", "5", "6", "7", "0x8"}).status);
    ASSERT_EQ(0, Emu({"dspmsg", "0", "0", "3", "6", "0x10"}).status);
    ASSERT_EQ(0, Emu({"message", "0", "0", "77"}).status);

    uint8_t buffer[116];
    uint32_t length = 0;
    ASSERT_EQ(0u, kvReceiveMessage(h, buffer, sizeof buffer, &length));
    EXPECT_EQ(8u, length);
    EXPECT_EQ(1, buffer[0]);
    EXPECT_EQ(1, buffer[4]);
    ASSERT_EQ(0u, kvReceiveMessage(h, buffer, sizeof buffer, &length));
    uint16_t words[9];
    std::memcpy(words, buffer + 14, sizeof words);
    EXPECT_EQ((std::vector<uint16_t>{0x10, 1, 2, 3, 4, 5, 6, 7, 8}), std::vector<uint16_t>(words, words + 9));
    ASSERT_EQ(0u, kvReceiveMessage(h, buffer, sizeof buffer, &length));
    EXPECT_EQ(3, buffer[12]);
    ASSERT_EQ(0u, kvReceiveMessage(h, buffer, sizeof buffer, &length));
    EXPECT_EQ(77, buffer[0]);
    EXPECT_EQ(KVD_ERR_NO_MESSAGE, kvReceiveMessage(h, buffer, sizeof buffer, &length));
}

TEST_F(EmuCommandTest, BadInputGivesAnErrorAndPrintsNothing) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"reg", "0", "0"},
        {"reg", "0", "0", "0x"},
        {"reg", "0", "0", "12abc"},
        {"reg", "0", "0", "-1"},
        {"reg", "0", "0", "4294967296"},
        {"reg", "0", "0", "0xa0002", "256"},
        {"reg", "0", "5", "0xa0002"},  // no board there
        {"board", "0"},
        {"board", "256", "0"},
        {"fail", "NoSuchCall", "1"},
        {"fail", "ioctl", "x"},
        {"fail", "ioctl", "5", "0"},
        {"journal", "purge"},
        {"l2p", "0", "0", "8", "0"},
        {"l2p", "0", "0", "0", "64"},
        {"port", "0", "0", "48"},
        {"temp", "0", "0", "5", "40"},
        {"temp", "0", "0", "0", "hot"},
        {"heartbeat", "0", "0", "gone"},
        {"status", "0", "0", "1", "2", "3"},
        {"status", "0", "0", "1", "2", "3", "4", "5", "6", "7", "65536"},
        {"dspmsg", "0", "0", "3"},
        {"message", "0", "0"},
        {"reason", "0", "0", "0x10000", "1"},
    };
    for (const auto& words : bad) {
        std::string joined;
        for (const auto& w : words) joined += w + " ";
        Result r = Emu(words, true);
        EXPECT_NE(0, r.status) << joined;
        EXPECT_FALSE(r.error.empty()) << joined;
        EXPECT_EQ(std::string::npos, r.error.find('\n')) << joined;  // one line
        EXPECT_EQ("", r.out) << joined;
    }
    std::vector<std::string> tooMany = {"dspmsg", "0", "0", "3", "6"};
    for (int i = 0; i < 33; ++i) tooMany.push_back("1");
    EXPECT_NE(0, Emu(tooMany).status);
    EXPECT_NE(nullptr, std::strstr(EmuCommandHelp(), "emu fail FUNCTION STATUS [NTH]"));
}

}  // namespace
