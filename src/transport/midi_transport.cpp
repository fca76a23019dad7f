// SPDX-License-Identifier: MIT
// MIDI transport: SysEx envelopes, 7-in-8 packing, the receive queue fed by the MIDI thread and
// the acceptance rules for what comes back.
#include "midi_transport.h"

#include <algorithm>
#include <iterator>
#include <new>

#include "platform/event_pump.h"
#include "platform/tick_count.h"
#include "transport/midi_device_choice.h"

namespace kestrune {
namespace {

constexpr uint8_t kSysEx = 0xF0;
constexpr uint8_t kEndOfSysEx = 0xF7;
constexpr uint8_t kUniversalNonRealTime = 0x7E;
constexpr uint8_t kGeneralInformation = 0x06;
constexpr uint8_t kIdentityReply = 0x02;
constexpr uint8_t kManufacturer = 0x7D;
constexpr uint8_t kOwnHeader[] = {kSysEx, kManufacturer, 0x70, 0x01};
constexpr uint8_t kIdentityRequest[] = {kSysEx, kUniversalNonRealTime, 0x7F, kGeneralInformation, 0x01, kEndOfSysEx};
constexpr uint8_t kTypeFrame = 'T';
constexpr uint8_t kTypeIdentity = 'R';
constexpr uint8_t kTypePacked = 'U';  // the unit's packed replies

// The MIDI functions' texts, by number.
constexpr const char* kMidiTexts[] = {
    "no error",
    "unspecified error",
    "device ID out of range",
    "driver failed enable",
    "device already allocated",
    "device handle is invalid",
    "no device driver present",
    "memory allocation error",
    "function isn't supported",
    "error value out of range",
    "invalid flag passed",
    "invalid parameter passed",
    "handle being used simultaneously on another thread (eg callback)",
    "specified alias not found",
    "bad registry database",
    "registry key not found",
    "registry read error",
    "registry write error",
    "registry delete error",
    "registry value not found",
    "driver does not call DriverCallback",
    "last error in range",
};

}  // namespace

std::vector<uint8_t> PackSevenBit(const uint8_t* data, size_t length) {
  std::vector<uint8_t> out;
  out.reserve((length + 6) / 7 * 8);
  for (size_t at = 0; at < length; at += 7) {
    uint8_t s[7] = {};
    std::copy(data + at, data + std::min(length, at + 7), s);
    out.push_back(s[0] & 0x7F);
    for (int k = 1; k <= 6; ++k) {
      const int low = (s[k - 1] >> (8 - k)) & ((1 << k) - 1);
      out.push_back(static_cast<uint8_t>(low + ((s[k] << k) & 0x7F)));
    }
    out.push_back(s[6] >> 1);
  }
  return out;
}

size_t UnpackSevenBit(const uint8_t* packed, size_t length, uint8_t* out, size_t maximum) {
  size_t n = 0;
  for (size_t at = 0; at < length && n < maximum; at += 8) {
    uint8_t t[8] = {};
    std::copy(packed + at, packed + std::min(length, at + 8), t);
    for (int k = 0; k < 7 && n < maximum; ++k) out[n++] = static_cast<uint8_t>((t[k] >> k) + (t[k + 1] << (7 - k)));
  }
  return n;
}

MidiTransport::MidiTransport(const RunContext& context) : context_(context) {}

MidiTransport::MidiTransport(const RunContext& context, std::unique_ptr<MidiPorts> ports)
    : context_(context), ports_(std::move(ports)) {}

MidiTransport::~MidiTransport() {
  Close();
}

int MidiTransport::Open() {
  if (inputOpen_ || outputOpen_) Close();
  // Ports of the system are made afresh, so that an Open after a failed one sees an interface
  // plugged in or a MIDI system started since.
  if (ownPorts_) {
    ports_.reset();
    ownPorts_ = false;
  }
  if (!ports_) {
    ports_ = context_.MakeMidiPorts();
    ownPorts_ = true;
  }
  std::string inName, outName;
  ChooseMidiDevices(context_.profile, *ports_, inName, outName, true);
  // Each device is looked up by its name at the moment it is opened: opening the input adds
  // romsend's own port to the system's lists, and a number found before would be stale.
  const int in = FindMidiInput(*ports_, inName);
  int code = ports_->OpenInput(in, [this](const uint8_t* data, size_t length) { Receive(data, length); });
  inputOpen_ = code == kMidiOk;
  if (code != kMidiOk) return code;
  code = ports_->OpenOutput(FindMidiOutput(*ports_, outName));
  outputOpen_ = code == kMidiOk;
  return code;
}

int MidiTransport::Close() {
  int inCode = kMidiOk, outCode = kMidiOk;
  if (ports_ && inputOpen_) {
    inCode = ports_->CloseInput();
    inputOpen_ = false;
  }
  {
    // No message can arrive any more: the input is closed (or was never open).
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.clear();
  }
  if (ports_ && outputOpen_) {
    outCode = ports_->CloseOutput();
    outputOpen_ = false;
  }
  if (ownPorts_) {
    ports_.reset();
    ownPorts_ = false;
  }
  return inCode != kMidiOk ? inCode : outCode;
}

int MidiTransport::Write(const uint8_t* data, unsigned length) {
  if (!outputOpen_) return kMidiInvalidHandle;
  std::vector<uint8_t> message;
  try {
    if (messageType == kTypeIdentity) {
      message.assign(std::begin(kIdentityRequest), std::end(kIdentityRequest));
    } else {
      message.assign(std::begin(kOwnHeader), std::end(kOwnHeader));
      message.push_back(messageType);
      if (messageType == kTypeFrame) {
        const std::vector<uint8_t> packed = PackSevenBit(data, length);
        message.insert(message.end(), packed.begin(), packed.end());
      } else if (length > 0) {
        if (std::any_of(data, data + length, [](uint8_t b) { return b > 0x7F; })) return kMidiInvalidParam;
        message.insert(message.end(), data, data + length);
      }
      message.push_back(kEndOfSysEx);
    }
  } catch (const std::bad_alloc&) {
    return kMidiNoMemory;
  }
  return ports_->SendSysEx(message.data(), message.size());
}

void MidiTransport::Receive(const uint8_t* data, size_t length) {
  // Short messages (notes, controllers, clock) are nothing to the driver.
  if (length == 0 || (data[0] != kSysEx && data[0] >= 0x80)) return;
  // Only a message's first block is ever read; the blocks behind it are not kept, so no
  // stretch of a long message that happens to start with F0 can pass for a message of its own.
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (queue_.size() >= kMaxQueuedBlocks) {
      ++dropped_;
      return;
    }
    queue_.emplace_back(data, data + std::min(length, kBlockSize));
  }
  context_.pump.Wake();
}

