// SPDX-License-Identifier: MIT
// CPU cost of an idle two-second wait on an event pump (WaitFor(2000)): with the console pump and with the GUI's Qt
// pump (offscreen). A wait must block, not spin: the figure should stay well under 2% of one core.
#include <QApplication>
#include <cstdio>

#include "app/qt_event_pump.h"
#include "bench_util.h"
#include "platform/event_pump.h"
#include "platform/tick_count.h"

namespace {

void Measure(const char* name, kestrune::EventPump& pump) {
  const double cpu0 = kestrune::bench::CpuSeconds();
  const uint32_t t0 = kestrune::TickCount();
  pump.WaitFor(2000);
  const double wall = kestrune::TickDiff(kestrune::TickCount(), t0) / 1000.0;
  const double cpu = kestrune::bench::CpuSeconds() - cpu0;
  std::printf("%-10s WaitFor(2000): wall %.3f s, cpu %.4f s, %.3f%% of one core\n", name, wall, cpu,
              100.0 * cpu / wall);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  kestrune::HeadlessEventPump headless;
  Measure("headless", headless);
  kestrune::QtEventPump qt;
  Measure("qt", qt);
  return 0;
}
