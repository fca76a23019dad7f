// SPDX-License-Identifier: MIT
// A transport that replays scripted replies and records what was written, for engine tests.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "transport/transport.h"

namespace kestrune::test {

class ScriptedDriver : public Transport {
 public:
  struct Chunk {
    std::string bytes;
    uint8_t type = 0;  // received type reported with it (MIDI)
  };

  // Every Read that may wait takes from the front chunk; an empty script is a read that timed
  // out.
  std::deque<Chunk> script;
  std::vector<std::string> writes;
  std::vector<uint8_t> writeTypes;   // message type in force at each write
  std::vector<unsigned> readLimits;  // of the reads that may wait (a limit above 0)
  int midi = 0;
  int openResult = 0, closeResult = 0, writeResult = 0;
  int opens = 0, closes = 0;
  // Runs inside every Read after receiveActive is set, as a Stop click inside a wait would.
  std::function<void()> duringRead;
  // Answers every write with this reply (when set), instead of the script.
  std::function<void(const std::string& frame)> onWrite;

  void Queue(const std::string& bytes, uint8_t type = 0) { script.push_back({bytes, type}); }

  int Write(const uint8_t* data, unsigned length) override {
    writes.emplace_back(reinterpret_cast<const char*>(data), length);
    writeTypes.push_back(messageType);
    if (onWrite) onWrite(writes.back());
    return writeResult;
  }
  unsigned Read(uint8_t* buffer, unsigned maximum, unsigned timeLimitMs) override {
    receiveActive = 1;
    if (timeLimitMs > 0) readLimits.push_back(timeLimitMs);
    if (duringRead) duringRead();
    // Scripted bytes arrive only for a read that waits: nothing is ever waiting beforehand.
    if (script.empty() || maximum == 0 || timeLimitMs == 0) return 0;
    Chunk& c = script.front();
    const unsigned n = std::min<unsigned>(maximum, static_cast<unsigned>(c.bytes.size()));
    std::copy(c.bytes.begin(), c.bytes.begin() + n, buffer);
    receivedType = c.type;
    // A serial line delivers the rest later; a MIDI message is taken whole.
    if (midi || n == c.bytes.size()) {
      script.pop_front();
    } else {
      c.bytes.erase(0, n);
    }
    return n;
  }
  int Open() override {
    ++opens;
    return openResult;
  }
  int Close() override {
    ++closes;
    return closeResult;
  }
  int IsMidi() override { return midi; }
  std::string ErrorText(int code) override {
    if (midi) {
      // A few of the MIDI system's own texts; the rest fall back to the shared ones.
      if (code == 2) return "bad device id";
      if (code == 6) return "no device driver present";
      if (code == 7) return "memory allocation error";
      return Transport::ErrorText(code);
    }
    switch (code) {
      case 0:
        return "RS232 no error";
      case 100:
        return "RS232 timeout ";
      default:
        return "Unknown E" + std::to_string(code);
    }
  }
};

// A reply as the unit sends it: length 6 + text, the result code, the text, a checksum byte.
inline std::string Reply(int code, const std::string& text = "", int lengthField = -1) {
  const int length = lengthField >= 0 ? lengthField : 6 + static_cast<int>(text.size());
  std::string r = {0,
                   6,
                   0,
                   0,
                   static_cast<char>(length >> 8),
                   static_cast<char>(length),
                   static_cast<char>(code >> 8),
                   static_cast<char>(code),
                   0,
                   0,
                   0,
                   0};
  r += text;
  unsigned sum = 0;
  for (char c : r) sum += static_cast<uint8_t>(c);
  r += static_cast<char>(0x100 - (sum & 0xff));
  return r;
}

}  // namespace kestrune::test