bool MidiTransport::TakeBlock(Block& block) {
  std::lock_guard<std::mutex> lock(queueMutex_);
  if (queue_.empty()) return false;
  block = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

bool MidiTransport::Examine(const Block& block, uint8_t* buffer, unsigned maximum, unsigned& delivered) {
  const size_t size = block.size();
  // A continuation of a long message, or anything else that is no message start.
  if (size < 2 || block[0] != kSysEx) return false;
  if (block[1] == kUniversalNonRealTime) {
    if (size < 5 || block[3] != kGeneralInformation) return false;  // another Universal message
    receivedType = block[4];
    if (size < 6 || block[4] != kIdentityReply || block[5] != kManufacturer) return false;
    const size_t n = size > 7 ? std::min<size_t>(size - 7, maximum) : 0;
    std::copy(block.begin() + 6, block.begin() + 6 + static_cast<std::ptrdiff_t>(n), buffer);
    delivered = static_cast<unsigned>(n);
    return true;
  }
  // The unit's own message: its type is the fifth byte, its data runs from the sixth byte to
  // the one before the final F7.
  if (size < 5) return false;
  receivedType = block[4];
  const uint8_t* body = block.data() + 5;
  const size_t bodySize = size > 6 ? size - 6 : 0;
  if (receivedType == kTypePacked) {
    delivered = static_cast<unsigned>(UnpackSevenBit(body, bodySize, buffer, maximum));
  } else {
    const size_t n = std::min<size_t>(bodySize, maximum);
    std::copy(body, body + n, buffer);
    delivered = static_cast<unsigned>(n);
  }
  return true;
}

unsigned MidiTransport::Read(uint8_t* buffer, unsigned maximum, unsigned timeLimitMs) {
  receiveActive = 1;
  if (timeLimitMs == 0 || !inputOpen_) return 0;
  const uint32_t deadline = TickCount() + timeLimitMs;
  unsigned delivered = 0;
  bool taken = false;
  auto ready = [&] {
    if (receiveActive.load() == 0) return true;
    Block block;
    while (!taken && TakeBlock(block)) taken = Examine(block, buffer, maximum, delivered);
    return taken;
  };
  if (!ready()) context_.pump.WaitUntil(deadline, ready);
  return taken ? delivered : 0;
}

std::string MidiTransport::ErrorText(int code) {
  if (code >= 0 && code < static_cast<int>(std::size(kMidiTexts))) return kMidiTexts[code];
  return Transport::ErrorText(code);
}

}  // namespace kestrune
