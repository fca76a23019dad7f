// SPDX-License-Identifier: MIT
// An Intel HEX file sent line by line by the real HEX transfer and serial transport to the
// simulated unit, run as a program of its own so that this process's CPU time is the client's
// alone. The unit paces its line at 115200 baud, 10 bits a byte, both ways. The wire-limited
// time of the data phase is the start record plus its NUL and one-byte verdict, then for every
// line its characters, the NUL and the 5-byte reply; the figure is that time over the measured
// one, from the end of contact to the final verdict. The per-line round trip beyond its wire
// time shows where the rest goes.
//   hex_transfer_bench [KiB] [bytes per line] [baud]      defaults: 32 KiB, 16, 115200
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bam_image.h"
#include "bench_util.h"
#include "platform/event_pump.h"
#include "platform/profile.h"
#include "platform/tick_count.h"
#include "transfer_bench_util.h"
#include "transport/serial_transport.h"
#include "updates/hex_line_transfer.h"
#include "updates/update_kind.h"

namespace {

using namespace kestrune;
using Clock = std::chrono::steady_clock;

// The engine without console output; notes when contact ended (its last status, "Success").
class TimedSender : public Sender {
 public:
  using Sender::Sender;
  void ShowStatus(const std::string& text, int) override {
    if (text == "Success") contactEnd = TickCount();
  }
  uint32_t contactEnd = 0;
};

// The serial transport with a stopwatch: the time from each line's write to the end of the
// read of its reply, for the per-line profile.
class TimedDriver : public Transport {
 public:
  explicit TimedDriver(Transport* inner) : inner_(inner) {}
  int Write(const uint8_t* data, unsigned length) override {
    written_ = Clock::now();
    lastLength_ = length;
    return inner_->Write(data, length);
  }
  unsigned Read(uint8_t* buffer, unsigned maximum, unsigned timeLimitMs) override {
    const unsigned got = inner_->Read(buffer, maximum, timeLimitMs);
    if (maximum == 5) roundTrips.push_back({lastLength_, Clock::now() - written_});
    return got;
  }
  int Open() override { return inner_->Open(); }
  int Close() override { return inner_->Close(); }
  std::string ErrorText(int code) override { return inner_->ErrorText(code); }
  int BusyCount() override { return inner_->BusyCount(); }
  void Reopen() override { inner_->Reopen(); }
  int LastError() override { return inner_->LastError(); }
  int WaitingBytes() override { return inner_->WaitingBytes(); }

  struct RoundTrip {
    unsigned written;
    Clock::duration time;
  };
  std::vector<RoundTrip> roundTrips;

 private:
  std::unique_ptr<Transport> inner_;
  Clock::time_point written_;
  unsigned lastLength_ = 0;
};

// Wire characters of the transfer proper: what goes out and what comes back.
double WireBytes(const std::string& text, int kind) {
  double bytes = static_cast<double>(StartRecord(kind).size()) + 1 + 1;
  size_t lines = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    if (end > at) {
      bytes += static_cast<double>(end - at) + 1 + 5;
      ++lines;
    }
    at = end + 1;
  }
  return lines ? bytes : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t kib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 32;
  const size_t perLine = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 16;
  const int baud = argc > 3 ? std::atoi(argv[3]) : 115200;
  // 16-bit addresses: one HEX file without extended records holds at most 64 KiB.
  if (kib < 1 || kib > 64 || perLine < 1 || perLine > 255 || baud <= 0) {
    std::fprintf(stderr, "usage: hex_transfer_bench [KiB 1..64] [bytes per line 1..255] [baud]\n");
    return 1;
  }

  bench::ScratchFolder dir;
  if (!dir.Ok()) return 1;
  const std::string file = dir / "bench.hex";
  const std::string text = bamgen::BuildHex(bamgen::PatternBytes(kib * 1024, 5), 0x0000, perLine);
  if (FILE* f = std::fopen(file.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  const double wireSeconds = WireBytes(text, Classify(file)) * 10.0 / baud;

  test::ChildProcess unit(
      test::SimulatorOptions(KESTRUNE_UNIT_SIM, {"--baud", std::to_string(baud)}, test::ChildOptions::kNull));
  const std::string port = unit.ReadLine();
  if (port.empty()) {
    std::fprintf(stderr, "cannot start %s\n", KESTRUNE_UNIT_SIM);
    return 1;
  }
  const RunContext& run = dir.Context().run;
  dir.Context().profile.WriteString("serial", "port", port);
  TimedSender engine(run, dir / "romsend.txt");
  auto* timed = new TimedDriver(new SerialTransport(run, "Serial Settings"));
  engine.SetDriver(std::unique_ptr<Transport>(timed));

  std::string verdict;
  const double cpu0 = bench::CpuSeconds();
  const uint32_t t0 = TickCount();
  HexLineTransfer(file, engine,
                  [&](const char* format, const char* argument) { verdict = FormatStatus(format, argument); });
  const uint32_t t1 = TickCount();
  const double cpuSeconds = bench::CpuSeconds() - cpu0;
  // Each line's round trip beyond the wire time of the line, its NUL and the reply.
  std::vector<double> beyondMs;
  for (const TimedDriver::RoundTrip& r : timed->roundTrips)
    beyondMs.push_back(std::chrono::duration<double, std::milli>(r.time).count() - (r.written + 5) * 10000.0 / baud);
  std::sort(beyondMs.begin(), beyondMs.end());
  engine.CloseDriver();

  const bool ok = verdict == "Success!" && engine.contactEnd != 0;
  const double wallSeconds = std::max(TickDiff(t1, t0), 1) / 1000.0;
  const double dataSeconds = std::max(TickDiff(t1, engine.contactEnd), 1) / 1000.0;
  const double share = wireSeconds / dataSeconds;
  const double cpuShare = cpuSeconds / wallSeconds;
  const double overMs = (dataSeconds - wireSeconds) * 1000.0 / static_cast<double>(lines);
  std::printf(
      "HEX %zu KiB, %zu lines of %zu data bytes at %d baud: %s, data phase %.2f s against %.2f s on the wire, "
      "%.1f%% of the wire-limited rate (goal >= 95%%), %.3f ms a line beyond its wire time; "
      "client CPU %.2f%% of wall time (goal <= 1.5%%)\n",
      kib, lines, perLine, baud, verdict.c_str(), dataSeconds, wireSeconds, share * 100, overMs, cpuShare * 100);
  if (!beyondMs.empty()) {
    auto at = [&](double q) { return beyondMs[static_cast<size_t>(q * static_cast<double>(beyondMs.size() - 1))]; };
    std::printf(
        "per line, write to reply read, beyond its wire time: median %.3f ms, 90%% %.3f ms, 99%% %.3f ms, "
        "max %.3f ms\n",
        at(0.5), at(0.9), at(0.99), beyondMs.back());
  }
  const std::string at = " at " + std::to_string(baud) + " baud";
  bench::PrintFigure("HEX over serial" + at + ": share of the wire-limited rate", share * 100, "%", ">=", 95, ok);
  bench::PrintFigure("Client CPU, HEX over serial" + at, cpuShare * 100, "% of wall", "<=", 1.5, ok);
  return ok && share >= 0.95 && cpuShare <= 0.015 ? 0 : 2;
}
