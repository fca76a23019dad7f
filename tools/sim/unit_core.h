// SPDX-License-Identifier: MIT
// The simulated unit's boot loader without any I/O: it takes received bytes with their arrival
// times and says what to send back and when. The pty front end (SimulatedUnit) owns the line;
// this class owns the session state, the fault switches and the recording.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "unit_records.h"

namespace kestrune::sim {

using Clock = std::chrono::steady_clock;

// Largest payload a frame may announce: the host builds frames in a 4096-byte buffer that also
// holds the 6 header bytes and the checksum. A frame announcing more is refused unread.
inline constexpr size_t kMaxPayload = 4096 - 7;

// Longest HEX line the unit holds, NUL not counted. The longest record (255 data bytes) is 521
// characters; a longer line is drained to its NUL and refused.
inline constexpr size_t kMaxHexLine = 1100;
// Size of the unit's answer to a HEX line: verdict, one unused byte, 24-bit total (low byte first).
inline constexpr size_t kHexReplySize = 5;
// Record type of the start record that opens a HEX transfer.
inline constexpr uint8_t kHexStartType = 0x64;

// How a HEX line reads as an Intel HEX record. Blanks after the checksum are allowed (the host
// sends a line's trailing blanks); anything else that is not the record is a bad format.
struct HexRecord {
  enum class Check { kGood, kBadChecksum, kBadFormat };
  Check check = Check::kBadFormat;
  uint8_t type = 0;
  uint16_t address = 0;
  std::vector<uint8_t> data;
};
HexRecord ParseHexRecord(const std::string& line);

// Not thread-safe: the caller serialises every call (SimulatedUnit holds one mutex around it).
class UnitCore {
 public:
  // Bytes to put on the line, not before `notBefore`. Outputs go out in the order given.
  struct Output {
    Clock::time_point notBefore;
    std::string bytes;
  };

  // `frameGap`: how long a frame may stop arriving before the unit gives it up as short.
  explicit UnitCore(std::chrono::milliseconds frameGap);

  // One received byte that finished arriving at `arrival`; appends any answer to `out`.
  void Receive(uint8_t byte, Clock::time_point arrival, std::vector<Output>& out);

  // Gives up a frame that has stopped arriving for the frame gap by `now` (answers code 6), or a
  // HEX line that stopped before its NUL (answers '?'); sends the chatter when it is due.
  void Expire(Clock::time_point now, std::vector<Output>& out);

  // When Expire next has something to do; nullopt while no frame or line is open and the unit
  // is not chattering.
  std::optional<Clock::time_point> Deadline() const;

  // Puts the boot loader straight into taking frames, as over a link that has no wake-up byte
  // or line synchronisation (MIDI SysEx). Anything half received is forgotten.
  void StartFrames();

  Faults& faults() { return faults_; }
  Recording& recording() { return recording_; }
  const Recording& recording() const { return recording_; }

 private:
  // Session states of the boot loader: asleep until the wake-up byte, then answering prompts
  // until 'A', then taking frames and HEX lines. A wake-up or a prompt between frames starts
  // over, and a Reboot puts the unit back to sleep.
  enum class Session { kAsleep, kSync, kFrames };
  // Where the unit stands within one frame or HEX line.
  enum class Frame { kIdle, kHeader, kBody, kDrain, kHexLine };

  void ReceiveBetweenFrames(uint8_t byte, Clock::time_point at, std::vector<Output>& out);
  void AnswerWakeUp(Clock::time_point at, std::vector<Output>& out);
  void AnswerPrompt(Clock::time_point at, std::vector<Output>& out);
  void HeaderComplete();
  void FrameComplete(Clock::time_point at, std::vector<Output>& out);
  // Takes a whole frame whose checksum is good; sends its two replies.
  void Perform(uint8_t command, const uint8_t* payload, size_t size, Clock::time_point at, std::vector<Output>& out);
  void Refuse(int16_t code, Clock::time_point at, std::vector<Output>& out);
  // The fault for this command and stage, counted down; nullopt when none applies.
  std::optional<ReplyFault> TakeFault(uint8_t command, Stage stage);
  void SendReply(uint8_t command, int16_t code, const std::string& text, Clock::time_point at,
                 std::vector<Output>& out);
  // A reply as it goes on the wire: any garbage due before it, the reply in the given shape
  // (whole, or with its checksum or header damaged), twice while replies are doubled.
  std::string ReplyBytes(uint8_t command, int16_t code, const std::string& text,
                         ReplyFault::Kind shape = ReplyFault::Kind::kCode);
  void Emit(Clock::time_point at, std::string bytes, std::vector<Output>& out);
  // The reply as sent: twice over while the doubled-replies switch is on.
  std::string TakeDoubling(std::string bytes);
  void StartHexLine(uint8_t byte);
  // Answers the line collected so far; `cutShort`: it stopped arriving before its NUL.
  void HexLineComplete(bool cutShort, Clock::time_point at, std::vector<Output>& out);
  void TakeStartRecord(const HexRecord& record, Clock::time_point at, std::vector<Output>& out);
  std::optional<HexLineFault> TakeHexLineFault();
  // Puts a HEX reply on the line, after any garbage still due; nothing for an empty reply.
  void SendHexReply(std::string bytes, Clock::time_point at, std::vector<Output>& out);

  const std::chrono::milliseconds frameGap_;
  Session session_ = Session::kAsleep;
  Frame frame_ = Frame::kIdle;
  std::vector<uint8_t> buffer_;  // the frame so far; never above 7 + kMaxPayload bytes
  size_t expected_ = 0;          // whole frame size once the header is in
  uint8_t lastCommand_ = 0;      // command of the frame being answered, echoed in replies
  Clock::time_point lastArrival_{};
  std::string hexLine_;            // the HEX line so far; never above kMaxHexLine characters
  bool hexOverlong_ = false;       // the line went past kMaxHexLine: drained to its NUL, then refused
  bool hexSession_ = false;        // a start record was taken: every line up to its NUL is a HEX line
  uint32_t hexTotal_ = 0;          // data bytes taken since the start record, 24 bits
  Clock::time_point busyUntil_{};  // an erase under way: received bytes wait until it ends
  std::optional<Clock::time_point> nextChatter_;
  Faults faults_;
  Recording recording_;
};

// A reply in the unit's 13-byte form: header length 6, the command code, length 6 + text,
// result code, four zero bytes, the text, and a checksum that makes all bytes sum to 0.
std::string BuildReply(uint8_t command, int16_t code, const std::string& text);

}  // namespace kestrune::sim
