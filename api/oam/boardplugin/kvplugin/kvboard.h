// The board object: keyword tree, state, identity, hardware access, the
// start and stop sequences, messages and report. It is what its components
// hold as their board's services (KvBoardServices.h) and what its monitor
// thread holds as its host (KvMonitorThread.h).
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "KvBoardServices.h"
#include "KvKWStr.h"
#include "KvMonitorThread.h"
#include "List.h"
#include "kvd/kvdriver.h"
#include "zel/zelframework.h"

class cPortGroup;
class cPort;
class cQslacFile;
class cT8100;
class CKvFile;
struct __DSP_UP_MESSAGE__;
struct oam_msg_tag;

enum : unsigned {
    KV_FILE_LIST_SIZE = 4096,
    KV_STATUS_TEXT_SIZE = 1024,  // holds the longest status text (601 characters) whole
};

// Threads and re-entry. Every operation may be called from any thread, also
// from a callback that the board raised (an alert handed to the supervisor):
// - The board mutex serialises Initialize, Start, Stop, Test, the reacting
//   keyword changes, the removal request and the destruction. A monitor
//   thread that needs it while its holder waits for that monitor to end is
//   refused at once (the operation answers its failure code).
// - On the board's own monitor thread, stopping the monitor (Stop, a
//   "MonitorEnable" change, a removal request) does not wait for the thread:
//   it ends itself once the callback has returned. A start on that thread
//   fails before it touches the board; from another thread a start first
//   waits KV_MONITOR_END_TIMEOUT_MS for a monitor of an earlier run to end.
// - The destruction of a board on any monitor thread (of this board or of
//   another) returns at once when the board has a monitor thread that has
//   not ended: that thread is told to end, and the board ends when it ends
//   (EndsOnOwnThread). So no monitor thread waits without a bound for another.
// - A monitor thread that has been told to end (or was given up on after
//   KV_MONITOR_END_TIMEOUT_MS) no longer touches the board's status records.
class CKvBoard : public CBoard, public IKvBoardServices, public IKvMonitorHost {
public:
    CKvBoard(const char* name, const char* product);
    ~CKvBoard() override;

    // ---- Framework operations ------------------------------------------
    unsigned SetKeywordValue(const char* name, const char* value) override;
    unsigned Start() override;
    unsigned Stop() override;
    unsigned Test(unsigned value) override;
    unsigned SendBuffer(const void* buffer, unsigned length) override;
    bool KeywordsValidate() override;
    void Event() override;
    void Reset() override;
    // Ends the monitor thread before the board is destroyed, so that it never
    // runs while the object is being taken apart.
    void Shutdown() override;
    // True on any monitor thread while the board has a monitor thread that
    // has not finished: that thread is told to end, and the board ends with it.
    bool EndsOnOwnThread() override;
    // Whether the calling thread is a monitor thread of any board.
    static bool OnMonitorThread();

    // ---- Construction, configuration ---------------
    void InitializeRequiredKeywords();
    // Names the configuration file (base name and extension) the product uses.
    void SetConfigFile(const char* baseName, const char* extension);
    unsigned Initialize();

    // ---- Driver handle and registers --------------------------------------
    unsigned GetPciBus();
    unsigned GetPciSlot();
    unsigned OpenDriver(KVHANDLE* handle);
    unsigned CloseDriver(KVHANDLE* handle);
    KVHANDLE GetDriverHandle() override;
    uint8_t ReadByte(uint32_t address);
    // ReadByte that also answers the driver's status, so that a caller can
    // tell a byte of zeros from a failed read.
    uint32_t ReadByteStatus(uint32_t address, uint8_t* value);
    void WriteByte(uint32_t address, uint8_t value);
    void WriteByte(uint32_t address, uint8_t mask, uint8_t value);

    // ---- State and identity ----------------------------------------------
    void SetState(const char* state);
    const char* GetState();
    bool IsState(const char* state);
    unsigned GetLogicalNumber();
    unsigned AssignLogicalNumber();
    const char* GetSwitchDriver();

