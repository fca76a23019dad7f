// SPDX-License-Identifier: MIT
// Looking at a port again after its open failed, without disturbing whoever holds it.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "serial/port_open_problem.h"

namespace kestrune {

PortOpenProblem DiagnosePortOpen(const std::string& devicePath, int& error) {
  error = 0;
  const int fd = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return ClassifyPortOpen(error, false, false);
  }
  const bool terminal = isatty(fd) == 1;
  bool refused = false;
  if (terminal) {
    // Only a try: an exclusive lock that succeeds is dropped again by close.
    refused = flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (refused) error = errno;
  }
  close(fd);
  return ClassifyPortOpen(0, terminal, refused);
}

}  // namespace kestrune
