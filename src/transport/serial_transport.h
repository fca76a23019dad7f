// SPDX-License-Identifier: MIT
// The serial transport: a port opened through the serial library. Read takes a reply that is
// due soon from the port itself; for longer waits the port's reader thread fills a 2048-byte
// ring that Read empties on the user-interface thread.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "platform/run_context.h"
#include "serial/port_open_problem.h"
#include "transport/transport.h"

namespace kestrune {

class PublicSerialHandle;

class SerialTransport : public Transport {
 public:
  static constexpr uint32_t kRingSize = 2048;
  static constexpr uint32_t kReaderBuffer = 8192;
  // The longest a Read waits on the port without dispatching events.
  static constexpr uint32_t kDirectWaitMs = 20;

  // `settingsName` is kept for the caller ("Serial Settings") and not used otherwise. Without a
  // port, every Open takes the port the "serial" settings name at that moment; with one, the
  // driver keeps to that port whatever the settings say later, so a running copy of the program
  // is never redirected by another copy's settings.
  // The context (pump, profile, boxes) must outlive the transport.
  SerialTransport(const RunContext& context, const char* settingsName);
  SerialTransport(const RunContext& context, const char* settingsName, std::string port);
  ~SerialTransport() override;

  // Closes, then opens the driver's port (or the one the "serial" settings name) with the saved
  // line settings. 0 when the port opened, 1 when not.
  int Open() override;
  // Closes the port and stops its reader thread; returns the last-error word (0).
  int Close() override;
  // 0 when all bytes went out, 102 without a port or on a failed write, 100 for a short one.
  int Write(const uint8_t* data, unsigned length) override;
  // Takes up to `maximum` bytes, waiting until `timeLimitMs` has passed for the rest. For up to
  // kDirectWaitMs it waits on the port itself (a reply due to what was just written, read
  // without a hand-over); after that the wait blocks in the event pump and is woken by the
  // reader thread as data lands, so the window stays alive and no CPU is burnt. It ends early,
  // with what has come, when the engine asks to stop (receiveActive cleared, or stopRequest
  // set) or the port hangs up (LastError then says 102). A limit of 0 makes exactly one pass; a
  // maximum of 0 returns at once without dispatching anything.
  unsigned Read(uint8_t* buffer, unsigned maximum, unsigned timeLimitMs) override;
  std::string ErrorText(int code) override;
  // What the ring and the port hold; no dispatching.
  int WaitingBytes() override;
  int BusyCount() override { return inUse_.load(); }
  void Reopen() override;
  // 0, or 102 once the open port has hung up (until the next Open).
  int LastError() override { return hungUp_.load() ? int{kTransportDisconnect} : lastError_; }

  const std::string& PortName() const { return portName_; }
  const char* SettingsName() const { return settingsName_; }
  // Bytes the ring had to drop because unread data filled it.
  uint32_t DroppedBytes() const { return dropped_.load(); }

  // The port this driver keeps to; none when it follows the settings.
  const std::optional<std::string>& FixedPort() const { return fixedPort_; }
  void SetFixedPort(std::string port) { fixedPort_ = std::move(port); }

  // The reader thread's entry: stores a received block in the ring; an empty block is the
  // port's hang-up notice.
  static void Receive(const uint8_t* data, uint32_t length, void* context);
  // Stores a block as the reader thread would (also used by tests of the ring).
  void Store(const uint8_t* data, uint32_t length);

 private:
  // Writes to the diagnostic log why the port named in the settings did not open, from what
  // its open handed back.
  void LogOpenProblem(const PortOpenFailure& failure) const;
  // Copies the one contiguous stretch available from the read index on; returns its length.
  unsigned TakeStretch(uint8_t* out, unsigned wanted);
  // Whether a block just stored should wake the waiting Read: what it waits for is all in,
  // the ring is full, or a stop was asked for.
  bool WaiterSatisfied();

  const RunContext& context_;
  std::atomic<int> inUse_{0};
  std::optional<std::string> fixedPort_;
  std::string portName_;
  std::atomic<bool> hungUp_{false};
  // Single producer (reader thread) and single consumer (UI thread). The counts run freely and
  // the ring position is a count modulo kRingSize, so a full ring is told from an empty one
  // and all kRingSize bytes can be held.
  std::atomic<uint32_t> readCount_{0};
  std::atomic<uint32_t> writeCount_{0};
  uint8_t ring_[kRingSize] = {};
  std::atomic<uint32_t> dropped_{0};
  // The write count at which a waiting Read has all it wants; outside a wait it trails the
  // write count, so every block wakes the pump as before.
  std::atomic<uint32_t> wakeGoal_{0};
  // Orders the goal's store before the ring's look in Read against the ring's store before the
  // goal's look on the reader thread.
  std::atomic<uint32_t> handshake_{0};
  const char* settingsName_;
  int lastError_ = 0;
  std::unique_ptr<PublicSerialHandle> port_;
};

}  // namespace kestrune
