// SPDX-License-Identifier: MIT
// Reading a BAM image's title record, image header and size table.
#include "bam_layout.h"

#include <algorithm>
#include <cstring>

namespace kestrune {
namespace {

int16_t Be16(const uint8_t* p) {
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] << 8 | p[1]));
}
uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

// The record's length L counts the title, its terminator and a spare byte. A record cut short
// still gives the title as far as it was read.
std::string ReadTitleRecord(const BamByteSource& source, BamLayout& layout) {
  const uint8_t* bytes = nullptr;
  if (source(bytes, 1) != 1) return "no title record";
  layout.titleRecordLength = static_cast<int8_t>(bytes[0]);
  if (layout.titleRecordLength <= 0) return "no title record";
  const unsigned want = static_cast<unsigned>(layout.titleRecordLength);
  const unsigned got = std::min(source(bytes, want), want);
  if (got > 0) {
    const auto* end = static_cast<const uint8_t*>(std::memchr(bytes, 0, got));
    layout.title.emplace(reinterpret_cast<const char*>(bytes), end ? static_cast<size_t>(end - bytes) : got);
  }
  return got == want ? "" : "title record cut short";
}

// A header must hold its block descriptors; a shorter one would make them up from whatever
// follows it.
std::string ReadImageHeader(const BamByteSource& source, unsigned maxHeaderRest, BamLayout& layout) {
  const uint8_t* bytes = nullptr;
  if (source(bytes, 2) != 2) return "image header cut short";
  layout.headerLength = Be16(bytes);
  if (layout.headerLength <= 6 || static_cast<unsigned>(layout.headerLength - 2) > maxHeaderRest)
    return "bad image header length " + std::to_string(layout.headerLength);
  const unsigned rest = static_cast<unsigned>(layout.headerLength - 2);
  if (source(bytes, rest) != rest) return "image header cut short";
  layout.header.assign(bytes, bytes + rest);

  layout.blockCount = Be16(bytes);
  if (layout.blockCount <= 0 || layout.blockCount > BamLayout::kMaxBlocks)
    return "bad block count " + std::to_string(layout.blockCount);
  if (rest < 4 + 8u * static_cast<unsigned>(layout.blockCount))
    return "image header too short for " + std::to_string(layout.blockCount) + " blocks";
  layout.tag = static_cast<uint16_t>(Be16(bytes + 2));
  for (size_t i = 0; i < static_cast<size_t>(layout.blockCount); ++i) {
    layout.addresses[i] = Be32(bytes + 4 + 8 * i) & 0x00ffffff;
    layout.parameters[i] = Be32(bytes + 8 + 8 * i);
  }
  return {};
}

}  // namespace

uint64_t BamLayout::ImageSize() const {
  return 1 + static_cast<uint64_t>(titleRecordLength) + static_cast<uint64_t>(headerLength) + 4 +
         4 * static_cast<uint64_t>(blockCount) + total;
}

BamLayout ReadBamHead(const BamByteSource& source, unsigned maxHeaderRest) {
  BamLayout layout;
  layout.problem = ReadTitleRecord(source, layout);
  if (!layout.problem.empty()) return layout;
  layout.complete = BamLayout::kTitleRecord;
  layout.problem = ReadImageHeader(source, maxHeaderRest, layout);
  if (layout.problem.empty()) layout.complete = BamLayout::kImageHeader;
  return layout;
}

void ReadBamSizeTable(const BamByteSource& source, BamLayout& layout) {
  const uint8_t* bytes = nullptr;
  const unsigned tableSize = 4 + 4 * static_cast<unsigned>(layout.blockCount);
  if (source(bytes, tableSize) != tableSize) {
    layout.problem = "size table cut short";
    return;
  }
  layout.total = Be32(bytes);
  uint64_t sum = 0;
  for (size_t i = 0; i < static_cast<size_t>(layout.blockCount); ++i) {
    layout.lengths[i] = Be32(bytes + 4 + 4 * i);
    sum += layout.lengths[i];
  }
  if (sum != layout.total) {
    layout.problem =
        "size table total " + std::to_string(layout.total) + " is not the sum of its blocks " + std::to_string(sum);
    return;
  }
  layout.complete = BamLayout::kSizeTable;
}

BamLayout ReadBamLayout(const BamByteSource& source, unsigned maxHeaderRest) {
  BamLayout layout = ReadBamHead(source, maxHeaderRest);
  if (layout.complete == BamLayout::kImageHeader) ReadBamSizeTable(source, layout);
  return layout;
}

}  // namespace kestrune
