/* A supervisor in plain C99: it defines the supervisor calls that the
 * plug-in makes (alerts are printed, database writes counted), loads the
 * plug-in and takes one board through creation, start and stop. It builds
 * against the installed development kit and proves that the declarations
 * of the entry points and supervisor calls are C as well as C++. */
#include "supervisor.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "oam/boardplugin.h"

static unsigned g_DatabaseWrites;
static int g_DatabaseObject;

uint32_t _oamAlertNotify(oam_msg_tag* message) {
    if (message == NULL || message->source_offset >= message->size || message->text_offset >= message->size)
        return 1;
    const char* record = (const char*)message;
    printf("alert 0x%08x [%u] %s: %s", (unsigned)message->alert, (unsigned)message->severity,
           record + message->source_offset, record + message->text_offset);
    return 0;
}

uint32_t _oamDbOpenObject(const char* objectName, void** handle, uint32_t mode) {
    (void)objectName;
    (void)mode;
    if (handle == NULL) return 1;
    *handle = &g_DatabaseObject;
    return 0;
}

uint32_t _oamDbSetKeyword(void* handle, const char* keyword, const char* value) {
    (void)keyword;
    (void)value;
    if (handle != &g_DatabaseObject) return 1;
    ++g_DatabaseWrites;
    return 0;
}

uint32_t _oamDbCloseObject(void* handle) { return handle == &g_DatabaseObject ? 0 : 1; }

/* Resolves an entry point into *function (a pointer to a function pointer);
 * POSIX guarantees that dlsym's object pointer holds a function's address. */
static int Resolve(void* library, const char* name, void* function) {
    void* symbol = dlsym(library, name);
    if (symbol == NULL) {
        fprintf(stderr, "consumer: the plug-in lacks %s\n", name);
        return 0;
    }
    memcpy(function, &symbol, sizeof symbol);
    return 1;
}

static int Check(const char* call, uint32_t result) {
    printf("%s -> 0x%08x\n", call, (unsigned)result);
    return result == 0;
}

int RunBoard(const char* plugin, unsigned bus, unsigned slot) {
    void* library = dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "consumer: cannot load %s: %s\n", plugin, dlerror());
        return 1;
    }
    PFN_Init init;
    PFN_Exit exitPlugin;
    PFN_CreateBoard create;
    PFN_GetQualifier qualifier;
    PFN_GetKeyword get;
    PFN_SetKeyword set;
    PFN_StartBoard start;
    PFN_StopBoard stop;
    if (!Resolve(library, "Init", &init) || !Resolve(library, "Exit", &exitPlugin) ||
        !Resolve(library, "CreateBoard", &create) || !Resolve(library, "GetQualifier", &qualifier) ||
        !Resolve(library, "GetKeyword", &get) || !Resolve(library, "SetKeyword", &set) ||
        !Resolve(library, "StartBoard", &start) || !Resolve(library, "StopBoard", &stop))
        return 1;

    char text[64];
    char busText[16];
    char slotText[16];
    snprintf(busText, sizeof busText, "%u", bus);
    snprintf(slotText, sizeof slotText, "%u", slot);
    if (!Check("Init", init("")) || !Check("CreateBoard b0", create("b0", "KV 7400C-48")) ||
        !Check("GetQualifier b0 Handle", qualifier(0, "b0", "Handle", text, sizeof text)))
        return 1;
    uint64_t board = strtoull(text, NULL, 0);
    if (!Check("SetKeyword Location.PCI.Bus", set(board, "Location.PCI.Bus", busText)) ||
        !Check("SetKeyword Location.PCI.Slot", set(board, "Location.PCI.Slot", slotText)) ||
        !Check("StartBoard b0", start("b0")) ||
        !Check("GetKeyword State", get(board, "State", text, sizeof text)))
        return 1;
    printf("State = %s, %u database writes\n", text, g_DatabaseWrites);
    if (strcmp(text, "BOOTED") != 0 || g_DatabaseWrites == 0) return 1;
    if (!Check("StopBoard b0", stop("b0")) || !Check("Exit", exitPlugin())) return 1;
    return 0;
}
