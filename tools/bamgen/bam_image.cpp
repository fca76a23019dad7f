// SPDX-License-Identifier: MIT
// Update file builder.
#include "bam_image.h"

#include <algorithm>

#include "updates/update_kind.h"

namespace kestrune::bamgen {
namespace {

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v >> 16));
  Put16(out, static_cast<uint16_t>(v));
}

}  // namespace

std::vector<uint8_t> ImageHeader(const BamImage& image) {
  std::vector<uint8_t> rest;
  Put16(rest, static_cast<uint16_t>(image.blockCountField.value_or(static_cast<int16_t>(image.blocks.size()))));
  Put16(rest, image.tag);
  for (const BamBlock& b : image.blocks) {
    Put32(rest, b.address);
    Put32(rest, b.parameter);
  }
  rest.insert(rest.end(), image.headerRest.begin(), image.headerRest.end());
  std::vector<uint8_t> header;
  Put16(header, static_cast<uint16_t>(image.headerLengthField.value_or(static_cast<int16_t>(rest.size() + 2))));
  header.insert(header.end(), rest.begin(), rest.end());
  return header;
}

std::vector<uint8_t> BuildBam(const BamImage& image) {
  // Title record: length (title + terminator + spare byte), title, terminator, spare.
  const size_t titleSize = std::min<size_t>(image.title.size(), 125);
  std::vector<uint8_t> out(titleSize + 3, 0);
  out[0] = static_cast<uint8_t>(titleSize + 2);
  std::copy_n(image.title.begin(), titleSize, out.begin() + 1);
  const std::vector<uint8_t> header = ImageHeader(image);
  out.insert(out.end(), header.begin(), header.end());
  uint32_t total = 0;
  for (const BamBlock& b : image.blocks) total += static_cast<uint32_t>(b.data.size());
  Put32(out, image.totalField.value_or(total));
  for (const BamBlock& b : image.blocks) Put32(out, static_cast<uint32_t>(b.data.size()));
  for (const BamBlock& b : image.blocks) out.insert(out.end(), b.data.begin(), b.data.end());
  return out;
}

std::vector<uint8_t> PatternBytes(size_t count, uint32_t seed) {
  std::vector<uint8_t> out(count);
  uint32_t state = seed * 2654435761u + 1;
  for (uint8_t& b : out) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(state >> 24);
  }
  return out;
}

std::string BuildHex(const std::vector<uint8_t>& data, uint16_t address, size_t perLine) {
  perLine = std::clamp<size_t>(perLine, 1, 255);
  std::string text;
  for (size_t at = 0; at < data.size(); at += perLine) {
    const size_t count = std::min(perLine, data.size() - at);
    text += HexRecord(static_cast<uint16_t>(address + at), 0x00, data.data() + at, count) + "\r\n";
  }
  return text + HexRecord(0, 0x01, nullptr, 0) + "\r\n";
}

BamImage SampleBam() {
  BamImage image;
  image.title = "Kestrune_Demo_Update_1.61";
  image.tag = 0x4b31;
  image.blocks = {
      {0x01010000, 0x00000001, PatternBytes(6000, 1)},
      {0x00020000, 0x00000002, {}},
      {0x00030000, 0x00000003, PatternBytes(2500, 3)},
  };
  image.headerRest = {'K', 'S', 0x01, 0x61};
  return image;
}

std::string SampleHex() {
  return BuildHex(PatternBytes(1024, 7), 0x0000, 16);
}

std::vector<uint8_t> SampleFirmware() {
  return PatternBytes(12000, 11);
}

}  // namespace kestrune::bamgen
