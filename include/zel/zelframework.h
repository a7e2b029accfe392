// The supervisor's keyword and board framework, as a board plug-in sees it.
//
// Keywords form trees. A keyword is addressed by a dotted path below any
// structure ("Location.PCI.Bus"); array elements are addressed as "Name[i]"
// ("Ring.Cadences[1].Ton1", "Products[0]"), and every array answers the
// read-only path "Name.Count" with its element count. Keyword names and string
// choices are compared without regard to case. Every keyword answers the
// qualifier "Type": "Structure", "String", "Integer", or "List" for arrays.
//
// A client walks a tree it does not know through these qualifiers, which every
// keyword answers:
//   "Kind"      "string", "integer", "structure" or "array"
//   "Settable"  "Yes" when SetKeywordValue may change the value, else "No"
//   "Children"  the number of children: members of a structure, elements of
//               an array, 0 for a value
//   "Child[i]"  the path step to child i (from 0): its name, or "[i]" for an
//               element of an array (appended without a dot)
// Strings and integers also answer "Default": the value the keyword had when
// its owner was created (see FreezeDefaults); strings answer "Choices" (a
// comma-separated list, empty for free text), integers "Minimum" and "Maximum".
//
// All operations return an unsigned result, 0 for success; the non-zero
// results are the ZEL_ERR_ codes below. Nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>

enum : unsigned {
    ZEL_NAME_MAX = 128,  // keyword and board names are shorter than this many bytes
};

enum : unsigned {
    ZEL_OK = 0,
    ZEL_ERR_UNKNOWN_KEYWORD = 2,   // no keyword at that path (or index out of range)
    ZEL_ERR_INVALID_VALUE = 3,     // value outside the keyword's choices or limits
    ZEL_ERR_NOT_A_NUMBER = 4,      // integer text that is not a number
    ZEL_ERR_BUFFER_TOO_SMALL = 5,  // the value does not fit: the buffer holds a cut, terminated copy
    ZEL_ERR_NOT_A_VALUE = 6,       // the keyword has no value of its own (a structure) or is read-only
    ZEL_ERR_NO_MEMORY = 7,
    ZEL_ERR_UNKNOWN_QUALIFIER = 8,  // the keyword has no such qualifier
    ZEL_ERR_INVALID_ARGUMENT = 9,   // null name, null buffer, zero size
    ZEL_ERR_UNKNOWN_BOARD = 10,     // no board of that name or handle
    ZEL_ERR_DUPLICATE = 11,         // a keyword or board of that name already exists
    ZEL_ERR_NOT_SUPPORTED = 12,     // the object does not support the operation
    ZEL_ERR_CREATE_FAILED = 13,     // CreateProduct made no board
    ZEL_ERR_BUSY = 14,              // the calling thread is itself inside an operation on that board
};

// Flag bits of keyword constructors.
enum : int {
    ZEL_KW_READONLY = 1,  // the value can be changed only by the program (SetIntValue,
                          // SetStrValue), never through SetKeywordValue
};

class CZelKWStruct;

class CZelKeyword {
public:
    explicit CZelKeyword(const char* name);
    virtual ~CZelKeyword();
    CZelKeyword(const CZelKeyword&) = delete;
    CZelKeyword& operator=(const CZelKeyword&) = delete;

    const char* GetName() const;
    CZelKeyword* GetParent() const;

    // name: dotted path below this keyword, or null / "" for the keyword itself.
    virtual unsigned GetKeywordValue(const char* name, char* buffer, unsigned size);
    virtual unsigned SetKeywordValue(const char* name, const char* value);
    virtual unsigned GetQualifierValue(const char* name, const char* qualifier, char* buffer, unsigned size);

    // The keyword at a dotted path below this one (null / "" for this one), or null.
    CZelKeyword* FindKeyword(const char* path);

