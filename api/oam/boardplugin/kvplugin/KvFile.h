// A file found by base name and extension in the board's search path.
#pragma once

#include <cstdint>
#include <cstdio>

class IKvBoardServices;

class CKvFile {
public:
    CKvFile(IKvBoardServices* board, const char* name, const char* extension, const char* mode);
    virtual ~CKvFile();
    CKvFile(const CKvFile&) = delete;
    CKvFile& operator=(const CKvFile&) = delete;

    unsigned Open();  // 0, or 0xFFFFFFFF after an error message
    void Close();
    static uint32_t get_file_size(FILE* stream);
    static int get_file_date(FILE* stream, char* date);  // date: 256 bytes

    const char* GetName() const { return m_Name; }
    FILE* GetStream() const { return m_pStream; }

    FILE* m_pStream;
    IKvBoardServices* m_pBoard;
    char m_Name[256];
    char m_Extension[256];
    char m_Mode[256];
    char m_Date[256];
    uint32_t m_Size;
};
