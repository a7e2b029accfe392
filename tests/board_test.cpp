// A board's driver handle, register access, state, identity, messages and traces.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "KvRegisters.h"
#include "Supervisor.h"
#include "fixtures.h"

namespace {

using kvtest::Messages;
using kvtest::Register;
using kvtest::Texts;

class BoardTest : public kvtest::BoardFixture {
protected:
    void SetUp() override {
        BoardFixture::SetUp();
        kvtest::ClearDatabase();
        kvtest::SetDbOpenStatus(0);
        ASSERT_EQ(board->SetKeywordValue("Number", "3"), 0u);
    }
    void Mask(uint32_t mask) {
        ASSERT_EQ(board->SetKeywordValue("OamTraceMask", std::to_string(mask).c_str()), 0u);
        kvtest::ClearAlerts();
    }
};

TEST_F(BoardTest, DriverOpensLazilyAtTheKeywordsLocationAndRetriesAfterFailure) {
    Mask(0x04);
    ASSERT_EQ(board->SetKeywordValue("Location.PCI.Bus", "3"), 0u);
    EXPECT_EQ(board->GetDriverHandle(), nullptr);
    EXPECT_EQ(Messages(kvtest::kInform),
              (Texts{"kvOpen failed to open driver (2) for board 3 in PCI bus:slot 3:0\n",
                     "CKvBoard::GetDriverHandle() failed to open driver.\n"}));
    ASSERT_EQ(board->SetKeywordValue("Location.PCI.Bus", "0"), 0u);
    KVHANDLE handle = board->GetDriverHandle();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(board->GetDriverHandle(), handle);               // no second open while it is open
    ASSERT_EQ(board->OpenDriver(&board->m_DriverHandle), 0u);  // closes the open one first
    EXPECT_EQ(kvtest::OpenHandles(), 1u);
    // A failed close keeps the handle, still open in the driver, so that a later close releases it.
    kvemu::SetFault("kvClose", 5, 1);
    EXPECT_EQ(board->CloseDriver(&board->m_DriverHandle), 5u);
    EXPECT_EQ(kvtest::OpenHandles(), 1u);
    EXPECT_EQ(board->CloseDriver(&board->m_DriverHandle), 0u);
    EXPECT_EQ(kvtest::OpenHandles(), 0u);
    EXPECT_EQ(board->CloseDriver(&board->m_DriverHandle), 1u);  // nothing left to close
}

TEST_F(BoardTest, RegisterAccessIsJournaledAndEachTraceFollowsItsOwnBit) {
    // A masked write changes only the masked bits (set one, clear one, a nibble); its trace comes first.
    const struct {
        uint8_t old, mask, value, expected;
    } writes[] = {{0x31, 0x04, 0x04, 0x35}, {0x35, 0x04, 0xFB, 0x31}, {0x0F, 0xF0, 0x5A, 0x5F}};
    Mask(0x30);
    for (const auto& c : writes) {
        kvemu::WriteRegister(0, 0, KV_REG_LINE_POWER, c.old);
        kvemu::ClearJournal();
        kvtest::ClearAlerts();
        board->WriteByte(KV_REG_LINE_POWER, c.mask, c.value);
        char write[64], read[64], journal[64];
        snprintf(write, sizeof(write), "CKvBoard::WriteByte() -> 000a0002 %02x %02x\n", c.mask, c.value);
        snprintf(read, sizeof(read), "CKvBoard::ReadByte() -> 000a0002 %02x\n", c.old);
        snprintf(journal, sizeof(journal), "0:0 BoardWriteByte 0xa0002 0x%x = 0", c.expected);
        EXPECT_EQ(Messages(kvtest::kInform), (Texts{write, read}));
        EXPECT_EQ(kvemu::Journal().back(), journal);
        EXPECT_EQ(Register(KV_REG_LINE_POWER), c.expected);
    }
    // A plain write that fails, a read, a read that fails, and a masked write after a failed read, which
    // writes nothing: under each bit alone, only that bit's traces; failures show in no other way.
    const std::pair<uint32_t, Texts> masks[] = {
        {0x10, {"CKvBoard::WriteByte() -> 000a0002 07\n", "CKvBoard::WriteByte() -> 000a0002 04 04\n"}},
        {0x20, {"CKvBoard::ReadByte() -> 000a0002 5f\n"}},
        {0x04,
         {"CKvBoard::WriteByte(Address => 000a0002, Value => 07) returns 22 (00000016h)\n",
          "CKvBoard::ReadByte() - BoardReadByte(000a0002h) returns 22 (00000016h)\n",
          "CKvBoard::ReadByte() - BoardReadByte(000a0002h) returns 22 (00000016h)\n",
          "CKvBoard::WriteByte(Address => 000a0002, Mask => 04, Value => 04) not written: register could not be "
          "read\n"}},
        {0x03, {}}};
    for (const auto& [mask, traces] : masks) {
        Mask(mask);
        kvemu::SetFault("BoardWriteByte", 22, 1);
        board->WriteByte(KV_REG_LINE_POWER, 0x07);
        EXPECT_EQ(board->ReadByte(KV_REG_LINE_POWER), 0x5F);
        kvemu::SetFault("BoardReadByte", 22, 1);
        EXPECT_EQ(board->ReadByte(KV_REG_LINE_POWER), 0);
        kvemu::SetFault("BoardReadByte", 22, 1);
        board->WriteByte(KV_REG_LINE_POWER, 0x04, 0x04);
        EXPECT_EQ(Register(KV_REG_LINE_POWER), 0x5F);
        EXPECT_EQ(kvtest::Messages(-1), traces) << mask;
    }
}

TEST_F(BoardTest, IdentityReachesTheDriverAndTheDatabase) {
    EXPECT_EQ(board->AssignLogicalNumber(), 0u);
    EXPECT_EQ(kvtest::Journaled("0:0 BoardSetLogicalNumber 3 = 0"), 1u);
    EXPECT_EQ(kvtest::Database()["b0"],
              (std::map<std::string, std::string>{{"Driver.BoardID", "3"}, {"Driver.Name", "kvhw"}}));
    char id[16] = {0};
    EXPECT_EQ(board->GetKeywordValue("Driver.BoardId", id, sizeof(id)), 0u);
    EXPECT_STREQ(id, "3");
    // A database that cannot be opened is skipped silently.
    kvtest::ClearDatabase();
    kvtest::SetDbOpenStatus(1);
    EXPECT_EQ(board->AssignLogicalNumber(), 0u);
    EXPECT_TRUE(kvtest::Database().empty());
    EXPECT_TRUE(Messages(-1).empty());
    kvemu::SetFault("BoardSetLogicalNumber", 5, 1);
    EXPECT_EQ(board->AssignLogicalNumber(), 1u);
    EXPECT_EQ(Messages(kvtest::kError),
              Texts{"Error 5 (00000005h) assigning logical board number 3 to the board in 0:0.\n"});
    // The switch driver's name is read once per run (until the stop resets the board).
    EXPECT_STREQ(board->GetSwitchDriver(), "kvsw");
    ASSERT_EQ(board->SetKeywordValue("SwitchDriver.Name", "other"), 0u);
    EXPECT_STREQ(board->GetSwitchDriver(), "kvsw");
    board->Reset();
    EXPECT_STREQ(board->GetSwitchDriver(), "other");
}

TEST_F(BoardTest, MessagesGoOutWithTheirSeverityAndTracesFollowTheMask) {
    board->Error("e %d\n", 1);
    board->Warning("w %s\n", "2");
    board->Inform("i\n");
    std::string seen;
    for (const kvtest::Alert& alert : kvtest::Alerts())
        seen += std::to_string(alert.code) + alert.source + std::to_string(alert.severity) + alert.text;
    EXPECT_EQ(seen, "1073750017b02e 1\n1073750017b01w 2\n1073750017b00i\n");  // 0x40002001, source, severity
    // 0x40000000 (print instead of alert) is no level of its own.
    const struct {
        uint32_t mask, level;
        bool toSupervisor, toStdout;
    } cases[] = {{0x40000001, 0x01, false, true},
                 {0x40000000, 0x40000000, false, false},
                 {0x00000005, 0x04 | 0x02, true, false},
                 {0x00000002, 0x01, false, false}};
    for (const auto& c : cases) {
        Mask(c.mask);
        testing::internal::CaptureStdout();
        board->Trace(c.level, "trace %d\n", 7);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.toStdout ? "trace 7\n" : "") << c.mask;
        EXPECT_EQ(Messages(kvtest::kInform), c.toSupervisor ? Texts{"trace 7\n"} : Texts{}) << c.mask;
    }
    board->RemoveKeyword("OamTraceMask");  // without the mask every trace becomes a warning
    kvtest::ClearAlerts();
    board->Trace(0x01, "lost\n");
    EXPECT_EQ(Messages(kvtest::kWarning),
              Texts{"CKvBoard::Trace() - expected keyword 'OamTraceMask' not found\n"});
}

