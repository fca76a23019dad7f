// SPDX-License-Identifier: MIT
// Flag parsing: abbreviations, separators, pending values, help text and the parameter file.
#include "app/flag_parser.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/message_box.h"
#include "platform/program_info.h"
#include "test_env.h"

namespace kestrune {
namespace {

// Boxes that are recorded and never shown, for parsers whose boxes a case does not look at.
MessageBoxes& QuietBoxes() {
  static RecorderMessageBox recorder;
  static MessageBoxes boxes(recorder);
  return boxes;
}

// romsend's own table over local fields.
struct RomsendFlags {
  int batch = 0;
  int sort = 1;
  std::string port;
  FlagEntry table[4] = {{"batch", "Exit after command line stuff", kFlagSwitch, &batch},
                        {"sort", "File sort mode", kFlagInteger, &sort},
                        {"port", "comms port", kFlagString, &port},
                        {nullptr, nullptr, 0, {}}};

  // Parses argv as the program gets it (program name first).
  void Parse(std::vector<const char*> args, RecorderMessageBox* boxes = nullptr) {
    RecorderMessageBox local;
    MessageBoxes shown(boxes ? *boxes : local);
    args.insert(args.begin(), "romsend");
    FlagParser info(table, shown, test::TestProgramPath());
    patterns = ParseCommandLine(info, static_cast<int>(args.size()), args.data());
  }
  std::vector<std::string> patterns;
};

TEST(FlagParser, SwitchAbbreviationsAndCase) {
  const struct {
    const char* arg;
    int batch;
  } rows[] = {{"/bat", 1}, {"/BATCH", 1}, {"-batch", 1}, {"/batchmode", 1},
              {"/ba", 0},  {"/b", 0},     {"/bxt", 0},   {"-Bat:ignored", 1}};
  for (const auto& row : rows) {
    RomsendFlags f;
    f.Parse({row.arg});
    EXPECT_EQ(f.batch, row.batch) << row.arg;
  }
}

TEST(FlagParser, ValuesSeparatorsAndPendingFlags) {
  const struct {
    std::vector<const char*> args;
    int sort;
    std::string port;
    int batch;
  } rows[] = {
      {{"/sort:3"}, 3, "", 0},
      {{"/sort=3"}, 3, "", 0},
      {{"/sort", "3"}, 3, "", 0},
      {{"/sort", "x"}, 0, "", 0},
      {{"/sort:3x"}, 3, "", 0},
      {{"/sort:-2"}, -2, "", 0},
      {{"/sort:99999999999999"}, 2147483647, "", 0},
      {{"/port:COM3"}, 1, "COM3", 0},
      {{"/port", "COM3"}, 1, "COM3", 0},
      {{"/port=a:b"}, 1, "b", 0},  // ':' is looked for before '='
      {{"/port:/dev/ttyACM0"}, 1, "/dev/ttyACM0", 0},
      {{"/port", "/batch", "COM4"}, 1, "COM4", 1},  // the pending flag waits across other flags
      {{"/portable", "COM5"}, 1, "COM5", 0},        // first three letters make the port flag
      {{"/port", "/sort", "7"}, 7, "", 0},          // a later pending flag replaces the earlier
      {{"/port"}, 1, "", 0},                        // waiting at the end: dropped
      {{"/unknown:1", "/sort:2"}, 2, "", 0},
      {{"/SAVEPARAMS"}, 1, "", 0},
  };
  for (const auto& row : rows) {
    RomsendFlags f;
    f.Parse(row.args);
    EXPECT_EQ(f.sort, row.sort) << row.args[0];
    EXPECT_EQ(f.port, row.port) << row.args[0];
    EXPECT_EQ(f.batch, row.batch) << row.args[0];
  }
}

TEST(FlagParser, SearchPatternsAreThePlainArgumentsBeforeTheFirstFlag) {
  RomsendFlags f;
  f.Parse({"updates/*.*", "/home/me/x.bam", "/batch", "later.bam"});
  EXPECT_EQ(f.patterns, (std::vector<std::string>{"updates/*.*", "/home/me/x.bam"}));
  EXPECT_EQ(f.batch, 1);
  const struct {
    const char* arg;
    bool flag;
  } rows[] = {{"/batch", true},
              {"-sort", true},
              {"/port:/dev/ttyACM0", true},
              {"/port=/dev/x", true},
              {"/home/me/updates/*.bam", false},
              {"*.bam", false},
              {"", false},
              {"/", true}};
  for (const auto& row : rows) EXPECT_EQ(IsFlagArgument(row.arg), row.flag) << row.arg;
}

TEST(FlagParser, HelpBoxListsTheFlagsByteForByte) {
  RecorderMessageBox boxes;
  RomsendFlags f;
  f.Parse({"/?", "/sort:4", "-?", "?"}, &boxes);
  const std::string expected =
      "/batch               Exit after command line stuff\n"
      "/sort                File sort mode\n"
      "/port:|=|' '<param>  comms port\n"
      "?                   Show this message\n";
  ASSERT_EQ(boxes.Boxes().size(), 3u);  // each of the three spellings shows it
  for (const auto& box : boxes.Boxes()) {
    EXPECT_EQ(box.text, expected);
    EXPECT_EQ(box.title, "Command Line Flags");
    EXPECT_EQ(box.style, kBoxOk | kBoxIconInformation);
    EXPECT_EQ(box.owner, nullptr);
  }
  EXPECT_EQ(f.sort, 4);  // parsing goes on after the box
}

// A table with every type code, as another program would build it.
struct AllTypes {
  std::string str = "s0", saved = "keep me";
  int sw = 0, num = 0, si = 41, si2 = -6;
  FlagEntry table[9] = {{"str", "a string", kFlagString, &str},
                        {"sw", "a switch", kFlagSwitch, &sw},
                        {"num", "a number", kFlagInteger, &num},
                        {"prm", "parameter file", kFlagParamFile, {}},
                        {"sin", "saved int", kFlagSavedInt, &si},
                        {"sst", "saved string", kFlagSavedString, &saved},
                        {"si2", "saved int 2", kFlagSavedInt2, &si2},
                        {"res", "reserved", 9, {}},
                        {nullptr, nullptr, 0, {}}};
};

TEST(FlagParser, ParameterFileRequests) {
  const std::string program = "/opt/kestrune/romsend.exe";
  const struct {
    const char* arg;
    const char* path;
  } rows[] = {{"prm:E:\\p.prm", "E:\\p.prm"},
              {"prm=E:\\p.prm", "\\p.prm"},
              {"prm=x.prm", "x.prm"},
              {"prm", "/opt/kestrune/romsend.prm"},
              {"res", ""},
              {"SAVEPARAMS", ""},
              {"sav", ""}};
  for (const auto& row : rows) {
    AllTypes t;
    FlagParser info(t.table, QuietBoxes(), program);
    info.ParseParam(row.arg, true, true);
    EXPECT_EQ(info.ParamFilePath(), row.path) << row.arg;
  }
  // A reserved entry whose name matches "SAVEPARAMS" acts as a request.
  int dummy = 0;
  FlagEntry reserved[] = {{"SAVEPARAMS", "save", 7, &dummy}, {nullptr, nullptr, 0, {}}};
  FlagParser info(reserved, QuietBoxes(), program);
  info.ParseParam("saveparams", true, true);
  EXPECT_EQ(info.ParamFilePath(), "/opt/kestrune/romsend.prm");
  info.ParseParam("", true, true);  // does not disturb what was set
}

TEST(FlagParser, ParameterFileHoldsFinalValuesWithCrLf) {
  test::TempDir dir;
  const std::string path = dir / "out.prm";
  AllTypes t;
  {
    FlagParser info(t.table, QuietBoxes(), test::TestProgramPath());
    info.ParseParam("prm:" + path, true, false);
    info.ParseParam("str:value one", true, false);
    info.ParseParam("sw", true, false);
    info.ParseParam("num=12", true, true);
    t.num = 13;  // changed after parsing: the file shows the value at destruction
  }
  EXPECT_EQ(test::ReadFileBytes(path), "str: value one\r\nsw: 1\r\nnum: 13\r\nsin: 41\r\nsst: keep me\r\nsi2: -6\r\n");
}

TEST(FlagParser, ParameterFileSkippedForBlankPathsAndUncreatableFiles) {
  test::TempDir dir;
  for (const std::string& path : {std::string(" ") + (dir / "blank.prm"), std::string("\x80") + "x.prm",
                                  std::string("/proc/no-such-folder/x.prm")}) {
    AllTypes t;
    {
      FlagParser info(t.table, QuietBoxes(), test::TestProgramPath());
      info.ParseParam("prm:" + path, true, true);
    }
    EXPECT_FALSE(test::FileExists(path)) << path;
  }
  EXPECT_FALSE(test::FileExists(dir / "blank.prm"));
}

TEST(FlagParser, ShortNamesMustBeTypedWholeAndAlone) {
  int a = 0, b = 0;
  FlagEntry table[] = {{"v", "short", kFlagSwitch, &a}, {"vx", "two", kFlagSwitch, &b}, {nullptr, nullptr, 0, {}}};
  FlagParser info(table, QuietBoxes(), test::TestProgramPath());
  info.ParseParam("vq", true, false);
  EXPECT_EQ(a + b, 0);
  info.ParseParam("v", true, false);
  EXPECT_EQ(a, 1);
  info.ParseParam("VX", true, false);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(info.Unclaimed(), std::vector<std::string>{"vq"});
}

}  // namespace
}  // namespace kestrune
