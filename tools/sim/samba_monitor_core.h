// SPDX-License-Identifier: MIT
// The simulated SAM-BA ROM monitor without any I/O: it takes received bytes with their arrival
// times and says what to send back and when. It speaks the monitor's terminal mode (ASCII
// commands ending in '#', replies framed by "\n\r" and ended by the '>' prompt) and models the
// parts of the chip that a flash download touches: the flash array behind its page buffer
// window, the embedded flash controller's command and status registers, and the GPNVM bits.
// The pty front end (SimulatedSamba) owns the line.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::sim {

using Clock = std::chrono::steady_clock;

// The flash controller (EEFC0) of the SAM3U family as the monitor's client reaches it.
struct SambaChip {
  uint32_t flashBase;  // start of flash; writes anywhere in it fill the page buffer
  uint32_t pageSize;   // bytes per page (64 words of 32 bits)
  uint32_t fcr;        // EEFC_FCR, the command register
  uint32_t fsr;        // EEFC_FSR, the status register
  uint32_t fsrReady;   // FRDY bit of EEFC_FSR
  uint8_t key;         // bits 24-31 of every command written to EEFC_FCR
  uint8_t writePage;   // command byte: write the page buffer to the page in bits 8-23
  uint8_t setGpnvm;    // command byte: set the GPNVM bit numbered in bits 8-23
};
inline constexpr SambaChip kSam3uEefc0{
    .flashBase = 0x00080000,
    .pageSize = 256,
    .fcr = 0x400E0804,
    .fsr = 0x400E0808,
    .fsrReady = 0x1,
    .key = 0x5A,
    .writePage = 0x01,
    .setGpnvm = 0x0B,
};

// Longest command line the monitor takes before its '#'. The longest real one is a word write,
// "W" + 8 digits + "," + 8 digits: 18 characters. A longer line is dropped unanswered.
inline constexpr size_t kMaxSambaLine = 32;
// Lines and register writes kept in a recording; counts go on past it.
inline constexpr size_t kMaxSambaLog = size_t{1} << 20;
// Lines not understood kept in a recording.
inline constexpr size_t kMaxSambaRejected = 4096;

struct SambaOptions {
  // Flash size in pages. The command's page field would reach 65536 pages (16 MiB); the
  // default is a 256 KiB part.
  uint32_t flashPages = 1024;
  // Text between the "\n\r" pairs of the version reply.
  std::string version = "v1.4 Kestrune SAM-BA simulator";
  // What the flash holds at start from its first byte (an older image); the rest is erased,
  // and bytes beyond the flash are not kept.
  std::vector<uint8_t> oldImage;
};

// Fault and timing switches of the monitor.
struct SambaFaults {
  bool silent = false;      // hear, act on and record everything, send nothing at all
  int noPromptReplies = 0;  // the next N replies lack their closing '>'; -1: every one
  std::string garbage;      // bytes sent before the next replies ...
  int garbageReplies = 0;   // ... this many of them
  bool stuckBusy = false;   // EEFC_FSR never shows FRDY
  int busyReads = 0;        // after each flash command, FRDY reads clear this many times
  int busyMs = 0;           // ... and for this long
  int replyDelayMs = 0;     // every reply starts this long after its '#' arrived
  // The flash was not erased before the run: a page write ANDs the page buffer into what the
  // page held, as the flash cells can only go from 1 to 0 without an erase.
  bool notErased = false;
  // Answer N more command lines, then close the line as the next one ends (0: as the next ends).
  std::optional<uint64_t> hangUpAfterCommands;
};

// The chip's memory and what the monitor received since start (or the last ClearLog).
struct SambaRecording {
  std::vector<uint8_t> flash;  // the whole flash array; erased bytes read 0xFF
  uint32_t gpnvm = 0;          // GPNVM bits set, bit n for GPNVM n

  std::vector<std::string> commands;    // every line taken, with its '#', in order (the first kMaxSambaLog)
  uint64_t commandCount = 0;            // every line taken
  std::vector<std::string> rejected;    // lines not understood, answered with the bare prompt (the first 4096)
  unsigned droppedLines = 0;            // lines longer than kMaxSambaLine, dropped unanswered
  std::vector<uint32_t> flashCommands;  // every value written to EEFC_FCR, in order
  std::vector<uint32_t> pagesWritten;   // page of every write-page command carried out, in order
  unsigned refusedFlashCommands = 0;    // wrong key, unknown command, page or bit out of range, or FRDY clear
  unsigned fsrReads = 0;
  unsigned fsrBusyReads = 0;           // EEFC_FSR reads that showed FRDY clear
  unsigned bufferWritesWhileBusy = 0;  // page buffer words written while FRDY was clear
  uint64_t bytesReceived = 0;
  bool hungUp = false;  // the monitor closed its side of the line
};

// Not thread-safe: the caller serialises every call (SimulatedSamba holds one mutex around it).
class SambaMonitorCore {
 public:
  // Bytes to put on the line, not before `notBefore`, in the order given. With `hangUp` the
  // line closes once the bytes are out (they may be empty).
  struct Output {
    Clock::time_point notBefore;
    std::string bytes;
    bool hangUp = false;
  };

  explicit SambaMonitorCore(const SambaOptions& options);

  // One received byte that arrived at `arrival`; appends any answer to `out`. Bytes after a
  // hang-up has been decided are ignored.
  void Receive(uint8_t byte, Clock::time_point arrival, std::vector<Output>& out);

  SambaFaults& faults() { return faults_; }
  // Just before command line number `command` (counting every line taken since start or the
  // last ClearLog, the first being 1) is carried out, `change` edits the fault switches, once:
  // a fault that starts at a chosen point of a download. An empty `change` disarms.
  void ArmFaults(uint64_t command, std::function<void(SambaFaults&)> change);
  SambaRecording& recording() { return recording_; }
  const SambaRecording& recording() const { return recording_; }
  // Forgets what was received; the flash and the GPNVM bits stay, as they are the chip's.
  void ClearLog();

 private:
  // Carries out one complete line (without its '#'); returns the reply text between the leading
  // "\n\r" and the prompt, or nullopt for a line it does not understand.
  std::optional<std::string> Perform(const std::string& line, Clock::time_point at);
  uint32_t ReadWord(uint32_t address, Clock::time_point at);
  // False when the address cannot take a word (unaligned in flash).
  bool WriteWord(uint32_t address, uint32_t value, Clock::time_point at);
  void FlashCommand(uint32_t value, Clock::time_point at);
  bool Busy(Clock::time_point at) const;
  void Answer(const std::optional<std::string>& text, Clock::time_point at, std::vector<Output>& out);
  void TakeArmedFaults();

  const uint32_t flashPages_;
  const std::string version_;
  std::string line_;       // the command so far; never above kMaxSambaLine characters
  bool dropping_ = false;  // the line grew too long: skip to its '#'
  bool closing_ = false;   // a hang-up has been decided
  std::array<uint8_t, kSam3uEefc0.pageSize> pageBuffer_;
  int busyReadsLeft_ = 0;
  Clock::time_point busyUntil_{};
  SambaFaults faults_;
  uint64_t armedAt_ = 0;
  std::function<void(SambaFaults&)> armed_;
  SambaRecording recording_;
};

}  // namespace kestrune::sim
