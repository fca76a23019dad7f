// SPDX-License-Identifier: MIT
// Flag parsing into table targets, the help box and the parameter file.
#include "flag_parser.h"

#include <strings.h>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "platform/decimal.h"
#include "platform/message_box.h"
#include "platform/program_info.h"

namespace kestrune {

int LeadingInt(const std::string& text) {
  return LeadingDecimal(text);
}

bool FlagNameMatches(const char* name, const std::string& arg) {
  for (size_t i = 0; i < 3; ++i) {
    const int a = i < arg.size() ? std::tolower(static_cast<unsigned char>(arg[i])) : 0;
    const int n = std::tolower(static_cast<unsigned char>(name[i]));
    if (a != n) return false;
    if (n == 0) return true;  // both texts ended together
  }
  return true;
}

bool IsFlagArgument(const std::string& arg) {
  if (arg.empty()) return false;
  if (arg[0] == '-') return true;
  if (arg[0] != '/') return false;
  const size_t sep = arg.find_first_of(":=");
  const std::string name = arg.substr(1, sep == std::string::npos ? std::string::npos : sep - 1);
  return name.find('/') == std::string::npos;
}

std::vector<std::string> ParseCommandLine(FlagParser& info, int argc, const char* const* argv) {
  std::vector<std::string> patterns;
  bool sawFlag = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i] ? argv[i] : "";
    const bool flag = IsFlagArgument(arg);
    if (!flag && !sawFlag) patterns.push_back(arg);
    sawFlag = sawFlag || flag;
    info.ParseParam(flag ? arg.substr(1) : arg, flag, i == argc - 1);
  }
  return patterns;
}

FlagParser::FlagParser(const FlagEntry* table, MessageBoxes& boxes, std::string programPath)
    : boxes_(boxes), table_(table), programPath_(std::move(programPath)) {}

FlagParser::~FlagParser() {
  WriteParamFile();
}

void FlagParser::SetParamFile(bool hasValue, const std::string& value) {
  paramFile_ = hasValue ? value : ReplaceExtension(programPath_, ".prm");
}

void FlagParser::ParseParam(const std::string& arg, bool isFlag, bool) {
  if (arg == "?") {
    ShowHelp();
    return;
  }
  if (!isFlag) {
    if (pending_ < 0) {
      unclaimed_.push_back(arg);
      return;
    }
    const FlagEntry& e = table_[pending_];
    if (e.type == kFlagString) {
      if (auto* s = std::get_if<std::string*>(&e.target); s && *s) **s = arg;
    } else if (e.type == kFlagInteger) {
      if (auto* n = std::get_if<int*>(&e.target); n && *n) **n = LeadingInt(arg);
    }
    pending_ = -1;
    return;
  }
  if (!table_ || !table_[0].name) {
    unclaimed_.push_back(arg);
    return;
  }
  int index = -1;
  for (int i = 0; table_[i].name; ++i) {
    if (FlagNameMatches(table_[i].name, arg)) {
      index = i;
      break;
    }
  }
  if (index < 0) {
    unclaimed_.push_back(arg);
    return;
  }
  size_t sep = arg.find(':');
  if (sep == std::string::npos) sep = arg.find('=');
  const bool hasValue = sep != std::string::npos;
  const std::string value = hasValue ? arg.substr(sep + 1) : std::string();
  const FlagEntry& e = table_[index];
  switch (e.type) {
    case kFlagString:
      if (!hasValue) {
        pending_ = index;
      } else if (auto* s = std::get_if<std::string*>(&e.target); s && *s) {
        **s = value;
      }
      break;
    case kFlagSwitch:
      if (auto* n = std::get_if<int*>(&e.target); n && *n) **n = 1;
      break;
    case kFlagInteger:
      if (!hasValue) {
        pending_ = index;
      } else if (auto* n = std::get_if<int*>(&e.target); n && *n) {
        **n = LeadingInt(value);
      }
      break;
    case kFlagParamFile:
      SetParamFile(hasValue, value);
      break;
    case kFlagSavedInt:
    case kFlagSavedString:
    case kFlagSavedInt2:
      break;
    default:
      if (e.type >= kFlagReserved && strcasecmp(arg.c_str(), "SAVEPARAMS") == 0) SetParamFile(hasValue, value);
      break;
  }
}

std::string FlagParser::HelpText() const {
  std::string text;
  char line[512];
  for (int i = 0; table_ && table_[i].name; ++i) {
    const FlagEntry& e = table_[i];
    if (e.type == kFlagSavedInt || e.type == kFlagSavedString || e.type == kFlagSavedInt2) continue;
    std::string name = e.name;
    if (e.type == kFlagString) name += ":|=|' '<param>";
    std::snprintf(line, sizeof line, "/%-20s%s\n", name.c_str(), e.description ? e.description : "");
    text += line;
  }
  std::snprintf(line, sizeof line, "%-20s%s\n", "?", "Show this message");
  text += line;
  return text;
}

void FlagParser::ShowHelp() const {
  boxes_.Show(HelpText(), "Command Line Flags", kBoxOk | kBoxIconInformation);
}

void FlagParser::WriteParamFile() {
  const std::string path = paramFile_;
  paramFile_.clear();
  // A path starting with a blank, a control character or a byte of 0x80 and above asks for nothing.
  if (path.empty() || static_cast<signed char>(path[0]) <= 0x20) return;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  for (int i = 0; table_ && table_[i].name; ++i) {
    const FlagEntry& e = table_[i];
    switch (e.type) {
      case kFlagString:
      case kFlagSavedString: {
        auto* s = std::get_if<std::string*>(&e.target);
        std::fprintf(f, "%s: %s\r\n", e.name, s && *s ? (*s)->c_str() : "");
        break;
      }
      case kFlagSwitch:
      case kFlagInteger:
      case kFlagSavedInt:
      case kFlagSavedInt2: {
        auto* n = std::get_if<int*>(&e.target);
        std::fprintf(f, "%s: %d\r\n", e.name, n && *n ? **n : 0);
        break;
      }
      default:
        break;
    }
  }
  std::fclose(f);
}

}  // namespace kestrune
