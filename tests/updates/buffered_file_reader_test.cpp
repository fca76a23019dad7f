// SPDX-License-Identifier: MIT
// The buffered file: reads and seeks across buffer boundaries, refusals, and the open-failure box.
#include "updates/buffered_file_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "test_env.h"

namespace kestrune {
namespace {

using test::TempDir;
using test::WriteFileBytes;

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng() & 0xff);
  return bytes;
}

TEST(BufferedFileReader, ReadsAndSeeksDeliverTheFilesBytes) {
  TempDir dir;
  const std::string content = RandomBytes(10007, 1);
  WriteFileBytes(dir / "image.hex", content);
  std::mt19937 rng(2);
  for (std::uint32_t bufferSize : {1u, 7u, 64u, 4096u, 20000u}) {
    BufferedFileReader file;
    ASSERT_TRUE(
        file.Open(dir / "image.hex", BufferedFileReader::kModeRead | BufferedFileReader::kShareDenyWrite, bufferSize));
    EXPECT_EQ(file.GetLength(), content.size());
    std::uint64_t pos = 0;
    for (int step = 0; step < 400; ++step) {
      if (rng() % 3 == 0) {
        const auto origin = static_cast<BufferedFileReader::SeekOrigin>(rng() % 3);
        const std::uint64_t target = rng() % (content.size() + 1);
        const std::int64_t base = origin == BufferedFileReader::kBegin     ? 0
                                  : origin == BufferedFileReader::kCurrent ? pos
                                                                           : content.size();
        ASSERT_TRUE(file.Seek(static_cast<std::int64_t>(target) - base, origin)) << bufferSize;
        pos = target;
      }
      const std::size_t want = rng() % (3 * bufferSize + 2);
      std::vector<char> got(want + 1, '\x5a');
      const std::size_t n = file.Read(got.data(), want);
      const std::size_t expect = std::min<std::uint64_t>(want, content.size() - pos);
      ASSERT_EQ(n, expect) << "buffer " << bufferSize << " at " << pos;
      ASSERT_EQ(std::string(got.data(), n), content.substr(pos, n)) << "buffer " << bufferSize << " at " << pos;
      ASSERT_EQ(got[want], '\x5a');  // nothing written past the request
      pos += n;
      ASSERT_EQ(file.GetPosition(), pos);
    }
  }
}

TEST(BufferedFileReader, SeeksOutsideTheFileAreRefused) {
  TempDir dir;
  WriteFileBytes(dir / "f", "0123456789");
  BufferedFileReader file;
  ASSERT_TRUE(file.Open(dir / "f", BufferedFileReader::kModeRead, 4));
  char c;
  ASSERT_EQ(file.Read(&c, 1), 1u);
  const struct {
    std::int64_t offset;
    BufferedFileReader::SeekOrigin origin;
  } refused[] = {{11, BufferedFileReader::kBegin},
                 {-1, BufferedFileReader::kBegin},
                 {10, BufferedFileReader::kCurrent},
                 {-2, BufferedFileReader::kCurrent},
                 {1, BufferedFileReader::kEnd},
                 {-11, BufferedFileReader::kEnd},
                 {INT64_MAX, BufferedFileReader::kCurrent},
                 {INT64_MIN, BufferedFileReader::kEnd}};
  for (const auto& row : refused) {
    EXPECT_FALSE(file.Seek(row.offset, row.origin)) << row.offset << " from " << row.origin;
    EXPECT_EQ(file.GetPosition(), 1u);
  }
  EXPECT_TRUE(file.Seek(0, BufferedFileReader::kEnd));
  EXPECT_EQ(file.Read(&c, 1), 0u);
  file.Close();
  EXPECT_EQ(file.Read(&c, 1), 0u);
  EXPECT_FALSE(file.Seek(0, BufferedFileReader::kBegin));
}

TEST(BufferedFileReader, OpenFailuresAndTheirBox) {
  TempDir dir;
  WriteFileBytes(dir / "f", "x");
  RecorderMessageBox boxes;
  MessageBoxes boxesShown(boxes);
  const std::string longPath = dir / (std::string(300, 'n') + "/f.hex");
  const struct {
    std::string path;
    unsigned flags;
    int osError;
  } rows[] = {
      {dir / "missing.hex", BufferedFileReader::kModeRead, ENOENT},
      {dir.Path(), BufferedFileReader::kModeRead, EISDIR},
      {dir / "f", BufferedFileReader::kModeReadWrite, EINVAL},
      {longPath, BufferedFileReader::kModeRead, ENAMETOOLONG},
  };
  for (const auto& row : rows) {
    boxes.Clear();
    BufferedFileReader file;
    FileOpenError error;
    EXPECT_FALSE(file.Open(row.path, row.flags, 64, &error, &boxesShown)) << row.path;
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(error.osError, row.osError) << row.path;
    EXPECT_EQ(error.path, row.path);
    const auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u) << row.path;
    EXPECT_EQ(shown[0].text, std::string(std::strerror(row.osError)).substr(0, BufferedFileReader::kMaxErrorText));
    EXPECT_EQ(shown[0].title, ("Can't open file: " + row.path).substr(0, BufferedFileReader::kMaxCaption));
    EXPECT_EQ(shown[0].style, kBoxOk | kBoxIconError);
  }
  boxes.Clear();
  BufferedFileReader quiet;
  EXPECT_FALSE(quiet.Open(dir / "missing.hex", BufferedFileReader::kModeRead, 64));
  EXPECT_TRUE(boxes.Boxes().empty());
  // A buffer size of 0 still reads.
  ASSERT_TRUE(quiet.Open(dir / "f", BufferedFileReader::kModeRead, 0));
  char c = 0;
  EXPECT_EQ(quiet.Read(&c, 1), 1u);
  EXPECT_EQ(c, 'x');
}

}  // namespace
}  // namespace kestrune