    // ---- Messages: Error, Warning, Inform and Trace (KvBoardServices.h) ---
    CZelKeyword* GetKeywordTree() override;

    // ---- Runtime reactions and report --------------------------------------
    uint32_t AlertReceive(oam_msg_tag* message);
    unsigned GenerateReport();

    // ---- Files (kvboard_report) ------------------------------------------------------
    const char* GetSearchPath() override;
    void SetSearchPath(const char* path);
    unsigned Record(CKvFile* file);
    unsigned PrintFileList(FILE* stream);
    unsigned PrintFileList(char* buffer, size_t size);

    // ---- DSP firmware (kvboard_dsp) --------------------------------------------------
    // 0 when the whole image (up to its end-of-file record) went to the DSP;
    // 1 when the image is missing or damaged or a download failed, in which
    // case the DSP must not be started.
    int LoadDSP(KVHANDLE handle, const char* name) override;
    // One record of an image (see HexReader.h): 0 when read whole with a correct checksum.
    unsigned read_line(FILE* file, uint8_t* count, uint16_t* address, uint8_t* type, uint8_t* data);

    // ---- Clocking and switching (kvboard_switch) ----------------------------
    unsigned Clock(CZelKWStruct* clocking);
    unsigned MvipIssueCommand(unsigned command, unsigned* record);
    unsigned ResetSwitch();
    unsigned Connect(unsigned outStream, unsigned outSlot, unsigned srcStream, unsigned srcSlot);
    void NailStreams(unsigned outStream, unsigned srcStream, unsigned count);
    unsigned NailDefaultConnections();

    // ---- Port groups and line circuits (kvboard_lines) --------------------
    unsigned MapPortGroups();
    // Whether a group's stations are fitted, by the population byte or "RawMap".
    bool IsPopulated(cPortGroup* group, uint8_t population);
    void MapQslacFilesToPorts();
    void ConfigureLineInterfaceHardware();

    // ---- Monitor (kvboard_monitor) -------------------------------------------
    unsigned MonitorStarted();
    unsigned _StartMonitor();
    unsigned _StopMonitor();
    // Run on the monitor thread (IKvMonitorHost).
    unsigned StartMonitor() override;
    unsigned StopMonitor() override;
    CZelEvent* GetMonitorEvent() override;
    void StatusEvent(__DSP_UP_MESSAGE__* message, bool first);
    // Called by a monitor thread once its loop has ended, as its last act on
    // the board (which may be destroyed within the call).
    void MonitorEnded() override;
    void TraceMonitor(const char* text) override;

    // ---- Members ---------------------------------------------------------------
    cList<cPortGroup> m_PortGroups;
    cList<cPort> m_Ports;
    cList<cQslacFile> m_QslacFiles;
    cT8100* m_pT8100;
    KVHANDLE m_DriverHandle;
    int m_SwitchFd;
    CKvMonitorThread* m_pMonitorThread;
    CZelEvent* m_pMonitorEvent;
    uint8_t m_FirstStatusEvent;
    uint16_t m_LastStatus[8];
    char m_StatusText[KV_STATUS_TEXT_SIZE];
    char m_ConfigBaseName[256];
    char m_ConfigExtension[256];
    char m_FileList[KV_FILE_LIST_SIZE];
    char m_SearchPath[256];
    CKvKWStr* m_pRawMap;
    CZelKWStructArray* m_pThermos;
    KVHANDLE m_MonitorDriverHandle;
    char m_SwitchDriverName[128];
    CZelMutex m_StateMutex;
    CZelMutex m_BoardMutex;
    // A monitor thread that did not end when asked: kept, never destroyed
    // while it runs, and waited for again before a new monitor starts and
    // when the board is destroyed.
    CKvMonitorThread* m_pEndingMonitor;
    // Whether m_SwitchFd is a descriptor the start sequence opened (and must close).
    bool m_SwitchFdOpen;

protected:
    // The download of one data record of the firmware image: the driver's
    // BoardDspDownload. A derived board may stand in for the driver (the
    // loader's benchmark measures the reader alone that way).
    virtual uint32_t DspDownload(KVHANDLE handle, uint32_t address, const uint8_t* data, uint8_t count);

private:
    // Guards m_pMonitorThread, m_pEndingMonitor, m_FirstStatusEvent and
    // m_LastStatus: a monitor thread handles a status event only while it is
    // still m_pMonitorThread.
    std::mutex m_MonitorLock;
    // The monitor thread that a holder of the board mutex waits for; that
    // thread is refused the board mutex.
    std::atomic<CKvMonitorThread*> m_WaitedMonitor;
    // The monitor thread whose last act is the board's end (EndsOnOwnThread
    // answered true). Guarded by m_MonitorLock.
    CKvMonitorThread* m_pBoardEndOwner;

