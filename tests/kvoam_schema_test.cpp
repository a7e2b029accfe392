// kvoam's schema walk against a framework that knows only the older qualifiers
// ("Type", "Choices", "Default", "Minimum", "Maximum"): it answers the walk
// qualifiers as unknown (0x40000004), and kvoam still lists what it can.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "schema.h"

namespace kvoam {
std::string JsonString(const std::string& text) { return "\"" + text + "\""; }
}  // namespace kvoam

namespace {

// path -> qualifier -> answer; the qualifier "" holds the value.
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

// Answers a qualifier ("" for the value) as that framework would.
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
    EXPECT_EQ(entries[0].type, "array");
    EXPECT_EQ(entries[2].path, "Products[1]");
    EXPECT_EQ(entries[2].choices, (std::vector<std::string>{"A", "B"}));
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

}  // namespace
