// SPDX-License-Identifier: MIT
// Fuzzes the BAM transfer engine with any file bytes over an in-memory device that serves them
// in the file binding's 1536-byte chunks. Besides crashes and sanitizer reports it checks the
// engine's promises: Close follows a successful Open and only then, data goes out only between
// them and never more than the file holds, and the result is 0 only when Close was sent.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "protocol/protocol_engine.h"
#include "updates/bam_transfer.h"

namespace {

class MemoryDevice : public kestrune::BamTransfer {
 public:
  MemoryDevice(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  int opens = 0, closes = 0;
  size_t written = 0;

  int Open(int headerLength, const uint8_t*, const kestrune::StatusPrinter&) override {
    if (headerLength <= 6 || opens++ != 0) std::abort();
    return 0;
  }
  int Write(const uint8_t*, unsigned count, uint16_t) override {
    if (opens != 1 || closes != 0 || count == 0 || count > 1536) std::abort();
    written += count;
    return 0;
  }
  int Close() override {
    if (opens != 1 || closes++ != 0) std::abort();
    return 0;
  }
  unsigned Read(const uint8_t*& out, unsigned maximum) override {
    const size_t n = std::min<size_t>({maximum, 1536, size_ - at_});
    out = data_ + at_;
    at_ += n;
    return static_cast<unsigned>(n);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryDevice device(data, size);
  size_t shown = 0;
  const int result = device.Transfer(
      [&shown](const char* format, const char* argument) { shown += kestrune::FormatStatus(format, argument).size(); });
  if (device.opens != device.closes) std::abort();
  if (device.written > size) std::abort();
  if (result == 0 && device.closes != 1) std::abort();
  if (shown == 0) std::abort();  // the outcome is always reported
  return 0;
}
