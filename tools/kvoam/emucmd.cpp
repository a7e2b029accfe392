// kvoam's "emu" commands: control of the emulated boards through kvemu.h.
#include "emucmd.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "json.h"
#include "kvemu.h"
#include "printf.h"

namespace {

const char kHelp[] =
    "emu board BUS SLOT                      add an emulated board\n"
    "emu reg BUS SLOT ADDR [BYTE]            read or write a register byte\n"
    "emu fail FUNCTION STATUS [NTH]          fail the NTH call from now (1 = next), or every call;\n"
    "                                        STATUS 0 removes the faults; ioctl takes an errno\n"
    "emu journal [clear]                     print or clear the journal of driver calls\n"
    "emu journal save FILE                   write the journal to FILE, one call a line\n"
    "emu journal compare FILE                compare the journal with FILE; fails at the first difference\n"
    "emu journal wait TEXT [MS]              wait until a journal line holds TEXT (at most MS, 10000)\n"
    "emu l2p BUS SLOT STREAM TIMESLOT        one entry of the loaded logical-to-physical table\n"
    "emu l2p BUS SLOT [--grid]               the station map: its mapped entries, or a grid of them\n"
    "emu connections BUS SLOT [--grid]       the switch device's connection map, or a grid of it\n"
    "emu port BUS SLOT PORT                  what the port's line circuit was given\n"
    "emu dsp BUS SLOT                        the DSP's state\n"
    "emu temp BUS SLOT SENSOR DEGREES        set a sensor's temperature\n"
    "emu reason BUS SLOT CODE REASON         answer a DSP command code with a reason (0 removes it)\n"
    "emu heartbeat BUS SLOT lost|returned    send a heartbeat message\n"
    "emu status BUS SLOT P1 P2 P3 P4 P5 P6 P7 P8   send a status event with these words\n"
    "emu dspmsg BUS SLOT TYPE LENGTH [PARAM...]    send any DSP message (at most 32 parameters)\n"
    "emu message BUS SLOT MANAGER            send a message from another source\n";

using kvoam::Json;
using kvoam::JsonText;
using kvoam::Printf;

bool (*g_Pause)(unsigned ms) = nullptr;

// A number in decimal or 0x-hex, whole word, within max.
bool ParseNumber(const std::string& word, uint64_t max, uint64_t* value) {
    if (word.empty() || word[0] == '-' || word[0] == '+' || word[0] == ' ') return false;
    const char* text = word.c_str();
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (!std::isxdigit(static_cast<unsigned char>(text[0]))) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, base);
    if (errno != 0 || end == text || *end != '\0' || v > max) return false;
    *value = v;
    return true;
}

// Like ParseNumber, with an optional leading '-'.
bool ParseSigned(const std::string& word, int64_t min, int64_t max, int64_t* value) {
    bool negative = !word.empty() && word[0] == '-';
    uint64_t magnitude;
    if (!ParseNumber(negative ? word.substr(1) : word, 0x80000000ull, &magnitude)) return false;
    int64_t v = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (v < min || v > max) return false;
    *value = v;
    return true;
}

// Timeslots a grid shows on one row; more go to further blocks below.
const unsigned kGridWidth = 64;

// One character for a stream in a grid cell: 0-9, then A-Z; '#' past 35.
char StreamDigit(unsigned stream) {
    return stream < 10   ? static_cast<char>('0' + stream)
           : stream < 36 ? static_cast<char>('A' + stream - 10)
                         : '#';
}

