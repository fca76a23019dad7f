// SPDX-License-Identifier: MIT
// The simulated unit driven over the slave side of its pty with frames built by hand from the
// boot loader's wire layout: session start, a whole transfer recorded, damaged frames, every
// fault switch, pacing, hang-up and a prompt Stop.
#include "simulated_unit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <vector>

#include "slave_client.h"

namespace kestrune::sim {
namespace {

using test::Be16;
using test::Be32;
using test::DataPayload;
using test::Frame;
using test::ReadReply;
using test::SlaveClient;
using test::Synchronise;
using Ms = std::chrono::milliseconds;

struct Expect {
  int16_t code;
  std::string text;
};

// A command the boot loader does not know: acknowledged, then refused with "aborted". Sent
// after a fault to prove that no stray reply of the frame before is still on the line.
constexpr uint8_t kProbeCommand = 9;

void ExpectReplies(SlaveClient& client, const std::vector<Expect>& expected, const std::string& where) {
  for (size_t i = 0; i < expected.size(); ++i) {
    auto reply = ReadReply(client);
    ASSERT_TRUE(reply) << where << ": reply " << i << " missing";
    EXPECT_EQ(reply->code, expected[i].code) << where << ": reply " << i;
    EXPECT_EQ(reply->text, expected[i].text) << where << ": reply " << i;
    EXPECT_EQ(reply->length, static_cast<int16_t>(6 + expected[i].text.size())) << where;
    EXPECT_TRUE(reply->sumsToZero) << where << ": reply " << i;
  }
}

void ExpectNothingStray(SlaveClient& client, const std::string& where) {
  ASSERT_TRUE(client.Write(Frame(kProbeCommand)));
  ExpectReplies(client, {{kCodeOk, ""}, {kCodeAborted, ""}}, where + " (probe)");
}

// An image header as a BAM file stores it: length, block count, tag word, block descriptors
// (address, parameter), then bytes the host does not interpret.
std::string ImageHeader(uint16_t tag) {
  const std::string body = Be16(3) + Be16(tag) + Be32(0x00010000) + Be32(7) + Be32(0x00020000) + Be32(0) +
                           Be32(0x00030000) + Be32(0x12345678) + std::string("\x01\x02\x03", 3);
  return Be16(static_cast<uint16_t>(body.size() + 2)) + body;
}

std::string Pattern(size_t n, uint8_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7);
  return s;
}

std::vector<uint8_t> ToBytes(const std::string& s) {
  return {s.begin(), s.end()};
}

TEST(SimulatedUnit, WakesSynchronisesAndAnswersEveryPrompt) {
  SimulatedUnit unit;
  ASSERT_TRUE(unit.Start()) << unit.LastError();
  SlaveClient client(unit.SlavePath());
  ASSERT_TRUE(client.Ok());
  // Asleep, the unit ignores prompts: only the wake-up byte is answered.
  ASSERT_TRUE(client.Write("U"));
  ASSERT_TRUE(client.Write("\x06"));
  const std::string wake = client.Read(2, 300);
  ASSERT_EQ(wake.size(), 1u);
  EXPECT_NE(wake[0], '\0');
  ASSERT_TRUE(client.Write("UxU"));  // noise between prompts is ignored
  EXPECT_EQ(client.Read(2, 2000), "##");
  ASSERT_TRUE(client.Write("A"));
  ExpectNothingStray(client, "after sync");
  const Recording r = unit.Snapshot();
  EXPECT_EQ(r.wakeUps, 1u);
  EXPECT_EQ(r.prompts, 2u);
  EXPECT_EQ(r.syncs, 1u);
}

TEST(SimulatedUnit, RecordsAWholeTransferExactly) {
  SimulatedUnit unit;
  ASSERT_TRUE(unit.Start());
  SlaveClient client(unit.SlavePath());
  ASSERT_TRUE(Synchronise(client));
  const uint16_t tag = 0xBEEF;
  const std::string header = ImageHeader(tag);
  ASSERT_TRUE(client.Write(Frame(kCmdOpen, header)));
  ExpectReplies(client, {{0, ""}, {0, ""}}, "Open");
  // Block 1 has length 0 and sends nothing; block 0 comes in a full chunk and a short one.
  const std::vector<DataChunk> expected = {
      {tag, 0, ToBytes(Pattern(1536, 1))}, {tag, 0, ToBytes(Pattern(5, 9))}, {tag, 2, ToBytes(Pattern(700, 200))}};
  for (const DataChunk& c : expected) {
    ASSERT_TRUE(client.Write(Frame(kCmdSendData, DataPayload(tag, c.block, {c.data.begin(), c.data.end()}))));
    ExpectReplies(client, {{0, ""}, {0, ""}}, "Send Data");
  }
  ASSERT_TRUE(client.Write(Frame(kCmdClose)));
  ExpectReplies(client, {{0, ""}, {0, ""}}, "Close");

  const Recording r = unit.Snapshot();
  EXPECT_EQ(std::string(r.imageHeader.begin(), r.imageHeader.end()), header);
  EXPECT_EQ(r.chunks, expected);
  EXPECT_EQ(r.commands, (std::vector<uint8_t>{kCmdOpen, kCmdSendData, kCmdSendData, kCmdSendData, kCmdClose}));
  EXPECT_EQ(r.frames, 5u);
  EXPECT_EQ(r.badFrames, 0u);
}

TEST(SimulatedUnit, RefusesDamagedFramesOnceAndTakesTheNext) {
  std::string badSum = Frame(kCmdClose);
  badSum.back() = static_cast<char>(badSum.back() + 1);
  std::string badData = Frame(kCmdSendData, DataPayload(1, 0, "abcdef"));
  badData[20] ^= 0x40;
  const std::string open = Frame(kCmdOpen, ImageHeader(1));
  struct Row {
    const char* name;
    std::string bytes;
    int16_t code;
  } rows[] = {
      {"checksum byte off by one", badSum, kCodeBadChecksum},
      {"data byte changed on the way", badData, kCodeBadChecksum},
      {"frame stops short of its length", open.substr(0, open.size() - 5), kCodeShortMessage},
      {"header stops after four bytes", open.substr(0, 4), kCodeShortMessage},
      {"header length is not 6", std::string("\x00\x07\x05\x00\x00\x00\xF4", 7), kCodeShortMessage},
      // Well-formed and correctly summed, but longer than the host's 4096-byte frame buffer.
      {"payload longer than any host frame", Frame(kCmdSendData, DataPayload(1, 0, Pattern(4080, 3))),
       kCodeShortMessage},
      {"data header announces more than it carries",
       Frame(kCmdSendData, Be16(10) + Be16(1) + Be16(0) + Be32(9) + "abc"), kCodeShortMessage},
      {"data header too small", Frame(kCmdSendData, "abc"), kCodeShortMessage},
      {"bytes that are no frame", "xyz", kCodeShortMessage},
  };
  for (const Row& row : rows) {
    SimulatedUnit unit(UnitOptions{.baud = 0, .frameGapMs = 100});
    ASSERT_TRUE(unit.Start());
    SlaveClient client(unit.SlavePath());
    ASSERT_TRUE(Synchronise(client)) << row.name;
    ASSERT_TRUE(client.Write(row.bytes));
    ExpectReplies(client, {{row.code, ""}}, row.name);
    ExpectNothingStray(client, row.name);
    const Recording r = unit.Snapshot();
    EXPECT_EQ(r.badFrames, 1u) << row.name;
    EXPECT_EQ(r.frames, 2u) << row.name;
    EXPECT_EQ(r.commands, std::vector<uint8_t>{kProbeCommand}) << row.name;
    EXPECT_TRUE(r.chunks.empty()) << row.name;
  }
}

TEST(SimulatedUnit, BadChecksumSwitchRefusesTheNextFramesOnly) {
  SimulatedUnit unit;
  unit.SetBadChecksumFrames(2);
  ASSERT_TRUE(unit.Start());
  SlaveClient client(unit.SlavePath());
  ASSERT_TRUE(Synchronise(client));
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(client.Write(Frame(kCmdClose)));
    ExpectReplies(client, {{kCodeBadChecksum, ""}}, "forced bad checksum");
  }
  ASSERT_TRUE(client.Write(Frame(kCmdClose)));
  ExpectReplies(client, {{0, ""}, {0, ""}}, "third Close");
  const Recording r = unit.Snapshot();
  EXPECT_EQ(r.badFrames, 2u);
  EXPECT_EQ(r.commands, std::vector<uint8_t>{kCmdClose});
}

