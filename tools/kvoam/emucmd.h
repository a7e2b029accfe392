// kvoam's "emu" commands: control of the emulated boards.
#pragma once

#include <string>
#include <vector>

// words: the command's words after "emu" ("reg", "0", "0", "0xa0008").
// Numbers may be decimal or 0x-hex. Appends what the command prints to out,
// one line per line, each ending in "\n" (JSON objects when json is true).
// Answers 0 on success; otherwise non-zero with a one-line message in error.
int RunEmuCommand(const std::vector<std::string>& words, bool json, std::string& out, std::string& error);

// The usage lines of the emu commands, for kvoam's help.
const char* EmuCommandHelp();

// How "emu journal wait" pauses between looks at the journal: pause waits at
// most ms and answers false when the command is to end (an interrupt). Unset,
// it sleeps.
void SetEmuPause(bool (*pause)(unsigned ms));
