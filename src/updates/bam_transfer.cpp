// SPDX-License-Identifier: MIT
// The BAM transfer engine and its binding to a file and the protocol engine.
#include "bam_transfer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/tick_count.h"
#include "updates/hex_line_transfer.h"
#include "updates/update_kind.h"

namespace kestrune {
namespace {

uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

void Print(const StatusPrinter& printer, const char* format, const char* argument = nullptr) {
  if (printer) printer(format, argument);
}

// "Copying ... 42% done. Left: 1:05", composed with "%%" so that it can be shown as a format.
void ReportProgress(BamTransfer& transfer, const StatusPrinter& printer, uint32_t sent, uint32_t total,
                    uint32_t startTick) {
  const int percent = static_cast<int>(sent * 100.0 / total);
  char text[96];
  int n = std::snprintf(text, sizeof text, "Copying ... %d%%%% done", percent);
  if (percent > 1) {
    const int left = SecondsLeft(total, sent, TickDiff(TickCount(), startTick));
    std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ". Left: %d:%02d", left / 60, left % 60);
  }
  transfer.ShowPercent(percent);
  Print(printer, text);
}

}  // namespace

int BamTransfer::Prepare(int, const uint32_t*, const uint32_t*, const StatusPrinter&) {
  return 0;
}
int BamTransfer::Close() {
  return 0;
}
int BamTransfer::StartBlock(int, uint32_t, uint32_t, const StatusPrinter&) {
  return 0;
}
int BamTransfer::Open(int, const uint8_t*, const StatusPrinter&) {
  return 0;
}
int BamTransfer::Write(const uint8_t*, unsigned, uint16_t) {
  return 0;
}
unsigned BamTransfer::Read(const uint8_t*&, unsigned) {
  return 0;
}

int BamTransfer::Transfer(const StatusPrinter& printer) {
  const uint8_t* bytes = nullptr;
  int result = 0;
  auto finish = [&](int code) {
    char text[48];
    if (code != 0) {
      std::snprintf(text, sizeof text, "Transfer Failed ! (E%d)", code);
      Print(printer, text);
    } else {
      Print(printer, "Transfer Successful");
    }
    return code;
  };

  // Title record: its length L counts the title, its terminator and a spare byte. The title is
  // shown only up to its terminator and never beyond the L bytes read.
  if (Read(bytes, 1) == 1) {
    const int titleLength = static_cast<int8_t>(bytes[0]);
    if (titleLength <= 0) return finish(1);
    const unsigned got = Read(bytes, static_cast<unsigned>(titleLength));
    if (got == 0) return finish(1);
    const auto* end = static_cast<const uint8_t*>(std::memchr(bytes, 0, got));
    const std::string title(reinterpret_cast<const char*>(bytes), end ? static_cast<size_t>(end - bytes) : got);
    Print(printer, "Processing \"%s\"", title.c_str());
  }

  // Image header: the length field, then the rest, which goes to the unit as it stands.
  if (Read(bytes, 2) != 2) return finish(1);
  const int headerLength = static_cast<int16_t>(Be16(bytes));
  if (headerLength <= 6) return finish(1);
  const unsigned headerRest = static_cast<unsigned>(headerLength - 2);
  if (Read(bytes, headerRest) != headerRest) return finish(1);
  const std::vector<uint8_t> header(bytes, bytes + headerRest);

  // A header must hold its block descriptors; a shorter one would make them up from whatever
  // follows it, so it is refused as a format fault before the unit erases anything.
  const int blockCount = static_cast<int16_t>(Be16(&header[0]));
  if (blockCount <= 0 || blockCount > kMaxBlocks) return finish(1);
  if (headerRest < 4 + 8u * static_cast<unsigned>(blockCount)) return finish(1);
  const uint16_t tag = Be16(&header[2]);
  uint32_t addresses[kMaxBlocks] = {};
  uint32_t parameters[kMaxBlocks] = {};
  for (int i = 0; i < blockCount; ++i) {
    addresses[i] = Be32(&header[4 + 8 * static_cast<size_t>(i)]) & 0x00ffffff;
    parameters[i] = Be32(&header[8 + 8 * static_cast<size_t>(i)]);
  }

  result = Open(headerLength, header.data(), printer);
  if (result != 0) return finish(result);
  Print(printer, "%s", "Erase done");

  // From here on the unit has an open image: whatever fails, Close is sent.
  uint32_t lengths[kMaxBlocks] = {};
  uint32_t total = 0;
  const unsigned tableSize = 4 * static_cast<unsigned>(blockCount) + 4;
  if (Read(bytes, tableSize) != tableSize) {
    result = 1;
  } else {
    total = Be32(bytes);
    uint64_t sum = 0;
    for (int i = 0; i < blockCount; ++i) {
      lengths[i] = Be32(bytes + 4 + 4 * static_cast<size_t>(i));
      sum += lengths[i];
    }
    if (sum != total) result = 1;
  }

  if (result == 0) {
    const uint32_t startTick = TickCount();
    uint32_t sinceReport = 0;
    uint32_t sent = 0;
    result = Prepare(blockCount, parameters, addresses, printer);
    for (int k = 0; k < blockCount && result == 0; ++k) {
      result = StartBlock(k, lengths[k], parameters[k], printer);
      uint32_t remaining = lengths[k];
      while (remaining > 0 && result == 0) {
        const unsigned want = std::min<uint32_t>(remaining, kMaxReadRequest);
        // A device that hands back more than asked for is held to what was asked.
        const unsigned count = std::min(Read(bytes, want), want);
        if (count == 0) {
          result = 1;
          break;
        }
        result = Write(bytes, count, tag);
        remaining -= count;
        sinceReport += count;
        sent += count;
        if (printer && (sinceReport > kProgressStep || sent == total)) {
          ReportProgress(*this, printer, sent, total, startTick);
          sinceReport = 0;
        }
      }
    }
  }

  const int closed = Close();
  if (result == 0) result = closed;
  return finish(result);
}