// The rows of a grid: a row per stream, a column per timeslot (0 to
// timeslots - 1, in blocks of kGridWidth under a two-line heading of the
// timeslots' tens and units), each cell one character.
std::vector<std::string> GridLines(const std::vector<unsigned>& streams, unsigned timeslots,
                                   const std::function<char(unsigned, unsigned)>& cell) {
    std::vector<std::string> lines;
    for (unsigned first = 0; first < timeslots; first += kGridWidth) {
        const unsigned last = std::min(timeslots, first + kGridWidth);
        std::string tens = "timeslot ", units = "  stream ";
        for (unsigned t = first; t < last; ++t) {
            tens += t % 10 == 0 || t == first ? std::to_string(t / 10 % 10)[0] : ' ';
            units += static_cast<char>('0' + t % 10);
        }
        lines.push_back(tens.substr(0, tens.find_last_not_of(' ') + 1));
        lines.push_back(units);
        for (unsigned stream : streams) {
            std::string row = Printf("%8u ", stream);
            for (unsigned t = first; t < last; ++t) row += cell(stream, t);
            lines.push_back(row);
        }
    }
    return lines;
}

class Command {
public:
    Command(const std::vector<std::string>& words, bool json, std::string& out, std::string& error)
        : words_(words), json_(json), out_(out), error_(error) {}

    int Run();

private:
    const std::vector<std::string>& words_;
    bool json_;
    std::string& out_;
    std::string& error_;
    unsigned bus_ = 0, slot_ = 0;

    int Fail(const std::string& message) {
        error_ = message;
        return 1;
    }
    int Usage(const char* usage) { return Fail(std::string("usage: emu ") + usage); }
    bool Number(size_t index, uint64_t max, uint64_t* value, const char* what) {
        if (index >= words_.size() || !ParseNumber(words_[index], max, value)) {
            error_ = Printf("emu %s: %s must be a number from 0 to %" PRIu64 " (decimal or 0x-hex)",
                            words_[0].c_str(), what, max);
            return false;
        }
        return true;
    }
    // Reads BUS SLOT at words 1 and 2 and checks that a board is there.
    bool Location() {
        uint64_t bus, slot;
        if (!Number(1, 255, &bus, "BUS") || !Number(2, 31, &slot, "SLOT")) return false;
        bus_ = static_cast<unsigned>(bus);
        slot_ = static_cast<unsigned>(slot);
        kvemu::BoardInfo info;
        if (kvemu::GetBoardInfo(bus_, slot_, &info) != 0) {
            error_ = Printf("emu %s: no emulated board at %u:%u", words_[0].c_str(), bus_, slot_);
            return false;
        }
        return true;
    }
    // An answer's object: what answers, the board's bus and slot, then members.
    Json Head(const char* what, const Json& members = Json::object()) const {
        Json head{{"emu", what}, {"bus", bus_}, {"slot", slot_}};
        head.update(members);
        return head;
    }
    void Line(const std::string& text) { out_ += text + "\n"; }
    void Line(const char* text) { Line(std::string(text)); }
    void Line(const Json& object) { out_ += JsonText(object) + "\n"; }

    int Board();
    int Reg();
    int Fault();
    int Journal();
    int JournalSave();
    int JournalCompare();
    int JournalWait();
    int L2p();
    int L2pMap(bool grid);
    int Connections();
    int ConnectionGrid(const std::vector<kvemu::Connection>& map);
    void ShowConnection(const kvemu::Connection& c);
    bool Grid(size_t at);
    int Port();
    int Dsp();
    int Temp();
    int Reason();
    int Heartbeat();
    int Status();
    int DspMsg();
    int Message();
};

int Command::Run() {
    if (words_.empty()) return Fail("emu: missing command (see help)");
    const std::string& verb = words_[0];
    if (verb == "board") return Board();
    if (verb == "reg") return Reg();
    if (verb == "fail") return Fault();
    if (verb == "journal") return Journal();
    if (verb == "l2p") return L2p();
    if (verb == "connections") return Connections();
    if (verb == "port") return Port();
    if (verb == "dsp") return Dsp();
    if (verb == "temp") return Temp();
    if (verb == "reason") return Reason();
    if (verb == "heartbeat") return Heartbeat();
    if (verb == "status") return Status();
    if (verb == "dspmsg") return DspMsg();
    if (verb == "message") return Message();
    return Fail("emu: unknown command '" + verb + "'");
}

