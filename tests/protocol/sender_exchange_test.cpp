// SPDX-License-Identifier: MIT
// Frames, replies and resends of the engine over a scripted transport.
#include <gtest/gtest.h>

#include "platform/diagnostic_log.h"
#include "platform/program_info.h"
#include "protocol/protocol_engine.h"
#include "recording_sender.h"
#include "scripted_driver.h"
#include "test_context.h"
#include "test_env.h"

namespace kestrune {
namespace {

using test::Reply;
using test::ScriptedDriver;

// An engine whose status texts are collected.
using Engine = test::RecordingSender;

ScriptedDriver* Attach(Engine& engine) {
  auto* d = new ScriptedDriver;
  engine.SetDriver(std::unique_ptr<Transport>(d));
  return d;
}

TEST(SenderFrames, FrameBytesAndSendDataHeader) {
  Engine e;
  ScriptedDriver* d = Attach(e);
  d->Queue(Reply(0));
  d->Queue(Reply(0));
  e.BeginMessage(kCmdReboot, 0, "Reboot");
  EXPECT_EQ(e.Exchange(e.Limits().rebootResultMs, 1), 0);
  ASSERT_EQ(d->writes.size(), 1u);
  EXPECT_EQ(d->writes[0], std::string("\x00\x06\x07\x00\x00\x00\xF3", 7));
  EXPECT_EQ(d->readLimits, (std::vector<unsigned>{10000, 10000}));

  d->Queue(Reply(0));
  d->Queue(Reply(0));
  const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
  EXPECT_EQ(e.SendData(0x0102, data, 3, 0xBEEF), 0);
  const std::string expected(
      "\x00\x06\x02\x00\x00\x0D"                  // header, payload 13
      "\x00\x0A\xBE\xEF\x01\x02\x00\x00\x00\x03"  // data header
      "\xAA\xBB\xCC",
      19);
  ASSERT_EQ(d->writes.size(), 2u);
  EXPECT_EQ(d->writes[1].substr(0, 19), expected);
  unsigned sum = 0;
  for (char c : d->writes[1]) sum += static_cast<uint8_t>(c);
  EXPECT_EQ(sum % 256, 0u);
  EXPECT_EQ(e.CommandName(), std::string("Send Data"));
  // Append never writes past the buffer, whatever a caller asks.
  std::string big(5000, 'x');
  e.BeginMessage(kCmdOpen, 0, "Open");
  EXPECT_EQ(e.Append(reinterpret_cast<const uint8_t*>(big.data()), 5000), 1);
  EXPECT_EQ(e.FrameLength(), Sender::kFrameBufferSize - 1);
}

TEST(SenderReplies, ReplyShapesGiveTheirCodes) {
  const struct {
    const char* name;
    std::vector<std::string> chunks;
    int result;
    std::string text;
  } rows[] = {
      {"13 bytes, length 6", {Reply(0)}, 0, ""},
      {"unit code", {Reply(4)}, 4, ""},
      {"negative code", {Reply(-3)}, -3, ""},
      {"length 5", {Reply(0, "", 5)}, 9, ""},
      {"length 0x8000", {Reply(0, "", 0x8000)}, 9, ""},
      {"12 bytes", {Reply(0).substr(0, 12)}, 10, ""},
      {"nothing", {}, 100, ""},
      {"text", {Reply(3, "flash dead")}, 3, "flash dead"},
      {"text in pieces", {Reply(3, "abc").substr(0, 13), Reply(3, "abc").substr(13)}, 3, "abc"},
      {"text ends at zero", {Reply(0, std::string("ab\0cd", 5))}, 0, "ab"},
      {"long text kept to 127", {Reply(5, std::string(300, 'q')) + Reply(0)}, 5, std::string(127, 'q')},
  };
  for (const auto& row : rows) {
    Engine e;
    ScriptedDriver* d = Attach(e);
    for (const auto& c : row.chunks) d->Queue(c);
    std::string text = "stale";
    EXPECT_EQ(e.ReadReply(1000, text), row.result) << row.name;
    if (row.result != 100 && row.result != 9 && row.result != 10) {
      EXPECT_EQ(text, row.text) << row.name;
    }
  }
  // The over-long text was drained: the next reply reads cleanly.
  Engine e;
  ScriptedDriver* d = Attach(e);
  d->Queue(Reply(5, std::string(300, 'q')) + Reply(7));
  std::string text;
  EXPECT_EQ(e.ReadReply(1000, text), 5);
  EXPECT_EQ(e.ReadReply(1000, text), 7);
}

TEST(SenderReplies, EmptyWaitAfterCancelIsACancel) {
  Engine e;
  ScriptedDriver* d = Attach(e);
  d->duringRead = [&] { e.SetCancel(1); };
  std::string text;
  EXPECT_EQ(e.ReadReply(1000, text), 1000);
}

TEST(SenderExchange, BadChecksumForeverSendsSixTimesAndLogsEach) {
  test::TempDir dir;
  const std::string program = dir / "romsend";  // the log of this run goes beside it
  test::TestContext context(ProgramProfilePath(program), nullptr, program);
  Engine e(context.run, dir / "romsend.txt");
  ScriptedDriver* d = Attach(e);
  d->onWrite = [&](const std::string&) { d->Queue(Reply(1)); };
  const uint32_t attempts = e.Attempts(), exchanges = e.Exchanges();
  e.BeginMessage(kCmdOpen, 0, "Open");
  EXPECT_EQ(e.Exchange(e.Limits().openResultMs, 1), 1);
  EXPECT_EQ(d->writes.size(), 6u);
  for (const auto& w : d->writes) EXPECT_EQ(w, d->writes[0]);
  EXPECT_EQ(e.traced, "RRRRR");
  EXPECT_EQ(e.Attempts() - attempts, 6u);
  EXPECT_EQ(e.Exchanges() - exchanges, 1u);
  const std::string log = test::ReadFileBytes(dir / "romsend.log");
  for (int i = 1; i <= 6; ++i)
    EXPECT_NE(log.find("Send: Bad Checksum - retry #" + std::to_string(i)), std::string::npos) << i;
  EXPECT_EQ(log.find("retry #7"), std::string::npos);
  EXPECT_EQ(e.MessageText(), "Bad Checksum (Open Command Ack Error 1)");
  EXPECT_NE(test::ReadFileBytes(dir / "romsend.txt").find("Bad Checksum (Open Command Ack Error 1)\r\n"),
            std::string::npos);
}

TEST(SenderExchange, ShortMessageThenSuccessResendsOnce) {
  Engine e;
  ScriptedDriver* d = Attach(e);
  d->Queue(Reply(0));
  d->Queue(Reply(6));  // the operation result says the frame was short
  d->Queue(Reply(0));
  d->Queue(Reply(0));
  e.BeginMessage(kCmdClose, 0, "Close");
  EXPECT_EQ(e.Exchange(e.Limits().closeResultMs, 0), 0);
  EXPECT_EQ(d->writes.size(), 2u);
  EXPECT_EQ(e.Retries() >= 1, true);
}

TEST(SenderExchange, CancelBeforeTheFrameWritesNothingAndIsAlwaysReported) {
  test::TempDir dir;
  Engine e(dir / "romsend.txt");
  ScriptedDriver* d = Attach(e);
  e.SetCancel(1);
  e.BeginMessage(kCmdClose, 0, "Close");
  EXPECT_EQ(e.Exchange(e.Limits().closeResultMs, 0), 1000);  // Close is reported when cancelled
  EXPECT_TRUE(d->writes.empty());
  EXPECT_EQ(e.statuses, std::vector<std::string>{"Cancelled by User"});
  EXPECT_EQ(e.MessageText(), "Cancelled by User");
  EXPECT_EQ(test::ReadFileBytes(dir / "romsend.txt"), "");
}

TEST(SenderExchange, FailingCloseIsSilent) {
  test::TempDir dir;
  Engine e(dir / "romsend.txt");
  ScriptedDriver* d = Attach(e);
  d->Queue(Reply(0));
  d->Queue(Reply(3));
  e.BeginMessage(kCmdClose, 0, "Close");
  EXPECT_EQ(e.Exchange(e.Limits().closeResultMs, 0), 3);
  EXPECT_TRUE(e.statuses.empty());
  EXPECT_EQ(test::ReadFileBytes(dir / "romsend.txt"), "");
}

TEST(SenderExchange, WriteFailureEndsAtTheWriteStage) {
  Engine e;
  ScriptedDriver* d = Attach(e);
  d->writeResult = 102;
  e.BeginMessage(kCmdReboot, 0, "Reboot");
  EXPECT_EQ(e.Exchange(e.Limits().rebootResultMs, 1), 102);
  EXPECT_EQ(e.MessageText(), "Unknown E102 (Reboot Write Error 102)");
}

TEST(SenderTexts, FailureLinesAndTextLookup) {
  const struct {
    int midi;
    const char* command;
    const char* stage;
    int code;
    std::string reply;
    std::string line;
  } rows[] = {
      {0, "Open", "Operation", 4, "", "Bad Flash Erase (Open Operation Error 4)"},
      {1, "Send Data", "Command Ack", 100, "", "Comms timeout (Send Data Command Ack Error 100)"},
      {0, "Send Data", "Command Ack", 100, "", "RS232 timeout  (Send Data Command Ack Error 100)"},
      {0, "Open", "Operation", 4, "erase failed at 0x10", "erase failed at 0x10 (Open Operation Error 4)"},
      {0, "Open", "Operation", 4014, "", "Unknown E4014 (Open Operation Error 4014)"},
      {1, "Open", "Operation", 4014, "", "Can't Explain (Open Operation Error 4014)"},
      {0, "Open", "Operation", 4013, "", "bad_compare (Open Operation Error 4013)"},
      {0, "Open", "Operation", -5, "", "Unknown E-5 (Open Operation Error -5)"},
      {1, "Send Data", "Write", 7, "", "Bad Flash Write 1 (Send Data Write Error 7)"},
      {0, "Open", "Operation", 6, "", "Unknown E6 (Open Operation Error 6)"},
      {1, "Open", "Operation", 6, "", "no device driver present (Open Operation Error 6)"},
      // The engine's own checks of a serial line.
      {0, "Send Data", "Write", 11, "", "Stray Data (Send Data Write Error 11)"},
      {0, "Open", "Command Ack", 12, "", "Bad Reply Header (Open Command Ack Error 12)"},
      {0, "Close", "Operation", 13, "", "Bad Reply Checksum (Close Operation Error 13)"},
  };
  for (const auto& row : rows) {
    Engine e;
    ScriptedDriver* d = Attach(e);
    d->midi = row.midi;
    e.BeginMessage(kCmdOpen, 0, row.command);
    e.ReportResult(row.stage, row.code, row.reply);
    EXPECT_EQ(e.MessageText(), row.line);
    ASSERT_EQ(e.statuses.size(), 1u);
    EXPECT_EQ(e.statuses[0], row.line);
  }
  Engine e;
  EXPECT_EQ(e.ErrorText(kAskDriver), "ok");  // no driver: LastError counts as 0
  EXPECT_EQ(e.ErrorText(-1), "Unknown Error");
  EXPECT_EQ(Sender::DeviceErrorWord(4015), "");
  EXPECT_EQ(Sender::DeviceErrorWord(4016), "timeout");
  // A line longer than the message text is cut to 255 characters.
  Attach(e);
  e.ReportResult("Operation", 3, std::string(400, 'z'));
  EXPECT_EQ(e.MessageText(), std::string(255, 'z'));
}

// A resend mark goes to standard error, so that standard output keeps whole status lines.
TEST(SenderTexts, ResendMarksLeaveStandardOutputAlone) {
  test::TempDir dir;
  test::TestContext context;
  Sender engine(context.run, dir / "romsend.txt");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  engine.TraceChar('R');
  engine.ShowStatus("Transfer Successful", 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "R");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Transfer Successful\n");
}

}  // namespace
}  // namespace kestrune
