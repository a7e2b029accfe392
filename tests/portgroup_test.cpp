// Port groups, the intrusive list and the board's station map on the emulator.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "PortGroup.h"
#include "Qslac.h"
#include "fake_supervisor.h"
#include "kvboard.h"
#include "kvemu.h"

namespace {

// ---- cList -----------------------------------------------------------------

struct Item : cListElement {
    explicit Item(int v) : value(v) {}
    int Compare(cListElement* other) { return value == static_cast<Item*>(other)->value ? 0 : 1; }
    int value;
};

TEST(ListTest, KeepsOrderLinksAndCount) {
    cList<Item> list;
    EXPECT_EQ(list.AddToTail(nullptr), -1);
    EXPECT_EQ(list.RemoveFromHead(), nullptr);
    Item key(2);
    EXPECT_EQ(list.Find(&key), nullptr);

    Item a(1), b(2), c(3);
    for (Item* i : {&a, &b, &c}) EXPECT_EQ(list.AddToTail(i), 0);
    EXPECT_EQ(list.m_Count, 3u);
    EXPECT_EQ(list.m_Head, &a);
    EXPECT_EQ(list.m_Tail, &c);
    EXPECT_EQ(a.m_Prev, nullptr);
    EXPECT_EQ(b.m_Prev, &a);
    EXPECT_EQ(c.m_Next, nullptr);
    EXPECT_EQ(list.Find(&key), &b);
    EXPECT_EQ(list.Find(nullptr), nullptr);

    EXPECT_EQ(list.RemoveFromHead(), &a);
    EXPECT_EQ(a.m_Next, nullptr);
    EXPECT_EQ(list.m_Head, &b);
    EXPECT_EQ(b.m_Prev, nullptr);
    EXPECT_EQ(list.m_Count, 2u);

    // Forgetting leaves the elements alone; the list is empty afterwards.
    EXPECT_EQ(list.RemoveAll(false), 0);
    EXPECT_EQ(list.m_Count, 0u);
    EXPECT_EQ(list.m_Head, nullptr);
    EXPECT_EQ(list.m_Tail, nullptr);
    EXPECT_EQ(list.RemoveFromHead(), nullptr);

    list.AddToTail(&c);
    EXPECT_EQ(list.RemoveFromHead(), &c);
    EXPECT_EQ(list.m_Head, nullptr);
    EXPECT_EQ(list.m_Tail, nullptr);
}

// ---- cPortGroup and the constant tables ------------------------------------

TEST(PortGroupTest, LookupsFindOnlyTheGroupsOwnStations) {
    struct Case {
        const STATION_MAP_ENTRY* table;
        int station, voice, signal, slot;
    } cases[] = {{g_PortGroup_1_16, 1, 0, 3, 0},    {g_PortGroup_1_16, 16, 0, 3, 15},
                 {g_PortGroup_17_32, 17, 1, 4, 2},  {g_PortGroup_17_32, 32, 1, 4, 17},
                 {g_PortGroup_33_48, 33, 2, 5, 4},  {g_PortGroup_33_48, 48, 2, 5, 19},
                 {g_PortGroup_17_32, 1, -1, -1, -1}, {g_PortGroup_17_32, 33, -1, -1, -1},
                 {g_PortGroup_1_16, 0, -1, -1, -1},  {g_PortGroup_1_16, -15, -1, -1, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.station);
        cPortGroup group(c.table, 16, 1);
        EXPECT_EQ(group.GetPhysicalStreamVoiceOut(c.station), c.voice);
        EXPECT_EQ(group.GetPhysicalStreamVoiceIn(c.station), c.voice);
        EXPECT_EQ(group.GetPhysicalStreamSignalOut(c.station), c.signal);
        EXPECT_EQ(group.GetPhysicalStreamSignalIn(c.station), c.signal);
        EXPECT_EQ(group.GetPhysicalTimeslot(c.station), c.slot);
        EXPECT_EQ(group.GetLogicalTimeslot(c.station), -1);
        const uint32_t set = c.slot < 0 ? 0xFFFFFFFFu : 0u;
        EXPECT_EQ(group.SetLogicalStreamVoiceOut(c.station, 0), set);
        EXPECT_EQ(group.SetLogicalStreamVoiceIn(c.station, 1), set);
        EXPECT_EQ(group.SetLogicalStreamSignalOut(c.station, 2), set);
        EXPECT_EQ(group.SetLogicalStreamSignalIn(c.station, 3), set);
        EXPECT_EQ(group.SetLogicalTimeslot(c.station, 9), set);
        EXPECT_EQ(group.GetLogicalStreamVoiceOut(c.station), c.slot < 0 ? -1 : 0);
        EXPECT_EQ(group.GetLogicalStreamVoiceIn(c.station), c.slot < 0 ? -1 : 1);
        EXPECT_EQ(group.GetLogicalStreamSignalOut(c.station), c.slot < 0 ? -1 : 2);
        EXPECT_EQ(group.GetLogicalStreamSignalIn(c.station), c.slot < 0 ? -1 : 3);
        EXPECT_EQ(group.GetLogicalTimeslot(c.station), c.slot < 0 ? -1 : 9);
        EXPECT_EQ(group.GetStationNumber(16), -1);
        // A failed look-up changes nothing.
        if (c.slot < 0) {
            for (const STATION_MAP_ENTRY& e : group.m_Stations) EXPECT_EQ(e.LogicalTimeslot, -1);
        }
    }

    cPortGroup first(g_PortGroup_1_16, 16, 1), middle(g_PortGroup_17_32, 16, 2), last(g_PortGroup_33_48, 16, 4);
    EXPECT_EQ(middle.Compare(&first), 1);
    EXPECT_EQ(middle.Compare(&last), -1);
    EXPECT_EQ(middle.Compare(&middle), 0);
}

TEST(PortGroupTest, ShortGroupsAndEmptyCountsDoNotReadPastTheTable) {
    cPortGroup four(g_PortGroup_1_16, 4, 1);
    EXPECT_EQ(four.GetStationNumber(3), 4);
    EXPECT_EQ(four.GetStationNumber(4), -1);
    EXPECT_EQ(four.GetPhysicalTimeslot(4), 3);
    EXPECT_EQ(four.GetPhysicalTimeslot(5), -1);  // index 0 holds station 1

    cPortGroup none(g_PortGroup_1_16, 0, 1);
    EXPECT_EQ(none.GetPhysicalTimeslot(1), -1);
    EXPECT_EQ(none.SetLogicalTimeslot(1, 0), 0xFFFFFFFFu);
    cPortGroup tooMany(g_PortGroup_1_16, 40, 1);
    EXPECT_EQ(tooMany.GetPhysicalTimeslot(1), -1);
    EXPECT_EQ(tooMany.GetStationNumber(20), -1);
}

TEST(PortGroupTest, PrintShowsHeaderAndOneLinePerStation) {
    cPortGroup group(g_PortGroup_17_32, 2, 2);
    group.SetLogicalTimeslot(18, 5);
    testing::internal::CaptureStdout();
    group.Print();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "                   physical                         logical\n"
              "            QSLAC QSLAC EPLD EPLD  slot   voice voice signal signal  slot\n"
              "  station    out   in    out  in          out    in    out     in\n"
              "  -----------------------------------------------------------------\n"
              "    17        01   01    04   04    02     -1    -1     -1     -1    -1\n"
              "    18        01   01    04   04    03     -1    -1     -1     -1    05\n"
              "\n");
}

