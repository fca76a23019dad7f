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

#include "pageburn/getcmd.h"
#include "pageburn/pageburn_flags.h"

namespace {

using namespace kestrune;

// The script file: one memory file reopened through /proc for every read.
const std::string& ScriptPath() {
  static const std::string path = [] {
    const int fd = memfd_create("getcmd-script", 0);
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
  return (code >= kGetcmdOk && code <= kGetcmdFileFailed) || code == kGetcmdHelp;
}

template <typename Text>
void CheckText(const Text& text, size_t max) {
  if (std::strlen(text.c_str()) > max) std::abort();
}

void ParseCommandLine(const std::vector<std::string>& args) {
  PageburnFlags flags("/dev/ttyACM0");
  Getcmd parser(flags.Table());
  parser.SetConsole([](std::string_view) {});
  std::vector<const char*> argv{"pageburn"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back("script");
  argv.push_back(ScriptPath().c_str());
  std::string message;
  // Negative: no INI file beside the fuzzer.
  const int code = parser.Parse(-static_cast<int>(argv.size()), argv.data(), message);
  if (!KnownCode(code) || (code == kGetcmdOk) != message.empty()) std::abort();
  if (flags.Port().size() > PageburnFlags::kMaxPortLength) std::abort();
}

void ReadAllTypes() {
  int32_t i1 = 0, i2 = 0, i4 = 0, i5 = 0, inner = 0;
  uint8_t b6 = 0, b7 = 0;
  float f13 = 0;
  FlagText<8> t3;
  LongFlagText<16> t14;
  size_t handled = 0;
  GetcmdEntry nested[] = {{nullptr, {}, kGetcmdTypeTable}, {"inner", &inner, kGetcmdTypeInteger}, {}};
  nested[0].target = static_cast<const GetcmdEntry*>(nested);  // a table that holds itself
  const GetcmdEntry table[] = {
      {"i1", &i1, kGetcmdTypeDecimal},
      {"i2", &i2, kGetcmdTypeDecimalOrEmpty},
      {"t3", t3.Target(), kGetcmdTypeText},
      {"i4", &i4, kGetcmdTypeInteger},
      {"i5", &i5, kGetcmdTypeSwitch},
      {"b6", &b6, kGetcmdTypeByte},
      {"b7", &b7, kGetcmdTypeByteOrEmpty},
      {"h8", GetcmdValueHandler([&](std::string_view n, std::string_view v) {
         handled += n.size() + v.size();
         return v == "fail" ? kGetcmdHandlerFailed : kGetcmdOk;
       }),
       kGetcmdTypeValueHandler},
      {"h11", GetcmdTokenHandler([&](Getcmd&, std::string_view t, const GetcmdEntry*) {
         handled += t.size();
         return kGetcmdOk;
       }),
       kGetcmdTypeTokenHandler},
      {"f13", &f13, kGetcmdTypeFloat},
      {"t14", t14.Target(), kGetcmdTypeLongText},
      {nullptr, static_cast<const GetcmdEntry*>(nested), kGetcmdTypeTable},
      {"odd", &i1, 99},
      {},
  };
  Getcmd parser(table);
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
