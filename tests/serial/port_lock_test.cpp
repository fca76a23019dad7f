// SPDX-License-Identifier: MIT
// The port lock "myMutex": where it lives, exclusion between processes and threads, and which
// operations take it under each program's setting.
#include "serial/port_lock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/wait.h>

#include <cstring>
#include <functional>
#include <string>

#include "platform/profile.h"
#include "platform/tick_count.h"
#include "pty_pair.h"
#include "serial/serial_handle.h"
#include "test_context.h"
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

// A child process that takes the lock, says 'L', then holds it until told (or dies, per `end`).
class ChildHolder {
 public:
  enum class End { kRelease, kExitHolding, kKilledHolding };
  explicit ChildHolder(End end, int holdMs = 0) {
    if (pipe(toChild_) != 0 || pipe(toParent_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      PortLock lock;
      char c = lock.Acquire() == PortLock::Wait::kLocked ? 'L' : 'F';
      if (write(toParent_[1], &c, 1) != 1) _exit(2);
      if (end == End::kRelease) {
        if (read(toChild_[0], &c, 1) != 1) _exit(2);
        lock.Release();
        _exit(0);
      }
      usleep(static_cast<useconds_t>(holdMs) * 1000);
      if (end == End::kKilledHolding) raise(SIGKILL);
      _exit(0);
    }
  }
  ~ChildHolder() {
    Let();
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    for (int fd : {toChild_[0], toChild_[1], toParent_[0], toParent_[1]})
      if (fd >= 0) close(fd);
  }
  // True once the child holds the lock.
  bool Holds() {
    char c = 0;
    return pid_ > 0 && read(toParent_[0], &c, 1) == 1 && c == 'L';
  }
  void Let() {
    if (!let_ && toChild_[1] >= 0 && write(toChild_[1], "x", 1) == 1) let_ = true;
  }

 private:
  pid_t pid_ = -1;
  int toChild_[2] = {-1, -1}, toParent_[2] = {-1, -1};
  bool let_ = false;
};

TEST(PortLock, AHolderThatDiesLeavesTheLockToTheNextWaiterAtOnce) {
  for (ChildHolder::End end : {ChildHolder::End::kExitHolding, ChildHolder::End::kKilledHolding}) {
    SCOPED_TRACE(end == ChildHolder::End::kExitHolding ? "exits holding it" : "killed holding it");
    ChildHolder child(end, 200);
    ASSERT_TRUE(child.Holds());
    PortLock lock;
    const uint32_t start = TickCount();
    EXPECT_EQ(lock.Acquire(), PortLock::Wait::kLocked);
    EXPECT_LT(TickDiff(TickCount(), start), 1500);
    lock.Release();
  }
}

std::string ReadWhole(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
  }
  return text;
}

void WriteWhole(const std::string& path, const std::string& text) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
}

// The lock file's head: magic, version, segment id, size, tag (as the lock writes it).
int32_t RecordedSegment(const std::string& head) {
  int32_t id = -1;
  if (head.size() >= 12) std::memcpy(&id, head.data() + 8, sizeof id);
  return id;
}

TEST(PortLock, ADamagedLockFileOrSegmentNeitherCrashesNorHoldsUpAndProcessesStillExclude) {
  struct Row {
    const char* what;
    std::function<void(const std::string& path, const std::string& head)> damage;
  };
  const Row rows[] = {
      {"file emptied", [](const std::string& path, const std::string&) { WriteWhole(path, ""); }},
      {"file cut short",
       [](const std::string& path, const std::string& head) { WriteWhole(path, head.substr(0, 10)); }},
      {"file filled with garbage",
       [](const std::string& path, const std::string&) { WriteWhole(path, std::string(4096, '\xa5')); }},
      {"file names a segment that does not exist",
       [](const std::string& path, const std::string& head) {
         std::string damaged = head;
         const int32_t none = 0x7ffffff0;
         std::memcpy(damaged.data() + 8, &none, sizeof none);
         WriteWhole(path, damaged);
       }},
      {"file's tag does not match its segment",
       [](const std::string& path, const std::string& head) {
         std::string damaged = head;
         damaged[16] = static_cast<char>(damaged[16] ^ 1);
         WriteWhole(path, damaged);
       }},
      {"segment's mutex written over",
       [](const std::string&, const std::string& head) {
         void* at = shmat(RecordedSegment(head), nullptr, 0);
         ASSERT_NE(at, reinterpret_cast<void*>(-1));
         std::memset(static_cast<char*>(at) + 16, 0xff, sizeof(pthread_mutex_t));
         shmdt(at);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    // A handle from before the damage, and the file as it was.
    auto early = std::make_unique<PortLock>();
    ASSERT_FALSE(early->FilePath().empty());
    ASSERT_TRUE(early->SharesMutex());
    const std::string head = ReadWhole(early->FilePath());
    ASSERT_GE(head.size(), 24u);
    row.damage(early->FilePath(), head);

    // Neither the old handle nor a new one crashes or waits for nothing.
    uint32_t start = TickCount();
    EXPECT_EQ(early->Acquire(), PortLock::Wait::kLocked);
    early->Release();
    auto fresh = std::make_unique<PortLock>();
    EXPECT_EQ(fresh->Acquire(), PortLock::Wait::kLocked);
    fresh->Release();
    EXPECT_LT(TickDiff(TickCount(), start), 1000);
    early.reset();
    fresh.reset();

    // Handles opened after the damage still keep each other out across processes.
    ChildHolder child(ChildHolder::End::kRelease);
    ASSERT_TRUE(child.Holds());
    PortLock lock;
    start = TickCount();
    EXPECT_EQ(lock.Acquire(300), PortLock::Wait::kTimedOut);
    EXPECT_GE(TickDiff(TickCount(), start), 299);
    child.Let();
    EXPECT_EQ(lock.Acquire(), PortLock::Wait::kLocked);
    lock.Release();
  }
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
  test::TestContext context(dir / "p.ini");
  for (PortLockScope scope : {PortLockScope::kAllPortAccess, PortLockScope::kConfigAndClose}) {
    const bool locked = scope == PortLockScope::kAllPortAccess;
    SCOPED_TRACE(locked ? "all port access" : "config and close");
    test::PtyPair pty;
    std::atomic<uint32_t> received{0};
    std::unique_ptr<PublicSerialHandle> h(
        PublicSerialHandle::Open(PortOwner{context.run, scope}, pty.name, &Counter::Receive, &received, 8192));
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
}

}  // namespace
}  // namespace kestrune
