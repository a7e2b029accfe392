// The journal's records and their text.
#include "journal.h"

#include <cstring>

namespace kvemu {
namespace detail {

namespace {

const char* const kFunctionNames[kFunctionCount] = {
    "kvOpenByBusDeviceFunction",
    "kvClose",
    "kvSendMessage",
    "kvReceiveMessage",
    "kvGetMuxHandle",
    "kvGetHmicHandle",
    "BoardSetLogicalNumber",
    "BoardEEPROMGetData",
    "BoardDspReset",
    "BoardDspStart",
    "BoardFlashLedOn",
    "BoardFlashLedOff",
    "BoardDspDownload",
    "BoardStartHeartBeat",
    "BoardStopHeartBeat",
    "BoardStartMonitoring",
    "BoardStopMonitoring",
    "BoardReadByte",
    "BoardWriteByte",
    "BoardLoadL2PTable",
    "BoardGetPhysicalSlot",
    "BoardGetDriverVersion",
    "LineConfigureSingle",
    "LineConfigureMultiple",
    "LineSetGxZeroValues",
    "LineSetGrZeroValues",
    "hmic_init",
    "hmic_id_device_type",
    "hmic_set_master_reg",
    "hmic_set_control_reg",
    "hmic_read_control_reg",
    "hmic_config_connect_mode",
    "hmic_config_HBus_speed",
    "hmic_config_LBus_speed",
    "hmic_reset_switch",
    "hmic_set_output",
    "open",
    "ioctl",
    "close",
};

void AppendUnsigned(std::string& out, uint64_t value) {
    char digits[20];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) out += digits[--n];
}

void AppendSigned(std::string& out, int32_t value) {
    if (value < 0) {
        out += '-';
        AppendUnsigned(out, static_cast<uint64_t>(-static_cast<int64_t>(value)));
    } else {
        AppendUnsigned(out, static_cast<uint64_t>(value));
    }
}

void AppendHex(std::string& out, uint32_t value) {
    static const char kDigits[] = "0123456789abcdef";
    char digits[8];
    size_t n = 0;
    do {
        digits[n++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    out += "0x";
    while (n > 0) out += digits[--n];
}

}  // namespace

const char* FunctionName(Fn fn) { return kFunctionNames[static_cast<size_t>(fn)]; }

bool FindFunction(const char* name, Fn* fn) {
    if (name == nullptr) return false;
    for (size_t i = 0; i < kFunctionCount; ++i)
        if (std::strcmp(kFunctionNames[i], name) == 0) {
            *fn = static_cast<Fn>(i);
            return true;
        }
    return false;
}

// ---- Record ------------------------------------------------------------------

// Data that outgrows the record (or adds to data that did) goes to large_.
Record& Record::AddLargeData(const void* data, size_t size) {
    if (size == 0) return *this;
    size_t total = size_ + size;
    if (total > kInline) {
        if (total > capacity_) {
            size_t capacity =
                total < 2 * static_cast<size_t>(capacity_) ? 2 * static_cast<size_t>(capacity_) : total;
            std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
            std::memcpy(grown.get(), Data(), size_);
            large_ = std::move(grown);
            capacity_ = static_cast<uint32_t>(capacity);
        } else if (size_ <= kInline) {
            std::memcpy(large_.get(), inline_, size_);
        }
    }
    std::memcpy((total > kInline ? large_.get() : inline_) + size_, data, size);
    size_ = static_cast<uint32_t>(total);
    return *this;
}

std::string Record::Text() const {
    std::string line;
    line.reserve(64);
    if (located_) {
        AppendUnsigned(line, bus_);
        line += ':';
        AppendUnsigned(line, slot_);
        line += ' ';
    } else {
        line += "?:? ";
    }
    line += FunctionName(fn_);

    const uint8_t* data = Data();
    size_t word = 0, at = 0;
    bool statusShown = false, inResult = false, resultStarted = false;
    auto next = [&]() -> uint32_t { return word < wordCount_ ? words_[word++] : 0; };
    // Each field opens with its separator: a space, or " -> " for the result's first.
    auto field = [&]() {
        if (inResult && !resultStarted) {
            line += " -> ";
            resultStarted = true;
        } else {
            line += ' ';
        }
    };
    auto status = [&]() {
        line += " = ";
        if (signed_)
            AppendSigned(line, static_cast<int32_t>(status_));
        else
            AppendUnsigned(line, status_);
        statusShown = true;
    };
    // The next n elements of size bytes each, as far as the data holds them.
    auto count = [&](size_t size) -> size_t {
        size_t n = next();
        size_t left = (size_ - at) / size;
        return n < left ? n : left;
    };
    for (const char* f = form_; *f != '\0'; ++f) {
        switch (*f) {
        case 'u':
            field();
            AppendUnsigned(line, next());
            break;
        case 'd':
            field();
            AppendSigned(line, static_cast<int32_t>(next()));
            break;
        case 'x':
            field();
            AppendHex(line, next());
            break;
        case 'l': {
            uint64_t low = next();
            uint64_t high = next();
            field();
            AppendUnsigned(line, low | high << 32);
            break;
        }
        case 'b':
            for (size_t i = 0, n = count(1); i < n; ++i, ++at) {
                field();
                AppendHex(line, data[at]);
            }
            break;
        case 'w':
            for (size_t i = 0, n = count(2); i < n; ++i, at += 2) {
                uint16_t value;
                std::memcpy(&value, data + at, 2);
                field();
                AppendHex(line, value);
            }
            break;
        case 'n':
        case 'i':
            for (size_t i = 0, n = count(4); i < n; ++i, at += 4) {
                uint32_t value;
                std::memcpy(&value, data + at, 4);
                field();
                if (*f == 'n')
                    AppendUnsigned(line, value);
                else
                    AppendSigned(line, static_cast<int32_t>(value));
            }
            break;
        case 's': {
            size_t n = count(1);
            field();
            line.append(reinterpret_cast<const char*>(data + at), n);
            at += n;
            break;
        }
        case '=':
            status();
            inResult = true;
            break;
        default: break;
        }
    }
    if (!statusShown) status();
    return line;
}

// ---- Journal -----------------------------------------------------------------

void Journal::Clear() {
    for (size_t i = 0; i < count_; ++i) chunks_[i / kChunk][i % kChunk].Release();
    count_ = 0;
    first_ = 0;
    writeChunk_ = 0;
    writeSlot_ = 0;
}

std::vector<std::string> Journal::Lines() const {
    std::vector<std::string> lines;
    lines.reserve(count_);
    for (size_t i = 0; i < count_; ++i) {
        size_t index = (first_ + i) % count_;
        lines.push_back(chunks_[index / kChunk][index % kChunk].Text());
    }
    return lines;
}

}  // namespace detail
}  // namespace kvemu
