// SPDX-License-Identifier: MIT
// Runs the pageburn program as a child process, as a user or a script would: its standard
// output and error collected apart, standard input from /dev/null, a pipe or a terminal.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::test {

struct ChildResult {
  int exit = -1;  // -1: killed after the time limit, or ended by a signal
  std::string out;
  std::string err;
};

class PageburnChild {
 public:
  // Starts `program` with `args`. `input` becomes its standard input (-1: /dev/null); with
  // `terminal`, standard output and error go there as well, as on a console.
  PageburnChild(const std::string& program, const std::vector<std::string>& args, int input = -1,
                bool terminal = false) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input >= 0)
      posix_spawn_file_actions_adddup2(&actions, input, 0);
    else
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, terminal ? input : out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, terminal ? input : err[1], 2);
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (terminal) {
      // Its own session, so that the terminal can become its controlling one.
      posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    }
    if (posix_spawn(&pid_, argv[0], &actions, &attr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~PageburnChild() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }
  PageburnChild(const PageburnChild&) = delete;
  PageburnChild& operator=(const PageburnChild&) = delete;

  pid_t Pid() const { return pid_; }

  // True while the process runs (checked without waiting).
  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
    pid_ = -1;
    exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
  }

  // Collects all output until the process ends; kills it after `limitMs`, a bound that only
  // keeps a hanging program from hanging the test.
  ChildResult Finish(int limitMs = 60000) {
    ChildResult r;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (out_ >= 0 || err_ >= 0) {
      const int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
      if (left <= 0) break;
      pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
      if (poll(p, 2, left) <= 0) continue;
      Drain(p[0], out_, r.out);
      Drain(p[1], err_, r.err);
    }
    while (Running() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      exit_ = -1;
    }
    r.exit = exit_;
    return r;
  }

 private:
  static void Drain(const pollfd& p, int& fd, std::string& into) {
    if (fd < 0 || p.revents == 0) return;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<size_t>(n));
    } else {
      close(fd);
      fd = -1;
    }
  }

  pid_t pid_ = -1;
  int exit_ = -1;
  int out_ = -1, err_ = -1;
};

}  // namespace kestrune::test
