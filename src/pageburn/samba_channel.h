// SPDX-License-Identifier: MIT
// The byte channel to the SAM-BA monitor: an abstract device, and its implementation over a
// serial port handle whose reader thread fills a receive buffer that the main thread drains.
//
// Error convention of the pageburn layer: `bool` true for success throughout (channel, monitor,
// flash writer), with the reason in the object's LastError() code; the run itself returns the
// program's exit code (PageburnExit) and the flag tables their own `int` codes, 0 for success.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/run_context.h"
#include "serial/port_lock.h"
#include "serial/port_open_problem.h"

namespace kestrune {

class PublicSerialHandle;

// Ten operations in a fixed order. Every bool result is true on success, false on failure (or
// time-out). All are called on the program's main thread.
class SambaChannel {
 public:
  // Releases the port, if one is open.
  virtual ~SambaChannel() = default;
  // Opens the port; the second argument is not used.
  virtual bool Open(const std::string& port, int unused) = 0;
  virtual bool Reserved2(int argument) = 0;
  virtual bool Reserved3(int argument) = 0;
  // Returns true as soon as received bytes are waiting, false when none came within 200 ms.
  // Blocks in the event pump meanwhile, dispatching its events.
  virtual bool WaitForData() = 0;
  // Appends every waiting byte to `out` and forgets them.
  virtual bool Read(std::string& out) = 0;
  virtual bool Reserved6() = 0;
  // Sends the text's bytes.
  virtual bool Write(const std::string& text) = 0;
  virtual int Reserved8(int argument) = 0;
  virtual int LastError() = 0;
};

// The device over a PublicSerialHandle. The handle's reader thread appends what it receives
// under a mutex and wakes the event pump; WaitForData blocks in the pump until then.
class SambaSerialChannel : public SambaChannel {
 public:
  static constexpr uint32_t kReadBufferSize = 8192;
  static constexpr uint32_t kWaitMs = 200;
  // Received bytes kept until read; what comes beyond is dropped and counted. The monitor's
  // replies are a few dozen bytes, read as they come, so only a flood reaches this.
  static constexpr size_t kMaxPending = 64 * 1024;

  static constexpr int kErrorNone = -1;          // at creation
  static constexpr int kErrorAlreadyOpen = -10;  // open on a device that has a port
  static constexpr int kErrorWriteFailed = -11;  // the port took fewer bytes than given

  // The port's line settings come from the context's profile; waits run its pump. pageburn's
  // transfers do not take the port lock (`lockScope`); opening, configuring and closing do.
  // The context must outlive the channel.
  explicit SambaSerialChannel(const RunContext& context, PortLockScope lockScope = PortLockScope::kConfigAndClose);
  // Closes the port (joining its reader thread) before the buffer goes.
  ~SambaSerialChannel() override;
  SambaSerialChannel(const SambaSerialChannel&) = delete;
  SambaSerialChannel& operator=(const SambaSerialChannel&) = delete;

  // Fails with kErrorAlreadyOpen when a port is open already (that port stays open), or when
  // the port cannot be opened with a reader thread.
  bool Open(const std::string& port, int unused = 0) override;
  bool Reserved2(int argument) override;
  bool Reserved3(int argument) override;
  bool WaitForData() override;
  bool Read(std::string& out) override;
  bool Reserved6() override;
  // Fails (kErrorWriteFailed) when there is no port or it took fewer bytes, e.g. after the
  // device hung up, so the caller need not wait for a reply that cannot come.
  bool Write(const std::string& text) override;
  int Reserved8(int argument) override;
  int LastError() override { return last_error_; }

  // The reader thread's entry: stores a received chunk and wakes the waiting main thread.
  static void Receive(const uint8_t* data, uint32_t length, void* context);
  // Stores a chunk as the reader thread does (tests of the buffer use it directly).
  void Store(const uint8_t* data, uint32_t length);

  bool HasPort() const { return port_ != nullptr; }
  // What the last Open's port ran into when it did not open; no call recorded otherwise.
  const PortOpenFailure& OpenFailure() const { return openFailure_; }
  int32_t TotalReceived() const;
  uint64_t Dropped() const;

 private:
  const RunContext& context_;
  PortLockScope lockScope_;
  mutable std::mutex mutex_;
  std::string buffer_;    // received, not yet read; at most kMaxPending bytes
  int32_t total_ = 0;     // every byte ever received (wraps as a 32-bit count)
  uint64_t dropped_ = 0;  // bytes that did not fit
  std::unique_ptr<PublicSerialHandle> port_;
  PortOpenFailure openFailure_;
  int last_error_ = kErrorNone;
};

}  // namespace kestrune
