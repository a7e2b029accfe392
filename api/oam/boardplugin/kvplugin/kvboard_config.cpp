// The board's configuration file, read when the board is created.
#include "ConfigFile.h"
#include "KvResults.h"
#include "KvTrace.h"
#include "KvWaits.h"
#include "kvboard.h"

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
                Error("CKvBoard::Initialize() - error (%d) parsing config file %s\n",
                      static_cast<int>(result), m_ConfigBaseName);
            }
            file.Close();
        }
    }

    m_BoardMutex.Unlock();
    return result;
}
