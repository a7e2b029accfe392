// kvoam's schema walk and its nearest-keyword suggestions, against trees of the test's own.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "schema.h"

namespace kvoam {
std::string JsonString(const std::string& text) { return "\"" + text + "\""; }
}  // namespace kvoam

namespace {

// path -> qualifier -> answer, the qualifier "" holding the value: a framework that knows only the older
// qualifiers ("Type", "Choices", "Default", "Minimum", "Maximum") and answers the walk qualifiers as unknown
// (0x40000004).
std::map<std::string, std::map<std::string, std::string>> g_Tree = {
    {"", {{"Type", "Structure"}}},
    {"Rate", {{"Type", "Integer"}, {"", "5"}, {"Default", "100"}, {"Minimum", "0"}, {"Maximum", "9"}}},
    {"Location", {{"Type", "Structure"}}},
    {"Location.Bus", {{"Type", "Integer"}, {"", "1"}}},
    {"Products", {{"Type", "List"}, {"", "A B"}}},
    {"Products.Count", {{"Type", "Integer"}, {"", "2"}}},
    {"Products[0]", {{"Type", "String"}, {"", "A"}, {"Choices", "A,B"}}},
    {"Products[1]", {{"Type", "String"}, {"", "B"}, {"Choices", "A,B"}}},
};

uint32_t Answer(uint64_t, const char* path, const char* qualifier, char* buffer, uint32_t size) {
    auto keyword = g_Tree.find(path);
    if (keyword == g_Tree.end()) return 0x40000109;
    auto answer = keyword->second.find(qualifier);
    if (answer == keyword->second.end()) return *qualifier == '\0' ? 0x40000107 : 0x40000004;
    snprintf(buffer, size, "%s", answer->second.c_str());
    return 0;
}

TEST(KvoamSchemaFallback, WalksThroughTypeAndCountWhenTheWalkQualifiersAreUnknown) {
    kvoam::EntryPoints entry{};
    entry.GetQualifier = Answer;
    entry.GetKeyword = [](uint64_t h, const char* path, char* buffer, uint32_t size) {
        return Answer(h, path, "", buffer, size);
    };
    std::vector<kvoam::SchemaEntry> entries;
    ASSERT_TRUE(kvoam::ReadSchema(entry, 1, "Products", entries));
    ASSERT_EQ(entries.size(), 3u);  // the array and its elements, by "Products.Count"
    EXPECT_EQ(entries[0].type + " " + entries[2].path + " " + entries[2].choices[1], "array Products[1] B");
    EXPECT_TRUE(entries[2].settable);  // assumed for values without "Settable"
    entries.clear();
    ASSERT_TRUE(kvoam::ReadSchema(entry, 1, "Location", entries));
    EXPECT_EQ(entries.size(), 1u);  // a structure's members cannot be named without "Child[i]"
    entries.clear();
    ASSERT_TRUE(kvoam::ReadSchema(entry, 1, "Rate", entries));
    EXPECT_EQ(kvoam::SchemaJson(entries),
              "{\"keyword\":\"Rate\",\"type\":\"integer\",\"default\":100,\"value\":5,\"min\":0,\"max\":9,"
              "\"settable\":true}\n");
    EXPECT_FALSE(kvoam::ReadSchema(entry, 1, "Nothing", entries));
}

// What was typed -> the nearest paths, nearest first and in tree order among equals, at most three: a slip
// is a distance (letters without regard to case; a transposition costs two) of at most a third of the longer
// text, at least 2, but never more than what was typed; a last step typed right under another parent counts.
TEST(KvoamSuggestions, NearestPathsAreThoseWithinASlip) {
    std::vector<kvoam::SchemaEntry> entries;
    for (const char* path : {"State", "Encoding", "Ring", "Ring.Period", "Ring.Rate", "Bets", "Beta", "Bet1",
                             "Bet2", "Xy", "Ab", "LongKeywordName"})
        entries.emplace_back(), entries.back().path = path;
    std::istringstream table(R"(Stat -> State
Stata -> State
Encodign -> Encoding
ENCODIGN -> Encoding
encoding -> Encoding
Betx -> Bets, Beta, Bet1
betz -> Bets, Beta, Bet1
period -> Ring.Period
Rate -> State, Ring.Rate
X -> Xy
Q ->
Ring.Pxxxod -> Ring.Period
Ring.Pxxxxd ->
LongKeywordXxxxx -> LongKeywordName
LongKeywordXxxxxx ->
Encod ->
Sate -> State)");
    for (std::string line; std::getline(table, line);) {
        const size_t arrow = line.find(" ->");
        std::string nearest;
        for (const std::string& path : kvoam::NearestPaths(entries, line.substr(0, arrow), 3))
            nearest += (nearest.empty() ? "" : ", ") + path;
        EXPECT_EQ(nearest, line.substr(std::min(arrow + 4, line.size()))) << line;
    }
}

}  // namespace
