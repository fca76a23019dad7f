// SPDX-License-Identifier: MIT
// HEX line transfer: start record, one line plus a NUL per write, a 5-byte reply per line.
#include "hex_line_transfer.h"

#include <cmath>
#include <cstdio>

#include "platform/event_pump.h"
#include "platform/file_system.h"
#include "platform/tick_count.h"
#include "updates/buffered_file_reader.h"
#include "updates/update_check.h"
#include "updates/update_kind.h"

namespace kestrune {
namespace {

constexpr unsigned kReplySize = 5;
constexpr int kMaxResends = 6;
constexpr uint32_t kFileBufferSize = 8192;

void ReportProgress(TransferState& state, const StatusPrinter& printer, uint64_t consumed, uint64_t length,
                    uint32_t startTick, uint32_t total) {
  const float percent = static_cast<float>(static_cast<double>(consumed) * 100.0 / static_cast<double>(length));
  char text[128];
  const int n = std::snprintf(text, sizeof text, "Comparing ... %2.1f%%%% done", static_cast<double>(percent));
  if (state.lastProgressText == text) return;
  state.lastProgressText = text;
  // The whole percent of the text's rounded figure, so that the bar agrees with "42.0%".
  if (state.progress) state.progress(static_cast<int>(std::lround(static_cast<double>(percent) * 10.0) / 10));
  if (percent > 0) {
    const int left =
        SecondsLeft(static_cast<double>(length), static_cast<double>(consumed), TickDiff(TickCount(), startTick));
    std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ". Left: %d:%02d  Total: %d", left / 60, left % 60,
                  static_cast<int>(total));
  }
  PrintStatus(printer, text);
}

// The verdicts a unit gives a HEX line; any other byte in a whole reply is no verdict at all.
bool KnownVerdict(int verdict) {
  return verdict == '+' || verdict == '-' || verdict == '?' || verdict == '!';
}

}  // namespace

HexLineCutter::Result HexLineCutter::Next(std::string& line) {
  line.clear();
  int c;
  // Before a line: everything that is not a printable ASCII character.
  do {
    c = next_();
    if (c < 0) return kEnd;
    ++consumed_;
  } while (static_cast<int8_t>(c) <= 0x20);
  for (;;) {
    if (line.size() == kMaxLine) return kTooLong;
    line.push_back(static_cast<char>(c));
    c = next_();
    if (c < 0) return kEnd;
    ++consumed_;
    if (static_cast<int8_t>(c) < 0x20) return kLine;
  }
}

int WriteStartRecord(Transport& driver, int kind, unsigned replyLimitMs) {
  const std::string record = StartRecord(kind);
  // The record and its NUL terminator go out in one write.
  if (driver.Write(reinterpret_cast<const uint8_t*>(record.c_str()), static_cast<unsigned>(record.size() + 1)) != 0) {
    return -1;
  }
  uint8_t verdict = 0;
  return driver.Read(&verdict, 1, replyLimitMs) == 1 ? verdict : -1;
}

std::string VerdictText(int verdict, uint64_t consumed) {
  switch (verdict) {
    case '+':
      return "Success!";
    case '-':
      return "Bad Send";
    case '?':
      return "Bad Msg";
    case '!': {
      char text[64];
      std::snprintf(text, sizeof text, "Bad Result around 0x%lx", static_cast<unsigned long>(consumed));
      return text;
    }
    default:
      return "Unknown Error";
  }
}