    int LockBoard();
    // Stops the monitor and waits, without limit, for any that is ending.
    void EndMonitors();
    // The text of a status event into m_StatusText. Caller holds m_MonitorLock.
    void BuildStatusText(const uint16_t* status, bool first);
    int LockState();
    // Waits for a monitor thread that was told to end, then destroys it;
    // answers 1 when it has not ended (it is kept) or is the calling thread.
    unsigned ReapEndingMonitor(unsigned timeoutMs);
    // Waits for a monitor thread to end (the waits' threadEnd), refusing it
    // the board mutex meanwhile.
    unsigned WaitForMonitorEnd(CKvMonitorThread* thread, unsigned timeoutMs);
    void SendMessage(uint32_t severity, const char* format, va_list arguments) override
        __attribute__((format(printf, 3, 0)));
    bool Traces(uint32_t level) override;
    void SendTrace(uint32_t level, const char* format, va_list arguments) override
        __attribute__((format(printf, 3, 0)));
    // The start (kvboard_start.cpp): a table of steps run in order between
    // "BOOTING" and "BOOTED"; each answers 0, or 1 after its message.
    struct StartKeywords;
    struct StartStep;
    static const StartStep kStartSteps[];
    StartKeywords TakeStartKeywords();
    // The one failure path: closes what is open (the table's bits) and sets "IDLE".
    void FailStart(unsigned open);
    unsigned StartOpenDriver(const StartKeywords& keywords);
    unsigned StartHoldInReset(const StartKeywords& keywords);
    unsigned StartLogicalNumber(const StartKeywords& keywords);
    unsigned StartReadEeprom(const StartKeywords& keywords);
    unsigned StartResetDsp(const StartKeywords& keywords);
    unsigned StartSwitchChip(const StartKeywords& keywords);
    unsigned StartOpenSwitchDevice(const StartKeywords& keywords);
    unsigned StartClocking(const StartKeywords& keywords);
    unsigned StartResetSwitch(const StartKeywords& keywords);
    unsigned StartMapStations(const StartKeywords& keywords);
    unsigned StartLineCircuits(const StartKeywords& keywords);
    unsigned StartDsp(const StartKeywords& keywords);
    unsigned StartHeartbeat(const StartKeywords& keywords);
    unsigned StartDefaultConnections(const StartKeywords& keywords);
    unsigned StartCloseSwitchDevice(const StartKeywords& keywords);
    unsigned StartLinePower(const StartKeywords& keywords);
    unsigned StartBoardMonitoring(const StartKeywords& keywords);
    unsigned StartReport(const StartKeywords& keywords);
    unsigned StartCloseDriver(const StartKeywords& keywords);
    unsigned StartMonitorThread(const StartKeywords& keywords);
    void CloseSwitchDevice();
    // The line power register's bits off, in the stop's order.
    void SwitchLinePowerOff();
    // The board's reaction to a runtime battery feed or monitor change.
    unsigned ReactToBattery(uint8_t bit, const char* value);
    unsigned ReactToMonitor(const char* value);
};
