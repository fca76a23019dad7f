// SPDX-License-Identifier: MIT
// Serial port handle on a pseudo-terminal: how soon a byte written by the far end reaches the
// receive callback (median), and what an open, idle handle with its reader thread costs in CPU.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "pty_pair.h"
#include "serial/serial_handle.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<uint64_t> g_arrivals{0};
std::atomic<int64_t> g_lastArrivalNs{0};

void Receive(const uint8_t*, uint32_t, void*) {
  g_lastArrivalNs = Clock::now().time_since_epoch().count();
  g_arrivals.fetch_add(1);
}

// A pty pair with the handle open on its slave; the profile goes to a scratch folder so the
// benchmark leaves the user's settings alone.
struct Rig {
  std::unique_ptr<kestrune::ConsoleRunContext> context;  // outlives the handle
  kestrune::test::PtyPair pty;
  std::unique_ptr<kestrune::PublicSerialHandle> handle;
  Rig() {
    static const std::string scratch = [] {
      char t[] = "/tmp/serial-bench-XXXXXX";
      return std::string(mkdtemp(t) ? t : "/tmp");
    }();
    context = std::make_unique<kestrune::ConsoleRunContext>(kestrune::ProgramPath(), scratch + "/bench.ini");
    if (!pty.name.empty())
      handle.reset(
          kestrune::PublicSerialHandle::Open(kestrune::PortOwner{context->run}, pty.name, &Receive, nullptr, 8192));
  }
};

void BM_ByteToCallbackLatency(benchmark::State& state) {
  Rig rig;
  if (!rig.handle) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  std::vector<double> micros;
  for (auto _ : state) {
    const uint64_t before = g_arrivals.load();
    const auto sent = Clock::now();
    const char byte = 'U';
    if (write(rig.pty.master, &byte, 1) != 1) {
      state.SkipWithError("write failed");
      return;
    }
    const auto limit = sent + std::chrono::seconds(1);
    while (g_arrivals.load() == before && Clock::now() < limit) {
    }
    const int64_t arrived = g_lastArrivalNs.load();
    micros.push_back(static_cast<double>(arrived - sent.time_since_epoch().count()) / 1000.0);
  }
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  }
}
BENCHMARK(BM_ByteToCallbackLatency)->Iterations(2000)->Unit(benchmark::kMicrosecond);

using kestrune::bench::CpuSeconds;

void BM_IdleHandleCpu(benchmark::State& state) {
  Rig rig;
  if (!rig.handle) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    cpu += CpuSeconds() - cpu0;
    wall += std::chrono::duration<double>(Clock::now() - t0).count();
  }
  state.counters["cpu_percent_of_core"] = wall > 0 ? 100.0 * cpu / wall : 0;
}
BENCHMARK(BM_IdleHandleCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
