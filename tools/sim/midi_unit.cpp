// SPDX-License-Identifier: MIT
// The MIDI side of the simulated unit: SysEx envelopes, the identity reply, 7-in-8 packing and
// the boot-loader core behind them.
#include "midi_unit.h"

#include <algorithm>
#include <iterator>
#include <system_error>

namespace kestrune::sim {
namespace {

constexpr uint8_t kSysEx = 0xF0;
constexpr uint8_t kEndOfSysEx = 0xF7;
constexpr uint8_t kUniversalNonRealTime = 0x7E;
constexpr uint8_t kGeneralInformation = 0x06;
constexpr uint8_t kIdentityRequest = 0x01;
constexpr uint8_t kIdentityReply = 0x02;
constexpr uint8_t kManufacturer = 0x7D;
// The unit's own messages: F0 7D 70 01 <type> <data> F7.
constexpr uint8_t kOwnHeader[] = {kSysEx, kManufacturer, 0x70, 0x01};
constexpr size_t kOwnHeaderSize = sizeof kOwnHeader + 1;  // with the type byte
constexpr uint8_t kTypeFrame = 'T';
constexpr uint8_t kTypeReply = 'U';
constexpr uint8_t kTypeReboot = 'V';
constexpr uint8_t kTypeRebootAnswer = 'W';
constexpr size_t kFrameHeader = 6;

// 8-bit bytes into 7-bit ones: the bits of each group of 7 bytes, least significant first,
// 7 at a time; a short last group is filled up with zero bytes.
std::vector<uint8_t> Pack(const std::string& bytes) {
  std::vector<uint8_t> out;
  const size_t groups = (bytes.size() + 6) / 7;
  for (size_t g = 0; g < groups; ++g) {
    uint64_t bits = 0;
    for (size_t i = 0; i < 7; ++i) {
      const size_t at = g * 7 + i;
      const uint64_t b = at < bytes.size() ? static_cast<uint8_t>(bytes[at]) : 0;
      bits |= b << (8 * i);
    }
    for (size_t i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(bits >> (7 * i) & 0x7F));
  }
  return out;
}

// The inverse, for whole groups of 8 (a short last group counts its missing bytes as zero).
std::vector<uint8_t> Unpack(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  const size_t groups = (size + 7) / 8;
  for (size_t g = 0; g < groups; ++g) {
    uint64_t bits = 0;
    for (size_t i = 0; i < 8; ++i) {
      const size_t at = g * 8 + i;
      const uint64_t b = at < size ? data[at] & 0x7F : 0;
      bits |= b << (7 * i);
    }
    for (size_t i = 0; i < 7; ++i) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  }
  return out;
}

std::vector<uint8_t> OwnMessage(uint8_t type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> m(std::begin(kOwnHeader), std::end(kOwnHeader));
  m.push_back(type);
  m.insert(m.end(), data.begin(), data.end());
  m.push_back(kEndOfSysEx);
  return m;
}

}  // namespace

std::string IdentityText(const MidiIdentity& identity) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>";
  auto add = [&](const char* key, const std::optional<std::string>& value) {
    if (value) xml += std::string("<key>") + key + "</key><string>" + *value + "</string>";
  };
  add("TypeNumber", identity.typeNumber);
  add("AppName", identity.appName);
  add("IdNumber", identity.idNumber);
  add("SerialNumber", identity.serialNumber);
  return xml + "</dict></plist>";
}

MidiUnit::MidiUnit(MidiUnitOptions options)
    : options_(std::move(options)),
      core_(std::chrono::milliseconds(options_.frameGapMs)),
      identity_(options_.identity) {
  core_.StartFrames();
}

MidiUnit::~MidiUnit() {
  Stop();
}

bool MidiUnit::Start(MidiDeviceEnd& end) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) return false;
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      return false;
    }
    started_ = true;
    end_ = &end;
  }
  // Outside the mutex: the end's delivery holds its own lock while it calls the receiver,
  // which takes the mutex.
  end.SetReceiver([this](const uint8_t* data, size_t length) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      inbox_.emplace_back(data, data + length);
    }
    cv_.notify_all();
  });
  return true;
}

void MidiUnit::Stop() {
  MidiDeviceEnd* end = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    end = end_;
  }
  // Once this returns no message is being queued, so the thread can end for good.
  if (end) end->SetReceiver(nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    end_ = nullptr;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void MidiUnit::SetIdentity(const MidiIdentity& identity) {
  std::lock_guard<std::mutex> lock(mutex_);
  identity_ = identity;
}

void MidiUnit::SetAnswerIdentity(bool answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answerIdentity_ = answer;
}

void MidiUnit::SetAnswerReboot(bool answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answerReboot_ = answer;
}

void MidiUnit::SetReplyFault(uint8_t command, Stage stage, const ReplyFault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fault.times == 0) {
    core_.faults().replies.erase({command, stage});
  } else {
    core_.faults().replies[{command, stage}] = fault;
  }
}