int Command::Board() {
    if (words_.size() != 3) return Usage("board BUS SLOT");
    uint64_t bus, slot;
    if (!Number(1, 255, &bus, "BUS") || !Number(2, 31, &slot, "SLOT")) return 1;
    bus_ = static_cast<unsigned>(bus);
    slot_ = static_cast<unsigned>(slot);
    if (kvemu::AddBoard(bus_, slot_) != 0)
        return Fail(Printf("emu board: there is already a board at %u:%u", bus_, slot_));
    if (json_)
        Line(Head("board"));
    else
        Line(Printf("board added at %u:%u", bus_, slot_));
    return 0;
}

int Command::Reg() {
    if (words_.size() != 4 && words_.size() != 5) return Usage("reg BUS SLOT ADDR [BYTE]");
    uint64_t address, value = 0;
    if (!Location() || !Number(3, 0xFFFFFFFF, &address, "ADDR")) return 1;
    if (words_.size() == 5) {
        if (!Number(4, 0xFF, &value, "BYTE")) return 1;
        kvemu::WriteRegister(bus_, slot_, static_cast<uint32_t>(address), static_cast<uint8_t>(value));
    }
    uint8_t byte = 0;
    kvemu::ReadRegister(bus_, slot_, static_cast<uint32_t>(address), &byte);
    if (json_)
        Line(Head("reg", {{"address", Printf("0x%08" PRIx64, address)}, {"value", Printf("0x%02x", byte)}}));
    else
        Line(Printf("%u:%u 0x%08" PRIx64 " = 0x%02x", bus_, slot_, address, byte));
    return 0;
}

int Command::Fault() {
    if (words_.size() != 3 && words_.size() != 4) return Usage("fail FUNCTION STATUS [NTH]");
    const std::string& function = words_[1];
    if (!kvemu::KnownFunction(function.c_str())) return Fail("emu fail: unknown function '" + function + "'");
    uint64_t status, nth = 0;
    if (!Number(2, 0xFFFFFFFF, &status, "STATUS")) return 1;
    if (words_.size() == 4 && (!Number(3, 0xFFFFFFFF, &nth, "NTH") || nth == 0)) {
        if (error_.empty()) error_ = "emu fail: NTH counts from 1 (the next call)";
        return 1;
    }
    kvemu::SetFault(function.c_str(), static_cast<uint32_t>(status), static_cast<unsigned>(nth));
    if (json_) {
        Line(Json{{"emu", "fail"}, {"function", function}, {"status", status}, {"nth", nth}});
    } else if (status == 0) {
        Line("faults of " + function + " removed");
    } else if (nth == 0) {
        Line(Printf("%s fails with %" PRIu64 " on every call", function.c_str(), status));
    } else {
        Line(Printf("%s fails with %" PRIu64 " on call %" PRIu64 " from now", function.c_str(), status, nth));
    }
    return 0;
}

int Command::Journal() {
    if (words_.size() >= 2 && words_[1] == "save") return JournalSave();
    if (words_.size() >= 2 && words_[1] == "compare") return JournalCompare();
    if (words_.size() >= 2 && words_[1] == "wait") return JournalWait();
    if (words_.size() == 2 && words_[1] == "clear") {
        kvemu::ClearJournal();
        if (json_)
            Line(Json{{"emu", "journal"}, {"cleared", true}});
        else
            Line("journal cleared");
        return 0;
    }
    if (words_.size() != 1) return Usage("journal [clear | save FILE | compare FILE | wait TEXT [MS]]");
    for (const std::string& line : kvemu::Journal()) {
        if (json_)
            Line(Json{{"journal", line}});
        else
            Line(line);
    }
    return 0;
}

