// What the supervisor provides to a board plug-in: alerts and its database.
// The host process (the supervisor) defines these functions; the plug-in calls them.
// Plain C (C99 and later) as well as C++.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// An alert record, one contiguous block: this header, then the source name
// and the message text, both terminated. Integers in host byte order.
typedef struct oam_msg_tag {
    uint32_t size;           // total size of the record in bytes
    uint32_t alert;          // alert code
    uint32_t severity;       // 0 information, 1 warning, 2 error
    uint32_t source_offset;  // offset of the source name from the start of the record
    uint32_t text_offset;    // offset of the message text from the start of the record
    uint32_t reserved;
} oam_msg_tag;

// Hands an alert to the supervisor, which reads it during the call only.
// Answers 0 when taken.
uint32_t _oamAlertNotify(oam_msg_tag* message);

// The supervisor's object database. Open answers 0 and an object handle for
// the object named (mode 1: create when missing); SetKeyword stores a value
// under a keyword of the open object; Close releases the handle.
uint32_t _oamDbOpenObject(const char* objectName, void** handle, uint32_t mode);
uint32_t _oamDbSetKeyword(void* handle, const char* keyword, const char* value);
uint32_t _oamDbCloseObject(void* handle);
#ifdef __cplusplus
}
#endif
