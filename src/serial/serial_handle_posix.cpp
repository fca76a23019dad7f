// SPDX-License-Identifier: MIT
// MySerialHandle on a POSIX terminal device: exclusive open, poll()-driven reader thread,
// termios restored at close.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "platform/diagnostic_log.h"
#include "platform/tick_count.h"
#include "serial/port_open_problem.h"
#include "serial/port_state.h"
#include "serial/serial_handle.h"

namespace kestrune {
namespace {

// The reader wakes at least this often even when nothing happens, so no wait is unbounded.
constexpr int kReaderPollMs = 1000;
// A port that keeps signalling data without delivering any is treated as gone.
constexpr int kMaxEmptyReads = 1000;
// Close gives queued output this long to leave before it is discarded.
constexpr uint32_t kCloseDrainMs = 1000;
constexpr useconds_t kDrainCheckUs = 2000;
// The longest rest for awaited bytes: a slow line or a wrong speed setting costs no more.
constexpr uint64_t kMaxRestNs = 20'000'000;

bool IsHangUpError(int err) {
  return err == EIO || err == ENXIO || err == ENODEV || err == EBADF;
}

constexpr short kGone = POLLHUP | POLLERR | POLLNVAL;

PortOpenFailure LineRefusalFailure(const std::string& path, const DCB& dcb, LineRefusal refusal, int error) {
  PortOpenFailure failure;
  failure.path = path;
  failure.call = refusal == LineRefusal::kPort ? "tcsetattr" : "line settings";
  failure.error = error;
  failure.speed = refusal == LineRefusal::kSpeed;
  failure.frame = refusal == LineRefusal::kFrame;
  failure.baud = dcb.BaudRate;
  failure.bits = dcb.ByteSize;
  failure.parity = dcb.Parity;
  failure.stop = dcb.StopBits;
  return failure;
}

}  // namespace

struct MySerialHandle::SavedState {
  termios original{};
};

MySerialHandle::MySerialHandle(const PortOwner& owner, const std::string& portName, uint32_t bufferSize)
    : portName_(ComPortName(portName)),
      saved_(std::make_unique<SavedState>()),
      lockScope_(owner.lockScope),
      boxes_(&owner.context.boxes),
      log_(&owner.context.log) {
  const std::string path = DevicePathOf(portName_);
  // Each failed call is recorded with its errno, so the message names what really went wrong.
  auto fail = [&](int fd, const char* call, int error) {
    if (fd >= 0) close(fd);
    openFailure_ = PortOpenFailure{path, call, error};
    return kNoPort;
  };
  // Only a device node is opened at all: a plain file, a folder or a FIFO under the name is
  // no port and is not touched.
  struct stat st {};
  const bool notDevice = !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode);
  // Non-blocking open: a port without carrier must not hold us up; every later wait is poll().
  int fd = kNoPort;
  if (path.empty())
    fail(-1, "open", ENOENT);
  else if (notDevice)
    fail(-1, "isatty", ENOTTY);
  else if ((fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) < 0)
    fail(-1, "open", errno);
  // Only a terminal can be a serial port; the flock keeps other handles (this process or
  // another) out even where TIOCEXCL does not (a privileged opener).
  if (fd >= 0 && !isatty(fd)) fd = fail(fd, "isatty", ENOTTY);
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) fd = fail(fd, "flock", errno);
  if (fd >= 0 && tcgetattr(fd, &saved_->original) != 0) fd = fail(fd, "tcgetattr", errno);
  if (fd >= 0) {
    ioctl(fd, TIOCEXCL);
    line_.emplace(owner.context, std::string{}, fd);
    // Settings the port refuses end the open before any byte goes out; the port is put back.
    if (line_->Refusal() != LineRefusal::kNone) {
      openFailure_ = LineRefusalFailure(path, *line_, line_->Refusal(), line_->RefusalError());
      line_.reset();
      tcsetattr(fd, TCSANOW, &saved_->original);
      ioctl(fd, TIOCNXCL);
      close(fd);
      fd = kNoPort;
    }
  }
  if (fd >= 0) {
    port_ = fd;
    readBufferSize_ = std::min(bufferSize, kMaxReadBuffer);
    if (readBufferSize_ > 0) readBuffer_ = std::make_unique<uint8_t[]>(readBufferSize_);
  }
  lock_ = std::make_unique<PortLock>();
}

