// The line every simulator serves: the master side of a raw pseudo-terminal plus a wake-up pipe
// that ends the serving thread's poll() early. Shared so that each simulator opens and closes
// its line the same way.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <time.h>

namespace kestrune::sim {

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

}  // namespace kestrune::sim
