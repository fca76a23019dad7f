// SPDX-License-Identifier: MIT
// The classification of a failed port open and its texts.
#include "serial/port_open_problem.h"

#include <cerrno>
#include <cstring>

namespace kestrune {

PortOpenProblem ClassifyPortOpen(int openError, bool isTerminal, bool lockRefused) {
  switch (openError) {
    case 0:
      if (!isTerminal) return PortOpenProblem::kNotSerial;
      return lockRefused ? PortOpenProblem::kBusy : PortOpenProblem::kUnknown;
    case EACCES:
    case EPERM:
    case EROFS:
      return PortOpenProblem::kPermission;
    case EBUSY:  // held under TIOCEXCL
    case EWOULDBLOCK:
      return PortOpenProblem::kBusy;
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case EIO:
      return PortOpenProblem::kVanished;
    case ENOTDIR:
    case EISDIR:
    case ENOTTY:
      return PortOpenProblem::kNotSerial;
    default:
      return PortOpenProblem::kUnknown;
  }
}

std::string PortOpenProblemText(PortOpenProblem problem, const std::string& devicePath, int error,
                                std::string_view notSerialHint) {
  switch (problem) {
    case PortOpenProblem::kPermission:
      return devicePath +
             ": permission denied; add your user to the dialout group (then log in again) or install the udev "
             "rule 60-kestrune-update.rules\n";
    case PortOpenProblem::kBusy:
      return devicePath + ": the port is busy: another program holds it; close that program and try again\n";
    case PortOpenProblem::kVanished:
      return devicePath + ": the port has gone (device unplugged or restarted); reconnect it and try again\n";
    case PortOpenProblem::kNotSerial:
      return devicePath + ": not a serial device; " + std::string(notSerialHint) + "\n";
    case PortOpenProblem::kUnknown:
      break;
  }
  if (error != 0) return devicePath + ": " + std::strerror(error) + "; try again\n";
  return devicePath + ": the port could not be set up; try again\n";
}

PortOpenProblem PortOpenFailureProblem(const PortOpenFailure& f) {
  if (f.speed || f.frame || f.call.empty()) return PortOpenProblem::kUnknown;
  if (f.call == "isatty") return PortOpenProblem::kNotSerial;
  if (f.call == "flock") return PortOpenProblem::kBusy;
  return ClassifyPortOpen(f.error == 0 ? EIO : f.error, true, false);
}

std::string PortOpenFailureText(const PortOpenFailure& f, std::string_view notSerialHint) {
  if (f.speed) {
    std::string line = f.path + ": the port refuses the line speed of " + std::to_string(f.baud) + " baud";
    if (f.error != 0) line += std::string(" (") + std::strerror(f.error) + ")";
    return line + "; choose another speed in the settings\n";
  }
  if (f.frame)
    return f.path + ": the port cannot take " + std::to_string(f.bits) + " data bits, parity " +
           std::to_string(f.parity) + ", stop bits " + std::to_string(f.stop) + "; choose others in the settings\n";
  if (f.call == "isatty") return PortOpenProblemText(PortOpenProblem::kNotSerial, f.path, 0, notSerialHint);
  const PortOpenProblem problem = PortOpenFailureProblem(f);
  // The usual fix where one is known; the failed call and the errno's own words for the rest.
  if (problem != PortOpenProblem::kUnknown) return PortOpenProblemText(problem, f.path, f.error, notSerialHint);
  return f.path + ": " + f.call + ": " + std::strerror(f.error) + "; try again\n";
}

std::string PortOpenProblemLine(const std::string& devicePath, const PortOpenFailure& failure,
                                std::string_view notSerialHint) {
  if (devicePath.empty()) return "no serial port chosen; " + std::string(notSerialHint) + "\n";
  if (failure.path == devicePath && !failure.call.empty()) return PortOpenFailureText(failure, notSerialHint);
  return PortOpenProblemText(PortOpenProblem::kUnknown, devicePath, 0, notSerialHint);
}

}  // namespace kestrune
