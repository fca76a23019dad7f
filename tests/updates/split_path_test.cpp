// SPDX-License-Identifier: MIT
// Path parts and rebuilding a path from them, including parts that do not fit.
#include "updates/split_path.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrune {
namespace {

TEST(SplitPath, SplitsAndRebuilds) {
  const struct {
    const char* path;
    const char* folder;
    const char* name;
    const char* ext;
  } rows[] = {
      {"/usr/bin/romsend", "/usr/bin/", "romsend", ""},
      {"unit.bam", "", "unit", ".bam"},
      {"up/date.v2/unit.tar.bam", "up/date.v2/", "unit.tar", ".bam"},
      {"dir/.profile", "dir/", "", ".profile"},
      {"dir/", "dir/", "", ""},
      {"C:\\x\\y.hex", "", "C:\\x\\y", ".hex"},  // backslashes are name characters here
      {"", "", "", ""},
  };
  for (const auto& row : rows) {
    SplitPath split(row.path);
    EXPECT_TRUE(split.IsValid()) << row.path;
    EXPECT_STREQ(split.Drive(), "") << row.path;
    EXPECT_STREQ(split.Folder(), row.folder) << row.path;
    EXPECT_STREQ(split.Name(), row.name) << row.path;
    EXPECT_STREQ(split.Ext(), row.ext) << row.path;
    std::string rebuilt = "old";
    EXPECT_TRUE(split.Rebuild(rebuilt)) << row.path;
    EXPECT_EQ(rebuilt, row.path);
  }

  // The help text beside the program.
  SplitPath help("/opt/kestrune/romsend");
  ASSERT_TRUE(help.SetName("midi_help") && help.SetExt("txt"));
  std::string path;
  EXPECT_TRUE(help.Rebuild(path));
  EXPECT_EQ(path, "/opt/kestrune/midi_help.txt");
}

TEST(SplitPath, TooLongIsRefusedNotCut) {
  for (const std::string& tooLong :
       {"/" + std::string(255, 'f') + "/x", std::string(256, 'n') + ".bam", "x." + std::string(255, 'e')}) {
    SplitPath split(tooLong);
    EXPECT_FALSE(split.IsValid());
    EXPECT_STREQ(split.Folder(), "");
    EXPECT_STREQ(split.Name(), "");
    std::string path = "old";
    EXPECT_FALSE(split.Rebuild(path));
    EXPECT_TRUE(path.empty());
  }

  // Parts that fit, joined exactly at the limit and one over.
  SplitPath limit;
  ASSERT_TRUE(limit.SetFolder(std::string(200, 'f') + "/") && limit.SetName(std::string(55, 'n')));
  ASSERT_TRUE(limit.SetExt(".ext"));
  std::string path;
  EXPECT_TRUE(limit.Rebuild(path));
  EXPECT_EQ(path.size(), SplitPath::kMaxPath);
  ASSERT_TRUE(limit.SetExt(".ext2"));
  EXPECT_FALSE(limit.Rebuild(path));

  // A setter that cannot store its part keeps the old one but spoils the rebuild, so the old
  // name can never stand in for the new one.
  SplitPath help("/opt/romsend");
  EXPECT_FALSE(help.SetName(std::string(300, 'n')));
  EXPECT_STREQ(help.Name(), "romsend");
  EXPECT_FALSE(help.Rebuild(path));
  EXPECT_FALSE(SplitPath().SetName(std::string("a\0b", 3)));
}

}  // namespace
}  // namespace kestrune
