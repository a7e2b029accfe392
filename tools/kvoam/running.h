// kvoam's running configuration: a board's settings written as a board
// configuration file ("save"), and compared with one ("diff").
#pragma once

#include <string>
#include <vector>

#include "kvoam.h"
#include "schema.h"

namespace kvoam {

// Whether a configuration file may set the keyword: a value (string or
// integer) that the supervisor may set, other than those the board and the
// supervisor keep themselves ("State", "Number", "Driver.BoardId").
bool FileSettable(const SchemaEntry& entry);

// The keywords a saved file leaves out, for its "#: left out:" line: the
// board's own, then the read-only ones (a name standing for everything
// below it when all of that is read-only).
std::vector<std::string> LeftOut(const std::vector<SchemaEntry>& entries);

// "save BOARD [FILE]": the settings of the board that differ from its
// product's defaults, as a configuration file written to FILE, or shown when
// FILE is empty. Answers false and why (a setting that no file can hold,
// among others) on failure.
bool SaveConfiguration(const Shell& shell, const std::string& board, const std::string& file,
                       std::string& why);

// "diff BOARD FILE": every setting where the board and the file (applied to
// the product's defaults) differ. Answers false and why when they differ or
// the comparison could not be made.
bool DiffConfiguration(const Shell& shell, const std::string& board, const std::string& file,
                       std::string& why);

}  // namespace kvoam
