// kvoam's interrupts: one thread takes SIGINT and SIGTERM with sigwait and
// tells the others through counters, condition variables and a pipe.
#include "interrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <utility>
#include <vector>

namespace kvoam {
namespace {

std::atomic<InterruptMode> g_Mode{InterruptMode::Immediate};
std::atomic<uint64_t> g_Count{0};
std::atomic<uint64_t> g_CommandStart{0};
std::atomic<int> g_Shutdown{0};

// The read end becomes readable at each interrupt; readers that wait for
// input poll it beside their own descriptor.
int g_WakePipe[2] = {-1, -1};

std::mutex g_PauseMutex;
std::condition_variable g_PauseCondition;

std::mutex g_WaitersMutex;
std::vector<std::pair<std::mutex*, std::condition_variable*>> g_Waiters;

// Ends the process as the signal would have without kvoam's handling.
[[noreturn]] void EndBySignal(int signal) {
    ::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _exit(128 + signal);
}

void Wake() {
    const char byte = 0;
    ssize_t written = write(g_WakePipe[1], &byte, 1);  // a full pipe is awake already
    (void)written;
    {
        std::lock_guard<std::mutex> lock(g_PauseMutex);
        g_PauseCondition.notify_all();
    }
    std::lock_guard<std::mutex> lock(g_WaitersMutex);
    for (auto& waiter : g_Waiters) {
        std::lock_guard<std::mutex> held(*waiter.first);
        waiter.second->notify_all();
    }
}

void TakeSignals(sigset_t set) {
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        const InterruptMode mode = g_Mode.load();
        // Immediate mode, or a second signal while a shutdown runs: at once.
        if (mode == InterruptMode::Immediate || g_Shutdown.load() != 0) EndBySignal(signal);
        if (mode == InterruptMode::Script || signal == SIGTERM) g_Shutdown.store(signal);
        g_Count.fetch_add(1);
        Wake();
    }
}

}  // namespace

void StartSignalThread() {
    if (pipe2(g_WakePipe, O_CLOEXEC | O_NONBLOCK) != 0) g_WakePipe[0] = g_WakePipe[1] = -1;
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM}) {
        // A signal ignored when kvoam started (a job in the background) stays ignored.
        struct sigaction old;
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaddset(&set, signal);
    }
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(TakeSignals, set).detach();
}

void SetInterruptMode(InterruptMode mode) { g_Mode.store(mode); }

uint64_t InterruptCount() { return g_Count.load(); }

void BeginCommand(uint64_t count) { g_CommandStart.store(count); }

bool CommandInterrupted() { return g_Count.load() != g_CommandStart.load() || g_Shutdown.load() != 0; }

int ShutdownSignal() { return g_Shutdown.load(); }

bool PauseUnlessInterrupted(unsigned ms) {
    std::unique_lock<std::mutex> lock(g_PauseMutex);
    return !g_PauseCondition.wait_for(lock, std::chrono::milliseconds(ms),
                                      [] { return CommandInterrupted(); });
}

void NotifyOnInterrupt(std::mutex& mutex, std::condition_variable& condition) {
    std::lock_guard<std::mutex> lock(g_WaitersMutex);
    for (const auto& waiter : g_Waiters)
        if (waiter.second == &condition) return;
    g_Waiters.emplace_back(&mutex, &condition);
}

int WaitForInput(int fd, uint64_t since) {
    for (;;) {
        if (g_Count.load() != since || g_Shutdown.load() != 0) return 0;
        pollfd fds[2] = {{fd, POLLIN, 0}, {g_WakePipe[0], POLLIN, 0}};
        const int ready = poll(fds, g_WakePipe[0] >= 0 ? 2 : 1, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[1].revents != 0) {
            char bytes[64];
            while (read(g_WakePipe[0], bytes, sizeof bytes) > 0) {}
        }
        if (g_Count.load() != since || g_Shutdown.load() != 0) return 0;
        if (fds[0].revents != 0) return 1;
    }
}

}  // namespace kvoam
