// SPDX-License-Identifier: MIT
// Serial transport: replies read on the waiting thread, the ring buffer between the reader thread
// and Read for long waits, and the port's life.
#include "serial_transport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/diagnostic_log.h"
#include "platform/event_pump.h"
#include "platform/tick_count.h"
#include "serial/port_open_problem.h"
#include "serial/serial_handle.h"
#include "serial/serial_settings_model.h"

namespace kestrune {

SerialTransport::SerialTransport(const RunContext& context, const char* settingsName)
    : context_(context), settingsName_(settingsName) {}

SerialTransport::SerialTransport(const RunContext& context, const char* settingsName, std::string port)
    : context_(context), fixedPort_(std::move(port)), settingsName_(settingsName) {}

SerialTransport::~SerialTransport() {
  Close();
}

int SerialTransport::Open() {
  Close();
  SerialSettingsModel settings(context_, "serial");
  portName_ = fixedPort_ ? *fixedPort_ : settings.portText.empty() ? settings.storedPort : settings.portText;
  hungUp_ = false;
  PortOpenFailure failure;
  port_.reset(PublicSerialHandle::Open(PortOwner{context_}, portName_, &SerialTransport::Receive, this, kReaderBuffer,
                                       &failure));
  if (!port_) {
    LogOpenProblem(failure);
    return 1;
  }
  COMMCONFIG config{};
  port_->GetConfig(config);
  config.dcb = static_cast<const DCB&>(settings);
  port_->SetConfig(config);
  // Replies are read on the caller's thread; the reader takes over only for long waits.
  port_->HoldReader(true);
  return 0;
}

void SerialTransport::LogOpenProblem(const PortOpenFailure& failure) const {
  // The status line keeps its fixed text; the log says why, so the user can mend it.
  std::string line = PortOpenProblemLine(DevicePathOf(ComPortName(portName_)), failure,
                                         "choose the unit's serial port in Comms Setup, such as /dev/ttyUSB0");
  if (!line.empty() && line.back() == '\n') line.pop_back();
  context_.log.Printf("Cannot open serial port: %s", line.c_str());
}

int SerialTransport::Close() {
  if (!port_) return 0;
  // Deleting the handle joins its reader thread, so no callback can touch the ring after this.
  port_.reset();
  readCount_ = 0;
  writeCount_ = 0;
  wakeGoal_ = 0;
  return lastError_;
}

void SerialTransport::Reopen() {
  if (port_) {
    Close();
    Open();
  }
}

int SerialTransport::Write(const uint8_t* data, unsigned length) {
  if (!port_) return kTransportDisconnect;
  ++inUse_;
  const uint32_t written = port_->Write(data, length);
  --inUse_;
  if (written == length) return kTransportOk;
  // The library reports a failed or hung-up write as nothing written.
  return written == 0 && length > 0 ? kTransportDisconnect : kTransportTimeout;
}

int SerialTransport::WaitingBytes() {
  if (!port_) return 0;
  // Outside Read the reader is held, so nothing moves between the two counts.
  return static_cast<int>(writeCount_.load(std::memory_order_acquire) - readCount_.load() + port_->QueuedBytes());
}

void SerialTransport::Receive(const uint8_t* data, uint32_t length, void* context) {
  auto* driver = static_cast<SerialTransport*>(context);
  if (length == 0)
    driver->hungUp_ = true;
  else
    driver->Store(data, length);
  if (length == 0 || driver->WaiterSatisfied()) driver->context_.pump.Wake();
}

bool SerialTransport::WaiterSatisfied() {
  // Pairs with the handshake in Read: both sides touch one atomic between their store and
  // their look, so either Read sees these bytes when it looks at the ring, or this sees the
  // goal Read has set. (A read-modify-write, not a fence: ThreadSanitizer understands it.)
  handshake_.fetch_add(1, std::memory_order_acq_rel);
  const uint32_t write = writeCount_.load(std::memory_order_relaxed);
  const uint32_t read = readCount_.load(std::memory_order_relaxed);
  // A full ring cannot grow towards a larger goal; a stop must be seen at once.
  return static_cast<int32_t>(write - wakeGoal_.load(std::memory_order_relaxed)) >= 0 || write - read >= kRingSize ||
         receiveActive.load() == 0 || stopRequest.load() != 0;
}

void SerialTransport::Store(const uint8_t* data, uint32_t length) {
  const uint32_t read = readCount_.load(std::memory_order_acquire);
  const uint32_t write = writeCount_.load(std::memory_order_relaxed);
  // Unread bytes are never overwritten: what does not fit is dropped and counted. The unit's
  // replies are short and read before the next frame, so only a flood meets this.
  const uint32_t room = kRingSize - (write - read);
  if (length > room) {
    dropped_ += length - room;
    length = room;
  }
  const uint32_t at = write % kRingSize;
  const uint32_t first = std::min(length, kRingSize - at);
  std::memcpy(ring_ + at, data, first);
  std::memcpy(ring_, data + first, length - first);
  writeCount_.store(write + length, std::memory_order_release);
}

unsigned SerialTransport::TakeStretch(uint8_t* out, unsigned wanted) {
  const uint32_t write = writeCount_.load(std::memory_order_acquire);
  const uint32_t read = readCount_.load(std::memory_order_relaxed);
  const uint32_t at = read % kRingSize;
  const uint32_t available = std::min(write - read, kRingSize - at);
  const unsigned n = std::min<unsigned>(available, wanted);
  if (n == 0) return 0;
  std::memcpy(out, ring_ + at, n);
  readCount_.store(read + n, std::memory_order_release);
  return n;
}

unsigned SerialTransport::Read(uint8_t* buffer, unsigned maximum, unsigned timeLimitMs) {
  if (!port_) return 0;
  ++inUse_;
  receiveActive = 1;
  const uint32_t deadline = TickCount() + timeLimitMs;
  unsigned got = 0;
  if (maximum > 0) {
    // One pass takes what has arrived: what the reader handed over (a wrapped stretch comes in
    // two passes) and, `fromPort`, what waits in the port while the reader is held.
    auto take = [&](bool fromPort) {
      unsigned n;
      while (got < maximum && (n = TakeStretch(buffer + got, maximum - got)) > 0) got += n;
      if (fromPort && got < maximum) got += port_->Read(buffer + got, maximum - got);
      // A stop or a hang-up ends the wait with what has come; nothing more is worth waiting for.
      return got >= maximum || receiveActive.load() == 0 || stopRequest.load() != 0 || hungUp_.load();
    };
    context_.pump.PumpOne();
    auto left = [&] { return static_cast<uint32_t>(std::max(TickDiff(deadline, TickCount()), 0)); };
    if (!take(false) && left() > 0) {
      // A reply due soon is waited for on this thread, without dispatching events for that
      // short while: one wake-up, where a hand-over from the reader costs two threads theirs.
      got += port_->ReadAwaited(buffer + got, maximum - got, std::min(left(), kDirectWaitMs));
    }
    if (!take(true) && left() > 0) {
      // A long wait dispatches events, so the reader reads and wakes it only once everything
      // still wanted is in the ring (or on a hang-up or stop), not for every byte that
      // trickles in.
      port_->HoldReader(false);
      wakeGoal_.store(readCount_.load(std::memory_order_relaxed) + (maximum - got), std::memory_order_relaxed);
      handshake_.fetch_add(1, std::memory_order_acq_rel);
      port_->AwaitBytes(maximum - got);
      context_.pump.WaitUntil(deadline, [&] { return take(false); });
      port_->AwaitBytes(0);
      wakeGoal_.store(writeCount_.load(std::memory_order_relaxed), std::memory_order_relaxed);
      port_->HoldReader(true);
    }
  }
  --inUse_;
  return got;
}

std::string SerialTransport::ErrorText(int code) {
  switch (code) {
    case kTransportOk:
      return "RS232 no error";
    case kTransportTimeout:
      return "RS232 timeout ";
    case kTransportError:
      return "RS232 undefined error ";
    case kTransportDisconnect:
      return "RS232 disconnected ";
    default: {
      char text[32];
      std::snprintf(text, sizeof text, "Unknown E%d", code);
      return text;
    }
  }
}

}  // namespace kestrune
