// SPDX-License-Identifier: MIT
// Flag numbers and the end-of-run wait of the simulator programs.
#include "sim_program.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kestrune::sim {
namespace {

volatile sig_atomic_t g_signalled = 0;
void OnSignal(int) {
  g_signalled = 1;
}

}  // namespace

bool ParseInt(const std::string& text, long min, long max, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  value = v;
  return true;
}

EndSignals::EndSignals() {
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigprocmask(SIG_BLOCK, &block, &waitMask_);
  sigdelset(&waitMask_, SIGINT);
  sigdelset(&waitMask_, SIGTERM);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

void EndSignals::Wait(bool ignoreStdin) const {
  while (!g_signalled) {
    pollfd in{ignoreStdin ? -1 : STDIN_FILENO, POLLIN, 0};
    const int ready = ppoll(&in, 1, nullptr, &waitMask_);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (in.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[256];
      const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return;
    }
  }
}

}  // namespace kestrune::sim