MySerialHandle::~MySerialHandle() {
  StopReader();
  ClosePort();
  if (wakeRead_ >= 0) close(wakeRead_);
  if (wakeWrite_ >= 0) close(wakeWrite_);
}

bool MySerialHandle::StartReader(SerialReceiveFn callback, void* context) {
  if (!readBuffer_) return false;
  callback_ = callback;
  context_ = context;
  readerWanted_ = true;
  // The reader's time-outs are in force before its first read.
  ApplyTimeouts();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
  readerRunning_ = true;
  try {
    reader_ = std::thread(&MySerialHandle::ReaderLoop, this);
  } catch (const std::system_error&) {
    readerRunning_ = false;
    return false;
  }
  return true;
}

void MySerialHandle::PokeReader() {
  if (wakeWrite_ < 0) return;
  const char wake = 1;
  // A full pipe already holds a wake-up.
  while (write(wakeWrite_, &wake, 1) < 0 && errno == EINTR) {
  }
}

void MySerialHandle::StopReader() {
  closing_ = true;
  PokeReader();
  if (reader_.joinable()) reader_.join();
}

void MySerialHandle::HoldReader(bool hold) {
  if (held_.load() == hold) return;
  {
    std::lock_guard<std::mutex> lock(readMutex_);
    held_ = hold;
  }
  // A held reader polls for a hang-up only, so it must be told to read again. A reader told
  // to hold finds out before its next read.
  if (!hold) PokeReader();
}

void MySerialHandle::ReaderLoop() {
  // The rests for awaited bytes are a fraction of a millisecond; the default 50 us of timer
  // slack would add to each.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  pollfd fds[2] = {{port_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
  int emptyReads = 0;
  // After a rest for awaited bytes they are due: a read comes first, and a poll only when it
  // finds nothing yet.
  bool readFirst = false;
  while (!closing_) {
    const bool held = held_.load();
    const bool direct = readFirst && !held;
    readFirst = false;
    if (!direct) {
      // A held reader asks for nothing: poll reports a hang-up all the same.
      fds[0].events = held ? 0 : POLLIN;
      fds[0].revents = fds[1].revents = 0;
      const int ready = poll(fds, 2, kReaderPollMs);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || closing_) break;
      if (fds[1].revents != 0) {
        // A wake-up without a close: the hold changed.
        char sink[64];
        while (read(wakeRead_, sink, sizeof sink) > 0) {
        }
        continue;
      }
      if (ready == 0) continue;
    }
    const auto seen = std::chrono::steady_clock::now();
    const short events = direct ? short{POLLIN} : fds[0].revents;
    if (events & POLLIN) {
      ssize_t n = 0;
      int err = 0;
      {
        // Read and handed over under the mutex, so that a caller taking the port over finds
        // everything read so far already handed over.
        std::lock_guard<std::mutex> reading(readMutex_);
        if (held_) continue;
        {
          PortLockGuard guard(lock_.get(), LockTransfers(), nullptr, &closing_);
          if (guard.Cancelled()) break;
          n = read(port_, readBuffer_.get(), readBufferSize_);
          err = errno;
        }
        if (n > 0) {
          // Counted before they are handed on, so that whoever the callback wakes finds them
          // in the total already.
          totalRead_ += static_cast<uint32_t>(n);
          if (callback_) callback_(readBuffer_.get(), static_cast<uint32_t>(n), context_);
        }
      }
      if (n > 0) {
        emptyReads = 0;
        readFirst = RestForAwaited(static_cast<uint32_t>(n), seen);
        continue;
      }
      const bool transient = n < 0 && (err == EAGAIN || err == EINTR);
      // Not there yet after all: the poll waits for it.
      if (direct && transient) continue;
      // Nothing to read although poll said so: tolerated a while, unless the port is gone.
      if ((transient || n == 0) && !(events & kGone) && !(n < 0 && IsHangUpError(err)) && ++emptyReads < kMaxEmptyReads)
        continue;
      MarkHungUp();
      break;
    }
    if (events & kGone) {
      MarkHungUp();
      break;
    }
  }
  readerRunning_ = false;
}