BamFileTransfer::BamFileTransfer(const std::string& path, Sender& engine) : path_(path), engine_(engine) {
  file_.Open(path, BufferedFileReader::kModeRead | BufferedFileReader::kShareDenyWrite, 8192);
}

BamFileTransfer::~BamFileTransfer() {
  file_.Close();
}

unsigned BamFileTransfer::Read(const uint8_t*& out, unsigned maximum) {
  out = buffer_;
  if (!file_.IsOpen()) return 0;
  return static_cast<unsigned>(file_.Read(buffer_, std::min(maximum, kReadBufferSize)));
}

int BamFileTransfer::Open(int headerLength, const uint8_t* header, const StatusPrinter&) {
  engine_.BeginMessage(kCmdOpen, static_cast<uint16_t>(headerLength), "Open");
  const uint8_t length[2] = {static_cast<uint8_t>(headerLength >> 8), static_cast<uint8_t>(headerLength & 0xff)};
  engine_.Append(length, 2);
  engine_.Append(header, headerLength - 2);
  engine_.ShowStatus("Erasing", 1);
  return engine_.Exchange(engine_.Limits().openResultMs, 1);
}

void BamFileTransfer::ShowPercent(int percent) {
  if (engine_.Transfer().progress) engine_.Transfer().progress(percent);
}

int BamFileTransfer::StartBlock(int index, uint32_t, uint32_t, const StatusPrinter&) {
  block_ = index;
  return 0;
}

int BamFileTransfer::Write(const uint8_t* data, unsigned count, uint16_t tag) {
  return engine_.SendData(static_cast<uint16_t>(block_), data, count, tag);
}

int BamFileTransfer::Close() {
  engine_.BeginMessage(kCmdClose, 0, "Close");
  return engine_.Exchange(engine_.Limits().closeResultMs, 0);
}

}  // namespace kestrune
