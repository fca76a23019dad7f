// Why a serial port could not be opened, told to the user in one line with the usual fix.
// Shared by romsend (its diagnostic log) and pageburn (standard error).
#pragma once

#include <string>
#include <string_view>

namespace kestrune {

enum class PortOpenProblem {
  kPermission,  // the user may not open the device node
  kBusy,        // another program holds the port
  kVanished,    // the device node is gone (unplugged, restarted)
  kNotSerial,   // the name is no terminal device
  kUnknown,     // opened fine when looked at again, or an unexpected error
};

// What a fresh open of the port found: the open's errno (0 when it opened), whether the opened
// file is a terminal and whether its exclusive lock was refused.
PortOpenProblem ClassifyPortOpen(int openError, bool isTerminal, bool lockRefused);

// Opens `devicePath` once more (and closes it at once) to find out why an open failed.
// `error` receives the errno behind the answer, 0 when none.
PortOpenProblem DiagnosePortOpen(const std::string& devicePath, int& error);

// One line, ending in '\n', with the reason and what usually mends it. `notSerialHint` is the
// program's own advice for a name that is no serial device (which port to name instead).
std::string PortOpenProblemText(PortOpenProblem problem, const std::string& devicePath, int error,
                                std::string_view notSerialHint);

// DiagnosePortOpen and PortOpenProblemText in one: the reason line for a port that did not open.
std::string PortOpenProblemLine(const std::string& devicePath, std::string_view notSerialHint);

}  // namespace kestrune
