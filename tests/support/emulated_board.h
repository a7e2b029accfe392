// A plug-in with one board on the emulated board at PCI 0:0, as the tests drive it through the entry points,
// and what the emulator shows of it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kvemu.h"
#include "oam/oamsupervisor.h"

namespace kvtest {

// Resets the emulator, points WBLOAD at the shipped files, calls Init and creates board "b0" of the product;
// answers the board's object handle for the keyword entry points (0 when any step failed).
uint64_t InitWithBoard(const char* product = "KV 7400C-48");
// A keyword's value through GetKeyword, "<missing>" when it cannot be read.
std::string Keyword(uint64_t handle, const char* name);
// The named board's object handle through the qualifier "Handle" (0 when there is none).
uint64_t Handle(const std::string& board);
// The supervisor's alert record for the named board through AlertReceive; one header field can be overridden
// to damage the record.
uint32_t SendAlert(uint32_t code, const std::string& source, uint32_t oam_msg_tag::*field = nullptr,
                   uint32_t value = 0);
// The severities of the plug-in's messages.
enum Severity { kInform = 0, kWarning = 1, kError = 2 };
// Texts of the plug-in's messages of that severity (any severity when severity < 0).
std::vector<std::string> Messages(int severity);
// Polls done every 2 ms until it holds; false after timeoutMs.
bool WaitFor(const std::function<bool()>& done, unsigned timeoutMs = 10000);

// The emulated board at 0:0.
uint8_t Register(uint32_t address);
kvemu::BoardInfo Info(unsigned slot = 0);
unsigned OpenHandles();  // of Info()
kvemu::DspState Dsp();
// The driver call named on a journal line ("0:0 NAME ARGS = STATUS").
std::string CallOf(const std::string& line);
// Journal lines that contain the fragment.
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