TEST(SimulatedUnit, ReplyFaultsReplaceTheChosenReply) {
  const ReplyFault silent{ReplyFault::Kind::kSilent, 0, "", -1};
  struct Row {
    const char* name;
    uint8_t command;
    Stage stage;
    ReplyFault fault;
    int framesSent;
    std::vector<Expect> replies;  // for all frames sent, in order
  } rows[] = {
      {"erase fails with a text",
       kCmdOpen,
       Stage::kResult,
       {ReplyFault::Kind::kCode, 4, "erase failed", -1},
       1,
       {{0, ""}, {4, "erase failed"}}},
      {"data refused at the acknowledgement",
       kCmdSendData,
       Stage::kAck,
       {ReplyFault::Kind::kCode, 3, "", -1},
       1,
       {{3, ""}}},
      {"device error word code",
       kCmdClose,
       Stage::kResult,
       {ReplyFault::Kind::kCode, 4012, "", -1},
       1,
       {{0, ""}, {4012, ""}}},
      {"negative code", kCmdReboot, Stage::kResult, {ReplyFault::Kind::kCode, -5, "", -1}, 1, {{0, ""}, {-5, ""}}},
      {"no operation result", kCmdClose, Stage::kResult, silent, 1, {{0, ""}}},
      {"no acknowledgement and no result", kCmdReboot, Stage::kAck, silent, 1, {}},
      {"fault for one frame only",
       kCmdClose,
       Stage::kResult,
       {ReplyFault::Kind::kCode, 2, "", 1},
       2,
       {{0, ""}, {2, ""}, {0, ""}, {0, ""}}},
  };
  for (const Row& row : rows) {
    SimulatedUnit unit;
    unit.SetReplyFault(row.command, row.stage, row.fault);
    ASSERT_TRUE(unit.Start());
    SlaveClient client(unit.SlavePath());
    ASSERT_TRUE(Synchronise(client)) << row.name;
    const std::string payload = row.command == kCmdOpen       ? ImageHeader(5)
                                : row.command == kCmdSendData ? DataPayload(5, 0, "data")
                                                              : std::string();
    for (int i = 0; i < row.framesSent; ++i) ASSERT_TRUE(client.Write(Frame(row.command, payload)));
    ExpectReplies(client, row.replies, row.name);
    ExpectNothingStray(client, row.name);
    EXPECT_EQ(unit.Snapshot().commands.size(), static_cast<size_t>(row.framesSent + 1)) << row.name;
  }
}

