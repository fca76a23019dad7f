// SPDX-License-Identifier: MIT
// romsend's run modes decided before its window: the info requests, the unattended switch, the
// arguments an unattended run refuses, the display check, and boxes that no person answers.
#include "app/run_mode.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "serial/port_lock.h"
#include "test_env.h"

namespace kestrune {
namespace {

// What a function writes to a FILE*, as text.
struct Captured {
  char* data = nullptr;
  size_t size = 0;
  std::FILE* file = open_memstream(&data, &size);
  std::string Text() {
    std::fflush(file);
    return std::string(data, size);
  }
  ~Captured() {
    std::fclose(file);
    std::free(data);
  }
};

std::vector<const char*> Argv(std::vector<const char*> args) {
  args.insert(args.begin(), "romsend");
  return args;
}

TEST(RunMode, InfoRequestsAnswerOnStandardOutput) {
  const struct {
    std::vector<const char*> args;
    bool answered;
    const char* starts;
  } rows[] = {
      {{"--help"}, true, "Usage: romsend [pattern ...]"},
      {{"u.bam", "-h"}, true, "Usage: romsend [pattern ...]"},
      {{"--version"}, true, "romsend 1.61\n"},
      {{"/?"}, false, ""},  // the program's own help box stays as it is
      {{"-help"}, false, ""},
      {{}, false, ""},
  };
  for (const auto& row : rows) {
    Captured out;
    auto argv = Argv(row.args);
    const auto answer = AnswerInfoRequest(static_cast<int>(argv.size()), argv.data(), out.file);
    EXPECT_EQ(answer.has_value(), row.answered) << row.starts;
    EXPECT_EQ(answer.value_or(-1), row.answered ? 0 : -1);
    EXPECT_EQ(out.Text().rfind(row.starts, 0), 0u) << out.Text();
  }
}

TEST(RunMode, UnattendedSwitchAndTheArgumentsItRefuses) {
  const struct {
    std::vector<const char*> args;
    bool unattended;
    const char* doubtful;  // empty: none
  } rows[] = {
      {{"u.bam", "/unattended", "/port:/dev/ttyUSB0"}, true, ""},
      {{"/una"}, true, ""},
      {{"-UNAtt", "/sort", "3"}, true, ""},
      {{"/un"}, false, "/un"},  // two letters match no name
      {{"/batch"}, false, ""},
      {{"/?", "/una"}, true, ""},  // no box on the early read
      {{"/una", "/prot:/dev/ttyUSB1"}, true, "/prot:/dev/ttyUSB1"},
      {{"/una", "u.bam"}, true, "u.bam"},  // a pattern after a flag would be ignored
      {{"/una", "/port"}, true, "/port"},  // a value flag without its value
  };
  for (const auto& row : rows) {
    // The early read has no boxes to show: it makes silent ones of its own.
    auto argv = Argv(row.args);
    const int argc = static_cast<int>(argv.size());
    EXPECT_EQ(AsksForUnattended(argc, argv.data()), row.unattended) << argv[1];

    RecorderMessageBox boxes;
    MessageBoxes shown(boxes);

    int batch = 0, sort = 0, unattended = 0;
    std::string port;
    FlagEntry table[kRomsendFlagRows];
    FillRomsendFlagTable(table, &batch, &sort, &port, &unattended);
    FlagParser info(table, shown, test::TestProgramPath());
    const size_t patterns = ParseCommandLine(info, argc, argv.data()).size();
    const auto doubtful = DoubtfulArgument(info, patterns, argc, argv.data());
    EXPECT_EQ(doubtful.value_or(""), row.doubtful) << argv[1];
  }
}

TEST(RunMode, WithoutADisplayOnlyAnUnattendedRunStarts) {
  const struct {
    const char* display;
    const char* platform;
    bool unattended;
    bool starts;
    const char* platformAfter;
  } rows[] = {
      {nullptr, nullptr, true, true, "offscreen"},
      {nullptr, nullptr, false, false, nullptr},
      {":0", nullptr, false, true, nullptr},
      {nullptr, "offscreen", false, true, "offscreen"},
  };
  for (const auto& row : rows) {
    test::ScopedEnv display("DISPLAY", row.display);
    test::ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    test::ScopedEnv platform("QT_QPA_PLATFORM", row.platform);
    Captured err;
    EXPECT_EQ(PrepareDisplay(row.unattended, err.file), row.starts);
    const char* after = std::getenv("QT_QPA_PLATFORM");
    EXPECT_EQ(std::string(after ? after : "-"), std::string(row.platformAfter ? row.platformAfter : "-"));
    // One line when it cannot start, nothing otherwise.
    EXPECT_EQ(err.Text().empty(), row.starts) << err.Text();
    if (!row.starts) {
      EXPECT_EQ(err.Text().find('\n'), err.Text().size() - 1) << err.Text();
    }
  }
}

TEST(RunMode, UnattendedBoxesAreOneLineWithTheAnswerThatGoesNoFurther) {
  const struct {
    const char* text;
    unsigned style;
    int answer;
    const char* line;
  } rows[] = {
      {"Make a selection first", kBoxOk, kAnswerOk, "romsend: Quorle says...: Make a selection first\n"},
      {"two\r\nlines\n", kBoxYesNo | kBoxIconQuestion, kAnswerNo, "romsend: Quorle says...: two  lines\n"},
      {"go on?", kBoxOkCancel, kAnswerCancel, "romsend: Quorle says...: go on?\n"},
  };
  for (const auto& row : rows) {
    Captured err;
    UnattendedMessageBox boxes(err.file);
    EXPECT_EQ(boxes.Show(row.text, "Quorle says...", row.style, nullptr), row.answer);
    EXPECT_EQ(err.Text(), row.line);
  }
}

// A box raised while the port lock is held would keep every other copy waiting on the lock for
// as long as nobody answers: it is held back, answered at once, and shown once the lock is free.
TEST(RunMode, NoBoxWhileThePortLockIsHeld) {
  RecorderMessageBox boxes;
  MessageBoxes shown(boxes);
  PortLock lock;
  {
    PortLockGuard guard(&lock, true, &shown);
    EXPECT_EQ(shown.Show("/x/romsend.ini", "Cannot write to INI file", kBoxIconWarning), kAnswerOk);
    {
      MessageBoxes::HoldBack nested(&shown);
      EXPECT_EQ(shown.Show("second", "Question", kBoxYesNo), kAnswerNo);
    }
    EXPECT_TRUE(boxes.Boxes().empty());
  }
  ASSERT_EQ(boxes.Boxes().size(), 2u);
  EXPECT_EQ(boxes.Boxes()[0].title, "Cannot write to INI file");
  EXPECT_EQ(boxes.Boxes()[1].text, "second");
}

}  // namespace
}  // namespace kestrune
