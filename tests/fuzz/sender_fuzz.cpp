// SPDX-License-Identifier: MIT
// Fuzzes the engine's reply reading: `Sender::ReadReply`, `Exchange` with its resends, `SendData`
// and the bare MIDI request, over a scripted driver whose reads hand out any bytes with any
// length fields. The first byte chooses the transport (serial or MIDI), the operation and
// whether the write fails; the rest is the script of reads, each a length byte and that many
// bytes (a length of 0 is a read that timed out). Besides crashes and sanitizer reports it
// checks that a reply text stays inside its buffer, that Exchange writes the same frame at most
// six times and only resends on the unit's codes 1 and 6, that every write is a whole frame
// with its checksum, and that the failure line it reports is bounded.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../support/recording_sender.h"
#include "../support/scripted_driver.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "platform/run_context.h"
#include "protocol/protocol_engine.h"

namespace {

// Every write is a whole frame whose checksum byte brings the byte sum to zero; within one
// exchange a resend is the same frame.
void CheckFrames(const kestrune::test::ScriptedDriver& driver, size_t most, bool oneExchange) {
  if (driver.writes.size() > most) std::abort();
  for (const std::string& w : driver.writes) {
    if (oneExchange && w != driver.writes.front()) std::abort();
    if (w.size() < 7 || w.size() > kestrune::Sender::kFrameBufferSize) std::abort();
    uint8_t sum = 0;
    for (char c : w) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    if (sum != 0) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  auto* driver = new kestrune::test::ScriptedDriver;
  driver->midi = mode & 1;
  driver->writeResult = (mode & 0x10) ? 100 : 0;
  for (size_t at = 1; at < size;) {
    const size_t n = std::min<size_t>(data[at], size - at - 1);
    driver->Queue(std::string(reinterpret_cast<const char*>(data + at + 1), n));
    at += 1 + n;
  }

  // The fuzz program's own context: its profile and log are named after it.
  const std::string program = kestrune::ProgramPath();
  const kestrune::ConsoleRunContext context(program, kestrune::ProgramProfilePath(program));
  kestrune::test::RecordingSender engine(context.run, "/dev/null");
  engine.SetDriver(std::unique_ptr<kestrune::Transport>(driver));  // the engine owns it
  const uint8_t payload[] = {'K', 'e', 's', 't', 'r', 'u', 'n', 'e'};
  std::string replyText;
  switch ((mode >> 1) & 7) {
    case 0: {
      (void)engine.ReadReply(1000, replyText);
      if (replyText.size() >= kestrune::Sender::kReplyTextSize) std::abort();
      break;
    }
    case 1:
    case 2: {
      engine.BeginMessage(kestrune::kCmdOpen, sizeof payload, "Open");
      engine.Append(payload, sizeof payload);
      const int result = engine.Exchange(1000, ((mode >> 1) & 7) == 1);
      CheckFrames(*driver, 6, true);
      if (driver->writes.empty()) std::abort();
      // Fewer than six attempts means the last one did not end on a resend code.
      if (driver->writes.size() < 6 &&
          (result == kestrune::kUnitBadChecksum || result == kestrune::kUnitShortMessage) && driver->writeResult == 0) {
        std::abort();
      }
      (void)engine.ErrorText(result);
      break;
    }
    case 3: {
      (void)engine.SendData(3, payload, sizeof payload, 0x1234);
      CheckFrames(*driver, 6, true);
      break;
    }
    case 4: {
      const int result = engine.MidiCommand('V', nullptr, 0, 1000);
      if (driver->opens != 1 || driver->closes != 1) std::abort();
      if (result != 0 && result != driver->receivedType && result != driver->writeResult) std::abort();
      break;
    }
    default: {
      // Two exchanges in a row: what the first leaves unread must not break the second's bounds.
      for (int i = 0; i < 2; ++i) {
        engine.BeginMessage(kestrune::kCmdSendData, sizeof payload, "Send Data");
        engine.Append(payload, sizeof payload);
        (void)engine.Exchange(1000, 1);
      }
      CheckFrames(*driver, 12, false);
      break;
    }
  }
  for (const std::string& text : engine.statuses) {
    if (text.size() > 4096) std::abort();
  }
  if (engine.MessageText().size() > 4096) std::abort();
  return 0;
}