int Command::JournalSave() {
    if (words_.size() != 3) return Usage("journal save FILE");
    const std::string& path = words_[2];
    std::vector<std::string> journal = kvemu::Journal();
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (const std::string& line : journal) file << line << '\n';
    file.close();
    if (!file) return Fail(Printf("emu journal save: cannot write '%s'", path.c_str()));
    if (json_)
        Line(Json{{"emu", "journal"}, {"saved", path}, {"lines", journal.size()}});
    else
        Line(Printf("journal saved to %s (%zu lines)", path.c_str(), journal.size()));
    return 0;
}

// The first line that differs is shown with its number, what the file holds
// there and what the journal holds; a missing line reads as "(end)".
int Command::JournalCompare() {
    if (words_.size() != 3) return Usage("journal compare FILE");
    const std::string& path = words_[2];
    std::ifstream file(path, std::ios::binary);
    if (!file) return Fail(Printf("emu journal compare: cannot read '%s'", path.c_str()));
    std::vector<std::string> expected;
    for (std::string line; std::getline(file, line);) expected.push_back(line);
    std::vector<std::string> got = kvemu::Journal();
    size_t n = 0;
    while (n < expected.size() && n < got.size() && expected[n] == got[n]) ++n;
    if (n == expected.size() && n == got.size()) {
        if (json_)
            Line(Json{{"emu", "journal"}, {"compared", path}, {"lines", n}, {"same", true}});
        else
            Line(Printf("journal matches %s (%zu lines)", path.c_str(), n));
        return 0;
    }
    const std::string want = n < expected.size() ? expected[n] : "(end)";
    const std::string have = n < got.size() ? got[n] : "(end)";
    if (json_) {
        Line(Json{{"emu", "journal"},
                  {"compared", path},
                  {"same", false},
                  {"line", n + 1},
                  {"expected", want},
                  {"got", have}});
    } else {
        Line(Printf("line %zu:", n + 1));
        Line("  expected: " + want);
        Line("  got:      " + have);
    }
    return Fail(
        Printf("emu journal compare: the journal differs from '%s' at line %zu", path.c_str(), n + 1));
}

