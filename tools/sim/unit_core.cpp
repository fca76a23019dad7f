// SPDX-License-Identifier: MIT
// Session, framing and replies of the simulated boot loader.
#include "unit_core.h"

#include "hex_digit.h"

#include <algorithm>
#include <array>

namespace kestrune::sim {
namespace {

constexpr uint8_t kWakeUp = 0x06;
constexpr uint8_t kLoaderPrompt = 'U';
constexpr uint8_t kSyncDone = 'A';
constexpr uint8_t kLineStart = ':';
constexpr size_t kHeaderSize = 6;
constexpr uint16_t kHeaderLength = 6;         // value of a frame's first field
constexpr size_t kDataHeaderSize = 10;        // Send Data: size, tag word, block index, byte count
constexpr size_t kMaxReplyText = 0x7fff - 6;  // the reply's length field is a signed 16-bit number

// Verdicts on a HEX line. The unit itself refuses a damaged line as a bad send (the host sends it
// again) and a line that is no record it can take as a bad message; the others come from faults.
constexpr uint8_t kVerdictTaken = '+';
constexpr uint8_t kVerdictBadSend = '-';
constexpr uint8_t kVerdictBadMsg = '?';

// Intel HEX record types besides the start record.
constexpr uint8_t kHexData = 0x00;
constexpr uint8_t kHexEnd = 0x01;
constexpr uint8_t kHexSegment = 0x02;
constexpr uint8_t kHexStartSegment = 0x03;
constexpr uint8_t kHexLinear = 0x04;
constexpr uint8_t kHexStartLinear = 0x05;
// Byte count, two address bytes, type and checksum around the data of a record.
constexpr size_t kHexFrameBytes = 5;
constexpr size_t kHexMaxRecordBytes = kHexFrameBytes + 255;
// Second data byte of the start record: the kind of HEX file that follows.
constexpr uint8_t kHexKindPlain = 0x04;
constexpr uint8_t kHexKind2 = 0x08;

uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}
void PutBe16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v >> 8));
  s.push_back(static_cast<char>(v & 0xff));
}

}  // namespace

std::string BuildReply(uint8_t command, int16_t code, const std::string& text) {
  const size_t textSize = std::min(text.size(), kMaxReplyText);
  std::string r;
  r.reserve(13 + textSize);
  PutBe16(r, kHeaderLength);
  r.push_back(static_cast<char>(command));
  r.push_back('\0');
  PutBe16(r, static_cast<uint16_t>(6 + textSize));
  PutBe16(r, static_cast<uint16_t>(code));
  r.append(4, '\0');
  r.append(text, 0, textSize);
  uint8_t sum = 0;
  for (char c : r) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  r.push_back(static_cast<char>(static_cast<uint8_t>(-sum)));
  return r;
}

HexRecord ParseHexRecord(const std::string& line) {
  HexRecord r;
  size_t end = line.size();
  while (end > 0 && line[end - 1] == ' ') --end;
  if (end < 1 + 2 * kHexFrameBytes || line[0] != kLineStart || (end - 1) % 2 != 0 || (end - 1) / 2 > kHexMaxRecordBytes)
    return r;
  const size_t n = (end - 1) / 2;
  std::array<uint8_t, kHexMaxRecordBytes> bytes{};
  uint8_t sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const int hi = HexDigit(line[1 + 2 * i]);
    const int lo = HexDigit(line[2 + 2 * i]);
    if (hi < 0 || lo < 0) return r;
    bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
    sum = static_cast<uint8_t>(sum + bytes[i]);
  }
  const size_t count = bytes[0];
  if (count + kHexFrameBytes != n) return r;
  r.address = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
  r.type = bytes[3];
  r.data.assign(bytes.begin() + 4, bytes.begin() + 4 + static_cast<std::ptrdiff_t>(count));
  // A damaged byte shows in the checksum first, whichever field it hit.
  if (sum != 0) {
    r.check = HexRecord::Check::kBadChecksum;
    return r;
  }
  bool fits = false;
  switch (r.type) {
    case kHexData:
    case kHexStartType:  // its fields are the session's business
      fits = true;
      break;
    case kHexEnd:
      fits = count == 0;
      break;
    case kHexSegment:
    case kHexLinear:
      fits = count == 2;
      break;
    case kHexStartSegment:
    case kHexStartLinear:
      fits = count == 4;
      break;
    default:
      break;
  }
  r.check = fits ? HexRecord::Check::kGood : HexRecord::Check::kBadFormat;
  return r;
}

