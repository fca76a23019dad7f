// SPDX-License-Identifier: MIT
// The simulated unit's line: a pty master served by one thread that blocks in poll(), with
// pacing of both directions to a baud rate and the hang-up switch.
#include "simulated_unit.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <system_error>
#include <vector>

#include "pty_line.h"

namespace kestrune::sim {
namespace {

constexpr int kBitsPerByte = 10;  // start bit, 8 data bits, stop bit

Clock::duration ByteTime(int baud) {
  if (baud <= 0) return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(1'000'000'000LL * kBitsPerByte / baud));
}

}  // namespace

// Owned by the unit thread alone while it runs.
struct SimulatedUnit::Line {
  struct Pending {
    Clock::time_point notBefore;
    std::string bytes;
    bool started = false;
    Clock::time_point start{};   // when its first byte went on the wire
    Clock::duration byteTime{};  // pacing fixed when it started
    size_t written = 0;
  };
  std::deque<Pending> queue;
  Clock::time_point inFree{};   // when the last received byte finished arriving
  Clock::time_point outFree{};  // when the last sent byte finished leaving
  bool blocked = false;         // the client's input queue is full: wait for POLLOUT
};

SimulatedUnit::SimulatedUnit(UnitOptions options)
    : PtyService("unit"),
      options_(options),
      core_(std::chrono::milliseconds(std::max(1, options.frameGapMs))),
      baud_(options.baud) {}

SimulatedUnit::~SimulatedUnit() {
  Stop();
}

void SimulatedUnit::Run() {
  Line line;
  std::vector<UnitCore::Output> fresh;
  for (;;) {
    const Clock::time_point now = Clock::now();
    std::optional<Clock::time_point> coreDeadline;
    bool hangUpNow = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      core_.Expire(now, fresh);
      coreDeadline = core_.Deadline();
      hangUpNow = hangUpAfter_ && *hangUpAfter_ == 0;
    }
    if (hangUpNow) HangUp(line);
    Queue(line, fresh);
    fresh.clear();

    std::optional<Clock::time_point> wake = coreDeadline;
    if (pty_.master >= 0 && !line.blocked) {
      if (auto due = Transmit(line, now)) wake = wake ? std::min(*wake, *due) : *due;
    }
    const LineEvents events = WaitOnLine(wake, line.blocked);
    if (events.stop) break;
    if (pty_.master < 0) continue;
    if (events.writable) line.blocked = false;
    if (events.readable) ReceiveInput(line);
  }
}

void SimulatedUnit::ReceiveInput(Line& line) {
  uint8_t buf[kPtyReadChunk];
  const ssize_t n = read(pty_.master, buf, sizeof buf);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    // The slave descriptor the unit keeps open should prevent this; if the line breaks all
    // the same, close it rather than poll a dead descriptor in a loop.
    HangUp(line);
    return;
  }
  const Clock::time_point now = Clock::now();
  std::vector<UnitCore::Output> fresh;
  bool hangUp = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t take = static_cast<size_t>(n);
    if (hangUpAfter_) {
      take = static_cast<size_t>(std::min<uint64_t>(take, *hangUpAfter_));
      *hangUpAfter_ -= take;
      hangUp = *hangUpAfter_ == 0;
    }
    // Each byte counts as received once its wire time has passed after the one before it.
    const Clock::duration byteTime = ByteTime(baud_);
    for (size_t i = 0; i < take; ++i) {
      const Clock::time_point arrival =
          byteTime == Clock::duration::zero() ? now : std::max(now, line.inFree) + byteTime;
      line.inFree = arrival;
      core_.Receive(buf[i], arrival, fresh);
    }
  }
  Queue(line, fresh);
  if (hangUp) HangUp(line);
}

void SimulatedUnit::Queue(Line& line, std::vector<UnitCore::Output>& outputs) {
  for (auto& o : outputs) {
    // Answers due at the same moment follow each other on the wire: one write, as a unit's
    // acknowledgement and result do when nothing holds the result back.
    if (!line.queue.empty() && !line.queue.back().started && line.queue.back().notBefore == o.notBefore)
      line.queue.back().bytes += o.bytes;
    else
      line.queue.push_back(Line::Pending{o.notBefore, std::move(o.bytes)});
  }
}

