// SPDX-License-Identifier: MIT
// Slave-side helpers for the simulated unit's tests.
#include "slave_client.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kestrune::sim::test {
namespace {

int MsLeft(std::chrono::steady_clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

SlaveClient::SlaveClient(const std::string& path) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return;
  termios t{};
  if (tcgetattr(fd_, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
  }
}

SlaveClient::~SlaveClient() {
  if (fd_ >= 0) close(fd_);
}

bool SlaveClient::Write(const std::string& bytes) {
  size_t done = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (done < bytes.size()) {
    const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, MsLeft(end)) <= 0) return false;
  }
  return true;
}

std::string SlaveClient::Read(size_t n, int timeoutMs) {
  std::string out;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < n) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, MsLeft(end)) <= 0) break;
    char buf[4096];
    const ssize_t got = read(fd_, buf, std::min(sizeof buf, n - out.size()));
    if (got > 0) {
      out.append(buf, static_cast<size_t>(got));
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;
    }
  }
  return out;
}

bool SlaveClient::SeesHangUp(int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, MsLeft(end));
    if (ready <= 0) return false;
    if (p.revents & (POLLHUP | POLLERR)) return true;
    char buf[256];
    const ssize_t got = read(fd_, buf, sizeof buf);
    if (got == 0 || (got < 0 && errno == EIO)) return true;
  }
}

std::string Be16(uint16_t v) {
  return {static_cast<char>(v >> 8), static_cast<char>(v & 0xff)};
}
std::string Be32(uint32_t v) {
  return Be16(static_cast<uint16_t>(v >> 16)) + Be16(static_cast<uint16_t>(v));
}

std::string Frame(uint8_t command, const std::string& payload) {
  std::string f = Be16(6) + std::string(1, static_cast<char>(command)) + std::string(1, '\0') +
                  Be16(static_cast<uint16_t>(payload.size())) + payload;
  uint8_t sum = 0;
  for (char c : f) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  f.push_back(static_cast<char>(static_cast<uint8_t>(0x100 - sum)));
  return f;
}

std::string DataPayload(uint16_t tag, uint16_t block, const std::string& data) {
  return Be16(10) + Be16(tag) + Be16(block) + Be32(static_cast<uint32_t>(data.size())) + data;
}

std::optional<Reply> ReadReply(SlaveClient& client, int timeoutMs) {
  std::string bytes = client.Read(13, timeoutMs);
  if (bytes.size() < 13) return std::nullopt;
  auto be16 = [&](size_t at) {
    return static_cast<int16_t>(static_cast<uint8_t>(bytes[at]) << 8 | static_cast<uint8_t>(bytes[at + 1]));
  };
  Reply r;
  r.header = be16(0);
  r.length = be16(4);
  r.code = be16(6);
  if (r.length < 6) return std::nullopt;
  if (r.length > 6) {
    const size_t more = static_cast<size_t>(r.length - 6);
    bytes += client.Read(more, timeoutMs);
    if (bytes.size() < 13 + more) return std::nullopt;
    r.text = bytes.substr(12, more);
  }
  uint8_t sum = 0;
  for (char c : bytes) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  r.sumsToZero = sum == 0;
  return r;
}

bool Synchronise(SlaveClient& client) {
  if (!client.Write("\x06")) return false;
  const std::string wake = client.Read(1, 2000);
  if (wake.size() != 1 || wake[0] == 0) return false;
  if (!client.Write("U") || client.Read(1, 2000) != "#") return false;
  return client.Write("A");
}

}  // namespace kestrune::sim::test
