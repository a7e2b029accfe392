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

// The buffer values and qualifiers are read into: kValueBufferSize bytes,
// large enough for list keywords, allocated once and reused by every read of
// the thread that runs the commands (never cleared: a reader puts a '\0' at
// its start before a call and at its end after it). Its text must be copied
// before the next read.
const uint32_t kValueBufferSize = 65536;
char* ValueBuffer();

// Reads the keyword at path ("" for the whole object) and everything below
// it, in tree order; path itself comes first unless it is "". Answers false
// when the object has no keyword at path. A framework that does not know the
// self-describing qualifiers (Kind, Settable, Children, Child[i]) is read
// through "Type" and the arrays' "Count" instead: structures then show no
// members.
bool ReadSchema(const EntryPoints& entry, uint64_t handle, const std::string& path,
                std::vector<SchemaEntry>& entries);

// The schema as text, one keyword a line, array elements folded as
// "Name[0..N-1]"; or as JSON, one object a keyword, every array element
// listed, each with every member ("keyword", "type", "default", "value",
// "choices", "min", "max", "count", "settable"): null where the keyword has
// none, "count" the members of a structure or the elements of an array.
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
