// File search in a ':'-separated search path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tsi/tsi.h"

namespace {

class FindFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/findfile_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        a_ = root_ + "/a";
        b_ = root_ + "/b";
        ASSERT_EQ(mkdir(a_.c_str(), 0700), 0);
        ASSERT_EQ(mkdir(b_.c_str(), 0700), 0);
        Touch(a_ + "/cfg.dft");
        Touch(b_ + "/cfg.dft");
        Touch(b_ + "/coeff.slc");
        Touch(b_ + "/image.hex");
        ASSERT_EQ(mkdir((a_ + "/dir.dft").c_str(), 0700), 0);  // a directory never matches
        Touch(b_ + "/dir.dft");
    }
    void TearDown() override {
        std::string command = "rm -rf '" + root_ + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    static void Touch(const std::string& path) {
        FILE* file = fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        fputs("x\n", file);
        fclose(file);
    }

    std::string root_, a_, b_;
};

TEST_F(FindFile, SearchesThePathInOrder) {
    struct Case {
        std::string name;
        const char* extension;
        std::string path;
        unsigned result;
        std::string fullPath;
        std::string directory;
    };
    const Case cases[] = {
        {"cfg", "dft", a_ + ":" + b_, 0, a_ + "/cfg.dft", a_},
        {"cfg", "dft", b_ + ":" + a_, 0, b_ + "/cfg.dft", b_},
        {"coeff", "slc", a_ + ":" + b_, 0, b_ + "/coeff.slc", b_},
        // A name with an extension is searched as given, whatever extension is asked for.
        {"image.hex", "dsp", a_ + ":" + b_, 0, b_ + "/image.hex", b_},
        {"image", "dsp", a_ + ":" + b_, 1, "", ""},
        // Only regular files match.
        {"dir", "dft", a_ + ":" + b_, 0, b_ + "/dir.dft", b_},
        // Empty entries are skipped; a trailing '/' gives no doubled separator.
        {"cfg", "dft", "::" + b_ + "/:", 0, b_ + "/cfg.dft", b_ + "/"},
        {"missing", "dft", a_ + ":" + b_, 1, "", ""},
        {"cfg", "dft", root_ + "/nowhere", 1, "", ""},
        // A name with a directory part is its own path.
        {b_ + "/coeff", "slc", a_, 0, b_ + "/coeff.slc", b_},
        {a_ + "/coeff", "slc", b_, 1, "", ""},
        {"", "dft", a_, 1, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " in " + c.path);
        char found[256] = "untouched";
        char fullPath[256] = "untouched";
        EXPECT_EQ(tsiFindFile(c.name.c_str(), c.extension, c.path.c_str(), found, fullPath, sizeof fullPath), c.result);
        if (c.result == 0) {
            EXPECT_EQ(std::string(fullPath), c.fullPath);
            EXPECT_EQ(std::string(found), c.directory);
        }
    }
}

TEST_F(FindFile, NullOrEmptyPathSearchesTheCurrentDirectory) {
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(b_.c_str()), 0);
    char fullPath[256];
    unsigned withNull = tsiFindFile("coeff", "slc", nullptr, nullptr, fullPath, sizeof fullPath);
    std::string first = fullPath;
    unsigned withEmpty = tsiFindFile("coeff", "slc", "", nullptr, fullPath, sizeof fullPath);
    std::string second = fullPath;
    unsigned missing = tsiFindFile("cfg", "xyz", nullptr, nullptr, fullPath, sizeof fullPath);
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(withNull, 0u);
    EXPECT_EQ(first, "./coeff.slc");
    EXPECT_EQ(withEmpty, 0u);
    EXPECT_EQ(second, "./coeff.slc");
    EXPECT_EQ(missing, 1u);
}

TEST_F(FindFile, APathThatDoesNotFitIsNotCut) {
    std::string expected = b_ + "/coeff.slc";
    std::vector<char> buffer(expected.size() + 8, '#');
    // Exactly the room for the path and its terminator: found.
    EXPECT_EQ(tsiFindFile("coeff", "slc", b_.c_str(), nullptr, buffer.data(), expected.size() + 1), 0u);
    EXPECT_EQ(std::string(buffer.data()), expected);
    // One byte less: refused, and nothing is written past the size given.
    std::fill(buffer.begin(), buffer.end(), '#');
    EXPECT_EQ(tsiFindFile("coeff", "slc", b_.c_str(), nullptr, buffer.data(), expected.size()), 2u);
    for (size_t i = expected.size(); i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '#');
}

}  // namespace
