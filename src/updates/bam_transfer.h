// SPDX-License-Identifier: MIT
// The engine that sends a BAM update image (its layout in bam_layout.h): title record, image
// header, size table and up to 16 data blocks, driven through a small set of device operations.
// BamFileTransfer binds those operations to a file and to the protocol engine.
//
// Error convention of the updates layer: the transfers (BamTransfer, HexLineTransfer and the
// device operations) return the protocol's `int` codes, 0 for success; everything else
// (opening and checking files, paths, captions) returns `bool`, true for success, with the
// system's error number kept beside it where a message needs it (FileOpenError).
#pragma once

#include <cstdint>
#include <string>

#include "protocol/protocol_engine.h"
#include "updates/bam_layout.h"
#include "updates/buffered_file_reader.h"
#include "updates/update_check.h"

namespace kestrune {

class BamTransfer {
 public:
  static constexpr int kMaxBlocks = BamLayout::kMaxBlocks;
  // The engine never asks `Read` for more than this at a time.
  static constexpr unsigned kMaxReadRequest = 30000;
  // Progress is reported once more than this many bytes went out since the last report.
  static constexpr uint32_t kProgressStep = 4096;

  BamTransfer() = default;
  BamTransfer(const BamTransfer&) = delete;
  BamTransfer& operator=(const BamTransfer&) = delete;
  virtual ~BamTransfer() = default;

  // Device operations; a result of 0 means go on (or success). The base ones do nothing.
  virtual int Prepare(int count, const uint32_t* parameters, const uint32_t* addresses, const StatusPrinter& printer);
  virtual int Close();
  virtual int StartBlock(int index, uint32_t length, uint32_t parameter, const StatusPrinter& printer);
  // `header` holds the headerLength - 2 bytes that follow the length field in the file.
  virtual int Open(int headerLength, const uint8_t* header, const StatusPrinter& printer);
  virtual int Write(const uint8_t* data, unsigned count, uint16_t tag);
  // Points `out` at up to `maximum` next bytes of the image; 0 at the end or on failure.
  virtual unsigned Read(const uint8_t*& out, unsigned maximum);
  // Called with the whole percent of the image sent each time a progress text is shown.
  virtual void ShowPercent(int percent) { (void)percent; }

  // Sends the whole image. Returns 0 on success, 1 for a file or format fault, else the first
  // failing operation's result. After a successful `Open`, `Close` is called whatever fails
  // later, and the first failure is the one reported. `printer` may be empty.
  int Transfer(const StatusPrinter& printer);

 private:
  // Prepare, then each block's StartBlock and its data in Writes; stops at the first failure.
  int SendBlocks(const BamLayout& layout, const StatusPrinter& printer);
};

// A BAM file sent through the protocol engine: Open carries the image header (the unit erases
// on it), Send Data each chunk of at most 1536 bytes, Close ends the image.
class BamFileTransfer : public BamTransfer {
 public:
  static constexpr unsigned kReadBufferSize = 1536;

  // Opens `path` for reading, writers denied. A file that does not open is not reported here:
  // the first read then yields nothing and the transfer ends with result 1.
  BamFileTransfer(const std::string& path, Sender& engine);
  ~BamFileTransfer() override;  // closes the file

  int Close() override;
  int StartBlock(int index, uint32_t length, uint32_t parameter, const StatusPrinter& printer) override;
  int Open(int headerLength, const uint8_t* header, const StatusPrinter& printer) override;
  int Write(const uint8_t* data, unsigned count, uint16_t tag) override;
  unsigned Read(const uint8_t*& out, unsigned maximum) override;
  // To the engine's progress sink (the window's progress bar).
  void ShowPercent(int percent) override;

  const std::string& Path() const { return path_; }
  bool Opened() const { return file_.IsOpen(); }
  // The whole layout held against the file before anything is sent (see CheckBamLayout):
  // empty when the file can be sent whole, else why not.
  std::string CheckLayout() { return CheckBamLayout(file_); }

 private:
  std::string path_;
  BufferedFileReader file_;
  Sender& engine_;
  uint8_t buffer_[kReadBufferSize] = {};
  int block_ = 0;
};

}  // namespace kestrune
