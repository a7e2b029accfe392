// The fifteen entry points of a board plug-in, as a supervisor resolves them
// by name with dlsym. Results are 32-bit codes, 0 for success.
// Plain C (C99 and later) as well as C++, for supervisors in either.
#pragma once

#include <stdint.h>

#include "oam/oamsupervisor.h"

#ifdef __cplusplus
extern "C" {
#endif
uint32_t Init(const char* text);
uint32_t Exit(void);
uint32_t DetectBoards(void);
uint32_t CreateBoard(const char* boardName, const char* productName);
uint32_t DestroyBoard(const char* boardName);
uint32_t GetKeyword(uint64_t handle, const char* keyword, char* value, uint32_t size);
uint32_t SetKeyword(uint64_t handle, const char* keyword, const char* value);
uint32_t GetQualifier(uint64_t handle, const char* keyword, const char* qualifier, char* value,
                      uint32_t size);
uint32_t OpenObject(uint64_t handle, uint32_t value);
uint32_t CloseObject(uint64_t handle);
uint32_t StartBoard(const char* boardName);
uint32_t StopBoard(const char* boardName);
uint32_t TestBoard(const char* boardName, uint32_t value);
uint32_t SendBuffer(const char* boardName, const void* buffer, uint32_t length);
uint32_t AlertReceive(oam_msg_tag* message);
#ifdef __cplusplus
}
#endif

// Pointer types of the entry points, for hosts that load a plug-in.
typedef uint32_t (*PFN_Init)(const char*);
typedef uint32_t (*PFN_Exit)(void);
typedef uint32_t (*PFN_DetectBoards)(void);
typedef uint32_t (*PFN_CreateBoard)(const char*, const char*);
typedef uint32_t (*PFN_DestroyBoard)(const char*);
typedef uint32_t (*PFN_GetKeyword)(uint64_t, const char*, char*, uint32_t);
typedef uint32_t (*PFN_SetKeyword)(uint64_t, const char*, const char*);
typedef uint32_t (*PFN_GetQualifier)(uint64_t, const char*, const char*, char*, uint32_t);
typedef uint32_t (*PFN_OpenObject)(uint64_t, uint32_t);
typedef uint32_t (*PFN_CloseObject)(uint64_t);
typedef uint32_t (*PFN_StartBoard)(const char*);
typedef uint32_t (*PFN_StopBoard)(const char*);
typedef uint32_t (*PFN_TestBoard)(const char*, uint32_t);
typedef uint32_t (*PFN_SendBuffer)(const char*, const void*, uint32_t);
typedef uint32_t (*PFN_AlertReceive)(oam_msg_tag*);
