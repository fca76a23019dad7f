// SPDX-License-Identifier: MIT
// SIGINT and SIGTERM handed from their signal handler to an event loop through a pipe, for a
// program whose user-interface thread watches the pipe (romsend).
#pragma once

namespace kestrune {

// Installs the handlers for its life; one at a time. The handler only notes the first signal
// and writes its number to a non-blocking pipe. Each handler fires once (a second signal of
// the same kind takes the system's default action); interrupted calls are restarted.
// Construct, use and destroy on one thread.
class StopSignalPipe {
 public:
  StopSignalPipe();
  // Puts back the default actions and closes the pipe.
  ~StopSignalPipe();
  StopSignalPipe(const StopSignalPipe&) = delete;
  StopSignalPipe& operator=(const StopSignalPipe&) = delete;

  // False when the pipe could not be made; no handler is installed then.
  bool Installed() const;
  // The descriptor that becomes readable when a signal came (for a socket notifier); -1
  // when not installed.
  int ReadDescriptor() const;
  // The number of the next signal waiting in the pipe, 0 when none is waiting.
  int TakeSignal();
};

// The first of SIGINT or SIGTERM that reached a StopSignalPipe's handler, or 0. Any thread.
int FirstPipedStopSignal();

}  // namespace kestrune
