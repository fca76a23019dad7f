// SPDX-License-Identifier: MIT
// What the simulator programs share: their flags described as a table, from which the runner
// reads the command line and writes the usage, and the run itself: start the simulator, print
// its first line, wait until SIGINT, SIGTERM or the end of stdin, stop it.
#pragma once

#include <signal.h>

#include <functional>
#include <string>
#include <vector>

namespace kestrune::sim {

// A whole-text integer (decimal, 0x hex or 0 octal) within [min, max]; false otherwise.
bool ParseInt(const std::string& text, long min, long max, long& value);

// One flag: its name, the name of its value in the usage (empty for a switch), its help text
// (lines after the first are indented under it; empty: not listed) and where its value goes.
// `take` gets the value ("" for a switch) and returns false when the value is no good; a row
// without `take` only stands in the usage for flags listed under other names.
struct Flag {
  std::string name;
  std::string value;
  std::string help;
  std::function<bool(const std::string& value)> take;
};

// The kinds of flag value, with where each goes.
Flag Switch(std::string name, std::string help, std::function<void()> set);
// Any text (`nonEmpty`: not ""), or text that `set` checks and returns false for.
Flag Text(std::string name, std::string value, std::string help, std::function<void(const std::string&)> set,
          bool nonEmpty = false);
Flag CheckedText(std::string name, std::string value, std::string help, std::function<bool(const std::string&)> set);
// A whole number within [min, max] (see ParseInt).
Flag Number(std::string name, std::string value, long min, long max, std::string help, std::function<void(long)> set);

// The setter calls that flags ask of a simulator, made once it exists (after all flags are read).
template <typename Sim>
class LaterCalls {
 public:
  void Add(std::function<void(Sim&)> call) { calls_.push_back(std::move(call)); }
  // Where a number goes: into `set`.
  template <typename T>
  std::function<void(long)> Number(void (Sim::*set)(T)) {
    return [this, set](long n) { Add([set, v = static_cast<T>(n)](Sim& sim) { (sim.*set)(v); }); };
  }
  // What a switch does: `set` with `value`.
  template <typename T>
  std::function<void()> Switch(void (Sim::*set)(T), T value) {
    return [this, set, value] { Add([set, value](Sim& sim) { (sim.*set)(value); }); };
  }
  void ApplyTo(Sim& sim) const {
    for (const auto& call : calls_) call(sim);
  }

 private:
  std::vector<std::function<void(Sim&)>> calls_;
};

// One simulator program.
struct SimProgram {
  std::string name;   // the program's name, at the head of its usage and its messages
  std::string about;  // the usage's lines between "usage: NAME [options]" and the flags
  std::vector<Flag> flags;
  // Starts the simulator once the flags are read and SIGINT and SIGTERM are held back: true
  // with the line to print on stdout (the slave path, "ready"), or false with the reason.
  std::function<bool(std::string& line)> start;
  // Stops it after the wait and reports what it recorded; returns the exit status.
  std::function<int()> stop;
  bool ignoreStdin = false;  // run until a signal only (a flag may set it)
  // A bad flag with no value after it is shown as "bad option FLAG " (true) or "... FLAG".
  bool blankWithoutValue = true;
};

// Reads the flags (--help or -h: the usage on stdout, exit 0; a bad flag or value: the message
// and the usage on stderr, exit 2), then starts the simulator (exit 1 when it cannot), prints
// its line, waits and stops it. Call from main before any thread starts.
int RunSimProgram(SimProgram& program, int argc, char** argv);

// Prints "NAME: TEXT" on stderr.
void Complain(const SimProgram& program, const std::string& text);

}  // namespace kestrune::sim
