// SPDX-License-Identifier: MIT
// kestrune-samba-sim as its own process, as the downloader's end-to-end tests run it: the slave
// path on the first line, a link to it, flags that set the faults and timing, and the flash
// image and GPNVM files written when it ends.
#include <signal.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "slave_client.h"
#include "test_env.h"

namespace kestrune::sim {
namespace {

using test::SlaveClient;

class SambaSimProgram : public kestrune::test::ChildProcess {
 public:
  explicit SambaSimProgram(std::vector<std::string> args)
      : ChildProcess(kestrune::test::SimulatorOptions(KESTRUNE_SAMBA_SIM_PATH, std::move(args))) {}
};

const std::string kVersionReply = "\n\rv1.4 Kestrune SAM-BA simulator\n\r>";
const std::string kStatusReadCommand = "w400e0808,4#";

// Writes `command` and reads `size` bytes of its reply (fewer when they do not come).
std::string Ask(SlaveClient& client, const std::string& command, size_t size) {
  return client.Write(command) ? client.Read(size, 2000) : "<write failed>";
}

TEST(SambaSimProgram, ServesTheLinkedSlaveAndWritesFlashAndGpnvmFilesAtTheEnd) {
  kestrune::test::TempDir dir;
  SambaSimProgram program({"--image", dir / "flash.bin", "--gpnvm", dir / "gpnvm.txt", "--link", dir / "ttyACM0",
                           "--flash-pages", "8", "--version", "v0.1 prog", "--busy-reads", "2"});
  const std::string slave = program.ReadLine();
  ASSERT_EQ(slave.rfind("/dev/", 0), 0u) << slave;
  SlaveClient client(dir / "ttyACM0");
  ASSERT_TRUE(client.Ok());
  EXPECT_EQ(Ask(client, "V#", 14), "\n\rv0.1 prog\n\r>");
  EXPECT_EQ(Ask(client, "W00080000,04030201#", 3), "\n\r>");
  EXPECT_EQ(Ask(client, "W000800fc,fffefdfc#", 3), "\n\r>");
  EXPECT_EQ(Ask(client, "W400e0804,5a000701#", 3), "\n\r>");  // page 7, the last of 8
  for (const char* status : {"0x00000000", "0x00000000", "0x00000001"})
    EXPECT_EQ(Ask(client, kStatusReadCommand, 15), std::string("\n\r") + status + "\n\r>");
  EXPECT_EQ(Ask(client, "W400e0804,5a00010b#", 3), "\n\r>");
  program.CloseStdin();
  EXPECT_EQ(program.Wait(), 0);
  EXPECT_NE(program.Out().find("pages written 1, gpnvm 0x00000002"), std::string::npos);

  std::string expected(8 * 256, '\xFF');
  expected.replace(7 * 256, 4, "\x01\x02\x03\x04");
  expected.replace(8 * 256 - 4, 4, "\xFC\xFD\xFE\xFF");
  EXPECT_EQ(kestrune::test::ReadFileBytes(dir / "flash.bin"), expected);
  EXPECT_EQ(kestrune::test::ReadFileBytes(dir / "gpnvm.txt"), "0x00000002\n");
  EXPECT_FALSE(kestrune::test::FileExists(dir / "ttyACM0"));  // the link goes with the program
  EXPECT_TRUE(client.SeesHangUp(2000));
}

TEST(SambaSimProgram, FaultFlagsReachTheMonitor) {
  struct Row {
    std::vector<std::string> flags;
    std::string command;
    std::string reply;  // what the command sent twice gets
  } rows[] = {
      {{"--silent"}, "V#", ""},
      {{"--no-prompt"},
       "V#",
       kVersionReply.substr(0, kVersionReply.size() - 1) + kVersionReply.substr(0, kVersionReply.size() - 1)},
      {{"--no-prompt-replies", "1"}, "V#", kVersionReply.substr(0, kVersionReply.size() - 1) + kVersionReply},
      {{"--garbage", "zz", "--garbage-replies", "2"}, "V#", "zz" + kVersionReply + "zz" + kVersionReply},
      {{"--stuck-busy"}, kStatusReadCommand, "\n\r0x00000000\n\r>\n\r0x00000000\n\r>"},
  };
  for (const Row& row : rows) {
    SambaSimProgram program(row.flags);
    SlaveClient client(program.ReadLine());
    ASSERT_TRUE(client.Ok()) << row.flags[0];
    ASSERT_TRUE(client.Write(row.command + row.command));
    // One byte more than expected may come, so that an extra one shows.
    EXPECT_EQ(client.Read(row.reply.size() + 1, 300), row.reply) << row.flags[0];
  }

  // An older image in flash that was not erased: a page write keeps its zero bits.
  kestrune::test::TempDir dir;
  kestrune::test::WriteFileBytes(dir / "old.bin", std::string("\x0f\xf0\x00\xff", 4));
  {
    SambaSimProgram program({"--old-image", dir / "old.bin", "--not-erased"});
    SlaveClient client(program.ReadLine());
    EXPECT_EQ(Ask(client, "w00080000,4#", 15), "\n\r0xff00f00f\n\r>");
    EXPECT_EQ(Ask(client, "W00080000,3c3c3c3c#", 3), "\n\r>");
    EXPECT_EQ(Ask(client, "W400e0804,5a000001#", 3), "\n\r>");
    EXPECT_EQ(Ask(client, "w00080000,4#", 15), "\n\r0x3c00300c\n\r>");
  }

  SambaSimProgram program({"--hang-up-after", "1"});
  SlaveClient client(program.ReadLine());
  EXPECT_EQ(Ask(client, "V#", kVersionReply.size()), kVersionReply);
  ASSERT_TRUE(client.Write("V#"));
  EXPECT_TRUE(client.SeesHangUp(3000));
  program.CloseStdin();
  EXPECT_EQ(program.Wait(), 0);
  EXPECT_NE(program.Out().find("commands 1,"), std::string::npos);
}

TEST(SambaSimProgram, RefusesBadFlagsAndReportsAFileItCannotWrite) {
  const std::vector<std::string> bad[] = {{"--flash-pages", "0"},
                                          {"--flash-pages", "65537"},
                                          {"--busy-reads", "many"},
                                          {"--hang-up-after", "0"},
                                          {"--image"},
                                          {"--image", ""},
                                          {"--old-image", "/nonexistent/old.bin"},
                                          {"--frobnicate"}};
  for (const auto& flags : bad) {
    SambaSimProgram program(flags);
    EXPECT_EQ(program.Wait(), 2) << flags[0];
    EXPECT_EQ(program.Out().find("/dev/"), std::string::npos) << flags[0];  // no slave path
  }
  kestrune::test::TempDir dir;
  SambaSimProgram program({"--image", dir / "no-such-folder/flash.bin", "--ignore-stdin"});
  ASSERT_FALSE(program.ReadLine().empty());
  program.CloseStdin();  // ignored: only the signal ends it
  program.Kill(SIGTERM);
  EXPECT_EQ(program.Wait(), 1);
  EXPECT_NE(program.Out().find("cannot write " + dir / "no-such-folder/flash.bin"), std::string::npos);
}

}  // namespace
}  // namespace kestrune::sim
