// SPDX-License-Identifier: MIT
// The headless event pump, and waiting a while on any pump.
#include "event_pump.h"

#include <chrono>

#include "tick_count.h"

namespace kestrune {

bool HeadlessEventPump::Take(std::function<void()>& fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return false;
  fn = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

bool HeadlessEventPump::PumpOne() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (quit_) {
      quit_ = false;
      return false;
    }
  }
  std::function<void()> fn;
  if (Take(fn) && fn) fn();
  return true;
}

bool HeadlessEventPump::WaitUntil(uint32_t deadline, const std::function<bool()>& ready) {
  for (;;) {
    uint64_t seenWakes;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seenWakes = wakes_;
    }
    std::function<void()> fn;
    while (Take(fn)) {
      if (fn) fn();
      if (ready && ready()) return true;
    }
    if (ready && ready()) return true;
    const int32_t left = TickDiff(deadline, TickCount());
    if (left <= 0) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(left), [&] { return wakes_ != seenWakes || !queue_.empty(); });
  }
}

void HeadlessEventPump::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++wakes_;
  }
  cv_.notify_all();
}

void HeadlessEventPump::Post(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(fn));
  }
  cv_.notify_all();
}

void HeadlessEventPump::PostQuit() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  cv_.notify_all();
}

void EventPump::WaitFor(uint32_t ms) {
  const uint32_t deadline = TickCount() + ms;
  if (TickReached(TickCount(), deadline)) return;
  WaitUntil(deadline, {});
}

}  // namespace kestrune
