// The journal of driver calls, kept cheap: each call leaves one compact
// record of what it was handed (its words and bytes, copied at call time),
// and the record's text is made only when someone reads the journal. Only the
// sources of libkvd.so include this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace kvemu {
namespace detail {

// Every function that the journal records and a fault can name: the driver
// calls, the switch-chip calls and the switch device's open, ioctl and close.
enum class Fn : uint8_t {
    kvOpenByBusDeviceFunction,
    kvClose,
    kvSendMessage,
    kvReceiveMessage,
    kvGetMuxHandle,
    kvGetHmicHandle,
    BoardSetLogicalNumber,
    BoardEEPROMGetData,
    BoardDspReset,
    BoardDspStart,
    BoardFlashLedOn,
    BoardFlashLedOff,
    BoardDspDownload,
    BoardStartHeartBeat,
    BoardStopHeartBeat,
    BoardStartMonitoring,
    BoardStopMonitoring,
    BoardReadByte,
    BoardWriteByte,
    BoardLoadL2PTable,
    BoardGetPhysicalSlot,
    BoardGetDriverVersion,
    LineConfigureSingle,
    LineConfigureMultiple,
    LineSetGxZeroValues,
    LineSetGrZeroValues,
    hmic_init,
    hmic_id_device_type,
    hmic_set_master_reg,
    hmic_set_control_reg,
    hmic_read_control_reg,
    hmic_config_connect_mode,
    hmic_config_HBus_speed,
    hmic_config_LBus_speed,
    hmic_reset_switch,
    hmic_set_output,
    open,
    ioctl,
    close,
};
constexpr size_t kFunctionCount = static_cast<size_t>(Fn::close) + 1;

const char* FunctionName(Fn fn);
// False when no function has that name.
bool FindFunction(const char* name, Fn* fn);

// Bytes a call was handed, copied into its record.
struct Bytes {
    const void* data;
    size_t size;
};

// One call as the journal keeps it. Its form says how its words and data
// read, one letter per field; fields are separated by a space, and a list
// with no element gives no field:
//   u  the next word, unsigned decimal      d  the next word, signed decimal
//   x  the next word, 0x-hex                l  the next two words (low, high), one unsigned decimal
//   b  the next word n, then n data bytes, each 0x-hex
//   w  the next word n, then n 16-bit data words, each 0x-hex
//   n  the next word n, then n 32-bit data words, each unsigned decimal
//   i  the next word n, then n 32-bit data words, each signed decimal
//   s  the next word n, then n data bytes as text
//   =  the status goes here; the fields after it are the result ("-> ...").
// Without "=" the status ends the line. The form must be a string literal.
class Record {
public:
    static constexpr size_t kWords = 8;

    Record() = default;
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    // Makes this record a new call's: its function, form, data and words.
    template <typename... Words>
    void Assign(Fn fn, const char* form, std::initializer_list<Bytes> data, Words... words) {
        static_assert(sizeof...(Words) <= kWords, "a record holds at most kWords words");
        fn_ = fn;
        form_ = form;
        located_ = false;
        signed_ = false;
        status_ = 0;
        uint32_t* word = words_;
        ((*word++ = static_cast<uint32_t>(words)), ...);
        (void)word;
        wordCount_ = static_cast<uint8_t>(sizeof...(Words));
        // The previous call's large data goes with it: a record holds only its own.
        if (large_) Release();
        size_ = 0;
        for (const Bytes& bytes : data) AddData(bytes.data, bytes.size);
    }
    // For results known only at the end of the call.
    Record& AddWord(uint32_t word) {
        if (wordCount_ < kWords) words_[wordCount_++] = word;
        return *this;
    }
    Record& AddData(const void* data, size_t size) {
        if (size_ + size <= kInline) {  // most calls' data fits the record itself
            if (size != 0) std::memcpy(inline_ + size_, data, size);
            size_ += static_cast<uint32_t>(size);
            return *this;
        }
        return AddLargeData(data, size);
    }
    Record& SetForm(const char* form) {
        form_ = form;
        return *this;
    }

    Fn Function() const { return fn_; }
    // Where the call went: a board location; a record never located reads "?:?".
    void Locate(uint32_t bus, uint32_t slot) {
        bus_ = bus;
        slot_ = slot;
        located_ = true;
    }
    void SetStatus(uint32_t status, bool isSigned) {
        status_ = status;
        signed_ = isSigned;
    }
    // "BUS:SLOT NAME ARGS = STATUS[ -> RESULT]"
    std::string Text() const;
    // Frees the buffer of data that outgrew the record.
    void Release() {
        large_.reset();
        capacity_ = 0;
        size_ = 0;
    }

private:
    static constexpr size_t kInline = 40;  // a switch record, a line-circuit command
    const uint8_t* Data() const { return size_ > kInline ? large_.get() : inline_; }
    Record& AddLargeData(const void* data, size_t size);

    // The call's fields are first set by Assign, and only a record that holds
    // a call is ever read: a chunk of kChunk records is made at once, before
    // its calls come, and costs no more than it must.
    uint32_t bus_, slot_, status_;
    Fn fn_;
    bool located_, signed_;
    uint8_t wordCount_;
    const char* form_;
    uint32_t size_ = 0;      // data bytes: in inline_ up to kInline, else in large_
    uint32_t capacity_ = 0;  // of large_
    uint32_t words_[kWords];
    uint8_t inline_[kInline];
    std::unique_ptr<uint8_t[]> large_;
};

// The records of the last kMax calls, oldest first. Records live in chunks
// that never move, and a call's record is made in its place. Its memory is the
// chunks (kMax records of sizeof(Record) once full, kept through Clear) and
// the data of the records held that outgrew kInline, each at most twice its
// size (a call with more data has it freed when its record is reused).
class Journal {
public:
    static constexpr size_t kMax = 200000;  // oldest records are dropped beyond this

    // The record of a new call, in place of the oldest once the journal is
    // full; valid until the next call is recorded.
    template <typename... Words>
    Record& Emplace(Fn fn, const char* form, std::initializer_list<Bytes> data, Words... words) {
        if (writeChunk_ == chunks_.size()) chunks_.emplace_back(new Record[kChunk]);
        Record& record = chunks_[writeChunk_][writeSlot_];
        // The next record's place: the one after, back to the first at the end of the ring.
        if (++writeSlot_ == kChunk) {
            writeSlot_ = 0;
            if (++writeChunk_ == kMax / kChunk) writeChunk_ = 0;
        }
        if (count_ < kMax)
            ++count_;
        else if (++first_ == kMax)
            first_ = 0;
        record.Assign(fn, form, data, words...);
        return record;
    }
    // Forgets every record and frees what they held (the chunks stay for the
    // records to come).
    void Clear();
    size_t Size() const { return count_; }
    std::vector<std::string> Lines() const;

private:
    static constexpr size_t kChunk = 1000;
    static_assert(kMax % kChunk == 0, "the ring ends at a chunk's end");

    std::vector<std::unique_ptr<Record[]>> chunks_;
    size_t count_ = 0;
    size_t first_ = 0;  // the oldest record once the journal is full
    // Where the next record goes (record count_ until the journal is full,
    // then first_), kept as its chunk and its place in the chunk.
    size_t writeChunk_ = 0;
    size_t writeSlot_ = 0;
};

}  // namespace detail
}  // namespace kvemu
