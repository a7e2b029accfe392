// Device files: open read-only, I/O-control requests, close, with the
// operating system's conventions (a descriptor or -1, 0 or -1, errno set on
// failure). By default these are the operating system's own calls; a provider
// may claim device paths (an emulated board's switch device, say) and then
// answers for the descriptors it opened.
#pragma once

extern "C" {

int kvDevOpen(const char* path, int flags);
int kvDevIoctl(int fd, unsigned long request, void* argument);
int kvDevClose(int fd);

// A provider: open answers -2 for a path it does not claim; otherwise a
// descriptor or -1 with errno. ioctl and close are called only for
// descriptors its open returned.
typedef struct KvDevProvider {
    int (*open)(const char* path, int flags, void* context);
    int (*ioctl)(int fd, unsigned long request, void* argument, void* context);
    int (*close)(int fd, void* context);
    void* context;
} KvDevProvider;

// Registers (non-null) or removes (null) the one provider.
void kvDevSetProvider(const KvDevProvider* provider);
}
