// SPDX-License-Identifier: MIT
// The one way both programs touch a serial port: an exclusively opened port with an optional
// reader thread that hands every received chunk to a callback (unless the caller holds it and
// reads the port itself), line settings kept in the profile, and the port lock "myMutex"
// around port operations.
//
// Error convention of the serial layer: `bool` true for success; a failed open gives no handle
// (nullptr) and hands back the call that failed and its errno (PortOpenFailure, for
// PortOpenProblemLine); reads and writes return the count of bytes moved. Counts, not codes,
// leave this layer; errno is taken where a call fails.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "serial/dcb.h"
#include "serial/port_lock.h"
#include "serial/port_open_problem.h"
#include "serial/saved_line_settings.h"

namespace kestrune {

// Receives each chunk on the reader thread. `data` points into the handle's read buffer and is
// valid only during the call. Must return promptly (deleting the handle waits for it) and must
// not delete the handle that called it. Guarding whatever it writes to is the caller's task.
// One call with `length` 0 says the port hung up (device unplugged, far end gone): no more
// bytes will come. It may come from the reader thread or from a Write that found the port gone.
using SerialReceiveFn = void (*)(const uint8_t* data, uint32_t length, void* context);

// The name a port is opened under: "COM" followed by a number above 9 (with or without a
// colon) becomes "//./COM<n>"; every other name stays as given.
std::string ComPortName(const std::string& name);

// The device path that name is opened as: the same text with one trailing ':' dropped, so
// "COM3:"-style names kept by older profiles do no harm; a name without a '/' stands in the
// device folder ($KESTRUNE_DEV_ROOT, default /dev). Empty stays empty.
std::string DevicePathOf(const std::string& portName);

// A serial port. Created by Open, owned by its creator; deleting it closes the port. All
// operations are called from one thread (the caller's), except that the receive callback runs
// on the reader thread. The base operations do nothing.
// What a port handle uses of its program: the profile its line settings live in, the boxes a
// failed save shows and the log refused settings are written to (the context must outlive the
// handle), and which operations take the port lock.
struct PortOwner {
  const RunContext& context;
  PortLockScope lockScope = PortLockScope::kAllPortAccess;
};

class PublicSerialHandle {
 public:
  // Opens `portName` (see ComPortName and DevicePathOf). With a callback, a reader thread feeds
  // it chunks of up to `bufferSize` bytes as they arrive, and Open returns nullptr when the
  // port cannot be opened, `bufferSize` is 0, or the thread cannot start. Without a callback
  // Open always returns a handle; when the port did not open its Write and Read return 0 and
  // the rest acts on nothing. There are no notify windows on this platform: a `notifyWindow`
  // counts as asking for a reader, which then only counts the bytes it reads. `bufferSize` is
  // capped at kMaxReadBuffer. Applies the line settings saved in the profile section named
  // after the program. Blocks only for the open itself; no message is shown on failure. When
  // the port does not open, `failure` (if given) receives what the open ran into; otherwise
  // it is left with no call recorded.
  static PublicSerialHandle* Open(const PortOwner& owner, const std::string& portName, SerialReceiveFn callback,
                                  void* context, uint32_t bufferSize, PortOpenFailure* failure = nullptr,
                                  void* notifyWindow = nullptr, uint32_t notifyMessage = 0);

  static constexpr uint32_t kMaxReadBuffer = 1u << 20;

  PublicSerialHandle() = default;
  PublicSerialHandle(const PublicSerialHandle&) = delete;
  PublicSerialHandle& operator=(const PublicSerialHandle&) = delete;

