// SPDX-License-Identifier: MIT
// A program run as a child process by a test or a benchmark, as a user, a script or another
// program would run it: its arguments, environment, working folder and user, each standard
// stream from or to a pipe read here, /dev/null, a descriptor or a file, and every wait bounded.
//
// Threads: one object belongs to one thread. The child is started with fork and execve, with
// only async-signal-safe calls between them, so a test process with threads may start one.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kestrune::test {

struct ChildOptions {
  // Where a standard stream goes, besides a descriptor of the caller's (kept open by it).
  static constexpr int kNull = -1;   // /dev/null
  static constexpr int kPipe = -2;   // a pipe: output is read into Out()/Err(), input is
                                     // held open until CloseStdin (whose end the child sees)
  static constexpr int kMerge = -3;  // stderr only: into the stdout pipe

  std::string program{};
  std::vector<std::string> args{};
  std::vector<std::string> env{};  // NAME=value: the child's whole environment; empty: this process's
  std::string cwd{};               // empty: this process's working folder
  uid_t user = 0;                  // not 0: run as this user and group, with no supplementary groups
  int input = kNull;
  int output = kPipe;
  int errors = kPipe;
  std::string errorFile{};  // not empty: stderr written to this file (created or emptied)
  bool newSession = false;  // in a session of its own, so that a terminal can become its own
  int endSignal = SIGKILL;  // sent at destruction to a child still running
};

// A simulator program of tools/sim: its stdin a pipe whose closing ends it, its first line of
// stdout the port (or "ready"), its closing summary on stderr sent to `errors`.
inline ChildOptions SimulatorOptions(std::string program, std::vector<std::string> args,
                                     int errors = ChildOptions::kMerge) {
  return {.program = std::move(program), .args = std::move(args), .input = ChildOptions::kPipe, .errors = errors};
}

// How a finished run ended, with everything it printed.
struct ChildResult {
  int exit = -1;  // -1: ended by a signal, or killed at the time limit
  int signal = 0;
  bool timedOut = false;  // still running at the limit, so killed
  std::string out, err;
};

class ChildProcess {
 public:
  static constexpr int kRunning = -1000;  // Wait: still running at the limit
  // Bounds that only keep a hanging program from hanging the test.
  static constexpr int kWaitLimitMs = 30000;
  static constexpr int kFinishLimitMs = 60000;

  explicit ChildProcess(ChildOptions options);
  // `program` with `args`, stdin from /dev/null, stdout and stderr read apart.
  ChildProcess(std::string program, std::vector<std::string> args)
      : ChildProcess(ChildOptions{.program = std::move(program), .args = std::move(args)}) {}
  // Closes stdin, sends a child still running options.endSignal and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // False when the program could not be started (no such file, not executable, bad folder).
  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // All read so far from the stdout and stderr pipes.
  const std::string& Out() const { return out_.text; }
  const std::string& Err() const { return err_.text; }

  // Reads output until `done` holds (checked at least every 20 ms) or `limitMs` passed; true
  // when it held. Returns early with `done()` once the child ended and its pipes are closed.
  bool WaitFor(const std::function<bool()>& done, int limitMs = kWaitLimitMs);
  // True once stdout holds `text` (within `limitMs`).
  bool Printed(const std::string& text, int limitMs = kWaitLimitMs) {
    return WaitFor([&] { return out_.text.find(text) != std::string::npos; }, limitMs);
  }
  // The next whole line of stdout, without its end; "" when none comes within `limitMs`.
  std::string ReadLine(int limitMs = kWaitLimitMs);
  // True while the child runs (checked without waiting).
  bool Running();
  // Waits for the child to end and its output to close: its exit status, -1 when a signal
  // ended it, or kRunning when it still runs at `limitMs` (it is left running).
  int Wait(int limitMs = kWaitLimitMs);
  // Wait, and kill (SIGKILL) a child still running at the limit.
  ChildResult Finish(int limitMs = kFinishLimitMs);
  void CloseStdin();
  void Kill(int signal);

 private:
  struct Pipe {
    int fd = -1;
    std::string text;
  };
  bool Reap();
  bool Pump(int ms);

  ChildOptions options_;
  pid_t pid_ = -1;
  int status_ = kRunning;
  int signal_ = 0;
  int stdin_ = -1;
  Pipe out_, err_;
  size_t lineFrom_ = 0;
};

}  // namespace kestrune::test
