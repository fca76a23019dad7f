// SPDX-License-Identifier: MIT
// A 256 KiB BAM image sent by the real engine and MIDI transport to the simulated unit behind a
// MIDI device, first over the in-process loopback MIDI system, then over a private JACK server
// with the unit in a process of its own (so this process's CPU time is the client's alone,
// RtMidi's JACK threads included). Figures: payload bytes per second over the data phase (from
// the erase's end to Close's answer), beside the DIN MIDI wire (31250 baud, 3125 bytes/s raw,
// about 2734 bytes/s of payload after 7-in-8 packing), and the client's CPU time: over JACK as a
// share of the wall time of the whole transfer, over the unpaced loopback per byte, taken at the
// DIN wire's rate (goal <= 5% either way).
//   midi_transfer_bench [KiB]      default 256
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bam_image.h"
#include "bench_util.h"
#include "jack_server.h"
#include "midi_unit.h"
#include "platform/event_pump.h"
#include "platform/midi_loopback.h"
#include "platform/profile.h"
#include "platform/tick_count.h"
#include "protocol/protocol_engine.h"
#include "transfer_bench_util.h"
#include "transport/midi_transport.h"
#include "updates/bam_transfer.h"

namespace {

using namespace kestrune;

constexpr double kDinPayloadRate = 3125.0 * 7 / 8;

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// `paced`: the link sets the pace, so the CPU share of the wall time is the figure that
// counts; an unpaced link runs as fast as the CPU allows, so there the CPU time per byte,
// taken at the DIN wire's rate, is.
bool Report(const char* how, const char* figure, size_t kib, const bench::TransferFigures& f, bool paced) {
  const double payloadRate = static_cast<double>(kib) * 1024 / f.dataSeconds;
  const double share = f.cpuSeconds / f.wallSeconds;
  const double atDinRate = f.cpuSeconds / (static_cast<double>(kib) * 1024) * kDinPayloadRate;
  std::printf(
      "BAM %zu KiB over %s: result %d, %.3f s, payload %.0f bytes/s (%.1f x the DIN MIDI wire's %.0f bytes/s); "
      "client CPU %.1f ms, %.2f%% of wall time, %.4f%% at the DIN wire's rate (goal <= 5%% %s)\n",
      kib, how, f.result, f.wallSeconds, payloadRate, payloadRate / kDinPayloadRate, kDinPayloadRate,
      f.cpuSeconds * 1000, share * 100, atDinRate * 100, paced ? "of wall time" : "at the DIN wire's rate");
  bench::PrintFigure(figure, (paced ? share : atDinRate) * 100, paced ? "% of wall" : "% at DIN rate", "<=", 5,
                     f.result == 0);
  return f.result == 0 && (paced ? share : atDinRate) <= 0.05;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t kib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  bench::ScratchFolder dir;
  if (!dir.Ok()) return 1;
  const std::string file = dir / "bench.bam";
  bench::WriteBenchBam(file, kib);

  // A fresh engine per run, on a MIDI transport over whatever MIDI system the context gives.
  RunContext& run = dir.Context().run;
  auto transfer = [&](double (*cpu)()) {
    bench::QuietSender engine(run, dir / "romsend.txt");
    engine.SetDriver(std::make_unique<MidiTransport>(run));
    return bench::MeasureBamTransfer(engine, file, cpu);
  };

  int failures = 0;
  {
    // The unit shares this process here, so the client's CPU is the engine thread's alone.
    MidiLoopback loop;
    sim::MidiUnit unit;
    unit.Start(loop.AddDevice("USB Audio Device"));
    run.midiPorts = loop.PortsFactory();
    const bench::TransferFigures f = transfer(ThreadCpuSeconds);
    if (!Report("the loopback MIDI system, unpaced (engine thread's CPU)",
                "Client CPU, BAM over loopback MIDI (engine thread, per byte at the DIN wire's rate)", kib, f, false))
      ++failures;
    unit.Stop();
  }
  run.midiPorts = {};
  if (!sim::JackServer::Installed()) {
    std::printf("JACK: jackd is not installed, no run over real MIDI ports\n");
    bench::PrintFigureText("Client CPU, BAM over JACK MIDI", "n/a: no MIDI system", "% of wall", "<=", 5);
  } else {
    sim::JackServer server;
    std::string why;
    if (!server.Start(&why)) {
      std::printf("JACK: %s\n", why.c_str());
      bench::PrintFigureText("Client CPU, BAM over JACK MIDI", "n/a: no MIDI system", "% of wall", "<=", 5);
      ++failures;
    } else {
      setenv("JACK_DEFAULT_SERVER", server.Name().c_str(), 1);
      setenv("KESTRUNE_MIDI_API", "jack", 1);
      test::ChildProcess unit(
          test::SimulatorOptions(KESTRUNE_MIDI_UNIT_SIM, {"--api", "jack"}, test::ChildOptions::kNull));
      if (unit.ReadLine() != "ready") {
        std::fprintf(stderr, "cannot start %s\n", KESTRUNE_MIDI_UNIT_SIM);
        ++failures;
      } else {
        const bench::TransferFigures f = transfer(bench::CpuSeconds);
        if (!Report("JACK MIDI, dummy backend, 256-frame periods (whole process's CPU)",
                    "Client CPU, BAM over JACK MIDI", kib, f, true))
          ++failures;
      }
    }
  }
  return failures == 0 ? 0 : 2;
}
