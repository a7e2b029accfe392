// kvoam's suggestions of the nearest keyword for one that is not there.
#include <gtest/gtest.h>

#include "schema.h"

namespace {

// What was typed -> the nearest paths, nearest first and in tree order among equals, at most three: a slip
// is a distance (letters without regard to case; a transposition costs two) of at most a third of the longer
// text, at least 2, but never more than what was typed; a last step typed right under another parent counts.
TEST(KvoamSuggestions, NearestPathsAreThoseWithinASlip) {
    std::vector<kvoam::SchemaEntry> entries;
    for (const char* path : {"State", "Encoding", "Ring", "Ring.Period", "Ring.Rate", "Bets", "Beta", "Bet1",
                             "Bet2", "Xy", "Ab", "LongKeywordName"})
        entries.emplace_back(), entries.back().path = path;
    const std::string table =
        "Stat -> State; Stata -> State; Sate -> State; Encodign -> Encoding; ENCODIGN -> Encoding; "
        "encoding -> Encoding; Betx -> Bets, Beta, Bet1; betz -> Bets, Beta, Bet1; period -> Ring.Period; "
        "Rate -> State, Ring.Rate; X -> Xy; Q ->; Ring.Pxxxod -> Ring.Period; Ring.Pxxxxd ->; Encod ->; "
        "LongKeywordXxxxx -> LongKeywordName; LongKeywordXxxxxx ->";
    for (size_t at = 0, end; at < table.size(); at = end + 2) {
        const std::string row = table.substr(at, (end = std::min(table.find("; ", at), table.size())) - at);
        std::string nearest;
        for (const std::string& path : kvoam::NearestPaths(entries, row.substr(0, row.find(" ->")), 3))
            nearest += (nearest.empty() ? " " : ", ") + path;
        EXPECT_EQ(row.substr(0, row.find(" ->") + 3) + nearest, row) << row;
    }
}

}  // namespace
