// SPDX-License-Identifier: MIT
// Key press on a POSIX terminal (non-canonical, no echo, one byte) and the stop signals.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "platform/console_key.h"

namespace kestrune {
namespace {

volatile sig_atomic_t caughtSignal = 0;

// A wait for the key checks for a stop signal this often: the signal may be delivered to
// another thread, so the read cannot rely on being interrupted.
constexpr int kKeyPollMs = 100;

extern "C" void RecordStopSignal(int signal) {
  if (caughtSignal == 0) caughtSignal = signal;
}

}  // namespace

bool StandardInputIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = RecordStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocked call returns, so the caller gets to look at the flag.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

int CaughtStopSignal() {
  return caughtSignal;
}

bool WaitForKeyPress() {
  termios saved{};
  if (!StandardInputIsTerminal() || tcgetattr(STDIN_FILENO, &saved) != 0) return false;
  termios raw = saved;
  // ISIG off as well: Ctrl-C arrives as a key, so the terminal is always put back.
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ECHONL | ISIG));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return false;
  bool key = false;
  while (CaughtStopSignal() == 0) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&p, 1, kKeyPollMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char byte;
    const ssize_t n = read(STDIN_FILENO, &byte, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    key = true;  // a key, or the terminal went away
    break;
  }
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  return key || CaughtStopSignal() == 0;
}

}  // namespace kestrune
