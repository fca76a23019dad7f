// SPDX-License-Identifier: MIT
// kestrune-unit-sim as its own process: the slave path on the first line, flags that set the
// fault switches, and an end on closed stdin or SIGTERM with a summary of what it received.
#include <signal.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "slave_client.h"
#include "unit_records.h"

namespace kestrune::sim {
namespace {

using test::Frame;
using test::ReadReply;
using test::SlaveClient;

// The program with its slave path on the first line of output and its summary at the end.
class UnitSimProgram : public kestrune::test::ChildProcess {
 public:
  explicit UnitSimProgram(std::vector<std::string> args)
      : ChildProcess(kestrune::test::SimulatorOptions(KESTRUNE_UNIT_SIM_PATH, std::move(args))) {}
};

TEST(UnitSimProgram, ServesASecondProcessWithItsFlagsAndEndsWhenStdinCloses) {
  UnitSimProgram program({"--bad-checksum", "1", "--error", "close,result,4012,late,1,1", "--wake-answer", "0x2A"});
  SlaveClient client(program.ReadLine());
  ASSERT_TRUE(client.Ok());
  ASSERT_TRUE(client.Write("\x06"));
  EXPECT_EQ(client.Read(1, 2000), "\x2A");
  ASSERT_TRUE(client.Write("U"));
  EXPECT_EQ(client.Read(1, 2000), "#");
  ASSERT_TRUE(client.Write("A"));
  // One Close refused as badly summed, one answered as usual, then the second taken one's
  // result carries the error, and one clean.
  const int16_t expected[][2] = {{kCodeBadChecksum, -1}, {0, 0}, {0, 4012}, {0, 0}};
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
  EXPECT_EQ(program.Wait(), 0);
  const std::string summary = program.Out();
  EXPECT_NE(summary.find("frames 4 (bad 1)"), std::string::npos) << summary;
  EXPECT_NE(summary.find("commands: 5 5 5\n"), std::string::npos) << summary;
  EXPECT_TRUE(client.SeesHangUp(2000));
}

TEST(UnitSimProgram, HexFlagsScriptTheRepliesInTheirOrder) {
  UnitSimProgram program({"--hex-verdict", "!,2", "--hex-short", "2", "--hex-verdict", "0", "--hex-start-answer", "*"});
  SlaveClient client(program.ReadLine());
  ASSERT_TRUE(client.Ok());
  ASSERT_TRUE(test::Synchronise(client));
  const std::string nul(1, '\0');
  ASSERT_TRUE(client.Write(":02000064000496" + nul));
  EXPECT_EQ(client.Read(1, 2000), "*");
  // Two data bytes a line: refused twice with '!', taken with a reply cut to two bytes, refused
  // with a zero byte, then taken with the whole reply.
  const std::string replies[] = {std::string("!\0\0\0\0", 5), std::string("!\0\0\0\0", 5), std::string("+\0", 2),
                                 std::string("\0\0\x02\0\0", 5), std::string("+\0\x04\0\0", 5)};
  for (const std::string& reply : replies) {
    ASSERT_TRUE(client.Write(":02000000AABB99" + nul));
    EXPECT_EQ(client.Read(reply.size(), 2000), reply);
  }
  program.CloseStdin();
  EXPECT_EQ(program.Wait(), 0);
  const std::string summary = program.Out();
  EXPECT_NE(summary.find("hex start records 1, hex lines 5 (taken 2)\n"), std::string::npos) << summary;
}

TEST(UnitSimProgram, EndsOnSigtermAndRefusesBadFlags) {
  {
    UnitSimProgram program({"--ignore-stdin"});
    ASSERT_FALSE(program.ReadLine().empty());
    program.CloseStdin();  // ignored: only the signal ends it
    program.Kill(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
  }
  const std::vector<std::string> bad[] = {{"--baud", "fast"},
                                          {"--error", "open,late,4"},
                                          {"--error", "eject,ack,4"},
                                          {"--frobnicate"},
                                          {"--erase-ms"},
                                          {"--hex-short", "5"},
                                          {"--hex-verdict", "xy"},
                                          {"--hex-verdict", "-,0"},
                                          {"--damage-reply", "close,result,crc"},
                                          {"--double-replies", "x"},
                                          {"--chatter", ""}};
  for (const auto& flags : bad) {
    UnitSimProgram program(flags);
    EXPECT_EQ(program.Wait(), 2) << flags[0];
    EXPECT_EQ(program.Out().find("/dev/"), std::string::npos) << flags[0];  // no slave path
  }
}

}  // namespace
}  // namespace kestrune::sim
