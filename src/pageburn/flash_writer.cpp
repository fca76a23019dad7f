// SPDX-License-Identifier: MIT
// Flash page writes and the boot bit through the embedded flash controller's registers.
#include "pageburn/flash_writer.h"

#include <chrono>
#include <thread>

namespace kestrune {
namespace {

// The little-endian word at `offset`, as the chip stores it.
uint32_t word_at(const uint8_t* data, uint32_t offset) {
  return uint32_t{data[offset]} | uint32_t{data[offset + 1]} << 8 | uint32_t{data[offset + 2]} << 16 |
         uint32_t{data[offset + 3]} << 24;
}

}  // namespace

void FlashWriter::Pause(uint32_t ms) {
  if (sleep_)
    sleep_(ms, sleep_context_);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void FlashWriter::Report(const char* text) {
  if (print_) print_(text, print_context_);
}

bool FlashWriter::WaitFlashReady() {
  if (!monitor_) {
    last_error_ = kErrorNoMonitor;
    return false;
  }
  uint32_t status = 0;
  if (!monitor_->ReadFlashStatus(status, chip_.fsr_address)) {
    last_error_ = kErrorCommand;
    return false;
  }
  for (int waits = 0; (status & chip_.fsr_ready) == 0; ++waits) {
    if (waits == kReadyWaits) {
      last_error_ = kErrorNotReady;
      return false;
    }
    Pause(1);
    status = 0;
    if (!monitor_->ReadFlashStatus(status, chip_.fsr_address)) {
      last_error_ = kErrorCommand;
      return false;
    }
  }
  last_error_ = kErrorNone;
  return true;
}

bool FlashWriter::CheckPage(uint32_t page, const uint8_t* data, size_t size) {
  if (!monitor_) {
    last_error_ = kErrorNoMonitor;
    return false;
  }
  if (!data || size != chip_.page_size) {
    last_error_ = kErrorPageSize;
    return false;
  }
  if (page >= chip_.flash_pages) {
    last_error_ = kErrorPageRange;
    return false;
  }
  return true;
}

bool FlashWriter::WriteFlashPage(uint32_t page, const uint8_t* data, size_t size) {
  if (!CheckPage(page, data, size)) return false;
  if (!WaitFlashReady()) return false;
  // The words always fill the page buffer, mapped at the first page; the command names the
  // page they are committed to.
  for (uint32_t offset = 0; offset < chip_.page_size; offset += 4) {
    if (!monitor_->WriteWord(chip_.page_buffer_address + offset, word_at(data, offset))) {
      last_error_ = kErrorCommand;
      return false;
    }
  }
  const uint32_t command = chip_.write_page_command | (page & chip_.page_argument_mask) << chip_.page_argument_shift;
  if (!monitor_->WriteWord(chip_.fcr_address, command)) {
    last_error_ = kErrorCommand;
    return false;
  }
  return WaitFlashReady();
}

bool FlashWriter::VerifyFlashPage(uint32_t page, const uint8_t* data, size_t size, FlashMismatch& mismatch) {
  if (!CheckPage(page, data, size)) return false;
  // The page buffer window is the start of the flash array: page k starts k pages further on.
  const uint32_t base = chip_.page_buffer_address + page * chip_.page_size;
  for (uint32_t offset = 0; offset < chip_.page_size; offset += 4) {
    mismatch = FlashMismatch{base + offset, word_at(data, offset), 0, false};
    if (!monitor_->ReadWord(mismatch.address, mismatch.read)) {
      mismatch.read_failed = true;
      last_error_ = kErrorCommand;
      return false;
    }
    if (mismatch.read != mismatch.wrote) {
      last_error_ = kErrorMismatch;
      return false;
    }
  }
  last_error_ = kErrorNone;
  return true;
}

bool FlashWriter::SetBootFromFlash() {
  if (!monitor_) {
    last_error_ = kErrorNoMonitor;
    return false;
  }
  if (!WaitFlashReady()) {
    Report("1\n");
    return false;
  }
  if (!monitor_->WriteWord(chip_.fcr_address, chip_.set_gpnvm_command)) {
    last_error_ = kErrorCommand;
    Report("2\n");
    return false;
  }
  if (!WaitFlashReady()) {
    Report("3\n");
    return false;
  }
  return true;
}

}  // namespace kestrune
