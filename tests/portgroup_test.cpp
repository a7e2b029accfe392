// Port groups, the intrusive list and the board's station map on the emulator.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PortGroup.h"
#include "Qslac.h"
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
    Item a(1), b(2), c(3), key(2);
    EXPECT_EQ(list.AddToTail(nullptr), -1);
    EXPECT_EQ(list.RemoveFromHead(), nullptr);
    EXPECT_EQ(list.Find(&key), nullptr);
    for (Item* i : {&a, &b, &c}) EXPECT_EQ(list.AddToTail(i), 0);
    EXPECT_EQ(list.m_Count, 3u);
    EXPECT_TRUE(list.m_Head == &a && list.m_Tail == &c && a.m_Prev == nullptr && b.m_Prev == &a && c.m_Next == nullptr);
    EXPECT_EQ(list.Find(&key), &b);
    EXPECT_EQ(list.Find(nullptr), nullptr);
    EXPECT_EQ(list.RemoveFromHead(), &a);
    EXPECT_TRUE(a.m_Next == nullptr && list.m_Head == &b && b.m_Prev == nullptr);
    EXPECT_EQ(list.m_Count, 2u);
    // Forgetting leaves the elements alone; the list is empty afterwards.
    EXPECT_EQ(list.RemoveAll(false), 0);
    EXPECT_TRUE(list.m_Count == 0 && list.m_Head == nullptr && list.m_Tail == nullptr);
    list.AddToTail(&c);
    EXPECT_EQ(list.RemoveFromHead(), &c);
    EXPECT_TRUE(list.m_Head == nullptr && list.m_Tail == nullptr);
}

TEST(PortGroupTest, LookupsFindOnlyTheGroupsOwnStations) {
    const struct { const STATION_MAP_ENTRY* table; int station, voice, signal, slot; } cases[] = {
        {g_PortGroup_1_16, 1, 0, 3, 0},     {g_PortGroup_1_16, 16, 0, 3, 15},   {g_PortGroup_17_32, 17, 1, 4, 2},
        {g_PortGroup_17_32, 32, 1, 4, 17},  {g_PortGroup_33_48, 33, 2, 5, 4},   {g_PortGroup_33_48, 48, 2, 5, 19},
        {g_PortGroup_17_32, 1, -1, -1, -1}, {g_PortGroup_17_32, 33, -1, -1, -1}, {g_PortGroup_1_16, 0, -1, -1, -1},
        {g_PortGroup_1_16, -15, -1, -1, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.station);
        cPortGroup group(c.table, 16, 1);
        EXPECT_EQ((std::vector<int>{group.GetPhysicalStreamVoiceOut(c.station), group.GetPhysicalStreamVoiceIn(c.station),
                                    group.GetPhysicalStreamSignalOut(c.station), group.GetPhysicalStreamSignalIn(c.station),
                                    group.GetPhysicalTimeslot(c.station), group.GetLogicalTimeslot(c.station)}),
                  (std::vector<int>{c.voice, c.voice, c.signal, c.signal, c.slot, -1}));
        const uint32_t set = c.slot < 0 ? 0xFFFFFFFFu : 0u;
        EXPECT_EQ(group.SetLogicalStreamVoiceOut(c.station, 0), set);
        EXPECT_EQ(group.SetLogicalStreamVoiceIn(c.station, 1), set);
        EXPECT_EQ(group.SetLogicalStreamSignalOut(c.station, 2), set);
        EXPECT_EQ(group.SetLogicalStreamSignalIn(c.station, 3), set);
        EXPECT_EQ(group.SetLogicalTimeslot(c.station, 9), set);
        const bool ok = c.slot >= 0;  // a failed look-up changes nothing
        EXPECT_EQ((std::vector<int>{group.GetLogicalStreamVoiceOut(c.station), group.GetLogicalStreamVoiceIn(c.station),
                                    group.GetLogicalStreamSignalOut(c.station), group.GetLogicalStreamSignalIn(c.station),
                                    group.GetLogicalTimeslot(c.station)}),
                  (ok ? std::vector<int>{0, 1, 2, 3, 9} : std::vector<int>(5, -1)));
        for (const STATION_MAP_ENTRY& e : group.m_Stations) EXPECT_TRUE(c.slot >= 0 || e.LogicalTimeslot == -1);
        EXPECT_EQ(group.GetStationNumber(16), -1);
    }
    cPortGroup first(g_PortGroup_1_16, 16, 1), middle(g_PortGroup_17_32, 16, 2), last(g_PortGroup_33_48, 16, 4);
    EXPECT_EQ((std::vector<int>{middle.Compare(&first), middle.Compare(&last), middle.Compare(&middle)}),
              (std::vector<int>{1, -1, 0}));
}

