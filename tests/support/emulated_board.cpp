#include "emulated_board.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "Supervisor.h"
#include "fake_supervisor.h"
#include "oam/boardplugin.h"

namespace kvtest {

uint64_t InitWithBoard(const char* product) {
    kvemu::Reset();
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    char handle[32] = {0};
    if (Init("") != 0 || CreateBoard("b0", product) != 0 ||
        GetQualifier(0, "b0", "Handle", handle, sizeof(handle)) != 0)
        return 0;
    return std::strtoull(handle, nullptr, 10);
}

bool FreshEmulator(unsigned boards) {
    kvemu::Reset();
    bool added = true;
    for (unsigned slot = 1; slot < boards; ++slot) added = kvemu::AddBoard(0, slot) == 0 && added;
    setenv("WBLOAD", KV_SHARE_DIR, 1);
    ClearAlerts();
    return added;
}

uint32_t CreateAt(unsigned slot, const char* product) {
    const std::string name = "b" + std::to_string(slot);
    const uint32_t rc = CreateBoard(name.c_str(), product);
    return rc != 0 ? rc : SetKeyword(Handle(name), "Location.PCI.Slot", std::to_string(slot).c_str());
}

unsigned OpenOnBoards(unsigned boards) {
    unsigned open = 0;
    for (unsigned slot = 0; slot < boards; ++slot) open += Info(slot).openHandles + Info(slot).openDevices;
    return open;
}

std::string Keyword(uint64_t handle, const char* name) {
    char value[256] = {0};
    return GetKeyword(handle, name, value, sizeof(value)) == 0 ? value : "<missing>";
}

uint64_t Handle(const std::string& board) {
    char text[32] = {0};
    return GetQualifier(0, board.c_str(), "Handle", text, sizeof(text)) == 0
               ? std::strtoull(text, nullptr, 10)
               : 0;
}

uint32_t SendAlert(uint32_t code, const std::string& source, uint32_t oam_msg_tag::*field, uint32_t value) {
    std::vector<uint8_t> bytes(sizeof(oam_msg_tag) + source.size() + 2, 0);
    oam_msg_tag* header = reinterpret_cast<oam_msg_tag*>(bytes.data());
    header->size = static_cast<uint32_t>(bytes.size());
    header->alert = code;
    header->source_offset = sizeof(oam_msg_tag);
    header->text_offset = static_cast<uint32_t>(sizeof(oam_msg_tag) + source.size() + 1);
    memcpy(bytes.data() + header->source_offset, source.c_str(), source.size() + 1);
    if (field != nullptr) header->*field = value;
    return AlertReceive(header);
}

std::vector<std::string> Messages(int severity) { return AlertTexts(KV_ALERT_MESSAGE, severity); }

bool WaitFor(const std::function<bool()>& done, unsigned timeoutMs) {
    for (unsigned waited = 0; waited < timeoutMs; waited += 2) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

uint8_t Register(uint32_t address) {
    uint8_t value = 0;
    kvemu::ReadRegister(0, 0, address, &value);
    return value;
}

kvemu::BoardInfo Info(unsigned slot) {
    kvemu::BoardInfo info{};
    kvemu::GetBoardInfo(0, slot, &info);
    return info;
}

unsigned OpenHandles() { return Info().openHandles; }

kvemu::DspState Dsp() {
    kvemu::DspState dsp;
    kvemu::GetDspState(0, 0, &dsp);
    return dsp;
}

std::string CallOf(const std::string& line) {
    size_t start = line.find(' ') + 1;
    return line.substr(start, line.find(' ', start) - start);
}

size_t Journaled(const std::string& fragment) {
    size_t count = 0;
    for (const std::string& line : kvemu::Journal()) count += line.find(fragment) != std::string::npos;
    return count;
}

Texts Calls(const std::string& name) {
    Texts calls;
    for (const std::string& line : kvemu::Journal())
        if (name.empty() || CallOf(line) == name) calls.push_back(line.substr(line.find(' ') + 1));
    return calls;
}

Silence::Silence() {
    fflush(stdout);
    m_Saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
}

Silence::~Silence() {
    fflush(stdout);
    dup2(m_Saved, STDOUT_FILENO);
    close(m_Saved);
}

}  // namespace kvtest
