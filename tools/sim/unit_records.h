// SPDX-License-Identifier: MIT
// What the simulated unit records of a session and the faults it can be told to show.
// Plain values, shared by the protocol core and the pty front end.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::sim {

// Command codes of the boot loader's frames.
inline constexpr uint8_t kCmdOpen = 1;
inline constexpr uint8_t kCmdSendData = 2;
inline constexpr uint8_t kCmdClose = 5;
inline constexpr uint8_t kCmdReboot = 7;

// Result codes the unit itself produces (others only come from injected faults).
inline constexpr int16_t kCodeOk = 0;
inline constexpr int16_t kCodeBadChecksum = 1;
inline constexpr int16_t kCodeShortMessage = 6;
// Operation result for a well-formed frame whose command the boot loader does not know.
inline constexpr int16_t kCodeAborted = 4001;

// Which of the two replies to a frame a fault replaces.
enum class Stage { kAck, kResult };

// Replaces the acknowledgement or the operation result of one command.
struct ReplyFault {
  enum class Kind {
    kCode,         // answer with `code` and `text` instead of success
    kSilent,       // send nothing at this stage (nor the operation result after a silent ack)
    kBadChecksum,  // answer with `code` and `text` in a reply whose bytes do not sum to 0
    kBadHeader,    // answer with `code` and `text` in a reply that begins 00 07, not 00 06
  };
  Kind kind = Kind::kCode;
  int16_t code = 0;
  std::string text;  // bytes sent after the result code; empty: a plain 13-byte reply
  int times = -1;    // frames of that command it applies to; -1: every one
  int after = 0;     // frames of that command answered as usual first (the fault hits frame after + 1)
};

// Replaces the unit's reply to lines of a HEX transfer. Start records are not lines here: they
// have their own switch (Faults::hexStartAnswer).
struct HexLineFault {
  enum class Kind {
    kVerdict,  // answer with `verdict` in a whole reply; the line is not taken unless both the
               // unit and `verdict` say '+'
    kShort,    // take the line as usual but send only the first `replyBytes` (0 to 4) bytes of its
               // reply; 0 is silence
  };
  Kind kind = Kind::kVerdict;
  uint8_t verdict = '-';
  int replyBytes = 0;
  int lines = 1;  // lines in a row it answers
};

// The fault switches of the protocol core. The hang-up switch belongs to the line (see
// SimulatedUnit) because it closes the pty rather than changing an answer.
struct Faults {
  int badChecksumFrames = 0;  // the next N whole frames are answered with code 1 whatever their checksum
  std::map<std::pair<uint8_t, Stage>, ReplyFault> replies;
  bool silent = false;                       // the unit hears and records but sends nothing at all
  std::optional<uint8_t> wakeAnswer = 0x06;  // answer to the wake-up byte; nullopt: none
  std::string promptAnswer = "#";            // answer to each 'U' prompt
  int promptSpacingMs = 0;                   // gap between the bytes of the prompt answer
  std::string garbage;                       // bytes sent before the next replies ...
  int garbageReplies = 0;                    // ... this many of them
  int eraseDelayMs = 0;                      // delay before Open's operation result; the unit
                                             // takes in nothing else meanwhile (it is erasing)
  int doubledReplies = 0;                    // send each of the next N replies twice; -1: all
  std::string chatter;                       // sent again and again, without end, while set ...
  int chatterEveryMs = 50;                   // ... this often

  // HEX line transfer: replies to the next lines, taken in order, each for its `lines` lines;
  // and bytes sent for a start record instead of the unit's verdict byte.
  std::deque<HexLineFault> hexLineFaults;
  std::optional<std::string> hexStartAnswer;
};

// One Send Data frame as the unit took it.
struct DataChunk {
  uint16_t tag = 0;
  uint16_t block = 0;
  std::vector<uint8_t> data;
  bool operator==(const DataChunk&) const = default;
};

// Everything received since start (or the last ClearRecording).
struct Recording {
  std::vector<uint8_t> imageHeader;  // payload of the last Open frame taken, byte for byte
  std::vector<DataChunk> chunks;     // every Send Data frame taken, in order
  std::vector<uint8_t> commands;     // command code of every frame taken, in order
  unsigned frames = 0;               // frames that ended: taken, refused for their checksum, cut short or malformed
  unsigned badFrames = 0;            // frames answered with code 1 or 6 (frames - badFrames == commands.size())
  unsigned wakeUps = 0;              // wake-up bytes heard
  unsigned prompts = 0;              // 'U' prompts heard
  unsigned syncs = 0;                // 'A' bytes that ended a line synchronisation
  uint64_t bytesReceived = 0;
  bool hungUp = false;  // the unit closed its side of the line

  // HEX line transfer.
  std::vector<std::string> hexStartRecords;  // every start record heard, as text, whatever its verdict
  std::vector<std::string> hexLines;         // every line taken with '+', as text without its NUL
  unsigned hexLinesReceived = 0;             // lines that ended: taken, refused, cut short or overlong

  // The command code of the last frame taken; -1 when none was, so that a check after a
  // failed send reads a value instead of past an empty list.
  int LastCommand() const { return commands.empty() ? -1 : commands.back(); }
};

}  // namespace kestrune::sim