UnitCore::UnitCore(std::chrono::milliseconds frameGap) : frameGap_(frameGap) {
  buffer_.reserve(64);
}

void UnitCore::Receive(uint8_t byte, Clock::time_point arrival, std::vector<Output>& out) {
  ++recording_.bytesReceived;
  // An erasing boot loader reads nothing; what came meanwhile is taken once the erase is done.
  arrival = std::max(arrival, busyUntil_);
  lastArrival_ = arrival;
  switch (session_) {
    case Session::kAsleep:
      // Asleep the boot loader listens for the wake-up byte only.
      if (byte == kWakeUp) AnswerWakeUp(arrival, out);
      return;
    case Session::kSync:
      if (byte == kWakeUp) {
        AnswerWakeUp(arrival, out);
      } else if (byte == kLoaderPrompt) {
        AnswerPrompt(arrival, out);
      } else if (byte == kSyncDone) {
        ++recording_.syncs;
        session_ = Session::kFrames;
        frame_ = Frame::kIdle;
      }
      return;  // anything else is line noise while the host adjusts
    case Session::kFrames:
      break;
  }
  switch (frame_) {
    case Frame::kIdle:
      ReceiveBetweenFrames(byte, arrival, out);
      return;
    case Frame::kHeader:
      buffer_.push_back(byte);
      if (buffer_.size() == kHeaderSize) HeaderComplete();
      return;
    case Frame::kBody:
      buffer_.push_back(byte);
      if (buffer_.size() == expected_) FrameComplete(arrival, out);
      return;
    case Frame::kDrain:
      return;  // swallowed until the line falls quiet (Expire)
    case Frame::kHexLine:
      if (byte == 0x00) {
        HexLineComplete(false, arrival, out);
      } else if (hexLine_.size() < kMaxHexLine) {
        hexLine_.push_back(static_cast<char>(byte));
      } else {
        hexOverlong_ = true;
      }
      return;
  }
}

void UnitCore::ReceiveBetweenFrames(uint8_t byte, Clock::time_point at, std::vector<Output>& out) {
  // The first byte tells what comes: a frame starts with the high byte of its header length
  // (0); a host that starts a new session sends the wake-up byte or a prompt; a HEX line starts
  // with ':'. Once a start record has opened a HEX transfer, the host sends whatever its file
  // holds up to a NUL, so then every other byte starts a line (a 'U' included).
  if (byte == 0x00) {
    buffer_.clear();
    buffer_.push_back(byte);
    frame_ = Frame::kHeader;
  } else if (byte == kWakeUp) {
    session_ = Session::kSync;
    AnswerWakeUp(at, out);
  } else if (byte == kLoaderPrompt && !hexSession_) {
    session_ = Session::kSync;
    AnswerPrompt(at, out);
  } else if (byte == kLineStart || hexSession_) {
    StartHexLine(byte);
  } else {
    buffer_.clear();
    frame_ = Frame::kDrain;  // not a frame: wait for quiet, then ask for the whole frame again
  }
}

void UnitCore::AnswerWakeUp(Clock::time_point at, std::vector<Output>& out) {
  ++recording_.wakeUps;
  session_ = Session::kSync;
  hexSession_ = false;
  hexTotal_ = 0;
  if (faults_.wakeAnswer) Emit(at, std::string(1, static_cast<char>(*faults_.wakeAnswer)), out);
}