int HexLineTransfer(const std::string& path, Sender& engine, const StatusPrinter& printer, HexOutcome* outcome) {
  HexOutcome ignored;
  HexOutcome& ended = outcome ? *outcome : ignored;
  ended = HexOutcome::kNotSent;
  if (const std::optional<FileInfo> info = PathInfo(path); info && !info->IsRegular()) {
    // Not even opened: a device or FIFO may never end, or act on being opened.
    ReportRefusedFile(engine, printer, path, std::string(kBadFileText) + "not a regular file");
    return 1;
  }
  BufferedFileReader file;
  if (!file.Open(path, BufferedFileReader::kModeRead | BufferedFileReader::kShareDenyWrite, kFileBufferSize, nullptr,
                 &engine.Context().boxes)) {
    ReportRefusedFile(engine, printer, path, "Cannot open file " + path);
    return 1;
  }
  // A file that plainly cannot be complete is refused before the unit is woken.
  if (const std::string problem = CheckHexComplete(file); !problem.empty()) {
    ReportRefusedFile(engine, printer, path, kBadFileText + problem);
    return 1;
  }
  const uint64_t length = file.GetLength();
  ended = HexOutcome::kNoContact;
  if (engine.Contact() != 0) return 0;  // the engine has shown why
  Transport* driver = engine.Driver();
  if (!driver) return 0;
  ended = HexOutcome::kFailed;
  const uint32_t startTick = TickCount();

  HexLineCutter cutter([&file]() -> int {
    unsigned char c;
    return file.Read(&c, 1) == 1 ? c : -1;
  });
  engine.Transfer().running = true;
  // Ends the transfer with a failure line that also goes to the result log.
  // `at` is a file offset: just past the last line the unit took for stray bytes, just past the
  // line it answered for a verdict it does not give.
  auto fail = [&](const char* what, int verdictByte, uint64_t at) {
    engine.Transfer().running = false;
    char text[96];
    if (verdictByte < 0)
      std::snprintf(text, sizeof text, "%s around 0x%lx", what, static_cast<unsigned long>(at));
    else
      std::snprintf(text, sizeof text, "%s 0x%02x around 0x%lx", what, static_cast<unsigned>(verdictByte),
                    static_cast<unsigned long>(at));
    engine.Log("%s", text);
    PrintStatus(printer, text);
    return 0;
  };
  // Nothing may be waiting when a line goes out: it would be taken for that line's verdict.
  // A driver that can tell nothing is waiting spares the check its reading pass.
  auto stray = [&] { return engine.TakeWaitingBytes("a HEX line") > 0; };
  uint64_t taken = 0;  // file offset just past the last line the unit took
  if (stray()) return fail("Stray Data", -1, taken);
  int verdict = WriteStartRecord(*driver, Classify(path), engine.Limits().hexReplyMs);
  if (verdict >= 0 && !KnownVerdict(verdict)) return fail("Bad Verdict", verdict, cutter.Consumed());
  std::string line;
  while (verdict == '+') {
    const HexLineCutter::Result cut = cutter.Next(line);
    if (cut == HexLineCutter::kEnd && file.LastReadError() != 0) {
      // The file could not be read to its end, or was changed while it was being sent: what
      // the unit took is not the file the user chose, so this is no success.
      engine.Transfer().running = false;
      char text[64];
      std::snprintf(text, sizeof text, "File read failed around 0x%lx", static_cast<unsigned long>(cutter.Consumed()));
      PrintStatus(printer, text);
      return 0;
    }
    if (cut == HexLineCutter::kEnd) {
      // A verdict doubled by the unit shows behind the last one, or never.
      if (stray()) return fail("Stray Data", -1, taken);
      break;
    }
    if (cut == HexLineCutter::kTooLong) {
      // Nothing in a HEX file is this long: this is not a HEX file, and the unit is not sent it.
      engine.Transfer().running = false;
      char text[64];
      std::snprintf(text, sizeof text, "Line too long around 0x%lx", static_cast<unsigned long>(cutter.Consumed()));
      PrintStatus(printer, text);
      return 0;
    }
    uint8_t reply[kReplySize] = {};
    for (int resends = 0;; ++resends) {
      if (engine.Cancel()) break;
      if (stray()) return fail("Stray Data", -1, taken);
      // The line and its NUL terminator go out in one write.
      const int written =
          driver->Write(reinterpret_cast<const uint8_t*>(line.c_str()), static_cast<unsigned>(line.size() + 1));
      // A reply cut short (or none) leaves the unit's state unknown: it counts as verdict 0,
      // which ends the transfer without sending the line again. So does a write that failed.
      const unsigned got = written == 0 ? driver->Read(reply, kReplySize, engine.Limits().hexReplyMs) : 0;
      verdict = got == kReplySize ? reply[0] : 0;
      if (engine.Cancel()) break;
      // A whole reply whose verdict the unit does not give is no answer to this line.
      if (got == kReplySize && !KnownVerdict(verdict)) return fail("Bad Verdict", verdict, cutter.Consumed());
      if (verdict == '+' || verdict == 0 || resends == kMaxResends) break;
    }
    if (engine.Cancel()) {
      engine.Transfer().running = false;
      ended = HexOutcome::kStopped;
      PrintStatus(printer, "Aborted");
      return 0;
    }
    if (verdict == '+') {
      taken = cutter.Consumed();
      const uint32_t total = reply[2] | reply[3] << 8 | static_cast<uint32_t>(reply[4]) << 16;
      ReportProgress(engine.Transfer(), printer, cutter.Consumed(), length, startTick, total);
    }
    engine.Context().pump.PumpOne();
  }
  engine.Transfer().running = false;
  // A line left without a verdict because the port went: the port's fault, not the unit's.
  if (verdict <= 0 && driver->LastError() == kTransportDisconnect) {
    PrintStatus(printer, "Serial port is faulty or in use by another program !!");
    return 0;
  }
  if (verdict == '+') ended = HexOutcome::kSuccess;
  const std::string result = VerdictText(verdict, cutter.Consumed());
  PrintStatus(printer, result.c_str());
  return 0;
}

}  // namespace kestrune
