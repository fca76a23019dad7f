// SPDX-License-Identifier: MIT
// The SAM-BA monitor's command client: ASCII commands ending in '#', replies collected up to
// the monitor's '>' prompt, each command tried again when no complete reply comes.
#pragma once

#include <cstdint>
#include <string>

#include "pageburn/samba_channel.h"
#include "pageburn/samba_chip.h"

namespace kestrune {

// Every operation returns true on success, false on failure, and leaves a code in LastError(). Runs on the
// program's main thread; never prints.
class SambaMonitor {
 public:
  static constexpr int32_t kErrorNone = 0;
  static constexpr int32_t kErrorShortVersion = -3;  // version reply under 6 characters
  static constexpr int32_t kErrorNoReply = -4;       // no complete reply after every attempt
  static constexpr int32_t kErrorNoNumber = -5;      // a read-word reply that holds no number

  static constexpr int kVersionRetries = 1;
  static constexpr int kWordRetries = 3;
  // Bounds on one attempt beyond the 200 ms of silence that normally ends it: a device that
  // keeps sending without ever showing the prompt cannot hold a command for ever.
  static constexpr size_t kMaxReplyBytes = 4096;
  static constexpr uint32_t kMaxAttemptMs = 2000;

  // `device` is not owned and must outlive the monitor; `retry_count` is where the count of
  // failed attempts starts.
  explicit SambaMonitor(SambaChannel* device, int32_t retry_count = 0) : retry_count_(retry_count), device_(device) {}

  // Sends `command` up to retries + 1 times until a reply ends in '>'. The reply starts with
  // one space, then everything received. Bytes that come after an attempt gave up stay with
  // the device and open the next reply.
  bool Command(std::string& reply, const std::string& command, int retries);
  // "V#": the version text between the reply's framing.
  bool GetVersion(std::string& version);
  // Reads EEFC_FSR ("w400e0808,4#") of the given chip into `value`.
  bool ReadFlashStatus(uint32_t& value, uint32_t fsr_address = kSam3uEefc0.fsr_address);
  // Reads the word at `address` with the status read's command and retries. Bytes left over
  // from an earlier command are dropped first, so that a late reply to it cannot pass for
  // this word's value.
  bool ReadWord(uint32_t address, uint32_t& value);
  // "W<address>,<value>#".
  bool WriteWord(uint32_t address, uint32_t value);

  int32_t RetryCount() const { return retry_count_; }
  int32_t LastError() const { return last_error_; }
  SambaChannel* Device() const { return device_; }

 private:
  // The number a read-word reply holds; kErrorNoNumber when there is none.
  bool TakeNumber(const std::string& reply, uint32_t& value);

  int32_t retry_count_;
  SambaChannel* device_;
  int32_t last_error_ = kErrorNone;
};

// The command texts: numbers as exactly 8 lower-case hexadecimal digits.
std::string ReadWordCommand(uint32_t address);
std::string WriteWordCommand(uint32_t address, uint32_t value);

// Reads one hexadecimal number as a "%x" conversion would: white space skipped, an optional
// "0x". False when there is no digit or the number does not fit 32 bits.
bool ParseMonitorHex(const std::string& text, uint32_t& value);

}  // namespace kestrune
