// SPDX-License-Identifier: MIT
// A simulated audio unit in its boot loader, on the master side of a pseudo-terminal. The
// program or test under test opens the slave path as its serial port and speaks to it as to a
// real unit: wake-up byte, line synchronisation, then checksummed frames, each answered by an
// acknowledgement and an operation result, or Intel HEX lines, each answered by a verdict. The
// unit records what it received and can be told to misbehave in the ways a real unit or line
// does.
//
// Threads: Start creates one unit thread that blocks in poll() on the pty master and a wake-up
// pipe; it never spins. Every other member may be called from any thread; the fault setters
// and Snapshot are serialised with the unit thread by one mutex and never wait on the line.
// A fault set during a run applies from the next byte the unit receives (or reply it sends).
//
// Ownership: the unit owns the pty (master and one slave descriptor it keeps open so that the
// line stays up while no client has it open) and its thread. Stop, or destruction, ends the
// thread and closes both descriptors; clients still holding the slave then see a hang-up.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pty_line.h"
#include "unit_core.h"
#include "unit_records.h"

namespace kestrune::sim {

struct UnitOptions {
  // Line speed that the unit paces its traffic to, 10 bits per byte, both ways: a received byte
  // counts only once its wire time has passed after the previous one, and sent bytes reach the
  // client no faster than the line would carry them. 0: unpaced, bytes move at once.
  int baud = 0;
  // Short-message limit: a frame that stops arriving for this long before its announced length
  // is in is answered with code 6. The same quiet time ends the draining of bytes that were no
  // frame (a wrong header, or a payload length above the host's frame buffer).
  int frameGapMs = 250;
};

// Start, Stop, SlavePath and LastError come from PtyService; Stop returns promptly whatever
// the client is doing (mid-frame, not reading, during a slow erase).
class SimulatedUnit : public PtyService {
 public:
  explicit SimulatedUnit(UnitOptions options = {});
  ~SimulatedUnit();  // Stop()

  // Pacing; applies to bytes received and replies started after the call. 0: unpaced.
  void SetBaud(int baud);

  // --- Fault switches ---
  // Answer the next `frames` whole frames with code 1 (bad checksum), whatever their checksum.
  void SetBadChecksumFrames(int frames);
  // Replace the acknowledgement or the operation result of `command` (see ReplyFault: a code
  // with optional text, or silence). A fault with times == 0 removes the switch.
  void SetReplyFault(uint8_t command, Stage stage, const ReplyFault& fault);
  void ClearReplyFaults();
  // Hear and record everything but send nothing at all (no wake-up answer, no replies).
  void SetSilent(bool silent);
  // Answer to the wake-up byte 0x06: a byte (0x00 to play a unit that is not awake), or none.
  void SetWakeAnswer(std::optional<uint8_t> answer);
  // Bytes sent for each 'U' prompt instead of "#" (empty: no answer), each `spacingMs` after
  // the one before it (a unit that chatters before it is ready).
  void SetPromptAnswer(const std::string& bytes, int spacingMs = 0);
  // Send `bytes` before each of the next `replies` replies.
  void SetGarbage(const std::string& bytes, int replies = 1);
  // Close the master after `bytes` more bytes have been received (0: now). The line stays down
  // until Stop; Snapshot().hungUp tells it happened.
  void SetHangUpAfter(uint64_t bytes);
  // Delay before the operation result of Open (the erase), in ms. The unit takes in nothing
  // meanwhile: bytes that arrive during the erase are read once it is over.
  void SetEraseDelay(int ms);
  // Send every one of the next `replies` replies (frame replies and HEX verdicts) twice;
  // -1: all of them, 0: off.
  void SetDoubledReplies(int replies);
  // Send `text` every `everyMs` from now on, without end, whatever else happens (a peer that
  // keeps talking); an empty text stops it.
  void SetChatter(const std::string& text, int everyMs = 50);

  // --- HEX line transfer ---
  // A start record (type 0x64) opens a HEX transfer and is answered with one verdict byte; every
  // later line with five bytes: verdict, an unused byte, and the data bytes taken since the
  // start record as a 24-bit number, low byte first. The unit answers '+' for a line it takes,
  // '-' for a bad checksum and '?' for a line that is no record, too long, cut short or sent
  // before any start record.
  // Replies to the next lines, taken in order, each entry for its `lines` lines (see
  // HexLineFault); replaces what is left of an earlier script. An empty script clears it.
  void SetHexLineFaults(std::vector<HexLineFault> script);
  // Bytes sent for each start record instead of the unit's verdict byte (empty: no answer);
  // nullopt: the unit's own verdict again.
  void SetHexStartAnswer(std::optional<std::string> bytes);

  // --- Recording ---
  Recording Snapshot() const;
  void ClearRecording();

 private:
  struct Line;  // the thread's side: descriptors, send queue, pacing clocks

  void Run() override;
  // Thread side: reads what is there, feeds the core, hangs up when told.
  void ReceiveInput(Line& line);
  // Thread side: writes what is due; returns when it next has something to write.
  std::optional<Clock::time_point> Transmit(Line& line, Clock::time_point now);
  void HangUp(Line& line);
  // Thread side: puts the core's outputs in the send queue.
  void Queue(Line& line, std::vector<UnitCore::Output>& outputs);

  const UnitOptions options_;
  // Guarded by mutex_:
  UnitCore core_;
  int baud_ = 0;
  std::optional<uint64_t> hangUpAfter_;
};

}  // namespace kestrune::sim
