// SPDX-License-Identifier: MIT
// Why a serial port could not be opened, told to the user in one line with the usual fix.
// Shared by romsend (its diagnostic log) and pageburn (standard error).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune {

// What a failed open (or line setting) of a port ran into, recorded at the failed call itself
// and handed back by the open (PublicSerialHandle::Open).
struct PortOpenFailure {
  std::string path;    // the device path as tried
  std::string call;    // the call that failed ("open", "tcgetattr", ...); empty: nothing recorded
  int error = 0;       // its errno; 0 for settings the port refused without one
  bool speed = false;  // the driver refused the line speed `baud`
  bool frame = false;  // the port cannot take `bits`, `parity`, `stop`
  uint32_t baud = 0;
  unsigned bits = 0, parity = 0, stop = 0;
};

// The line for a recorded failure, ending in '\n': the path, then what was refused or the
// errno's text, then the usual fix where there is one.
std::string PortOpenFailureText(const PortOpenFailure& failure, std::string_view notSerialHint);

enum class PortOpenProblem {
  kPermission,  // the user may not open the device node
  kBusy,        // another program holds the port
  kVanished,    // the device node is gone (unplugged, restarted)
  kNotSerial,   // the name is no terminal device
  kUnknown,     // opened fine when looked at again, or an unexpected error
};

// What an open of the port found: the open's errno (0 when it opened), whether the opened
// file is a terminal and whether its exclusive lock was refused.
PortOpenProblem ClassifyPortOpen(int openError, bool isTerminal, bool lockRefused);

// The reason behind a recorded failure, from the call that failed and its errno. Refused line
// settings (speed, frame) have lines of their own and count as kUnknown here.
PortOpenProblem PortOpenFailureProblem(const PortOpenFailure& failure);

// One line, ending in '\n', with the reason and what usually mends it. `notSerialHint` is the
// program's own advice for a name that is no serial device (which port to name instead).
std::string PortOpenProblemText(PortOpenProblem problem, const std::string& devicePath, int error,
                                std::string_view notSerialHint);

// The reason line for a port that did not open: the failure its open handed back for
// `devicePath` (the port is not opened again to guess); when that records none, the kUnknown
// line. An empty path says that no port was chosen.
std::string PortOpenProblemLine(const std::string& devicePath, const PortOpenFailure& failure,
                                std::string_view notSerialHint);

}  // namespace kestrune
