// kvoam's view of a board's keyword tree, read through the plug-in's own
// GetQualifier and GetKeyword: what "schema" prints, what explains a failed
// call, and what the line editor completes. None of these queries is shown as
// a call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kvoam.h"

namespace kvoam {

struct SchemaEntry {
    std::string path;  // full dotted path, each array element listed ("Ring.Cadences[0].Ton1")
    std::string type;  // "string", "integer", "structure" or "array"
    bool hasDefault = false;
    std::string defaultValue;
    bool hasValue = false;
    std::string value;
    std::vector<std::string> choices;  // strings with choices only
    bool hasLimits = false;            // integers
    long min = 0, max = 0;
    bool settable = false;
    unsigned long count = 0;  // structures and arrays: members or elements (0 when unknown)
};

// Reads the keyword at path ("" for the whole object) and everything below
// it, in tree order; path itself comes first unless it is "". Answers false
// when the object has no keyword at path. A framework that does not know the
// self-describing qualifiers (Kind, Settable, Children, Child[i]) is read
// through "Type" and the arrays' "Count" instead: structures then show no
// members.
bool ReadSchema(const EntryPoints& entry, uint64_t handle, const std::string& path,
                std::vector<SchemaEntry>& entries);

// The schema as text, one keyword a line, array elements folded as
// "Name[0..N-1]"; or as JSON, one object a keyword.
std::string SchemaText(const std::vector<SchemaEntry>& entries);
std::string SchemaJson(const std::vector<SchemaEntry>& entries);

// Why a call on the keyword at path failed, in one line, from the schema:
// unknown keyword (with up to three nearest paths), a value not among the
// choices, outside the limits, not a number, read-only, else refused by the
// board. value is the value a set tried (null for a read); qualifier the
// qualifier a GetQualifier asked for (null otherwise).
std::string ExplainFailure(const EntryPoints& entry, uint64_t handle, const std::string& board,
                           const std::string& path, const std::string* value, const std::string* qualifier,
                           uint32_t result);

// Up to count existing paths of the schema nearest to path, nearest first.
std::vector<std::string> NearestPaths(const std::vector<SchemaEntry>& entries, const std::string& path,
                                      size_t count);

}  // namespace kvoam
