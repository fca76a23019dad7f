// SPDX-License-Identifier: MIT
// The test's side of the line: the pty slave opened like a serial port, with bounded reads,
// and frames and replies built and parsed from the boot loader's wire layout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrune::sim::test {

class SlaveClient {
 public:
  explicit SlaveClient(const std::string& path);
  ~SlaveClient();
  SlaveClient(const SlaveClient&) = delete;
  SlaveClient& operator=(const SlaveClient&) = delete;

  bool Ok() const { return fd_ >= 0; }
  bool Write(const std::string& bytes);
  // Up to `n` bytes, waiting at most `timeoutMs` in all; fewer when the time runs out.
  std::string Read(size_t n, int timeoutMs);
  // True when the unit's side of the line closes within `timeoutMs` (POLLHUP, EOF or EIO).
  bool SeesHangUp(int timeoutMs);

 private:
  int fd_ = -1;
};

// Host-to-unit frame: header length 6, command, 0, payload length, payload, checksum.
std::string Frame(uint8_t command, const std::string& payload = {});
// Send Data payload: data header (10, tag word, block index, byte count) and the data.
std::string DataPayload(uint16_t tag, uint16_t block, const std::string& data);
std::string Be16(uint16_t v);
std::string Be32(uint32_t v);

struct Reply {
  int16_t header = 0;  // the first field: 6 in every whole reply
  int16_t length = 0;
  int16_t code = 0;
  std::string text;
  bool sumsToZero = false;
};
// One reply: 13 bytes, then the announced text and checksum; nullopt when it does not come whole.
std::optional<Reply> ReadReply(SlaveClient& client, int timeoutMs = 3000);

// Wake-up, one prompt answered '#', then 'A'. False when the unit does not answer as a healthy one.
bool Synchronise(SlaveClient& client);

}  // namespace kestrune::sim::test
