// SPDX-License-Identifier: MIT
// Command lines, memory map and flash controller of the simulated SAM-BA monitor.
#include "samba_monitor_core.h"

#include "hex_digit.h"

#include <algorithm>
#include <cstdio>

namespace kestrune::sim {
namespace {

constexpr char kTerminator = '#';
constexpr char kMonitorPrompt = '>';
constexpr const char* kNewLine = "\n\r";
constexpr uint8_t kErased = 0xFF;
constexpr uint32_t kWordCountArgument = 4;  // the only read size: one 32-bit word
constexpr uint32_t kGpnvmBits = 32;

// One to eight hexadecimal digits from `pos`, stopping at the first other character.
bool TakeHex(const std::string& text, size_t& pos, uint32_t& value) {
  value = 0;
  size_t digits = 0;
  for (; pos < text.size(); ++pos, ++digits) {
    const int d = HexDigit(text[pos]);
    if (d < 0) break;
    if (digits == 8) return false;
    value = value << 4 | static_cast<uint32_t>(d);
  }
  return digits > 0;
}

// "<letter><hex>,<hex>" exactly.
bool TakeTwoNumbers(const std::string& line, uint32_t& first, uint32_t& second) {
  size_t pos = 1;
  return TakeHex(line, pos, first) && pos < line.size() && line[pos] == ',' && TakeHex(line, ++pos, second) &&
         pos == line.size();
}

template <typename T>
void Log(std::vector<T>& log, T entry, size_t limit = kMaxSambaLog) {
  if (log.size() < limit) log.push_back(std::move(entry));
}

}  // namespace

SambaMonitorCore::SambaMonitorCore(const SambaOptions& options)
    : flashPages_(options.flashPages), version_(options.version) {
  line_.reserve(kMaxSambaLine);
  pageBuffer_.fill(kErased);
  recording_.flash.assign(size_t{flashPages_} * kSam3uEefc0.pageSize, kErased);
  std::copy_n(options.oldImage.begin(), std::min(options.oldImage.size(), recording_.flash.size()),
              recording_.flash.begin());
}

void SambaMonitorCore::ClearLog() {
  SambaRecording fresh;
  fresh.flash = std::move(recording_.flash);
  fresh.gpnvm = recording_.gpnvm;
  fresh.hungUp = recording_.hungUp;
  recording_ = std::move(fresh);
}

void SambaMonitorCore::Receive(uint8_t byte, Clock::time_point arrival, std::vector<Output>& out) {
  if (closing_) return;
  ++recording_.bytesReceived;
  const char c = static_cast<char>(byte);
  if (c == kTerminator) {
    if (!dropping_) TakeArmedFaults();
    if (dropping_) {
      dropping_ = false;
      ++recording_.droppedLines;
    } else if (faults_.hangUpAfterCommands == uint64_t{0}) {
      // The line drops as the first command past the count ends, unanswered and not carried out.
      faults_.hangUpAfterCommands.reset();
      closing_ = true;
      out.push_back(Output{arrival, {}, true});
    } else {
      Log(recording_.commands, line_ + kTerminator);
      ++recording_.commandCount;
      Answer(Perform(line_, arrival), arrival, out);
    }
    line_.clear();
    return;
  }
  if (dropping_) return;
  // Line ends typed between commands on a terminal are not part of the next one.
  if (line_.empty() && (c == '\r' || c == '\n')) return;
  if (line_.size() == kMaxSambaLine) {
    dropping_ = true;
    line_.clear();
    return;
  }
  line_.push_back(c);
}

void SambaMonitorCore::ArmFaults(uint64_t command, std::function<void(SambaFaults&)> change) {
  armedAt_ = command;
  armed_ = std::move(change);
}

void SambaMonitorCore::TakeArmedFaults() {
  if (!armed_ || recording_.commandCount + 1 < armedAt_) return;
  const auto change = std::move(armed_);
  armed_ = nullptr;
  change(faults_);
}

std::optional<std::string> SambaMonitorCore::Perform(const std::string& line, Clock::time_point at) {
  std::optional<std::string> reply;
  uint32_t address = 0, second = 0;
  if (line == "V") {
    reply = version_ + kNewLine;
  } else if (line.size() > 1 && line[0] == 'w' && TakeTwoNumbers(line, address, second) &&
             second == kWordCountArgument && address % 4 == 0) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(ReadWord(address, at)));
    reply = std::string(text) + kNewLine;
  } else if (line.size() > 1 && line[0] == 'W' && TakeTwoNumbers(line, address, second) &&
             WriteWord(address, second, at)) {
    reply = "";
  }
  if (!reply) Log(recording_.rejected, line + kTerminator, kMaxSambaRejected);
  return reply;
}