    // Hooks of each kind of keyword; used by the path walk above.
    virtual unsigned GetOwnValue(char* buffer, unsigned size);  // default ZEL_ERR_NOT_A_VALUE
    virtual unsigned SetOwnValue(const char* value);            // default ZEL_ERR_NOT_A_VALUE
    virtual unsigned GetOwnQualifier(const char* qualifier, char* buffer, unsigned size);
    // Children for the walk above and the qualifiers "Children" and "Child[i]".
    virtual unsigned GetChildCount() const;               // default 0
    virtual CZelKeyword* GetChild(unsigned index) const;  // default null
    // Whether SetKeywordValue may change the value. Default false.
    virtual bool IsSettable() const;
    // Until this is called, a value the program sets (the constructor,
    // SetStrValue, SetIntValue) becomes the keyword's "Default", while a value
    // set through SetKeywordValue (a configuration file, the supervisor) does
    // not and fixes the default at the value before it. From the call on, the
    // default stays as it is. Structures and arrays pass it to every keyword
    // below them; the plug-in object calls it on each board it has created.
    virtual void FreezeDefaults();

    // One step of a path: a child by name (len characters of name, no dots, no
    // brackets) when index < 0, or the element at index (name then unused)
    // when index >= 0. "Port[2]" is walked as the step "Port", then the step
    // [2] on what that found. Default: none.
    virtual CZelKeyword* FindStep(const char* name, size_t len, long index);

    void SetParent(CZelKeyword* parent);

private:
    char m_Name[128];
    CZelKeyword* m_pParent;
};

class CZelKWStruct : public CZelKeyword {
public:
    // initial: count keywords to adopt as children (may be null with count 0).
    CZelKWStruct(const char* name, CZelKeyword** initial, unsigned count);
    ~CZelKWStruct() override;  // destroys every child

    // Appends a child and takes ownership of it. A null child or a name that is
    // already taken is refused (the child is then not adopted).
    unsigned AddKeyword(CZelKeyword* child);
    // Removes the child of that name and destroys it.
    unsigned RemoveKeyword(const char* name);
    // The keyword at a dotted path below this structure (usually a direct child's name), or null.
    CZelKeyword* GetKeywordByName(const char* name);
    unsigned GetChildCount() const override;
    CZelKeyword* GetChild(unsigned index) const override;
    void FreezeDefaults() override;

    unsigned GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) override;
    CZelKeyword* FindStep(const char* name, size_t len, long index) override;

private:
    struct Impl;
    Impl* m_pImpl;
};

class CZelKWStructArray : public CZelKeyword {
public:
    CZelKWStructArray(const char* name, CZelKWStruct** initial, unsigned count);
    ~CZelKWStructArray() override;  // destroys every element

    unsigned AddKeyword(CZelKWStruct* element);      // appends, takes ownership
    CZelKWStruct* GetElement(unsigned index) const;  // null past the end
    CZelKWStruct* operator[](unsigned index) const { return GetElement(index); }
    unsigned GetCount() const;

    unsigned GetChildCount() const override;               // the element count
    CZelKeyword* GetChild(unsigned index) const override;  // the element
    void FreezeDefaults() override;
    unsigned GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) override;
    CZelKeyword* FindStep(const char* name, size_t len, long index) override;

private:
    struct Impl;
    Impl* m_pImpl;
};

class CZelKWStr : public CZelKeyword {
public:
    // choices: choiceCount texts, or null with 0 for free text. maxChoices bounds AddChoice.
    // A null default leaves the value empty.
    CZelKWStr(const char* name, const char* defaultValue, const char** choices, unsigned choiceCount,
              int flags, int maxChoices);
    ~CZelKWStr() override;

    unsigned AddChoice(const char* choice);
    // Sets the value as given (a choice matched without regard to case keeps the
    // caller's spelling); a keyword with choices refuses any other text.
    unsigned SetStrValue(const char* value);
    unsigned GetStrValue(char* buffer, unsigned size);

    unsigned GetOwnValue(char* buffer, unsigned size) override;
    unsigned SetOwnValue(const char* value) override;
    unsigned GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) override;
    bool IsSettable() const override;
    void FreezeDefaults() override;

private:
    struct Impl;
    Impl* m_pImpl;
};

class CZelKWInt : public CZelKeyword {
public:
    CZelKWInt(const char* name, long defaultValue, long minimum, long maximum, int flags, int reserved);
    ~CZelKWInt() override;

    void SetMinValue(long minimum);
    void SetMaxValue(long maximum);
    virtual long GetIntValue();
    virtual unsigned SetIntValue(long value);  // ZEL_ERR_INVALID_VALUE outside the limits

