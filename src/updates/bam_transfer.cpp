// SPDX-License-Identifier: MIT
// The BAM transfer engine and its binding to a file and the protocol engine.
#include "bam_transfer.h"

#include <algorithm>
#include <cstdio>

#include "platform/tick_count.h"
#include "updates/hex_line_transfer.h"
#include "updates/update_kind.h"

namespace kestrune {
namespace {

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
  PrintStatus(printer, text);
}

// Shows the outcome and returns it.
int Finish(const StatusPrinter& printer, int code) {
  if (code != 0) {
    char text[48];
    std::snprintf(text, sizeof text, "Transfer Failed ! (E%d)", code);
    PrintStatus(printer, text);
  } else {
    PrintStatus(printer, "Transfer Successful");
  }
  return code;
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
  const BamByteSource source = [this](const uint8_t*& out, unsigned maximum) { return Read(out, maximum); };
  BamLayout layout = ReadBamHead(source, kMaxReadRequest);
  if (layout.title) PrintStatus(printer, "Processing \"%s\"", layout.title->c_str());
  // Nothing goes to the unit before its image header is known whole: the unit erases on Open.
  if (layout.complete < BamLayout::kImageHeader) return Finish(printer, 1);
  int result = Open(layout.headerLength, layout.header.data(), printer);
  if (result != 0) return Finish(printer, result);
  PrintStatus(printer, "%s", "Erase done");

  // From here on the unit has an open image: whatever fails, Close is sent, a size table that
  // does not hold together included.
  ReadBamSizeTable(source, layout);
  result = layout.complete == BamLayout::kSizeTable ? SendBlocks(layout, printer) : 1;
  const int closed = Close();
  if (result == 0) result = closed;
  return Finish(printer, result);
}

int BamTransfer::SendBlocks(const BamLayout& layout, const StatusPrinter& printer) {
  const uint32_t startTick = TickCount();
  uint32_t sinceReport = 0;
  uint32_t sent = 0;
  int result = Prepare(layout.blockCount, layout.parameters.data(), layout.addresses.data(), printer);
  for (int k = 0; k < layout.blockCount && result == 0; ++k) {
    const size_t block = static_cast<size_t>(k);
    result = StartBlock(k, layout.lengths[block], layout.parameters[block], printer);
    uint32_t remaining = layout.lengths[block];
    while (remaining > 0 && result == 0) {
      const unsigned want = std::min<uint32_t>(remaining, kMaxReadRequest);
      // A device that hands back more than asked for is held to what was asked.
      const uint8_t* bytes = nullptr;
      const unsigned count = std::min(Read(bytes, want), want);
      if (count == 0) return 1;
      result = Write(bytes, count, layout.tag);
      remaining -= count;
      sinceReport += count;
      sent += count;
      if (printer && (sinceReport > kProgressStep || sent == layout.total)) {
        ReportProgress(*this, printer, sent, layout.total, startTick);
        sinceReport = 0;
      }
    }
  }
  return result;
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
