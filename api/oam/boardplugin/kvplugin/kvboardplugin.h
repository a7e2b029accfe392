// The plug-in object, the product models and the H.100 clocking structure.
#pragma once

#include <cstdint>

#include "kvboard.h"
#include "oam/oamsupervisor.h"
#include "zel/zelframework.h"

class CKvBoardPlugIn : public CBoardPlugIn {
public:
    CKvBoardPlugIn();
    ~CKvBoardPlugIn() override;

    unsigned Init(const char* text) override;
    unsigned DetectBoards() override;
    unsigned CreateBoard(const char* name, const char* product) override;
    unsigned DestroyBoard(const char* name) override;
    unsigned StartBoard(const char* name) override;
    unsigned StopBoard(const char* name) override;
    unsigned TestBoard(const char* name, unsigned value) override;
    CBoard* CreateProduct(const char* name, const char* product) override;
    bool SupportedDriver(const char* driverName) override;
    bool KeywordsValidate() override;
    using CBoardPlugIn::GetKeyword;
    using CBoardPlugIn::GetQualifier;
    using CBoardPlugIn::SetKeyword;
    unsigned GetKeyword(uint32_t handle, const char* name, char* buffer, unsigned size) override;
    unsigned SetKeyword(uint32_t handle, const char* name, const char* value) override;
    unsigned GetQualifier(uint32_t handle, const char* name, const char* qualifier, char* buffer,
                          unsigned size) override;

    // Hands a supervisor alert to the board named by its source; 1 when there is none.
    uint32_t AlertReceive(oam_msg_tag* message);
};

extern CKvBoardPlugIn* boardPlugin;

class CKv7400_C48 : public CKvBoard {
public:
    using CKvBoard::CKvBoard;
};
class CKv7400_C32 : public CKvBoard {
public:
    using CKvBoard::CKvBoard;
};
class CKv7400_C16 : public CKvBoard {
public:
    using CKvBoard::CKvBoard;
};
class CKv7400_32 : public CKvBoard {
public:
    using CKvBoard::CKvBoard;
};
class CKv7400_16 : public CKvBoard {
public:
    using CKvBoard::CKvBoard;
};
class CKv7400_GENERIC : public CKvBoard {
public:
    using CKvBoard::CKvBoard;
};

// The "Clocking" structure of a board: H.100 bus clocking.
//
// Its qualifier "Valid" runs the board's clock validation (KeywordsValidate,
// whose warnings go to the supervisor as the board's alerts) and answers
// "Yes" or "No": a way for a supervisor or a checking tool to validate a
// configuration. Nothing else validates; a start and SetKeyword stay silent.
class CKvH100Keyword : public CZelKWStruct {
public:
    CKvH100Keyword();
    unsigned GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) override;
};
