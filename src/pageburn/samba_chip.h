// SPDX-License-Identifier: MIT
// What pageburn knows of the chip it programs: where the flash page buffer is mapped and how
// the embedded flash controller (EEFC) is driven. One table row per controller.
#pragma once

#include <cstdint>

namespace kestrune {

struct SambaChip {
  const char* name;
  // Flash base: writes into the first page here fill the controller's page buffer.
  uint32_t page_buffer_address;
  uint32_t page_size;  // bytes; written as page_size / 4 words of 32 bits
  // Pages this controller can address. The command's page argument has 16 bits, and a page
  // past the end of the bank would wrap onto earlier data or be refused by the controller.
  uint32_t flash_pages;
  uint32_t fcr_address;  // EEFC_FCR, command register
  uint32_t fsr_address;  // EEFC_FSR, status register
  uint32_t fsr_ready;    // FRDY bit of EEFC_FSR
  // Write page: key 0x5A, command 0x01, the page number in bits 8 to 23.
  uint32_t write_page_command;
  uint32_t page_argument_shift;
  uint32_t page_argument_mask;
  // Set GPNVM bit 1 (boot from flash): key 0x5A, argument 1, command 0x0B.
  uint32_t set_gpnvm_command;
};

// SAM3U family, controller EEFC0. It drives the first flash bank, 128 KiB on the largest
// chips of the family.
inline constexpr SambaChip kSam3uEefc0{
    .name = "SAM3U EEFC0",
    .page_buffer_address = 0x00080000,
    .page_size = 256,
    .flash_pages = 512,
    .fcr_address = 0x400E0804,
    .fsr_address = 0x400E0808,
    .fsr_ready = 0x00000001,
    .write_page_command = 0x5A000001,
    .page_argument_shift = 8,
    .page_argument_mask = 0xFFFF,
    .set_gpnvm_command = 0x5A00010B,
};

}  // namespace kestrune
