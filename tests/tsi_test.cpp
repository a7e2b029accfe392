// The portability library (compares, thread ends) and the device layer's provider hook; the pause hook
// is seen wherever a test checks the pauses asked for.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kvd/kvdevice.h"
#include "tsi/tsi.h"

namespace {

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(Compare, LettersCompareWithoutRegardToCase) {
    // n for tsiStrnicmp; signs of tsiStricmp and of tsiStrnicmp over n.
    struct Case { const char* a; const char* b; size_t n; int whole, prefix; } cases[] = {
        {"KV7400", "kv7400", 6, 0, 0}, {"kv7400-xyz", "KV7400", 6, 1, 0}, {"abc", "ABD", 2, -1, 0},
        {"a", "", 1, 1, 1}, {"[", "{", 1, -1, -1} /* not letters: not folded */, {"Zeta", "alpha", 4, 1, 1},
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
    EXPECT_EQ(tsiWaitForDestroyThread(id, 0), 1u);  // forgotten once waited for
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

}  // namespace
