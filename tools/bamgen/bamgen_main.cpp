// SPDX-License-Identifier: MIT
// kestrune-bamgen: writes update files for tests, benchmarks and the demo.
//   kestrune-bamgen --samples DIR          the project's sample BAM, HEX and SAM firmware files into DIR
//   kestrune-bamgen --bam FILE [--title T] [--sizes N,N,...] [--seed S]
//   kestrune-bamgen --hex FILE [--size N] [--seed S]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bam_image.h"

namespace {

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "kestrune-bamgen: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

std::string AsString(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

int Usage() {
  std::fputs(
      "usage: kestrune-bamgen --samples DIR\n"
      "       kestrune-bamgen --bam FILE [--title T] [--sizes N,N,...] [--seed S]\n"
      "       kestrune-bamgen --hex FILE [--size N] [--seed S]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrune::bamgen;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string samples, bam, hex, title = "Generated_Update", sizes = "4096";
  unsigned long size = 4096, seed = 1;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (i + 1 >= args.size()) return Usage();
    const std::string& v = args[++i];
    if (a == "--samples")
      samples = v;
    else if (a == "--bam")
      bam = v;
    else if (a == "--hex")
      hex = v;
    else if (a == "--title")
      title = v;
    else if (a == "--sizes")
      sizes = v;
    else if (a == "--size")
      size = std::strtoul(v.c_str(), nullptr, 10);
    else if (a == "--seed")
      seed = std::strtoul(v.c_str(), nullptr, 10);
    else
      return Usage();
  }
  if (samples.empty() && bam.empty() && hex.empty()) return Usage();
  if (!samples.empty()) {
    if (!WriteFile(samples + "/Kestrune_Demo.bam", AsString(BuildBam(SampleBam()))) ||
        !WriteFile(samples + "/Kestrune_Demo.hex", SampleHex()) ||
        !WriteFile(samples + "/Kestrune_Demo_SAM.bin", AsString(SampleFirmware()))) {
      return 1;
    }
  }
  if (!bam.empty()) {
    BamImage image;
    image.title = title;
    image.tag = 0x0001;
    std::stringstream list(sizes);
    std::string item;
    uint32_t address = 0x010000;
    while (std::getline(list, item, ',') && image.blocks.size() < 16) {
      const size_t n = std::strtoul(item.c_str(), nullptr, 10);
      image.blocks.push_back({address, 0, PatternBytes(n, static_cast<uint32_t>(seed + image.blocks.size()))});
      address += 0x010000;
    }
    if (!WriteFile(bam, AsString(BuildBam(image)))) return 1;
  }
  if (!hex.empty() && !WriteFile(hex, BuildHex(PatternBytes(size, static_cast<uint32_t>(seed)), 0, 16))) return 1;
  return 0;
}