TEST(AlertRecordTest, RecordLayoutAndCutOfLongMessages) {
    {
        CKvBoard board("board1", "KV_7400");
        kvtest::ClearAlerts();
        board.Warning("%s", "abcd");
    }
    std::vector<uint8_t> record = kvtest::LastRecord();
    ASSERT_EQ(record.size(), 36u);
    oam_msg_tag header;
    memcpy(&header, record.data(), sizeof(header));
    EXPECT_EQ(std::vector<uint32_t>(
                  {header.size, header.alert, header.severity, header.source_offset, header.text_offset}),
              std::vector<uint32_t>({36u, 0x40002001u, 1u, 24u, 31u}));
    EXPECT_EQ(std::string(record.begin() + 24, record.end()), std::string("board1\0abcd\0", 12));
    // A message longer than the limit is cut to 20479 characters.
    std::string longText(30000, 'x');
    longText[20478] = 'a', longText[20479] = 'b';
    kvtest::ClearAlerts();
    EXPECT_EQ(CSupervisor::GetSupervisor()->AlertNotify(0x40002001, 0, "b", "%s", longText.c_str()), 0u);
    ASSERT_EQ(kvtest::Alerts().size(), 1u);
    EXPECT_EQ(kvtest::Alerts()[0].text, longText.substr(0, 20479));
    EXPECT_EQ(kvtest::LastRecord().size(), 24u + 2u + 20480u);  // "b" and the text, each with its NUL
}

}  // namespace
