// SPDX-License-Identifier: MIT
// The port lock on POSIX: a process-wide timed mutex plus an flock on a per-user lock file.
#include "serial/port_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/program_info.h"
#include "platform/tick_count.h"

namespace kestrune {
namespace {

std::atomic<PortLockScope> g_scope{PortLockScope::kAllPortAccess};

// Threads of this process exclude each other here; flock cannot, since every thread of a
// handle shares the handle's lock-file descriptor. A flag under a mutex rather than a timed
// mutex, so that waits can also look at a cancel flag.
struct ProcessLock {
  std::mutex mutex;
  std::condition_variable freed;
  bool held = false;
};

ProcessLock& Process() {
  static ProcessLock lock;
  return lock;
}

void ReleaseProcess() {
  ProcessLock& p = Process();
  {
    std::lock_guard<std::mutex> guard(p.mutex);
    p.held = false;
  }
  p.freed.notify_one();
}

constexpr int32_t kPollSliceMs = 10;
constexpr useconds_t kFlockRetryUs = 1000;

bool Cancelled(const std::atomic<bool>* cancel) {
  return cancel && cancel->load();
}

// Opens the lock file; -1 when it cannot be used. In the shared /tmp a file owned by someone
// else (or a link planted there) is refused, so nobody can hold our ports hostage.
int OpenLockFile(std::string& path) {
  const std::string runtime = XdgRuntimeDir();
  path = runtime.empty() ? "/tmp/myMutex-" + std::to_string(getuid()) + ".lock" : runtime + "/myMutex.lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    path.clear();
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid()) {
    close(fd);
    path.clear();
    return -1;
  }
  return fd;
}

}  // namespace

void SetPortLockScope(PortLockScope scope) {
  g_scope.store(scope);
}
PortLockScope CurrentPortLockScope() {
  return g_scope.load();
}

PortLock::PortLock() {
  fd_ = OpenLockFile(path_);
}

PortLock::~PortLock() {
  if (fd_ >= 0) close(fd_);
}

PortLock::Wait PortLock::Acquire(uint32_t timeoutMs, const std::atomic<bool>* cancel) {
  const uint32_t deadline = TickCount() + timeoutMs;
  {
    ProcessLock& p = Process();
    std::unique_lock<std::mutex> guard(p.mutex);
    while (p.held) {
      if (Cancelled(cancel)) return Wait::kCancelled;
      const int32_t left = TickDiff(deadline, TickCount());
      if (left <= 0) return Wait::kTimedOut;
      p.freed.wait_for(guard, std::chrono::milliseconds(std::min<int32_t>(left, kPollSliceMs)));
    }
    p.held = true;
  }
  if (fd_ < 0) return Wait::kLocked;
  for (;;) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return Wait::kLocked;
    if (errno == EINTR) continue;
    // A lock file that refuses locking leaves the in-process part as the only exclusion.
    if (errno != EWOULDBLOCK) return Wait::kLocked;
    const bool cancelled = Cancelled(cancel);
    if (cancelled || TickReached(TickCount(), deadline)) {
      ReleaseProcess();
      return cancelled ? Wait::kCancelled : Wait::kTimedOut;
    }
    usleep(kFlockRetryUs);
  }
}

void PortLock::Release() {
  if (fd_ >= 0) flock(fd_, LOCK_UN);
  ReleaseProcess();
}

}  // namespace kestrune
