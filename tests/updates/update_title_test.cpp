// SPDX-License-Identifier: MIT
// The title a BAM file shows in the update list: which title records count as readable.
#include "updates/update_title.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "test_env.h"

namespace kestrune {
namespace {

TEST(ReadBamTitle, TitleRecordRule) {
  test::TempDir dir;
  const struct {
    const char* name;
    std::string bytes;
    std::optional<std::string> title;
  } rows[] = {
      {"underscores", std::string("\x0fNew_Vocoder_2\0\x00\x20", 17), "New Vocoder 2"},
      {"longest", std::string(1, '\x7f') + std::string(125, 'T') + std::string("\0\0\0", 3), std::string(125, 'T')},
      {"empty title", std::string("\x02\0\0\0", 4), std::nullopt},
      {"length byte 0x80 or more", std::string("\x85Title\0\0", 8), std::nullopt},
      {"no NUL inside the record",
       std::string("\x04"
                   "ABCDE",
                   6),
       std::nullopt},
      {"text shorter than L - 2",
       std::string("\x06"
                   "AB\0CDEF",
                   8),
       std::nullopt},
      {"one byte short", std::string("\x07Title\0", 7), std::nullopt},
      {"zero length", std::string("\0\0\0", 3), std::nullopt},
  };
  for (const auto& row : rows) {
    test::WriteFileBytes(dir / "t.bam", row.bytes);
    EXPECT_EQ(ReadBamTitle(dir / "t.bam"), row.title) << row.name;
  }
  EXPECT_EQ(ReadBamTitle(dir / "missing.bam"), std::nullopt);
  std::filesystem::create_directory(dir / "folder.bam");
  EXPECT_EQ(ReadBamTitle(dir / "folder.bam"), std::nullopt);
}

}  // namespace
}  // namespace kestrune
