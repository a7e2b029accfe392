// A QSLAC coefficient file and the ports that use it; the format and its
// reader are in QslacReader.
#include "QslacFile.h"

#include "QslacReader.h"
#include "tsi/tsi.h"

cQslacFile::cQslacFile(IKvBoardServices* board, const char* name) : CKvFile(board, name, "slc", "rb") {}

cQslacFile::~cQslacFile() {
    m_PortList.RemoveAll(true);
    Close();
}

int cQslacFile::Compare(cListElement* other) {
    if (other == nullptr) return 1;
    return tsiStricmp(m_Name, static_cast<cQslacFile*>(other)->m_Name);
}

unsigned cQslacFile::AddPort(cPort* port) {
    if (port == nullptr) return 0xFFFFFFFFu;
    m_PortList.AddToTail(port);
    return 0;
}

unsigned cQslacFile::Parse(uint8_t* buffer, uint32_t capacity, uint32_t* count) {
    return KvReadCoefficients(m_pStream, buffer, capacity, count);
}
