// SPDX-License-Identifier: MIT
// A private JACK server for tests and benchmarks that need a real MIDI system: jackd with the
// dummy backend (no sound hardware), under a name of its own so that parallel runs and a
// user's server do not meet. Clients reach it through JACK_DEFAULT_SERVER.
#pragma once

#include <sys/types.h>

#include <string>

namespace kestrune::sim {

class JackServer {
 public:
  JackServer() = default;
  ~JackServer();  // Stop()
  JackServer(const JackServer&) = delete;
  JackServer& operator=(const JackServer&) = delete;

  // Whether jackd and jack_wait can be found on PATH.
  static bool Installed();

  // Starts `jackd --no-realtime -n <name> -d dummy -p <period>` and waits up to 10 s until
  // clients can connect. False (and `why` says what failed) when it did not come up; then
  // nothing is left running. Its output goes to /dev/null.
  bool Start(std::string* why = nullptr, int period = 256);
  // Ends the server (SIGTERM, after 5 s SIGKILL) and waits for it. Safe twice.
  void Stop();

  // The server's name, for JACK_DEFAULT_SERVER; empty before Start.
  const std::string& Name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace kestrune::sim
