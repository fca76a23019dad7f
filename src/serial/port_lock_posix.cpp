// SPDX-License-Identifier: MIT
// The port lock on POSIX: a process-wide timed mutex plus, between processes, a robust
// process-shared mutex in a System V shared memory segment recorded in a per-user lock file
// (an flock on that file where no segment can be used).
#include "serial/port_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/program_info.h"
#include "platform/tick_count.h"

namespace kestrune {
namespace {

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
constexpr useconds_t kRetryUs = 1000;

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

// The lock file's head names the segment that holds the shared mutex. A segment rather than a
// mapping of the file itself: its size is fixed at creation, so nobody can cut the memory away
// under a holder (a truncated file mapping faults with SIGBUS). The segment is marked for
// removal as soon as it is made and goes when the last process detaches; Linux still lets
// others attach it by its id until then. The tag, drawn at random, ties file and segment
// together, so a recycled id or a damaged file is never taken for ours.
constexpr uint32_t kFileMagic = 0x4b4d4c46;     // "FLMK"
constexpr uint32_t kSegmentMagic = 0x4b4d4c53;  // "SLMK"
constexpr uint32_t kLayoutVersion = 1;

struct FileHead {
  uint32_t magic;
  uint32_t version;
  int32_t segment;
  uint32_t size;
  uint64_t tag;
};

}  // namespace

struct PortLock::Shared {
  uint32_t magic;
  uint32_t version;
  uint64_t tag;
  pthread_mutex_t mutex;
};

namespace {

// The segment the file names, when it is ours (this user's, private to it, big enough, same
// tag); none otherwise.
PortLock::Shared* AttachRecorded(int fd) {
  FileHead head{};
  if (pread(fd, &head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) || head.magic != kFileMagic ||
      head.version != kLayoutVersion || head.size != sizeof(PortLock::Shared) || head.segment < 0)
    return nullptr;
  shmid_ds ds{};
  if (shmctl(head.segment, IPC_STAT, &ds) != 0 || ds.shm_perm.uid != getuid() || ds.shm_perm.cuid != getuid() ||
      (ds.shm_perm.mode & 0777) != 0600 || ds.shm_segsz < sizeof(PortLock::Shared))
    return nullptr;
  void* at = shmat(head.segment, nullptr, 0);
  if (at == reinterpret_cast<void*>(-1)) return nullptr;
  auto* shared = static_cast<PortLock::Shared*>(at);
  if (shared->magic != kSegmentMagic || shared->version != kLayoutVersion || shared->tag != head.tag) {
    shmdt(at);
    return nullptr;
  }
  return shared;
}

// A new segment with an unowned mutex, recorded in the file; none when either fails.
PortLock::Shared* CreateAndRecord(int fd) {
  const int id = shmget(IPC_PRIVATE, sizeof(PortLock::Shared), IPC_CREAT | 0600);
  if (id < 0) return nullptr;
  void* at = shmat(id, nullptr, 0);
  shmctl(id, IPC_RMID, nullptr);
  if (at == reinterpret_cast<void*>(-1)) return nullptr;
  auto* shared = static_cast<PortLock::Shared*>(at);
  std::memset(shared, 0, sizeof *shared);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  const int made = pthread_mutex_init(&shared->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  // The clock and the process id stand in should the system have no randomness to give.
  uint64_t tag = 0;
  if (getrandom(&tag, sizeof tag, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof tag))
    tag = (static_cast<uint64_t>(getpid()) << 32) ^
          static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  shared->tag = tag;
  shared->version = kLayoutVersion;
  shared->magic = kSegmentMagic;
  const FileHead head{kFileMagic, kLayoutVersion, id, sizeof(PortLock::Shared), tag};
  if (made != 0 || pwrite(fd, &head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) {
    shmdt(at);
    return nullptr;
  }
  return shared;
}

// Joins the segment the lock file names, or makes one; under a brief flock of the file, so two
// processes starting together agree on one. None when the file stays locked past the bound
// (another holder of the flock) or no segment can be had.
PortLock::Shared* OpenShared(int fd) {
  const uint32_t deadline = TickCount() + kPortLockWaitMs;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || TickReached(TickCount(), deadline)) return nullptr;
    usleep(kRetryUs);
  }
  PortLock::Shared* shared = AttachRecorded(fd);
  if (!shared) shared = CreateAndRecord(fd);
  flock(fd, LOCK_UN);
  return shared;
}

}  // namespace

PortLock::PortLock() {
  fd_ = OpenLockFile(path_);
  if (fd_ >= 0) shared_ = OpenShared(fd_);
}

PortLock::~PortLock() {
  if (shared_) shmdt(shared_);
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
  while (shared_) {
    // Tried every millisecond, as the flock is: another process wanting a port at the same
    // moment is rare, and a timed lock would wait on the realtime clock.
    int got = pthread_mutex_trylock(&shared_->mutex);
    // A holder that died leaves the lock to the next waiter; the ports need no repair.
    if (got == EOWNERDEAD && pthread_mutex_consistent(&shared_->mutex) != 0) {
      pthread_mutex_unlock(&shared_->mutex);
      got = ENOTRECOVERABLE;
    } else if (got == EOWNERDEAD) {
      got = 0;
    }
    if (got == 0) {
      heldShared_ = true;
      return Wait::kLocked;
    }
    if (got == EBUSY || got == EAGAIN) {
      const bool cancelled = Cancelled(cancel);
      if (cancelled || TickReached(TickCount(), deadline)) {
        ReleaseProcess();
        return cancelled ? Wait::kCancelled : Wait::kTimedOut;
      }
      usleep(kRetryUs);
      continue;
    }
    // A segment whose mutex cannot be used any more (written over) is left for the flock.
    shmdt(shared_);
    shared_ = nullptr;
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
    usleep(kRetryUs);
  }
}

void PortLock::Release() {
  if (heldShared_) {
    heldShared_ = false;
    pthread_mutex_unlock(&shared_->mutex);
  } else if (fd_ >= 0) {
    flock(fd_, LOCK_UN);
  }
  ReleaseProcess();
}

}  // namespace kestrune
