// kvoam's check: configuration files, coefficient files and DSP images
// checked without starting a board, by the plug-in's own readers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kvoam.h"

namespace kvoam {

// Runs "check [--json] [--product PRODUCT] [--emulator] [--type KIND] FILE..." (args: the
// words after "check"). Prints every problem as "FILE:LINE: error|warning:
// message" (a JSON object each with --json) and a summary. Answers the exit
// status: 0 without errors, 1 with errors, 2 on a usage error.
int RunCheck(Shell& shell, const std::vector<std::string>& args);

// The usage line of check, for kvoam's usage text.
extern const char kCheckUsage[];

// Makes a scratch board of product from its defaults alone (as check does),
// applies the configuration file at path to it unless path is empty, and
// calls visit with the board's handle before destroying it; the board's alerts
// are not shown. Answers false and why when the file cannot be read, no board
// can be made, or a setting of the file fails ("FILE:LINE: message" of the
// first); visit is then not called.
bool WithScratchBoard(const EntryPoints& entry, const std::string& product, const std::string& path,
                      const std::function<void(uint64_t handle)>& visit, std::string& why);

// Called by the supervisor's alert function for every alert: true when the
// alert comes from a scratch board of a check in progress and was taken.
bool TakeCheckAlert(uint32_t code, uint32_t severity, const std::string& source, const std::string& text);

}  // namespace kvoam
