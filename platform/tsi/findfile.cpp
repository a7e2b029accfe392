// File search in a ':'-separated list of directories (rules in tsi.h).
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "tsi/tsi.h"

namespace {

enum : unsigned { FIND_OK = 0, FIND_NOT_FOUND = 1, FIND_TOO_LONG = 2 };

bool IsRegularFile(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// Copies text into a buffer of size bytes; false when it does not fit whole.
bool CopyBounded(char* buffer, unsigned size, const std::string& text) {
    if (buffer == nullptr || size == 0 || text.size() >= size) return false;
    memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

// Reports a match: the full path, and the directory when asked for.
unsigned Found(const std::string& directory, const std::string& path, char* found, char* fullPath,
               unsigned size) {
    if (!CopyBounded(fullPath, size, path)) return FIND_TOO_LONG;
    if (found != nullptr && !CopyBounded(found, size, directory)) return FIND_TOO_LONG;
    return FIND_OK;
}

std::string Join(const std::string& directory, const std::string& file) {
    if (!directory.empty() && directory.back() == '/') return directory + file;
    return directory + "/" + file;
}

}  // namespace

extern "C" unsigned tsiFindFile(const char* name, const char* extension, const char* searchPath, char* found,
                                char* fullPath, unsigned size) {
    if (name == nullptr || name[0] == '\0' || fullPath == nullptr) return FIND_NOT_FOUND;

    // The file name: as given when it already carries an extension.
    std::string file(name);
    const char* lastSlash = strrchr(name, '/');
    const char* base = lastSlash != nullptr ? lastSlash + 1 : name;
    if (strchr(base, '.') == nullptr && extension != nullptr && extension[0] != '\0') {
        file += '.';
        file += extension;
    }

    // A name with a directory part is a path of its own.
    if (lastSlash != nullptr) {
        if (!IsRegularFile(file)) return FIND_NOT_FOUND;
        std::string directory(name, static_cast<size_t>(lastSlash - name));
        if (directory.empty()) directory = "/";
        return Found(directory, file, found, fullPath, size);
    }

    if (searchPath == nullptr || searchPath[0] == '\0') {
        std::string path = Join(".", file);
        if (!IsRegularFile(path)) return FIND_NOT_FOUND;
        return Found(".", path, found, fullPath, size);
    }

    const char* entry = searchPath;
    for (;;) {
        const char* end = strchr(entry, ':');
        size_t length = end != nullptr ? static_cast<size_t>(end - entry) : strlen(entry);
        if (length > 0) {
            std::string directory(entry, length);
            std::string path = Join(directory, file);
            if (IsRegularFile(path)) return Found(directory, path, found, fullPath, size);
        }
        if (end == nullptr) break;
        entry = end + 1;
    }
    return FIND_NOT_FOUND;
}
