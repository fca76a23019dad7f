// Small helpers the benchmark drivers share.
#pragma once

#include <sys/resource.h>

namespace kestrune::bench {

// CPU time of the whole process so far, user plus system, in seconds.
inline double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace kestrune::bench