// ---- The board's station map --------------------------------------------------

class StationMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
    }

    void SetPopulation(uint8_t value) { ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, value), 0); }

    // The table the board should load when exactly the given groups hold
    // stations: consecutive logical timeslots in station order.
    static std::vector<uint16_t> ExpectedTable(const bool* populated) {
        // Default: streams 4 and 5 on physical stream 8, 6 and 7 on 10, timeslots 0 to 47.
        std::vector<uint16_t> table(512, 0xFFFF);
        for (unsigned stream = 4; stream < 8; ++stream)
            for (unsigned t = 0; t < 48; ++t) table[stream * 64 + t] = uint16_t((stream < 6 ? 0x0800 : 0x0A00) + t);
        const STATION_MAP_ENTRY* tables[3] = {g_PortGroup_1_16, g_PortGroup_17_32, g_PortGroup_33_48};
        unsigned t = 0;
        for (unsigned g = 0; g < 3; ++g) {
            if (!populated[g]) continue;
            for (unsigned i = 0; i < 16; ++i, ++t) {
                const STATION_MAP_ENTRY& e = tables[g][i];
                table[0 * 64 + t] = uint16_t(e.PhysicalStreamVoiceOut * 256 + e.PhysicalTimeslot);
                table[1 * 64 + t] = uint16_t(e.PhysicalStreamVoiceIn * 256 + e.PhysicalTimeslot);
                table[2 * 64 + t] = uint16_t(e.PhysicalStreamSignalOut * 256 + e.PhysicalTimeslot);
                table[3 * 64 + t] = uint16_t(e.PhysicalStreamSignalIn * 256 + e.PhysicalTimeslot);
            }
        }
        return table;
    }

    static void ExpectLoadedTable(const std::vector<uint16_t>& expected) {
        ASSERT_TRUE(kvemu::L2PLoaded(0, 0));
        for (unsigned stream = 0; stream < 8; ++stream)
            for (unsigned t = 0; t < 64; ++t) {
                uint16_t value = 0;
                ASSERT_EQ(kvemu::GetL2PEntry(0, 0, stream, t, &value), 0);
                ASSERT_EQ(value, expected[stream * 64 + t]) << "stream " << stream << " slot " << t;
            }
    }

    static std::vector<int> LogicalTimeslots(CKvBoard& board) {
        std::vector<int> slots;
        for (cPortGroup* g = board.m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g))
            for (unsigned i = 0; i < 16; ++i) slots.push_back(g->GetLogicalTimeslot(g->GetStationNumber(i)));
        return slots;
    }
};

