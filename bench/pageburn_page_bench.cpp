// SPDX-License-Identifier: MIT
// 64 KiB (256 pages) written through the SAM-BA device, monitor and flash writer to the
// simulated monitor, which answers every command 1 ms late (one USB frame) and keeps its flash
// busy for a while after each page. The bare command round trip is measured in the same run;
// a page should take no more than 1.15 x 66 round trips plus the flash busy time, and the
// client should spend under 5% of the wall time on the CPU. Reading a page back for the
// verify pass should cost no more than 1.1 x 64 round trips. The simulator runs as its own
// process, so the CPU figure is the client's alone.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
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
#include "pageburn/flash_writer.h"
#include "pageburn/samba_channel.h"
#include "pageburn/samba_monitor.h"
#include "serial/port_lock.h"

namespace {

constexpr int kPages = 256;
constexpr int kRoundTrips = 200;
constexpr int kReplyDelayMs = 1;
constexpr int kBusyMs = 3;

// kestrune-samba-sim as a child: its stdin closes to end it, its first output line is the port.
struct Simulator {
  pid_t pid = -1;
  int in = -1;
  std::string port;
  std::string summaryPath;

  bool Start(const std::vector<std::string>& args) {
    int inPipe[2], outPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    // Its closing summary goes to a file, printed after the figures.
    posix_spawn_file_actions_addopen(&actions, 2, summaryPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> all{KESTRUNE_SAMBA_SIM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(inPipe[0]);
    close(outPipe[1]);
    in = inPipe[1];
    char c;
    pollfd p{outPipe[0], POLLIN, 0};
    while (spawned && poll(&p, 1, 5000) > 0 && read(outPipe[0], &c, 1) == 1 && c != '\n') port += c;
    close(outPipe[0]);
    return spawned && !port.empty();
  }
  // Ends the simulator (it writes its files then) and waits for it.
  bool Finish() {
    if (in >= 0) close(in);
    in = -1;
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
};

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
  SetPortLockScope(PortLockScope::kConfigAndClose);

  Simulator sim;
  sim.summaryPath = root + "/summary.txt";
  if (!sim.Start({"--reply-delay-ms", std::to_string(kReplyDelayMs), "--busy-ms", std::to_string(kBusyMs), "--image",
                  root + "/flash.bin", "--gpnvm", root + "/gpnvm.txt"})) {
    std::fprintf(stderr, "cannot start kestrune-samba-sim\n");
    return 1;
  }
  int failures = 0;
  std::vector<uint8_t> image(kPages * 256);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  double pageMs = 0, roundTripMs = 0, cpuShare = 0, verifyMs = 0;
  int retries = 0;
  {
    SambaSerialChannel device;
    if (!device.Open(sim.port, 0)) {
      std::fprintf(stderr, "cannot open %s\n", sim.port.c_str());
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
  const bool ended = sim.Finish();
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
  std::printf("simulator: %s", ReadFile(sim.summaryPath).c_str());
  const bool ok = failures == 0 && same;
  bench::PrintFigure("pageburn page time (goal: 1.15 x 66 round trips + flash busy)", pageMs, "ms", "<=", limitMs, ok);
  bench::PrintFigure("pageburn verify time per page (goal: 1.1 x 64 round trips)", verifyMs, "ms", "<=", verifyLimitMs,
                     ok);
  bench::PrintFigure("Client CPU, pageburn", cpuShare, "% of wall", "<=", 5, ok);
  return failures == 0 && same ? 0 : 1;
}
