// SPDX-License-Identifier: MIT
// The SAM-BA command client over a scripted device: command texts, reply framing, retries and
// their count, and the bounds on replies that never end.
#include "pageburn/samba_monitor.h"

#include <gtest/gtest.h>

#include "scripted_samba_device.h"

namespace kestrune {
namespace {

using test::Framed;
using test::ScriptedSambaDevice;

TEST(SambaMonitor, VersionIsTheTextBetweenTheFramingWhateverTheChunks) {
  struct Row {
    const char* name;
    std::vector<std::string> chunks;
    bool fails;
    std::string version;
    int32_t error;
  };
  const Row rows[] = {
      {"one chunk", {Framed("v1.4 Nov 10 2004 14:08:02")}, false, "v1.4 Nov 10 2004 14:08:02", 0},
      {"byte by byte", {"\n", "\r", "v", "1", "\n", "\r", ">"}, false, "v1", 0},
      {"prompt inside the text is not an end", {"\n\rA>B", "\n\r>"}, false, "A>B", 0},
      {"six with the space: empty text", {"\n\r\n\r>"}, false, "", 0},
      {"under six with the space", {"\n\rx>"}, true, "unchanged", SambaMonitor::kErrorShortVersion},
      {"bare prompt", {">"}, true, "unchanged", SambaMonitor::kErrorShortVersion},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedSambaDevice device;
    device.answer = [&](const std::string&) { return row.chunks; };
    SambaMonitor monitor(&device);
    std::string version = "unchanged";
    EXPECT_EQ(monitor.GetVersion(version), !row.fails);
    EXPECT_EQ(version, row.version);
    EXPECT_EQ(monitor.LastError(), row.error);
    EXPECT_EQ(device.writes, std::vector<std::string>{"V#"});
    EXPECT_EQ(monitor.RetryCount(), 0);
  }
}

TEST(SambaMonitor, SilentDeviceIsAskedRetriesPlusOneTimesAndEveryAttemptCounts) {
  ScriptedSambaDevice device;
  SambaMonitor monitor(&device, 7);
  std::string version = "unchanged";
  EXPECT_FALSE(monitor.GetVersion(version));
  EXPECT_EQ(version, "unchanged");
  EXPECT_EQ(monitor.LastError(), SambaMonitor::kErrorNoReply);
  EXPECT_EQ(device.writes, (std::vector<std::string>{"V#", "V#"}));
  EXPECT_EQ(monitor.RetryCount(), 7 + 2);

  uint32_t status = 0x55;
  EXPECT_FALSE(monitor.ReadFlashStatus(status));
  EXPECT_EQ(status, 0x55u);
  EXPECT_EQ(device.writes.size(), 2u + 4u);
  EXPECT_EQ(device.writes.back(), "w400e0808,4#");
  EXPECT_EQ(monitor.RetryCount(), 7 + 2 + 4);

  EXPECT_FALSE(monitor.WriteWord(0x400E0804, 0x5A00010B));
  EXPECT_EQ(device.writes.size(), 2u + 4u + 4u);
  EXPECT_EQ(device.writes.back(), "W400e0804,5a00010b#");
  EXPECT_EQ(monitor.RetryCount(), 7 + 2 + 4 + 4);
  EXPECT_EQ(device.timeouts, 10);

  // A later success clears the error but not the count.
  device.answer = test::HealthyAnswer;
  EXPECT_TRUE(monitor.WriteWord(0x00080000, 1));
  EXPECT_EQ(monitor.LastError(), SambaMonitor::kErrorNone);
  EXPECT_EQ(monitor.RetryCount(), 17);
}

TEST(SambaMonitor, AttemptsEndOnUnfinishedRepliesAndLateBytesOpenTheNextReply) {
  ScriptedSambaDevice device;
  int sent = 0;
  // First attempt: text without the prompt, then silence. Second attempt: only the prompt
  // that should have ended the first, which completes it.
  device.answer = [&](const std::string&) {
    return ++sent == 1 ? std::vector<std::string>{"\n\r0x0000"} : std::vector<std::string>{">"};
  };
  SambaMonitor monitor(&device);
  std::string reply;
  EXPECT_TRUE(monitor.Command(reply, "w400e0808,4#", 3));
  EXPECT_EQ(reply, " >");  // the leading space stays
  EXPECT_EQ(monitor.RetryCount(), 1);

  // A reply that comes after its command gave up is read as the start of the next one.
  device.answer = nullptr;
  device.arrivals.push_back("\n\r0x00000001\n\r>");
  uint32_t status = 0;
  EXPECT_TRUE(monitor.ReadFlashStatus(status));
  EXPECT_EQ(status, 1u);

  // A word read for the read-back drops such a late reply: it cannot pass for this word.
  device.answer = [](const std::string& command) {
    return std::vector<std::string>{Framed(command == "w00080104,4#" ? "0x12345678" : "?")};
  };
  device.arrivals.push_back("\n\r0x00000001\n\r>");
  uint32_t word = 0;
  EXPECT_TRUE(monitor.ReadWord(0x00080104, word));
  EXPECT_EQ(word, 0x12345678u);
  EXPECT_EQ(device.writes.back(), "w00080104,4#");
}

TEST(SambaMonitor, RefusedWriteFailsTheAttemptWithoutWaiting) {
  ScriptedSambaDevice device;
  device.refuseWrites = true;
  SambaMonitor monitor(&device);
  std::string reply;
  EXPECT_FALSE(monitor.Command(reply, "V#", 1));
  EXPECT_EQ(device.writes.size(), 2u);
  EXPECT_EQ(device.waits, 0);
  EXPECT_EQ(monitor.RetryCount(), 2);
  EXPECT_EQ(monitor.LastError(), SambaMonitor::kErrorNoReply);

  SambaMonitor orphan(nullptr);
  EXPECT_FALSE(orphan.Command(reply, "V#", 1));
  EXPECT_EQ(orphan.LastError(), SambaMonitor::kErrorNoReply);
}

TEST(SambaMonitor, EndlessReplyWithoutPromptIsCutAndRetried) {
  ScriptedSambaDevice device;
  // Garbage that never stops: every wait finds more, none of it the prompt.
  device.answer = [](const std::string&) { return std::vector<std::string>(1000, std::string(100, 'x')); };
  SambaMonitor monitor(&device);
  std::string reply;
  EXPECT_FALSE(monitor.Command(reply, "V#", 1));
  EXPECT_EQ(device.writes.size(), 2u);
  EXPECT_EQ(monitor.RetryCount(), 2);
  EXPECT_LE(reply.size(), SambaMonitor::kMaxReplyBytes + 100);
  EXPECT_GT(reply.size(), SambaMonitor::kMaxReplyBytes);
}

TEST(SambaMonitor, StatusRepliesAreReadAsOneHexNumber) {
  struct Row {
    std::string reply;
    bool fails;
    uint32_t value;
  };
  const Row rows[] = {
      {Framed("0x00000001"), false, 1},
      {Framed("0X0000001F"), false, 0x1f},
      {Framed("deadBEEF"), false, 0xdeadbeef},
      {"\t 0x10>", false, 0x10},
      {Framed("0xffffffff"), false, 0xffffffff},
      {Framed("0x"), false, 0},  // "0" read, the 'x' ends the number
      {Framed("0x100000000"), true, 0},
      {"\n\r>", true, 0},
      {Framed("garbage"), true, 0},
      {Framed("-1"), true, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reply);
    ScriptedSambaDevice device;
    device.answer = [&](const std::string&) { return std::vector<std::string>{row.reply}; };
    SambaMonitor monitor(&device);
    uint32_t value = 0x77;
    EXPECT_EQ(monitor.ReadFlashStatus(value), !row.fails);
    EXPECT_EQ(value, row.fails ? 0x77u : row.value);
    EXPECT_EQ(monitor.LastError(), row.fails ? SambaMonitor::kErrorNoNumber : SambaMonitor::kErrorNone);
    EXPECT_EQ(device.writes.size(), 1u);  // a complete reply is not asked for again
  }
}

}  // namespace
}  // namespace kestrune
