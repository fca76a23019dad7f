// SPDX-License-Identifier: MIT
// What the whole-transfer benchmarks share: a scratch folder with its own settings, the BAM
// image they send, a simulator run as a child process, and an engine that prints nothing.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bam_image.h"
#include "child_process.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "platform/run_context.h"
#include "platform/tick_count.h"
#include "protocol/protocol_engine.h"
#include "updates/bam_transfer.h"

namespace kestrune::bench {

// The engine without its console output, which would only interleave with the figures.
class QuietSender : public Sender {
 public:
  using Sender::Sender;
  void ShowStatus(const std::string&, int) override {}
};

// A fresh folder under /tmp holding the run's settings and files; removed at destruction.
class ScratchFolder {
 public:
  ScratchFolder() {
    char dir[] = "/tmp/kestrune-bench-XXXXXX";
    if (mkdtemp(dir)) path_ = dir;
    setenv("XDG_CONFIG_HOME", path_.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
    context_ = std::make_unique<ConsoleRunContext>(ProgramPath(), path_ + "/romsend.ini");
  }
  ~ScratchFolder() {
    const std::string cleanup = "rm -rf " + path_;
    if (!path_.empty() && std::system(cleanup.c_str()) != 0)
      std::fprintf(stderr, "could not remove %s\n", path_.c_str());
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  bool Ok() const { return !path_.empty(); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // The run's context: a console pump and boxes, and the profile in the folder.
  ConsoleRunContext& Context() { return *context_; }

 private:
  std::string path_;
  std::unique_ptr<ConsoleRunContext> context_;
};

// Writes the benchmarks' image to `path`: four blocks of a quarter of `kib` KiB each, as a unit
// image with code and data areas might have. Returns the payload size in bytes.
inline double WriteBenchBam(const std::string& path, size_t kib) {
  bamgen::BamImage image;
  image.title = "Bench";
  for (uint32_t i = 0; i < 4; ++i) image.blocks.push_back({i << 16, i, bamgen::PatternBytes(kib * 256, i)});
  const std::vector<uint8_t> bytes = bamgen::BuildBam(image);
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  return static_cast<double>(kib) * 1024;
}

struct TransferFigures {
  int result = -1;         // -1: no contact
  double dataSeconds = 0;  // from the erase's end ("Erase done") to Close's answer
  double wallSeconds = 0;  // the whole transfer
  double cpuSeconds = 0;   // the client's over the whole transfer, as `cpu` counts it
};

// Contact through the engine's driver, then the BAM transfer of `file`, timed; the driver is
// closed afterwards.
inline TransferFigures MeasureBamTransfer(Sender& engine, const std::string& file, double (*cpu)()) {
  TransferFigures f;
  if (engine.Contact() != 0) return f;
  uint32_t dataStart = 0;
  const double cpu0 = cpu();
  const uint32_t t0 = TickCount();
  BamFileTransfer desc(file, engine);
  f.result = desc.Transfer([&](const char* format, const char* argument) {
    if (FormatStatus(format, argument) == "Erase done") dataStart = TickCount();
  });
  const uint32_t t1 = TickCount();
  f.cpuSeconds = cpu() - cpu0;
  engine.CloseDriver();
  f.wallSeconds = std::max(TickDiff(t1, t0), 1) / 1000.0;
  f.dataSeconds = std::max(TickDiff(t1, dataStart), 1) / 1000.0;
  return f;
}

}  // namespace kestrune::bench
