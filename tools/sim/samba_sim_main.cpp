// SPDX-License-Identifier: MIT
// kestrune-samba-sim: runs a simulated SAM-BA monitor (SAM3U, flash at 0x00080000) on a fresh
// pseudo-terminal so that pageburn, or any client, can be pointed at it.
//
//   kestrune-samba-sim [--image PATH] [--gpnvm PATH] [--link PATH] [--flash-pages N]
//                      [--version TEXT] [--reply-delay-ms N] [--busy-reads N] [--busy-ms N]
//                      [--stuck-busy] [--silent] [--no-prompt | --no-prompt-replies N]
//                      [--garbage TEXT [--garbage-replies N]] [--hang-up-after N]
//                      [--old-image PATH] [--not-erased] [--ignore-stdin]
//
// It prints the slave path (e.g. /dev/pts/7) as one line on stdout, then serves the monitor
// until SIGINT, SIGTERM or the end of stdin (only a signal with --ignore-stdin). At the end it
// writes the whole flash array to the --image file (flashPages * 256 bytes, erased bytes 0xFF)
// and the GPNVM bits to the --gpnvm file as one line "0x%08x\n" (bit n set: GPNVM n set; after
// the boot-from-flash command "0x00000002"), removes the --link, and prints a summary to
// stderr. Exit status 0; 1 when the pty cannot be made or a file cannot be written; 2 on a bad
// option.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim_program.h"
#include "simulated_samba.h"

