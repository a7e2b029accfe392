// A plug-in with one board on the emulated board at PCI 0:0, as the tests
// drive it through the entry points, and what the emulator shows of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kvemu.h"

namespace kvtest {

// Resets the emulator, points WBLOAD at the shipped files, calls Init and
// creates board "b0" of the product; answers the board's object handle for
// the keyword entry points (0 when any step failed).
uint64_t InitWithBoard(const char* product = "KV 7400C-48");
// A keyword's value through GetKeyword, "<missing>" when it cannot be read.
std::string Keyword(uint64_t handle, const char* name);

// The emulated board at 0:0.
uint8_t Register(uint32_t address);
kvemu::BoardInfo Info();
kvemu::DspState Dsp();
// The driver call named on a journal line ("0:0 NAME ARGS = STATUS").
std::string CallOf(const std::string& line);
// Journal lines that contain the fragment.
size_t Journaled(const std::string& fragment);

}  // namespace kvtest