void UnitCore::AnswerPrompt(Clock::time_point at, std::vector<Output>& out) {
  ++recording_.prompts;
  hexSession_ = false;
  hexTotal_ = 0;
  const std::string& answer = faults_.promptAnswer;
  if (faults_.promptSpacingMs <= 0) {
    if (!answer.empty()) Emit(at, answer, out);
    return;
  }
  const std::chrono::milliseconds spacing(faults_.promptSpacingMs);
  for (size_t i = 0; i < answer.size(); ++i) Emit(at + spacing * static_cast<int>(i), answer.substr(i, 1), out);
}

void UnitCore::HeaderComplete() {
  const size_t payload = Be16(&buffer_[4]);
  // The length field is the host's word only: a header that is not ours or a payload that no
  // host buffer could hold is not read by its length but drained until the line is quiet.
  if (Be16(&buffer_[0]) != kHeaderLength || buffer_[3] != 0 || payload > kMaxPayload) {
    frame_ = Frame::kDrain;
    return;
  }
  expected_ = kHeaderSize + payload + 1;
  buffer_.reserve(expected_);
  frame_ = Frame::kBody;
}

void UnitCore::FrameComplete(Clock::time_point at, std::vector<Output>& out) {
  frame_ = Frame::kIdle;
  ++recording_.frames;
  lastCommand_ = buffer_[2];
  uint8_t sum = 0;
  for (uint8_t b : buffer_) sum = static_cast<uint8_t>(sum + b);
  if (sum != 0 || faults_.badChecksumFrames > 0) {
    if (sum == 0) --faults_.badChecksumFrames;
    Refuse(kCodeBadChecksum, at, out);
    return;
  }
  Perform(buffer_[2], buffer_.data() + kHeaderSize, buffer_.size() - kHeaderSize - 1, at, out);
}

void UnitCore::Expire(Clock::time_point now, std::vector<Output>& out) {
  if (faults_.chatter.empty()) {
    nextChatter_.reset();
  } else if (!nextChatter_ || now >= *nextChatter_) {
    Emit(now, faults_.chatter, out);
    nextChatter_ = now + std::chrono::milliseconds(std::max(1, faults_.chatterEveryMs));
  }
  if (frame_ == Frame::kIdle || session_ != Session::kFrames) return;
  const Clock::time_point limit = lastArrival_ + frameGap_;
  if (now < limit) return;
  if (frame_ == Frame::kHexLine) {
    HexLineComplete(true, limit, out);
    return;
  }
  // A frame that stopped short of its announced length, or bytes that were no frame at all:
  // the host is asked to send the whole frame again.
  frame_ = Frame::kIdle;
  ++recording_.frames;
  lastCommand_ = buffer_.size() > 2 ? buffer_[2] : 0;
  Refuse(kCodeShortMessage, limit, out);
}

std::optional<Clock::time_point> UnitCore::Deadline() const {
  std::optional<Clock::time_point> next;
  if (!faults_.chatter.empty() && nextChatter_) next = *nextChatter_;
  if (frame_ == Frame::kIdle || session_ != Session::kFrames) return next;
  const Clock::time_point gap = lastArrival_ + frameGap_;
  return next ? std::min(*next, gap) : gap;
}

void UnitCore::StartFrames() {
  session_ = Session::kFrames;
  frame_ = Frame::kIdle;
  buffer_.clear();
  hexSession_ = false;
  hexTotal_ = 0;
}

void UnitCore::Refuse(int16_t code, Clock::time_point at, std::vector<Output>& out) {
  ++recording_.badFrames;
  SendReply(lastCommand_, code, {}, at, out);
}

