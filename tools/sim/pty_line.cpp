// SPDX-License-Identifier: MIT
// Opening and closing the simulators' pty line and wake-up pipe.
#include "pty_line.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace kestrune::sim {
namespace {

bool SetFlags(int fd, bool nonBlocking) {
  const int fdFlags = fcntl(fd, F_GETFD);
  if (fdFlags < 0 || fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC) < 0) return false;
  if (!nonBlocking) return true;
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) >= 0;
}

std::string ErrnoText(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
}

}  // namespace

std::optional<std::string> OpenPtyLine(PtyLine& line) {
  termios raw{};
  cfmakeraw(&raw);
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) return ErrnoText("openpty", errno);
  char name[PATH_MAX] = {};
  int pipeFds[2] = {-1, -1};
  const char* failed = nullptr;
  if (!SetFlags(master, true) || !SetFlags(slave, false)) {
    failed = "fcntl";
  } else if (ttyname_r(slave, name, sizeof name) != 0) {
    failed = "ttyname_r";
  } else if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    failed = "pipe2";
  }
  if (failed) {
    const int err = errno;
    close(master);
    close(slave);
    return ErrnoText(failed, err);
  }
  line.master = master;
  line.slave = slave;
  line.wakeRead = pipeFds[0];
  line.wakeWrite = pipeFds[1];
  line.slavePath = name;
  return std::nullopt;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

void ClosePtyLine(PtyLine& line) {
  CloseFd(line.master);
  CloseFd(line.slave);
  CloseFd(line.wakeRead);
  CloseFd(line.wakeWrite);
}

void WakeUp(int wakeWrite) {
  if (wakeWrite < 0) return;
  const char b = 1;
  [[maybe_unused]] ssize_t n = write(wakeWrite, &b, 1);
}

void DrainWakeUps(int wakeRead) {
  char drain[64];
  while (read(wakeRead, drain, sizeof drain) > 0) {
  }
}

timespec TimeoutUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::max(std::chrono::steady_clock::duration::zero(), deadline - std::chrono::steady_clock::now());
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  timespec t{};
  t.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
  t.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  return t;
}

bool PtyService::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_) {
    lastError_ = std::string("the ") + what_ + " was started before";
    return false;
  }
  PtyLine pty;
  if (auto error = OpenPtyLine(pty)) {
    lastError_ = *error;
    return false;
  }
  pty_ = pty;
  stopping_ = false;
  try {
    thread_ = std::thread([this] { Run(); });
    started_ = true;
  } catch (const std::system_error& e) {
    lastError_ = std::string("thread: ") + e.what();
    ClosePtyLine(pty_);
    pty_.slavePath.clear();
    return false;
  }
  return true;
}

void PtyService::Stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    Nudge();
    thread_.join();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ClosePtyLine(pty_);
}

std::string PtyService::LastError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastError_;
}

PtyService::LineEvents PtyService::WaitOnLine(std::optional<std::chrono::steady_clock::time_point> wake, bool blocked) {
  pollfd fds[2] = {{pty_.wakeRead, POLLIN, 0}, {pty_.master, static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0}};
  timespec timeout{};
  if (wake) timeout = TimeoutUntil(*wake);
  // poll() skips a negative descriptor, so after a hang-up only the wake-up pipe is watched.
  const int ready = ppoll(fds, 2, wake ? &timeout : nullptr, nullptr);
  LineEvents events;
  if (ready < 0 && errno != EINTR) {
    events.stop = true;  // cannot wait any more: end rather than spin
    return events;
  }
  if (fds[0].revents & POLLIN) {
    DrainWakeUps(pty_.wakeRead);
    events.stop = stopping_;
  }
  events.writable = (fds[1].revents & POLLOUT) != 0;
  events.readable = (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  return events;
}

void PtyService::Nudge() {
  std::lock_guard<std::mutex> lock(mutex_);
  WakeUp(pty_.wakeWrite);
}

}  // namespace kestrune::sim
