// SPDX-License-Identifier: MIT
// Table-driven command-line flags: each table row names a flag and the field its value goes to.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "platform/message_box.h"

namespace kestrune {

// What a flag does; the numbers are those of the flag tables.
enum FlagType : int {
  kFlagString = 0,       // value after ':' or '=', else the next plain argument
  kFlagSwitch = 1,       // target set to 1
  kFlagInteger = 2,      // decimal value after ':' or '=', else of the next plain argument
  kFlagParamFile = 3,    // asks for the parameter file at destruction
  kFlagSavedInt = 4,     // only written to the parameter file
  kFlagSavedString = 5,  // only written to the parameter file
  kFlagSavedInt2 = 6,    // only written to the parameter file
  kFlagReserved = 7,     // 7 and above: "SAVEPARAMS" acts as a parameter-file request
};

// Where a flag's value goes: an int field, a string field, or nowhere.
using FlagTarget = std::variant<std::monostate, int*, std::string*>;

// One row of a flag table. The table ends with a row whose name is null. The table and the
// fields it points at belong to the caller and must outlive the parser.
struct FlagEntry {
  const char* name;
  const char* description;
  int type;
  FlagTarget target;
};

class FlagParser {
 public:
  // "/?" shows its help through `boxes`, which must outlive the parser. A parameter file asked
  // for without a name stands beside the program at `programPath`.
  FlagParser(const FlagEntry* table, MessageBoxes& boxes, std::string programPath);
  // Writes the parameter file when one was asked for, from the fields' values at this moment.
  virtual ~FlagParser();
  FlagParser(const FlagParser&) = delete;
  FlagParser& operator=(const FlagParser&) = delete;

  // Called once per argument, left to right. `isFlag` arguments arrive without their leading
  // '/' or '-'.
  void ParseParam(const std::string& arg, bool isFlag, bool isLast);

  // Builds the help text and shows it in the "Command Line Flags" box.
  void ShowHelp() const;
  std::string HelpText() const;

  const std::string& ParamFilePath() const { return paramFile_; }
  int PendingFlag() const { return pending_; }
  // Arguments that no flag took: plain arguments with no flag waiting, and unknown flags.
  const std::vector<std::string>& Unclaimed() const { return unclaimed_; }

 private:
  void WriteParamFile();
  MessageBoxes& boxes_;
  void SetParamFile(bool hasValue, const std::string& value);

  const FlagEntry* table_;
  std::string programPath_;
  std::string paramFile_;
  int pending_ = -1;
  std::vector<std::string> unclaimed_;
};

// The decimal value of the leading part of `text` ("3x" gives 3); 0 when there is none.
int LeadingInt(const std::string& text);

// True when the first three characters of `arg` and `name` agree without regard to case,
// with the end of a text counting as a character.
bool FlagNameMatches(const char* name, const std::string& arg);

// How argv reaches the parser: an argument is a flag when it begins with '-', or with '/' and
// the part before its first ':' or '=' holds no further '/' (so "/port:/dev/ttyACM0" is a flag
// and "/home/me/updates/*.bam" is a path).
bool IsFlagArgument(const std::string& arg);

// Hands argv[1..] to `info` by the rule above. Returns the plain arguments that stand before
// the first flag: the update-file search patterns.
std::vector<std::string> ParseCommandLine(FlagParser& info, int argc, const char* const* argv);

}  // namespace kestrune
