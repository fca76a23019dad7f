// SPDX-License-Identifier: MIT
// Whole transfers through the real engine and serial transport against the simulated unit on a
// pseudo-terminal: what the unit received, and what the user read.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bam_image.h"
#include "platform/event_pump.h"
#include "platform/profile.h"
#include "protocol/protocol_engine.h"
#include "short_limits.h"
#include "simulated_unit.h"
#include "test_context.h"
#include "test_env.h"
#include "unit_on_serial_line.h"
#include "updates/bam_transfer.h"
#include "updates/hex_line_transfer.h"

namespace kestrune {
namespace {

// The engine over a real line, every status text collected as the user would read it.
struct Line : test::UnitOnSerialLine {
  std::vector<std::string> texts;
  StatusPrinter printer = [this](const char* format, const char* argument) {
    texts.push_back(FormatStatus(format, argument));
    if (onText) onText(texts.back());
  };
  std::function<void(const std::string&)> onText;

  explicit Line(const ProtocolLimits& limits = {}) : UnitOnSerialLine(limits) { engine->SetStatusPrinter(printer); }
  // Contact, then the BAM transfer of `image` written to a file, as the main page runs them.
  int SendBam(const bamgen::BamImage& image) {
    const std::vector<uint8_t> bytes = bamgen::BuildBam(image);
    test::WriteFileBytes(dir / "update.bam", std::string(bytes.begin(), bytes.end()));
    BamFileTransfer desc(dir / "update.bam", *engine);
    if (const int contact = engine->Contact(); contact != 0) return contact;
    return desc.Transfer(printer);
  }
  // The HEX line transfer of `contents` written to a file named `name`.
  int SendHex(const std::string& name, const std::string& contents) {
    test::WriteFileBytes(dir / name, contents);
    return HexLineTransfer(dir / name, *engine, printer);
  }
  bool Shown(const std::string& text) const { return std::find(texts.begin(), texts.end(), text) != texts.end(); }
};

TEST(BamOverPty, TheUnitReceivesTheImageAsInTheFile) {
  Line line;
  const bamgen::BamImage image = bamgen::SampleBam();
  ASSERT_EQ(line.SendBam(image), 0);
  const sim::Recording r = line.unit.Snapshot();
  EXPECT_EQ(r.imageHeader, bamgen::ImageHeader(image));
  // Blocks 0 and 2 in chunks of at most 1536 bytes; the empty block 1 sends nothing.
  std::vector<uint8_t> block0, block2;
  for (const sim::DataChunk& c : r.chunks) {
    EXPECT_EQ(c.tag, image.tag);
    EXPECT_LE(c.data.size(), 1536u);
    ASSERT_TRUE(c.block == 0 || c.block == 2) << c.block;
    auto& into = c.block == 0 ? block0 : block2;
    EXPECT_TRUE(c.block == 0 || block0.size() == image.blocks[0].data.size()) << "blocks out of order";
    into.insert(into.end(), c.data.begin(), c.data.end());
  }
  EXPECT_EQ(block0, image.blocks[0].data);
  EXPECT_EQ(block2, image.blocks[2].data);
  EXPECT_EQ(r.commands.front(), sim::kCmdOpen);
  EXPECT_EQ(r.LastCommand(), sim::kCmdClose);
  EXPECT_TRUE(line.Shown("Processing \"Kestrune_Demo_Update_1.61\""));
  EXPECT_TRUE(line.Shown("Erasing"));
  EXPECT_TRUE(line.Shown("Erase done"));
  EXPECT_EQ(line.texts.back(), "Transfer Successful");
}

TEST(BamOverPty, AUnitErrorDuringDataStillCloses) {
  Line line;
  line.unit.SetReplyFault(sim::kCmdSendData, sim::Stage::kResult, {sim::ReplyFault::Kind::kCode, 4003, "", 1});
  const int result = line.SendBam(bamgen::SampleBam());
  EXPECT_EQ(line.texts.back(), "Transfer Failed ! (E" + std::to_string(result) + ")");
  EXPECT_NE(result, 0);
  const sim::Recording r = line.unit.Snapshot();
  EXPECT_EQ(r.commands, (std::vector<uint8_t>{sim::kCmdOpen, sim::kCmdSendData, sim::kCmdClose}));
}

TEST(BamOverPty, SizeTableFaultAfterOpenStillCloses) {
  Line line;
  bamgen::BamImage image = bamgen::SampleBam();
  image.totalField = 8501;  // one more than the sum of the lengths
  EXPECT_EQ(line.SendBam(image), 1);
  EXPECT_EQ(line.unit.Snapshot().commands, (std::vector<uint8_t>{sim::kCmdOpen, sim::kCmdClose}));
  EXPECT_EQ(line.texts.back(), "Transfer Failed ! (E1)");
}

TEST(BamOverPty, StopDuringTheDataEndsTheTransfer) {
  Line line;
  bamgen::BamImage image;
  image.title = "Big";
  image.blocks = {{0, 0, bamgen::PatternBytes(60000, 9)}};
  // The user presses Stop when the first progress report shows.
  line.onText = [&line](const std::string& text) {
    if (text.rfind("Copying", 0) == 0) line.engine->SetCancel(1);
  };
  EXPECT_EQ(line.SendBam(image), kCancelledByUser);
  EXPECT_TRUE(line.Shown("Cancelled by User"));
  EXPECT_EQ(line.texts.back(), "Transfer Failed ! (E1000)");
  size_t received = 0;
  for (const auto& c : line.unit.Snapshot().chunks) received += c.data.size();
  EXPECT_LT(received, 60000u);
}

// The lines of a HEX text as the unit should take them: each record without its line end.
std::vector<std::string> RecordLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find("\r\n", at);
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

TEST(HexOverPty, TheUnitTakesEveryLine) {
  Line line;
  const std::string text = bamgen::SampleHex();
  EXPECT_EQ(line.SendHex("Kestrune_Demo.hex", text), 0);
  EXPECT_EQ(line.texts.back(), "Success!");
  const sim::Recording r = line.unit.Snapshot();
  EXPECT_EQ(r.hexStartRecords, std::vector<std::string>{":02000064000496"});
  EXPECT_EQ(r.hexLines, RecordLines(text));
  EXPECT_NE(std::find_if(line.texts.begin(), line.texts.end(),
                         [](const std::string& t) {
                           return t.rfind("Comparing ... 100.0% done. Left: 0:00  Total: 1024", 0) == 0;
                         }),
            line.texts.end());

  // A HEX2 file opens with its own start record.
  Line second;
  EXPECT_EQ(second.SendHex("fw.hex2", ":00000001FF\r\n"), 0);
  EXPECT_EQ(second.texts.back(), "Success!");
  EXPECT_EQ(second.unit.Snapshot().hexStartRecords, std::vector<std::string>{":02000064000892"});
  EXPECT_EQ(second.unit.Snapshot().hexLines, std::vector<std::string>{":00000001FF"});
}

TEST(HexOverPty, RefusedLinesAndShortReplies) {
  const std::string text = bamgen::BuildHex(bamgen::PatternBytes(64, 3), 0, 16);  // 4 data lines + end
  const std::vector<std::string> lines = RecordLines(text);
  using Fault = sim::HexLineFault;
  {
    Line line(test::ShortPauses());
    line.unit.SetHexLineFaults({{Fault::Kind::kVerdict, '-', 0, 7}});
    EXPECT_EQ(line.SendHex("a.hex", text), 0);
    EXPECT_EQ(line.texts.back(), "Bad Send");
    EXPECT_EQ(line.unit.Snapshot().hexLinesReceived, 7u);
    EXPECT_TRUE(line.unit.Snapshot().hexLines.empty());
  }
  {
    // Refused on its second line: the offset counts what was read, up to the CR that ended it.
    Line line(test::ShortPauses());
    line.unit.SetHexLineFaults({{Fault::Kind::kVerdict, '+', 0, 1}, {Fault::Kind::kVerdict, '!', 0, 7}});
    EXPECT_EQ(line.SendHex("b.hex", text), 0);
    char expected[48];
    std::snprintf(expected, sizeof expected, "Bad Result around 0x%zx", lines[0].size() + lines[1].size() + 3);
    EXPECT_EQ(line.texts.back(), expected);
    EXPECT_EQ(line.unit.Snapshot().hexLines, std::vector<std::string>{lines[0]});
  }
  {
    // A reply cut short ends the transfer without a resend, once the (shortened) reply limit
    // has passed.
    Line line(test::ShortLimits());
    line.unit.SetHexLineFaults({{Fault::Kind::kShort, '+', 2, 1}});
    EXPECT_EQ(line.SendHex("c.hex", text), 0);
    EXPECT_EQ(line.texts.back(), "Unknown Error");
    EXPECT_EQ(line.unit.Snapshot().hexLinesReceived, 1u);
  }
  {
    // The start record refused: no line goes out.
    Line line(test::ShortPauses());
    line.unit.SetHexStartAnswer(std::string("-"));
    EXPECT_EQ(line.SendHex("d.hex", text), 0);
    EXPECT_EQ(line.texts.back(), "Bad Send");
    EXPECT_EQ(line.unit.Snapshot().hexLinesReceived, 0u);
  }
}

TEST(HexOverPty, StopEndsWithAborted) {
  Line line;
  line.onText = [&line](const std::string& text) {
    if (text.rfind("Comparing", 0) == 0) line.engine->SetCancel(1);
  };
  EXPECT_EQ(line.SendHex("e.hex", bamgen::SampleHex()), 0);
  EXPECT_EQ(line.texts.back(), "Aborted");
  EXPECT_EQ(line.unit.Snapshot().hexLines.size(), 1u);  // the line that showed progress; none after the Stop
  EXPECT_FALSE(line.engine->Transfer().running);
}

}  // namespace
}  // namespace kestrune
