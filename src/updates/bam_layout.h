// SPDX-License-Identifier: MIT
// The layout at the start of a BAM update image, read from a byte source without any other
// input or output: the transfer sends what it finds, the check before contact holds it against
// the file.
//
// File layout (big-endian numbers, no gaps):
//   title record   L (signed byte, = title length + 2), title, 0x00, one spare byte
//   image header   H (signed 16, whole header incl. itself, > 6), block count N (1..16),
//                  tag word, N x {24-bit address in a 32-bit field, 32-bit parameter}, rest
//   size table     total (32), N block lengths (32)
//   data           the blocks in order
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrune {

// Points `out` at up to `maximum` next bytes of the image and returns their count; fewer only
// at the end or on failure. The bytes stay valid until the next call.
using BamByteSource = std::function<unsigned(const uint8_t*& out, unsigned maximum)>;

struct BamLayout {
  static constexpr int kMaxBlocks = 16;

  // How far the layout was read whole; each part needs the ones before it.
  enum Part { kNone, kTitleRecord, kImageHeader, kSizeTable };
  Part complete = kNone;
  // The fault that stopped the reading; empty when none was found.
  std::string problem;

  // The title as far as its terminator and never beyond the record's bytes read; none when not
  // one byte of the record was read.
  std::optional<std::string> title;
  int titleRecordLength = 0;  // L

  int headerLength = 0;         // H, the length field included
  std::vector<uint8_t> header;  // the H - 2 bytes behind the length field, as the unit gets them
  int blockCount = 0;
  uint16_t tag = 0;
  std::array<uint32_t, kMaxBlocks> addresses{};  // the 24 bits of each block's address field
  std::array<uint32_t, kMaxBlocks> parameters{};

  uint32_t total = 0;  // the size table's total, equal to the sum of `lengths`
  std::array<uint32_t, kMaxBlocks> lengths{};

  // Bytes of the whole image as the layout describes it: title record, header, size table, data.
  uint64_t ImageSize() const;
};

// Reads the title record and the image header from `source` in this order and stops at the
// first fault. Each of L, the title record, H and the header behind H is one request, so a
// header longer than `maxHeaderRest` + 2 is a bad length.
BamLayout ReadBamHead(const BamByteSource& source, unsigned maxHeaderRest);

// Reads the size table that follows a complete image header, in one request.
void ReadBamSizeTable(const BamByteSource& source, BamLayout& layout);

// The whole layout: ReadBamHead, then ReadBamSizeTable when the header is complete.
BamLayout ReadBamLayout(const BamByteSource& source, unsigned maxHeaderRest);

}  // namespace kestrune
