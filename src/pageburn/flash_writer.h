// SPDX-License-Identifier: MIT
// Programs flash through the SAM-BA monitor: page data into the controller's page buffer, a
// write-page command to the embedded flash controller, and the boot-from-flash bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pageburn/samba_chip.h"
#include "pageburn/samba_monitor.h"

namespace kestrune {

// The first word of a page that did not read back as it was written.
struct FlashMismatch {
  uint32_t address = 0;  // where the word lives in flash
  uint32_t wrote = 0;
  uint32_t read = 0;         // meaningless when read_failed
  bool read_failed = false;  // the read brought no number after its retries
};

// Every operation returns true on success, false on failure, and leaves a code in LastError(). Runs on the
// program's main thread.
class FlashWriter {
 public:
  static constexpr int32_t kErrorNone = 0;
  static constexpr int32_t kErrorNoMonitor = -1;
  static constexpr int32_t kErrorCommand = -2;    // a monitor command failed
  static constexpr int32_t kErrorPageSize = -3;   // page data not exactly one page
  static constexpr int32_t kErrorNotReady = -4;   // FRDY stayed clear
  static constexpr int32_t kErrorPageRange = -5;  // page number beyond the controller's flash
  static constexpr int32_t kErrorMismatch = -6;   // a word read back differs from the one written

  // Status reads while FRDY is clear, after the first one; each follows a 1 ms pause.
  static constexpr int kReadyWaits = 32;

  // Pauses the caller for `ms` milliseconds; replaceable so tests can count the pauses.
  using SleepFunction = void (*)(uint32_t ms, void* context);
  // Receives the step digits SetBootFromFlash reports ("1\n", "2\n", "3\n").
  using PrintFunction = void (*)(const char* text, void* context);

  // `monitor` is not owned and must outlive the writer.
  explicit FlashWriter(SambaMonitor* monitor, const SambaChip& chip = kSam3uEefc0) : monitor_(monitor), chip_(chip) {}

  // Waits until the controller's status shows FRDY: at most 1 + kReadyWaits reads.
  bool WaitFlashReady();
  // Writes `size` bytes (exactly one page) as flash page `page`.
  bool WriteFlashPage(uint32_t page, const uint8_t* data, size_t size);
  // Reads flash page `page` back word by word and compares it with `data` (exactly one page).
  // Stops at the first word that differs or cannot be read, described in `mismatch`.
  bool VerifyFlashPage(uint32_t page, const uint8_t* data, size_t size, FlashMismatch& mismatch);
  // Sets the GPNVM bit that makes the chip boot from flash.
  bool SetBootFromFlash();

  int32_t LastError() const { return last_error_; }
  const SambaChip& Chip() const { return chip_; }

  void SetSleep(SleepFunction fn, void* context) {
    sleep_ = fn;
    sleep_context_ = context;
  }
  void SetPrinter(PrintFunction fn, void* context) {
    print_ = fn;
    print_context_ = context;
  }

 private:
  // The checks WriteFlashPage and VerifyFlashPage share.
  bool CheckPage(uint32_t page, const uint8_t* data, size_t size);
  void Pause(uint32_t ms);
  void Report(const char* text);

  int32_t last_error_ = kErrorNone;
  SambaMonitor* monitor_;
  SambaChip chip_;
  SleepFunction sleep_ = nullptr;
  void* sleep_context_ = nullptr;
  PrintFunction print_ = nullptr;
  void* print_context_ = nullptr;
};

}  // namespace kestrune
