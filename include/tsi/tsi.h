// Portability library: string compares, pauses, file search, thread end waits.
#pragma once

#include <cstddef>

extern "C" {

// Case-insensitive compares of 7-bit ASCII letters; results as strcmp/strncmp.
int tsiStricmp(const char* a, const char* b);
int tsiStrnicmp(const char* a, const char* b, size_t count);

// Pauses the calling thread for ms milliseconds. While a sleep hook is set,
// the hook is called with the duration instead and nothing sleeps (tests
// record the pauses asked for this way).
void tsiSleepMs(unsigned ms);
typedef void (*tsiSleepHook)(unsigned ms, void* context);
void tsiSetSleepHook(tsiSleepHook hook, void* context);  // null hook: real pauses again

// Finds a file by name and extension in a search path.
// - The search path is a list of directories separated by ':'; empty entries
//   are skipped. A null or empty path searches the current directory only.
// - A name that already carries an extension (a '.' after its last '/') is
//   searched as given; otherwise "name.extension" is searched.
// - A name holding a '/' is looked up as a path of its own, not in the search path.
// - The first match in path order wins; only regular files match.
// - A null or empty extension leaves the name as given.
// Answers 0 and writes the full path into fullPath (size bytes, terminated)
// when found; 1 when not found (also for a null or empty name or a null
// fullPath); 2 when the first match's path does not fit. found, when not
// null, receives the directory in which the file was found (size bytes as
// well; "." for the current directory, whose matches read "./name.ext").
unsigned tsiFindFile(const char* name, const char* extension, const char* searchPath, char* found,
                     char* fullPath, unsigned size);

// Thread ends: a thread runtime calls tsiThreadEnded(id) as the last act of a
// thread whose end somebody may wait for; tsiWaitForDestroyThread waits until
// that thread has ended, at most timeoutMs (0xFFFFFFFF: no limit). Answers 0
// when it ended (and forgets the id), 1 on time-out.
void tsiThreadEnded(unsigned long threadId);
unsigned tsiWaitForDestroyThread(unsigned long threadId, unsigned timeoutMs);
}
