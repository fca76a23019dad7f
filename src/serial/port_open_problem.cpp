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

std::string PortOpenProblemLine(const std::string& devicePath, std::string_view notSerialHint) {
  int error = 0;
  const PortOpenProblem problem = DiagnosePortOpen(devicePath, error);
  return PortOpenProblemText(problem, devicePath, error, notSerialHint);
}

}  // namespace kestrune
