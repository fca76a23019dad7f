// SPDX-License-Identifier: MIT
// A simulated SAM-BA ROM monitor of a SAM3U chip, on the master side of a pseudo-terminal. The
// program or test under test opens the slave path as its USB CDC serial port and speaks the
// monitor's terminal mode to it: "V#" for the version, "w<addr>,4#" to read a word and
// "W<addr>,<value>#" to write one, through which it fills the page buffer, commands the flash
// controller and polls its status. The monitor records the flash it ends up with, the GPNVM
// bits and every command line, and can be told to misbehave.
//
// Threads: Start creates one monitor thread that blocks in poll() on the pty master and a
// wake-up pipe; it never spins. Every other member may be called from any thread; the switches
// and Snapshot are serialised with the monitor thread by one mutex and never wait on the line.
// A switch set during a run applies from the next command line the monitor completes.
//
// Ownership: the monitor owns the pty (master and one slave descriptor it keeps open so that
// the line stays up while no client has it open) and its thread. Stop, or destruction, ends
// the thread and closes both descriptors; clients still holding the slave then see a hang-up.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "pty_line.h"

#include "samba_monitor_core.h"

namespace kestrune::sim {

// Start, Stop, SlavePath and LastError come from PtyService; Stop returns promptly whatever
// the client is doing.
class SimulatedSamba : public PtyService {
 public:
  explicit SimulatedSamba(SambaOptions options = {});
  ~SimulatedSamba();  // Stop()

  // --- Timing ---
  // Every reply starts `ms` after the '#' of its command arrived (a chip behind USB answers a
  // frame or so late).
  void SetReplyDelay(int ms);
  // After each flash command carried out, EEFC_FSR reads with FRDY clear `reads` times, and
  // for at least `ms`.
  void SetFlashBusy(int reads, int ms = 0);

  // --- Fault switches ---
  // Hear, act on and record every command, send nothing at all.
  void SetSilent(bool silent);
  // The next `replies` replies come without their closing '>' (-1: every reply; 0: off).
  void SetNoPrompt(int replies);
  // Send `bytes` before each of the next `replies` replies.
  void SetGarbage(const std::string& bytes, int replies = 1);
  // EEFC_FSR never shows FRDY, and the flash controller refuses every command.
  void SetStuckBusy(bool stuck);
  // The flash was not erased before the run: each page write ANDs the page buffer into what
  // the page held (SambaOptions::oldImage says what that was).
  void SetNotErased(bool notErased);
  // Answer `commands` more command lines, then close the line as the next one ends, without
  // answering or carrying it out (a chip unplugged mid-transfer). 0: close now. The line stays
  // down until Stop; Snapshot().hungUp tells it happened.
  void SetHangUpAfterCommands(uint64_t commands);
  // Just before command line number `command` (the first line taken is 1) is carried out,
  // `change` edits the switches once, on the monitor thread under its lock: a fault that starts
  // at a chosen point of a download. An empty `change` disarms.
  void SetFaultsFromCommand(uint64_t command, std::function<void(SambaFaults&)> change);
  // Every fault and timing switch back to its start value, nothing armed. A line that has
  // already hung up stays down.
  void ClearFaults();

  // --- Recording ---
  // The flash, the GPNVM bits and what was received.
  SambaRecording Snapshot() const;
  // Forgets what was received; the flash and the GPNVM bits stay.
  void ClearRecording();

 private:
  struct Line;  // the thread's side: send queue and write state

  void Run() override;
  void ReceiveInput(Line& line);
  // Writes what is due; returns when it next has something to write.
  std::optional<Clock::time_point> Transmit(Line& line, Clock::time_point now);
  void HangUp(Line& line);

  // Guarded by mutex_:
  SambaMonitorCore core_;
  bool hangUpNow_ = false;
};

}  // namespace kestrune::sim