void UnitCore::Perform(uint8_t command, const uint8_t* payload, size_t size, Clock::time_point at,
                       std::vector<Output>& out) {
  if (command == kCmdSendData) {
    // The data header must describe the bytes that follow it; otherwise the frame is short of
    // what it announces and the host sends it again.
    if (size < kDataHeaderSize || Be16(payload) != kDataHeaderSize || Be32(payload + 6) != size - kDataHeaderSize) {
      Refuse(kCodeShortMessage, at, out);
      return;
    }
    recording_.chunks.push_back(
        DataChunk{Be16(payload + 2), Be16(payload + 4), {payload + kDataHeaderSize, payload + size}});
  } else if (command == kCmdOpen) {
    recording_.imageHeader.assign(payload, payload + size);
  }
  recording_.commands.push_back(command);

  std::string ack;
  std::optional<ReplyFault> fault = TakeFault(command, Stage::kAck);
  if (fault && (fault->kind == ReplyFault::Kind::kCode || fault->kind == ReplyFault::Kind::kSilent)) {
    // A refused or unanswered acknowledgement ends the frame: no operation result follows.
    if (fault->kind == ReplyFault::Kind::kCode) Emit(at, ReplyBytes(command, fault->code, fault->text), out);
    return;
  }
  ack = ReplyBytes(command, fault ? fault->code : kCodeOk, fault ? fault->text : std::string(),
                   fault ? fault->kind : ReplyFault::Kind::kCode);

  const bool known = command == kCmdOpen || command == kCmdSendData || command == kCmdClose || command == kCmdReboot;
  int16_t code = known ? kCodeOk : kCodeAborted;
  std::string text;
  ReplyFault::Kind shape = ReplyFault::Kind::kCode;
  if (auto resultFault = TakeFault(command, Stage::kResult)) {
    if (resultFault->kind == ReplyFault::Kind::kSilent) {
      Emit(at, std::move(ack), out);
      return;
    }
    code = resultFault->code;
    text = resultFault->text;
    shape = resultFault->kind;
  }
  // Opening erases the target area, which is what a slow erase stretches.
  const Clock::time_point done =
      command == kCmdOpen ? at + std::chrono::milliseconds(std::max(0, faults_.eraseDelayMs)) : at;
  busyUntil_ = std::max(busyUntil_, done);
  Emit(at, std::move(ack), out);
  Emit(done, ReplyBytes(command, code, text, shape), out);
  if (command == kCmdReboot && code == kCodeOk) {
    session_ = Session::kAsleep;
    frame_ = Frame::kIdle;
  }
}

std::optional<ReplyFault> UnitCore::TakeFault(uint8_t command, Stage stage) {
  auto it = faults_.replies.find({command, stage});
  if (it == faults_.replies.end()) return std::nullopt;
  if (it->second.after > 0) {
    --it->second.after;
    return std::nullopt;
  }
  ReplyFault fault = it->second;
  if (it->second.times > 0 && --it->second.times == 0) faults_.replies.erase(it);
  return fault;
}

void UnitCore::SendReply(uint8_t command, int16_t code, const std::string& text, Clock::time_point at,
                         std::vector<Output>& out) {
  Emit(at, ReplyBytes(command, code, text), out);
}

std::string UnitCore::ReplyBytes(uint8_t command, int16_t code, const std::string& text, ReplyFault::Kind shape) {
  std::string bytes;
  if (faults_.garbageReplies > 0 && !faults_.garbage.empty()) {
    --faults_.garbageReplies;
    bytes = faults_.garbage;
  }
  std::string reply = BuildReply(command, code, text);
  if (shape == ReplyFault::Kind::kBadChecksum) reply.back() = static_cast<char>(reply.back() ^ 0x5a);
  if (shape == ReplyFault::Kind::kBadHeader) {
    // The checksum still fits, so only the header gives it away.
    reply[1] = 0x07;
    reply.back() = static_cast<char>(reply.back() - 1);
  }
  bytes += reply;
  return TakeDoubling(std::move(bytes));
}

std::string UnitCore::TakeDoubling(std::string bytes) {
  if (faults_.doubledReplies == 0) return bytes;
  if (faults_.doubledReplies > 0) --faults_.doubledReplies;
  return bytes + bytes;
}

void UnitCore::Emit(Clock::time_point at, std::string bytes, std::vector<Output>& out) {
  if (faults_.silent) return;
  out.push_back(Output{at, std::move(bytes)});
}

