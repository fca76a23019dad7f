// SPDX-License-Identifier: MIT
// Wildcard matching and the file search: quoting, extensions, subfolders and stopping early.
#include "updates/wildcard_search.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "test_env.h"

namespace kestrune {
namespace {

using test::TempDir;
using test::WriteFileBytes;

TEST(WildcardMatch, PatternRules) {
  const struct {
    const char* name;
    const char* pattern;
    int match;
  } rows[] = {
      {"AB", "AB", 1},       {"ABC", "AB", 0},     {"AB", "ABC", 0},
      {"abc", "ABC", 1},  // case ignored
      {"A", "A?X", 1},       {"AX", "A?X", 0},     {"AYX", "A?X", 1},
      {"", "?", 1},          {".hex", ".hex?", 1}, {".hex1", ".hex?", 1},
      {".HEX2", ".hex?", 1}, {".ihx", ".hex?", 0}, {".hex12", ".hex?", 0},
      {".bam", ".bam", 1},   {"", ".bam", 0},      {"", "*", 1},
      {"anything", "*", 1},  {".bam", ".*", 1},    {"", ".*", 0},
      {"unit", "u*t", 1},    {"unitx", "u*t", 0},  {"BAB", "*A", 0},
      {"BA", "*a", 1},       {"x", "*?", 0},  // '*' takes the next character literally
      {"abc", "", 0},        {"", "", 1},
  };
  for (const auto& row : rows)
    EXPECT_EQ(wildcardMatch(row.name, row.pattern), row.match) << row.name << " vs " << row.pattern;
  EXPECT_EQ(wildcardMatch(nullptr, "*"), 1);
  EXPECT_EQ(wildcardMatch("a", nullptr), 0);
}

// Records what the search reports; FileFound answers `stopAt` for the file of that name.
class Recorder : public WildcardSearch {
 public:
  std::vector<std::string> files, folders;
  std::string stopAt;
  int FileFound(const std::string& path) override {
    files.push_back(path);
    return !stopAt.empty() && path.ends_with(stopAt) ? 7 : 0;
  }
  int FolderFound(const std::string& path) override {
    folders.push_back(path);
    return 1;  // not used by the search
  }
  std::vector<std::string> Sorted(std::vector<std::string> v) const {
    std::sort(v.begin(), v.end());
    return v;
  }
};

class WildcardSearchTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"a.bam", "B.BAM", "noext", "x.hex", "x.hex1", "x.hex2", "x.ihx", "two.dots.bam",
                             "sub/c.bam", "sub/deeper/d.bam", ".hidden/e.bam", "\"q/f.bam"}) {
      std::filesystem::create_directories(std::filesystem::path(dir / name).parent_path());
      WriteFileBytes(dir / name, name);
    }
    std::filesystem::create_directory(dir / "folder.bam");
    std::filesystem::create_directory_symlink("..", dir / "sub/loop");
  }
  std::vector<std::string> Found(const std::string& pattern, unsigned flags = 0) {
    Recorder r;
    EXPECT_EQ(r.Search(pattern, flags), 0) << pattern;
    return r.Sorted(r.files);
  }
  TempDir dir;
};

TEST_F(WildcardSearchTest, PatternsSelectNamesAndExtensions) {
  const std::string d = dir.Path() + "/";
  const struct {
    std::string pattern;
    std::vector<std::string> files;
  } rows[] = {
      {d + "*.bam", {d + "B.BAM", d + "a.bam", d + "two.dots.bam"}},
      {"\"" + d + "*.bam\"", {d + "B.BAM", d + "a.bam", d + "two.dots.bam"}},
      {"\"" + d + "*.bam", {d + "B.BAM", d + "a.bam", d + "two.dots.bam"}},
      {d + "*", {d + "noext"}},  // "*" has no extension part: only files without one
      {d + "*.hex?", {d + "x.hex", d + "x.hex1", d + "x.hex2"}},
      {d + "?.*", {d + "B.BAM", d + "a.bam", d + "x.hex", d + "x.hex1", d + "x.hex2", d + "x.ihx"}},
      {d + "two.dots.*", {d + "two.dots.bam"}},
      {d + "missing/*.bam", {}},
      {d + std::string(5000, 'x') + "/*.bam", {}},
  };
  for (const auto& row : rows) EXPECT_EQ(Found(row.pattern), row.files) << row.pattern;
}

TEST_F(WildcardSearchTest, RelativePatternReportsBareNames) {
  const std::string old = std::filesystem::current_path();
  ASSERT_EQ(chdir(dir.Path().c_str()), 0);
  const auto found = Found("*.hex?");
  ASSERT_EQ(chdir(old.c_str()), 0);
  EXPECT_EQ(found, (std::vector<std::string>{"x.hex", "x.hex1", "x.hex2"}));
}

TEST_F(WildcardSearchTest, SubfoldersOnlyWithFlag) {
  const std::string d = dir.Path() + "/";
  Recorder flat;
  EXPECT_EQ(flat.Search(d + "*.bam", 0), 0);
  EXPECT_TRUE(flat.folders.empty());
  EXPECT_EQ(flat.Sorted(flat.files), (std::vector<std::string>{d + "B.BAM", d + "a.bam", d + "two.dots.bam"}));

  // Hidden folders are skipped, a link back up is not followed, and a folder whose name
  // begins with a quote is searched under its own name.
  Recorder deep;
  EXPECT_EQ(deep.Search(d + "*.bam", WildcardSearch::kSearchSubfolders), 0);
  EXPECT_EQ(deep.Sorted(deep.folders),
            (std::vector<std::string>{d + "\"q", d + "folder.bam", d + "sub", d + "sub/deeper"}));
  EXPECT_EQ(deep.Sorted(deep.files),
            (std::vector<std::string>{d + "\"q/f.bam", d + "B.BAM", d + "a.bam", d + "sub/c.bam",
                                      d + "sub/deeper/d.bam", d + "two.dots.bam"}));
}

TEST_F(WildcardSearchTest, NonZeroHookResultStopsTheSearch) {
  const std::string d = dir.Path() + "/";
  for (const char* stop : {"a.bam", "d.bam"}) {
    Recorder r;
    r.stopAt = stop;
    EXPECT_EQ(r.Search(d + "*.bam", WildcardSearch::kSearchSubfolders), 7) << stop;
    ASSERT_FALSE(r.files.empty());
    EXPECT_TRUE(r.files.back().ends_with(stop)) << stop;
    EXPECT_EQ(std::count_if(r.files.begin(), r.files.end(), [&](const std::string& f) { return f.ends_with(stop); }),
              1);
  }
}

}  // namespace
}  // namespace kestrune
