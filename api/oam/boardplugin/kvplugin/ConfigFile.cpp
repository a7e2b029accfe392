// The board configuration file, read when the board is created and applied
// through the board's own SetKeywordValue, so that a value from the file
// takes the same path as one set by the supervisor. The format and its reader
// are in ConfigReader.
#include "ConfigFile.h"

#include "kvboard.h"

CConfigFile::CConfigFile(CKvBoard* board, const char* name, const char* extension, const char* mode)
    : CKvFile(board, name, extension, mode) {}

CConfigFile::~CConfigFile() {}

unsigned CConfigFile::Parse() {
    if (m_pStream == nullptr) return CONFIG_E_NOTHING;
    return CKvConfigReader(*this).Parse(m_pStream);
}

unsigned CConfigFile::ParseKeyValFromBuf(const char* line, char* key, char* value) {
    return CKvConfigReader(*this).ParseKeyValFromBuf(line, key, value);
}

unsigned CConfigFile::SetComplexKeyword(char* key, const char* value, char* scanStart) {
    if (m_pBoard == nullptr) return CONFIG_E_SYNTAX;
    return CKvConfigReader(*this).SetComplexKeyword(key, value, scanStart);
}

unsigned CConfigFile::SetKeywordValue(const char* name, const char* value) {
    return m_pBoard != nullptr ? m_pBoard->SetKeywordValue(name, value) : CONFIG_E_SYNTAX;
}

unsigned CConfigFile::GetKeywordValue(const char* name, char* buffer, unsigned size) {
    return m_pBoard != nullptr ? m_pBoard->GetKeywordValue(name, buffer, size) : CONFIG_E_SYNTAX;
}

unsigned CConfigFile::GetQualifierValue(const char* name, const char* qualifier, char* buffer, unsigned size) {
    return m_pBoard != nullptr ? m_pBoard->GetQualifierValue(name, qualifier, buffer, size) : CONFIG_E_SYNTAX;
}

void CConfigFile::LineNotParsed(unsigned line, const char* text) {
    if (m_pBoard != nullptr) {
        m_pBoard->Warning("Error parsing file '%s' in line %d: '%s'\n", m_Name, static_cast<int>(line), text);
    }
}

unsigned CKvBoard::Initialize() {
    if (!m_BoardMutex.Lock(KV_MUTEX_TIMEOUT_MS)) {
        Error("CKvBoard::Initialize() - failed to lock mutex.\n");
        return KV_E_START_FAILED;
    }
    Trace(KV_TRACE_API, "CKvBoard::Initialize()\n");

    unsigned result = 0;
    {
        CConfigFile file(this, m_ConfigBaseName, m_ConfigExtension, "rb");
        if (file.Open() != 0) {
            Warning("CKvBoard::Initialize() - could not open file '%s'; using internal defaults\n",
                    m_ConfigBaseName);
        } else {
            Record(&file);
            result = file.Parse();
            if (result != 0) {
                Error("CKvBoard::Initialize() - error (%d) parsing config file %s\n", static_cast<int>(result),
                      m_ConfigBaseName);
            }
            file.Close();
        }
    }

    m_BoardMutex.Unlock();
    return result;
}
