// SPDX-License-Identifier: MIT
// Fuzzes GETCMD with arbitrary arguments and flag-file bytes. The input up to its first 0xFF
// byte is the argument list (arguments split at NUL bytes), the rest the bytes of a script file
// held in memory. Each input is parsed twice: as pageburn's command line with "script <file>"
// appended, and as a flag file read against a table of every value type. Besides crashes and
// sanitizer reports it checks that codes are known ones, messages come with failures only, and
// text variables stay terminated within their maximum length.
#include <sys/mman.h>
#include <unistd.h>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "pageburn/flag_table_parser.h"
#include "pageburn/pageburn_flags.h"

namespace {

using namespace kestrune;

// The script file: one memory file reopened through /proc for every read.
const std::string& ScriptPath() {
  static const std::string path = [] {
    const int fd = memfd_create("flag-script", 0);
    if (fd < 0) std::abort();
    return "/proc/self/fd/" + std::to_string(fd);
  }();
  return path;
}

void SetScript(std::string_view bytes) {
  const int fd = std::atoi(ScriptPath().c_str() + std::strlen("/proc/self/fd/"));
  if (ftruncate(fd, 0) != 0) std::abort();
  if (!bytes.empty() && pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) std::abort();
}

bool KnownCode(int code) {
  return (code >= kFlagTableOk && code <= kFlagTableFileFailed) || code == kFlagTableHelp;
}

template <typename Text>
void CheckText(const Text& text, size_t max) {
  if (std::strlen(text.c_str()) > max) std::abort();
}

void ParseCommandLine(const std::vector<std::string>& args) {
  PageburnFlags flags("/dev/ttyACM0");
  FlagTableParser parser(flags.Table());
  parser.SetConsole([](std::string_view) {});
  std::vector<const char*> argv{"pageburn"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back("script");
  argv.push_back(ScriptPath().c_str());
  std::string message;
  // Negative: no INI file beside the fuzzer.
  const int code = parser.Parse(-static_cast<int>(argv.size()), argv.data(), message);
  if (!KnownCode(code) || (code == kFlagTableOk) != message.empty()) std::abort();
  if (flags.Port().size() > PageburnFlags::kMaxPortLength) std::abort();
}

void ReadAllTypes() {
  int32_t i1 = 0, i2 = 0, i4 = 0, i5 = 0, inner = 0;
  uint8_t b6 = 0, b7 = 0;
  float f13 = 0;
  FlagText<8> t3;
  LongFlagText<16> t14;
  size_t handled = 0;
  FlagTableEntry nested[] = {{nullptr, {}, kFlagTypeTable}, {"inner", &inner, kFlagTypeInteger}, {}};
  nested[0].target = static_cast<const FlagTableEntry*>(nested);  // a table that holds itself
  const FlagTableEntry table[] = {
      {"i1", &i1, kFlagTypeDecimal},
      {"i2", &i2, kFlagTypeDecimalOrEmpty},
      {"t3", t3.Target(), kFlagTypeText},
      {"i4", &i4, kFlagTypeInteger},
      {"i5", &i5, kFlagTypeSwitch},
      {"b6", &b6, kFlagTypeByte},
      {"b7", &b7, kFlagTypeByteOrEmpty},
      {"h8", FlagValueHandler([&](std::string_view n, std::string_view v) {
         handled += n.size() + v.size();
         return v == "fail" ? kFlagTableHandlerFailed : kFlagTableOk;
       }),
       kFlagTypeValueHandler},
      {"h11", FlagTokenHandler([&](FlagTableParser&, std::string_view t, const FlagTableEntry*) {
         handled += t.size();
         return kFlagTableOk;
       }),
       kFlagTypeTokenHandler},
      {"f13", &f13, kFlagTypeFloat},
      {"t14", t14.Target(), kFlagTypeLongText},
      {nullptr, static_cast<const FlagTableEntry*>(nested), kFlagTypeTable},
      {"odd", &i1, 99},
      {},
  };
  FlagTableParser parser(table);
  parser.SetConsole([](std::string_view text) {
    if (text.size() > kMaxFlagWord + 64) std::abort();
  });
  const int code = parser.ReadFlagFile(table, ScriptPath(), true);
  if (!KnownCode(code)) std::abort();
  CheckText(t3, 8);
  CheckText(t14, 16);
  std::string usage;
  parser.Usage("prog", usage);
  if (usage.find("Usage: prog ") != 1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const size_t split = bytes.find('\xff');
  const std::string_view argPart = bytes.substr(0, split);
  SetScript(split == std::string_view::npos ? std::string_view() : bytes.substr(split + 1));

  std::vector<std::string> args;
  size_t start = 0;
  while (start <= argPart.size() && !argPart.empty()) {
    const size_t end = std::min(argPart.find('\0', start), argPart.size());
    args.emplace_back(argPart.substr(start, end - start));
    start = end + 1;
  }
  ParseCommandLine(args);
  ReadAllTypes();
  return 0;
}
