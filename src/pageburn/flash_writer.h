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
struct flash_mismatch_t {
  uint32_t address = 0;  // where the word lives in flash
  uint32_t wrote = 0;
  uint32_t read = 0;         // meaningless when read_failed
  bool read_failed = false;  // the read brought no number after its retries
};

// Every operation returns true on failure and leaves a code in last_error(). Runs on the
// program's main thread.
class flash_writer_t {
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
  using sleep_fn = void (*)(uint32_t ms, void* context);
  // Receives the step digits set_boot_from_flash reports ("1\n", "2\n", "3\n").
  using print_fn = void (*)(const char* text, void* context);

  // `monitor` is not owned and must outlive the writer.
  explicit flash_writer_t(samba_monitor_t* monitor, const samba_chip_t& chip = kSam3uEefc0)
      : monitor_(monitor), chip_(chip) {}

  // Waits until the controller's status shows FRDY: at most 1 + kReadyWaits reads.
  bool wait_flash_ready();
  // Writes `size` bytes (exactly one page) as flash page `page`.
  bool write_flash_page(uint32_t page, const uint8_t* data, size_t size);
  // Reads flash page `page` back word by word and compares it with `data` (exactly one page).
  // Stops at the first word that differs or cannot be read, described in `mismatch`.
  bool verify_flash_page(uint32_t page, const uint8_t* data, size_t size, flash_mismatch_t& mismatch);
  // Sets the GPNVM bit that makes the chip boot from flash.
  bool set_boot_from_flash();

  int32_t last_error() const { return last_error_; }
  const samba_chip_t& chip() const { return chip_; }

  void set_sleep(sleep_fn fn, void* context) {
    sleep_ = fn;
    sleep_context_ = context;
  }
  void set_printer(print_fn fn, void* context) {
    print_ = fn;
    print_context_ = context;
  }

 private:
  // The checks write_flash_page and verify_flash_page share.
  bool check_page(uint32_t page, const uint8_t* data, size_t size);
  void pause(uint32_t ms);
  void report(const char* text);

  int32_t last_error_ = kErrorNone;
  samba_monitor_t* monitor_;
  samba_chip_t chip_;
  sleep_fn sleep_ = nullptr;
  void* sleep_context_ = nullptr;
  print_fn print_ = nullptr;
  void* print_context_ = nullptr;
};

}  // namespace kestrune