// Waits on the journal itself (looked at every millisecond), not for a fixed
// time; the pause between looks ends the wait when the command is interrupted.
int Command::JournalWait() {
    if (words_.size() != 3 && words_.size() != 4) return Usage("journal wait TEXT [MS]");
    uint64_t ms = 10000;
    if (words_.size() == 4 && !Number(3, 3600000, &ms, "MS")) return 1;
    const std::string& text = words_[2];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        for (const std::string& line : kvemu::Journal()) {
            if (line.find(text) != std::string::npos) {
                if (json_)
                    Line(Json{{"emu", "journal"}, {"found", line}});
                else
                    Line("journal: " + line);
                return 0;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return Fail(Printf("emu journal wait: no journal line holds '%s' after %" PRIu64 " ms",
                               text.c_str(), ms));
        if (g_Pause == nullptr)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        else if (!g_Pause(1))
            return Fail("emu journal wait: interrupted");
    }
}

// Whether the word at at is "--grid", the last word; a word there that is
// not is a usage error of the caller's.
bool Command::Grid(size_t at) { return words_.size() == at + 1 && words_[at] == "--grid"; }

int Command::L2p() {
    if (words_.size() == 3 || Grid(3)) return L2pMap(Grid(3));
    if (words_.size() != 5) return Usage("l2p BUS SLOT STREAM TIMESLOT | l2p BUS SLOT [--grid]");
    uint64_t stream, timeslot;
    if (!Location() || !Number(3, 7, &stream, "STREAM") || !Number(4, 63, &timeslot, "TIMESLOT")) return 1;
    uint16_t value = 0xFFFF;
    kvemu::GetL2PEntry(bus_, slot_, static_cast<unsigned>(stream), static_cast<unsigned>(timeslot), &value);
    if (json_)
        Line(Head("l2p", {{"stream", stream}, {"timeslot", timeslot}, {"value", Printf("0x%04x", value)}}));
    else
        Line(Printf("%u:%u l2p %" PRIu64 ":%" PRIu64 " = 0x%04x%s", bus_, slot_, stream, timeslot, value,
                    kvemu::L2PLoaded(bus_, slot_) ? "" : " (no table loaded)"));
    return 0;
}

// The station map: the table's 8 logical streams by 64 logical timeslots.
// The list shows each mapped entry; the grid the physical stream of each.
int Command::L2pMap(bool grid) {
    if (!Location()) return 1;
    const unsigned kStreams = 8, kTimeslots = 64;
    uint16_t table[kStreams][kTimeslots];
    unsigned mapped = 0;
    for (unsigned stream = 0; stream < kStreams; ++stream) {
        for (unsigned t = 0; t < kTimeslots; ++t) {
            table[stream][t] = 0xFFFF;
            kvemu::GetL2PEntry(bus_, slot_, stream, t, &table[stream][t]);
            mapped += table[stream][t] != 0xFFFF ? 1 : 0;
        }
    }
    if (grid) {
        std::vector<std::string> lines =
            GridLines({0, 1, 2, 3, 4, 5, 6, 7}, kTimeslots, [&](unsigned s, unsigned t) {
                return table[s][t] == 0xFFFF ? '.' : StreamDigit(table[s][t] >> 8);
            });
        for (size_t i = 0; i < lines.size(); ++i) {
            if (!json_)
                Line(lines[i]);
            else if (i >= 2)
                Line(Head("l2p", {{"stream", i - 2}, {"grid", lines[i].substr(9)}}));
        }
        if (!json_) Line("cell: the physical stream the logical one is mapped to; '.' unmapped");
    } else {
        for (unsigned stream = 0; stream < kStreams; ++stream) {
            for (unsigned t = 0; t < kTimeslots; ++t) {
                if (table[stream][t] == 0xFFFF) continue;
                if (json_)
                    Line(Head("l2p", {{"stream", stream},
                                      {"timeslot", t},
                                      {"value", Printf("0x%04x", table[stream][t])}}));
                else
                    Line(Printf("%u:%u l2p %u:%u = 0x%04x", bus_, slot_, stream, t, table[stream][t]));
            }
        }
    }
    if (!json_)
        Line(Printf("%u:%u %u entries mapped%s", bus_, slot_, mapped,
                    kvemu::L2PLoaded(bus_, slot_) ? "" : " (no table loaded)"));
    return 0;
}

int Command::Connections() {
    if (words_.size() != 3 && !Grid(3)) return Usage("connections BUS SLOT [--grid]");
    if (!Location()) return 1;
    std::vector<kvemu::Connection> map;
    kvemu::GetConnections(bus_, slot_, &map);
    if (Grid(3)) return ConnectionGrid(map);
    for (const kvemu::Connection& c : map) ShowConnection(c);
    if (!json_) Line(Printf("%u:%u %zu connection(s)", bus_, slot_, map.size()));
    return 0;
}

// One connection, output <- source.
void Command::ShowConnection(const kvemu::Connection& c) {
    if (json_)
        Line(Head("connection", {{"outStream", c.outStream},
                                 {"outSlot", c.outSlot},
                                 {"srcStream", c.srcStream},
                                 {"srcSlot", c.srcSlot}}));
    else
        Line(Printf("output %u:%u <- source %u:%u", c.outStream, c.outSlot, c.srcStream, c.srcSlot));
}

// The connection map as a grid: a row per output stream that has a
// connection, a column per timeslot up to the highest connected. Each cell
// holds the source stream when the source is the output's own timeslot, '*'
// when it is another (those connections are listed under the grid), '.'
// when the output has none. A later connection of an output replaces the
// earlier one.
int Command::ConnectionGrid(const std::vector<kvemu::Connection>& map) {
    std::map<std::pair<unsigned, unsigned>, const kvemu::Connection*> cells;
    std::vector<unsigned> streams;
    unsigned timeslots = 0;
    for (const kvemu::Connection& c : map) {
        cells[{c.outStream, c.outSlot}] = &c;
        if (std::find(streams.begin(), streams.end(), c.outStream) == streams.end())
            streams.push_back(c.outStream);
        timeslots = std::max(timeslots, c.outSlot + 1);
    }
    std::sort(streams.begin(), streams.end());
    std::vector<std::string> lines = GridLines(streams, timeslots, [&](unsigned s, unsigned t) {
        auto found = cells.find({s, t});
        if (found == cells.end()) return '.';
        return found->second->srcSlot == t ? StreamDigit(found->second->srcStream) : '*';
    });
    const size_t rows = streams.size() + 2;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!json_)
            Line(lines[i]);
        else if (i % rows >= 2)
            Line(Head("connections", {{"outStream", streams[i % rows - 2]},
                                      {"fromTimeslot", i / rows * kGridWidth},
                                      {"grid", lines[i].substr(9)}}));
    }
    if (!json_) Line("cell: the source stream, in the same timeslot; '*' another timeslot (below); '.' none");
    for (const auto& cell : cells) {
        const kvemu::Connection& c = *cell.second;
        if (c.srcSlot == c.outSlot) continue;
        ShowConnection(c);
    }
    if (!json_) Line(Printf("%u:%u %zu connection(s)", bus_, slot_, map.size()));
    return 0;
}

