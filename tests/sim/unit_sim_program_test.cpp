// kestrune-unit-sim as its own process: the slave path on the first line, flags that set the
// fault switches, and an end on closed stdin or SIGTERM with a summary of what it received.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "slave_client.h"
#include "unit_records.h"

namespace kestrune::sim {
namespace {

using test::Frame;
using test::ReadReply;
using test::SlaveClient;

// The program with pipes on stdin, stdout and stderr; killed if a test leaves it running.
class Program {
 public:
  explicit Program(const std::vector<std::string>& flags) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> args{KESTRUNE_UNIT_SIM_PATH};
    args.insert(args.end(), flags.begin(), flags.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {stdin_, stdout_, stderr_})
      if (fd >= 0) close(fd);
  }

  // First line of stdout, waiting at most 5 s.
  std::string FirstLine() {
    std::string line;
    char c;
    while (Wait(stdout_, 5000) && read(stdout_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  void CloseStdin() {
    close(stdin_);
    stdin_ = -1;
  }
  void Signal(int sig) { kill(pid_, sig); }
  // Exit status, or -1 when the process has not ended within `timeoutMs`.
  int Exit(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string Output(int fd) {
    std::string text;
    char buf[512];
    ssize_t n;
    while (Wait(fd, 2000) && (n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
  }
  int Stdout() const { return stdout_; }
  int Stderr() const { return stderr_; }

 private:
  static bool Wait(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
  }
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1, stderr_ = -1;
};

TEST(UnitSimProgram, ServesASecondProcessWithItsFlagsAndEndsWhenStdinCloses) {
  Program program({"--bad-checksum", "1", "--error", "close,result,4012,late,1", "--wake-answer", "0x2A"});
  const std::string path = program.FirstLine();
  ASSERT_FALSE(path.empty());
  SlaveClient client(path);
  ASSERT_TRUE(client.Ok());
  ASSERT_TRUE(client.Write("\x06"));
  EXPECT_EQ(client.Read(1, 2000), "\x2A");
  ASSERT_TRUE(client.Write("U"));
  EXPECT_EQ(client.Read(1, 2000), "#");
  ASSERT_TRUE(client.Write("A"));
  const struct {
    int16_t ack;
    std::optional<int16_t> result;
    std::string text;
  } expected[] = {{kCodeBadChecksum, std::nullopt, ""}, {0, 4012, "late"}, {0, 0, ""}};
  for (const auto& e : expected) {
    ASSERT_TRUE(client.Write(Frame(kCmdClose)));
    auto ack = ReadReply(client);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->code, e.ack);
    if (!e.result) continue;
    auto result = ReadReply(client);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->code, *e.result);
    EXPECT_EQ(result->text, e.text);
  }
  program.CloseStdin();
  EXPECT_EQ(program.Exit(5000), 0);
  const std::string summary = program.Output(program.Stderr());
  EXPECT_NE(summary.find("frames 3 (bad 1)"), std::string::npos) << summary;
  EXPECT_NE(summary.find("commands: 5 5\n"), std::string::npos) << summary;
  EXPECT_TRUE(client.SeesHangUp(2000));
}

TEST(UnitSimProgram, EndsOnSigtermAndRefusesBadFlags) {
  {
    Program program({"--ignore-stdin"});
    ASSERT_FALSE(program.FirstLine().empty());
    program.CloseStdin();  // ignored: only the signal ends it
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Exit(5000), 0);
  }
  const std::vector<std::string> bad[] = {
      {"--baud", "fast"}, {"--error", "open,late,4"}, {"--error", "eject,ack,4"}, {"--frobnicate"}, {"--erase-ms"}};
  for (const auto& flags : bad) {
    Program program(flags);
    EXPECT_EQ(program.Exit(5000), 2) << flags[0];
    EXPECT_EQ(program.Output(program.Stdout()), "") << flags[0];  // no slave path for a refused run
  }
}

}  // namespace
}  // namespace kestrune::sim
