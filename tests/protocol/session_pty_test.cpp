// SPDX-License-Identifier: MIT
// The engine and the serial transport against the simulated unit over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/event_pump.h"
#include "platform/profile.h"
#include "platform/tick_count.h"
#include "protocol/protocol_engine.h"
#include "short_limits.h"
#include "simulated_unit.h"
#include "test_context.h"
#include "test_env.h"
#include "unit_on_serial_line.h"

namespace kestrune {
namespace {

// The engine over a real line, its status texts collected with the tick they were shown at.
struct Bench : test::UnitOnSerialLine {
  std::vector<std::pair<std::string, uint32_t>> shown;
  std::function<void(const std::string&)> onText;

  explicit Bench(const ProtocolLimits& limits = {}) : UnitOnSerialLine(limits) {
    engine->SetStatusPrinter([this](const char*, const char* text) {
      shown.emplace_back(text, TickCount());
      if (onText) onText(text);
    });
  }
  ~Bench() { engine.reset(); }
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
  EXPECT_EQ(b.engine->Exchange(b.engine->Limits().openResultMs, 1), 0);
  std::vector<uint8_t> data(1536);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
  EXPECT_EQ(b.engine->SendData(3, data.data(), 1536, 0x1234), 0);
  EXPECT_EQ(b.engine->SendData(4, data.data(), 10, 0x1234), 0);
  b.engine->BeginMessage(kCmdClose, 0, "Close");
  EXPECT_EQ(b.engine->Exchange(b.engine->Limits().closeResultMs, 0), 0);
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
  EXPECT_EQ(b.engine->Exchange(b.engine->Limits().openResultMs, 1), 4);
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
  Bench b(test::ShortLimits());
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
  b.context.headlessPump.Post([&] { b.engine->SetCancel(1); });  // as a Stop click inside the wait
  EXPECT_EQ(b.engine->Contact(), 101);
  EXPECT_EQ(b.Texts().back(), "Cancelled");
}

TEST(SessionOverPty, SynchronisationWaitsOnOnePromptAndGivesUpAfterTwenty) {
  {
    Bench b(test::ShortPauses());
    b.unit.SetPromptAnswer("xyz#", 300);  // chatter first, each byte within a second
    EXPECT_EQ(b.engine->Contact(), 0);
    EXPECT_EQ(b.unit.Snapshot().prompts, 1u);
  }
  {
    Bench b(test::ShortPauses());
    b.unit.SetPromptAnswer(std::string(1, '\0'));  // a zero byte ends each prompt's wait at once
    EXPECT_EQ(b.engine->Contact(), 1);
    EXPECT_EQ(b.Texts().back(), "Failure");
    EXPECT_EQ(b.unit.Snapshot().prompts, 20u);
  }
}

TEST(SessionOverPty, PortInUseIsAFaultyPort) {
  Bench b;
  SerialTransport other(b.context.run, "Serial Settings");
  ASSERT_EQ(other.Open(), 0);
  EXPECT_EQ(b.engine->Contact(), 1);
  EXPECT_EQ(b.Texts().back(), "Serial port is faulty or in use by another program !!");
}

// A peer that never stops talking, and a reply that announces more text than it brings: each
// wait ends within its own limit, whatever arrives meanwhile.
TEST(SessionOverPty, EveryWaitEndsWithinItsLimitWhateverArrives) {
  // Shortened limits, and bounds made of them and of room for a loaded machine. The quiet
  // after 'A' is longer than the real one here and the chatter denser, so that a simulator
  // held up by a busy machine cannot pass for a line that fell quiet.
  ProtocolLimits limits = test::ShortLimits();
  limits.drainQuietMs = 400;
  limits.drainLimitMs = 1500;
  const auto bound = [&limits](unsigned waitsMs, unsigned texts) {
    return static_cast<int32_t>(waitsMs + texts * limits.statusGapMs + 3000);
  };
  // A reply that announces 200 text bytes and brings 20, then falls silent.
  std::string cut = sim::BuildReply(sim::kCmdClose, 0, std::string(200, 't')).substr(0, 33);
  struct Row {
    const char* name;
    std::function<void(sim::SimulatedUnit&)> fault;
    bool frame;  // the fault hits Close's acknowledgement, not the contact phase
    int result;
    const char* text;
    int32_t boundMs;  // what the waits' own limits allow, with room for a loaded machine
  } rows[] = {
      // Twenty prompts, each answered within its wait or not at all.
      {"endless talk without '#'",
       [](sim::SimulatedUnit& u) {
         u.SetPromptAnswer("");
         u.SetChatter("no hash here ", 50);
       },
       false, 1, "Failure", bound(20 * limits.promptWaitMs, 24)},
      // The '#' comes, but the line never falls quiet after 'A'.
      {"'#', then endless talk", [](sim::SimulatedUnit& u) { u.SetChatter("chatter ", 10); }, false, 1, "Failure",
       bound(limits.contactWaitMs + limits.promptWaitMs + limits.drainLimitMs, 5)},
      {"reply text announced longer than sent", [cut](sim::SimulatedUnit& u) { u.SetGarbage(cut, 1); }, true, 10,
       nullptr, bound(limits.ackMs, 0)},
  };
  for (const Row& row : rows) {
    Bench b(limits);
    if (row.frame) {
      ASSERT_EQ(b.engine->Contact(), 0) << row.name;
    }
    row.fault(b.unit);
    // Ends a wait that would never end by itself, so a fault shows as a failed row, not a hang.
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
      for (int i = 0; i < 600 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (!done) b.context.headlessPump.Post([&] { b.engine->SetCancel(1); });
    });
    const uint32_t start = TickCount();
    int result;
    if (row.frame) {
      b.engine->BeginMessage(kCmdClose, 0, "Close");
      result = b.engine->Exchange(b.engine->Limits().closeResultMs, 0);
    } else {
      result = b.engine->Contact();
    }
    const int32_t elapsed = TickDiff(TickCount(), start);
    done = true;
    watchdog.join();
    EXPECT_EQ(result, row.result) << row.name;
    EXPECT_LE(elapsed, row.boundMs) << row.name;
    if (row.text) {
      EXPECT_EQ(b.Texts().back(), row.text) << row.name;
    }
  }
}

// Stop, and a cable pulled out, end every wait of a send within a second: the contact wait, the
// line synchronisation, the erase, a data frame and Close. After a Stop the unit, left in its
// boot loader, takes a whole send at once.
TEST(SessionOverPty, StopAndHangUpEndEveryPhaseWithinASecond) {
  enum class Phase { kContact, kSync, kErase, kData, kClose };
  const char* const kPortFault = "Serial port is faulty or in use by another program !!";
  struct Row {
    const char* name;
    Phase phase;
    bool hangUp;
    int result;
    const char* text;  // the last status text; null: none is shown for it
  } rows[] = {
      {"stop at contact", Phase::kContact, false, kContactCancelled, "Cancelled"},
      {"stop at sync", Phase::kSync, false, 1, "Cancelled"},
      {"stop in the erase", Phase::kErase, false, kCancelledByUser, "Cancelled by User"},
      {"stop at data", Phase::kData, false, kCancelledByUser, "Cancelled by User"},
      {"stop at close", Phase::kClose, false, kCancelledByUser, "Cancelled by User"},
      {"hang-up at contact", Phase::kContact, true, 1, kPortFault},
      {"hang-up at sync", Phase::kSync, true, 1, kPortFault},
      {"hang-up in the erase", Phase::kErase, true, 102, "RS232 disconnected  (Open Operation Error 102)"},
      {"hang-up at data", Phase::kData, true, 102, "RS232 disconnected  (Send Data Operation Error 102)"},
      {"hang-up at close", Phase::kClose, true, 102, nullptr},  // Close reports no failure
  };
  const uint8_t header[6] = {0x00, 0x06, 0x12, 0x34, 0x00, 0x01};
  const uint8_t data[4] = {1, 2, 3, 4};
  for (const Row& row : rows) {
    // The real waits: each must still be running when the stop or the pull comes.
    Bench b(test::ShortPauses());
    std::atomic<uint32_t> fired{0};
    std::thread trigger;
    // The stop (a click dispatched inside the wait) or the pull, `afterMs` from now.
    auto fireIn = [&](int afterMs) {
      trigger = std::thread([&, afterMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
        fired = TickCount();
        if (row.hangUp)
          b.unit.SetHangUpAfter(0);
        else
          b.context.headlessPump.Post([&] { b.engine->SetCancel(1); });
      });
    };
    if (row.phase == Phase::kContact || row.phase == Phase::kSync) {
      if (row.phase == Phase::kContact) b.unit.SetSilent(true);
      // A unit that keeps chattering instead of answering the prompt.
      if (row.phase == Phase::kSync) b.unit.SetPromptAnswer(std::string(30, 'x'), 100);
      const std::string when = row.phase == Phase::kContact ? "Awaiting contact 9" : "Setting Baud Rate (19)";
      b.onText = [&, when](const std::string& text) {
        if (text == when && !trigger.joinable()) fireIn(100);
      };
    } else {
      ASSERT_EQ(b.engine->Contact(), 0) << row.name;
      b.unit.SetEraseDelay(3000);  // a stop after 300 ms leaves the unit erasing
      b.unit.SetReplyFault(sim::kCmdSendData, sim::Stage::kResult, {sim::ReplyFault::Kind::kSilent, 0, "", 1});
      b.unit.SetReplyFault(sim::kCmdClose, sim::Stage::kResult, {sim::ReplyFault::Kind::kSilent, 0, "", 1});
      fireIn(300);
    }
    int result = 0;
    switch (row.phase) {
      case Phase::kContact:
      case Phase::kSync:
        result = b.engine->Contact();
        break;
      case Phase::kErase:
        b.engine->BeginMessage(kCmdOpen, sizeof header, "Open");
        b.engine->Append(header, sizeof header);
        result = b.engine->Exchange(b.engine->Limits().openResultMs, 1);
        break;
      case Phase::kData:
        result = b.engine->SendData(0, data, sizeof data, 0x1234);
        break;
      case Phase::kClose:
        b.engine->BeginMessage(kCmdClose, 0, "Close");
        result = b.engine->Exchange(b.engine->Limits().closeResultMs, 0);
        break;
    }
    const uint32_t returned = TickCount();
    if (trigger.joinable()) trigger.join();
    EXPECT_EQ(result, row.result) << row.name;
    ASSERT_NE(fired.load(), 0u) << row.name << ": ended before the stop or the pull";
    EXPECT_LE(TickDiff(returned, fired), 1000) << row.name;
    if (row.text) {
      EXPECT_EQ(b.Texts().back(), row.text) << row.name;
    }
    if (row.hangUp) continue;

    // Send again at once: the unit is found and takes the whole send.
    b.onText = nullptr;
    b.unit.SetSilent(false);
    b.unit.SetPromptAnswer("#");
    b.unit.SetEraseDelay(0);
    b.unit.ClearReplyFaults();
    b.unit.ClearRecording();
    ASSERT_EQ(b.engine->Contact(), 0) << row.name;
    b.engine->BeginMessage(kCmdOpen, sizeof header, "Open");
    b.engine->Append(header, sizeof header);
    EXPECT_EQ(b.engine->Exchange(b.engine->Limits().openResultMs, 1), 0) << row.name;
    EXPECT_EQ(b.engine->SendData(0, data, sizeof data, 0x1234), 0) << row.name;
    b.engine->BeginMessage(kCmdClose, 0, "Close");
    EXPECT_EQ(b.engine->Exchange(b.engine->Limits().closeResultMs, 1), 0) << row.name;
    const sim::Recording r = b.unit.Snapshot();
    EXPECT_EQ(r.imageHeader, std::vector<uint8_t>(header, header + sizeof header)) << row.name;
    ASSERT_FALSE(r.chunks.empty()) << row.name;
    EXPECT_EQ(r.chunks.back().data, std::vector<uint8_t>(data, data + sizeof data)) << row.name;
  }
}

}  // namespace
}  // namespace kestrune