TEST(PortGroupTest, ShortGroupsAndEmptyCountsDoNotReadPastTheTable) {
    cPortGroup four(g_PortGroup_1_16, 4, 1), none(g_PortGroup_1_16, 0, 1), tooMany(g_PortGroup_1_16, 40, 1);
    EXPECT_EQ(four.GetStationNumber(3), 4);
    EXPECT_EQ(four.GetStationNumber(4), -1);
    EXPECT_EQ(four.GetPhysicalTimeslot(4), 3);
    EXPECT_EQ(four.GetPhysicalTimeslot(5), -1);  // index 0 holds station 1
    EXPECT_EQ(none.GetPhysicalTimeslot(1), -1);
    EXPECT_EQ(none.SetLogicalTimeslot(1, 0), 0xFFFFFFFFu);
    EXPECT_EQ(tooMany.GetPhysicalTimeslot(1), -1);
    EXPECT_EQ(tooMany.GetStationNumber(20), -1);
    // Print: the header, then one line per station.
    cPortGroup group(g_PortGroup_17_32, 2, 2);
    group.SetLogicalTimeslot(18, 5);
    testing::internal::CaptureStdout();
    group.Print();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "                   physical                         logical\n"
              "            QSLAC QSLAC EPLD EPLD  slot   voice voice signal signal  slot\n"
              "  station    out   in    out  in          out    in    out     in\n"
              "  -----------------------------------------------------------------\n"
              "    17        01   01    04   04    02     -1    -1     -1     -1    -1\n"
              "    18        01   01    04   04    03     -1    -1     -1     -1    05\n"
              "\n");
}

class StationMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvemu::Reset();
        kvtest::ClearAlerts();
    }
    static void SetPopulation(uint8_t value) { ASSERT_EQ(kvemu::WriteRegister(0, 0, KV_REG_POPULATION, value), 0); }
    static uint16_t Entry(unsigned stream, unsigned slot) {
        uint16_t value = 0;
        EXPECT_EQ(kvemu::GetL2PEntry(0, 0, stream, slot, &value), 0);
        return value;
    }
    // Logical timeslot and streams of every station, in station order.
    static std::vector<std::vector<int>> Logical(CKvBoard& board) {
        std::vector<std::vector<int>> stations;
        for (cPortGroup* g = board.m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g))
            for (unsigned i = 0; i < 16; ++i) {
                const int s = g->GetStationNumber(i);
                stations.push_back({g->GetLogicalTimeslot(s), g->GetLogicalStreamVoiceOut(s), g->GetLogicalStreamVoiceIn(s),
                                    g->GetLogicalStreamSignalOut(s), g->GetLogicalStreamSignalIn(s)});
            }
        return stations;
    }
};

TEST_F(StationMapTest, PopulationSelectsGroupsAndTable) {
    const struct { uint8_t population; const char* rawMap; bool populated[3]; } cases[] = {
        {0xE0, "Disable", {true, true, true}},    {0xA0, "Disable", {true, false, true}},
        {0x40, "Disable", {false, true, false}},  {0x1F, "Disable", {false, false, false}},
        {0x00, "enable", {true, true, true}}};
    const STATION_MAP_ENTRY* tables[3] = {g_PortGroup_1_16, g_PortGroup_17_32, g_PortGroup_33_48};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "population 0x" << std::hex << int(c.population) << " " << c.rawMap);
        kvemu::Reset();
        SetPopulation(c.population);
        CKvBoard board("b0", "KV 7400C-48");
        ASSERT_EQ(board.SetKeywordValue("RawMap", c.rawMap), 0u);
        ASSERT_EQ(board.MapPortGroups(), 0u);
        ASSERT_EQ(board.m_PortGroups.m_Count, 3u);
        // Populated stations take consecutive logical timeslots in station order. The table keeps its
        // default (streams 4, 5 on physical stream 8, 6, 7 on 10) but for the populated stations.
        std::vector<std::vector<int>> expected;
        std::vector<uint16_t> table(512, 0xFFFF);
        for (unsigned stream = 4; stream < 8; ++stream)
            for (unsigned t = 0; t < 48; ++t) table[stream * 64 + t] = uint16_t((stream < 6 ? 0x0800 : 0x0A00) + t);
        int next = 0;
        for (unsigned g = 0; g < 3; ++g)
            for (unsigned i = 0; i < 16; ++i) {
                expected.push_back(c.populated[g] ? std::vector<int>{next, 0, 1, 2, 3} : std::vector<int>(5, -1));
                if (!c.populated[g]) continue;
                const STATION_MAP_ENTRY& e = tables[g][i];
                const int streams[4] = {e.PhysicalStreamVoiceOut, e.PhysicalStreamVoiceIn, e.PhysicalStreamSignalOut,
                                        e.PhysicalStreamSignalIn};
                for (unsigned s = 0; s < 4; ++s) table[s * 64 + next] = uint16_t(streams[s] * 256 + e.PhysicalTimeslot);
                ++next;
            }
        EXPECT_EQ(Logical(board), expected);
        // Every group gets its four line circuits, fitted or not.
        for (cPortGroup* g = board.m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g))
            EXPECT_EQ(g->m_Qslacs.m_Count, 4u);
        ASSERT_TRUE(kvemu::L2PLoaded(0, 0));
        for (unsigned i = 0; i < 512; ++i) ASSERT_EQ(Entry(i / 64, i % 64), table[i]) << "entry " << i;
    }
}