  // Fills `config` (size 52, version 1, RS-232, no provider data, DCB length 28) and the
  // port's current DCB. Takes the port lock (at most 5000 ms).
  virtual void GetConfig(COMMCONFIG& config) { (void)config; }
  // Applies the configuration's DCB, then saves the port's actual settings to the profile
  // (a failed save shows one warning box). Takes the port lock (at most 5000 ms).
  virtual void SetConfig(const COMMCONFIG& config) { (void)config; }
  // Stops the reader thread, puts the port back as it was found and closes it; the close takes
  // the port lock (at most 5000 ms).
  virtual ~PublicSerialHandle() = default;
  // Shows the system's port dialog; there is none on this platform, so it does nothing.
  virtual void ConfigDialog() {}
  // Writes synchronously; returns the bytes written (fewer when the port accepted nothing for
  // kWriteStallMs), 0 when the port is not open, has hung up or the write fails.
  virtual uint32_t Write(const uint8_t* data, uint32_t length) {
    (void)data;
    (void)length;
    return 0;
  }
  // Direct read for handles without a reader: waits up to 10 ms per byte asked for plus
  // 100 ms (at most kMaxReadWaitMs) for `length` bytes and returns how many came. With a held
  // reader it takes what has arrived without waiting. Returns 0 at once while a reader thread
  // reads or when the port is not open.
  virtual uint32_t Read(uint8_t* buffer, uint32_t length) {
    (void)buffer;
    (void)length;
    return 0;
  }
  // The caller is waiting for `count` more bytes from the reader (0: for none). A reader that
  // has handed over only part of them may rest for the wire time of the rest before it looks
  // at the port again: they cannot arrive sooner, and the waiter wants them whole, so it is
  // woken once instead of once a byte.
  virtual void AwaitBytes(uint32_t count) { (void)count; }
  // While held, the reader thread reads nothing and watches only for a hang-up, and the
  // caller's own thread reads the port: Read hands over what has arrived without waiting,
  // ReadAwaited waits for a reply, QueuedBytes counts what waits unread. Whatever the reader
  // had handed over before stays with its callback. Saves a reader wake-up and a hand-over for
  // every reply the caller is waiting on anyway.
  virtual void HoldReader(bool hold) { (void)hold; }
  // Only while the reader is held: reads up to `length` bytes on the caller's thread, taking
  // no longer than `limitMs`. It first rests until they could all be in (the bytes written
  // last and these cannot cross the wire sooner), then reads. When part has come, it rests once
  // more for the wire time of the rest; bytes slower than that it waits for in poll. Returns 0
  // at once when that first rest alone would outlast `limitMs`. Returns early on a hang-up.
  virtual uint32_t ReadAwaited(uint8_t* buffer, uint32_t length, uint32_t limitMs) {
    (void)buffer;
    (void)length;
    (void)limitMs;
    return 0;
  }
  // Received bytes that wait unread in the port (not those a reader has handed over).
  virtual uint32_t QueuedBytes() { return 0; }
  // Stores the four line values in the profile and applies them to the port.
  virtual void SetLine(uint32_t baud, uint8_t dataBits, uint8_t stopBits, uint8_t parity) {
    (void)baud;
    (void)dataBits;
    (void)stopBits;
    (void)parity;
  }

  static constexpr uint32_t kWriteStallMs = 10000;
  static constexpr uint32_t kMaxReadWaitMs = 60000;
};

// The handle on this platform's serial ports.
class MySerialHandle : public PublicSerialHandle {
 public:
  // Opens the port exclusively (a second open of a held port fails, from any process),
  // loads and applies the saved line settings and allocates the read buffer. Starts no thread.
  MySerialHandle(const PortOwner& owner, const std::string& portName, uint32_t bufferSize);
  ~MySerialHandle() override;

  void GetConfig(COMMCONFIG& config) override;
  void SetConfig(const COMMCONFIG& config) override;
  void ConfigDialog() override {}
  uint32_t Write(const uint8_t* data, uint32_t length) override;
  uint32_t Read(uint8_t* buffer, uint32_t length) override;
  void SetLine(uint32_t baud, uint8_t dataBits, uint8_t stopBits, uint8_t parity) override;
  void AwaitBytes(uint32_t count) override;
  void HoldReader(bool hold) override;
  uint32_t ReadAwaited(uint8_t* buffer, uint32_t length, uint32_t limitMs) override;
  uint32_t QueuedBytes() override;