int Command::Port() {
    if (words_.size() != 4) return Usage("port BUS SLOT PORT");
    uint64_t port;
    if (!Location() || !Number(3, 47, &port, "PORT")) return 1;
    kvemu::PortInfo info;
    kvemu::GetPortInfo(bus_, slot_, static_cast<unsigned>(port), &info);
    auto bytes = [](const std::vector<uint8_t>& data) {
        std::string s;
        for (uint8_t b : data) s += (s.empty() ? "" : " ") + Printf("0x%02x", b);
        return s;
    };
    const Json head = Head("port", {{"port", port}});
    auto with = [&](const Json& members) {
        Json line = head;
        line.update(members);
        return line;
    };
    for (size_t i = 0; i < info.commands.size(); ++i) {
        if (json_)
            Line(with({{"command", i}, {"bytes", bytes(info.commands[i])}}));
        else
            Line(Printf("port %" PRIu64 " command %zu: ", port, i) + bytes(info.commands[i]));
    }
    if (json_) {
        Line(with({{"coefficientLoads", info.coefficientLoads}, {"coefficients", bytes(info.coefficients)}}));
        Line(with({{"gx", info.gxSet ? Json{info.gx[0], info.gx[1]} : Json()},
                   {"gr", info.grSet ? Json{info.gr[0], info.gr[1]} : Json()}}));
    } else {
        Line(Printf("port %" PRIu64 " coefficients (%u load(s), %zu bytes): ", port, info.coefficientLoads,
                    info.coefficients.size()) +
             bytes(info.coefficients));
        Line(Printf("port %" PRIu64 " gx ", port) +
             (info.gxSet ? Printf("%u %u", info.gx[0], info.gx[1]) : "not set") + " gr " +
             (info.grSet ? Printf("%u %u", info.gr[0], info.gr[1]) : "not set"));
    }
    return 0;
}

