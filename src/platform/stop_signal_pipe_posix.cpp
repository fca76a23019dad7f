// SPDX-License-Identifier: MIT
// The stop signal pipe over sigaction and pipe2.
#include "stop_signal_pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace kestrune {
namespace {

std::atomic<int> g_caught{0};
int g_pipe[2] = {-1, -1};

extern "C" void OnStopSignal(int signal) {
  const int saved = errno;
  int expected = 0;
  g_caught.compare_exchange_strong(expected, signal);
  const unsigned char byte = static_cast<unsigned char>(signal);
  // A full pipe already holds a byte that will be read; the signal is noted either way.
  if (g_pipe[1] >= 0 && write(g_pipe[1], &byte, 1) < 0) {
  }
  errno = saved;
}

}  // namespace

int FirstPipedStopSignal() {
  return g_caught.load();
}

StopSignalPipe::StopSignalPipe() {
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_pipe[0] = g_pipe[1] = -1;
    return;
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

StopSignalPipe::~StopSignalPipe() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  for (int& fd : g_pipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

bool StopSignalPipe::Installed() const {
  return g_pipe[0] >= 0;
}

int StopSignalPipe::ReadDescriptor() const {
  return g_pipe[0];
}

int StopSignalPipe::TakeSignal() {
  unsigned char byte = 0;
  if (g_pipe[0] >= 0 && read(g_pipe[0], &byte, 1) == 1) return byte;
  return 0;
}

}  // namespace kestrune