  // Keeps the current time-outs to put back at close and sets the ones for this handle's use:
  // reads return at once with what has arrived when a reader runs (or is about to start),
  // else 10 ms per byte plus 100 ms; writes have no total limit. Never takes the lock.
  virtual void ApplyTimeouts();

  bool IsOpen() const { return port_ != kNoPort; }
  // What the open ran into when the port did not open; no call recorded when it opened.
  const PortOpenFailure& OpenFailure() const { return openFailure_; }
  // True once the port hung up (device unplugged, far end of a pseudo-terminal closed).
  bool HungUp() const { return hungUp_.load(); }
  bool ReaderRunning() const { return readerRunning_.load(); }
  const std::string& PortName() const { return portName_; }
  const COMMTIMEOUTS& Timeouts() const { return timeouts_; }
  // All bytes delivered by Read and by the reader thread.
  uint32_t TotalRead() const { return totalRead_.load(); }

 private:
  friend class PublicSerialHandle;

  bool StartReader(SerialReceiveFn callback, void* context);
  void ReaderLoop();
  void StopReader();
  void ClosePort();
  void MarkHungUp();
  // After a chunk of `delivered` bytes whose arrival was seen at `seen`: rests for the wire
  // time of what is still awaited.
  // True when it rested: the awaited bytes are due, so the next pass reads without polling.
  bool RestForAwaited(uint32_t delivered, std::chrono::steady_clock::time_point seen);
  // Nanoseconds one byte takes on the wire at the line's settings; 0 when they are unknown.
  uint64_t ByteTimeNs() const;
  // Makes the reader thread look at its flags again.
  void PokeReader();
  bool LockTransfers() const { return lockScope_ == PortLockScope::kAllPortAccess; }

  SerialReceiveFn callback_ = nullptr;
  void* context_ = nullptr;
  PortHandle port_ = kNoPort;
  std::thread reader_;
  std::string portName_;
  PortOpenFailure openFailure_;
  COMMTIMEOUTS timeouts_{};
  COMMTIMEOUTS savedTimeouts_{};
  std::unique_ptr<uint8_t[]> readBuffer_;
  uint32_t readBufferSize_ = 0;
  std::unique_ptr<PortLock> lock_;
  std::optional<SavedLineSettings> line_;
  std::atomic<uint32_t> totalRead_{0};

  // What this platform adds: the state to put back at close, the reader's wake-up pipe and
  // the flags the two threads share.
  struct SavedState;
  std::unique_ptr<SavedState> saved_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  bool readerWanted_ = false;
  bool lineRefused_ = false;  // the last SetConfig was refused: nothing is written
  PortLockScope lockScope_ = PortLockScope::kAllPortAccess;
  MessageBoxes* boxes_ = nullptr;  // held back while the lock is held on the user-interface thread
  DiagnosticLog* log_ = nullptr;   // told why line settings were refused
  std::atomic<bool> closing_{false};
  std::atomic<bool> hungUp_{false};
  std::atomic<bool> readerRunning_{false};
  // Set by AwaitBytes on the caller's thread, counted down by the reader.
  std::atomic<uint32_t> awaited_{0};
  std::atomic<uint32_t> byteTimeNs_{0};
  // Set by HoldReader; the reader reads, and hands over, only while holding readMutex_ and
  // finding held_ clear, so a caller that has set it under the mutex has the port to itself.
  std::atomic<bool> held_{false};
  std::mutex readMutex_;
  // When the last Write began and how many bytes it was given (caller's thread only).
  std::chrono::steady_clock::time_point lastWriteStart_{};
  uint32_t lastWriteLength_ = 0;
};

}  // namespace kestrune
