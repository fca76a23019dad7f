// SPDX-License-Identifier: MIT
// The diagnostic log: entry format, one file per run, fallback to the state folder.
#include "platform/diagnostic_log.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "platform/log_file.h"
#include "platform/program_info.h"
#include "test_env.h"

namespace kestrune {
namespace {

TEST(DiagnosticLog, EntriesOfOneRunShareAFileAndANewRunReplacesIt) {
  test::TempDir dir;
  const std::string program = dir / "romsend";
  {
    DiagnosticLog log(program);
    log.Write("first entry");
    log.Write(std::string(2000, 'x'));  // cut to 1023 characters
    EXPECT_EQ(log.FilePath(), dir / "romsend.log");
  }
  const std::string bytes = test::ReadFileBytes(dir / "romsend.log");
  const std::regex entry(R"(\r\n\(\d\d/\d\d/\d\d \d\d:\d\d:\d\d\) )");
  const std::string expected = "\r\n(00/00/00 00:00:00) first entry\r\n(00/00/00 00:00:00) " + std::string(1023, 'x');
  EXPECT_EQ(std::regex_replace(bytes, entry, "\r\n(00/00/00 00:00:00) "), expected);

  {
    DiagnosticLog second(program);
    second.Write("second run");
  }
  EXPECT_EQ(std::regex_replace(test::ReadFileBytes(dir / "romsend.log"), entry, "|"), "|second run");
  // The run before is kept, one generation.
  EXPECT_EQ(test::ReadFileBytes(dir / "romsend.log.1"), bytes);
  {
    DiagnosticLog third(program);
    third.Write("third run");
  }
  EXPECT_EQ(std::regex_replace(test::ReadFileBytes(dir / "romsend.log.1"), entry, "|"), "|second run");
  EXPECT_FALSE(std::filesystem::exists(dir / "romsend.log.2"));
}

// Whatever else stands under a log's name is neither followed nor written nor waited on: the
// diagnostic log then goes to the state folder and says why, the result log is not opened.
TEST(DiagnosticLog, LinksFifosAndFoldersUnderALogNameAreLeftAlone) {
  namespace fs = std::filesystem;
  const struct {
    const char* name;
    std::function<void(const std::string& log, const std::string& victim)> make;
  } rows[] = {
      {"a link to someone's file",
       [](const std::string& log, const std::string& victim) { fs::create_symlink(victim, log); }},
      {"a dangling link",
       [](const std::string& log, const std::string& victim) { fs::create_symlink(victim + ".new", log); }},
      {"a FIFO", [](const std::string& log, const std::string&) { ASSERT_EQ(mkfifo(log.c_str(), 0600), 0); }},
      {"a folder", [](const std::string& log, const std::string&) { fs::create_directory(log); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    test::TempDir dir, state;
    test::ScopedEnv stateHome("XDG_STATE_HOME", state.Path().c_str());
    const std::string victim = dir / "victim.txt";
    test::WriteFileBytes(victim, "someone's data\n");
    row.make(dir / "romsend.log", victim);
    {
      DiagnosticLog log(dir / "romsend");
      log.Write("entry");
      EXPECT_EQ(log.FilePath(), state / "Kestrune/romsend.log");
    }
    const std::string fallback = test::ReadFileBytes(state / "Kestrune/romsend.log");
    EXPECT_NE(fallback.find("log " + dir / "romsend.log" + " is a link or no regular file; not written"),
              std::string::npos)
        << fallback;
    EXPECT_NE(fallback.find("entry"), std::string::npos);
    EXPECT_EQ(test::ReadFileBytes(victim), "someone's data\n");
    EXPECT_FALSE(fs::exists(victim + ".new"));

    // The result log's opener refuses the same names, without waiting.
    EXPECT_EQ(OpenLogFile(dir / "romsend.log", true), -1);
    EXPECT_EQ(test::ReadFileBytes(victim), "someone's data\n");
  }
  // A regular file is appended to.
  test::TempDir dir;
  test::WriteFileBytes(dir / "romsend.txt", "earlier\r\n");
  const int fd = OpenLogFile(dir / "romsend.txt", true);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "next\r\n", 6), 6);
  close(fd);
  EXPECT_EQ(test::ReadFileBytes(dir / "romsend.txt"), "earlier\r\nnext\r\n");
}

// A link under the kept generation's name is replaced, never written through.
TEST(DiagnosticLog, KeptGenerationReplacesALinkNotItsTarget) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "victim.txt", "someone's data\n");
  test::WriteFileBytes(dir / "romsend.log", "\r\n(01/01/26 00:00:00) last run");
  std::filesystem::create_symlink(dir / "victim.txt", dir / "romsend.log.1");
  {
    DiagnosticLog log(dir / "romsend");
    log.Write("this run");
  }
  EXPECT_EQ(test::ReadFileBytes(dir / "victim.txt"), "someone's data\n");
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "romsend.log.1"));
  EXPECT_EQ(test::ReadFileBytes(dir / "romsend.log.1"), "\r\n(01/01/26 00:00:00) last run");
}

TEST(DiagnosticLog, UnwritableProgramFolderFallsBackToTheStateFolder) {
  DiagnosticLog log("/proc/kestrune-missing/romsend");
  log.Write("kept");
  EXPECT_EQ(log.FilePath(), XdgStateHome() + "/Kestrune/romsend.log");
  EXPECT_NE(test::ReadFileBytes(log.FilePath()).find("kept"), std::string::npos);
}

TEST(DiagnosticLog, NowhereToWriteDropsEntriesSilently) {
  test::ScopedEnv state("XDG_STATE_HOME", "/proc/kestrune-missing-state");
  DiagnosticLog log("/proc/kestrune-missing/romsend");
  log.Write("dropped");
  log.Write("dropped again");
  EXPECT_EQ(log.FilePath(), "");
}

}  // namespace
}  // namespace kestrune
