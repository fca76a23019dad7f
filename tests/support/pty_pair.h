// SPDX-License-Identifier: MIT
// Test helpers: a pseudo-terminal pair standing in for a serial cable, and a thread count.
#pragma once

#include <dirent.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <cstdint>
#include <string>
#include <thread>

namespace kestrune::test {

// The master side plays the unit; the slave side is the port under test. The test keeps its
// own slave descriptor so it can inspect and change the port's termios from outside.
struct PtyPair {
  int master = -1;
  int slave = -1;
  std::string name;

  PtyPair() {
    char buf[128] = {};
    if (openpty(&master, &slave, buf, nullptr, nullptr) == 0) name = buf;
  }
  ~PtyPair() {
    CloseMaster();
    if (slave >= 0) close(slave);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  void CloseMaster() {
    if (master >= 0) close(master);
    master = -1;
  }
  bool WriteMaster(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  termios SlaveTermios() const {
    termios t{};
    tcgetattr(slave, &t);
    return t;
  }
};

// The threads of this process now.
inline int ThreadCount() {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer starts a helper thread of its own at the process's first thread creation;
  // have it started before counting, so that only the code under test changes the count.
  static const bool helperStarted = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)helperStarted;
#endif
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (const dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

}  // namespace kestrune::test
