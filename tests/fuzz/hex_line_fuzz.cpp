// Fuzzes the HEX line cutter, the start record's verdict read and the verdict texts: the first
// bytes script the unit's replies, the rest is the file. Checks that every line cut is bounded
// and never empty, that the consumed count stays inside the file, that what is written holds
// only printable characters and ends in its one NUL, and that every verdict has a text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "transport/base_comm_driver.h"
#include "updates/hex_line_transfer.h"
#include "updates/update_kind.h"

namespace {

// Answers each write from a script of reply bytes; an exhausted script is silence.
class ScriptDriver : public kestrune::BaseCommDriver {
 public:
  ScriptDriver(const uint8_t* script, size_t size) : script_(script), size_(size) {}

  int Write(const uint8_t* data, unsigned length) override {
    if (length == 0 || length > kestrune::HexLineCutter::kMaxLine + 1 || data[length - 1] != 0) std::abort();
    for (unsigned i = 0; i + 1 < length; ++i) {
      if (static_cast<int8_t>(data[i]) < 0x20) std::abort();
    }
    return 0;
  }
  unsigned Read(uint8_t* buffer, unsigned maximum, unsigned) override {
    unsigned n = 0;
    while (n < maximum && at_ < size_) buffer[n++] = script_[at_++];
    return n;
  }

 private:
  const uint8_t* script_;
  size_t size_;
  size_t at_ = 0;
};

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
  const int verdict = kestrune::WriteStartRecord(driver, kestrune::kKindHex);
  if (verdict < -1 || verdict > 255) std::abort();
  if (kestrune::VerdictText(verdict, cutter.Consumed()).empty()) std::abort();
  return 0;
}
