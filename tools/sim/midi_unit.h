// SPDX-License-Identifier: MIT
// A simulated audio unit in its boot loader, reached over MIDI System Exclusive messages: it
// answers the identity request with its identity reply (an XML key list), takes protocol
// frames packed 7-in-8 in 'T' messages and answers each with its two replies packed in 'U'
// messages, and answers the bare 'V' request with a one-byte 'W' message. The frames go to the
// same boot-loader core as the serial unit's, so it records and misbehaves the same way.
//
// It serves one MidiDeviceEnd: the far end of a loopback device in-process, or virtual ports
// of the ALSA sequencer or a JACK server (OpenMidiDevice).
//
// Threads: Start creates one unit thread that blocks on a condition variable until a message
// arrives or a reply falls due; it never spins. The device end's receiver (the MIDI system's
// thread) only queues messages. Every other member may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi_ports.h"
#include "unit_core.h"
#include "unit_records.h"

namespace kestrune::sim {

// What the unit says about itself; a key whose value is nullopt is left out of the reply.
// Values must be 7-bit text (they travel unpacked).
struct MidiIdentity {
  std::optional<std::string> typeNumber = "12";
  std::optional<std::string> appName = "Lumo Boot";
  std::optional<std::string> idNumber = "4711";
  std::optional<std::string> serialNumber = "0815";
  uint8_t deviceId = 0x00;  // the reply's third byte
};

// The identity reply's text: an XML key list with the keys "TypeNumber", "AppName", "IdNumber"
// and "SerialNumber", each followed by its value.
std::string IdentityText(const MidiIdentity& identity);

// Everything the unit heard since start (or ClearRecording).
struct MidiRecording {
  Recording core;                 // frames as the boot-loader core took them (image, chunks, ...)
  unsigned identityRequests = 0;  // F0 7E xx 06 01 F7
  unsigned frameMessages = 0;     // 'T' messages
  unsigned rebootRequests = 0;    // 'V' messages
  unsigned otherMessages = 0;     // anything else, including short messages
  unsigned messagesSent = 0;
};

struct MidiUnitOptions {
  MidiIdentity identity;
  // How long a frame that arrived short of its announced length is held before the unit
  // answers it with code 6 (the serial unit's frame gap).
  int frameGapMs = 250;
};

class MidiUnit {
 public:
  explicit MidiUnit(MidiUnitOptions options = {});
  ~MidiUnit();  // Stop()
  MidiUnit(const MidiUnit&) = delete;
  MidiUnit& operator=(const MidiUnit&) = delete;

  // Serves `end`, which must stay alive until Stop. False when the unit was started before or
  // its thread cannot start.
  bool Start(MidiDeviceEnd& end);
  // Detaches from the end and ends the thread; replies not yet sent are dropped. Safe twice.
  void Stop();

  // --- Switches; they apply from the next message the unit takes ---
  void SetIdentity(const MidiIdentity& identity);
  // Whether the identity request and the 'V' request are answered at all.
  void SetAnswerIdentity(bool answer);
  void SetAnswerReboot(bool answer);
  // Faults of the boot-loader core (see unit_records.h).
  void SetReplyFault(uint8_t command, Stage stage, const ReplyFault& fault);
  void SetBadChecksumFrames(int frames);
  void SetEraseDelay(int ms);
  // Hear and record everything but send nothing.
  void SetSilent(bool silent);

  MidiRecording Snapshot() const;
  void ClearRecording();
  // Replies taken in but not yet sent (a reply may wait for its time).
  size_t RepliesPending() const;

 private:
  struct Due {
    Clock::time_point notBefore;
    std::vector<uint8_t> message;
  };

  void Run();
  // Unit thread, under the mutex: answers one received message.
  void Take(const std::vector<uint8_t>& message, Clock::time_point now);
  void TakeFrame(const std::vector<uint8_t>& message, Clock::time_point now);
  void Queue(Clock::time_point at, std::vector<uint8_t> message);

  const MidiUnitOptions options_;
  MidiDeviceEnd* end_ = nullptr;
  std::thread thread_;

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable cv_;
  bool stopping_ = false;
  bool started_ = false;
  std::deque<std::vector<uint8_t>> inbox_;
  std::deque<Due> outbox_;
  UnitCore core_;
  MidiIdentity identity_;
  bool answerIdentity_ = true;
  bool answerReboot_ = true;
  bool silent_ = false;
  MidiRecording recording_;  // all but .core, which the core keeps
};

}  // namespace kestrune::sim
