// SPDX-License-Identifier: MIT
// A SambaChannel that answers each written command from a script, for monitor and flash
// writer tests: every chunk it queues is one arrival, and an empty queue is a 200 ms silence.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "pageburn/samba_channel.h"

namespace kestrune::test {

class ScriptedSambaDevice : public SambaChannel {
 public:
  // Chunks to deliver after a command was written; empty for silence.
  std::function<std::vector<std::string>(const std::string& command)> answer;
  std::deque<std::string> arrivals;
  std::vector<std::string> writes;
  int waits = 0;
  int timeouts = 0;
  bool refuseWrites = false;

  bool Open(const std::string&, int) override { return true; }
  bool Reserved2(int) override { return true; }
  bool Reserved3(int) override { return true; }
  bool WaitForData() override {
    ++waits;
    if (!arrivals.empty()) return true;
    ++timeouts;
    return false;
  }
  bool Read(std::string& out) override {
    if (!arrivals.empty()) {
      out += arrivals.front();
      arrivals.pop_front();
    }
    return true;
  }
  bool Reserved6() override { return true; }
  bool Write(const std::string& text) override {
    writes.push_back(text);
    if (refuseWrites) return false;
    if (answer)
      for (auto& chunk : answer(text)) arrivals.push_back(chunk);
    return true;
  }
  int Reserved8(int) override { return 0; }
  int LastError() override { return 0; }
};

// The monitor's terminal-mode framing of a reply text.
inline std::string Framed(const std::string& text) {
  return "\n\r" + text + "\n\r>";
}

// Answers like a healthy monitor: a version, FRDY set on every status read, and the bare prompt
// for every word written.
inline std::vector<std::string> HealthyAnswer(const std::string& command) {
  if (command == "V#") return {Framed("v1.4 Nov 10 2004 14:08:02")};
  if (command[0] == 'w') return {Framed("0x00000001")};
  return {"\n\r>"};
}

}  // namespace kestrune::test
