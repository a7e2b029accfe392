// A plug-in with board "b0" on the emulated board at PCI 0:0, and what the emulator shows of it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kvemu.h"
#include "oam/oamsupervisor.h"

namespace kvtest {

// Resets the emulator, WBLOAD the shipped files, Init, creates "b0"; its handle (0 when any step failed).
uint64_t InitWithBoard(const char* product = "KV 7400C-48");
// Resets the emulator with boards in slots 0 to boards-1 of bus 0, WBLOAD the shipped files, no alerts.
bool FreshEmulator(unsigned boards = 1);
uint32_t CreateAt(unsigned slot, const char* product = "KV 7400C-48");
unsigned OpenOnBoards(unsigned boards);
std::string Keyword(uint64_t handle, const char* name);
uint64_t Handle(const std::string& board);
// An alert record for the board through AlertReceive; one header field can be overridden to damage it.
uint32_t SendAlert(uint32_t code, const std::string& source, uint32_t oam_msg_tag::*field = nullptr,
                   uint32_t value = 0);
enum Severity { kInform = 0, kWarning = 1, kError = 2 };
// Texts of the plug-in's messages of that severity (any severity when severity < 0).
std::vector<std::string> Messages(int severity);
bool WaitFor(const std::function<bool()>& done, unsigned timeoutMs = 10000);

uint8_t Register(uint32_t address);
kvemu::BoardInfo Info(unsigned slot = 0);
unsigned OpenHandles();  // of Info()
kvemu::DspState Dsp();
// The driver call named on a journal line ("0:0 NAME ARGS = STATUS").
std::string CallOf(const std::string& line);
size_t Journaled(const std::string& fragment);
using Texts = std::vector<std::string>;
// The journal's calls of that name ("NAME ARGS = STATUS", every call when the name is empty).
Texts Calls(const std::string& name = "");

// Standard output goes nowhere while it lives: failing driver calls make the plug-in print.
class Silence {
public:
    Silence();
    ~Silence();
    Silence(const Silence&) = delete;
    Silence& operator=(const Silence&) = delete;

private:
    int m_Saved;
};

}  // namespace kvtest