bool SambaMonitorCore::Busy(Clock::time_point at) const {
  return faults_.stuckBusy || busyReadsLeft_ > 0 || at < busyUntil_;
}

uint32_t SambaMonitorCore::ReadWord(uint32_t address, Clock::time_point at) {
  if (address == kSam3uEefc0.fsr) {
    ++recording_.fsrReads;
    const bool busy = Busy(at);
    if (busyReadsLeft_ > 0) --busyReadsLeft_;
    if (!busy) return kSam3uEefc0.fsrReady;
    ++recording_.fsrBusyReads;
    return 0;
  }
  const uint64_t offset = uint64_t{address} - kSam3uEefc0.flashBase;
  if (address >= kSam3uEefc0.flashBase && offset + 4 <= recording_.flash.size()) {
    const uint8_t* p = recording_.flash.data() + offset;
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  }
  return 0;  // registers and memory the download never reads
}

bool SambaMonitorCore::WriteWord(uint32_t address, uint32_t value, Clock::time_point at) {
  if (address == kSam3uEefc0.fcr) {
    FlashCommand(value, at);
    return true;
  }
  const uint64_t offset = uint64_t{address} - kSam3uEefc0.flashBase;
  if (address >= kSam3uEefc0.flashBase && offset < recording_.flash.size()) {
    if (address % 4 != 0) return false;
    // The page buffer is addressed by the offset within a page, whichever page the address is in.
    if (Busy(at)) ++recording_.bufferWritesWhileBusy;
    uint8_t* p = pageBuffer_.data() + offset % kSam3uEefc0.pageSize;
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
  }
  return true;  // other addresses take the write and keep nothing
}

void SambaMonitorCore::FlashCommand(uint32_t value, Clock::time_point at) {
  Log(recording_.flashCommands, value);
  const uint8_t key = static_cast<uint8_t>(value >> 24);
  const uint8_t command = static_cast<uint8_t>(value);
  const uint32_t argument = value >> 8 & 0xFFFF;
  bool done = false;
  if (key == kSam3uEefc0.key && !Busy(at)) {
    if (command == kSam3uEefc0.writePage && argument < flashPages_) {
      uint8_t* page = recording_.flash.data() + size_t{argument} * kSam3uEefc0.pageSize;
      for (size_t i = 0; i < pageBuffer_.size(); ++i)
        page[i] = faults_.notErased ? page[i] & pageBuffer_[i] : pageBuffer_[i];
      // A fresh buffer for the next page, so that a word the client skipped shows as erased.
      pageBuffer_.fill(kErased);
      Log(recording_.pagesWritten, argument);
      done = true;
    } else if (command == kSam3uEefc0.setGpnvm && argument < kGpnvmBits) {
      recording_.gpnvm |= uint32_t{1} << argument;
      done = true;
    }
  }
  if (!done) {
    ++recording_.refusedFlashCommands;
    return;
  }
  busyReadsLeft_ = faults_.busyReads;
  busyUntil_ = at + std::chrono::milliseconds(faults_.busyMs);
}

void SambaMonitorCore::Answer(const std::optional<std::string>& text, Clock::time_point at, std::vector<Output>& out) {
  Output o{at + std::chrono::milliseconds(faults_.replyDelayMs), {}, false};
  if (!faults_.silent) {
    if (faults_.garbageReplies > 0) {
      --faults_.garbageReplies;
      o.bytes = faults_.garbage;
    }
    o.bytes += kNewLine;
    if (text) o.bytes += *text;
    if (faults_.noPromptReplies == 0) {
      o.bytes += kMonitorPrompt;
    } else if (faults_.noPromptReplies > 0) {
      --faults_.noPromptReplies;
    }
  }
  if (faults_.hangUpAfterCommands > uint64_t{0}) --*faults_.hangUpAfterCommands;
  if (!o.bytes.empty()) out.push_back(std::move(o));
}

}  // namespace kestrune::sim
