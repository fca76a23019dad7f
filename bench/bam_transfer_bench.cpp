// SPDX-License-Identifier: MIT
// A 1 MiB BAM image sent by the real engine and serial transport to the simulated unit, run as
// a program of its own so that this process's CPU time is the client's alone. The unit paces
// its line at 115200 and then at 460800 baud; the figures are the payload bytes per second over
// the data phase (from the erase's end to Close's answer) as a share of the line's byte rate,
// and the client's CPU time as a share of the wall time of the whole transfer.
//   bam_transfer_bench [KiB] [baud...]      defaults: 1024 KiB, 115200 and 460800 baud
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "platform/event_pump.h"
#include "platform/profile.h"
#include "transfer_bench_util.h"
#include "transport/serial_transport.h"

int main(int argc, char** argv) {
  using namespace kestrune;
  const size_t kib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
  std::vector<int> bauds;
  for (int i = 2; i < argc; ++i) bauds.push_back(std::atoi(argv[i]));
  if (bauds.empty()) bauds = {115200, 460800};

  bench::ScratchFolder dir;
  if (!dir.Ok()) return 1;
  const std::string file = dir / "bench.bam";
  const double payload = bench::WriteBenchBam(file, kib);

  int failures = 0;
  for (int baud : bauds) {
    test::ChildProcess unit(
        test::SimulatorOptions(KESTRUNE_UNIT_SIM, {"--baud", std::to_string(baud)}, test::ChildOptions::kNull));
    const std::string port = unit.ReadLine();
    if (port.empty()) {
      std::fprintf(stderr, "cannot start %s\n", KESTRUNE_UNIT_SIM);
      return 1;
    }
    const RunContext& run = dir.Context().run;
    dir.Context().profile.WriteString("serial", "port", port);
    bench::QuietSender engine(run, dir / "romsend.txt");
    engine.SetDriver(std::make_unique<SerialTransport>(run, "Serial Settings"));
    const bench::TransferFigures f = bench::MeasureBamTransfer(engine, file, bench::CpuSeconds);
    if (f.result < 0) {
      std::fprintf(stderr, "no contact at %d baud\n", baud);
      return 1;
    }
    const double share = payload / f.dataSeconds / (baud / 10.0);
    const double cpuShare = f.cpuSeconds / f.wallSeconds;
    const double goal = baud <= 115200 ? 0.96 : 0.94;
    std::printf(
        "BAM %zu KiB at %d baud: result %d, data phase %.2f s, payload %.1f%% of line rate (goal >= %.0f%%), "
        "client CPU %.2f%% of wall time (goal <= 3%%)\n",
        kib, baud, f.result, f.dataSeconds, share * 100, goal * 100, cpuShare * 100);
    const std::string at = " at " + std::to_string(baud) + " baud";
    bench::PrintFigure("BAM over serial" + at + ": payload share of the line rate (data phase)", share * 100, "%",
                       ">=", goal * 100, f.result == 0);
    bench::PrintFigure("Client CPU, BAM over serial" + at, cpuShare * 100, "% of wall", "<=", 3, f.result == 0);
    if (f.result != 0 || share < goal || cpuShare > 0.03) ++failures;
  }
  return failures == 0 ? 0 : 2;
}
