// A coefficient file and the ports that use it.
#pragma once

#include <cstdint>

#include "KvFile.h"
#include "List.h"
#include "Qslac.h"

class cQslacFile : public CKvFile, public cListElement {
public:
    cQslacFile(IKvBoardServices* board, const char* name);
    ~cQslacFile() override;

    int Compare(cListElement* other);
    unsigned AddPort(cPort* port);
    cList<cPort>& GetPortList() { return m_PortList; }
    // Reads the open file's coefficient bytes into buffer (capacity bytes).
    unsigned Parse(uint8_t* buffer, uint32_t capacity, uint32_t* count);

    cList<cPort> m_PortList;
};
