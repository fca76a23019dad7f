// SPDX-License-Identifier: MIT
// File kinds, HEX record texts, the line cutter, and the HEX line transfer over a scripted
// transport that answers each line the way the test tells it to.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "protocol/protocol_engine.h"
#include "recording_sender.h"
#include "scripted_driver.h"
#include "test_env.h"
#include "updates/hex_line_transfer.h"
#include "updates/update_kind.h"

namespace kestrune {
namespace {

TEST(UpdateKind, ClassifiesByTheWholeLowerCasedPath) {
  EXPECT_EQ(Classify("/home/me/fw.hex2/update.bam"), kKindHex2);  // a folder name counts too
  EXPECT_EQ(Classify("FILE.HEX2"), kKindHex2);
  EXPECT_EQ(Classify("FILE.HEX"), kKindHex);
  EXPECT_EQ(Classify("x.Hex1"), kKindHex);
  EXPECT_EQ(Classify("x.ihx"), kKindHex);
  EXPECT_EQ(Classify("a.bam"), kKindBam);
  EXPECT_EQ(Classify(""), kKindBam);
}

TEST(UpdateKind, RecordTexts) {
  EXPECT_EQ(StartRecord(kKindHex), ":02000064000496");
  EXPECT_EQ(StartRecord(kKindHex2), ":02000064000892");
  EXPECT_EQ(HexRecord(0, 0x01, nullptr, 0), ":00000001ff");
  const uint8_t data[] = {0x02, 0x33, 0x7a};
  EXPECT_EQ(HexRecord(0x0030, 0x00, data, 3), ":0300300002337a1e");
  // The byte count is one byte: more than 255 data bytes are not written.
  const std::vector<uint8_t> many(300, 0);
  EXPECT_EQ(HexRecord(0, 0, many.data(), many.size()).size(), 1 + 2 * (4 + 255 + 1));
}

TEST(UpdateKind, SecondsLeftNeverOverflows) {
  EXPECT_EQ(SecondsLeft(100, 50, 10000), 10);
  EXPECT_EQ(SecondsLeft(100, 100, 0), 0);     // no time measured yet
  EXPECT_EQ(SecondsLeft(100, 150, 1000), 0);  // the file grew
  EXPECT_EQ(SecondsLeft(1e12, 1, 1e9), INT_MAX);
}

std::vector<std::string> Cut(const std::string& file, uint64_t* consumed = nullptr) {
  size_t at = 0;
  HexLineCutter cutter([&]() -> int { return at < file.size() ? static_cast<unsigned char>(file[at++]) : -1; });
  std::vector<std::string> lines;
  std::string line;
  HexLineCutter::Result r;
  while ((r = cutter.Next(line)) == HexLineCutter::kLine) lines.push_back(line);
  if (r == HexLineCutter::kTooLong) lines.push_back("<too long>");
  if (consumed) *consumed = cutter.Consumed();
  return lines;
}

TEST(HexLineCutter, SignedByteRules) {
  // Blank lines and leading blanks are skipped, trailing blanks kept, CR LF and lone CR end lines.
  EXPECT_EQ(Cut("\r\n\n  :01 \r\n\t:02\r:03\n"), (std::vector<std::string>{":01 ", ":02", ":03"}));
  // A last line without a line end is no line.
  uint64_t consumed = 0;
  EXPECT_EQ(Cut(":01\n:02", &consumed), std::vector<std::string>{":01"});
  EXPECT_EQ(consumed, 7u);
  // Bytes of 0x80 and above are below 0x20 as signed bytes: skipped before, ending a line within.
  EXPECT_EQ(Cut("\xff\x80:0\xc3\xa9x\n"), (std::vector<std::string>{":0", "x"}));
  // A NUL ends a line like any control character.
  EXPECT_EQ(Cut(std::string(":a\0:b\n", 6)), (std::vector<std::string>{":a", ":b"}));
  EXPECT_TRUE(Cut("").empty());
  EXPECT_TRUE(Cut(" \r\n\t ").empty());
  // The longest line taken, and one character more.
  EXPECT_EQ(Cut(std::string(1024, 'A') + "\n")[0].size(), 1024u);
  EXPECT_EQ(Cut(std::string(1025, 'A') + "\n"), std::vector<std::string>{"<too long>"});
}

// An engine whose status texts are collected, over a transport that plays a unit: contact, then
// the verdict for the start record, then `answer` for every line (a 5-byte reply, or what the
// test gives).
struct HexBench {
  using Engine = test::RecordingSender;

