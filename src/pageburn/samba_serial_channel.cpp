// SPDX-License-Identifier: MIT
// The SAM-BA byte device over the serial library: a bounded receive buffer shared with the
// port's reader thread, and waits that block in the event pump instead of spinning.
#include "pageburn/samba_channel.h"

#include <algorithm>

#include "platform/event_pump.h"
#include "platform/tick_count.h"
#include "serial/serial_handle.h"

namespace kestrune {

SambaSerialChannel::SambaSerialChannel(const RunContext& context, PortLockScope lockScope)
    : context_(context), lockScope_(lockScope) {}

SambaSerialChannel::~SambaSerialChannel() {
  // Deleting the handle joins the reader thread, so no callback runs into a freed buffer.
  port_.reset();
}

bool SambaSerialChannel::Open(const std::string& port, int unused) {
  (void)unused;
  if (port_) {
    last_error_ = kErrorAlreadyOpen;
    return false;
  }
  port_.reset(PublicSerialHandle::Open(PortOwner{context_, lockScope_}, port, &SambaSerialChannel::Receive, this,
                                       kReadBufferSize, &openFailure_));
  return port_ != nullptr;
}

bool SambaSerialChannel::Reserved2(int argument) {
  (void)argument;
  return true;
}

bool SambaSerialChannel::Reserved3(int argument) {
  (void)argument;
  return true;
}

bool SambaSerialChannel::Reserved6() {
  return true;
}

int SambaSerialChannel::Reserved8(int argument) {
  (void)argument;
  return 0;
}

void SambaSerialChannel::Receive(const uint8_t* data, uint32_t length, void* context) {
  auto* channel = static_cast<SambaSerialChannel*>(context);
  channel->Store(data, length);
  channel->context_.pump.Wake();
}

void SambaSerialChannel::Store(const uint8_t* data, uint32_t length) {
  if (length == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t room = kMaxPending - std::min(buffer_.size(), kMaxPending);
  const size_t kept = std::min<size_t>(length, room);
  buffer_.append(reinterpret_cast<const char*>(data), kept);
  dropped_ += length - kept;
  total_ = static_cast<int32_t>(static_cast<uint32_t>(total_) + length);
}

bool SambaSerialChannel::WaitForData() {
  auto waiting = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    return !buffer_.empty();
  };
  if (waiting()) return true;
  const uint32_t deadline = TickCount() + kWaitMs;
  context_.pump.PumpOne();
  return context_.pump.WaitUntil(deadline, waiting);
}

bool SambaSerialChannel::Read(std::string& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  out += buffer_;
  buffer_.clear();
  return true;
}

bool SambaSerialChannel::Write(const std::string& text) {
  if (!port_) {
    last_error_ = kErrorWriteFailed;
    return false;
  }
  const uint32_t length = static_cast<uint32_t>(text.size());
  if (port_->Write(reinterpret_cast<const uint8_t*>(text.data()), length) != length) {
    last_error_ = kErrorWriteFailed;
    return false;
  }
  return true;
}

int32_t SambaSerialChannel::TotalReceived() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

uint64_t SambaSerialChannel::Dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

}  // namespace kestrune
