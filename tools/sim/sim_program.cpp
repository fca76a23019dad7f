// SPDX-License-Identifier: MIT
// The command line, usage and run of the simulator programs.
#include "sim_program.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kestrune::sim {
namespace {

volatile sig_atomic_t g_signalled = 0;
void OnSignal(int) {
  g_signalled = 1;
}

// Blocks SIGINT and SIGTERM in every thread started after construction and lets them through
// only inside Wait, so a signal always ends the wait and never interrupts a simulator's thread.
class EndSignals {
 public:
  EndSignals() {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &waitMask_);
    sigdelset(&waitMask_, SIGINT);
    sigdelset(&waitMask_, SIGTERM);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
  }

  // Blocks until a signal, or (unless `ignoreStdin`) the end of stdin.
  void Wait(bool ignoreStdin) const {
    while (!g_signalled) {
      pollfd in{ignoreStdin ? -1 : STDIN_FILENO, POLLIN, 0};
      const int ready = ppoll(&in, 1, nullptr, &waitMask_);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (in.revents & (POLLIN | POLLHUP | POLLERR)) {
        char buf[256];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return;
      }
    }
  }

 private:
  sigset_t waitMask_;
};

// Flag and value wider than this put their help on the lines below; the help starts in column 25.
constexpr size_t kInlineWidth = 24;
constexpr size_t kHelpColumn = 25;

std::string Usage(const SimProgram& program) {
  std::string usage = "usage: " + program.name + " [options]\n" + program.about + "\n";
  std::vector<Flag> rows = program.flags;
  rows.push_back({"--help", "", "this text", nullptr});
  const std::string indent(kHelpColumn, ' ');
  for (const Flag& row : rows) {
    if (row.help.empty()) continue;
    const std::string left = "  " + row.name + (row.value.empty() ? "" : " " + row.value);
    if (left.size() - 2 > kInlineWidth)
      usage += left + "\n" + indent;
    else
      usage += left + std::string(left.size() + 2 > kHelpColumn ? 2 : kHelpColumn - left.size(), ' ');
    for (const char c : row.help) usage += c == '\n' ? "\n" + indent : std::string(1, c);
    usage += "\n";
  }
  return usage;
}

}  // namespace

bool ParseInt(const std::string& text, long min, long max, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  value = v;
  return true;
}

Flag Switch(std::string name, std::string help, std::function<void()> set) {
  return {std::move(name), "", std::move(help), [set = std::move(set)](const std::string&) {
            set();
            return true;
          }};
}

Flag Text(std::string name, std::string value, std::string help, std::function<void(const std::string&)> set,
          bool nonEmpty) {
  return {std::move(name), std::move(value), std::move(help), [set = std::move(set), nonEmpty](const std::string& v) {
            if (nonEmpty && v.empty()) return false;
            set(v);
            return true;
          }};
}

Flag CheckedText(std::string name, std::string value, std::string help, std::function<bool(const std::string&)> set) {
  return {std::move(name), std::move(value), std::move(help), std::move(set)};
}

Flag Number(std::string name, std::string value, long min, long max, std::string help, std::function<void(long)> set) {
  return {std::move(name), std::move(value), std::move(help), [=, set = std::move(set)](const std::string& v) {
            long n = 0;
            if (!ParseInt(v, min, max, n)) return false;
            set(n);
            return true;
          }};
}

void Complain(const SimProgram& program, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", program.name.c_str(), text.c_str());
}

int RunSimProgram(SimProgram& program, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(Usage(program).c_str(), stdout);
      return 0;
    }
    const Flag* row = nullptr;
    for (const Flag& f : program.flags)
      if (f.take && f.name == flag) row = &f;
    // A flag not in the table is taken to have a value, shown in the message.
    const bool hasValue = (!row || !row->value.empty()) && i + 1 < argc;
    const std::string value = hasValue ? argv[++i] : "";
    if (!row || (!row->value.empty() && !hasValue) || !row->take(value)) {
      const std::string shown = hasValue || program.blankWithoutValue ? " " + value : "";
      std::fprintf(stderr, "%s: bad option %s%s\n%s", program.name.c_str(), flag.c_str(), shown.c_str(),
                   Usage(program).c_str());
      return 2;
    }
  }
  // SIGINT and SIGTERM stay blocked everywhere (the simulator's threads inherit the mask)
  // except inside the wait, so a signal always ends it.
  const EndSignals endSignals;
  std::string line;
  if (!program.start(line)) {
    Complain(program, line);
    return 1;
  }
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  endSignals.Wait(program.ignoreStdin);
  return program.stop();
}

}  // namespace kestrune::sim
