// SPDX-License-Identifier: MIT
// Fuzzes the HEX line cutter, the start record's verdict read, the verdict texts and the whole
// HEX line transfer: the first bytes script the unit's replies, the rest is the file. Checks
// that every line cut is bounded and never empty, that the consumed count stays inside the
// file, that what is written holds only printable characters and ends in its one NUL, that
// every verdict has a text, and that the transfer makes at most the start record and seven
// writes per line of the file, and always ends with a text for the user.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "../support/recording_sender.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "platform/run_context.h"
#include "protocol/protocol_engine.h"
#include "transport/transport.h"
#include "updates/hex_line_transfer.h"
#include "updates/update_kind.h"

namespace {

// Answers each write from a script of reply bytes; an exhausted script is silence.
class ScriptDriver : public kestrune::Transport {
 public:
  ScriptDriver(const uint8_t* script, size_t size) : script_(script), size_(size) {}
  size_t writes = 0;

  int Write(const uint8_t* data, unsigned length) override {
    if (length == 1 && data[0] != 0) return 0;  // a byte of the contact phase
    if (length == 0 || length > kestrune::HexLineCutter::kMaxLine + 1 || data[length - 1] != 0) std::abort();
    ++writes;
    for (unsigned i = 0; i + 1 < length; ++i) {
      if (static_cast<int8_t>(data[i]) < 0x20) std::abort();
    }
    return 0;
  }
  unsigned Read(uint8_t* buffer, unsigned maximum, unsigned) override {
    receiveActive = 1;
    unsigned n = 0;
    while (n < maximum && at_ < size_) buffer[n++] = script_[at_++];
    return n;
  }

 private:
  const uint8_t* script_;
  size_t size_;
  size_t at_ = 0;
};

// A scratch folder for the file the transfer opens, on tmpfs when there is one.
const std::string& Scratch() {
  static char shm[] = "/dev/shm/kestrune-hex-fuzz-XXXXXX";
  static char tmp[] = "/tmp/kestrune-hex-fuzz-XXXXXX";
  static const std::string path = [] {
    const char* made = mkdtemp(shm);
    if (!made) made = mkdtemp(tmp);
    if (!made) std::abort();
    std::atexit([] {
      for (const char* name : {"/u.hex", "/u.hex2"})
        std::remove((std::string(shm[0] == '/' ? shm : tmp) + name).c_str());
      rmdir(shm);
      rmdir(tmp);
    });
    return std::string(made);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // First byte: how many script bytes follow (times 4); then the script; then the file.
  if (size == 0) return 0;
  const size_t scriptSize = std::min<size_t>(size - 1, static_cast<size_t>(data[0]) * 4);
  ScriptDriver driver(data + 1, scriptSize);
  const uint8_t* file = data + 1 + scriptSize;
  const size_t fileSize = size - 1 - scriptSize;
  size_t at = 0;
  kestrune::HexLineCutter cutter([&]() -> int { return at < fileSize ? file[at++] : -1; });
  std::string line;
  for (;;) {
    const auto cut = cutter.Next(line);
    if (cutter.Consumed() > fileSize) std::abort();
    if (cut != kestrune::HexLineCutter::kLine) break;
    if (line.empty() || line.size() > kestrune::HexLineCutter::kMaxLine) std::abort();
  }
  // The start record through the same driver: a verdict byte or -1, nothing else.
  const int verdict = kestrune::WriteStartRecord(driver, kestrune::kKindHex, kestrune::ProtocolLimits{}.hexReplyMs);
  if (verdict < -1 || verdict > 255) std::abort();
  if (kestrune::VerdictText(verdict, cutter.Consumed()).empty()) std::abort();

  // The whole transfer over the same replies, the file's kind chosen by the script's length.
  size_t lines = 0;
  at = 0;
  kestrune::HexLineCutter counter([&]() -> int { return at < fileSize ? file[at++] : -1; });
  while (counter.Next(line) == kestrune::HexLineCutter::kLine) ++lines;
  const std::string path = Scratch() + (scriptSize % 2 ? "/u.hex2" : "/u.hex");
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || (fileSize > 0 && std::fwrite(file, 1, fileSize, f) != fileSize)) std::abort();
  std::fclose(f);
  auto* unit = new ScriptDriver(data + 1, scriptSize);
  // The fuzz program's own context: its profile and log are named after it.
  const std::string program = kestrune::ProgramPath();
  const kestrune::ConsoleRunContext context(program, kestrune::ProgramProfilePath(program));
  kestrune::test::RecordingSender engine(context.run, "/dev/null");
  engine.SetDriver(std::unique_ptr<kestrune::Transport>(unit));  // the engine owns it
  std::string last;
  const int result = kestrune::HexLineTransfer(path, engine, [&last](const char* format, const char* argument) {
    last = kestrune::FormatStatus(format, argument);
  });
  // A plainly incomplete file is refused before contact: it says so and nothing is written.
  if (result == 1) {
    if (last.rfind("Bad File !! ", 0) != 0 || unit->writes != 0) std::abort();
    return 0;
  }
  // The outcome reaches the user: the transfer's own text, or the engine's when contact failed.
  if (result != 0 || (last.empty() && engine.statuses.empty())) std::abort();
  // The start record, then each line at most seven times (six resends of a refused line).
  if (unit->writes > 1 + 7 * lines) std::abort();
  return 0;
}