    // Text: optional sign, decimal or 0x-hexadecimal digits, nothing else.
    unsigned GetOwnValue(char* buffer, unsigned size) override;
    unsigned SetOwnValue(const char* value) override;
    unsigned GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) override;
    bool IsSettable() const override;
    void FreezeDefaults() override;

private:
    long m_Value;
    long m_Min;
    long m_Max;
    int m_Flags;
    long m_Default;
    long m_DefaultFixed;  // non-zero once the default no longer follows the value
};

class CZelKWStrArray : public CZelKeyword {
public:
    CZelKWStrArray(const char* name, const char** values, unsigned count, int flags, int maxChoices);
    ~CZelKWStrArray() override;

    void RemoveAllValues();  // the choices stay
    unsigned AddChoice(const char* choice);
    unsigned AddStrValue(const char* value);  // appends; refused when outside the choices
    unsigned GetCount() const;
    unsigned GetChildCount() const override;               // the item count
    CZelKeyword* GetChild(unsigned index) const override;  // the keyword of item index

    // Own value: the items as a list, each double-quoted when it holds white space.
    unsigned GetOwnValue(char* buffer, unsigned size) override;
    unsigned GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) override;
    // "Name[i]" reads and writes item i; writing at index Count appends.
    CZelKeyword* FindStep(const char* name, size_t len, long index) override;

private:
    struct Impl;
    Impl* m_pImpl;
};

// A board: a structure that already holds "State" (choices "IDLE", "BOOTED"; a
// new board reads "IDLE"), "Number" (logical board number, -1 until assigned),
// "Location" ("Type"), "Driver" ("Name", "BoardId"), "Eeprom" ("Family",
// "SoftwareCompatibility", "MFGYear", "MFGWeek", "ATETestBit", "SerialNum",
// read-only), "BootDiagnosticLevel" and "Clocking" ("Type").
// Board operations a product does not support answer ZEL_ERR_NOT_SUPPORTED.
class CBoard : public CZelKWStruct {
public:
    CBoard(const char* name, const char* product);
    ~CBoard() override;

    const char* GetProduct() const;

    virtual unsigned Start();
    virtual unsigned Stop();
    virtual unsigned Test(unsigned value);
    virtual unsigned SendBuffer(const void* buffer, unsigned length);
    virtual bool KeywordsValidate();
    virtual void Event();
    virtual void Reset();
    // Called once by the plug-in object when no operation uses the board any
    // more, right before it destroys the board: the board ends here whatever
    // threads of its own still run, while the object is still whole.
    virtual void Shutdown();
    // Asked by DestroyBoard once the board has left every look-up (its name
    // stays taken). A board answers true when the calling thread must not
    // wait for the board's end: it is a thread of the board's own, or a
    // thread that a thread of the board's own may itself be waiting for.
    // DestroyBoard then returns at once, and the board is destroyed (on
    // whichever thread lets go of it last) once its own thread has called
    // OwnThreadDone and every operation on the board has returned.
    // Default: false.
    virtual bool EndsOnOwnThread();

protected:
    // The board's own thread, after EndsOnOwnThread answered true (on any
    // thread), as its very last act on the board: the board may be destroyed
    // within the call.
    void OwnThreadDone();

private:
    friend class CBoardPlugIn;
    char m_Product[128];
    void* m_pTableEntry;  // the plug-in's record of this board, set when it joins the table
};

// The plug-in object: a structure that already holds "Products" (string array)
// and "Version" ("Major", "Minor"), and that keeps the boards.
//
// Object handles: handle 0 names the plug-in object itself. Each board gets a
// handle of its own when it is created (1, 2, 3, ... never reused while the
// plug-in lives). A supervisor obtains a board's handle from the plug-in
// object: the qualifier "Handle" of the board's name on handle 0, as in
// GetQualifier(0, "b0", "Handle", ...), answers the handle in decimal.
//
// Board operations by name are safe against a concurrent DestroyBoard: a board
// in use is destroyed only once every operation on it has returned. A thread
// that is itself inside an operation on a board (a callback raised by it, say)
// is refused StartBoard, StopBoard and DestroyBoard of that board at once with
// ZEL_ERR_BUSY, instead of waiting for itself.
//
// Boards are found by name (without regard to case) and by handle in
// constant time, however many boards the plug-in keeps.
class CBoardPlugIn : public CZelKWStruct {
public:
    CBoardPlugIn(CZelKeyword** initial, unsigned count);
    ~CBoardPlugIn() override;  // destroys every board

