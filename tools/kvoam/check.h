// kvoam's check: configuration files, coefficient files and DSP images
// checked without starting a board, by the plug-in's own readers.
#pragma once

#include <cstdint>
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

// Called by the supervisor's alert function for every alert: true when the
// alert comes from a scratch board of a check in progress and was taken.
bool TakeCheckAlert(uint32_t code, uint32_t severity, const std::string& source, const std::string& text);

}  // namespace kvoam
