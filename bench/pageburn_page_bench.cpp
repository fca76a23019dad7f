// SPDX-License-Identifier: MIT
// 64 KiB (256 pages) written through the SAM-BA device, monitor and flash writer to the
// simulated monitor, which answers every command 1 ms late (one USB frame) and keeps its flash
// busy for a while after each page. The bare command round trip is measured in the same run;
// a page should take no more than 1.15 x 66 round trips plus the flash busy time, and the
// client should spend under 5% of the wall time on the CPU. Reading a page back for the
// verify pass should cost no more than 1.1 x 64 round trips. The simulator runs as its own
// process, so the CPU figure is the client's alone.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_util.h"
#include "child_process.h"
#include "pageburn/flash_writer.h"
#include "pageburn/samba_channel.h"
#include "pageburn/samba_monitor.h"
#include "platform/program_info.h"
#include "serial/port_lock.h"

namespace {

constexpr int kPages = 256;
constexpr int kRoundTrips = 200;
constexpr int kReplyDelayMs = 1;
constexpr int kBusyMs = 3;

using Clock = std::chrono::steady_clock;
double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

int main() {
  using namespace kestrune;
  char dir[] = "/tmp/kestrune-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string root = dir;
  setenv("XDG_CONFIG_HOME", dir, 1);
  setenv("XDG_RUNTIME_DIR", dir, 1);

  // kestrune-samba-sim: its stdin closes to end it, its first output line is the port, and its
  // closing summary goes to a file, printed after the figures.
  const std::string summaryPath = root + "/summary.txt";
  test::ChildProcess sim(
      {.program = KESTRUNE_SAMBA_SIM_PATH,
       .args = {"--reply-delay-ms", std::to_string(kReplyDelayMs), "--busy-ms", std::to_string(kBusyMs), "--image",
                root + "/flash.bin", "--gpnvm", root + "/gpnvm.txt"},
       .input = test::ChildOptions::kPipe,
       .errorFile = summaryPath});
  const std::string port = sim.ReadLine(5000);
  if (port.empty()) {
    std::fprintf(stderr, "cannot start kestrune-samba-sim\n");
    return 1;
  }
  int failures = 0;
  std::vector<uint8_t> image(kPages * 256);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  double pageMs = 0, roundTripMs = 0, cpuShare = 0, verifyMs = 0;
  int retries = 0;
  {
    const ConsoleRunContext context(ProgramPath(), root + "/pageburn.ini");
    SambaSerialChannel device(context.run);
    if (!device.Open(port, 0)) {
      std::fprintf(stderr, "cannot open %s\n", port.c_str());
      return 1;
    }
    SambaMonitor monitor(&device);
    FlashWriter writer(&monitor);

    // The bare round trip: half the samples before the pages, half after, median of all.
    std::vector<double> trips;
    auto sampleTrips = [&] {
      uint32_t status = 0;
      for (int i = 0; i < kRoundTrips / 2; ++i) {
        const auto t = Clock::now();
        failures += !monitor.ReadFlashStatus(status);
        trips.push_back(Ms(Clock::now() - t));
      }
    };
    sampleTrips();
    const double cpu0 = bench::CpuSeconds();
    const auto t0 = Clock::now();
    for (int page = 0; page < kPages; ++page)
      failures += !writer.WriteFlashPage(static_cast<uint32_t>(page), image.data() + page * 256, 256);
    const double wallMs = Ms(Clock::now() - t0);
    const double cpuMs = (bench::CpuSeconds() - cpu0) * 1000.0;
    const auto v0 = Clock::now();
    for (int page = 0; page < kPages; ++page) {
      FlashMismatch mismatch;
      failures += !writer.VerifyFlashPage(static_cast<uint32_t>(page), image.data() + page * 256, 256, mismatch);
    }
    verifyMs = Ms(Clock::now() - v0) / kPages;
    failures += !writer.SetBootFromFlash();
    sampleTrips();
    std::sort(trips.begin(), trips.end());
    roundTripMs = trips[trips.size() / 2];
    pageMs = wallMs / kPages;
    cpuShare = 100.0 * cpuMs / wallMs;
    retries = monitor.RetryCount();
  }
  // Ends the simulator (it writes its files then) and waits for it.
  sim.CloseStdin();
  const bool ended = sim.Wait() == 0;
  const std::string flash = ReadFile(root + "/flash.bin");
  const bool same = ended && flash.size() >= image.size() &&
                    flash.compare(0, image.size(), reinterpret_cast<const char*>(image.data()), image.size()) == 0;
  const std::string gpnvm = ReadFile(root + "/gpnvm.txt");

  const double limitMs = 1.15 * 66 * roundTripMs + kBusyMs;
  const double verifyLimitMs = 1.1 * 64 * roundTripMs;
  std::printf("%d pages of 256 bytes, simulator replying %d ms late, flash busy %d ms a page\n", kPages, kReplyDelayMs,
              kBusyMs);
  std::printf("command round trip %.3f ms (median of %d status reads)\n", roundTripMs, kRoundTrips);
  std::printf("page %.2f ms = %.2f round trips; limit 1.15 x 66 round trips + busy = %.2f ms: %s\n", pageMs,
              pageMs / roundTripMs, limitMs, pageMs <= limitMs ? "within" : "OVER");
  std::printf("verify %.2f ms a page = %.2f round trips; limit 1.1 x 64 round trips = %.2f ms: %s\n", verifyMs,
              verifyMs / roundTripMs, verifyLimitMs, verifyMs <= verifyLimitMs ? "within" : "OVER");
  std::printf("client CPU %.2f%% of the wall time (goal under 5%%): %s\n", cpuShare,
              cpuShare < 5.0 ? "within" : "OVER");
  std::printf("retries %d, failed operations %d; flash %s; GPNVM bits %s\n", retries, failures,
              same ? "matches the image" : "DIFFERS",
              gpnvm.empty() ? "not recorded" : gpnvm.substr(0, gpnvm.find('\n')).c_str());
  std::printf("simulator: %s", ReadFile(summaryPath).c_str());
  const bool ok = failures == 0 && same;
  bench::PrintFigure("pageburn page time (goal: 1.15 x 66 round trips + flash busy)", pageMs, "ms", "<=", limitMs, ok);
  bench::PrintFigure("pageburn verify time per page (goal: 1.1 x 64 round trips)", verifyMs, "ms", "<=", verifyLimitMs,
                     ok);
  bench::PrintFigure("Client CPU, pageburn", cpuShare, "% of wall", "<=", 5, ok);
  return failures == 0 && same ? 0 : 1;
}
