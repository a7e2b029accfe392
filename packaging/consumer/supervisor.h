/* The C part of the consumer. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Loads the plug-in, creates board b0 at the emulated board's PCI location,
 * starts and stops it. 0 when every call succeeded and the board booted. */
int RunBoard(const char* plugin, unsigned bus, unsigned slot);

#ifdef __cplusplus
}
#endif