// The faults of a line that misleads a host: replies doubled, damaged or late, a fault on one
// chosen frame, and a unit that is busy erasing. Each row reads every reply that comes.
TEST(SimulatedUnit, MisleadingRepliesComeAsSet) {
  struct Seen {
    int16_t header;
    int16_t code;
    bool sums;
  };
  const std::string close = Frame(kCmdClose);
  struct Row {
    const char* name;
    std::function<void(SimulatedUnit&)> set;
    std::vector<std::string> frames;
    std::vector<Seen> replies;
  } rows[] = {
      {"every reply twice",
       [](SimulatedUnit& u) { u.SetDoubledReplies(-1); },
       {close},
       {{6, 0, true}, {6, 0, true}, {6, 0, true}, {6, 0, true}}},
      {"one reply twice",
       [](SimulatedUnit& u) { u.SetDoubledReplies(1); },
       {close, close},
       {{6, 0, true}, {6, 0, true}, {6, 0, true}, {6, 0, true}, {6, 0, true}}},
      {"result code on the second frame only",
       [](SimulatedUnit& u) {
         u.SetReplyFault(kCmdClose, Stage::kResult, {ReplyFault::Kind::kCode, 2, "", 1, 1});
       },
       {close, close, close},
       {{6, 0, true}, {6, 0, true}, {6, 0, true}, {6, 2, true}, {6, 0, true}, {6, 0, true}}},
      {"damaged checksum",
       [](SimulatedUnit& u) {
         u.SetReplyFault(kCmdClose, Stage::kResult, {ReplyFault::Kind::kBadChecksum, 4, "", 1});
       },
       {close},
       {{6, 0, true}, {6, 4, false}}},
      {"damaged header",
       [](SimulatedUnit& u) {
         u.SetReplyFault(kCmdClose, Stage::kAck, {ReplyFault::Kind::kBadHeader, 0, "", 1});
       },
       {close},
       {{7, 0, true}, {6, 0, true}}},
      // A frame sent during the erase is answered only after Open's result.
      {"busy while erasing",
       [](SimulatedUnit& u) {
         u.SetEraseDelay(300);
         u.SetReplyFault(kCmdOpen, Stage::kResult, {ReplyFault::Kind::kCode, 4, "", 1});
       },
       {Frame(kCmdOpen, ImageHeader(2)), close},
       {{6, 0, true}, {6, 4, true}, {6, 0, true}, {6, 0, true}}},
  };
  for (const Row& row : rows) {
    SimulatedUnit unit;
    row.set(unit);
    ASSERT_TRUE(unit.Start());
    SlaveClient client(unit.SlavePath());
    ASSERT_TRUE(Synchronise(client)) << row.name;
    for (const auto& frame : row.frames) ASSERT_TRUE(client.Write(frame));
    for (size_t i = 0; i < row.replies.size(); ++i) {
      const auto reply = ReadReply(client);
      ASSERT_TRUE(reply) << row.name << ": reply " << i;
      EXPECT_EQ(reply->header, row.replies[i].header) << row.name << ": reply " << i;
      EXPECT_EQ(reply->code, row.replies[i].code) << row.name << ": reply " << i;
      EXPECT_EQ(reply->sumsToZero, row.replies[i].sums) << row.name << ": reply " << i;
    }
    EXPECT_EQ(client.Read(1, 300), "") << row.name << ": more than expected";
  }
}

