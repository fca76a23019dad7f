// The engine and the serial transport against the simulated unit over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <thread>

#include "platform/event_pump.h"
#include "platform/profile.h"
#include "platform/tick_count.h"
#include "protocol/sender.h"
#include "simulated_unit.h"
#include "test_env.h"
#include "transport/win_comm_driver.h"

namespace kestrune {
namespace {

// A unit on a pty, the "serial" settings naming it, and an engine with a serial driver whose
// status texts are collected with the tick they were shown at.
struct Bench {
  sim::SimulatedUnit unit;
  test::TempDir dir;
  HeadlessEventPump pump;
  std::unique_ptr<mySender> engine;
  std::vector<std::pair<std::string, uint32_t>> shown;

  Bench() {
    EXPECT_TRUE(unit.Start()) << unit.LastError();
    AppProfile().WriteString("serial", "port", unit.SlavePath());
    SetCurrentPump(&pump);
    engine = std::make_unique<mySender>(dir / "romsend.txt");
    engine->SetStatusPrinter([this](const char*, const char* text) { shown.emplace_back(text, TickCount()); });
    engine->SetDriver(new WinCommDriver("Serial Settings"));
  }
  ~Bench() {
    engine.reset();
    SetCurrentPump(nullptr);
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> t;
    for (const auto& s : shown) t.push_back(s.first);
    return t;
  }
  std::string Log() const { return test::ReadFileBytes(dir / "romsend.txt"); }
};

TEST(SessionOverPty, ContactFramesAndTheRecordingAgree) {
  Bench b;
  ASSERT_EQ(b.engine->Contact(), 0);
  const auto texts = b.Texts();
  ASSERT_GE(texts.size(), 4u);
  EXPECT_EQ(texts[0], "Awaiting contact");
  EXPECT_EQ(texts[1], "Contact made");
  EXPECT_EQ(texts[2], "Setting Baud Rate (19)");
  EXPECT_EQ(texts[3], "Success");
  for (size_t i = 1; i < b.shown.size(); ++i) EXPECT_GE(TickDiff(b.shown[i].second, b.shown[i - 1].second), 500);

  const uint8_t header[6] = {0x00, 0x06, 0x12, 0x34, 0x00, 0x01};
  b.engine->BeginMessage(kCmdOpen, sizeof header, "Open");
  b.engine->Append(header, sizeof header);
  EXPECT_EQ(b.engine->Exchange(kOpenResultLimitMs, 1), 0);
  std::vector<uint8_t> data(1536);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
  EXPECT_EQ(b.engine->SendData(3, data.data(), 1536, 0x1234), 0);
  EXPECT_EQ(b.engine->SendData(4, data.data(), 10, 0x1234), 0);
  b.engine->BeginMessage(kCmdClose, 0, "Close");
  EXPECT_EQ(b.engine->Exchange(kCloseResultLimitMs, 0), 0);
  b.engine->CloseDriver();

  const sim::Recording r = b.unit.Snapshot();
  EXPECT_EQ(r.wakeUps, 1u);
  EXPECT_EQ(r.syncs, 1u);
  EXPECT_EQ(r.commands, (std::vector<uint8_t>{1, 2, 2, 5}));
  EXPECT_EQ(r.imageHeader, std::vector<uint8_t>(header, header + 6));
  ASSERT_EQ(r.chunks.size(), 2u);
  EXPECT_EQ(r.chunks[0], (sim::DataChunk{0x1234, 3, data}));
  EXPECT_EQ(r.chunks[1], (sim::DataChunk{0x1234, 4, std::vector<uint8_t>(data.begin(), data.begin() + 10)}));
  EXPECT_EQ(r.badFrames, 0u);
  // The contact's start time is the result log's first line.
  EXPECT_NE(b.Log().find("\r\n"), std::string::npos);
}

TEST(SessionOverPty, UnitFaultsBecomeFailureLines) {
  Bench b;
  ASSERT_EQ(b.engine->Contact(), 0);
  b.unit.SetReplyFault(sim::kCmdOpen, sim::Stage::kResult, {sim::ReplyFault::Kind::kCode, 4, "", 1});
  const uint8_t header[2] = {0x00, 0x02};
  b.engine->BeginMessage(kCmdOpen, 2, "Open");
  b.engine->Append(header, 2);
  EXPECT_EQ(b.engine->Exchange(kOpenResultLimitMs, 1), 4);
  EXPECT_EQ(b.engine->MessageText(), "Bad Flash Erase (Open Operation Error 4)");

  b.unit.SetReplyFault(sim::kCmdSendData, sim::Stage::kAck, {sim::ReplyFault::Kind::kCode, 3, "flash worn", 1});
  const uint8_t byte = 7;
  EXPECT_EQ(b.engine->SendData(0, &byte, 1, 0), 3);
  EXPECT_EQ(b.engine->MessageText(), "flash worn (Send Data Command Ack Error 3)");

  // Two bad checksums, then the frame goes through: two resends.
  const int retries = b.engine->Retries();
  b.unit.SetBadChecksumFrames(2);
  EXPECT_EQ(b.engine->SendData(1, &byte, 1, 0), 0);
  EXPECT_EQ(b.engine->Retries() - retries, 2);

  const std::string log = b.Log();
  EXPECT_NE(log.find("Bad Flash Erase (Open Operation Error 4)\r\n"), std::string::npos);
  EXPECT_NE(log.find("flash worn (Send Data Command Ack Error 3)\r\n"), std::string::npos);
}

TEST(SessionOverPty, ZeroAnswerIsNoContactAndSilenceFailsTheStartUp) {
  Bench b;
  b.unit.SetWakeAnswer(0x00);
  EXPECT_EQ(b.engine->Contact(), 1);
  const auto texts = b.Texts();
  EXPECT_EQ(texts.back(), "Communication startup failed !!");
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "Contact made"), 0);
  EXPECT_EQ(texts[texts.size() - 2], "Awaiting contact 1");
}

TEST(SessionOverPty, CancelDuringTheContactWait) {
  Bench b;
  b.unit.SetSilent(true);
  b.pump.Post([&] { b.engine->SetCancel(1); });  // as a Stop click inside the wait
  EXPECT_EQ(b.engine->Contact(), 101);
  EXPECT_EQ(b.Texts().back(), "Cancelled");
}

TEST(SessionOverPty, SynchronisationWaitsOnOnePromptAndGivesUpAfterTwenty) {
  {
    Bench b;
    b.unit.SetPromptAnswer("xyz#", 300);  // chatter first, each byte within a second
    EXPECT_EQ(b.engine->Contact(), 0);
    EXPECT_EQ(b.unit.Snapshot().prompts, 1u);
  }
  {
    Bench b;
    b.unit.SetPromptAnswer(std::string(1, '\0'));  // a zero byte ends each prompt's wait at once
    EXPECT_EQ(b.engine->Contact(), 1);
    EXPECT_EQ(b.Texts().back(), "Failure");
    EXPECT_EQ(b.unit.Snapshot().prompts, 20u);
  }
}

TEST(SessionOverPty, PortInUseIsAFaultyPort) {
  Bench b;
  WinCommDriver other("Serial Settings");
  ASSERT_EQ(other.Open(), 0);
  EXPECT_EQ(b.engine->Contact(), 1);
  EXPECT_EQ(b.Texts().back(), "Serial port is faulty or in use by another program !!");
}

}  // namespace
}  // namespace kestrune
