// A directory of a test's own under /tmp, removed with everything in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace kvtest {

struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/kvtest_XXXXXX";
        path = mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(path + "/" + name, std::ios::binary) << text;
        return path + "/" + name;
    }
};

}  // namespace kvtest
