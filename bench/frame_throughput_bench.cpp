// SPDX-License-Identifier: MIT
// 100 Send Data frames of 1536 bytes to the simulated unit pacing its line at 115200 baud:
// how close the transfer comes to the wire time of its bytes, and what CPU the client spends.
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "platform/event_pump.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "platform/run_context.h"
#include "platform/tick_count.h"
#include "protocol/protocol_engine.h"
#include "simulated_unit.h"
#include "transport/serial_transport.h"

int main() {
  using namespace kestrune;
  char dir[] = "/tmp/kestrune-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  setenv("XDG_CONFIG_HOME", dir, 1);
  setenv("XDG_RUNTIME_DIR", dir, 1);
  ConsoleRunContext context(ProgramPath(), std::string(dir) + "/romsend.ini");

  constexpr int kFrames = 100;
  constexpr uint32_t kChunk = 1536;
  constexpr double kBytesPerSecond = 11520.0;  // 115200 baud, 10 bits a byte

  sim::UnitOptions options;
  options.baud = 115200;
  sim::SimulatedUnit unit(options);
  if (!unit.Start()) {
    std::fprintf(stderr, "cannot start the unit: %s\n", unit.LastError().c_str());
    return 1;
  }
  context.profile.WriteString("serial", "port", unit.SlavePath());
  Sender engine(context.run, std::string(dir) + "/romsend.txt");
  engine.SetDriver(std::make_unique<SerialTransport>(context.run, "Serial Settings"));
  if (engine.Contact() != 0) {
    std::fprintf(stderr, "no contact\n");
    return 1;
  }
  std::vector<uint8_t> data(kChunk, 0x5a);
  const double cpu0 = kestrune::bench::CpuSeconds();
  const uint32_t t0 = TickCount();
  for (int i = 0; i < kFrames; ++i) {
    if (engine.SendData(static_cast<uint16_t>(i), data.data(), kChunk, 0x1234) != 0) {
      std::fprintf(stderr, "frame %d failed: %s\n", i, engine.MessageText().c_str());
      return 1;
    }
  }
  const double wall = TickDiff(TickCount(), t0) / 1000.0;
  const double cpu = kestrune::bench::CpuSeconds() - cpu0;
  engine.CloseDriver();
  const double wireBytes = kFrames * ((6 + 10 + kChunk + 1) + 2 * 13.0);
  const double wire = wireBytes / kBytesPerSecond;
  std::printf("%d Send Data frames of %u bytes at 115200 baud\n", kFrames, kChunk);
  std::printf("wire time %.3f s, transfer %.3f s: %.4f x wire time (host overhead %.2f%%)\n", wire, wall, wall / wire,
              100.0 * (wall / wire - 1.0));
  std::printf("client CPU %.3f s: %.2f%% of the wall time\n", cpu, 100.0 * cpu / wall);
  // The unit's own CPU is in this process too; the figure above is an upper bound for the client.
  return 0;
}
