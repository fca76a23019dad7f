// The diagnostic log: entry format, one file per run, fallback to the state folder.
#include "platform/diagnostic_log.h"

#include <gtest/gtest.h>

#include <regex>

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
