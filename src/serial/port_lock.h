// SPDX-License-Identifier: MIT
// The port lock "myMutex": one lock shared by every port handle of every process of the
// user that uses this library, so that no two handles (even in romsend and pageburn at
// once) touch their ports at the same moment.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/message_box.h"

namespace kestrune {

// Which port operations take the lock. Configuration (GetConfig, SetConfig with its profile
// save) and close always do; kAllPortAccess adds every Write and every read of the reader
// thread. romsend chooses kAllPortAccess (the default), pageburn kConfigAndClose; each port
// handle is told when it opens.
enum class PortLockScope { kConfigAndClose, kAllPortAccess };

// Default bound of every wait for the lock.
inline constexpr uint32_t kPortLockWaitMs = 5000;

// The lock is an in-process mutex (threads of one process) plus, for other processes, a
// robust process-shared mutex in a shared memory segment that the lock file
// "$XDG_RUNTIME_DIR/myMutex.lock" (or "/tmp/myMutex-<uid>.lock" without a runtime folder)
// names, so that taking and giving it back costs no system call while nobody else wants it.
// When no such segment can be used, an flock on the lock file takes its place; when the lock
// file itself cannot be used (refused, or in /tmp but owned by someone else) only the
// in-process part excludes.
//
// One object per port handle; Acquire and Release are called in pairs on one thread.
class PortLock {
 public:
  enum class Wait {
    kLocked,    // this thread holds the lock until Release
    kTimedOut,  // not held: the bound passed; callers go on as if they held it
    kCancelled  // not held: `cancel` was raised while waiting
  };

  PortLock();
  ~PortLock();
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;

  // Blocks at most `timeoutMs` (checking `cancel`, when given, every few milliseconds).
  Wait Acquire(uint32_t timeoutMs = kPortLockWaitMs, const std::atomic<bool>* cancel = nullptr);
  // Only after Acquire returned kLocked.
  void Release();

  // The lock file in use; empty when only the in-process part works.
  const std::string& FilePath() const { return path_; }
  // Whether other processes are kept out by the shared mutex (rather than the flock).
  bool SharesMutex() const { return shared_ != nullptr; }

  struct Shared;

 private:
  int fd_ = -1;
  std::string path_;
  Shared* shared_ = nullptr;
  bool heldShared_ = false;
};

// Holds the lock for a scope when `enabled`; a wait that times out goes on without it. While
// it lives, `boxes` (when given: the user-interface thread's) are held back.
class PortLockGuard {
 public:
  PortLockGuard(PortLock* lock, bool enabled, MessageBoxes* boxes, const std::atomic<bool>* cancel = nullptr)
      : noBoxWhileHeld_(boxes), lock_(lock) {
    if (lock_ && enabled) {
      const PortLock::Wait w = lock_->Acquire(kPortLockWaitMs, cancel);
      held_ = w == PortLock::Wait::kLocked;
      cancelled_ = w == PortLock::Wait::kCancelled;
    }
  }
  ~PortLockGuard() {
    if (held_) lock_->Release();
  }
  PortLockGuard(const PortLockGuard&) = delete;
  PortLockGuard& operator=(const PortLockGuard&) = delete;
  bool Cancelled() const { return cancelled_; }

 private:
  MessageBoxes::HoldBack noBoxWhileHeld_;  // first member: its boxes show once the lock is released
  PortLock* lock_;
  bool held_ = false;
  bool cancelled_ = false;
};

}  // namespace kestrune
