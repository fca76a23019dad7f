// SPDX-License-Identifier: MIT
// The line every simulator serves: the master side of a raw pseudo-terminal plus a wake-up pipe
// that ends the serving thread's poll() early. Shared so that each simulator opens and closes
// its line the same way.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <time.h>

namespace kestrune::sim {

// How much a simulator reads from its pty in one call.
constexpr size_t kPtyReadChunk = 4096;

struct PtyLine {
  int master = -1;     // non-blocking, close-on-exec; raw mode, so bytes pass unchanged
  int slave = -1;      // kept open by the simulator so the line stays up while no client has it
  int wakeRead = -1;   // non-blocking read end of the wake-up pipe
  int wakeWrite = -1;  // non-blocking write end; one byte ends a poll() on wakeRead
  std::string slavePath;
};

// Opens the pty and the pipe into `line`. On failure returns the reason, closes whatever it had
// opened and leaves `line` untouched.
std::optional<std::string> OpenPtyLine(PtyLine& line);

// Closes a descriptor if it is open and marks it closed.
void CloseFd(int& fd);

// Closes the line's four descriptors (whichever are open); the slave path stays.
void ClosePtyLine(PtyLine& line);

// Writes one byte to a wake-up pipe. A full pipe already holds a wake-up, so a failed write
// loses nothing.
void WakeUp(int wakeWrite);

// Reads a wake-up pipe empty.
void DrainWakeUps(int wakeRead);

// The relative timeout that ppoll() needs to wake at `deadline` (zero once it has passed).
timespec TimeoutUntil(std::chrono::steady_clock::time_point deadline);

// A simulator served by one thread on its own PtyLine: started once, stopped promptly whatever
// the client does, and woken early when a switch changes. The simulator supplies Run(), which
// serves the line until `stopping_` is set, and calls Stop() in its own destructor.
class PtyService {
 public:
  PtyService(const PtyService&) = delete;
  PtyService& operator=(const PtyService&) = delete;

  // Creates the pty (raw mode, so bytes pass unchanged) and starts the serving thread. Returns
  // false when the pty, pipe or thread cannot be made (LastError says why; nothing is left
  // open) or when it was started before: a simulator runs once (a failed Start may be
  // retried). Does not block.
  bool Start();
  // Path of the slave side (e.g. /dev/pts/7); empty before a successful Start. Fixed after it.
  const std::string& SlavePath() const { return pty_.slavePath; }
  // Ends the serving thread and closes the pty. Returns promptly. Safe to call twice and
  // without Start.
  void Stop();
  std::string LastError() const;

 protected:
  // `what` names the simulator in LastError ("unit", "monitor").
  explicit PtyService(const char* what) : what_(what) {}
  virtual ~PtyService() = default;

  virtual void Run() = 0;
  // Makes the serving thread look at its switches again.
  void Nudge();

  // What a wait on the line ended with.
  struct LineEvents {
    bool stop = false;      // Stop was called, or the thread cannot wait any more
    bool writable = false;  // room again in the client's input queue
    bool readable = false;  // input, or the line broke (a read then tells)
  };
  // The serving thread's one wait: on the master side (for input, and for room to write when
  // `blocked`) and the wake-up pipe, until `wake` or, without one, until something happens.
  // After a hang-up (master closed) only the wake-up pipe is watched.
  LineEvents WaitOnLine(std::optional<std::chrono::steady_clock::time_point> wake, bool blocked);

  std::atomic<bool> stopping_{false};
  PtyLine pty_;               // the pty and the wake-up pipe that ends the thread's poll() early
  mutable std::mutex mutex_;  // guards the simulator's switches and recording, and lastError_

 private:
  const char* what_;
  std::thread thread_;
  std::string lastError_;
  bool started_ = false;
};

}  // namespace kestrune::sim