TEST_F(StationMapTest, RemappingRebuildsGroupsFromScratch) {
    SetPopulation(0xE0);
    CKvBoard board("b0", "KV 7400C-48");
    ASSERT_EQ(board.MapPortGroups(), 0u);
    EXPECT_EQ(Entry(0, 16), 0x0102);  // station 17: physical stream 1, timeslot 2
    EXPECT_EQ(Entry(3, 47), 0x0513);  // station 48 signalling in: stream 5, timeslot 19
    board.MapQslacFilesToPorts();
    EXPECT_EQ(board.m_Ports.m_Count, 48u);
    SetPopulation(0xA0);
    ASSERT_EQ(board.MapPortGroups(), 0u);
    EXPECT_EQ(Entry(0, 16), 0x0204);  // station 33 now takes logical timeslot 16
    EXPECT_EQ(Entry(1, 32), 0xFFFF);
    EXPECT_EQ(board.m_PortGroups.m_Count, 3u);
    EXPECT_EQ(board.m_Ports.m_Count + board.m_QslacFiles.m_Count, 0u);
    EXPECT_EQ(Logical(board)[16][0], -1);  // the earlier run's assignment is gone
}

TEST_F(StationMapTest, EncodingIsReadWithoutRegardToCase) {
    for (const auto& c : std::vector<std::pair<const char*, uint32_t>>{{"MuLaw", 43}, {"alaw", 17}, {"ALAW", 17}}) {
        CKvBoard board("b0", "KV 7400C-48");
        ASSERT_EQ(board.SetKeywordValue("Encoding", c.first), 0u);
        ASSERT_EQ(board.MapPortGroups(), 0u);
        for (cPortGroup* g = board.m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g))
            for (cQslac* q = g->m_Qslacs.Head(); q != nullptr; q = cList<cQslac>::Next(q))
                EXPECT_EQ(q->m_Encodings[3], c.second) << c.first;
    }
}

TEST_F(StationMapTest, FailuresEndTheMap) {
    const struct { const char* function; unsigned status; const char* error; bool loaded; } cases[] = {
        {"BoardLoadL2PTable", 22, "BoardLoadL2PTable rc 22 (00000016h)\n", true},
        {"BoardReadByte", 5, "CKvBoard::MapPortGroups() - BoardReadByte(000a0008h) returns 5 (00000005h)\n", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        SetUp();
        SetPopulation(0xE0);
        CKvBoard board("b0", "KV 7400C-48");
        ASSERT_EQ(kvemu::SetFault(c.function, c.status, 1), 0);
        EXPECT_EQ(board.MapPortGroups(), 1u);
        EXPECT_EQ(kvtest::AlertTexts(0x40002001, 2), std::vector<std::string>{c.error});
        EXPECT_FALSE(kvemu::L2PLoaded(0, 0));
        ASSERT_EQ(board.m_PortGroups.m_Count, 3u);
        for (cPortGroup* g = board.m_PortGroups.Head(); g != nullptr; g = cList<cPortGroup>::Next(g))
            EXPECT_EQ(g->m_Qslacs.m_Count, 0u);
        // A failed load comes after the logical fields were given out.
        EXPECT_EQ(board.m_PortGroups.Head()->GetLogicalTimeslot(1), c.loaded ? 0 : -1);
    }
}

}  // namespace