    virtual unsigned Init(const char* text);
    // Destroys every board, waits for boards whose destruction another thread
    // (or a board's own thread) has begun, and joins every framework thread
    // that ended on its own (see CZelThread); afterwards none of them runs.
    virtual unsigned Exit();
    virtual unsigned DetectBoards();
    // Refuses a name already taken (also while a board of that name is still
    // being destroyed) and a name of ZEL_NAME_MAX bytes or more (two longer
    // names would share one keyword name, cut to fit); calls CreateProduct; assigns "Number" (the lowest
    // number no other board holds) when the board left it at -1.
    virtual unsigned CreateBoard(const char* name, const char* product);
    virtual unsigned DestroyBoard(const char* name);
    virtual unsigned StartBoard(const char* name);
    virtual unsigned StopBoard(const char* name);
    virtual unsigned TestBoard(const char* name, unsigned value);
    virtual CBoard* CreateProduct(const char* name, const char* product);  // default: null
    virtual bool SupportedDriver(const char* driverName);                  // default: false
    virtual bool KeywordsValidate();                                       // default: true
    virtual unsigned GetKeyword(uint32_t handle, const char* name, char* buffer, unsigned size);
    virtual unsigned SetKeyword(uint32_t handle, const char* name, const char* value);
    virtual unsigned GetQualifier(uint32_t handle, const char* name, const char* qualifier, char* buffer,
                                  unsigned size);
    virtual unsigned GetKeyword(uint64_t handle, const char* name, char* buffer, unsigned size);
    virtual unsigned SetKeyword(uint64_t handle, const char* name, const char* value);
    virtual unsigned GetQualifier(uint64_t handle, const char* name, const char* qualifier, char* buffer,
                                  unsigned size);
    virtual unsigned OpenObject(uint64_t handle, unsigned value);
    virtual unsigned CloseObject(uint64_t handle);
    virtual unsigned SendBuffer(const char* name, const void* buffer, unsigned length);

    // The board of that name, or null. The pointer stays valid only while the
    // caller holds off DestroyBoard (the supervisor's own calls do).
    CBoard* GetBoardByName(const char* name);
    // Calls op(board, context) on the board of that name with a hold on it: a
    // concurrent DestroyBoard (or Exit) waits until op has returned, and the
    // calling thread is inside an operation on the board meanwhile (see
    // above). For calls that reach a board by name outside the board
    // operations above (an alert from the supervisor, say). Answers op's
    // result, or ZEL_ERR_UNKNOWN_BOARD when there is no such board. A hold
    // lasts exactly one call, so it always ends on the thread that took it.
    unsigned UseBoard(const char* name, unsigned (*op)(CBoard* board, void* context), void* context);
    // Adds, for every detected device whose driver SupportedDriver accepts, an
    // element to the plug-in's structure array "DetectedBoards" with "Name"
    // (prefix followed by the index among the accepted devices, from 0),
    // "Driver", "Bus", "Slot" and "Plugin" (pluginName). Devices come from the
    // host's enumerator. Each call empties the list first; its length reads as
    // "DetectedBoards.Count" on handle 0.
    unsigned AddDetectedBoardsKeywords(const char* prefix, const char* pluginName);
    uint64_t GetBoardHandle(const char* name);  // 0 when there is no such board

    unsigned GetOwnQualifier(const char* qualifier, char* buffer, unsigned size) override;
    unsigned GetQualifierValue(const char* name, const char* qualifier, char* buffer, unsigned size) override;

private:
    struct Impl;
    Impl* m_pImpl;
};

// Device enumeration that the host provides for DetectBoards: the callback is
// asked for device i (from 0) and answers 0 with its driver name (a terminated
// text of at most size bytes), bus and slot, or non-zero past the last one.
typedef unsigned (*ZelDeviceEnumerator)(unsigned index, char* driverName, unsigned size, unsigned* bus,
                                        unsigned* slot);
