// SPDX-License-Identifier: MIT
// The simulated SAM-BA monitor's line: a pty master served by one thread that blocks in
// poll(), with delayed replies and the hang-up switch.
#include "simulated_samba.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <system_error>
#include <vector>

#include "pty_line.h"

namespace kestrune::sim {

// Owned by the monitor thread alone while it runs.
struct SimulatedSamba::Line {
  struct Pending {
    SambaMonitorCore::Output output;
    size_t written = 0;
  };
  std::deque<Pending> queue;
  bool blocked = false;  // the client's input queue is full: wait for POLLOUT
};

SimulatedSamba::SimulatedSamba(SambaOptions options) : PtyService("monitor"), core_(options) {}

SimulatedSamba::~SimulatedSamba() {
  Stop();
}

void SimulatedSamba::Run() {
  Line line;
  for (;;) {
    bool hangUpNow;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      hangUpNow = hangUpNow_;
      hangUpNow_ = false;
    }
    if (hangUpNow && pty_.master >= 0) HangUp(line);
    std::optional<Clock::time_point> wake;
    if (pty_.master >= 0 && !line.blocked) wake = Transmit(line, Clock::now());

    const LineEvents events = WaitOnLine(wake, line.blocked);
    if (events.stop) break;
    if (pty_.master < 0) continue;
    if (events.writable) line.blocked = false;
    if (events.readable) ReceiveInput(line);
  }
}

void SimulatedSamba::ReceiveInput(Line& line) {
  uint8_t buf[kPtyReadChunk];
  const ssize_t n = read(pty_.master, buf, sizeof buf);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    // The slave descriptor the monitor keeps open should prevent this; if the line breaks all
    // the same, close it rather than poll a dead descriptor in a loop.
    HangUp(line);
    return;
  }
  const Clock::time_point now = Clock::now();
  std::vector<SambaMonitorCore::Output> fresh;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (ssize_t i = 0; i < n; ++i) core_.Receive(buf[i], now, fresh);
  }
  for (auto& o : fresh) line.queue.push_back(Line::Pending{std::move(o)});
}

std::optional<Clock::time_point> SimulatedSamba::Transmit(Line& line, Clock::time_point now) {
  while (!line.queue.empty()) {
    Line::Pending& p = line.queue.front();
    if (now < p.output.notBefore) return p.output.notBefore;
    const std::string& bytes = p.output.bytes;
    while (p.written < bytes.size()) {
      const ssize_t n = write(pty_.master, bytes.data() + p.written, bytes.size() - p.written);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
          line.blocked = true;
          return std::nullopt;
        }
        HangUp(line);
        return std::nullopt;
      }
      p.written += static_cast<size_t>(n);
    }
    if (p.output.hangUp) {
      HangUp(line);
      return std::nullopt;
    }
    line.queue.pop_front();
  }
  return std::nullopt;
}

void SimulatedSamba::HangUp(Line& line) {
  {
    // Recorded before the line drops, so a client that sees the hang-up also finds it recorded.
    std::lock_guard<std::mutex> lock(mutex_);
    core_.recording().hungUp = true;
  }
  CloseFd(pty_.master);
  CloseFd(pty_.slave);
  line.queue.clear();
  line.blocked = false;
}

void SimulatedSamba::SetReplyDelay(int ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().replyDelayMs = std::max(0, ms);
}

void SimulatedSamba::SetFlashBusy(int reads, int ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().busyReads = std::max(0, reads);
  core_.faults().busyMs = std::max(0, ms);
}

void SimulatedSamba::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().silent = silent;
}

void SimulatedSamba::SetNoPrompt(int replies) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().noPromptReplies = std::max(-1, replies);
}

void SimulatedSamba::SetGarbage(const std::string& bytes, int replies) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().garbage = bytes;
  core_.faults().garbageReplies = std::max(0, replies);
}

void SimulatedSamba::SetStuckBusy(bool stuck) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().stuckBusy = stuck;
}

void SimulatedSamba::SetNotErased(bool notErased) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults().notErased = notErased;
}

void SimulatedSamba::SetHangUpAfterCommands(uint64_t commands) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (commands == 0) {
      hangUpNow_ = true;
      core_.faults().hangUpAfterCommands.reset();
    } else {
      core_.faults().hangUpAfterCommands = commands;
    }
  }
  if (commands == 0) Nudge();
}

void SimulatedSamba::SetFaultsFromCommand(uint64_t command, std::function<void(SambaFaults&)> change) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.ArmFaults(command, std::move(change));
}

void SimulatedSamba::ClearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.faults() = SambaFaults{};
  core_.ArmFaults(0, nullptr);
  hangUpNow_ = false;
}

SambaRecording SimulatedSamba::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_.recording();
}

void SimulatedSamba::ClearRecording() {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.ClearLog();
}

}  // namespace kestrune::sim
