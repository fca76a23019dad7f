// SPDX-License-Identifier: MIT
// SAM-BA monitor commands over a SambaChannel.
#include "pageburn/samba_monitor.h"

#include <cstdio>

#include "platform/tick_count.h"

namespace kestrune {

std::string ReadWordCommand(uint32_t address) {
  char text[24];
  std::snprintf(text, sizeof text, "w%08x,4#", static_cast<unsigned>(address));
  return text;
}

std::string WriteWordCommand(uint32_t address, uint32_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "W%08x,%08x#", static_cast<unsigned>(address), static_cast<unsigned>(value));
  return text;
}

bool ParseMonitorHex(const std::string& text, uint32_t& value) {
  size_t i = 0;
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  while (i < text.size() && space(text[i])) ++i;
  if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') && digit(text[i + 2]) >= 0)
    i += 2;
  uint64_t number = 0;
  const size_t first = i;
  for (; i < text.size() && digit(text[i]) >= 0; ++i) {
    number = number * 16 + static_cast<uint64_t>(digit(text[i]));
    if (number > 0xFFFFFFFFu) return false;
  }
  if (i == first) return false;
  value = static_cast<uint32_t>(number);
  return true;
}

bool SambaMonitor::Command(std::string& reply, const std::string& command, int retries) {
  const int attempts = retries < 0 ? 1 : retries + 1;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    reply.assign(1, ' ');
    // A write the port refused cannot be answered: the attempt fails without waiting.
    if (device_ && device_->Write(command)) {
      const uint32_t give_up = TickCount() + kMaxAttemptMs;
      while (device_->WaitForData()) {
        device_->Read(reply);
        if (reply.back() == '>') {
          last_error_ = kErrorNone;
          return true;
        }
        if (reply.size() > kMaxReplyBytes || TickReached(TickCount(), give_up)) break;
      }
    }
    ++retry_count_;
  }
  last_error_ = kErrorNoReply;
  return false;
}

bool SambaMonitor::GetVersion(std::string& version) {
  std::string reply;
  if (!Command(reply, "V#", kVersionRetries)) return false;
  if (reply.size() < 6) {
    last_error_ = kErrorShortVersion;
    return false;
  }
  version = reply.substr(3, reply.size() - 6);
  last_error_ = kErrorNone;
  return true;
}

bool SambaMonitor::ReadFlashStatus(uint32_t& value, uint32_t fsr_address) {
  std::string reply;
  if (!Command(reply, ReadWordCommand(fsr_address), kWordRetries)) return false;
  return TakeNumber(reply, value);
}

bool SambaMonitor::ReadWord(uint32_t address, uint32_t& value) {
  if (device_) {
    std::string stale;
    device_->Read(stale);
  }
  std::string reply;
  if (!Command(reply, ReadWordCommand(address), kWordRetries)) return false;
  return TakeNumber(reply, value);
}

bool SambaMonitor::TakeNumber(const std::string& reply, uint32_t& value) {
  if (!ParseMonitorHex(reply, value)) {
    last_error_ = kErrorNoNumber;
    return false;
  }
  last_error_ = kErrorNone;
  return true;
}

bool SambaMonitor::WriteWord(uint32_t address, uint32_t value) {
  std::string reply;
  if (!Command(reply, WriteWordCommand(address, value), kWordRetries)) return false;
  last_error_ = kErrorNone;
  return true;
}

}  // namespace kestrune
