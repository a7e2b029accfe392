// The board configuration file, read when the board is created and applied
// through the board's own SetKeywordValue, so that a value from the file
// takes the same path as one set by the supervisor. The format and its reader
// are in ConfigReader.
#include "ConfigFile.h"

#include "KvBoardServices.h"
#include "zel/zelframework.h"

CConfigFile::CConfigFile(IKvBoardServices* board, const char* name, const char* extension, const char* mode)
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
    return m_pBoard != nullptr ? m_pBoard->GetKeywordTree()->SetKeywordValue(name, value) : CONFIG_E_SYNTAX;
}

unsigned CConfigFile::GetKeywordValue(const char* name, char* buffer, unsigned size) {
    return m_pBoard != nullptr ? m_pBoard->GetKeywordTree()->GetKeywordValue(name, buffer, size)
                               : CONFIG_E_SYNTAX;
}

unsigned CConfigFile::GetQualifierValue(const char* name, const char* qualifier, char* buffer,
                                        unsigned size) {
    return m_pBoard != nullptr ? m_pBoard->GetKeywordTree()->GetQualifierValue(name, qualifier, buffer, size)
                               : CONFIG_E_SYNTAX;
}

void CConfigFile::LineNotParsed(unsigned line, const char* text) {
    if (m_pBoard != nullptr) {
        m_pBoard->Warning("Error parsing file '%s' in line %d: '%s'\n", m_Name, static_cast<int>(line), text);
    }
}