int Command::Dsp() {
    if (words_.size() != 3) return Usage("dsp BUS SLOT");
    if (!Location()) return 1;
    kvemu::DspState d;
    kvemu::GetDspState(bus_, slot_, &d);
    uint16_t status[8] = {};
    kvemu::GetStatusWords(bus_, slot_, status);
    std::string ring, commands, sensors;
    for (unsigned i = 0; i < 19; ++i) ring += Printf(i ? " %u" : "%u", d.ring[i]);
    for (size_t i = 0; i < d.commands.size(); ++i)
        commands += Printf(i ? " 0x%02x" : "0x%02x", d.commands[i]);
    if (json_) {
        Json sensors = Json::array();
        for (unsigned i = 0; i < 5; ++i) {
            const kvemu::DspState::Sensor& t = d.sensors[i];
            sensors.push_back(Json{{"sensor", i},
                                   {"configured", t.configured},
                                   {"running", t.running},
                                   {"warningLow", t.warningLow},
                                   {"warningHigh", t.warningHigh},
                                   {"protectionLow", t.protectionLow},
                                   {"protectionHigh", t.protectionHigh},
                                   {"temperature", t.temperature}});
        }
        Line(Head("dsp",
                  {{"running", d.running},
                   {"recognised", d.recognised},
                   {"bytesLoaded", d.bytesLoaded},
                   {"law", d.law},
                   {"monitoring", d.monitoring},
                   {"firmwareRevision", d.firmwareRevision},
                   {"mipsVersion", d.mipsVersion},
                   {"numberPorts", d.numberPorts},
                   {"cpuMeter", d.cpuMeter},
                   {"tokensAvailable", d.tokensAvailable},
                   {"thermalState", status[7]},
                   {"ring", d.ringConfigured ? Json(std::vector<unsigned>(d.ring, d.ring + 19)) : Json()},
                   {"sensors", sensors},
                   {"commands", d.commands}}));
        return 0;
    }
    static const char* const kLaw[] = {"not configured", "mu-law", "A-law"};
    static const char* const kThermal[] = {"Idle", "Normal", "Warning", "Protection"};
    Line(Printf("%u:%u DSP %s, image %s, %u bytes loaded", bus_, slot_, d.running ? "running" : "stopped",
                d.recognised ? "recognised" : "not recognised", d.bytesLoaded));
    Line(Printf("firmware revision 0x%04x, MIPS version %u, ports %u, CPU meter %u.%u, tokens %u",
                d.firmwareRevision, d.mipsVersion, d.numberPorts, d.cpuMeter / 10, d.cpuMeter % 10,
                d.tokensAvailable));
    Line(Printf("law %s, monitoring %s, thermal state %s",
                kLaw[d.law < 0    ? 0
                     : d.law == 0 ? 1
                                  : 2],
                d.monitoring ? "on" : "off", kThermal[status[7] > 3 ? 3 : status[7]]));
    Line("ring " + (d.ringConfigured ? ring : std::string("not configured")));
    for (unsigned i = 0; i < 5; ++i) {
        const kvemu::DspState::Sensor& t = d.sensors[i];
        Line(Printf("sensor %u: %d degrees, %s, %s, thresholds %u %u %u %u", i, t.temperature,
                    t.configured ? "configured" : "not configured", t.running ? "running" : "stopped",
                    t.warningLow, t.warningHigh, t.protectionLow, t.protectionHigh));
    }
    Line("commands " + (commands.empty() ? std::string("none") : commands));
    return 0;
}

int Command::Temp() {
    if (words_.size() != 5) return Usage("temp BUS SLOT SENSOR DEGREES");
    uint64_t sensor;
    int64_t degrees;
    if (!Location() || !Number(3, 4, &sensor, "SENSOR")) return 1;
    if (!ParseSigned(words_[4], -273, 1000, &degrees))
        return Fail("emu temp: DEGREES must be a number from -273 to 1000");
    kvemu::SetTemperature(bus_, slot_, static_cast<unsigned>(sensor), static_cast<int>(degrees));
    if (json_)
        Line(Head("temp", {{"sensor", sensor}, {"degrees", degrees}}));
    else
        Line(Printf("%u:%u sensor %" PRIu64 " at %" PRId64 " degrees", bus_, slot_, sensor, degrees));
    return 0;
}

