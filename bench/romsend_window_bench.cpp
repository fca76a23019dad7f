// SPDX-License-Identifier: MIT
// The real romsend program, started as users start it (offscreen platform here, its own settings
// and a working folder holding a BAM and a HEX file): the time from fork to its window drawn,
// over several starts, and the CPU it takes while its window sits idle for 10 s, read from
// /proc/<pid>/stat (user plus system time of all its threads). romsend reports the first paint
// of its window on stderr when KESTRUNE_REPORT_SHOWN=1.
//   romsend_window_bench [starts] [idle seconds]      defaults: 5, 10
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bam_image.h"
#include "bench_util.h"
#include "child_process.h"
#include "transfer_bench_util.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kShownMarker = "romsend: window shown:";

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// User plus system CPU seconds of process `pid` so far, or -1 when it is gone.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(f, stat)) return -1;
  // The command name in parentheses may hold blanks; the fields after it are plain.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// One romsend process: started in `work`, its stderr read here, ended by SIGTERM.
class Romsend {
 public:
  explicit Romsend(const std::string& work)
      : start_(Clock::now()),
        child_({.program = KESTRUNE_ROMSEND_PATH,
                .cwd = work,
                .output = kestrune::test::ChildOptions::kNull,
                .endSignal = SIGTERM}) {}

  pid_t Pid() const { return child_.Pid(); }
  // Reads stderr until `deadline`, or until the shown marker when `untilShown`; returns the ms
  // from the start to the marker's arrival (-1 when it did not come).
  double Drain(Clock::time_point deadline, bool untilShown) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    child_.WaitFor(
        [&] {
          if (shownMs_ < 0 && child_.Err().find(kShownMarker) != std::string::npos)
            shownMs_ = Ms(Clock::now() - start_);
          return untilShown && shownMs_ >= 0;
        },
        static_cast<int>(std::max<long>(0, left)));
    return shownMs_;
  }
  const std::string& Stderr() const { return child_.Err(); }

 private:
  Clock::time_point start_;
  kestrune::test::ChildProcess child_;
  double shownMs_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrune;
  const int starts = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const int idleSeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;

  bench::ScratchFolder dir;
  if (!dir.Ok()) return 1;
  const std::string work = dir / "work";
  mkdir(work.c_str(), 0700);
  const std::vector<uint8_t> bam = bamgen::BuildBam(bamgen::SampleBam());
  WriteFile(work + "/demo.bam", std::string(bam.begin(), bam.end()));
  WriteFile(work + "/demo.hex", bamgen::SampleHex());
  setenv("HOME", (dir / "").c_str(), 1);
  setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("KESTRUNE_REPORT_SHOWN", "1", 1);

  // Start-up: every start ends as soon as the window is drawn.
  std::vector<double> times;
  for (int i = 0; i < starts; ++i) {
    Romsend romsend(work);
    const double ms = romsend.Drain(Clock::now() + std::chrono::seconds(10), true);
    if (ms < 0) {
      std::fprintf(stderr, "romsend showed no window within 10 s; its stderr:\n%s\n", romsend.Stderr().c_str());
      bench::PrintFigure("romsend start to window shown (median)", 0, "ms", "<=", 300, false);
      bench::PrintFigure("romsend idle window CPU", 0, "% of wall", "<=", 0.5, false);
      return 1;
    }
    times.push_back(ms);
  }
  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];

  // Idle: one more start; a second after the window is drawn, 10 s with nothing to do.
  Romsend romsend(work);
  const bool shown = romsend.Drain(Clock::now() + std::chrono::seconds(10), true) >= 0;
  romsend.Drain(Clock::now() + std::chrono::seconds(1), false);
  const double cpu0 = ProcessCpuSeconds(romsend.Pid());
  const auto t0 = Clock::now();
  romsend.Drain(t0 + std::chrono::seconds(idleSeconds), false);
  const double cpu1 = ProcessCpuSeconds(romsend.Pid());
  const double wallMs = Ms(Clock::now() - t0);
  const bool idleOk = shown && cpu0 >= 0 && cpu1 >= 0;
  const double idleShare = idleOk ? (cpu1 - cpu0) * 1000.0 / wallMs * 100 : 0;

  std::printf(
      "romsend start to window shown: median %.1f ms of %d starts (fastest %.1f, slowest %.1f; goal < 300 ms)\n",
      median, starts, times.front(), times.back());
  if (idleOk) {
    std::printf(
        "romsend idle window: %.0f ms CPU in %.1f s, %.3f%% of wall time (goal < 0.5%%; counted in clock "
        "ticks of %.0f ms)\n",
        (cpu1 - cpu0) * 1000.0, wallMs / 1000.0, idleShare, 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK)));
  } else {
    std::printf("romsend idle window: not measured (%s)\n", shown ? "process ended" : "no window");
  }
  bench::PrintFigure("romsend start to window shown (median of " + std::to_string(starts) + ")", median, "ms",
                     "<=", 300);
  bench::PrintFigure("romsend idle window CPU over " + std::to_string(idleSeconds) + " s", idleShare, "% of wall",
                     "<=", 0.5, idleOk);
  return median <= 300 && idleOk && idleShare <= 0.5 ? 0 : 2;
}
