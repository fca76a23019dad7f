// SPDX-License-Identifier: MIT
// Fuzzes the table-driven command-line parser with any argv: the input split at NUL bytes is
// the argument list (argv[0] included), parsed against a table with a row of every flag type.
// Besides crashes and sanitizer reports it checks that the search patterns are exactly the plain
// arguments before the first flag, that only fields named by the table change, that a pending
// flag points at a row that takes a value, that the help text stays bounded, and that the
// parameter file, when one was asked for, is written (into a scratch folder) one line per row.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/flag_parser.h"
#include "platform/message_box.h"
#include "platform/program_info.h"

namespace {

using kestrune::FlagEntry;

struct Fields {
  std::string port, file, saved;
  int batch = 0, baud = 0, count = 0, savedInt = 0, savedInt2 = 0;
};

// A scratch folder made once for the whole run, where every parameter file is written; it goes
// when the run ends.
char g_scratch[] = "/tmp/kestrune-cmdline-fuzz-XXXXXX";

const std::string& Scratch() {
  static const std::string path = [] {
    if (!mkdtemp(g_scratch)) std::abort();
    std::atexit([] { rmdir(g_scratch); });
    return std::string(g_scratch);
  }();
  return path;
}

bool IsPlain(const std::string& arg) {
  return !kestrune::IsFlagArgument(arg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Scratch();
  static kestrune::RecorderMessageBox boxes;
  static kestrune::MessageBoxes shown(boxes);
  boxes.Clear();

  std::vector<std::string> args(1);
  for (size_t i = 0; i < size && args.size() < 256; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());

  Fields f;
  const Fields before = f;
  const std::string longDescription(600, 'd');  // longer than a help line holds
  const FlagEntry table[] = {
      {"port", "serial port", kestrune::kFlagString, &f.port},
      {"batch", "no questions", kestrune::kFlagSwitch, &f.batch},
      {"baud", "line rate", kestrune::kFlagInteger, &f.baud},
      {"prm", "parameter file", kestrune::kFlagParamFile, {}},
      {"sav", "saved int", kestrune::kFlagSavedInt, &f.savedInt},
      {"str", "saved text", kestrune::kFlagSavedString, &f.saved},
      {"two", "saved int 2", kestrune::kFlagSavedInt2, &f.savedInt2},
      {"SAVEPARAMS", longDescription.c_str(), kestrune::kFlagReserved, {}},
      {"fil", "file", kestrune::kFlagString, &f.file},
      {"cnt", nullptr, kestrune::kFlagInteger, &f.count},
      {nullptr, nullptr, 0, {}},
  };
  const int rows = static_cast<int>(std::size(table)) - 1;

  std::string paramFile;
  {
    kestrune::FlagParser info(table, shown, kestrune::ProgramPath());
    const std::vector<std::string> patterns =
        kestrune::ParseCommandLine(info, static_cast<int>(argv.size()), argv.data());

    std::vector<std::string> leading;
    for (size_t i = 1; i < args.size() && IsPlain(args[i]); ++i) leading.push_back(args[i]);
    if (patterns != leading) std::abort();
    if (info.Unclaimed().size() + 1 > args.size()) std::abort();
    const int pending = info.PendingFlag();
    if (pending >= rows || (pending >= 0 && table[pending].type != kestrune::kFlagString &&
                            table[pending].type != kestrune::kFlagInteger)) {
      std::abort();
    }
    // Saved-only rows never take a value from the command line.
    if (f.savedInt != before.savedInt || f.savedInt2 != before.savedInt2 || f.saved != before.saved) std::abort();
    if (f.batch != 0 && f.batch != 1) std::abort();
    if (info.HelpText().size() > 512 * (rows + 1)) std::abort();

    // Whatever parameter file the arguments asked for, it is written in the scratch folder.
    if (!info.ParamFilePath().empty()) info.ParseParam("prm:" + Scratch() + "/params.prm", true, true);
    paramFile = info.ParamFilePath();
  }
  if (!paramFile.empty()) {
    std::ifstream in(Scratch() + "/params.prm", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string written = text.str();
    std::remove((Scratch() + "/params.prm").c_str());
    // One "name: value" line per row that holds a value: every row but the two file requests.
    size_t lines = 0;
    for (size_t at = written.find("\r\n"); at != std::string::npos; at = written.find("\r\n", at + 2)) ++lines;
    const size_t embedded = f.port.find('\n') != std::string::npos || f.file.find('\n') != std::string::npos;
    if (!embedded && lines < static_cast<size_t>(rows - 2)) std::abort();
    if (written.rfind("port: ", 0) != 0) std::abort();
  }
  return 0;
}