void MidiUnit::SetBadChecksumFrames(int frames) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().badChecksumFrames = frames;
}

void MidiUnit::SetEraseDelay(int ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().eraseDelayMs = ms;
}

void MidiUnit::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  silent_ = silent;
}

MidiRecording MidiUnit::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  MidiRecording r = recording_;
  r.core = core_.recording();
  return r;
}

size_t MidiUnit::RepliesPending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outbox_.size();
}

void MidiUnit::ClearRecording() {
  std::lock_guard<std::mutex> lock(mutex_);
  recording_ = MidiRecording{};
  core_.recording() = Recording{};
}

void MidiUnit::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopping_) return;
    const Clock::time_point now = Clock::now();
    while (!inbox_.empty()) {
      const std::vector<uint8_t> message = std::move(inbox_.front());
      inbox_.pop_front();
      Take(message, now);
    }
    // Replies go out in order, each not before its time.
    while (!outbox_.empty() && outbox_.front().notBefore <= Clock::now()) {
      const std::vector<uint8_t> message = std::move(outbox_.front().message);
      outbox_.pop_front();
      if (silent_ || !end_) continue;
      ++recording_.messagesSent;
      end_->Send(message.data(), message.size());
    }
    auto wake = [this] { return stopping_ || !inbox_.empty(); };
    if (outbox_.empty()) {
      cv_.wait(lock, wake);
    } else {
      cv_.wait_until(lock, outbox_.front().notBefore, wake);
    }
  }
}

void MidiUnit::Queue(Clock::time_point at, std::vector<uint8_t> message) {
  outbox_.push_back(Due{at, std::move(message)});
}

void MidiUnit::Take(const std::vector<uint8_t>& m, Clock::time_point now) {
  const size_t size = m.size();
  const bool sysEx = size >= 2 && m[0] == kSysEx && m[size - 1] == kEndOfSysEx;
  if (sysEx && size == 6 && m[1] == kUniversalNonRealTime && m[3] == kGeneralInformation && m[4] == kIdentityRequest) {
    ++recording_.identityRequests;
    // A host that asks who is there starts a session: whatever was half received is gone.
    core_.StartFrames();
    if (!answerIdentity_) return;
    std::vector<uint8_t> reply = {kSysEx,         kUniversalNonRealTime, identity_.deviceId, kGeneralInformation,
                                  kIdentityReply, kManufacturer};
    const std::string text = IdentityText(identity_);
    for (char c : text) reply.push_back(static_cast<uint8_t>(c) & 0x7F);
    reply.push_back(kEndOfSysEx);
    Queue(now, std::move(reply));
    return;
  }
  if (!sysEx || size < kOwnHeaderSize + 1 || !std::equal(std::begin(kOwnHeader), std::end(kOwnHeader), m.begin())) {
    ++recording_.otherMessages;
    return;
  }
  switch (m[4]) {
    case kTypeFrame:
      ++recording_.frameMessages;
      TakeFrame(m, now);
      return;
    case kTypeReboot:
      ++recording_.rebootRequests;
      if (answerReboot_) Queue(now, OwnMessage(kTypeRebootAnswer, {0x00}));
      return;
    default:
      ++recording_.otherMessages;
      return;
  }
}

void MidiUnit::TakeFrame(const std::vector<uint8_t>& m, Clock::time_point now) {
  std::vector<uint8_t> frame = Unpack(m.data() + kOwnHeaderSize, m.size() - kOwnHeaderSize - 1);
  // The zero bytes that fill up the last group are no part of the frame: its header says how
  // long it is. A frame shorter than that is held for the frame gap and then refused as short,
  // as on a serial line.
  if (frame.size() >= kFrameHeader) {
    const size_t announced = kFrameHeader + (static_cast<size_t>(frame[4]) << 8 | frame[5]) + 1;
    if (frame.size() > announced) frame.resize(announced);
  }
  // Every message is a frame of its own; a Reboot that put the core to sleep is over MIDI just
  // the end of that session.
  core_.StartFrames();
  std::vector<UnitCore::Output> out;
  for (uint8_t b : frame) core_.Receive(b, now, out);
  core_.Expire(now + std::chrono::milliseconds(options_.frameGapMs), out);
  for (UnitCore::Output& o : out) Queue(o.notBefore, OwnMessage(kTypeReply, Pack(o.bytes)));
}

}  // namespace kestrune::sim