uint64_t MySerialHandle::ByteTimeNs() const {
  if (!line_ || line_->BaudRate < 50 || line_->BaudRate > 4'000'000) return 0;
  // Start bit, data bits, parity bit and stop bits, in half bits for the 1.5 stop bits.
  const uint64_t halfBits = 2 + 2u * line_->ByteSize + (line_->Parity != kNoParity ? 2 : 0) +
                            (line_->StopBits == kTwoStopBits    ? 4
                             : line_->StopBits == kOne5StopBits ? 3
                                                                : 2);
  return halfBits * 500'000'000ull / line_->BaudRate;
}

void MySerialHandle::AwaitBytes(uint32_t count) {
  const uint64_t byteNs = count > 0 ? ByteTimeNs() : 0;
  byteTimeNs_.store(static_cast<uint32_t>(byteNs), std::memory_order_relaxed);
  awaited_.store(byteNs > 0 ? count : 0);
}

uint32_t MySerialHandle::QueuedBytes() {
  int queued = 0;
  if (!IsOpen() || ioctl(port_, FIONREAD, &queued) != 0 || queued < 0) return 0;
  return static_cast<uint32_t>(queued);
}

uint32_t MySerialHandle::ReadAwaited(uint8_t* buffer, uint32_t length, uint32_t limitMs) {
  using Clock = std::chrono::steady_clock;
  if (!held_ || !IsOpen() || !buffer || length == 0) return 0;
  const uint64_t byteNs = ByteTimeNs();
  auto wireTime = [byteNs](uint64_t count) { return std::chrono::nanoseconds(count * byteNs); };
  const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(limitMs);
  // The bytes written last and these cannot cross the wire sooner.
  Clock::time_point restEnd = lastWriteStart_ + wireTime(uint64_t{lastWriteLength_} + length);
  if (restEnd > limit) return 0;
  uint32_t got = 0;
  bool restedForRest = false;
  for (;;) {
    std::this_thread::sleep_until(restEnd);
    const uint32_t n = Read(buffer + got, length - got);
    got += n;
    if (got == length || hungUp_) break;
    const Clock::time_point now = Clock::now();
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(limit - now).count();
    if (ns <= 0) break;
    // Once bytes are coming in, the rest follow a byte time apart: resting for them costs one
    // wake-up where waiting in poll costs one a byte. The rest ends half a byte early, for the
    // reason RestForAwaited gives. Bytes slower than the line are waited for in poll.
    if (n > 0 && byteNs > 0 && !restedForRest) {
      restedForRest = true;
      restEnd = std::min(limit, now + wireTime(length - got) - wireTime(1) / 2);
      continue;
    }
    pollfd p{port_, POLLIN, 0};
    const timespec left{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    const int ready = ppoll(&p, 1, &left, nullptr);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    if ((p.revents & kGone) && !(p.revents & POLLIN)) {
      MarkHungUp();
      break;
    }
    // One more byte is in; the others follow a byte time apart.
    if (length - got > 1) restEnd = std::min(limit, Clock::now() + wireTime(length - got - 1) - wireTime(1) / 2);
  }
  return got;
}

bool MySerialHandle::RestForAwaited(uint32_t delivered, std::chrono::steady_clock::time_point seen) {
  uint32_t awaited = awaited_.load();
  if (awaited == 0) return false;
  const uint32_t rest = awaited > delivered ? awaited - delivered : 0;
  // The caller may have stopped waiting meanwhile; then nothing is awaited any more.
  if (!awaited_.compare_exchange_strong(awaited, rest) || rest == 0) return false;
  // The rest of the bytes come a byte time apart after the chunk seen at `seen`; the rest ends
  // half a byte before the last is due, as waking a little early costs one more look at the
  // port and waking late delays the whole reply.
  const uint64_t byteNs = byteTimeNs_.load(std::memory_order_relaxed);
  const auto due = seen + std::chrono::nanoseconds(std::min<uint64_t>(rest * byteNs - byteNs / 2, kMaxRestNs));
  const int64_t ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(due - std::chrono::steady_clock::now()).count();
  if (ns <= 0) return false;
  // The rest ends at once when the handle closes.
  pollfd wake{wakeRead_, POLLIN, 0};
  const timespec limit{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  return ppoll(&wake, 1, &limit, nullptr) == 0;
}

void MySerialHandle::MarkHungUp() {
  // Said once, from whichever thread saw it first: a reader's client is waiting for bytes that
  // will not come, and is told at once by an empty chunk.
  if (hungUp_.exchange(true)) return;
  if (callback_ && readerRunning_) callback_(readBuffer_.get(), 0, context_);
}

void MySerialHandle::ApplyTimeouts() {
  savedTimeouts_ = timeouts_;
  if (readerWanted_)
    timeouts_ = COMMTIMEOUTS{kMaxDword, 0, 0, 0, 0};
  else
    timeouts_ = COMMTIMEOUTS{0, 10, 100, 0, 0};
  // Reads hand over whatever has arrived; the waiting itself is done in poll().
  termios t{};
  if (port_ != kNoPort && tcgetattr(port_, &t) == 0) {
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(port_, TCSANOW, &t);
  }
}

void MySerialHandle::GetConfig(COMMCONFIG& config) {
  config = COMMCONFIG{};
  config.dwSize = sizeof(COMMCONFIG);
  config.wVersion = 1;
  config.dwProviderSubType = kProviderSubtypeRs232;
  config.dcb.DCBlength = sizeof(DCB);
  if (!IsOpen()) return;
  PortLockGuard guard(lock_.get(), true, boxes_);
  DCB current = *line_;
  ReadPortState(port_, current);
  config.dcb = current;
  config.dcb.DCBlength = sizeof(DCB);
}

void MySerialHandle::SetConfig(const COMMCONFIG& config) {
  if (!IsOpen()) return;
  PortLockGuard guard(lock_.get(), true, boxes_);
  // What the port cannot keep (DSR flow, limits, the CTS/RTS split) is remembered from here.
  int error = 0;
  const LineRefusal refusal = ApplyLineSettings(port_, config.dcb, error);
  if (refusal == LineRefusal::kNone) {
    static_cast<DCB&>(*line_) = config.dcb;
    lineRefused_ = false;
  } else {
    // Nothing is sent on a line whose settings did not take; the log says why.
    lineRefused_ = true;
    std::string line = PortOpenFailureText(LineRefusalFailure(DevicePathOf(portName_), config.dcb, refusal, error),
                                           "choose a serial port");
    if (!line.empty() && line.back() == '\n') line.pop_back();
    log_->Printf("Cannot set serial port: %s", line.c_str());
    // The settings the user chose stay in the profile as they were.
    return;
  }
  line_->DCBlength = sizeof(DCB);
  line_->Save();
}

void MySerialHandle::SetLine(uint32_t baud, uint8_t dataBits, uint8_t stopBits, uint8_t parity) {
  if (line_ && line_->Set(baud, dataBits, stopBits, parity)) lineRefused_ = false;
}

uint32_t MySerialHandle::Write(const uint8_t* data, uint32_t length) {
  if (!IsOpen() || hungUp_ || lineRefused_ || !data || length == 0) return 0;
  lastWriteStart_ = std::chrono::steady_clock::now();
  lastWriteLength_ = length;
  PortLockGuard guard(lock_.get(), LockTransfers(), boxes_);
  uint32_t done = 0;
  uint32_t lastProgress = TickCount();
  while (done < length) {
    const ssize_t n = write(port_, data + done, length - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      lastProgress = TickCount();
      continue;
    }
    const int err = errno;
    if (n < 0 && err == EINTR) continue;
    if (n < 0 && err != EAGAIN) {
      if (IsHangUpError(err)) MarkHungUp();
      return 0;
    }
    // Output is full (flow control or a slow line): wait for room, but not for ever.
    const int32_t left = TickDiff(lastProgress + kWriteStallMs, TickCount());
    if (left <= 0) return done;
    pollfd p{port_, POLLOUT, 0};
    if (poll(&p, 1, left) > 0 && (p.revents & kGone) && !(p.revents & POLLOUT)) {
      MarkHungUp();
      return 0;
    }
  }
  return done;
}

uint32_t MySerialHandle::Read(uint8_t* buffer, uint32_t length) {
  if (!IsOpen() || (readerWanted_ && !held_) || hungUp_ || !buffer || length == 0) return 0;
  const COMMTIMEOUTS& to = timeouts_;
  const bool immediate =
      to.ReadIntervalTimeout == kMaxDword && to.ReadTotalTimeoutMultiplier == 0 && to.ReadTotalTimeoutConstant == 0;
  uint64_t total = uint64_t{to.ReadTotalTimeoutMultiplier} * length + to.ReadTotalTimeoutConstant;
  if (total == 0 || total > kMaxReadWaitMs) total = kMaxReadWaitMs;
  const uint32_t interval = (to.ReadIntervalTimeout == kMaxDword) ? 0 : to.ReadIntervalTimeout;
  const uint32_t deadline = TickCount() + static_cast<uint32_t>(total);
  uint32_t got = 0;
  while (got < length) {
    const ssize_t n = read(port_, buffer + got, length - got);
    if (n > 0) {
      got += static_cast<uint32_t>(n);
      continue;
    }
    const int err = errno;
    if (n < 0 && err == EINTR) continue;
    if (n == 0 || err != EAGAIN) {
      if (n == 0 || IsHangUpError(err)) MarkHungUp();
      break;
    }
    if (immediate) break;
    int32_t wait = TickDiff(deadline, TickCount());
    if (wait <= 0) break;
    // Between bytes, an interval limit ends the read early once something has come.
    if (got > 0 && interval != 0) wait = std::min<int32_t>(wait, static_cast<int32_t>(interval));
    pollfd p{port_, POLLIN, 0};
    const int ready = poll(&p, 1, wait);
    if (ready == 0 && got > 0 && interval != 0) break;
    if (ready > 0 && (p.revents & kGone) && !(p.revents & POLLIN)) {
      MarkHungUp();
      break;
    }
  }
  totalRead_ += got;
  return got;
}

void MySerialHandle::ClosePort() {
  if (port_ == kNoPort) return;
  PortLockGuard guard(lock_.get(), true, boxes_);
  // Give queued output a moment to leave at the current speed before the old settings return.
  const uint32_t deadline = TickCount() + kCloseDrainMs;
  int pending = 0;
  while (!hungUp_ && ioctl(port_, TIOCOUTQ, &pending) == 0 && pending > 0 && !TickReached(TickCount(), deadline))
    usleep(kDrainCheckUs);
  if (pending > 0) tcflush(port_, TCOFLUSH);
  tcsetattr(port_, TCSANOW, &saved_->original);
  ioctl(port_, TIOCNXCL);
  close(port_);  // also drops the flock
  port_ = kNoPort;
  timeouts_ = savedTimeouts_;
}

}  // namespace kestrune
