// SPDX-License-Identifier: MIT
// The whole-file checks before contact: BAM layouts held against the file, HEX files that are
// plainly incomplete. Each row is a file the transfer would have started on (the unit erasing
// its flash for a BAM, or "Success!" for a HEX) before these checks.
#include "updates/update_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "bam_image.h"
#include "test_env.h"

namespace kestrune {
namespace {

bamgen::BamImage TwoBlocks() {
  bamgen::BamImage image;
  image.title = "Check_Me";
  image.tag = 0x1234;
  image.blocks = {{0x10000, 1, bamgen::PatternBytes(700, 1)}, {0x20000, 2, bamgen::PatternBytes(300, 2)}};
  image.headerRest = {'K', 'S'};
  return image;
}

std::string Bytes(const bamgen::BamImage& image) {
  const std::vector<uint8_t> bytes = bamgen::BuildBam(image);
  return std::string(bytes.begin(), bytes.end());
}

// Title record: 1 + 10 bytes; image header 2 + 2 + 2 + 2 x 8 + 2 = 24; size table 12; data 1000.
constexpr size_t kWholeSize = 11 + 24 + 12 + 1000;

struct BamRow {
  const char* name;
  std::function<std::string()> file;
  const char* problem;  // empty: the file can be sent whole
};

TEST(CheckBamLayout, WholeFilesPassAndEveryInconsistencyIsNamed) {
  const BamRow rows[] = {
      {"whole", [] { return Bytes(TwoBlocks()); }, ""},
      {"empty", [] { return std::string(); }, "no title record"},
      {"title only", [] { return Bytes(TwoBlocks()).substr(0, 11); }, "image header cut short"},
      {"cut in the title", [] { return Bytes(TwoBlocks()).substr(0, 5); }, "title record cut short"},
      {"cut in the header", [] { return Bytes(TwoBlocks()).substr(0, 20); }, "image header cut short"},
      {"cut in the size table", [] { return Bytes(TwoBlocks()).substr(0, 40); }, "size table cut short"},
      {"cut in half", [] { return Bytes(TwoBlocks()).substr(0, kWholeSize / 2); },
       "file holds 523 bytes, its layout 1047"},
      {"one byte more", [] { return Bytes(TwoBlocks()) + "x"; }, "file holds 1048 bytes, its layout 1047"},
      {"total one too large",
       [] {
         auto image = TwoBlocks();
         image.totalField = 1001;
         return Bytes(image);
       },
       "size table total 1001 is not the sum of its blocks 1000"},
      {"block lengths beyond the file",
       [] {
         std::string bytes = Bytes(TwoBlocks());
         // The total and the last block's length each 4096 more, the size table still consistent.
         for (size_t at : {11 + 24 + 2, 11 + 24 + 10}) bytes[at] = static_cast<char>(bytes[at] + 0x10);
         return bytes;
       },
       "file holds 1047 bytes, its layout 5143"},
      {"17 blocks",
       [] {
         auto image = TwoBlocks();
         image.blockCountField = 17;
         return Bytes(image);
       },
       "bad block count 17"},
      {"header too short for its blocks",
       [] {
         auto image = TwoBlocks();
         image.headerLengthField = 12;
         return Bytes(image);
       },
       "image header too short for 2 blocks"},
      {"header longer than the reader's buffer",
       [] {
         auto image = TwoBlocks();
         image.headerLengthField = 1539;
         return Bytes(image);
       },
       "bad image header length 1539"},
  };
  test::TempDir dir;
  for (const BamRow& row : rows) {
    test::WriteFileBytes(dir / "u.bam", row.file());
    BufferedFileReader file;
    ASSERT_TRUE(file.Open(dir / "u.bam", BufferedFileReader::kModeRead | BufferedFileReader::kShareDenyWrite, 8192))
        << row.name;
    EXPECT_EQ(CheckBamLayout(file), row.problem) << row.name;
    EXPECT_EQ(file.GetPosition(), 0u) << row.name;  // the transfer reads from the start
  }
}

TEST(CheckHexComplete, CompleteFilesPassAndPlainlyIncompleteOnesAreNamed) {
  const std::string body = ":0400000001020304F2\r\n:0400040005060708DE\r\n";
  const struct {
    const char* name;
    std::string text;
    const char* problem;
  } rows[] = {
      {"CR LF", body + ":00000001FF\r\n", ""},
      {"LF, lower case, blank lines and blanks after", body + ":00000001ff  \n\n  \n", ""},
      {"a long file", std::string(3000, ' ') + body + std::string(5000, '\n') + ":00000001FF\r", ""},
      {"empty", "", "empty HEX file"},
      {"only blanks and line ends", " \r\n\t\r\n", "empty HEX file"},
      {"no end-of-file record", body, "last record is not an end-of-file record"},
      {"data record last", body + ":00000001FF\r\n:0100000011EE\r\n", "last record is not an end-of-file record"},
      {"last line without its line end", body + ":00000001FF", "last line has no line end"},
      {"last line ending in blanks only", body + ":00000001FF   ", "last line has no line end"},
      {"last line longer than the tail read", body + ":" + std::string(6000, '0') + "01FF\r\n",
       "last record is not an end-of-file record"},
  };
  test::TempDir dir;
  for (const auto& row : rows) {
    test::WriteFileBytes(dir / "u.hex", row.text);
    BufferedFileReader file;
    ASSERT_TRUE(file.Open(dir / "u.hex", BufferedFileReader::kModeRead | BufferedFileReader::kShareDenyWrite, 8192))
        << row.name;
    EXPECT_EQ(CheckHexComplete(file), row.problem) << row.name;
    EXPECT_EQ(file.GetPosition(), 0u) << row.name;
  }
  // What is no regular file is refused by name, before anything would read it.
  EXPECT_FALSE(IsRegularFile("/dev/zero"));
  EXPECT_FALSE(IsRegularFile(dir.Path()));
  EXPECT_TRUE(IsRegularFile(dir / "u.hex"));
}

}  // namespace
}  // namespace kestrune