  test::TempDir dir;
  Engine engine{dir / "romsend.txt"};
  test::ScriptedDriver* driver = new test::ScriptedDriver;
  RecorderMessageBox boxes;
  ScopedMessageBox scopedBoxes{engine.ownContext->boxes, boxes};
  std::vector<std::string> printed;
  std::vector<std::string> lines;  // every line written, start record included, NUL removed
  std::string startVerdict = "+";
  std::function<std::string(const std::string& line, int index)> answer = [](const std::string&, int) {
    return Reply('+', 0);
  };
  int runningSeen = 0;

  static std::string Reply(char verdict, uint32_t total) {
    return {verdict, 0, static_cast<char>(total & 0xff), static_cast<char>(total >> 8 & 0xff),
            static_cast<char>(total >> 16 & 0xff)};
  }

  HexBench() {
    engine.SetDriver(std::unique_ptr<Transport>(driver));
    driver->Queue("\x01");
    driver->Queue("#");
    driver->onWrite = [this](const std::string& w) {
      if (w.empty() || w.back() != '\0') return;  // contact bytes
      runningSeen += engine.Transfer().running ? 1 : 0;
      lines.push_back(w.substr(0, w.size() - 1));
      driver->Queue(lines.size() == 1 ? startVerdict : answer(lines.back(), static_cast<int>(lines.size()) - 1));
    };
  }

