// SPDX-License-Identifier: MIT
// Starting and stopping a private jackd, waiting for it with jack_wait.
#include "jack_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

namespace kestrune::sim {
namespace {

// The full path of `program` on PATH, or empty.
std::string Resolve(const std::string& program) {
  const char* path = std::getenv("PATH");
  const std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

// Runs `args` (the first one a program on PATH) with stdin, stdout and stderr on /dev/null;
// the child's pid, or -1. The child is killed when the thread that started it ends, so a test
// that crashes leaves no server behind.
pid_t Spawn(const std::vector<std::string>& args) {
  const std::string program = Resolve(args.at(0));
  if (program.empty()) return -1;
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return -1;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(null);
  return pid;
}

// Waits for `pid` up to `ms`; true when it ended. `status` gets its wait status.
bool WaitFor(pid_t pid, int ms, int& status) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || r < 0) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

JackServer::~JackServer() {
  Stop();
}

bool JackServer::Installed() {
  return !Resolve("jackd").empty() && !Resolve("jack_wait").empty();
}

bool JackServer::Start(std::string* why, int period) {
  auto fail = [&](const std::string& text) {
    if (why) *why = text;
    Stop();
    return false;
  };
  if (pid_ > 0) return fail("started before");
  static std::atomic<int> serial{0};
  name_ = "kestrune-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
  // A generous client timeout: a client slowed by a sanitizer or a busy machine is waited for,
  // not dropped from the graph (a dropped client gets no more data and its test times out).
  pid_ = Spawn({"jackd", "--no-realtime", "-n", name_, "-t", "5000", "-d", "dummy", "-p", std::to_string(period)});
  if (pid_ < 0) return fail("cannot run jackd");
  const pid_t waiter = Spawn({"jack_wait", "-s", name_, "-w", "-t", "10"});
  if (waiter < 0) return fail("cannot run jack_wait");
  int status = 0;
  if (!WaitFor(waiter, 15000, status)) {
    kill(waiter, SIGKILL);
    WaitFor(waiter, 1000, status);
    return fail("jack_wait did not return");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return fail("jackd did not come up (server " + name_ + ")");
  // jackd may have died right after jack_wait saw it.
  int serverStatus = 0;
  if (waitpid(pid_, &serverStatus, WNOHANG) == pid_) {
    pid_ = -1;
    return fail("jackd ended at start");
  }
  return true;
}

void JackServer::Stop() {
  if (pid_ <= 0) return;
  int status = 0;
  kill(pid_, SIGTERM);
  if (!WaitFor(pid_, 5000, status)) {
    kill(pid_, SIGKILL);
    WaitFor(pid_, 5000, status);
  }
  pid_ = -1;
}

}  // namespace kestrune::sim
