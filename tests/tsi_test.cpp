// The portability library (compares, thread ends, file search in a ':'-separated path) and the device
// layer's provider hook; the pause hook is seen wherever a test checks the pauses asked for.
#include "tsi/tsi.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kvd/kvdevice.h"
#include "temp_dir.h"

namespace {

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(Compare, LettersCompareWithoutRegardToCase) {
    // n for tsiStrnicmp; signs of tsiStricmp and of tsiStrnicmp over n.
    struct Case {
        const char* a;
        const char* b;
        size_t n;
        int whole, prefix;
    } cases[] = {
        {"KV7400", "kv7400", 6, 0, 0},
        {"kv7400-xyz", "KV7400", 6, 1, 0},
        {"abc", "ABD", 2, -1, 0},
        {"a", "", 1, 1, 1},
        {"[", "{", 1, -1, -1} /* not letters: not folded */,
        {"Zeta", "alpha", 4, 1, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sign(tsiStricmp(c.a, c.b)), c.whole) << c.a << " / " << c.b;
        EXPECT_EQ(Sign(tsiStrnicmp(c.a, c.b, c.n)), c.prefix) << c.a << " / " << c.b << " " << c.n;
    }
}

TEST(ThreadEnd, WaitSeesEachEndOnceAndTimesOut) {
    const unsigned long id = 0x7E57000001ul;
    EXPECT_EQ(tsiWaitForDestroyThread(id, 10), 1u);
    tsiThreadEnded(id);
    EXPECT_EQ(tsiWaitForDestroyThread(id, 0), 0u);
    EXPECT_EQ(tsiWaitForDestroyThread(id, 0), 1u);        // forgotten once waited for
    std::thread ender([id] { tsiThreadEnded(id + 2); });  // a waiter without limit wakes
    EXPECT_EQ(tsiWaitForDestroyThread(id + 2, 0xFFFFFFFFu), 0u);
    ender.join();
}

// A provider that claims "/dev/emu*" and logs its calls.
std::vector<std::string>* Log(void* context) { return static_cast<std::vector<std::string>*>(context); }
KvDevProvider Provider(std::vector<std::string>* log) {
    return KvDevProvider{
        [](const char* path, int, void* context) {
            if (std::strncmp(path, "/dev/emu", 8) != 0) return -2;
            return Log(context)->push_back(std::string("open ") + path), 5000;
        },
        [](int fd, unsigned long request, void*, void* context) {
            return Log(context)->push_back("ioctl " + std::to_string(fd) + " " + std::to_string(request)), 0;
        },
        [](int fd, void* context) { return Log(context)->push_back("close " + std::to_string(fd)), 0; }, log};
}

TEST(DeviceLayer, ProviderAnswersForThePathsAndDescriptorsItOwns) {
    std::vector<std::string> first, second;
    KvDevProvider provider = Provider(&first), other = Provider(&second);
    kvDevSetProvider(&provider);
    const int fd = kvDevOpen("/dev/emu00", O_RDONLY);
    const int real = kvDevOpen("/dev/null", O_RDONLY);  // a path it does not claim goes to the system
    ASSERT_GE(real, 0);
    EXPECT_EQ(kvDevClose(real), 0);
    // A descriptor stays with the provider that opened it, even once replaced, until its close.
    kvDevSetProvider(&other);
    EXPECT_EQ(kvDevIoctl(fd, 0x99, nullptr), 0);
    EXPECT_EQ(kvDevClose(fd), 0);
    EXPECT_EQ(first, (std::vector<std::string>{"open /dev/emu00", "ioctl 5000 153", "close 5000"}));
    EXPECT_TRUE(second.empty());
    EXPECT_EQ(kvDevClose(fd), -1);
    kvDevSetProvider(nullptr);
    EXPECT_EQ(kvDevOpen(nullptr, O_RDONLY), -1);
}

// Two directories a and b; a/dir.dft is a directory, b/dir.dft a file.
class FindFile : public ::testing::Test {
protected:
    void SetUp() override {
        a_ = root_ + "/a";
        b_ = root_ + "/b";
        for (const std::string& dir : {a_, b_, a_ + "/dir.dft"}) ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        for (const std::string& file :
             {a_ + "/cfg.dft", b_ + "/cfg.dft", b_ + "/coeff.slc", b_ + "/image.hex", b_ + "/dir.dft"}) {
            FILE* f = fopen(file.c_str(), "w");
            ASSERT_TRUE(f != nullptr && fclose(f) == 0);
        }
    }
    kvtest::TempDir temp_;
    const std::string root_ = temp_.path;
    std::string a_, b_;
};

TEST_F(FindFile, SearchesThePathInOrder) {
    struct Case {
        std::string name;
        const char* extension;
        std::string path;
        std::string fullPath, directory;
    };
    const Case cases[] = {
        // an empty fullPath: not found
        {"cfg", "dft", a_ + ":" + b_, a_ + "/cfg.dft", a_},
        {"cfg", "dft", b_ + ":" + a_, b_ + "/cfg.dft", b_},
        {"coeff", "slc", a_ + ":" + b_, b_ + "/coeff.slc", b_},
        {"image.hex", "dsp", a_ + ":" + b_, b_ + "/image.hex",
         b_},  // a name with an extension is searched as given
        {"image", "dsp", a_ + ":" + b_, "", ""},
        {"dir", "dft", a_ + ":" + b_, b_ + "/dir.dft", b_},           // only regular files match
        {"cfg", "dft", "::" + b_ + "/:", b_ + "/cfg.dft", b_ + "/"},  // empty entries skipped, no doubled '/'
        {"missing", "dft", a_ + ":" + b_, "", ""},
        {"cfg", "dft", root_ + "/nowhere", "", ""},
        {b_ + "/coeff", "slc", a_, b_ + "/coeff.slc", b_},  // a name with a directory part is its own path
        {a_ + "/coeff", "slc", b_, "", ""},
        {"", "dft", a_, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " in " + c.path);
        char found[256] = "untouched", fullPath[256] = "untouched";
        const bool hit = !c.fullPath.empty();
        EXPECT_EQ(tsiFindFile(c.name.c_str(), c.extension, c.path.c_str(), found, fullPath, 256),
                  hit ? 0u : 1u);
        if (hit) {
            EXPECT_EQ(std::string(fullPath) + " " + found, c.fullPath + " " + c.directory);
        }
    }
}

TEST_F(FindFile, NullOrEmptyPathSearchesTheCurrentDirectory) {
    char previous[4096], fullPath[256];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(b_.c_str()), 0);
    std::vector<std::string> results;  // current directory matches read "./name.ext"
    for (const char* path : {static_cast<const char*>(nullptr), ""})
        results.push_back(std::to_string(tsiFindFile("coeff", "slc", path, nullptr, fullPath, 256)) + " " +
                          fullPath);
    results.push_back(std::to_string(tsiFindFile("cfg", "xyz", nullptr, nullptr, fullPath, sizeof fullPath)));
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(results, (std::vector<std::string>{"0 ./coeff.slc", "0 ./coeff.slc", "1"}));
}

TEST_F(FindFile, APathThatDoesNotFitIsNotCut) {
    const std::string expected = b_ + "/coeff.slc";
    std::vector<char> buffer(expected.size() + 8, '#');
    // Exactly the room for the path and its terminator: found; one byte less:
    // refused, and nothing is written past the size given.
    EXPECT_EQ(tsiFindFile("coeff", "slc", b_.c_str(), nullptr, buffer.data(), expected.size() + 1), 0u);
    EXPECT_EQ(std::string(buffer.data()), expected);
    buffer.assign(buffer.size(), '#');
    EXPECT_EQ(tsiFindFile("coeff", "slc", b_.c_str(), nullptr, buffer.data(), expected.size()), 2u);
    EXPECT_EQ(std::string(buffer.begin() + expected.size(), buffer.end()), std::string(8, '#'));
}

}  // namespace
