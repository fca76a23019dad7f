// A 1 MiB BAM image sent by the real engine and serial transport to the simulated unit, run as
// a program of its own so that this process's CPU time is the client's alone. The unit paces
// its line at 115200 and then at 460800 baud; the figures are the payload bytes per second over
// the data phase (from the erase's end to Close's answer) as a share of the line's byte rate,
// and the client's CPU time as a share of the wall time of the whole transfer.
//   bam_transfer_bench [KiB] [baud...]      defaults: 1024 KiB, 115200 and 460800 baud
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bam_image.h"
#include "bench_util.h"
#include "platform/event_pump.h"
#include "platform/profile.h"
#include "platform/tick_count.h"
#include "protocol/sender.h"
#include "transport/win_comm_driver.h"
#include "updates/bam_desc.h"

extern char** environ;

namespace {

// The engine without its console output, which would only interleave with the figures.
class QuietSender : public kestrune::Sender {
 public:
  using Sender::Sender;
  void ShowStatus(const std::string&, int) override {}
};

// The simulated unit as a child process; its first line of output is the pty's path.
struct UnitProcess {
  pid_t pid = -1;
  int toChild = -1;
  std::string path;

  explicit UnitProcess(int baud) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);  // its session summary
    const std::string rate = std::to_string(baud);
    char* argv[] = {const_cast<char*>(KESTRUNE_UNIT_SIM), const_cast<char*>("--baud"), const_cast<char*>(rate.c_str()),
                    nullptr};
    if (posix_spawn(&pid, KESTRUNE_UNIT_SIM, &actions, nullptr, argv, environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    toChild = in[1];
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') path += c;
    close(out[0]);
  }
  ~UnitProcess() {
    if (toChild >= 0) close(toChild);  // the end of its stdin ends the simulator
    if (pid > 0) waitpid(pid, nullptr, 0);
  }
};

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrune;
  const size_t kib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
  std::vector<int> bauds;
  for (int i = 2; i < argc; ++i) bauds.push_back(std::atoi(argv[i]));
  if (bauds.empty()) bauds = {115200, 460800};

  char dir[] = "/tmp/kestrune-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  setenv("XDG_CONFIG_HOME", dir, 1);
  setenv("XDG_RUNTIME_DIR", dir, 1);
  SelectProfile(std::string(dir) + "/romsend.ini");
  const std::string file = std::string(dir) + "/bench.bam";

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
  for (int baud : bauds) {
    UnitProcess unit(baud);
    if (unit.path.empty()) {
      std::fprintf(stderr, "cannot start %s\n", KESTRUNE_UNIT_SIM);
      return 1;
    }
    AppProfile().WriteString("serial", "port", unit.path);
    QuietSender engine(std::string(dir) + "/romsend.txt");
    engine.SetDriver(new WinCommDriver("Serial Settings"));
    if (engine.Contact() != 0) {
      std::fprintf(stderr, "no contact at %d baud\n", baud);
      return 1;
    }
    uint32_t dataStart = 0;
    const double cpu0 = bench::CpuSeconds();
    const uint32_t t0 = TickCount();
    MyBAMdesc desc(file, engine);
    const int result = desc.transfer([&](const char* format, const char* argument) {
      if (FormatStatus(format, argument) == "Erase done") dataStart = TickCount();
    });
    const uint32_t t1 = TickCount();
    const double cpu = bench::CpuSeconds() - cpu0;
    engine.CloseDriver();
    const double lineRate = baud / 10.0;
    const double dataSeconds = TickDiff(t1, dataStart) / 1000.0;
    const double share = payload / dataSeconds / lineRate;
    const double cpuShare = cpu / (TickDiff(t1, t0) / 1000.0);
    const double goal = baud <= 115200 ? 0.96 : 0.94;
    std::printf(
        "BAM %zu KiB at %d baud: result %d, data phase %.2f s, payload %.1f%% of line rate (goal >= %.0f%%), "
        "client CPU %.2f%% of wall time (goal <= 3%%)\n",
        kib, baud, result, dataSeconds, share * 100, goal * 100, cpuShare * 100);
    if (result != 0 || share < goal || cpuShare > 0.03) ++failures;
  }
  SetCurrentPump(nullptr);
  std::string cleanup = std::string("rm -rf ") + dir;
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir);
  return failures == 0 ? 0 : 2;
}
