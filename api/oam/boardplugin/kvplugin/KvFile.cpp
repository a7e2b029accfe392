// Files found by base name and extension in the board's search path.
#include "KvFile.h"

#include <sys/stat.h>

#include <cstring>
#include <ctime>

#include "KvBoardServices.h"
#include "tsi/tsi.h"

namespace {

enum : unsigned { KV_FILE_FAILED = 0xFFFFFFFF, KV_PATH_SIZE = 256 };

// Copies at most size - 1 characters of text (null: nothing) and terminates.
void CopyText(char* buffer, size_t size, const char* text) {
    size_t length = text != nullptr ? strnlen(text, size - 1) : 0;
    if (length > 0) memmove(buffer, text, length);
    buffer[length] = '\0';
}

}  // namespace

CKvFile::CKvFile(IKvBoardServices* board, const char* name, const char* extension, const char* mode)
    : m_pStream(nullptr), m_pBoard(board), m_Name(), m_Extension(), m_Mode(), m_Date(), m_Size(0) {
    CopyText(m_Name, sizeof m_Name, name);
    CopyText(m_Extension, sizeof m_Extension, extension);
    CopyText(m_Mode, sizeof m_Mode, mode);
}

CKvFile::~CKvFile() { Close(); }

unsigned CKvFile::Open() {
    // Opening again starts over; the earlier stream is not leaked.
    Close();

    const char* searchPath = m_pBoard != nullptr ? m_pBoard->GetSearchPath() : nullptr;
    char found[KV_PATH_SIZE] = "";
    char fullPath[KV_PATH_SIZE] = "";
    if (tsiFindFile(m_Name, m_Extension, searchPath, found, fullPath, KV_PATH_SIZE) != 0) {
        if (m_pBoard != nullptr) {
            m_pBoard->Error("File '%s (*.%s)' not found in path '%s'\n", m_Name, m_Extension,
                            searchPath != nullptr ? searchPath : "");
        }
        return KV_FILE_FAILED;
    }

    m_pStream = fopen(fullPath, m_Mode);
    if (m_pStream == nullptr) {
        if (m_pBoard != nullptr) {
            m_pBoard->Error("CKvFile::Open() Failed to open file '%s' in path '%s'\n", fullPath,
                            searchPath != nullptr ? searchPath : "");
        }
        return KV_FILE_FAILED;
    }

    m_Date[0] = '\0';
    get_file_date(m_pStream, m_Date);
    m_Size = get_file_size(m_pStream);
    CopyText(m_Name, sizeof m_Name, fullPath);
    return 0;
}

void CKvFile::Close() {
    if (m_pStream != nullptr) {
        fclose(m_pStream);
        m_pStream = nullptr;
    }
}

uint32_t CKvFile::get_file_size(FILE* stream) {
    struct stat status;
    if (stream == nullptr || fstat(fileno(stream), &status) != 0 || status.st_size < 0) {
        return 0xFFFFFFFF;
    }
    // A file too big for 32 bits reads as the largest size rather than a wrapped one.
    if (static_cast<unsigned long long>(status.st_size) >= 0xFFFFFFFFull) return 0xFFFFFFFF;
    return static_cast<uint32_t>(status.st_size);
}

int CKvFile::get_file_date(FILE* stream, char* date) {
    struct stat status;
    if (stream == nullptr || date == nullptr || fstat(fileno(stream), &status) != 0) return -1;
    struct tm local;
    time_t modified = status.st_mtime;
    if (localtime_r(&modified, &local) == nullptr) return -1;
    int written = snprintf(date, KV_PATH_SIZE, "(%2.2d/%2.2d/%2.2d %2.2d:%2.2d)", local.tm_mon + 1,
                           local.tm_mday, (local.tm_year + 1900) % 100, local.tm_hour, local.tm_min);
    return written < 0 ? -1 : written;
}
