// SPDX-License-Identifier: MIT
// Frames, replies and resends of the protocol engine, and its result log.
#include "protocol/protocol_engine.h"

#include <algorithm>
#include <cstring>

#include "platform/diagnostic_log.h"
#include "platform/event_pump.h"
#include "platform/log_file.h"
#include "platform/tick_count.h"

namespace kestrune {
namespace {

void PutBE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void PutBE32(uint8_t* p, uint32_t v) {
  PutBE16(p, static_cast<uint16_t>(v >> 16));
  PutBE16(p + 2, static_cast<uint16_t>(v));
}

int16_t GetBE16(const uint8_t* p) {
  return static_cast<int16_t>(static_cast<uint16_t>((p[0] << 8) | p[1]));
}

uint8_t Checksum(const uint8_t* p, int n) {
  uint8_t sum = 0;
  for (int i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + p[i]);
  return static_cast<uint8_t>(0x100 - sum);
}

// Text bytes of a reply: up to the first zero byte, at most the text buffer less its terminator.
std::string ReplyText(const uint8_t* p, size_t n) {
  n = std::min<size_t>(n, Sender::kReplyTextSize - 1);
  const void* zero = std::memchr(p, 0, n);
  if (zero) n = static_cast<size_t>(static_cast<const uint8_t*>(zero) - p);
  return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

Sender::Sender(const RunContext& context, const std::string& resultLogPath, const ProtocolLimits& limits)
    : context_(context), limits_(limits) {
  // Shared with other readers and writers; appended to, never truncated.
  SystemError error;
  resultLog_ = OpenLogStream(resultLogPath, true, &error);
  // The run goes on without its result lines; the diagnostic log tells why they are missing.
  if (!resultLog_)
    context_.log.Printf("result log %s cannot be opened: %s", resultLogPath.c_str(), error.Text().c_str());
}

Sender::~Sender() {
  driver_.reset();
  if (resultLog_) std::fclose(resultLog_);
}

void Sender::TraceChar(char c) {
  // Standard error, so that standard output carries nothing but whole status lines.
  std::fputc(c, stderr);
  std::fflush(stderr);
}

void Sender::ShowProgress(uint32_t done, uint32_t total) {
  const int percent = total ? static_cast<int>(static_cast<double>(done) * 100.0 / total) : 0;
  std::printf("\rDone: %d%%", percent);
  std::fflush(stdout);
}

void Sender::ShowStatus(const std::string& text, int lineEnd) {
  std::fputs(text.c_str(), stdout);
  if (lineEnd) std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Sender::Log(const char* format, ...) {
  if (!resultLog_) return;
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fprintf(resultLog_, "%s\r\n", line);
  std::fflush(resultLog_);
}

void Sender::BeginMessage(uint8_t command, uint16_t payloadLength, const char* name) {
  std::memset(frame_, 0, kHeaderLength);
  PutBE16(frame_, kHeaderLength);
  frame_[2] = command;
  frame_[3] = 0;
  PutBE16(frame_ + 4, payloadLength);
  frameLength_ = kHeaderLength;
  commandName_ = name;
}

int Sender::Append(const uint8_t* bytes, int count) {
  // One byte stays free for the checksum.
  const int room = kFrameBufferSize - 1 - frameLength_;
  const int n = std::clamp(count, 0, room);
  if (n > 0) std::memcpy(frame_ + frameLength_, bytes, static_cast<size_t>(n));
  frameLength_ += n;
  return kFrameBufferSize - frameLength_;
}

int Sender::SendData(uint16_t blockIndex, const uint8_t* data, uint32_t count, uint16_t tag) {
  constexpr uint32_t kMaxData = kFrameBufferSize - 1 - kHeaderLength - 10;
  count = std::min(count, kMaxData);
  BeginMessage(kCmdSendData, static_cast<uint16_t>(count + 10), "Send Data");
  uint8_t header[10];
  PutBE16(header, 10);
  PutBE16(header + 2, tag);
  PutBE16(header + 4, blockIndex);
  PutBE32(header + 6, count);
  Append(header, 10);
  Append(data, static_cast<int>(count));
  return Exchange(limits_.sendDataResultMs, 1);
}

const char* Sender::SendOnce(int& result, std::string& replyText, unsigned resultLimitMs) {
  frame_[frameLength_] = Checksum(frame_, frameLength_);
  if (cancel_) {
    result = kCancelledByUser;
    return "Send";
  }
  if (!driver_) {
    result = kTransportDisconnect;
    return "Write";
  }
  // Between frames a unit says nothing: bytes waiting now are a reply nobody asked for (one
  // doubled, one late, or line noise) and would be read as this frame's answer.
  if (TakeWaitingBytes(commandName_) > 0) {
    result = kStrayData;
    return "Write";
  }
  result = driver_->Write(frame_, static_cast<unsigned>(frameLength_ + 1));
  if (result != 0) return "Write";
  result = ReadReply(limits_.ackMs, replyText);
  if (result != 0) return "Command Ack";
  result = ReadReply(resultLimitMs, replyText);
  if (result != 0) return "Operation";
  // A reply already waiting behind the result means the two just read were not the pair this
  // frame was answered with (a unit that answers twice): the real result is still to come.
  if (TakeWaitingBytes(commandName_) > 0) {
    result = kStrayData;
    return "Operation";
  }
  return "";
}

unsigned Sender::TakeWaitingBytes(const char* before) {
  if (!driver_ || driver_->IsMidi() == 1) return 0;
  // A driver that can tell its ring is empty spares the reading pass (once a frame or line).
  if (driver_->WaitingBytes() == 0) return 0;
  // Bounded, so a peer that never stops talking cannot keep us here.
  constexpr unsigned kMost = 4096;
  constexpr unsigned kShown = 32;
  uint8_t bytes[256];
  unsigned total = 0;
  std::string shown;
  while (total < kMost) {
    const unsigned n = driver_->Read(bytes, sizeof bytes, 0);
    if (n == 0) break;
    for (unsigned i = 0; i < n && total + i < kShown; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
      shown += hex;
    }
    total += n;
  }
  if (total > 0) {
    context_.log.Printf("%u unexpected bytes waiting before %s:%s%s", total, before, shown.c_str(),
                        total > kShown ? " ..." : "");
  }
  return total;
}

int Sender::ReadReply(unsigned timeLimitMs, std::string& replyText) {
  if (!driver_) return kTransportDisconnect;
  if (cancel_) return kCancelledByUser;
  // Over MIDI a reply arrives as one message, so its announced text is taken from that same
  // message; over a serial line the header comes first and the text is read behind it. The
  // whole reply, text included, comes within the one time limit.
  const bool midi = driver_->IsMidi() == 1;
  const uint32_t deadline = TickCount() + timeLimitMs;
  auto timeLeft = [deadline] {
    const int32_t left = TickDiff(deadline, TickCount());
    return left > 0 ? static_cast<unsigned>(left) : 0u;
  };
  constexpr unsigned kWholeReply = kReplyHeader + kReplyTextSize;
  uint8_t reply[kWholeReply] = {};
  const unsigned got = driver_->Read(reply, midi ? kWholeReply : kReplyHeader, timeLimitMs);
  if (got < kReplyHeader) {
    if (driver_->LastError() == kTransportDisconnect) return kTransportDisconnect;
    if (got == 0) return driver_->receiveActive.load() && !cancel_ ? int{kTransportTimeout} : int{kCancelledByUser};
    return cancel_ ? int{kCancelledByUser} : int{kBadMessage2};
  }
  // A reply that does not start as every reply does is not aligned with the frame it answers.
  if (!midi && (reply[0] != 0x00 || reply[1] != kHeaderLength)) return kBadReplyHeader;
  const int length = GetBE16(reply + 4);
  if (length < 6) return kBadMessage1;
  replyText.clear();
  uint8_t sum = 0;
  for (unsigned i = 0; i < kReplyHeader; ++i) sum = static_cast<uint8_t>(sum + reply[i]);
  if (length > 6) {
    const unsigned textBytes = static_cast<unsigned>(length - 6);
    if (midi) {
      replyText = ReplyText(reply + 12, std::min(textBytes, got - 12));
    } else {
      // The rest of the text and the checksum byte. What fits the text buffer is kept; the
      // rest is read too, so it cannot be taken for the next reply, and counts in the sum.
      const unsigned rest = textBytes;
      const unsigned keep = std::min(rest, kReplyTextSize - 1u);
      unsigned have = driver_->Read(reply + kReplyHeader, keep, timeLeft());
      for (unsigned i = 0; i < have; ++i) sum = static_cast<uint8_t>(sum + reply[kReplyHeader + i]);
      replyText = ReplyText(reply + 12, std::min(textBytes, 1 + have));
      uint8_t sink[256];
      while (have == keep && have < rest) {
        const unsigned n = driver_->Read(sink, std::min<unsigned>(rest - have, sizeof sink), timeLeft());
        if (n == 0) break;
        for (unsigned i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + sink[i]);
        have += n;
      }
      if (have < rest) {
        if (driver_->LastError() == kTransportDisconnect) return kTransportDisconnect;
        return cancel_ ? int{kCancelledByUser} : int{kBadMessage2};
      }
    }
  }
  if (!midi && sum != 0) return kBadReplyChecksum;
  return GetBE16(reply + 6);
}

int Sender::Exchange(unsigned resultLimitMs, int report) {
  std::string replyText;
  retriesLeft_ = 5;
  int result = 0;
  const char* stage = "";
  for (;;) {
    replyText.clear();
    stage = SendOnce(result, replyText, resultLimitMs);
    if (retriesLeft_ != 5) TraceChar('R');
    ++attempts_;
    if (result == kUnitBadChecksum) {
      context_.log.Printf("Send: Bad Checksum - retry #%d", 6 - retriesLeft_);
    } else if (result == kUnitShortMessage) {
      context_.log.Printf("Send: Short Msg - retry #%d", 6 - retriesLeft_);
    } else {
      break;
    }
    if (retriesLeft_-- == 0) break;
  }
  ++exchanges_;
  if (report || result == kCancelledByUser) {
    ReportResult(stage, result, replyText);
  } else if (result == kStrayData || result == kBadReplyHeader || result == kBadReplyChecksum) {
    // A misaligned or damaged reply is told and logged even where failures are not (Close): the
    // unit's real answer is unknown. The failure line the page shows again stays the first one
    // of this session.
    const std::string earlier = messageText_;
    ReportResult(stage, result, replyText);
    if (!earlier.empty()) messageText_ = earlier;
  }
  return result;
}

void Sender::SetDriver(std::unique_ptr<Transport> driver) {
  driver_ = std::move(driver);
}

void Sender::CloseDriver() {
  if (driver_) driver_->Close();
}

void Sender::ReopenIfIdle() {
  if (driver_ && driver_->BusyCount() == 0) {
    driver_->Close();
    driver_->Reopen();
    driver_->Open();
  }
}

void Sender::SetCancel(int flag) {
  cancel_ = flag;
  if (driver_) {
    driver_->receiveActive = 0;
    driver_->stopRequest = flag;
  }
}

void Sender::ClearCancel() {
  cancel_ = 0;
  if (driver_) driver_->stopRequest = 0;
}

void Sender::WaitMs(unsigned ms) {
  const uint32_t deadline = TickCount() + ms;
  context_.pump.WaitUntil(deadline, {});
}

}  // namespace kestrune
