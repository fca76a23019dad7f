// SPDX-License-Identifier: MIT
// Builds update files of any shape: BAM images (valid, or with chosen fields made wrong) and
// Intel HEX texts. The project's sample files and the transfer tests and benchmarks use it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::bamgen {

struct BamBlock {
  uint32_t address = 0;  // the file keeps 32 bits; the unit takes the low 24
  uint32_t parameter = 0;
  std::vector<uint8_t> data;
};

struct BamImage {
  std::string title;
  uint16_t tag = 0;
  std::vector<BamBlock> blocks;
  std::vector<uint8_t> headerRest;  // header bytes after the block descriptors
  // Fields written as given instead of as computed, to make faulty files.
  std::optional<int16_t> blockCountField;
  std::optional<int16_t> headerLengthField;
  std::optional<uint32_t> totalField;
};

// The image header as it stands in the file, from its length field on.
std::vector<uint8_t> ImageHeader(const BamImage& image);
// The whole file: title record, image header, size table, block data.
std::vector<uint8_t> BuildBam(const BamImage& image);

// `count` bytes of a fixed pseudo-random sequence picked by `seed`, so files are reproducible.
std::vector<uint8_t> PatternBytes(size_t count, uint32_t seed);

// An Intel HEX text holding `data` from `address` on, `perLine` data bytes per record, each line
// ended by CR LF, closed by the end-of-file record.
std::string BuildHex(const std::vector<uint8_t>& data, uint16_t address, size_t perLine);

// The project's sample files.
BamImage SampleBam();
std::string SampleHex();
// A firmware image for a SAM chip's flash, as pageburn writes it; its length is no multiple of
// the flash page, so the last page is padded.
std::vector<uint8_t> SampleFirmware();

}  // namespace kestrune::bamgen