void UnitCore::StartHexLine(uint8_t byte) {
  frame_ = Frame::kHexLine;
  hexLine_.clear();
  hexLine_.reserve(kMaxHexLine);
  hexLine_.push_back(static_cast<char>(byte));
  hexOverlong_ = false;
}

void UnitCore::HexLineComplete(bool cutShort, Clock::time_point at, std::vector<Output>& out) {
  frame_ = Frame::kIdle;
  // A line cut short or too long for the unit is not read at all: it is no message.
  HexRecord record;
  if (!cutShort && !hexOverlong_) record = ParseHexRecord(hexLine_);
  hexOverlong_ = false;
  if (record.check != HexRecord::Check::kBadFormat && record.type == kHexStartType) {
    TakeStartRecord(record, at, out);
    return;
  }
  ++recording_.hexLinesReceived;
  uint8_t verdict = kVerdictTaken;
  if (record.check == HexRecord::Check::kBadChecksum)
    verdict = kVerdictBadSend;
  else if (record.check == HexRecord::Check::kBadFormat || !hexSession_)  // no start record: nowhere to put it
    verdict = kVerdictBadMsg;

  const std::optional<HexLineFault> fault = TakeHexLineFault();
  bool taken = verdict == kVerdictTaken;
  if (fault && fault->kind == HexLineFault::Kind::kVerdict) {
    taken = taken && fault->verdict == kVerdictTaken;
    verdict = fault->verdict;
  }
  if (taken) {
    if (record.type == kHexData) hexTotal_ = (hexTotal_ + static_cast<uint32_t>(record.data.size())) & 0xffffff;
    recording_.hexLines.push_back(hexLine_);
  }
  std::string reply = {static_cast<char>(verdict), '\0', static_cast<char>(hexTotal_ & 0xff),
                       static_cast<char>(hexTotal_ >> 8 & 0xff), static_cast<char>(hexTotal_ >> 16 & 0xff)};
  if (fault && fault->kind == HexLineFault::Kind::kShort)
    reply.resize(static_cast<size_t>(std::clamp(fault->replyBytes, 0, static_cast<int>(kHexReplySize) - 1)));
  SendHexReply(std::move(reply), at, out);
}

void UnitCore::TakeStartRecord(const HexRecord& record, Clock::time_point at, std::vector<Output>& out) {
  recording_.hexStartRecords.push_back(hexLine_);
  uint8_t verdict = kVerdictTaken;
  if (record.check == HexRecord::Check::kBadChecksum) {
    verdict = kVerdictBadSend;
  } else if (record.address != 0 || record.data.size() != 2 || record.data[0] != 0 ||
             (record.data[1] != kHexKindPlain && record.data[1] != kHexKind2)) {
    verdict = kVerdictBadMsg;
  }
  // A start record opens a fresh transfer, or ends the one before when it is refused.
  hexSession_ = verdict == kVerdictTaken;
  hexTotal_ = 0;
  // The host reads a single byte for the start record: a longer answer would be taken for the
  // first line's reply.
  SendHexReply(faults_.hexStartAnswer.value_or(std::string(1, static_cast<char>(verdict))), at, out);
}

std::optional<HexLineFault> UnitCore::TakeHexLineFault() {
  auto& script = faults_.hexLineFaults;
  while (!script.empty() && script.front().lines <= 0) script.pop_front();
  if (script.empty()) return std::nullopt;
  const HexLineFault fault = script.front();
  if (--script.front().lines == 0) script.pop_front();
  return fault;
}

void UnitCore::SendHexReply(std::string bytes, Clock::time_point at, std::vector<Output>& out) {
  if (bytes.empty()) return;
  if (faults_.garbageReplies > 0 && !faults_.garbage.empty()) {
    --faults_.garbageReplies;
    bytes.insert(0, faults_.garbage);
  }
  Emit(at, TakeDoubling(std::move(bytes)), out);
}

}  // namespace kestrune::sim