TEST_F(StationMapTest, PopulationSelectsGroupsAndTable) {
    struct Case {
        uint8_t population;
        const char* rawMap;
        bool populated[3];
    } cases[] = {
        {0xE0, "Disable", {true, true, true}},
        {0xA0, "Disable", {true, false, true}},
        {0x40, "Disable", {false, true, false}},
        {0x1F, "Disable", {false, false, false}},
        {0x00, "enable", {true, true, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "population 0x" << std::hex << int(c.population) << " " << c.rawMap);
        kvemu::Reset();
        SetPopulation(c.population);
        CKvBoard board("b0", "KV 7400C-48");
        ASSERT_EQ(board.SetKeywordValue("RawMap", c.rawMap), 0u);
        ASSERT_EQ(board.MapPortGroups(), 0u);
        ASSERT_EQ(board.m_PortGroups.m_Count, 3u);

        std::vector<int> slots = LogicalTimeslots(board);
        int next = 0;
        for (unsigned g = 0; g < 3; ++g)
            for (unsigned i = 0; i < 16; ++i)
                EXPECT_EQ(slots[g * 16 + i], c.populated[g] ? next++ : -1) << "station " << g * 16 + i + 1;
        unsigned index = 0;
        for (cPortGroup* g = board.m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g)) {
            const bool on = c.populated[index++];
            for (unsigned i = 0; i < 16; ++i) {
                const int s = g->GetStationNumber(i);
                EXPECT_EQ(g->GetLogicalStreamVoiceOut(s), on ? 0 : -1);
                EXPECT_EQ(g->GetLogicalStreamVoiceIn(s), on ? 1 : -1);
                EXPECT_EQ(g->GetLogicalStreamSignalOut(s), on ? 2 : -1);
                EXPECT_EQ(g->GetLogicalStreamSignalIn(s), on ? 3 : -1);
            }
            // Every group gets its four line circuits, fitted or not.
            EXPECT_EQ(g->m_Qslacs.m_Count, 4u);
        }
        ExpectLoadedTable(ExpectedTable(c.populated));
    }
}

