// SPDX-License-Identifier: MIT
// kestrune-samba-sim: runs a simulated SAM-BA monitor (SAM3U, flash at 0x00080000) on a fresh
// pseudo-terminal so that pageburn, or any client, can be pointed at it.
//
// It prints the slave path (e.g. /dev/pts/7) as one line on stdout, then serves the monitor
// until SIGINT, SIGTERM or the end of stdin (only a signal with --ignore-stdin). At the end it
// writes the whole flash array to the --image file (flashPages * 256 bytes, erased bytes 0xFF)
// and the GPNVM bits to the --gpnvm file as one line "0x%08x\n" (bit n set: GPNVM n set; after
// the boot-from-flash command "0x00000002"), removes the --link, and prints a summary to
// stderr. Exit status 0; 1 when the pty cannot be made or a file cannot be written; 2 on a bad
// option. The flags are listed by --help.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim_program.h"
#include "simulated_samba.h"

namespace {

using kestrune::sim::Flag;
using kestrune::sim::SambaOptions;
using kestrune::sim::SambaRecording;
using kestrune::sim::SimProgram;
using kestrune::sim::SimulatedSamba;

struct Settings {
  SambaOptions options;
  kestrune::sim::LaterCalls<SimulatedSamba> later;
  std::string imagePath, gpnvmPath, linkPath;
  int busyReads = 0, busyMs = 0;
  std::optional<std::string> garbage;
  int garbageReplies = 1;
};

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

std::vector<Flag> Flags(Settings& s, bool& ignoreStdin) {
  using kestrune::sim::CheckedText;
  using kestrune::sim::Number;
  using kestrune::sim::Switch;
  using kestrune::sim::Text;
  auto& later = s.later;
  auto path = [](std::string& into) { return [&into](const std::string& v) { into = v; }; };
  return {
      Text("--image", "PATH", "write the whole flash here at the end (erased bytes 0xFF)", path(s.imagePath), true),
      Text("--gpnvm", "PATH", "write the GPNVM bits here at the end as \"0x%08x\\n\"", path(s.gpnvmPath), true),
      Text("--link", "PATH", "make PATH a symbolic link to the slave while running", path(s.linkPath), true),
      Number("--flash-pages", "N", 1, 65536, "flash size in 256-byte pages (default 1024)",
             [&s](long n) { s.options.flashPages = static_cast<uint32_t>(n); }),
      Text("--version", "TEXT", "text of the version reply", path(s.options.version)),
      Number("--reply-delay-ms", "N", 0, 3'600'000, "start every reply N ms after its command arrived",
             later.Number(&SimulatedSamba::SetReplyDelay)),
      Number("--busy-reads", "N", 0, 1'000'000, "after each flash command FRDY reads clear N times",
             [&s](long n) { s.busyReads = static_cast<int>(n); }),
      Number("--busy-ms", "N", 0, 3'600'000, "... and for at least N ms",
             [&s](long n) { s.busyMs = static_cast<int>(n); }),
      Switch("--stuck-busy", "FRDY never comes; flash commands are refused",
             later.Switch(&SimulatedSamba::SetStuckBusy, true)),
      Switch("--silent", "answer nothing at all", later.Switch(&SimulatedSamba::SetSilent, true)),
      Switch("--no-prompt", "send every reply without its closing '>'", later.Switch(&SimulatedSamba::SetNoPrompt, -1)),
      Number("--no-prompt-replies", "N", 0, 1'000'000, "... only the next N replies",
             later.Number(&SimulatedSamba::SetNoPrompt)),
      Text("--garbage", "TEXT", "send TEXT before the next reply", [&s](const std::string& v) { s.garbage = v; }),
      Number("--garbage-replies", "N", 0, 1'000'000, "... before each of the next N replies (default 1)",
             [&s](long n) { s.garbageReplies = static_cast<int>(n); }),
      Number("--hang-up-after", "N", 1, LONG_MAX, "answer N command lines, then close the line as the next ends",
             later.Number(&SimulatedSamba::SetHangUpAfterCommands)),
      CheckedText("--old-image", "PATH", "the flash holds PATH's bytes from its start (the rest erased)",
                  [&s](const std::string& v) { return ReadWhole(v, s.options.oldImage); }),
      Switch("--not-erased", "page writes AND into what the flash held (no erase before the run)",
             later.Switch(&SimulatedSamba::SetNotErased, true)),
      Switch("--ignore-stdin", "run until a signal only", [&ignoreStdin] { ignoreStdin = true; }),
  };
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

bool WriteFiles(const SimProgram& program, const Settings& s, const SambaRecording& r) {
  bool ok = true;
  if (!s.imagePath.empty() && !WriteWhole(s.imagePath, r.flash.data(), r.flash.size())) {
    Complain(program, "cannot write " + s.imagePath);
    ok = false;
  }
  if (!s.gpnvmPath.empty()) {
    char line[16];
    const int size = std::snprintf(line, sizeof line, "0x%08x\n", static_cast<unsigned>(r.gpnvm));
    if (!WriteWhole(s.gpnvmPath, line, static_cast<size_t>(size))) {
      Complain(program, "cannot write " + s.gpnvmPath);
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
  Settings s;
  std::optional<SimulatedSamba> monitor;
  SimProgram program;
  program.name = "kestrune-samba-sim";
  program.about =
      "Simulated SAM-BA monitor of a SAM3U chip on a pseudo-terminal. Prints the slave path, then\n"
      "runs until SIGINT, SIGTERM or the end of stdin; then writes the files below.\n";
  program.flags = Flags(s, program.ignoreStdin);
  program.start = [&](std::string& line) {
    monitor.emplace(s.options);
    monitor->SetFlashBusy(s.busyReads, s.busyMs);
    s.later.ApplyTo(*monitor);
    if (s.garbage) monitor->SetGarbage(*s.garbage, s.garbageReplies);
    if (!monitor->Start()) {
      line = "cannot start: " + monitor->LastError();
      return false;
    }
    if (!s.linkPath.empty() && symlink(monitor->SlavePath().c_str(), s.linkPath.c_str()) != 0) {
      line = "cannot link " + s.linkPath + ": " + std::strerror(errno);
      return false;
    }
    line = monitor->SlavePath();
    return true;
  };
  program.stop = [&] {
    monitor->Stop();
    if (!s.linkPath.empty()) unlink(s.linkPath.c_str());
    const SambaRecording recording = monitor->Snapshot();
    PrintSummary(recording);
    return WriteFiles(program, s, recording) ? 0 : 1;
  };
  return RunSimProgram(program, argc, argv);
}
