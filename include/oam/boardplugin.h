// The fifteen entry points of a board plug-in, as a supervisor resolves them
// by name with dlsym. Results are 32-bit codes, 0 for success.
// Plain C (C99 and later) as well as C++, for supervisors in either.
//
// Threads. Every entry point may be called from any thread at any time,
// concurrently with every other, and from inside _oamAlertNotify (on the
// supervisor's own calling thread or on a board's monitor thread):
// - Init creates the one plug-in object. Init while the plug-in is
//   initialised, while another Init runs or while Exit runs answers
//   0x40000101.
// - Exit waits until every call in progress has returned, destroys every
//   board and joins every monitor thread before it returns, so that the
//   library may be unloaded right after. Calls made once Exit has begun
//   answer 0x40000002 (AlertReceive too). Exit on a thread that is inside
//   _oamAlertNotify or inside another entry point answers 0x40000102.
// - Board names are shorter than 128 bytes; CreateBoard refuses longer ones
//   (0x40000105).
// Calls back from _oamAlertNotify:
// - On a board's own monitor thread, StopBoard of that board stops it
//   without waiting for the thread (the stop keeps its hardware pause); the
//   thread ends itself once the callback has returned. StartBoard of that
//   board then fails (0x4000010C) until the thread has ended, before it
//   touches the board: at once on that thread; on any other thread after
//   waiting up to 5 s for the thread to end.
// - On any board's monitor thread, DestroyBoard of any board that has a
//   monitor thread returns 0 at once: the board leaves every look-up (its
//   keywords answer as for an unknown board) and its name stays taken
//   (CreateBoard of it answers 0x40000105) until its monitor thread has
//   ended and destroyed it. So two boards' callbacks may destroy each other's
//   boards without waiting for each other. StopBoard of another board waits
//   up to 5 s for that board's monitor thread and warns when it has not
//   ended.
// - From a callback raised on the same thread by an operation of the same
//   board (an alert sent during StartBoard, say), StartBoard, StopBoard and
//   DestroyBoard of that board answer 0x4000010C, 0x4000010D and 0x40000106
//   at once.
// - A call on a monitor thread that needs its board's mutex while the
//   mutex's holder waits for that monitor thread to end is refused at once
//   with its failure code (SetKeyword 0x40000108, StopBoard 0x4000010D,
//   StartBoard 0x4000010C, TestBoard 0x4000010F).
#pragma once

#include <stdint.h>

#include "oam/oamsupervisor.h"

// Results of the entry points: 0 is success; each entry point has one failure
// code of its own, and every one but Init answers KV_E_NOT_INITIALISED before
// Init or after Exit. GetQualifier answers KV_E_UNKNOWN_QUALIFIER for a
// qualifier the keyword does not have.
enum {
    KV_E_NOT_INITIALISED = 0x40000002,
    KV_E_UNKNOWN_QUALIFIER = 0x40000004,
    KV_E_INIT = 0x40000101,
    KV_E_EXIT = 0x40000102,
    KV_E_DETECT = 0x40000104,
    KV_E_CREATE = 0x40000105,
    KV_E_DESTROY = 0x40000106,
    KV_E_GET_KEYWORD = 0x40000107,
    KV_E_SET_KEYWORD = 0x40000108,
    KV_E_GET_QUALIFIER = 0x40000109,
    KV_E_OPEN_OBJECT = 0x4000010A,
    KV_E_CLOSE_OBJECT = 0x4000010B,
    KV_E_START = 0x4000010C,
    KV_E_STOP = 0x4000010D,
    KV_E_TEST = 0x4000010F,
    KV_E_SEND_BUFFER = 0x40000110
};

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
