// SPDX-License-Identifier: MIT
// The simulated unit taking an Intel HEX transfer over its pty as a client sends it: a start
// record answered with one verdict byte, then text lines each ended by a NUL and answered with
// five bytes (verdict, unused byte, 24-bit total low byte first), damaged and overlong lines,
// and the scripted replies.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "simulated_unit.h"
#include "slave_client.h"

namespace kestrune::sim {
namespace {

using test::Frame;
using test::ReadReply;
using test::SlaveClient;
using test::Synchronise;

const std::string kStartHex = ":02000064000496";
const std::string kStartHex2 = ":02000064000892";

// One record as a HEX file holds it: upper-case digits and a checksum that sums to zero.
std::string Record(uint16_t address, uint8_t type, const std::string& data) {
  std::string bytes = {static_cast<char>(data.size()), static_cast<char>(address >> 8),
                       static_cast<char>(address & 0xff), static_cast<char>(type)};
  bytes += data;
  uint8_t sum = 0;
  for (char c : bytes) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  bytes.push_back(static_cast<char>(static_cast<uint8_t>(-sum)));
  std::string text = ":";
  for (char c : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", static_cast<uint8_t>(c));
    text += digits;
  }
  return text;
}

std::string Data(size_t n, uint16_t address = 0) {
  std::string d(n, '\0');
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<char>(i * 13 + 1);
  return Record(address, 0x00, d);
}

// The unit's five-byte answer to a line.
std::string Reply(char verdict, uint32_t total) {
  return {verdict, '\0', static_cast<char>(total & 0xff), static_cast<char>(total >> 8 & 0xff),
          static_cast<char>(total >> 16 & 0xff)};
}

bool SendLine(SlaveClient& client, const std::string& line) {
  return client.Write(line + std::string(1, '\0'));
}

// One answer of `expected` bytes; with none expected, whatever comes within a short wait. The
// replies of a test are compared whole and in order, so a byte too many shows in the next one.
std::string Answer(SlaveClient& client, size_t expected) {
  return expected == 0 ? client.Read(1, 200) : client.Read(expected, 3000);
}

// Nothing more on the line after the last answer of a test.
void ExpectQuiet(SlaveClient& client) {
  EXPECT_EQ(client.Read(1, 200), "");
}

// Starts the unit and gives a synchronised client whose start record the unit has taken;
// nullptr when any step fails.
std::unique_ptr<SlaveClient> OpenTransfer(SimulatedUnit& unit) {
  if (!unit.Start()) return nullptr;
  auto client = std::make_unique<SlaveClient>(unit.SlavePath());
  if (!client->Ok() || !Synchronise(*client) || !SendLine(*client, kStartHex) || Answer(*client, 1) != "+")
    return nullptr;
  return client;
}

TEST(HexLines, TakesATransferAndCountsItsDataBytes) {
  SimulatedUnit unit;
  const auto opened = OpenTransfer(unit);
  ASSERT_TRUE(opened);
  SlaveClient& client = *opened;
  // Two records of the longest kind (255 data bytes, 521 characters) carry the total past one
  // byte; address and end records program nothing; trailing blanks and lower case are accepted.
  std::string lower = Data(3, 0x0200);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const struct {
    std::string line;
    uint32_t total;
  } lines[] = {
      {Record(0, 0x04, std::string("\x00\x01", 2)), 0},
      {Data(255), 255},
      {Data(255, 0x00ff), 510},
      {Data(3, 0x01fe) + "   ", 513},
      {lower, 516},
      {Record(0, 0x05, std::string("\x00\x01\x00\x00", 4)), 516},
      {Record(0, 0x01, ""), 516},
  };
  std::vector<std::string> sent;
  for (const auto& l : lines) {
    ASSERT_TRUE(SendLine(client, l.line));
    EXPECT_EQ(Answer(client, 5), Reply('+', l.total)) << l.line;
    sent.push_back(l.line);
  }
  ExpectQuiet(client);
  const Recording r = unit.Snapshot();
  EXPECT_EQ(r.hexStartRecords, std::vector<std::string>{kStartHex});
  EXPECT_EQ(r.hexLines, sent);
  EXPECT_EQ(r.hexLinesReceived, sent.size());
  EXPECT_TRUE(r.commands.empty());  // lines are no frames
}

TEST(HexLines, LinesNeedAStartRecordOfThisSession) {
  SimulatedUnit unit;
  ASSERT_TRUE(unit.Start());
  SlaveClient client(unit.SlavePath());
  ASSERT_TRUE(Synchronise(client));
  const std::string line = Data(4);
  // Start records answer with a single byte: a damaged one '-', one of an unknown kind '?'.
  const struct {
    std::string send;
    std::string answer;
  } steps[] = {
      {line, Reply('?', 0)},
      {":02000064000493", "-"},
      {Record(0, 0x64, std::string("\x00\x05", 2)), "?"},
      {Record(0x10, 0x64, std::string("\x00\x04", 2)), "?"},
      {line, Reply('?', 0)},  // a refused start record opens nothing
      {kStartHex2, "+"},
      {line, Reply('+', 4)},
      {kStartHex, "+"},  // a new start record starts the count again
      {line, Reply('+', 4)},
  };
  for (const auto& s : steps) {
    ASSERT_TRUE(SendLine(client, s.send));
    EXPECT_EQ(Answer(client, s.answer.size()), s.answer) << s.send;
  }
  // A new session ends the transfer: its lines need a start record of their own, and the frame
  // side answers as before.
  ASSERT_TRUE(Synchronise(client));
  ASSERT_TRUE(SendLine(client, line));
  EXPECT_EQ(Answer(client, 5), Reply('?', 0));
  ASSERT_TRUE(client.Write(Frame(kCmdClose)));
  for (int i = 0; i < 2; ++i) {
    auto reply = ReadReply(client);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->code, kCodeOk);
  }
  ExpectQuiet(client);
  const Recording r = unit.Snapshot();
  EXPECT_EQ(r.hexStartRecords.size(), 5u);
  EXPECT_EQ(r.hexLines, (std::vector<std::string>{line, line}));
  EXPECT_EQ(r.hexLinesReceived, 5u);
  EXPECT_EQ(r.commands, std::vector<uint8_t>{kCmdClose});
}

TEST(HexLines, RefusesDamagedAndMalformedLinesAndStaysInStep) {
  SimulatedUnit unit;
  const auto opened = OpenTransfer(unit);
  ASSERT_TRUE(opened);
  SlaveClient& client = *opened;
  std::string badSum = Data(8);
  badSum[12] = badSum[12] == '0' ? '1' : '0';
  const struct {
    const char* name;
    std::string line;
    char verdict;
  } rows[] = {
      {"checksum does not sum to zero", badSum, '-'},
      {"digit that is no hex digit", ":0100000G00", '?'},
      {"odd number of digits", Data(2) + "0", '?'},
      {"byte count above the data", ":0300000001FC", '?'},
      {"record type unknown", Record(0, 0x07, ""), '?'},
      {"end record with data", Record(0, 0x01, "x"), '?'},
      {"address record of one byte", Record(0, 0x04, "x"), '?'},
      {"blank inside the record", ":01000000 01FE", '?'},
      {"no colon", "hello world", '?'},
      {"only a colon", ":", '?'},
      // Inside a transfer a 'U' starts a line like any other byte: no prompt answer, no resync.
      {"line starting with U", "UUUU", '?'},
  };
  const std::string good = Data(5);
  uint32_t total = 0;
  for (const auto& row : rows) {
    ASSERT_TRUE(SendLine(client, row.line));
    EXPECT_EQ(Answer(client, 5), Reply(row.verdict, total)) << row.name;
    ASSERT_TRUE(SendLine(client, good));
    total += 5;
    EXPECT_EQ(Answer(client, 5), Reply('+', total)) << row.name << " (next line)";
  }
  ExpectQuiet(client);
  const Recording r = unit.Snapshot();
  EXPECT_EQ(r.hexLines, std::vector<std::string>(std::size(rows), good));
  EXPECT_EQ(r.hexLinesReceived, 2 * std::size(rows));
  EXPECT_EQ(r.prompts, 1u);  // the one of the synchronisation
}

TEST(HexLines, BoundsTheLineAndGivesUpOneCutShort) {
  SimulatedUnit unit(UnitOptions{.baud = 0, .frameGapMs = 100});
  const auto opened = OpenTransfer(unit);
  ASSERT_TRUE(opened);
  SlaveClient& client = *opened;
  const std::string good = Data(16);
  const std::string longest = good + std::string(kMaxHexLine - good.size(), ' ');
  const struct {
    const char* name;
    std::string bytes;  // as written, NUL included where there is one
    std::string answer;
  } rows[] = {
      {"line of the longest length", longest + std::string(1, '\0'), Reply('+', 16)},
      {"one character longer", longest + " " + std::string(1, '\0'), Reply('?', 32)},
      {"far longer than any buffer", good + std::string(200000, 'F') + std::string(1, '\0'), Reply('?', 48)},
      {"line with no NUL", good, Reply('?', 64)},
  };
  uint32_t total = 16;
  for (const auto& row : rows) {
    ASSERT_TRUE(client.Write(row.bytes));
    EXPECT_EQ(Answer(client, row.answer.size()), row.answer) << row.name;
    ASSERT_TRUE(SendLine(client, good)) << row.name;
    total += 16;
    EXPECT_EQ(Answer(client, 5), Reply('+', total)) << row.name << " (next line)";
  }
  ExpectQuiet(client);
  const Recording r = unit.Snapshot();
  ASSERT_EQ(r.hexLines.size(), 5u);
  EXPECT_EQ(r.hexLines[0], longest);
  for (size_t i = 1; i < r.hexLines.size(); ++i) EXPECT_EQ(r.hexLines[i], good);
  EXPECT_EQ(r.hexLinesReceived, 8u);
}

TEST(HexLines, ScriptedRepliesAnswerTheNextLinesInOrder) {
  SimulatedUnit unit;
  const auto opened = OpenTransfer(unit);
  ASSERT_TRUE(opened);
  SlaveClient& client = *opened;
  using Kind = HexLineFault::Kind;
  unit.SetHexLineFaults({
      {Kind::kVerdict, '-', 0, 2},
      {Kind::kVerdict, '?', 0, 1},
      {Kind::kVerdict, '!', 0, 1},
      {Kind::kVerdict, 0x00, 0, 1},
      {Kind::kShort, '+', 3, 1},
      {Kind::kShort, '+', 0, 1},
  });
  const std::string line = Data(2);
  // Refused lines program nothing; a short or lost reply still belongs to a line the unit took.
  const std::string expected[] = {
      Reply('-', 0), Reply('-', 0), Reply('?', 0), Reply('!', 0), Reply('\0', 0), Reply('+', 2).substr(0, 3), "",
      Reply('+', 6),
  };
  for (const std::string& e : expected) {
    ASSERT_TRUE(SendLine(client, line));
    EXPECT_EQ(Answer(client, e.size()), e);
  }
  Recording r = unit.Snapshot();
  EXPECT_EQ(r.hexLines.size(), 3u);
  EXPECT_EQ(r.hexLinesReceived, std::size(expected));

  // A script replaces what is left of the one before; garbage comes before a line's reply too.
  unit.SetHexLineFaults({{Kind::kVerdict, '!', 0, 5}});
  unit.SetHexLineFaults({{Kind::kVerdict, '?', 0, 1}});
  unit.SetGarbage("xy", 1);
  ASSERT_TRUE(SendLine(client, line));
  EXPECT_EQ(Answer(client, 7), "xy" + Reply('?', 6));
  ASSERT_TRUE(SendLine(client, line));
  EXPECT_EQ(Answer(client, 5), Reply('+', 8));

  // The start record's answer has a switch of its own; the lines' script leaves it alone.
  unit.SetHexLineFaults({{Kind::kVerdict, '-', 0, 1}});
  const struct {
    std::optional<std::string> answer;
    std::string expected;
  } starts[] = {{"-", "-"}, {"", ""}, {std::string("+\0\0\0\0", 5), std::string("+\0\0\0\0", 5)}, {{}, "+"}};
  for (const auto& s : starts) {
    unit.SetHexStartAnswer(s.answer);
    ASSERT_TRUE(SendLine(client, kStartHex2));
    EXPECT_EQ(Answer(client, s.expected.size()), s.expected);
  }
  ASSERT_TRUE(SendLine(client, line));
  EXPECT_EQ(Answer(client, 5), Reply('-', 0));
  ExpectQuiet(client);
  r = unit.Snapshot();
  EXPECT_EQ(r.hexStartRecords, (std::vector<std::string>{kStartHex, kStartHex2, kStartHex2, kStartHex2, kStartHex2}));
}

}  // namespace
}  // namespace kestrune::sim
