// SPDX-License-Identifier: MIT
// The MIDI transport: every Write is one System Exclusive message on the MIDI output, every Read
// takes one SysEx message from the MIDI input. Protocol frames travel 7-in-8 packed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi_ports.h"
#include "platform/run_context.h"
#include "transport/transport.h"

namespace kestrune {

// 8-bit data as 7-bit MIDI data bytes: each group of 7 bytes (a short last group padded with
// zeros) becomes 8 bytes carrying its 56 bits least significant first, 7 per byte.
std::vector<uint8_t> PackSevenBit(const uint8_t* data, size_t length);
// The inverse: each group of 8 bytes (missing bytes of a short last group read as zero) gives
// 7 bytes; output stops at `maximum`. Returns the count written to `out`.
size_t UnpackSevenBit(const uint8_t* packed, size_t length, uint8_t* out, size_t maximum);

// Threads: every operation runs on the user-interface thread. The MIDI system's thread only
// appends received messages to the receive queue (under its lock) and wakes the event pump.
class MidiTransport : public Transport {
 public:
  // A received message is kept as one block of at most this size: only the first 2048 bytes
  // of a longer message count, the rest of it is let go.
  static constexpr size_t kBlockSize = 2048;
  // Messages held unread at most; further messages are dropped (and counted) until Read takes
  // some, so a flood on the input cannot eat memory.
  static constexpr size_t kMaxQueuedBlocks = 64;

  // Opens the ports that the context's MakeMidiPorts() gives at each Open, and lets them go at Close.
  // The context (pump, profile, where MIDI devices come from) must outlive the transport.
  explicit MidiTransport(const RunContext& context);
  // Uses `ports` for every Open; they stay with the driver.
  MidiTransport(const RunContext& context, std::unique_ptr<MidiPorts> ports);
  ~MidiTransport() override;  // Close()

  // Chooses the device pair from the "MIDI" settings (with fallback), opens the input, then
  // the output. 0 or the first MIDI failure (6 without a MIDI system, 2 for a device that is
  // not there). Open on an open driver closes it first. A failed Open leaves open what opened.
  int Open() override;
  // Closes the input (no message arrives after this), empties the queue, closes the output.
  // The input's failure if any, else the output's, else 0.
  int Close() override;
  // Sends one message of the current message type: 'R' the identity request F0 7E 7F 06 01 F7
  // (the data is ignored); 'T' F0 7D 70 01 54, the data packed, F7; any other letter
  // F0 7D 70 01, the letter, the data as given, F7. 0, 5 without an open output, 11 for a data
  // byte above 0x7F in an unpacked message (it would break the message), 7 without memory, or
  // the MIDI system's failure. Does not wait for the message to leave.
  int Write(const uint8_t* data, unsigned length) override;
  // Takes messages until one is accepted (the manufacturer's identity reply, or any message of
  // the unit's own), delivers at most `maximum` bytes of its data and returns their count. The
  // wait blocks in the event pump, woken as messages arrive, and ends at once when
  // receiveActive is cleared (a cancel). A time limit of 0, or no open input, returns 0 at once.
  unsigned Read(uint8_t* buffer, unsigned maximum, unsigned timeLimitMs) override;
  // The MIDI functions' texts for 0 to 21, the shared transport texts for the rest.
  std::string ErrorText(int code) override;
  int IsMidi() override { return 1; }

  // Received messages dropped because the queue was full.
  uint64_t DroppedBlocks() const { return dropped_.load(); }
  // The input callback's work, on the MIDI system's thread: queues a received message.
  void Receive(const uint8_t* data, size_t length);

 private:
  using Block = std::vector<uint8_t>;

  bool TakeBlock(Block& block);
  // Looks at one block as Read does; true when it is accepted (its data then delivered).
  bool Examine(const Block& block, uint8_t* buffer, unsigned maximum, unsigned& delivered);

  const RunContext& context_;
  std::unique_ptr<MidiPorts> ports_;
  bool ownPorts_ = false;  // made by Open from the context, released by Close
  bool inputOpen_ = false;
  bool outputOpen_ = false;
  std::mutex queueMutex_;  // guards queue_
  std::deque<Block> queue_;
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace kestrune
