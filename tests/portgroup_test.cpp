// Port groups, the intrusive list and the board's station map on the emulator.
#include "PortGroup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KvRegisters.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"

namespace {

struct Item : cListElement {
    explicit Item(int v) : value(v) {}
    int Compare(cListElement* other) { return value == static_cast<Item*>(other)->value ? 0 : 1; }
    int value;
};

TEST(ListTest, KeepsOrderLinksAndCount) {
    cList<Item> list;
    Item a(1), b(2), key(2);
    EXPECT_EQ(list.AddToTail(nullptr) + list.AddToTail(&a) + list.AddToTail(&b), -1);
    EXPECT_EQ(list.Find(&key), &b);
    EXPECT_EQ(list.RemoveFromHead(), &a);
    EXPECT_TRUE(a.m_Next == nullptr && list.m_Head == &b && b.m_Prev == nullptr && list.m_Count == 1);
    // Forgetting leaves the elements alone; the list is empty afterwards.
    EXPECT_EQ(list.RemoveAll(false), 0);
    EXPECT_TRUE(list.m_Count == 0 && list.m_Head == nullptr && list.m_Tail == nullptr);
}

// The five logical fields of a station, in entry order.
std::vector<int> Logical(cPortGroup& g, int s) {
    return {g.GetLogicalStreamVoiceOut(s), g.GetLogicalStreamVoiceIn(s), g.GetLogicalStreamSignalOut(s),
            g.GetLogicalStreamSignalIn(s), g.GetLogicalTimeslot(s)};
}

TEST(PortGroupTest, EachSetterWritesItsOwnFieldOfItsOwnStation) {
    cPortGroup group(g_PortGroup_17_32, 16, 2);
    EXPECT_EQ(group.SetLogicalStreamVoiceOut(20, 4) | group.SetLogicalStreamVoiceIn(20, 5) |
                  group.SetLogicalStreamSignalOut(20, 6) | group.SetLogicalStreamSignalIn(20, 7) |
                  group.SetLogicalTimeslot(20, 8),
              0u);
    EXPECT_EQ(Logical(group, 20), (std::vector<int>{4, 5, 6, 7, 8}));
    EXPECT_EQ(Logical(group, 21), std::vector<int>(5, -1));
    // Stations of other groups (station 33 falls on entry 0, which holds 17) are refused and change nothing.
    for (int station : {33, 16, 0, -1}) {
        SCOPED_TRACE(station);
        EXPECT_EQ(group.SetLogicalStreamVoiceOut(station, 1) & group.SetLogicalStreamVoiceIn(station, 1) &
                      group.SetLogicalStreamSignalOut(station, 1) &
                      group.SetLogicalStreamSignalIn(station, 1) & group.SetLogicalTimeslot(station, 1),
                  0xFFFFFFFFu);
        EXPECT_EQ(Logical(group, station), std::vector<int>(5, -1));
        EXPECT_EQ(group.GetPhysicalTimeslot(station) & group.GetPhysicalStreamVoiceOut(station), -1);
    }
    EXPECT_EQ(Logical(group, 17), std::vector<int>(5, -1));
    cPortGroup first(g_PortGroup_1_16, 16, 1), last(g_PortGroup_33_48, 16, 4);
    EXPECT_EQ((std::vector<int>{group.Compare(&first), group.Compare(&last), group.Compare(&group)}),
              (std::vector<int>{1, -1, 0}));
}

TEST(PortGroupTest, ShortGroupsAndEmptyCountsDoNotReadPastTheTable) {
    cPortGroup four(g_PortGroup_1_16, 4, 1), none(g_PortGroup_1_16, 0, 1), tooMany(g_PortGroup_1_16, 40, 1);
    EXPECT_EQ(four.GetStationNumber(4), -1);
    EXPECT_EQ(four.GetPhysicalTimeslot(5), -1);
    EXPECT_EQ(none.SetLogicalTimeslot(1, 0), 0xFFFFFFFFu);
    EXPECT_EQ(tooMany.GetPhysicalTimeslot(1), -1);
    cPortGroup group(g_PortGroup_17_32, 1, 2);
    group.SetLogicalTimeslot(17, 5);
    testing::internal::CaptureStdout();
    group.Print();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "                   physical                         logical\n"
              "            QSLAC QSLAC EPLD EPLD  slot   voice voice signal signal  slot\n"
              "  station    out   in    out  in          out    in    out     in\n"
              "  -----------------------------------------------------------------\n"
              "    17        01   01    04   04    02     -1    -1     -1     -1    05\n"
              "\n");
}

class StationMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
    }
    static void SetPopulation(uint8_t value) {
        ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, value), 0);
    }
    static uint16_t Entry(unsigned stream, unsigned slot) {
        uint16_t value = 0;
        EXPECT_EQ(kvemu::GetL2PEntry(0, 0, stream, slot, &value), 0);
        return value;
    }
};

// The table each population and "RawMap" give, entry by entry, is compared whole with the golden journals
// (kvoam_e2e_test); here what they cannot show.
TEST_F(StationMapTest, RemappingRebuildsGroupsFromScratch) {
    SetPopulation(0xE0);
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(board.MapPortGroups(), 0u);
    board.MapQslacFilesToPorts();
    SetPopulation(0xA0);
    ASSERT_EQ(board.MapPortGroups(), 0u);
    EXPECT_EQ(Entry(0, 16), 0x0204);  // station 33 now takes logical timeslot 16
    EXPECT_EQ(board.m_Ports.m_Count + board.m_QslacFiles.m_Count, 0u);
    EXPECT_EQ(cList<cPortGroup>::Next(board.m_PortGroups.Head())->GetLogicalTimeslot(17),
              -1);  // the earlier run's is gone
}

// A failed table load ends the start with its message (start_stop_test); a population that cannot be read
// ends the map before any station is given out or any table loaded.
TEST_F(StationMapTest, AnUnreadablePopulationEndsTheMap) {
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(kvemu::SetFault("BoardReadByte", 5, 1), 0);
    EXPECT_EQ(board.MapPortGroups(), 1u);
    EXPECT_EQ(kvtest::AlertTexts(0x40002001, 2),
              std::vector<std::string>{
                  "CKvBoard::MapPortGroups() - BoardReadByte(000a0008h) returns 5 (00000005h)\n"});
    EXPECT_FALSE(kvemu::L2PLoaded(0, 0));
    ASSERT_EQ(board.m_PortGroups.m_Count, 3u);
    EXPECT_EQ(board.m_PortGroups.Head()->m_Qslacs.m_Count, 0u);
    EXPECT_EQ(board.m_PortGroups.Head()->GetLogicalTimeslot(1), -1);
}

}  // namespace
