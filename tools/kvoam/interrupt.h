// kvoam's interrupts: SIGINT and SIGTERM are taken by one thread of their own
// (every other thread blocks them, the plug-in's included), so that a signal
// never cuts into a plug-in call; commands and readers look at what came.
//
// At a terminal (commands read from "-"), Ctrl-C drops the line being typed
// or ends the command that runs, and kvoam goes on. In a script, with -c, or
// without a terminal, and for SIGTERM everywhere, the first signal asks kvoam
// to stop its running boards, call Exit and end; a second one ends it at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kvoam {

enum class InterruptMode {
    Immediate,    // a signal ends kvoam at once (options, check)
    Interactive,  // Ctrl-C ends a command; SIGTERM shuts down
    Script,       // the first signal shuts down, the second ends kvoam at once
};

// Blocks SIGINT and SIGTERM (those not ignored when kvoam started) and starts
// the thread that takes them, in Immediate mode. Called first thing, before
// any other thread exists, so that every later thread inherits the mask.
void StartSignalThread();
void SetInterruptMode(InterruptMode mode);

// How many interrupts came so far.
uint64_t InterruptCount();
// The command that runs began when InterruptCount was count: an interrupt
// after that ends it.
void BeginCommand(uint64_t count);
// Whether the running command is to end (an interrupt since it began, or a
// shutdown asked for).
bool CommandInterrupted();
// The signal that asked for a shutdown, or 0.
int ShutdownSignal();

// Waits ms, or less when the command is interrupted; answers whether the
// whole time passed.
bool PauseUnlessInterrupted(unsigned ms);

// Has condition notified (under mutex) whenever an interrupt comes, so that a
// wait on it can end: its predicate looks at CommandInterrupted.
void NotifyOnInterrupt(std::mutex& mutex, std::condition_variable& condition);

// Waits until fd has input or an interrupt came after since. Answers 1 for
// input, 0 for an interrupt, -1 for an error of fd.
int WaitForInput(int fd, uint64_t since);

}  // namespace kvoam
