// SPDX-License-Identifier: MIT
// The Intel HEX line transfer: romsend does not read the records itself; it hands the unit one
// text line at a time, and the unit checks and programs it and answers with a verdict.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "protocol/protocol_engine.h"
#include "transport/transport.h"

namespace kestrune {

// Cuts a HEX file into lines as the unit wants them. Characters whose value as a signed byte is
// 0x20 or less are skipped before a line (blanks, line ends, controls and every byte of 0x80 and
// above); the line then runs while characters are 0x20 or more (as signed bytes) and the first
// one below ends it and is consumed. A line cut short by the end of the file is not a line.
class HexLineCutter {
 public:
  // No HEX record comes near this: 255 data bytes make 521 characters.
  static constexpr size_t kMaxLine = 1024;
  enum Result { kLine, kEnd, kTooLong };

  // `next` gives the file's next byte, or -1 at its end.
  explicit HexLineCutter(std::function<int()> next) : next_(std::move(next)) {}

  // kLine with the line's characters in `line` (no terminator); kEnd when the file ended first;
  // kTooLong when a line grew beyond kMaxLine characters (its start is consumed).
  Result Next(std::string& line);
  // Characters read from the file so far, skipped ones and line ends included.
  uint64_t Consumed() const { return consumed_; }

 private:
  std::function<int()> next_;
  uint64_t consumed_ = 0;
};

// Writes the start record for `kind` followed by one NUL byte, and returns the one-byte verdict
// read within `replyLimitMs` (the engine's HEX reply limit), or -1 when not exactly one byte came.
int WriteStartRecord(Transport& driver, int kind, unsigned replyLimitMs);

// Text for a line's final verdict; `consumed` is the file offset just past the refused line.
std::string VerdictText(int verdict, uint64_t consumed);

// How a HEX line transfer ended, for callers that must tell it apart (the exit status of an
// unattended run): the result and the status texts alone do not.
enum class HexOutcome {
  kNotSent,    // the file could not be opened, or was refused before contact
  kNoContact,  // the unit was not reached (the engine has shown why)
  kFailed,     // after contact: a verdict other than '+', a read failure, a cut line
  kStopped,    // the user's stop ("Aborted")
  kSuccess,    // every line accepted ("Success!")
};

// Sends the HEX file at `path` through the engine's transport. Returns 1 when the file cannot
// be opened ("Cannot open file %s") or is refused before contact (not a regular file, or
// plainly incomplete: see CheckHexComplete), else 0: the outcome reaches the user only through
// `printer`, and `outcome` when given. Contact is made first; the engine's cancel flag is
// looked at after every reply.
int HexLineTransfer(const std::string& path, Sender& engine, const StatusPrinter& printer,
                    HexOutcome* outcome = nullptr);

}  // namespace kestrune