// A peer that talks without end, whatever it is sent, until told to stop.
TEST(SimulatedUnit, ChatterGoesOnUntilSwitchedOff) {
  SimulatedUnit unit;
  ASSERT_TRUE(unit.Start());
  SlaveClient client(unit.SlavePath());
  unit.SetChatter("abc", 20);
  std::string heard;
  for (int i = 0; i < 10 && heard.size() < 30; ++i) heard += client.Read(30 - heard.size(), 1000);
  EXPECT_EQ(heard, "abcabcabcabcabcabcabcabcabcabc");
  unit.SetChatter("");
  client.Read(1000, 200);  // what was already on its way
  EXPECT_EQ(client.Read(1, 300), "");
}

TEST(SimulatedUnit, SessionFaultsChangeTheAnswersToWakeUpAndPrompts) {
  struct Row {
    const char* name;
    std::function<void(SimulatedUnit&)> set;
    std::string send;
    std::string expected;
  } rows[] = {
      {"wake-up answered with zero", [](SimulatedUnit& u) { u.SetWakeAnswer(0x00); }, "\x06", std::string(1, '\0')},
      {"wake-up not answered", [](SimulatedUnit& u) { u.SetWakeAnswer(std::nullopt); }, "\x06", ""},
      {"silent unit", [](SimulatedUnit& u) { u.SetSilent(true); }, "\x06U", ""},
      {"prompts answered with other bytes", [](SimulatedUnit& u) { u.SetPromptAnswer("x?"); }, "\x06U", "\x06x?"},
      {"prompts not answered", [](SimulatedUnit& u) { u.SetPromptAnswer(""); }, "\x06UU", "\x06"},
  };
  for (const Row& row : rows) {
    SimulatedUnit unit;
    row.set(unit);
    ASSERT_TRUE(unit.Start());
    SlaveClient client(unit.SlavePath());
    ASSERT_TRUE(client.Write(row.send));
    // Read one byte more than expected so that any extra answer shows; bounded wait.
    EXPECT_EQ(client.Read(row.expected.size() + 1, 300), row.expected) << row.name;
    EXPECT_EQ(unit.Snapshot().wakeUps, 1u) << row.name;  // heard, whatever it answered
  }
}

TEST(SimulatedUnit, GarbageComesBeforeTheNextReplyOnly) {
  SimulatedUnit unit;
  ASSERT_TRUE(unit.Start());
  SlaveClient client(unit.SlavePath());
  ASSERT_TRUE(Synchronise(client));
  const std::string garbage("\xAA\x00\x55", 3);
  unit.SetGarbage(garbage, 1);
  ASSERT_TRUE(client.Write(Frame(kCmdClose)));
  EXPECT_EQ(client.Read(3, 2000), garbage);
  ExpectReplies(client, {{0, ""}, {0, ""}}, "replies after the garbage");
  ExpectNothingStray(client, "garbage");
}

