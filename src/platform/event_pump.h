// SPDX-License-Identifier: MIT
// Dispatching pending events from inside long operations on the user-interface thread, so
// that painting and the Stop button keep working while a transfer waits on a unit.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace kestrune {

// One per user-interface thread. PumpOne and WaitUntil are called on that thread only;
// Wake may be called from any thread (the serial reader thread, the MIDI callback thread).
class EventPump {
 public:
  virtual ~EventPump() = default;

  // Dispatches pending events without blocking. Returns false when a quit request was taken,
  // true otherwise (also when nothing was pending).
  virtual bool PumpOne() = 0;

  // Dispatches events as they come and blocks between them (no spinning) until `ready`
  // returns true, or the tick counter reaches `deadline`. `ready` is checked after every
  // dispatch and every Wake; it may be empty (wait for the deadline only). Returns whether
  // `ready` held. A deadline already reached still makes one pass: pending events are
  // dispatched and `ready` is asked once.
  virtual bool WaitUntil(uint32_t deadline, const std::function<bool()>& ready) = 0;

  // Thread-safe: makes a blocked WaitUntil look at `ready` again at once.
  virtual void Wake() = 0;

  // Dispatches events until `ms` milliseconds have passed, blocking in between. Returns at
  // once for 0.
  void WaitFor(uint32_t ms);
};

// The pump for console programs and tests: a queue of posted functions guarded by a mutex,
// and a condition variable that Post, PostQuit and Wake signal.
class HeadlessEventPump : public EventPump {
 public:
  bool PumpOne() override;
  bool WaitUntil(uint32_t deadline, const std::function<bool()>& ready) override;
  void Wake() override;

  // Thread-safe: queues `fn` to run on the pumping thread.
  void Post(std::function<void()> fn);
  // Thread-safe: queues a quit request; the PumpOne that takes it returns false.
  void PostQuit();

 private:
  // Takes one posted function; false when none is queued.
  bool Take(std::function<void()>& fn);

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  bool quit_ = false;  // a quit request waits for the next PumpOne
  uint64_t wakes_ = 0;
};

}  // namespace kestrune