int Command::Reason() {
    if (words_.size() != 5) return Usage("reason BUS SLOT CODE REASON");
    uint64_t code, reason;
    if (!Location() || !Number(3, 0xFFFF, &code, "CODE") || !Number(4, 0xFFFF, &reason, "REASON")) return 1;
    kvemu::SetDspReason(bus_, slot_, static_cast<uint16_t>(code), static_cast<uint16_t>(reason));
    if (json_)
        Line(Head("reason",
                  {{"code", Printf("0x%04" PRIx64, code)}, {"reason", Printf("0x%04" PRIx64, reason)}}));
    else if (reason == 0)
        Line(Printf("%u:%u DSP answers command 0x%04" PRIx64 " normally", bus_, slot_, code));
    else
        Line(Printf("%u:%u DSP answers command 0x%04" PRIx64 " with reason 0x%04" PRIx64, bus_, slot_, code,
                    reason));
    return 0;
}

int Command::Heartbeat() {
    if (words_.size() != 4 || (words_[3] != "lost" && words_[3] != "returned"))
        return Usage("heartbeat BUS SLOT lost|returned");
    if (!Location()) return 1;
    bool lost = words_[3] == "lost";
    kvemu::SendHeartbeat(bus_, slot_, lost);
    if (json_)
        Line(Head("heartbeat", {{"event", words_[3]}}));
    else
        Line(Printf("%u:%u heartbeat %s sent", bus_, slot_, words_[3].c_str()));
    return 0;
}

int Command::Status() {
    if (words_.size() != 11) return Usage("status BUS SLOT P1 P2 P3 P4 P5 P6 P7 P8");
    if (!Location()) return 1;
    uint16_t params[8];
    Json list = Json::array();
    for (unsigned i = 0; i < 8; ++i) {
        uint64_t v;
        if (!Number(3 + i, 0xFFFF, &v, "P")) return 1;
        params[i] = static_cast<uint16_t>(v);
        list.push_back(Printf("0x%04x", params[i]));
    }
    kvemu::SendStatus(bus_, slot_, params);
    if (json_)
        Line(Head("status", {{"params", list}}));
    else
        Line(Printf("%u:%u status event sent", bus_, slot_));
    return 0;
}

int Command::DspMsg() {
    if (words_.size() < 5 || words_.size() > 5 + 32)
        return Usage("dspmsg BUS SLOT TYPE LENGTH [PARAM...] (at most 32)");
    uint64_t type, length;
    if (!Location() || !Number(3, 0xFFFF, &type, "TYPE") || !Number(4, 0xFFFF, &length, "LENGTH")) return 1;
    std::vector<uint16_t> params;
    Json list = Json::array();
    for (size_t i = 5; i < words_.size(); ++i) {
        uint64_t v;
        if (!Number(i, 0xFFFF, &v, "PARAM")) return 1;
        params.push_back(static_cast<uint16_t>(v));
        list.push_back(Printf("0x%04x", params.back()));
    }
    kvemu::SendDspMessage(bus_, slot_, static_cast<uint16_t>(type), static_cast<uint16_t>(length), params);
    if (json_)
        Line(Head("dspmsg", {{"type", Printf("0x%04" PRIx64, type)}, {"length", length}, {"params", list}}));
    else
        Line(Printf("%u:%u DSP message type 0x%04" PRIx64 " sent", bus_, slot_, type));
    return 0;
}

int Command::Message() {
    if (words_.size() != 4) return Usage("message BUS SLOT MANAGER");
    uint64_t manager;
    if (!Location() || !Number(3, 0xFFFFFFFF, &manager, "MANAGER")) return 1;
    kvemu::SendManagerMessage(bus_, slot_, static_cast<uint32_t>(manager));
    if (json_)
        Line(Head("message", {{"manager", manager}}));
    else
        Line(Printf("%u:%u message from manager %" PRIu64 " sent", bus_, slot_, manager));
    return 0;
}

}  // namespace

int RunEmuCommand(const std::vector<std::string>& words, bool json, std::string& out, std::string& error) {
    error.clear();
    Command command(words, json, out, error);
    int result = command.Run();
    if (result != 0 && error.empty()) error = "emu: command failed";
    return result;
}

const char* EmuCommandHelp() { return kHelp; }

void SetEmuPause(bool (*pause)(unsigned ms)) { g_Pause = pause; }
