// What the test process holds now: threads, open descriptors and heap bytes in use, for tests that check that
// something long-running stays bounded.
#pragma once

#include <dirent.h>
#include <malloc.h>

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KVTEST_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KVTEST_SANITIZER_HEAP 1
#endif
#endif

#ifdef KVTEST_SANITIZER_HEAP
// The sanitizers replace malloc, whose statistics then see nothing: their allocator counts what is in use
// instead.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace kvtest {

// Entries of a /proc directory, without "." and "..".
inline unsigned ProcEntries(const char* path) {
    unsigned count = 0;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

inline unsigned Threads() { return ProcEntries("/proc/self/task"); }
// Open descriptors, the one that reads the directory not counted.
inline unsigned Descriptors() { return ProcEntries("/proc/self/fd") - 1; }

// Heap bytes in use: allocated chunks, whether from the arenas or mapped.
inline size_t HeapInUse() {
#ifdef KVTEST_SANITIZER_HEAP
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

}  // namespace kvtest
