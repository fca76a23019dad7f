// SPDX-License-Identifier: MIT
// A simulator program run as a second process, as the programs under test meet it: a pipe on
// its stdin (closing it ends the simulator) and one for its stdout and stderr together.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kestrune::sim::test {

class ChildProcess {
 public:
  // Starts `path` with `args`. Killed at destruction if it is still running.
  ChildProcess(const std::string& path, std::vector<std::string> args);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Output up to the first line end (or all of it with `line` false), waiting at most 5 s a byte.
  std::string Read(bool line);
  void CloseStdin();
  void Signal(int sig);
  // Exit status, or -1 when the process has not ended within 5 s or ended by a signal.
  int Exit();

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, out_ = -1;
};

}  // namespace kestrune::sim::test
