// kvoam at a terminal: a line editor with history kept across sessions and
// Tab completion of commands, emu sub-commands, board names, product names,
// keyword paths (from the board's schema), qualifiers and choices.
#pragma once

#include <string>
#include <vector>

#include "kvoam.h"

namespace kvoam {

// Whether kvoam was built with the line editor.
bool LineEditorAvailable();

// Reads and runs commands from the terminal on standard input until end of
// input, "quit" or a shutdown. Ctrl-C drops the line being typed, and ends a
// command that runs (see interrupt.h). With history, the
// lines are kept in ~/.kvoam_history (mode 0600) and read back next time.
// Answers false, having done nothing, when kvoam has no line editor.
bool RunLineEditor(Shell& shell, bool history);

// Completion of the text before the cursor: the candidates for the word (or
// the rest of the line) that begins at start, each a whole replacement of
// text[start...]. A candidate that completes a value ends in ' ', one that
// names a structure or an array ends in '.' or '['.
struct Completion {
    size_t start = 0;
    std::vector<std::string> candidates;
};
Completion Complete(const Shell& shell, const std::string& text);

}  // namespace kvoam
