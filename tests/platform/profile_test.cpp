// SPDX-License-Identifier: MIT
// The INI profile: defaults, round trips, damaged files and concurrent writers.
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>

#include "test_env.h"

namespace kestrune {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

TEST(Profile, MissingFileSectionOrEntryReadsDefaults) {
  TempDir dir;
  Profile p(dir / "none.ini");
  EXPECT_EQ(p.GetInt("Romsend", "SerialReset", 7), 7);
  EXPECT_EQ(p.GetString("Romsend", "LastFile", "<none>"), "<none>");
  ASSERT_TRUE(p.WriteInt("Config", "CommsMode", 1));
  EXPECT_EQ(p.GetInt("Romsend", "CommsMode", 0), 0);
  EXPECT_EQ(p.GetInt("Config", "Other", -3), -3);
}

TEST(Profile, IntsAndStringsRoundTripAndNamesIgnoreCase) {
  TempDir dir;
  Profile p(dir / "sub/folder/romsend.ini");  // folders are created on the first write
  const struct {
    const char* name;
    std::string value;
  } texts[] = {{"plain", "/dev/ttyUSB0"},
               {"blanks", "  two sides  "},
               {"quoted", "\"already quoted\""},
               {"equals", "a=b=c"},
               {"empty", ""},
               {"windows", "C:\\updates\\unit.bam"}};
  for (const auto& t : texts) ASSERT_TRUE(p.WriteString("Romsend", t.name, t.value)) << t.name;
  for (int v : {0, 1, -1, 115200, 2147483647, -2147483647 - 1}) {
    ASSERT_TRUE(p.WriteInt("serial", "baud", v));
    EXPECT_EQ(p.GetInt("SERIAL", "BAUD", 9), v);
  }
  for (const auto& t : texts) EXPECT_EQ(p.GetString("romsend", t.name, "x"), t.value) << t.name;
  // A rewrite replaces the entry rather than adding a second one.
  ASSERT_TRUE(p.WriteString("Romsend", "plain", "/dev/ttyACM1"));
  EXPECT_EQ(p.GetString("Romsend", "plain", ""), "/dev/ttyACM1");
  const std::string file = ReadFileBytes(p.Path());
  EXPECT_EQ(file.find("ttyUSB0"), std::string::npos);
  // Texts that would break the line structure are refused.
  EXPECT_FALSE(p.WriteString("Romsend", "bad", "two\nlines"));
  EXPECT_FALSE(p.WriteInt("Rom]send", "x", 1));
  EXPECT_FALSE(p.WriteInt("Romsend", "a=b", 1));
  // A name that would turn its line into a comment could never be read back.
  EXPECT_FALSE(p.WriteInt("Romsend", ";x", 1));
  EXPECT_FALSE(p.WriteInt(" #Romsend", "x", 1));
  // Names with blanks at either end are stored and found without them.
  ASSERT_TRUE(p.WriteString(" Romsend ", "  spaced\t", "v"));
  EXPECT_EQ(p.GetString("romsend", "spaced", "x"), "v");
  EXPECT_EQ(p.GetString("Romsend ", " spaced", "x"), "v");
}

TEST(Profile, HandWrittenFileIsRead) {
  TempDir dir;
  WriteFileBytes(
      dir / "p.ini",
      "; comment\r\n[Kestrune]\r\nmsgdelay = 2000\r\n\r\n[Romsend]\nLastFile=a b.bam\nSerialReset=x1\nbig=4294967295\n"
      "edited=\"q\"\r\r\n");
  Profile p(dir / "p.ini");
  EXPECT_EQ(p.GetInt("Kestrune", "msgdelay", 0), 2000);
  EXPECT_EQ(p.GetString("Romsend", "LastFile", ""), "a b.bam");
  EXPECT_EQ(p.GetInt("Romsend", "SerialReset", 5), 5);  // not a number: the default
  EXPECT_EQ(p.GetInt("Romsend", "big", 0), -1);         // a DWORD read into an int
  ASSERT_TRUE(p.WriteInt("Kestrune", "new", 3));
  // Comments and the other sections survive an edit.
  const std::string file = ReadFileBytes(dir / "p.ini");
  EXPECT_NE(file.find("; comment"), std::string::npos);
  EXPECT_EQ(p.GetInt("Kestrune", "msgdelay", 0), 2000);
  EXPECT_EQ(p.GetInt("Kestrune", "new", 0), 3);
  // A stray carriage return at a line's end is no part of its value, before an edit or after.
  EXPECT_EQ(p.GetString("Romsend", "edited", ""), "q");
  ASSERT_TRUE(p.WriteInt("Romsend", "other", 1));
  EXPECT_EQ(p.GetString("Romsend", "edited", ""), "q");
}

TEST(Profile, TornOrBinaryFileReadsAsDefaultsAndIsMovedAsideOnWrite) {
  TempDir dir;
  static const char kBinary[] = "[serial]\nbaud=9600\n\0\0\x01\xff";
  static const char kElf[] =
      "\x7f"
      "ELF\x02\x01\x01\0 garbage";
  const std::string damaged[] = {std::string(kBinary, sizeof kBinary - 1), std::string(kElf, sizeof kElf - 1)};
  for (const auto& bytes : damaged) {
    WriteFileBytes(dir / "p.ini", bytes);
    Profile p(dir / "p.ini");
    EXPECT_EQ(p.GetInt("serial", "baud", 115200), 115200);
    ASSERT_TRUE(p.WriteInt("serial", "bits", 7));
    EXPECT_EQ(p.GetInt("serial", "bits", 8), 7);
    EXPECT_EQ(p.GetInt("serial", "baud", 115200), 115200);
    EXPECT_EQ(ReadFileBytes(dir / "p.ini.corrupt"), bytes);
  }
}

// Lines that are no settings are the user's: skipped when reading, kept when writing.
TEST(Profile, StrayLinesAreSkippedAndKeptAsWritten) {
  TempDir dir;
  const struct {
    const char* name;
    std::string text;
  } rows[] = {
      {"a note", "note: unit on desk\n[serial]\nbaud=9600\n"},
      {"a byte order mark", "\xEF\xBB\xBF[serial]\nbaud=9600\n"},
      {"a comment after a heading", "[serial] ; my USB adapter\nbaud=9600\n"},
      {"a torn heading after the section", "[serial]\nbaud=9600\n[Rom\n"},
      {"a line without an equals sign", "[serial]\nbaud=9600\ngarbage without equals\n=nameless\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFileBytes(dir / "p.ini", row.text);
    Profile p(dir / "p.ini");
    EXPECT_EQ(p.GetInt("serial", "baud", 115200), 9600);
    ASSERT_TRUE(p.WriteInt("serial", "bits", 7));
    EXPECT_EQ(p.GetInt("serial", "bits", 8), 7);
    EXPECT_EQ(p.GetInt("serial", "baud", 115200), 9600);
    // Every byte the user wrote is still there, in order, with the new line among them.
    const std::string after = ReadFileBytes(dir / "p.ini");
    std::string without = after;
    const size_t added = without.find("bits=7\n");
    ASSERT_NE(added, std::string::npos) << after;
    without.erase(added, 7);
    EXPECT_EQ(without, row.text);
    EXPECT_FALSE(std::filesystem::exists(dir / "p.ini.corrupt"));
  }
}

// A linked profile is written through to its target; the link stays a link.
TEST(Profile, LinkedProfileIsWrittenThroughToItsTarget) {
  TempDir dir;
  std::filesystem::create_directories(dir / "dotfiles");
  WriteFileBytes(dir / "dotfiles/romsend.ini", "[serial]\nbaud=9600\n");
  const struct {
    const char* name;
    std::string target;  // as the link holds it
  } rows[] = {{"relative", "dotfiles/romsend.ini"}, {"absolute", dir / "dotfiles/romsend.ini"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::filesystem::remove(dir / "romsend.ini");
    std::filesystem::create_symlink(row.target, dir / "romsend.ini");
    Profile p(dir / "romsend.ini");
    ASSERT_TRUE(p.WriteString("Romsend", "LastFile", row.name));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "romsend.ini"));
    EXPECT_EQ(Profile(dir / "dotfiles/romsend.ini").GetString("Romsend", "LastFile", ""), row.name);
    EXPECT_EQ(Profile(dir / "dotfiles/romsend.ini").GetInt("serial", "baud", 0), 9600);
  }
}

TEST(Profile, UnwritableLocationReportsFailure) {
  Profile p("/proc/kestrune-no-such/romsend.ini");
  EXPECT_FALSE(p.WriteInt("serial", "baud", 1));
  EXPECT_EQ(p.GetInt("serial", "baud", 2), 2);
}

TEST(Profile, TwoProcessesWritingDifferentEntriesLoseNothing) {
  TempDir dir;
  const std::string path = dir / "shared.ini";
  constexpr int kEach = 150;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      Profile p(path);
      bool ok = true;
      for (int i = 0; i < kEach; ++i) ok &= p.WriteInt(c == 0 ? "first" : "second", "e" + std::to_string(i), i);
      _exit(ok ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Profile p(path);
  for (int i = 0; i < kEach; ++i) {
    EXPECT_EQ(p.GetInt("first", "e" + std::to_string(i), -1), i);
    EXPECT_EQ(p.GetInt("second", "e" + std::to_string(i), -1), i);
  }
}

}  // namespace
}  // namespace kestrune
