// A consumer of the installed development kit: it adds an emulated board
// through the emulator's control header, then runs the C supervisor on it
// with the installed plug-in and search path.
#include <cstdio>
#include <cstdlib>

#include "kvemu.h"
#include "supervisor.h"

int main() {
    const unsigned bus = 3;
    const unsigned slot = 7;
    if (kvemu::AddBoard(bus, slot) != 0) {
        fprintf(stderr, "consumer: cannot add an emulated board at %u:%u\n", bus, slot);
        return 1;
    }
    setenv("WBLOAD", KV_SEARCH_PATH, 1);
    int status = RunBoard(KV_PLUGIN, bus, slot);
    printf("consumer: %s\n", status == 0 ? "board started and stopped" : "FAILED");
    return status;
}