namespace {

using kestrune::sim::EndSignals;
using kestrune::sim::ParseInt;

using kestrune::sim::SambaOptions;
using kestrune::sim::SambaRecording;
using kestrune::sim::SimulatedSamba;

constexpr const char* kUsage =
    "usage: kestrune-samba-sim [options]\n"
    "Simulated SAM-BA monitor of a SAM3U chip on a pseudo-terminal. Prints the slave path, then\n"
    "runs until SIGINT, SIGTERM or the end of stdin; then writes the files below.\n"
    "\n"
    "  --image PATH           write the whole flash here at the end (erased bytes 0xFF)\n"
    "  --gpnvm PATH           write the GPNVM bits here at the end as \"0x%08x\\n\"\n"
    "  --link PATH            make PATH a symbolic link to the slave while running\n"
    "  --flash-pages N        flash size in 256-byte pages (default 1024)\n"
    "  --version TEXT         text of the version reply\n"
    "  --reply-delay-ms N     start every reply N ms after its command arrived\n"
    "  --busy-reads N         after each flash command FRDY reads clear N times\n"
    "  --busy-ms N            ... and for at least N ms\n"
    "  --stuck-busy           FRDY never comes; flash commands are refused\n"
    "  --silent               answer nothing at all\n"
    "  --no-prompt            send every reply without its closing '>'\n"
    "  --no-prompt-replies N  ... only the next N replies\n"
    "  --garbage TEXT         send TEXT before the next reply\n"
    "  --garbage-replies N    ... before each of the next N replies (default 1)\n"
    "  --hang-up-after N      answer N command lines, then close the line as the next ends\n"
    "  --old-image PATH       the flash holds PATH's bytes from its start (the rest erased)\n"
    "  --not-erased           page writes AND into what the flash held (no erase before the run)\n"
    "  --ignore-stdin         run until a signal only\n"
    "  --help                 this text\n";

struct Settings {
  SambaOptions options;
  std::vector<std::function<void(SimulatedSamba&)>> switches;
  std::string imagePath, gpnvmPath, linkPath;
  int busyReads = 0, busyMs = 0;
  std::optional<std::string> garbage;
  int garbageReplies = 1;
  bool ignoreStdin = false;
};

bool IsSwitch(const std::string& flag) {
  return flag == "--stuck-busy" || flag == "--silent" || flag == "--no-prompt" || flag == "--not-erased" ||
         flag == "--ignore-stdin";
}

// A file of at most the largest flash (65536 pages of 256 bytes); false when it cannot be read
// or is larger.
bool ReadWhole(const std::string& path, std::vector<uint8_t>& into) {
  constexpr size_t kLimit = size_t{65536} * 256;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  into.assign(kLimit + 1, 0);
  const size_t n = std::fread(into.data(), 1, into.size(), f);
  const bool ok = !std::ferror(f) && n <= kLimit;
  std::fclose(f);
  into.resize(ok ? n : 0);
  return ok;
}

// Takes one flag into the settings; false on a bad flag or value.
bool ApplyFlag(const std::string& flag, const std::string* value, Settings& s) {
  long n = 0;
  auto later = [&](std::function<void(SimulatedSamba&)> fn) { s.switches.push_back(std::move(fn)); };
  auto number = [&](long min, long max) { return value && ParseInt(*value, min, max, n); };
  auto text = [&](std::string& into) {
    if (!value || value->empty()) return false;
    into = *value;
    return true;
  };
  if (flag == "--image") return text(s.imagePath);
  if (flag == "--gpnvm") return text(s.gpnvmPath);
  if (flag == "--link") return text(s.linkPath);
  if (flag == "--version") {
    if (!value) return false;
    s.options.version = *value;
  } else if (flag == "--flash-pages") {
    if (!number(1, 65536)) return false;
    s.options.flashPages = static_cast<uint32_t>(n);
  } else if (flag == "--reply-delay-ms") {
    if (!number(0, 3'600'000)) return false;
    later([ms = static_cast<int>(n)](SimulatedSamba& m) { m.SetReplyDelay(ms); });
  } else if (flag == "--busy-reads") {
    if (!number(0, 1'000'000)) return false;
    s.busyReads = static_cast<int>(n);
  } else if (flag == "--busy-ms") {
    if (!number(0, 3'600'000)) return false;
    s.busyMs = static_cast<int>(n);
  } else if (flag == "--stuck-busy") {
    later([](SimulatedSamba& m) { m.SetStuckBusy(true); });
  } else if (flag == "--silent") {
    later([](SimulatedSamba& m) { m.SetSilent(true); });
  } else if (flag == "--no-prompt") {
    later([](SimulatedSamba& m) { m.SetNoPrompt(-1); });
  } else if (flag == "--no-prompt-replies") {
    if (!number(0, 1'000'000)) return false;
    later([r = static_cast<int>(n)](SimulatedSamba& m) { m.SetNoPrompt(r); });
  } else if (flag == "--garbage") {
    if (!value) return false;
    s.garbage = *value;
  } else if (flag == "--garbage-replies") {
    if (!number(0, 1'000'000)) return false;
    s.garbageReplies = static_cast<int>(n);
  } else if (flag == "--hang-up-after") {
    if (!number(1, LONG_MAX)) return false;
    later([c = static_cast<uint64_t>(n)](SimulatedSamba& m) { m.SetHangUpAfterCommands(c); });
  } else if (flag == "--old-image") {
    if (!value || !ReadWhole(*value, s.options.oldImage)) return false;
  } else if (flag == "--not-erased") {
    later([](SimulatedSamba& m) { m.SetNotErased(true); });
  } else if (flag == "--ignore-stdin") {
    s.ignoreStdin = true;
  } else {
    return false;
  }
  return true;
}

// Whole file through a temporary beside it, so a reader never sees half of it.
bool WriteWhole(const std::string& path, const void* data, size_t size) {
  const std::string temp = path + ".tmp";
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) return false;
  const bool written = std::fwrite(data, 1, size, f) == size;
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed || std::rename(temp.c_str(), path.c_str()) != 0) {
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

bool WriteFiles(const Settings& s, const SambaRecording& r) {
  bool ok = true;
  if (!s.imagePath.empty() && !WriteWhole(s.imagePath, r.flash.data(), r.flash.size())) {
    std::fprintf(stderr, "kestrune-samba-sim: cannot write %s\n", s.imagePath.c_str());
    ok = false;
  }
  if (!s.gpnvmPath.empty()) {
    char line[16];
    const int size = std::snprintf(line, sizeof line, "0x%08x\n", static_cast<unsigned>(r.gpnvm));
    if (!WriteWhole(s.gpnvmPath, line, static_cast<size_t>(size))) {
      std::fprintf(stderr, "kestrune-samba-sim: cannot write %s\n", s.gpnvmPath.c_str());
      ok = false;
    }
  }
  return ok;
}

void PrintSummary(const SambaRecording& r) {
  std::fprintf(stderr,
               "commands %llu, pages written %zu, gpnvm 0x%08x, rejected %zu, dropped %u, refused flash commands %u, "
               "status reads %u (busy %u), bytes %llu%s\n",
               static_cast<unsigned long long>(r.commandCount), r.pagesWritten.size(), static_cast<unsigned>(r.gpnvm),
               r.rejected.size(), r.droppedLines, r.refusedFlashCommands, r.fsrReads, r.fsrBusyReads,
               static_cast<unsigned long long>(r.bytesReceived), r.hungUp ? ", hung up" : "");
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::optional<std::string> value;
    if (!IsSwitch(flag) && i + 1 < argc) value = argv[++i];
    if (!ApplyFlag(flag, value ? &*value : nullptr, settings)) {
      std::fprintf(stderr, "kestrune-samba-sim: bad option %s %s\n%s", flag.c_str(), value ? value->c_str() : "",
                   kUsage);
      return 2;
    }
  }
  SimulatedSamba monitor(settings.options);
  monitor.SetFlashBusy(settings.busyReads, settings.busyMs);
  for (const auto& apply : settings.switches) apply(monitor);
  if (settings.garbage) monitor.SetGarbage(*settings.garbage, settings.garbageReplies);

  // SIGINT and SIGTERM stay blocked everywhere (the monitor thread inherits the mask) except
  // inside the main thread's ppoll, so a signal always ends the wait below.
  const EndSignals endSignals;

  if (!monitor.Start()) {
    std::fprintf(stderr, "kestrune-samba-sim: cannot start: %s\n", monitor.LastError().c_str());
    return 1;
  }
  if (!settings.linkPath.empty() && symlink(monitor.SlavePath().c_str(), settings.linkPath.c_str()) != 0) {
    std::fprintf(stderr, "kestrune-samba-sim: cannot link %s: %s\n", settings.linkPath.c_str(), std::strerror(errno));
    return 1;
  }
  std::printf("%s\n", monitor.SlavePath().c_str());
  std::fflush(stdout);
  endSignals.Wait(settings.ignoreStdin);
  monitor.Stop();
  if (!settings.linkPath.empty()) unlink(settings.linkPath.c_str());
  const SambaRecording recording = monitor.Snapshot();
  PrintSummary(recording);
  return WriteFiles(settings, recording) ? 0 : 1;
}
