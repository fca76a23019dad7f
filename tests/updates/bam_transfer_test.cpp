// SPDX-License-Identifier: MIT
// The BAM transfer engine over an in-memory device: what it asks the device to do, in which
// order, and what it reports, for well-formed and faulty images.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bam_image.h"
#include "protocol/protocol_engine.h"
#include "updates/bam_transfer.h"

namespace kestrune {
namespace {

using bamgen::BamImage;
using bamgen::BuildBam;
using bamgen::PatternBytes;

// Serves an image from memory in chunks of at most 1536 bytes, as a file-backed descriptor does,
// and records every device call as a line of text plus the data written.
class MemoryBamTransfer : public BamTransfer {
 public:
  explicit MemoryBamTransfer(std::vector<uint8_t> image) : image_(std::move(image)) {}

  std::vector<std::string> calls;
  std::vector<uint8_t> header;  // what open received, with the length field in front
  std::vector<uint8_t> written;
  int failOpen = 0, failWrite = 0, failWriteAt = -1, closeResult = 0;

  int Open(int headerLength, const uint8_t* bytes, const StatusPrinter&) override {
    calls.push_back("open " + std::to_string(headerLength));
    header = {static_cast<uint8_t>(headerLength >> 8), static_cast<uint8_t>(headerLength)};
    header.insert(header.end(), bytes, bytes + headerLength - 2);
    return failOpen;
  }
  int Prepare(int count, const uint32_t* parameters, const uint32_t* addresses, const StatusPrinter&) override {
    std::string c = "prepare " + std::to_string(count);
    for (int i = 0; i < count; ++i) c += " " + std::to_string(addresses[i]) + "/" + std::to_string(parameters[i]);
    calls.push_back(c);
    return 0;
  }
  int StartBlock(int index, uint32_t length, uint32_t parameter, const StatusPrinter&) override {
    calls.push_back("block " + std::to_string(index) + " " + std::to_string(length) + " " + std::to_string(parameter));
    return 0;
  }
  int Write(const uint8_t* data, unsigned count, uint16_t tag) override {
    calls.push_back("write " + std::to_string(count) + " " + std::to_string(tag));
    written.insert(written.end(), data, data + count);
    if (static_cast<int>(calls.size()) - 1 == failWriteAt) return failWrite;
    return 0;
  }
  int Close() override {
    calls.push_back("close");
    return closeResult;
  }
  unsigned Read(const uint8_t*& out, unsigned maximum) override {
    const unsigned n = std::min<unsigned>({maximum, 1536u, static_cast<unsigned>(image_.size() - at_)});
    out = image_.data() + at_;
    at_ += n;
    return n;
  }

