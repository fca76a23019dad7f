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

// The program with a pipe on stdin and one for stdout and stderr together (the slave path is
// the first line; the summary comes at the end). Killed if a test leaves it running.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    args.insert(args.begin(), KESTRUNE_UNIT_SIM_PATH);
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
  ~Program() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    CloseStdin();
    close(out_);
  }
  // Output up to the first line end (or all of it with `line` false), waiting at most 5 s a byte.
  std::string Read(bool line) {
    std::string text;
    char c;
    pollfd p{out_, POLLIN, 0};
    while (poll(&p, 1, 5000) > 0 && read(out_, &c, 1) == 1 && !(line && c == '\n')) text += c;
    return text;
  }
  void CloseStdin() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }
  void Signal(int sig) { kill(pid_, sig); }
  // Exit status, or -1 when the process has not ended within 5 s.
  int Exit() {
    int status = 0;
    for (int i = 0; i < 500; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, out_ = -1;
};

TEST(UnitSimProgram, ServesASecondProcessWithItsFlagsAndEndsWhenStdinCloses) {
  Program program({"--bad-checksum", "1", "--error", "close,result,4012,late,1", "--wake-answer", "0x2A"});
  SlaveClient client(program.Read(true));
  ASSERT_TRUE(client.Ok());
  ASSERT_TRUE(client.Write("\x06"));
  EXPECT_EQ(client.Read(1, 2000), "\x2A");
  ASSERT_TRUE(client.Write("U"));
  EXPECT_EQ(client.Read(1, 2000), "#");
  ASSERT_TRUE(client.Write("A"));
  // One Close refused as badly summed, one whose result carries the error, one clean.
  const int16_t expected[][2] = {{kCodeBadChecksum, -1}, {0, 4012}, {0, 0}};
  for (const auto& e : expected) {
    ASSERT_TRUE(client.Write(Frame(kCmdClose)));
    for (int16_t code : e) {
      if (code < 0) continue;
      auto reply = ReadReply(client);
      ASSERT_TRUE(reply);
      EXPECT_EQ(reply->code, code);
      EXPECT_EQ(reply->text, code == 4012 ? "late" : "");
    }
  }
  program.CloseStdin();
  EXPECT_EQ(program.Exit(), 0);
  const std::string summary = program.Read(false);
  EXPECT_NE(summary.find("frames 3 (bad 1)"), std::string::npos) << summary;
  EXPECT_NE(summary.find("commands: 5 5\n"), std::string::npos) << summary;
  EXPECT_TRUE(client.SeesHangUp(2000));
}

TEST(UnitSimProgram, EndsOnSigtermAndRefusesBadFlags) {
  {
    Program program({"--ignore-stdin"});
    ASSERT_FALSE(program.Read(true).empty());
    program.CloseStdin();  // ignored: only the signal ends it
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Exit(), 0);
  }
  const std::vector<std::string> bad[] = {
      {"--baud", "fast"}, {"--error", "open,late,4"}, {"--error", "eject,ack,4"}, {"--frobnicate"}, {"--erase-ms"}};
  for (const auto& flags : bad) {
    Program program(flags);
    EXPECT_EQ(program.Exit(), 2) << flags[0];
    EXPECT_EQ(program.Read(false).find("/dev/"), std::string::npos) << flags[0];  // no slave path
  }
}

}  // namespace
}  // namespace kestrune::sim