TEST_F(StationMapTest, KnownEntriesOfTheLoadedTable) {
    SetPopulation(0xE0);
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(board.MapPortGroups(), 0u);
    uint16_t value = 0;
    kvemu::GetL2PEntry(0, 0, 0, 16, &value);
    EXPECT_EQ(value, 0x0102);  // station 17: physical stream 1, timeslot 2
    kvemu::GetL2PEntry(0, 0, 3, 47, &value);
    EXPECT_EQ(value, 0x0513);  // station 48 signalling in: stream 5, timeslot 19

    SetPopulation(0xA0);
    ASSERT_EQ(board.MapPortGroups(), 0u);
    kvemu::GetL2PEntry(0, 0, 0, 16, &value);
    EXPECT_EQ(value, 0x0204);  // station 33 now takes logical timeslot 16
    kvemu::GetL2PEntry(0, 0, 1, 32, &value);
    EXPECT_EQ(value, 0xFFFF);
}

TEST_F(StationMapTest, RemappingRebuildsGroupsFromScratch) {
    SetPopulation(0xE0);
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(board.MapPortGroups(), 0u);
    board.MapQslacFilesToPorts();
    EXPECT_EQ(board.m_Ports.m_Count, 48u);
    SetPopulation(0x20);
    ASSERT_EQ(board.MapPortGroups(), 0u);
    EXPECT_EQ(board.m_PortGroups.m_Count, 3u);
    EXPECT_EQ(board.m_Ports.m_Count, 0u);
    EXPECT_EQ(board.m_QslacFiles.m_Count, 0u);
    std::vector<int> slots = LogicalTimeslots(board);
    EXPECT_EQ(slots[15], 15);
    EXPECT_EQ(slots[16], -1);  // the earlier run's assignment is gone
}

TEST_F(StationMapTest, CircuitsCarryTimeslotsDirectionsAndLaw) {
    for (const char* encoding : {"MuLaw", "alaw", "ALAW"}) {
        SCOPED_TRACE(encoding);
        CKvBoard board("b0", "KV 7400C-48");
        ASSERT_EQ(board.SetKeywordValue("Encoding", encoding), 0u);
        ASSERT_EQ(board.MapPortGroups(), 0u);
        const uint32_t law = strcmp(encoding, "MuLaw") == 0 ? 43u : 17u;
        for (cPortGroup* g = board.m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g)) {
            unsigned q = 0;
            for (cQslac* qs = g->m_Qslacs.Head(); qs != nullptr; qs = cList<cQslac>::Next(qs), ++q)
                for (unsigned c = 0; c < 4; ++c) {
                    EXPECT_EQ(qs->m_Timeslots[c], q * 4 + c);
                    EXPECT_EQ(qs->m_SlicIoDirections[c], (q == 0 && c < 3) ? 0u : 3u);
                    EXPECT_EQ(qs->m_Encodings[c], law);
                }
        }
    }
}

TEST_F(StationMapTest, FailedTableLoadEndsTheMapBeforeCircuits) {
    SetPopulation(0xE0);
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(kvemu::SetFault("BoardLoadL2PTable", 22, 1), 0);
    EXPECT_EQ(board.MapPortGroups(), 1u);
    EXPECT_EQ(kvtest::AlertTexts(0x40002001, 2),
              std::vector<std::string>{"BoardLoadL2PTable rc 22 (00000016h)\n"});
    ASSERT_EQ(board.m_PortGroups.m_Count, 3u);
    for (cPortGroup* g = board.m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g))
        EXPECT_EQ(g->m_Qslacs.m_Count, 0u);
    // The logical fields were already given out.
    EXPECT_EQ(board.m_PortGroups.Head()->GetLogicalTimeslot(1), 0);
}

TEST_F(StationMapTest, UnreadablePopulationFailsTheMap) {
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(kvemu::SetFault("BoardReadByte", 5, 1), 0);
    EXPECT_EQ(board.MapPortGroups(), 1u);
    EXPECT_EQ(kvtest::AlertTexts(0x40002001, 2),
              std::vector<std::string>{"CKvBoard::MapPortGroups() - BoardReadByte(000a0008h) returns 5 (00000005h)\n"});
    EXPECT_FALSE(kvemu::L2PLoaded(0, 0));
    EXPECT_EQ(board.m_PortGroups.m_Count, 3u);
}

}  // namespace