  // Sends `contents` closed by an end-of-file record (a file without one is refused whole).
  int Send(const std::string& name, const std::string& contents) { return SendAsIs(name, contents + kEndRecord); }
  int SendAsIs(const std::string& name, const std::string& contents) {
    test::WriteFileBytes(dir / name, contents);
    return HexLineTransfer(dir / name, engine, [this](const char* format, const char* argument) {
      printed.push_back(FormatStatus(format, argument));
    });
  }
  // The lines sent after the start record, the closing end-of-file record left out.
  std::vector<std::string> Sent() const {
    std::vector<std::string> sent(lines.begin() + (lines.empty() ? 0 : 1), lines.end());
    if (!sent.empty() && sent.back() + "\n" == kEndRecord) sent.pop_back();
    return sent;
  }
  static constexpr char kEndRecord[] = ":00000001FF\n";
};

TEST(HexLineTransfer, SendsEachLineWithItsTerminatorAndSucceeds) {
  HexBench b;
  EXPECT_EQ(b.SendAsIs("update.hex", ":10A\r\n\r\n   :10B  \n:00000001FF \r"), 0);
  ASSERT_FALSE(b.lines.empty());
  EXPECT_EQ(b.lines[0], ":02000064000496");
  EXPECT_EQ(b.Sent(), (std::vector<std::string>{":10A", ":10B  ", ":00000001FF "}));
  EXPECT_EQ(b.printed.back(), "Success!");
  EXPECT_EQ(b.runningSeen, 4);
  EXPECT_FALSE(b.engine.Transfer().running);
  // Each line and its NUL went out as one write.
  EXPECT_EQ(b.driver->writes.back(), std::string(":00000001FF ") + '\0');
  EXPECT_EQ(b.driver->readLimits.back(), 5000u);

  HexBench hex2;
  EXPECT_EQ(hex2.Send("update.HEX2", ""), 0);  // the end record alone
  EXPECT_EQ(hex2.lines, (std::vector<std::string>{":02000064000892", ":00000001FF"}));
  EXPECT_EQ(hex2.printed.back(), "Success!");
}

TEST(HexLineTransfer, VerdictsResendsAndResultTexts) {
  const std::string file = ":AA\n:BB\n:CC\n";
  struct Row {
    const char* name;
    std::function<std::string(const std::string&, int)> answer;
    std::string result;
    std::vector<std::string> sent;
  };
  const Row rows[] = {
      {"seven refusals of one line",
       [](const std::string& l, int) { return HexBench::Reply(l == ":BB" ? '-' : '+', 0); },
       "Bad Send",
       {":AA", ":BB", ":BB", ":BB", ":BB", ":BB", ":BB", ":BB"}},
      {"refused twice, then taken",
       [n = 0](const std::string& l, int) mutable { return HexBench::Reply(l == ":AA" && n++ < 2 ? '?' : '+', 0); },
       "Success!",
       {":AA", ":AA", ":AA", ":BB", ":CC"}},
      {"bad message", [](const std::string&, int) { return HexBench::Reply('?', 0); }, "Bad Msg",
       std::vector<std::string>(7, ":AA")},
      // The offset is just past the refused line and its line end.
      {"bad result",
       [](const std::string& l, int) { return HexBench::Reply(l == ":BB" ? '!' : '+', 0); },
       "Bad Result around 0x8",
       {":AA", ":BB", ":BB", ":BB", ":BB", ":BB", ":BB", ":BB"}},
      // A whole reply whose verdict is none of the unit's ends the transfer, never resent.
      {"zero verdict is not resent",
       [](const std::string&, int) { return HexBench::Reply('\0', 0); },
       "Bad Verdict 0x00 around 0x4",
       {":AA"}},
      {"other verdicts are not resent",
       [](const std::string&, int) { return HexBench::Reply('x', 0); },
       "Bad Verdict 0x78 around 0x4",
       {":AA"}},
      {"short reply", [](const std::string&, int) { return std::string("+\0", 2); }, "Unknown Error", {":AA"}},
      {"no reply", [](const std::string&, int) { return std::string(); }, "Unknown Error", {":AA"}},
  };
  for (const Row& row : rows) {
    HexBench b;
    b.answer = row.answer;
    EXPECT_EQ(b.Send("f.hex", file), 0) << row.name;
    EXPECT_EQ(b.Sent(), row.sent) << row.name;
    EXPECT_EQ(b.printed.back(), row.result) << row.name;
    EXPECT_FALSE(b.engine.Transfer().running) << row.name;
  }
}

TEST(HexLineTransfer, StartRecordRefused) {
  for (const std::string& verdict : {std::string("-"), std::string("\x01"), std::string()}) {
    HexBench b;
    b.startVerdict = verdict;
    EXPECT_EQ(b.Send("f.hex", ":AA\n"), 0);
    EXPECT_TRUE(b.Sent().empty());
    EXPECT_EQ(b.printed.back(), verdict == "-"    ? "Bad Send"
                                : verdict.empty() ? "Unknown Error"
                                                  : "Bad Verdict 0x01 around 0x0");
  }
}

TEST(HexLineTransfer, ProgressOnlyWhenItsTextChanges) {
  // 1997 lines of 5 characters and the end record in the room of three: the one-decimal percent
  // changes only every other line, so only every other line shows its progress (999 of 1998).
  HexBench b;
  b.answer = [](const std::string&, int index) { return HexBench::Reply('+', static_cast<uint32_t>(index) * 0x10101); };
  std::string file;
  for (int i = 0; i < 1997; ++i) file += ":123\n";
  file += "   :00000001FF\n";  // as long as three lines of the others: 10000 characters in all
  ASSERT_EQ(b.SendAsIs("progress.hex", file), 0);
  std::vector<std::string> progress;
  for (const auto& t : b.printed) {
    if (t.rfind("Comparing", 0) == 0) progress.push_back(t);
  }
  EXPECT_EQ(progress.size(), 999u);
  EXPECT_EQ(progress.front().rfind("Comparing ... 0.1% done. Left: ", 0), 0u) << progress.front();
  EXPECT_NE(progress.front().find("  Total: 65793"), std::string::npos) << progress.front();  // 0x010101
  EXPECT_EQ(progress.back().rfind("Comparing ... 100.0% done. Left: 0:00  Total: ", 0), 0u) << progress.back();
  for (size_t i = 1; i < progress.size(); ++i) ASSERT_NE(progress[i].substr(0, 24), progress[i - 1].substr(0, 24));
}

TEST(HexLineTransfer, StopEndsWithAborted) {
  HexBench b;
  b.driver->duringRead = [&b] {
    if (b.lines.size() == 3) b.engine.SetCancel(1);  // while the second line's reply is awaited
  };
  EXPECT_EQ(b.Send("f.hex", ":AA\n:BB\n:CC\n"), 0);
  EXPECT_EQ(b.Sent(), (std::vector<std::string>{":AA", ":BB"}));
  EXPECT_EQ(b.printed.back(), "Aborted");
  EXPECT_FALSE(b.engine.Transfer().running);
}

TEST(HexLineTransfer, FilesThatCannotBeSent) {
  HexBench missing;
  EXPECT_EQ(HexLineTransfer(missing.dir / "none.hex", missing.engine,
                            [&](const char* f, const char* a) { missing.printed.push_back(FormatStatus(f, a)); }),
            1);
  EXPECT_EQ(missing.printed, std::vector<std::string>{"Cannot open file " + missing.dir / "none.hex"});
  EXPECT_EQ(missing.boxes.Boxes().size(), 1u);
  EXPECT_TRUE(missing.driver->writes.empty());

  // Plainly incomplete files, and what is no file, are refused before the unit is woken: not a
  // byte goes out, and the result log keeps the reason with the path.
  const struct {
    const char* name;
    std::string text;
    std::string shown;
  } refused[] = {
      {"empty.hex", "", "Bad File !! empty HEX file"},
      {"cut.hex", ":AA\n:00000001FF", "Bad File !! last line has no line end"},
      {"open.hex", ":AA\n:BB\n", "Bad File !! last record is not an end-of-file record"},
  };
  for (const auto& row : refused) {
    HexBench b;
    EXPECT_EQ(b.SendAsIs(row.name, row.text), 1) << row.name;
    EXPECT_EQ(b.printed, std::vector<std::string>{row.shown}) << row.name;
    EXPECT_TRUE(b.driver->writes.empty()) << row.name;
    EXPECT_NE(test::ReadFileBytes(b.dir / "romsend.txt").find(row.shown + " (" + b.dir / row.name + ")\r\n"),
              std::string::npos)
        << row.name;
  }
  HexBench device;
  ASSERT_EQ(symlink("/dev/zero", (device.dir / "z.hex").c_str()), 0);
  EXPECT_EQ(HexLineTransfer(device.dir / "z.hex", device.engine,
                            [&](const char* f, const char* a) { device.printed.push_back(FormatStatus(f, a)); }),
            1);
  EXPECT_EQ(device.printed, std::vector<std::string>{"Bad File !! not a regular file"});
  EXPECT_TRUE(device.driver->writes.empty());

  // Not a HEX file: a line longer than any record ends the transfer before it is sent.
  HexBench binary;
  EXPECT_EQ(binary.Send("big.hex", ":AA\n" + std::string(2000, 'z') + "\n"), 0);
  EXPECT_EQ(binary.Sent(), std::vector<std::string>{":AA"});
  EXPECT_EQ(binary.printed.back(), "Line too long around 0x405");
  EXPECT_FALSE(binary.engine.Transfer().running);

  // A file rewritten while it is being sent: the lines already read go out, but the end is a
  // failure, never "Success!".
  HexBench rewritten;
  rewritten.answer = [&rewritten](const std::string&, int index) {
    if (index == 1) test::WriteFileBytes(rewritten.dir / "f.hex", ":XX\n:YY\n:ZZ\n:WW\n");
    return HexBench::Reply('+', 0);
  };
  EXPECT_EQ(rewritten.Send("f.hex", ":AA\n:BB\n:CC\n"), 0);
  EXPECT_EQ(rewritten.printed.back(), "File read failed around 0x18");
  EXPECT_FALSE(rewritten.engine.Transfer().running);
}

}  // namespace
}  // namespace kestrune
