// SPDX-License-Identifier: MIT
// Spawning and ending the simulator programs in their tests.
#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace kestrune::sim::test {

ChildProcess::ChildProcess(const std::string& path, std::vector<std::string> args) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  args.insert(args.begin(), path);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  stdin_ = in[1];
  out_ = out[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
  CloseStdin();
  if (out_ >= 0) close(out_);
}

std::string ChildProcess::Read(bool line) {
  std::string text;
  char c;
  pollfd p{out_, POLLIN, 0};
  while (poll(&p, 1, 5000) > 0 && read(out_, &c, 1) == 1 && !(line && c == '\n')) text += c;
  return text;
}

void ChildProcess::CloseStdin() {
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
}

void ChildProcess::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

int ChildProcess::Exit() {
  int status = 0;
  for (int i = 0; i < 500 && pid_ > 0; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

}  // namespace kestrune::sim::test
