// Whole transfers through the real engine and serial transport against the simulated unit on a
// pseudo-terminal: what the unit received, and what the user read.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bam_image.h"
#include "platform/event_pump.h"
#include "platform/profile.h"
#include "protocol/sender.h"
#include "simulated_unit.h"
#include "test_env.h"
#include "transport/win_comm_driver.h"
#include "updates/bam_desc.h"

namespace kestrune {
namespace {

// A unit on a pty, the "serial" settings naming it, and the program's engine with a serial
// driver; every status text is collected as the user would read it.
struct Line {
  sim::SimulatedUnit unit;
  test::TempDir dir;
  HeadlessEventPump pump;
  std::unique_ptr<mySender> engine;
  std::vector<std::string> texts;
  StatusPrinter printer = [this](const char* format, const char* argument) {
    texts.push_back(FormatStatus(format, argument));
    if (onText) onText(texts.back());
  };
  std::function<void(const std::string&)> onText;

  Line() {
    EXPECT_TRUE(unit.Start()) << unit.LastError();
    AppProfile().WriteString("serial", "port", unit.SlavePath());
    SetCurrentPump(&pump);
    engine = std::make_unique<mySender>(dir / "romsend.txt");
    engine->SetStatusPrinter(printer);
    engine->SetDriver(new WinCommDriver("Serial Settings"));
  }
  ~Line() {
    engine.reset();
    SetCurrentPump(nullptr);
  }
  // Contact, then the BAM transfer of `image` written to a file, as the main page runs them.
  int SendBam(const bamgen::BamImage& image) {
    const std::vector<uint8_t> bytes = bamgen::BuildBam(image);
    test::WriteFileBytes(dir / "update.bam", std::string(bytes.begin(), bytes.end()));
    MyBAMdesc desc(dir / "update.bam", *engine);
    if (const int contact = engine->Contact(); contact != 0) return contact;
    return desc.transfer(printer);
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
  EXPECT_EQ(r.commands.back(), sim::kCmdClose);
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

}  // namespace
}  // namespace kestrune