std::optional<Clock::time_point> SimulatedUnit::Transmit(Line& line, Clock::time_point now) {
  int baud;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    baud = baud_;
  }
  while (!line.queue.empty()) {
    Line::Pending& p = line.queue.front();
    if (!p.started) {
      if (now < p.notBefore) return p.notBefore;
      p.started = true;
      p.byteTime = ByteTime(baud);
      p.start = p.byteTime == Clock::duration::zero() ? now : std::max(p.notBefore, line.outFree);
    }
    // A byte reaches the client when its wire time is over.
    size_t due = p.bytes.size();
    if (p.byteTime != Clock::duration::zero()) {
      const auto elapsed = now - p.start;
      due = elapsed <= Clock::duration::zero() ? 0 : std::min<size_t>(due, static_cast<size_t>(elapsed / p.byteTime));
    }
    if (due > p.written) {
      const ssize_t n = write(pty_.master, p.bytes.data() + p.written, due - p.written);
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) {
          line.blocked = errno == EAGAIN;
          return errno == EINTR ? std::optional<Clock::time_point>(now) : std::nullopt;
        }
        HangUp(line);
        return std::nullopt;
      }
      p.written += static_cast<size_t>(n);
      if (p.written < due) {
        line.blocked = true;
        return std::nullopt;
      }
    }
    if (p.written < p.bytes.size()) return p.start + p.byteTime * static_cast<long>(p.written + 1);
    line.outFree = p.start + p.byteTime * static_cast<long>(p.bytes.size());
    line.queue.pop_front();
  }
  return std::nullopt;
}

void SimulatedUnit::HangUp(Line& line) {
  {
    // Recorded before the line drops, so a client that sees the hang-up also finds it recorded.
    std::lock_guard<std::mutex> lock(mutex_);
    hangUpAfter_.reset();
    core_.recording().hungUp = true;
  }
  CloseFd(pty_.master);
  CloseFd(pty_.slave);
  line.queue.clear();
  line.blocked = false;
}

void SimulatedUnit::SetBaud(int baud) {
  std::lock_guard<std::mutex> lock(mutex_);
  baud_ = std::max(0, baud);
}

void SimulatedUnit::SetBadChecksumFrames(int frames) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().badChecksumFrames = std::max(0, frames);
}

void SimulatedUnit::SetReplyFault(uint8_t command, Stage stage, const ReplyFault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fault.times == 0)
    core_.faults().replies.erase({command, stage});
  else
    core_.faults().replies[{command, stage}] = fault;
}

void SimulatedUnit::ClearReplyFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().replies.clear();
}

void SimulatedUnit::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().silent = silent;
}

void SimulatedUnit::SetWakeAnswer(std::optional<uint8_t> answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().wakeAnswer = answer;
}

void SimulatedUnit::SetPromptAnswer(const std::string& bytes, int spacingMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().promptAnswer = bytes;
  core_.faults().promptSpacingMs = std::max(0, spacingMs);
}

void SimulatedUnit::SetGarbage(const std::string& bytes, int replies) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().garbage = bytes;
  core_.faults().garbageReplies = std::max(0, replies);
}

void SimulatedUnit::SetHangUpAfter(uint64_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hangUpAfter_ = bytes;
  }
  if (bytes == 0) Nudge();
}

void SimulatedUnit::SetEraseDelay(int ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().eraseDelayMs = std::max(0, ms);
}

void SimulatedUnit::SetDoubledReplies(int replies) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().doubledReplies = std::max(-1, replies);
}

void SimulatedUnit::SetChatter(const std::string& text, int everyMs) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    core_.faults().chatter = text;
    core_.faults().chatterEveryMs = std::max(1, everyMs);
  }
  Nudge();
}

void SimulatedUnit::SetHexLineFaults(std::vector<HexLineFault> script) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().hexLineFaults.assign(script.begin(), script.end());
}

void SimulatedUnit::SetHexStartAnswer(std::optional<std::string> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().hexStartAnswer = std::move(bytes);
}

Recording SimulatedUnit::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_.recording();
}

void SimulatedUnit::ClearRecording() {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool hungUp = core_.recording().hungUp;
  core_.recording() = Recording{};
  core_.recording().hungUp = hungUp;
}

}  // namespace kestrune::sim
