// SPDX-License-Identifier: MIT
// Whole-file checks of BAM and HEX update files before contact, and how a refusal is reported.
#include "update_check.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "platform/file_system.h"
#include "updates/bam_layout.h"
#include "updates/bam_transfer.h"

namespace kestrune {
namespace {

bool ReadExactly(BufferedFileReader& file, std::vector<uint8_t>& into, size_t count) {
  into.assign(count, 0);
  return count == 0 || file.Read(into.data(), count) == count;
}

std::string BamLayoutProblem(BufferedFileReader& file) {
  const uint64_t length = file.GetLength();
  std::vector<uint8_t> buffer;
  const BamByteSource source = [&](const uint8_t*& out, unsigned maximum) {
    buffer.resize(maximum);
    out = buffer.data();
    return static_cast<unsigned>(file.Read(buffer.data(), maximum));
  };
  // The transfer reads the header behind its length field in one read of its buffer.
  const BamLayout layout = ReadBamLayout(source, BamFileTransfer::kReadBufferSize);
  if (!layout.problem.empty()) return layout.problem;
  if (layout.ImageSize() != length)
    return "file holds " + std::to_string(length) + " bytes, its layout " + std::to_string(layout.ImageSize());
  if (file.LastReadError() != 0) return "file cannot be read";
  return {};
}

// As the line cutter sees characters: signed bytes, so 0x80 and above count as controls.
bool EndsALine(uint8_t c) {
  return static_cast<int8_t>(c) < 0x20;
}
bool SkippedBeforeALine(uint8_t c) {
  return static_cast<int8_t>(c) <= 0x20;
}

// The longest stretch read from the end of a HEX file to find its last line; no record comes
// near it (255 data bytes make 521 characters).
constexpr uint64_t kHexTailBytes = 4096;

std::string HexProblem(BufferedFileReader& file) {
  const uint64_t length = file.GetLength();
  const uint64_t start = length > kHexTailBytes ? length - kHexTailBytes : 0;
  if (!file.Seek(static_cast<int64_t>(start), BufferedFileReader::kBegin)) return "file cannot be read";
  std::vector<uint8_t> tail;
  if (!ReadExactly(file, tail, static_cast<size_t>(length - start))) return "file cannot be read";

  // Back over what the cutter skips after the last line; what is left ends inside it.
  size_t end = tail.size();
  while (end > 0 && SkippedBeforeALine(tail[end - 1])) --end;
  if (end == 0) return start == 0 ? "empty HEX file" : "last record is not an end-of-file record";
  // The line goes on through blanks; it counts only when a line end follows them.
  size_t after = end;
  while (after < tail.size() && !EndsALine(tail[after])) ++after;
  if (after == tail.size()) return "last line has no line end";
  size_t begin = end;
  while (begin > 0 && !EndsALine(tail[begin - 1])) --begin;
  if (begin == 0 && start > 0) return "last record is not an end-of-file record";
  while (begin < end && SkippedBeforeALine(tail[begin])) ++begin;
  // ":LLAAAATT...": the record type stands at characters 7 and 8.
  const std::string line(tail.begin() + static_cast<std::ptrdiff_t>(begin),
                         tail.begin() + static_cast<std::ptrdiff_t>(end));
  if (line.size() < 11 || line[0] != ':' || line.compare(7, 2, "01") != 0)
    return "last record is not an end-of-file record";
  return {};
}

// Runs one check on an open regular file and leaves the file at its start for the transfer.
std::string CheckFromTheStart(BufferedFileReader& file, std::string (*problemOf)(BufferedFileReader&)) {
  if (!file.IsOpen()) return "file cannot be opened";
  if (!file.IsRegular()) return "not a regular file";
  std::string problem = problemOf(file);
  if (!file.Seek(0, BufferedFileReader::kBegin) && problem.empty()) problem = "file cannot be read";
  return problem;
}

}  // namespace

bool IsRegularFile(const std::string& path) {
  const std::optional<FileInfo> info = PathInfo(path);
  return info && info->IsRegular();
}

std::string CheckBamLayout(BufferedFileReader& file) {
  return CheckFromTheStart(file, BamLayoutProblem);
}

std::string CheckHexComplete(BufferedFileReader& file) {
  return CheckFromTheStart(file, HexProblem);
}

void ReportRefusedFile(Sender& engine, const StatusPrinter& printer, const std::string& path, const std::string& text) {
  char when[128];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(when, sizeof when, "%c", &local);
  engine.Log("%s", when);
  engine.Log("%s (%s)", text.c_str(), path.c_str());
  if (printer) printer("%s", text.c_str());
}

}  // namespace kestrune
