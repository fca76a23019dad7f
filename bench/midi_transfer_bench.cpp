// A 256 KiB BAM image sent by the real engine and MIDI transport to the simulated unit behind a
// MIDI device, first over the in-process loopback MIDI system, then over a private JACK server
// with the unit in a process of its own (so this process's CPU time is the client's alone,
// RtMidi's JACK threads included). Figures: payload bytes per second over the data phase (from
// the erase's end to Close's answer), beside the DIN MIDI wire (31250 baud, 3125 bytes/s raw,
// about 2734 bytes/s of payload after 7-in-8 packing), and the client's CPU time: over JACK as a
// share of the wall time of the whole transfer, over the unpaced loopback per byte, taken at the
// DIN wire's rate (goal <= 5% either way).
//   midi_transfer_bench [KiB]      default 256
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

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
#include "protocol/sender.h"
#include "transport/midi_comm_driver.h"
#include "updates/bam_desc.h"

extern char** environ;

namespace {

using namespace kestrune;

constexpr double kDinPayloadRate = 3125.0 * 7 / 8;

// The engine without its console output, which would only interleave with the figures.
class QuietSender : public Sender {
 public:
  using Sender::Sender;
  void ShowStatus(const std::string&, int) override {}
};

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// kestrune-midi-unit-sim as a child process; it is ready once it printed its first line.
struct UnitProcess {
  pid_t pid = -1;
  int toChild = -1;
  bool ready = false;

  UnitProcess() {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);  // its summary
    char* argv[] = {const_cast<char*>(KESTRUNE_MIDI_UNIT_SIM), const_cast<char*>("--api"), const_cast<char*>("jack"),
                    nullptr};
    if (posix_spawn(&pid, KESTRUNE_MIDI_UNIT_SIM, &actions, nullptr, argv, environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    toChild = in[1];
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    ready = line == "ready";
  }
  ~UnitProcess() {
    if (toChild >= 0) close(toChild);  // the end of its stdin ends the simulator
    if (pid > 0) waitpid(pid, nullptr, 0);
  }
};

struct Figures {
  int result = -1;
  double payloadRate = 0;  // bytes per second over the data phase
  double cpuSeconds = 0;   // the client's, over the whole transfer
  double wallSeconds = 0;
};

// Contact, then the transfer of `file` through a MIDI transport on whatever MakeMidiPorts()
// gives. `cpu` measures the client's CPU seconds.
Figures Transfer(const std::string& file, const std::string& log, double payload, double (*cpu)()) {
  Figures f;
  QuietSender engine(log);
  engine.SetDriver(new MIDIcommDriver());
  if (engine.Contact() != 0) return f;
  uint32_t dataStart = 0;
  const double cpu0 = cpu();
  const uint32_t t0 = TickCount();
  MyBAMdesc desc(file, engine);
  f.result = desc.transfer([&](const char* format, const char* argument) {
    if (FormatStatus(format, argument) == "Erase done") dataStart = TickCount();
  });
  const uint32_t t1 = TickCount();
  f.cpuSeconds = cpu() - cpu0;
  engine.CloseDriver();
  f.wallSeconds = std::max(TickDiff(t1, t0), 1) / 1000.0;
  f.payloadRate = payload / (std::max(TickDiff(t1, dataStart), 1) / 1000.0);
  return f;
}

// `paced`: the link sets the pace, so the CPU share of the wall time is the figure that
// counts; an unpaced link runs as fast as the CPU allows, so there the CPU time per byte,
// taken at the DIN wire's rate, is.
bool Report(const char* how, size_t kib, const Figures& f, bool paced) {
  const double share = f.cpuSeconds / f.wallSeconds;
  const double atDinRate = f.cpuSeconds / (static_cast<double>(kib) * 1024) * kDinPayloadRate;
  std::printf(
      "BAM %zu KiB over %s: result %d, %.3f s, payload %.0f bytes/s (%.1f x the DIN MIDI wire's %.0f bytes/s); "
      "client CPU %.1f ms, %.2f%% of wall time, %.4f%% at the DIN wire's rate (goal <= 5%% %s)\n",
      kib, how, f.result, f.wallSeconds, f.payloadRate, f.payloadRate / kDinPayloadRate, kDinPayloadRate,
      f.cpuSeconds * 1000, share * 100, atDinRate * 100, paced ? "of wall time" : "at the DIN wire's rate");
  return f.result == 0 && (paced ? share : atDinRate) <= 0.05;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t kib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  char dir[] = "/tmp/kestrune-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  setenv("XDG_CONFIG_HOME", dir, 1);
  setenv("XDG_RUNTIME_DIR", dir, 1);
  SelectProfile(std::string(dir) + "/romsend.ini");
  const std::string file = std::string(dir) + "/bench.bam";
  const std::string log = std::string(dir) + "/romsend.txt";

  // Four blocks of a quarter each, as a unit image with code and data areas might have.
  bamgen::BamImage image;
  image.title = "Bench";
  for (uint32_t i = 0; i < 4; ++i) image.blocks.push_back({i << 16, i, bamgen::PatternBytes(kib * 256, i)});
  const std::vector<uint8_t> bytes = bamgen::BuildBam(image);
  if (FILE* f = std::fopen(file.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  const double payload = static_cast<double>(kib) * 1024;

  HeadlessEventPump pump;
  SetCurrentPump(&pump);
  int failures = 0;
  {
    // The unit shares this process here, so the client's CPU is the engine thread's alone.
    MidiLoopback loop;
    sim::MidiUnit unit;
    unit.Start(loop.AddDevice("USB Audio Device"));
    loop.Install();
    const Figures f = Transfer(file, log, payload, ThreadCpuSeconds);
    if (!Report("the loopback MIDI system, unpaced (engine thread's CPU)", kib, f, false)) ++failures;
    unit.Stop();
  }
  SetMidiPortsFactory({});
  if (!sim::JackServer::Installed()) {
    std::printf("JACK: jackd is not installed, no run over real MIDI ports\n");
  } else {
    sim::JackServer server;
    std::string why;
    if (!server.Start(&why)) {
      std::printf("JACK: %s\n", why.c_str());
      ++failures;
    } else {
      setenv("JACK_DEFAULT_SERVER", server.Name().c_str(), 1);
      setenv("KESTRUNE_MIDI_API", "jack", 1);
      UnitProcess unit;
      if (!unit.ready) {
        std::fprintf(stderr, "cannot start %s\n", KESTRUNE_MIDI_UNIT_SIM);
        ++failures;
      } else {
        const Figures f = Transfer(file, log, payload, bench::CpuSeconds);
        if (!Report("JACK MIDI, dummy backend, 256-frame periods (whole process's CPU)", kib, f, true)) ++failures;
      }
    }
  }
  SetCurrentPump(nullptr);
  std::string cleanup = std::string("rm -rf ") + dir;
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir);
  return failures == 0 ? 0 : 2;
}
