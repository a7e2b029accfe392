// Device files: the operating system's open/ioctl/close, unless a provider
// claims the path. Descriptors a provider opened are remembered with that
// provider, so that their ioctl and close go back to the one that opened them
// (even after it was replaced) and never reach the operating system.
#include "kvd/kvdevice.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

namespace {

struct DeviceLayer {
    std::mutex lock;
    bool hasProvider = false;
    KvDevProvider provider{};
    std::map<int, KvDevProvider> providerFds;  // descriptor -> provider that opened it
};

DeviceLayer& layer() {
    static DeviceLayer* l = new DeviceLayer;  // usable during process exit
    return *l;
}

// The provider that owns fd, copied out under the lock; false when none does.
bool ProviderFor(int fd, KvDevProvider* out) {
    DeviceLayer& l = layer();
    std::lock_guard<std::mutex> guard(l.lock);
    auto it = l.providerFds.find(fd);
    if (it == l.providerFds.end()) return false;
    *out = it->second;
    return true;
}

}  // namespace

extern "C" {

int kvDevOpen(const char* path, int flags) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    DeviceLayer& l = layer();
    KvDevProvider provider{};
    bool hasProvider;
    {
        std::lock_guard<std::mutex> guard(l.lock);
        hasProvider = l.hasProvider;
        provider = l.provider;
    }
    if (hasProvider && provider.open != nullptr) {
        int fd = provider.open(path, flags, provider.context);
        if (fd != -2) {
            if (fd >= 0) {
                std::lock_guard<std::mutex> guard(l.lock);
                l.providerFds[fd] = provider;
            }
            return fd;
        }
    }
    return ::open(path, flags);
}

int kvDevIoctl(int fd, unsigned long request, void* argument) {
    KvDevProvider provider{};
    if (ProviderFor(fd, &provider)) {
        if (provider.ioctl == nullptr) {
            errno = ENOTTY;
            return -1;
        }
        return provider.ioctl(fd, request, argument, provider.context);
    }
    return ::ioctl(fd, request, argument);
}

int kvDevClose(int fd) {
    KvDevProvider provider{};
    if (ProviderFor(fd, &provider)) {
        {
            DeviceLayer& l = layer();
            std::lock_guard<std::mutex> guard(l.lock);
            l.providerFds.erase(fd);
        }
        return provider.close != nullptr ? provider.close(fd, provider.context) : 0;
    }
    return ::close(fd);
}

void kvDevSetProvider(const KvDevProvider* provider) {
    DeviceLayer& l = layer();
    std::lock_guard<std::mutex> guard(l.lock);
    l.hasProvider = provider != nullptr;
    l.provider = provider != nullptr ? *provider : KvDevProvider{};
}

}  // extern "C"