TEST(SimulatedUnit, DelaysHoldAnswersBackAtLeastTheirTime) {
  // Lower bounds only: a slow machine can make an answer late, never early.
  const std::string close = Frame(kCmdClose);
  struct Row {
    const char* name;
    UnitOptions options;
    std::function<void(SimulatedUnit&)> set;
    std::string send;
    size_t answerSize;
    Ms atLeast;
  } rows[] = {
      // Prompt answer "ab#" with 150 ms between its bytes: two gaps.
      {"spaced prompt answer", {}, [](SimulatedUnit& u) { u.SetPromptAnswer("ab#", 150); }, "U", 3, Ms(300)},
      {"slow erase", {}, [](SimulatedUnit& u) { u.SetEraseDelay(400); }, Frame(kCmdOpen, ImageHeader(2)), 26, Ms(400)},
      // 1200 baud, 8.33 ms a byte: a 7-byte Close and its two 13-byte replies take 275 ms on the wire.
      {"paced line", {.baud = 1200}, [](SimulatedUnit&) {}, close, 26, Ms(270)},
  };
  for (const Row& row : rows) {
    SimulatedUnit unit(row.options);
    row.set(unit);
    ASSERT_TRUE(unit.Start());
    SlaveClient client(unit.SlavePath());
    ASSERT_TRUE(client.Write("\x06"));
    ASSERT_EQ(client.Read(1, 2000).size(), 1u) << row.name;
    if (row.send != "U") {
      ASSERT_TRUE(client.Write("U"));
      ASSERT_EQ(client.Read(1, 2000), "#") << row.name;
      ASSERT_TRUE(client.Write("A"));
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.Write(row.send));
    EXPECT_EQ(client.Read(row.answerSize, 5000).size(), row.answerSize) << row.name;
    EXPECT_GE(std::chrono::steady_clock::now() - start, row.atLeast) << row.name;
  }
}

TEST(SimulatedUnit, HangUpAfterNBytesClosesTheLine) {
  SimulatedUnit unit;
  ASSERT_TRUE(unit.Start());
  SlaveClient client(unit.SlavePath());
  ASSERT_TRUE(Synchronise(client));
  ExpectNothingStray(client, "before the hang-up");
  const uint64_t before = unit.Snapshot().bytesReceived;
  unit.SetHangUpAfter(10);
  ASSERT_TRUE(client.Write(Frame(kCmdOpen, ImageHeader(3))));
  EXPECT_TRUE(client.SeesHangUp(3000));
  const Recording r = unit.Snapshot();
  EXPECT_TRUE(r.hungUp);
  EXPECT_EQ(r.bytesReceived, before + 10);
  EXPECT_EQ(r.commands, std::vector<uint8_t>{kProbeCommand});  // the cut Open was never taken
}

TEST(SimulatedUnit, RebootPutsTheUnitBackToSleep) {
  SimulatedUnit unit;
  ASSERT_TRUE(unit.Start());
  SlaveClient client(unit.SlavePath());
  ASSERT_TRUE(Synchronise(client));
  ASSERT_TRUE(client.Write(Frame(kCmdReboot)));
  ExpectReplies(client, {{0, ""}, {0, ""}}, "Reboot");
  ASSERT_TRUE(client.Write("U"));
  EXPECT_EQ(client.Read(1, 200), "");  // asleep: no answer to a prompt
  ASSERT_TRUE(Synchronise(client));    // a new session starts as the first did
  ExpectNothingStray(client, "after reboot");
}

TEST(SimulatedUnit, StopReturnsPromptlyWhileAClientIsMidFrame) {
  SimulatedUnit unit(UnitOptions{.baud = 0, .frameGapMs = 60000});
  unit.SetEraseDelay(60000);
  ASSERT_TRUE(unit.Start());
  SlaveClient client(unit.SlavePath());
  ASSERT_TRUE(Synchronise(client));
  const std::string open = Frame(kCmdOpen, ImageHeader(4));
  ASSERT_TRUE(client.Write(open.substr(0, 9)));
  EXPECT_EQ(client.Read(1, 100), "");  // a partial frame is not answered yet
  const auto start = std::chrono::steady_clock::now();
  unit.Stop();
  // Far below the minute the unit would otherwise wait for the rest of the frame.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(client.SeesHangUp(3000));
  unit.Stop();  // a second Stop is harmless
}

TEST(SimulatedUnit, StartsOnceAndGivesASlaveThatASecondClientCanOpen) {
  SimulatedUnit unit;
  EXPECT_TRUE(unit.SlavePath().empty());
  ASSERT_TRUE(unit.Start());
  EXPECT_FALSE(unit.Start());
  EXPECT_FALSE(unit.LastError().empty());
  {
    SlaveClient first(unit.SlavePath());
    ASSERT_TRUE(Synchronise(first));
  }
  SlaveClient second(unit.SlavePath());  // the line stays up between clients
  ASSERT_TRUE(Synchronise(second));
  ExpectNothingStray(second, "second client");
  const std::string path = unit.SlavePath();
  unit.Stop();
  EXPECT_FALSE(unit.Start());  // a stopped unit stays stopped
  EXPECT_EQ(unit.SlavePath(), path);
}

}  // namespace
}  // namespace kestrune::sim
