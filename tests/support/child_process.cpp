// SPDX-License-Identifier: MIT
// Starting, watching and ending a child process.
#include "child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

namespace kestrune::test {
namespace {

using Clock = std::chrono::steady_clock;

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

ChildProcess::ChildProcess(ChildOptions options) : options_(std::move(options)) {
  // Everything the child needs is made here: between fork and exec it only calls what is safe.
  std::vector<std::string> all{options_.program};
  all.insert(all.end(), options_.args.begin(), options_.args.end());
  std::vector<char*> argv, envp;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : options_.env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char* const* childEnv = options_.env.empty() ? environ : envp.data();

  // The child's end of each stream; `theirs` are the descriptors opened here for it alone.
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, exec[2] = {-1, -1};
  std::vector<int> theirs;
  auto childEnd = [&theirs](int how, int(&p)[2], bool childReads) {
    int fd = how;
    if (how == ChildOptions::kPipe)
      fd = pipe2(p, O_CLOEXEC) == 0 ? p[childReads ? 0 : 1] : -1;
    else if (how == ChildOptions::kNull)
      fd = open("/dev/null", (childReads ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
    if (fd >= 0 && how < 0) theirs.push_back(fd);
    return fd;
  };
  const int input = childEnd(options_.input, in, true);
  const int output = childEnd(options_.output, out, false);
  int errors = options_.errors == ChildOptions::kMerge ? output : -1;
  if (!options_.errorFile.empty()) {
    errors = open(options_.errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (errors >= 0) theirs.push_back(errors);
  } else if (options_.errors != ChildOptions::kMerge) {
    errors = childEnd(options_.errors, err, false);
  }
  if (input >= 0 && output >= 0 && errors >= 0 && pipe2(exec, O_CLOEXEC) == 0) pid_ = fork();
  if (pid_ == 0) {
    if (options_.newSession) setsid();
    if (dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(errors, 2) < 0) _exit(126);
    if (!options_.cwd.empty() && chdir(options_.cwd.c_str()) != 0) _exit(126);
    if (options_.user != 0 && (setgroups(0, nullptr) != 0 || setgid(options_.user) != 0 || setuid(options_.user) != 0))
      _exit(126);
    execve(argv[0], argv.data(), childEnv);
    const int error = errno;
    (void)!write(exec[1], &error, sizeof error);
    _exit(127);
  }
  for (int fd : theirs) close(fd);
  CloseFd(exec[1]);
  stdin_ = in[1];
  out_.fd = out[0];
  err_.fd = err[0];
  // The exec pipe closes with a successful exec, or brings the error of a failed one.
  int error = 0;
  ssize_t n = 0;
  while (exec[0] >= 0 && (n = read(exec[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  CloseFd(exec[0]);
  if (pid_ > 0 && n > 0) waitpid(pid_, nullptr, 0);
  if (pid_ <= 0 || n > 0) {
    pid_ = -1;
    status_ = -1;
    CloseStdin();
    CloseFd(out_.fd);
    CloseFd(err_.fd);
  }
}

ChildProcess::~ChildProcess() {
  CloseStdin();
  if (Running() && kill(pid_, options_.endSignal) == 0) waitpid(pid_, nullptr, 0);
  CloseFd(out_.fd);
  CloseFd(err_.fd);
}

bool ChildProcess::Reap() {
  if (status_ != kRunning) return true;
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return true;
}

bool ChildProcess::Running() {
  return pid_ > 0 && !Reap();
}

// Reads what arrives within `ms`; false when both pipes are closed (it only waits then).
bool ChildProcess::Pump(int ms) {
  if (out_.fd < 0 && err_.fd < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    Reap();
    return false;
  }
  pollfd p[2] = {{out_.fd, POLLIN, 0}, {err_.fd, POLLIN, 0}};
  if (poll(p, 2, ms) > 0) {
    Pipe* pipes[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
      if (pipes[i]->fd < 0 || p[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = read(pipes[i]->fd, buf, sizeof buf);
      if (n > 0)
        pipes[i]->text.append(buf, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR)
        CloseFd(pipes[i]->fd);
    }
  }
  Reap();
  return true;
}

bool ChildProcess::WaitFor(const std::function<bool()>& done, int limitMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
  while (!done()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return false;
    const bool open = Pump(static_cast<int>(std::min<long>(left, 20)));
    if (!open && status_ != kRunning) return done();
  }
  return true;
}

std::string ChildProcess::ReadLine(int limitMs) {
  size_t end = std::string::npos;
  WaitFor([&] { return (end = out_.text.find('\n', lineFrom_)) != std::string::npos; }, limitMs);
  if (end == std::string::npos) return "";
  std::string line = out_.text.substr(lineFrom_, end - lineFrom_);
  lineFrom_ = end + 1;
  return line;
}

int ChildProcess::Wait(int limitMs) {
  WaitFor([this] { return Reap() && out_.fd < 0 && err_.fd < 0; }, limitMs);
  return Reap() ? status_ : kRunning;
}

ChildResult ChildProcess::Finish(int limitMs) {
  ChildResult r;
  r.exit = Wait(limitMs);
  if (r.exit == kRunning) {
    Kill(SIGKILL);
    waitpid(pid_, nullptr, 0);
    status_ = r.exit = -1;
    signal_ = SIGKILL;
    r.timedOut = true;
  }
  r.signal = signal_;
  r.out = out_.text;
  r.err = err_.text;
  return r;
}

void ChildProcess::CloseStdin() {
  CloseFd(stdin_);
}

void ChildProcess::Kill(int signal) {
  if (Running()) kill(pid_, signal);
}

}  // namespace kestrune::test
