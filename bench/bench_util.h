// SPDX-License-Identifier: MIT
// Small helpers the benchmark drivers share.
#pragma once

#include <sys/resource.h>

#include <cstdio>
#include <string>

namespace kestrune::bench {

// CPU time of the whole process so far, user plus system, in seconds.
inline double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// One figure as a line that bench/run collects into its table, beside the human output:
// "FIGURE<TAB>name<TAB>measured<TAB>unit<TAB>>= or <=<TAB>goal". `name` holds no tab. A figure
// that could not be measured carries a short reason in place of its value.
inline void PrintFigureText(const std::string& name, const std::string& measured, const char* unit, const char* op,
                            double goal) {
  std::printf("FIGURE\t%s\t%s\t%s\t%s\t%.4g\n", name.c_str(), measured.c_str(), unit, op, goal);
  std::fflush(stdout);
}
// `ok` false: the run behind the figure failed, and the value says so instead.
inline void PrintFigure(const std::string& name, double measured, const char* unit, const char* op, double goal,
                        bool ok = true) {
  char value[32] = "failed";
  if (ok) std::snprintf(value, sizeof value, "%.4g", measured);
  PrintFigureText(name, value, unit, op, goal);
}

}  // namespace kestrune::bench