 private:
  std::vector<uint8_t> image_;
  size_t at_ = 0;
};

struct Printed {
  std::vector<std::string> texts;
  StatusPrinter printer = [this](const char* format, const char* argument) {
    texts.push_back(FormatStatus(format, argument));
  };
};

BamImage ThreeBlocks() {
  BamImage image;
  image.title = "Unit_Update";
  image.tag = 0xbeef;
  image.blocks = {{0xff012345, 7, PatternBytes(100, 1)}, {0x00020000, 8, {}}, {0x00030000, 9, PatternBytes(50, 2)}};
  image.headerRest = {1, 2, 3};
  return image;
}

TEST(BamTransfer, WalksAWellFormedImage) {
  const BamImage image = ThreeBlocks();
  MemoryBamTransfer d(BuildBam(image));
  Printed p;
  EXPECT_EQ(d.Transfer(p.printer), 0);
  EXPECT_EQ(d.header, bamgen::ImageHeader(image));
  // The zero-length block gets its StartBlock but no data; the address loses its top byte.
  const std::vector<std::string> expected = {"open 33",        "prepare 3 74565/7 131072/8 196608/9",
                                             "block 0 100 7",  "write 100 48879",
                                             "block 1 0 8",    "block 2 50 9",
                                             "write 50 48879", "close"};
  EXPECT_EQ(d.calls, expected);
  std::vector<uint8_t> data = image.blocks[0].data;
  data.insert(data.end(), image.blocks[2].data.begin(), image.blocks[2].data.end());
  EXPECT_EQ(d.written, data);
  ASSERT_EQ(p.texts.size(), 4u);
  EXPECT_EQ(p.texts[0], "Processing \"Unit_Update\"");  // underscores stay
  EXPECT_EQ(p.texts[1], "Erase done");
  EXPECT_EQ(p.texts[2].rfind("Copying ... 100% done. Left: 0:", 0), 0u) << p.texts[2];
  EXPECT_EQ(p.texts[3], "Transfer Successful");
}

TEST(BamTransfer, FormatFaultsBeforeOpenSendNothing) {
  auto run = [](std::vector<uint8_t> file) {
    MemoryBamTransfer d(std::move(file));
    Printed p;
    const int result = d.Transfer(p.printer);
    EXPECT_TRUE(d.calls.empty()) << d.calls.front();
    EXPECT_EQ(p.texts.back(), "Transfer Failed ! (E1)");
    return result;
  };
  const std::vector<uint8_t> whole = BuildBam(ThreeBlocks());
  // Only the title record.
  EXPECT_EQ(run({whole.begin(), whole.begin() + 14}), 1);
  // One byte of the header length.
  EXPECT_EQ(run({whole.begin(), whole.begin() + 15}), 1);
  // A header cut short.
  EXPECT_EQ(run({whole.begin(), whole.begin() + 30}), 1);
  // Empty file, and a title length of 0 or with the top bit set.
  EXPECT_EQ(run({}), 1);
  EXPECT_EQ(run({0x00, 0x00}), 1);
  EXPECT_EQ(run({0x80, 'a', 0, 0}), 1);
  BamImage image = ThreeBlocks();
  // Header lengths of 6 or less.
  image.headerLengthField = 6;
  EXPECT_EQ(run(BuildBam(image)), 1);
  image.headerLengthField = -2;
  EXPECT_EQ(run(BuildBam(image)), 1);
  // Block counts outside 1..16, negative ones included.
  image = ThreeBlocks();
  image.blockCountField = 17;
  EXPECT_EQ(run(BuildBam(image)), 1);
  image.blockCountField = 0;
  EXPECT_EQ(run(BuildBam(image)), 1);
  image.blockCountField = -1;
  EXPECT_EQ(run(BuildBam(image)), 1);
  // A header that does not hold the descriptors of the blocks it announces.
  image = ThreeBlocks();
  image.headerRest.clear();
  image.blockCountField = 4;
  EXPECT_EQ(run(BuildBam(image)), 1);
}

TEST(BamTransfer, FaultsAfterOpenStillClose) {
  // Total one more than the sum of the lengths.
  BamImage image = ThreeBlocks();
  image.totalField = 151;
  MemoryBamTransfer mismatch(BuildBam(image));
  Printed p;
  EXPECT_EQ(mismatch.Transfer(p.printer), 1);
  EXPECT_EQ(mismatch.calls, (std::vector<std::string>{"open 33", "close"}));
  EXPECT_EQ(p.texts.back(), "Transfer Failed ! (E1)");

  // Data ends inside the last block: Close, and result 1 even when Close succeeds.
  std::vector<uint8_t> cut = BuildBam(ThreeBlocks());
  cut.resize(cut.size() - 10);
  MemoryBamTransfer shortData(cut);
  EXPECT_EQ(shortData.Transfer(nullptr), 1);
  EXPECT_EQ(shortData.calls.back(), "close");

  // A unit error on a data message is the one reported, not Close's.
  MemoryBamTransfer unitError(BuildBam(ThreeBlocks()));
  unitError.failWriteAt = 3;
  unitError.failWrite = 4003;
  unitError.closeResult = 9;
  Printed q;
  EXPECT_EQ(unitError.Transfer(q.printer), 4003);
  EXPECT_EQ(unitError.calls.back(), "close");
  EXPECT_EQ(unitError.calls.size(), 5u);  // open, prepare, block 0, write, close
  EXPECT_EQ(q.texts.back(), "Transfer Failed ! (E4003)");

  // Open failing: no Close.
  MemoryBamTransfer openFails(BuildBam(ThreeBlocks()));
  openFails.failOpen = 100;
  EXPECT_EQ(openFails.Transfer(nullptr), 100);
  EXPECT_EQ(openFails.calls, std::vector<std::string>{"open 33"});

  // Close failing after everything else went well gives Close's result.
  MemoryBamTransfer closeFails(BuildBam(ThreeBlocks()));
  closeFails.closeResult = 5;
  EXPECT_EQ(closeFails.Transfer(nullptr), 5);
}

TEST(BamTransfer, ProgressIsReportedEvery4096BytesAndAtTheEnd) {
  // 4096 bytes in all: one report, at 100 percent, with the time left.
  BamImage small;
  small.title = "S";
  small.blocks = {{0, 0, PatternBytes(4096, 5)}};
  MemoryBamTransfer d(BuildBam(small));
  Printed p;
  ASSERT_EQ(d.Transfer(p.printer), 0);
  std::vector<std::string> reports;
  for (const auto& t : p.texts) {
    if (t.rfind("Copying", 0) == 0) reports.push_back(t);
  }
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].rfind("Copying ... 100% done. Left: 0:00", 0), 0u) << reports[0];

  // A larger image: a report after each stretch of more than 4096 bytes (three 1536-byte chunks
  // make 4608), no time left at 1 percent, the time left from 2 percent on.
  BamImage large;
  large.title = "L";
  large.blocks = {{0, 0, PatternBytes(409700, 6)}};
  MemoryBamTransfer e(BuildBam(large));
  Printed q;
  ASSERT_EQ(e.Transfer(q.printer), 0);
  reports.clear();
  for (const auto& t : q.texts) {
    if (t.rfind("Copying", 0) == 0) reports.push_back(t);
  }
  ASSERT_GE(reports.size(), 3u);
  EXPECT_EQ(reports[0], "Copying ... 1% done");
  EXPECT_EQ(reports[1].rfind("Copying ... 2% done. Left: ", 0), 0u) << reports[1];
  EXPECT_EQ(reports.size(), 409700 / 4608 + 1);
  EXPECT_EQ(reports.back().rfind("Copying ... 100% done. Left: 0:00", 0), 0u);
}

TEST(BamTransfer, TitleIsBoundedByItsRecord) {
  // A title record without a terminator within its L bytes shows only those L bytes.
  std::vector<uint8_t> file = BuildBam(ThreeBlocks());
  std::vector<uint8_t> bad = {4, 'a', 'b', 'c', 'd'};
  bad.insert(bad.end(), file.begin() + 14, file.end());
  MemoryBamTransfer d(bad);
  Printed p;
  EXPECT_EQ(d.Transfer(p.printer), 0);
  EXPECT_EQ(p.texts.front(), "Processing \"abcd\"");
}

}  // namespace
}  // namespace kestrune