void ZelSetDeviceEnumerator(ZelDeviceEnumerator enumerator);

// A re-entrant mutex: the holder may lock it again (and unlocks as often).
class CZelMutex {
public:
    CZelMutex(int flags, const char* name, int reserved);
    ~CZelMutex();
    CZelMutex(const CZelMutex&) = delete;
    CZelMutex& operator=(const CZelMutex&) = delete;
    // 1 when taken, 0 when timeoutMs passed (0xFFFFFFFF waits without limit).
    int Lock(unsigned timeoutMs);
    // As Lock, but also gives up (0) as soon as giveUp(context) answers true;
    // it is asked on entry and whenever Nudge is called while the lock waits.
    int Lock(unsigned timeoutMs, bool (*giveUp)(void* context), void* context);
    // Has every Lock waiting on this mutex ask its giveUp again.
    void Nudge();
    void Unlock();

private:
    struct Impl;
    Impl* m_pImpl;
};

// An event. A default-made event is a manual-reset event of the framework's
// own (Set, Reset). An event made from a file descriptor is signalled exactly
// while that descriptor is readable (poll semantics); the descriptor belongs
// to whoever signals it and is not closed by the event. Copies share the same
// underlying event.
class CZelEvent {
public:
    CZelEvent();
    explicit CZelEvent(long fd);
    CZelEvent(const CZelEvent& other);
    CZelEvent& operator=(const CZelEvent& other);
    ~CZelEvent();

    void Set();         // no effect on a descriptor event
    void Reset();       // no effect on a descriptor event
    int GetFd() const;  // the descriptor to poll for this event

private:
    struct Impl;
    Impl* m_pImpl;
};

enum : unsigned {
    ZEL_WAIT_TIMEOUT = 0x102,
    ZEL_WAIT_FAILED = 0xFFFFFFFFu,
    ZEL_WAIT_INFINITE = 0xFFFFFFFFu,
};

// Waits until one of count events is signalled; answers the lowest index of a
// signalled event, ZEL_WAIT_TIMEOUT, or ZEL_WAIT_FAILED.
unsigned SyncWaitForMultipleEvents(unsigned count, CZelEvent* events, unsigned timeoutMs);

enum : unsigned {
    ZEL_THREAD_AUTO_DELETE = 1,  // in m_Flags: the framework destroys the object when its thread ends
};

// A thread. Run (on the new thread) calls InitInstance once; when that answers
// non-zero it calls OnIdle over and over until ExitThread or EndThread ends the
// loop; then ExitInstance. When the thread has ended it reports its end to
// tsiWaitForDestroyThread under GetThreadId. Without ZEL_THREAD_AUTO_DELETE the
// object outlives its thread and its owner destroys it (the destructor waits
// for the thread if it is still ending). An object destroyed on its own thread
// leaves that thread to finish alone; ZelJoinEndedThreads waits for such threads.
class CZelThread {
public:
    CZelThread();
    virtual ~CZelThread();
    CZelThread(const CZelThread&) = delete;
    CZelThread& operator=(const CZelThread&) = delete;

    virtual int Run();
    virtual int InitInstance();      // default 1
    virtual int ExitInstance();      // default 0
    virtual int OnIdle(long count);  // default: waits for the end event

    void EndThread();                   // any thread: signals the end event
    void ExitThread(int exitCode);      // the thread itself: the loop ends after this OnIdle
    unsigned long GetThreadId() const;  // unique per thread object, never 0 once started
    CZelEvent& GetEndEvent();
    int GetExitCode() const;

    unsigned m_Flags;  // ZEL_THREAD_AUTO_DELETE, set by the constructor

private:
    friend CZelThread* ZelBeginThread(CZelThread*, unsigned, unsigned);
    struct Impl;
    Impl* m_pImpl;
};

// Starts the thread; answers the thread object, or null when it could not start.
CZelThread* ZelBeginThread(CZelThread* thread, unsigned stackSize, unsigned flags);

// Waits until every thread whose object was destroyed on that thread itself
// has finished, so that none of them still runs code of a library about to
// be unloaded. CBoardPlugIn::Exit calls it.
void ZelJoinEndedThreads();
