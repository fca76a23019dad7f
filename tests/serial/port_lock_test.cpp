// SPDX-License-Identifier: MIT
// The port lock "myMutex": where it lives, exclusion between processes and threads, and which
// operations take it under each program's setting.
#include "serial/port_lock.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>

#include "platform/profile.h"
#include "platform/tick_count.h"
#include "pty_pair.h"
#include "serial/serial_handle.h"
#include "test_env.h"

namespace kestrune {
namespace {

using test::WaitFor;

TEST(PortLock, LivesInTheRuntimeFolderElsePerUserInTmp) {
  EXPECT_EQ(PortLock().FilePath(), std::string(getenv("XDG_RUNTIME_DIR")) + "/myMutex.lock");
  test::ScopedEnv noRuntime("XDG_RUNTIME_DIR", nullptr);
  EXPECT_EQ(PortLock().FilePath(), "/tmp/myMutex-" + std::to_string(getuid()) + ".lock");
}

TEST(PortLock, AnotherProcessWaitsFiveSecondsThenGoesOnAndGetsItOnceFree) {
  int toChild[2], toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  const pid_t child = fork();
  if (child == 0) {
    PortLock lock;
    char c = lock.Acquire() == PortLock::Wait::kLocked ? 'L' : 'F';
    if (write(toParent[1], &c, 1) != 1) _exit(2);
    if (read(toChild[0], &c, 1) != 1) _exit(2);  // hold until told
    lock.Release();
    c = 'R';
    if (write(toParent[1], &c, 1) != 1) _exit(2);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(toParent[0], &c, 1), 1);
  ASSERT_EQ(c, 'L');

  PortLock lock;
  const uint32_t start = TickCount();
  EXPECT_EQ(lock.Acquire(), PortLock::Wait::kTimedOut);
  EXPECT_GE(TickDiff(TickCount(), start), static_cast<int32_t>(kPortLockWaitMs) - 1);

  std::atomic<bool> cancel{true};
  EXPECT_EQ(lock.Acquire(kPortLockWaitMs, &cancel), PortLock::Wait::kCancelled);

  ASSERT_EQ(write(toChild[1], "x", 1), 1);
  ASSERT_EQ(read(toParent[0], &c, 1), 1);
  EXPECT_EQ(lock.Acquire(), PortLock::Wait::kLocked);
  lock.Release();
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

// Holds the lock on a thread of its own until released, as another handle would.
class LockHolder {
 public:
  LockHolder() {
    thread_ = std::thread([this] {
      PortLock lock;
      held_ = lock.Acquire() == PortLock::Wait::kLocked;
      while (!release_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (held_) lock.Release();
      done_ = true;
    });
    WaitFor([this] { return held_.load(); });
  }
  ~LockHolder() {
    Release();
    thread_.join();
  }
  void Release() { release_ = true; }
  bool Held() const { return held_; }

 private:
  std::thread thread_;
  std::atomic<bool> held_{false}, release_{false}, done_{false};
};

struct Counter {
  static void Receive(const uint8_t*, uint32_t length, void* context) {
    static_cast<std::atomic<uint32_t>*>(context)->fetch_add(length);
  }
};

bool MasterHasData(int master) {
  pollfd p{master, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

TEST(PortLockScope, RomsendLocksTransfersPageburnDoesNot) {
  test::TempDir dir;
  SelectProfile(dir / "p.ini");
  const PortLockScope before = CurrentPortLockScope();
  for (PortLockScope scope : {PortLockScope::kAllPortAccess, PortLockScope::kConfigAndClose}) {
    const bool locked = scope == PortLockScope::kAllPortAccess;
    SCOPED_TRACE(locked ? "all port access" : "config and close");
    SetPortLockScope(scope);
    test::PtyPair pty;
    std::atomic<uint32_t> received{0};
    std::unique_ptr<PublicSerialHandle> h(PublicSerialHandle::Open(pty.name, &Counter::Receive, &received, 8192));
    ASSERT_NE(h, nullptr);

    auto holder = std::make_unique<LockHolder>();
    ASSERT_TRUE(holder->Held());
    std::atomic<uint32_t> written{0};
    std::thread writer([&] {
      const uint8_t b[3] = {1, 2, 3};
      written = h->Write(b, 3);
    });
    ASSERT_TRUE(pty.WriteMaster("abc"));
    if (locked) {
      // Both directions wait for the lock (up to 5000 ms, far beyond this pause).
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      EXPECT_EQ(received.load(), 0u);
      EXPECT_FALSE(MasterHasData(pty.master));
      holder->Release();
    }
    EXPECT_TRUE(WaitFor([&] { return received.load() == 3 && MasterHasData(pty.master); }));
    writer.join();
    EXPECT_EQ(written.load(), 3u);
    holder.reset();
  }
  SetPortLockScope(before);
}

}  // namespace
}  // namespace kestrune
