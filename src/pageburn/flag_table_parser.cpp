// SPDX-License-Identifier: MIT
// GETCMD: matching tokens against flag tables, the INI and script files, the usage text.
#include "pageburn/flag_table_parser.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/decimal.h"
#include "platform/file_system.h"

namespace kestrune {
namespace {

__attribute__((format(printf, 1, 2))) std::string StringPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, again);
    out.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return out;
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool IsPositional(const FlagTableEntry& e) {
  return e.name && (e.type == kFlagTypePositional || e.type == kFlagTypeLongPositional);
}

bool HasTarget(const FlagTableEntry& e) {
  return !std::holds_alternative<std::monostate>(e.target);
}

// A C-style integer (decimal, 0x hexadecimal, leading-0 octal, optional sign) kept within 32 bits.
int32_t CInteger(std::string_view value) {
  const std::string text(value);
  const long long v = std::strtoll(text.c_str(), nullptr, 0);
  return static_cast<int32_t>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v);
}

// Text variables: the maximum length in 1 or 4 bytes before the text.
struct TextVariable {
  char* text;
  size_t max;
};

TextVariable TextOf(char* bytes, bool longForm) {
  if (!longForm) return {bytes + 1, static_cast<unsigned char>(bytes[0])};
  uint32_t max = 0;
  std::memcpy(&max, bytes, sizeof max);
  return {bytes + 4, max};
}

bool LongForm(int32_t type) {
  return type == kFlagTypeLongText || type == kFlagTypeLongPositional;
}

// Copies at most the maximum length: positional parameters are cut, not refused.
void CopyCut(char* bytes, bool longForm, std::string_view value) {
  const TextVariable v = TextOf(bytes, longForm);
  const size_t n = value.size() < v.max ? value.size() : v.max;
  if (n > 0) std::memcpy(v.text, value.data(), n);  // an empty view may hold no pointer at all
  v.text[n] = '\0';
}

// The entry's current value as the usage text shows it; empty for none.
std::string ValueText(const FlagTableEntry& e) {
  switch (e.type) {
    case kFlagTypeDecimal:
    case kFlagTypeDecimalOrEmpty:
    case kFlagTypeInteger:
    case kFlagTypeSwitch:
      if (auto* p = std::get_if<int32_t*>(&e.target); p && *p) return std::to_string(**p);
      break;
    case kFlagTypeByte:
    case kFlagTypeByteOrEmpty:
      if (auto* p = std::get_if<uint8_t*>(&e.target); p && *p) return std::to_string(**p);
      break;
    case kFlagTypeText:
    case kFlagTypeLongText:
      if (auto* p = std::get_if<char*>(&e.target); p && *p) return TextOf(*p, LongForm(e.type)).text;
      break;
    case kFlagTypeFloat:
      if (auto* p = std::get_if<float*>(&e.target); p && *p) return StringPrintf("%.8g", static_cast<double>(**p));
      break;
    default:
      break;
  }
  return {};
}

const char* UsageSuffix(int32_t type) {
  switch (type) {
    case kFlagTypeDecimal:
    case kFlagTypeInteger:
    case kFlagTypeByte:
      return "=<number>";
    case kFlagTypeText:
    case kFlagTypeLongText:
      return "=<text>";
    case kFlagTypeFloat:
      return "=<float number>";
    default:
      return "";
  }
}

int ReadScript(FlagTableParser& parser, std::string_view token, const FlagTableEntry* table) {
  return parser.ReadFlagFile(table, std::string(token), true);
}

bool IsBlank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == 0;
}

}  // namespace

std::string IniPathFor(std::string_view programPath) {
  std::string path(programPath);
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t exe = path.find(".exe", nameStart);
  if (exe != std::string::npos) path.resize(exe);
  return path + ".ini";
}

const FlagTableEntry* FlagTableParser::CommonTable() {
  static const FlagTableEntry common[] = {{"script", FlagTokenHandler(ReadScript), kFlagTypeTokenHandler}, {}};
  return common;
}

FlagTableParser::FlagTableParser(const FlagTableEntry* table) : table_(table), flags_(table) {
  while (flags_ && IsPositional(*flags_)) ++flags_;
}

void FlagTableParser::Print(const std::string& text) const {
  if (console_) {
    console_(text);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

int FlagTableParser::Parse(int argc, const char* const* argv, std::string& message) {
  message.clear();
  pending_ = nullptr;
  pendingToken_.clear();
  scriptDepth_ = 0;
  const bool readIni = argc >= 0;
  size_t count = argc < 0 ? static_cast<size_t>(-static_cast<long long>(argc)) : static_cast<size_t>(argc);
  for (size_t i = 0; i < count; ++i) {
    if (!argv || !argv[i]) count = i;
  }
  const std::string program = count > 0 ? argv[0] : "";

  if (readIni) {
    // Named from argument 0 as the program was started: through PATH that is the working
    // folder's file, through a link the file beside the link.
    const std::string ini = IniPathFor(program);
    if (ReadFlagFile(flags_, ini, false) != kFlagTableOk)
      Print(StringPrintf("GETCMD: error in ini file \"%s\"\n", ini.c_str()));
  }

  size_t next = 1;
  for (const FlagTableEntry* e = table_; e && e != flags_; ++e) {
    if (next >= count) {
      message = StringPrintf("%s: \nRequired parameter(s) missing: <%s>\n", program.c_str(), e->name);
      return kFlagTableMissing;
    }
    const std::string_view arg = argv[next++];
    if (arg == "?" || SameName(arg, "help")) {
      Usage(program, message);
      return kFlagTableHelp;
    }
    if (auto* bytes = std::get_if<char*>(&e->target); bytes && *bytes) CopyCut(*bytes, LongForm(e->type), arg);
  }

  for (; next < count; ++next) {
    const int code = ParseFlag(argv[next], flags_);
    if (code == kFlagTableOk) continue;
    if (code == kFlagTableUnrecognised)
      message = StringPrintf("%s: Unrecognised parameter: \"%s\"\n", program.c_str(), argv[next]);
    else if (code == kFlagTableTooLong)
      message = StringPrintf("%s: Text string too long: \"%s\"\n", program.c_str(), argv[next]);
    else
      message = StringPrintf("%s: Bad Parameter: \"%s\" (%d)\n", program.c_str(), argv[next], code);
    return code;
  }
  // A handler that never got its token ("script" as the last argument) would otherwise be lost.
  if (pending_) {
    message =
        StringPrintf("%s: Bad Parameter: \"%s\" (%d)\n", program.c_str(), pendingToken_.c_str(), kFlagTableMissing);
    pending_ = nullptr;
    return kFlagTableMissing;
  }
  return kFlagTableOk;
}

int FlagTableParser::ParseFlag(std::string_view token, const FlagTableEntry* table) {
  if (pending_) return ParseToken(token, table);
  int code = ParseToken(token, table);
  if (code == kFlagTableUnrecognised) code = ParseToken(token, CommonTable());
  return code;
}

int FlagTableParser::ParseToken(std::string_view token, const FlagTableEntry* table) {
  if (pending_) {
    const FlagTableEntry& entry = *pending_;
    pending_ = nullptr;
    pendingToken_.clear();
    return RunDeferred(entry, token, table);
  }
  return Search(token, table, 0);
}

int FlagTableParser::Search(std::string_view token, const FlagTableEntry* table, int depth) {
  const size_t eq = token.find('=');
  const bool hasValue = eq != std::string_view::npos;
  const std::string_view name = token.substr(0, eq);
  const std::string_view value = hasValue ? token.substr(eq + 1) : std::string_view();
  for (const FlagTableEntry* e = table; e && HasTarget(*e); ++e) {
    if (e->type == kFlagTypeTable) {
      auto* nested = std::get_if<const FlagTableEntry*>(&e->target);
      if (!nested || !*nested || depth + 1 >= kMaxTableDepth) continue;
      const int code = Search(token, *nested, depth + 1);
      if (code != kFlagTableUnrecognised) return code;
      continue;
    }
    if (!e->name || !SameName(name, e->name)) continue;
    if (e->type == kFlagTypeTokenHandler || (e->type == kFlagTypeValueHandler && !hasValue)) {
      const bool bound = e->type == kFlagTypeTokenHandler ? std::holds_alternative<FlagTokenHandler>(e->target)
                                                          : std::holds_alternative<FlagValueHandler>(e->target);
      if (!bound) return kFlagTableUnknownType;
      pending_ = e;
      pendingToken_ = std::string(token);
      return kFlagTableOk;
    }
    return Store(*e, name, value, hasValue);
  }
  return kFlagTableUnrecognised;
}

int FlagTableParser::Store(const FlagTableEntry& e, std::string_view name, std::string_view value, bool hasValue) {
  auto* integer = std::get_if<int32_t*>(&e.target);
  auto* byte = std::get_if<uint8_t*>(&e.target);
  auto* text = std::get_if<char*>(&e.target);
  switch (e.type) {
    case kFlagTypeDecimal:
    case kFlagTypeDecimalOrEmpty:
    case kFlagTypeInteger:
    case kFlagTypeSwitch:
      if (!integer || !*integer) return kFlagTableUnknownType;
      if (e.type == kFlagTypeDecimal)
        **integer = LeadingDecimal(value);
      else if (e.type == kFlagTypeDecimalOrEmpty)
        **integer = value.empty() ? -1 : LeadingDecimal(value);
      else if (e.type == kFlagTypeSwitch && !hasValue)
        **integer = -1;
      else
        **integer = CInteger(value);
      return kFlagTableOk;
    case kFlagTypeByte:
    case kFlagTypeByteOrEmpty:
      if (!byte || !*byte) return kFlagTableUnknownType;
      **byte = e.type == kFlagTypeByteOrEmpty && value.empty() ? 255 : static_cast<uint8_t>(LeadingDecimal(value));
      return kFlagTableOk;
    case kFlagTypeText:
    case kFlagTypeLongText: {
      if (!text || !*text) return kFlagTableUnknownType;
      const TextVariable v = TextOf(*text, LongForm(e.type));
      if (value.size() > v.max) return kFlagTableTooLong;
      CopyCut(*text, LongForm(e.type), value);
      return kFlagTableOk;
    }
    case kFlagTypePositional:
    case kFlagTypeLongPositional:
      if (!text || !*text) return kFlagTableUnknownType;
      CopyCut(*text, LongForm(e.type), value);
      return kFlagTableOk;
    case kFlagTypeFloat: {
      auto* number = std::get_if<float*>(&e.target);
      if (!number || !*number) return kFlagTableUnknownType;
      **number = std::strtof(std::string(value).c_str(), nullptr);
      return kFlagTableOk;
    }
    case kFlagTypeValueHandler: {
      auto* handler = std::get_if<FlagValueHandler>(&e.target);
      if (!handler || !*handler) return kFlagTableUnknownType;
      return (*handler)(name, value);
    }
    default:
      return kFlagTableUnknownType;
  }
}

int FlagTableParser::RunDeferred(const FlagTableEntry& e, std::string_view token, const FlagTableEntry* table) {
  if (auto* handler = std::get_if<FlagTokenHandler>(&e.target); handler && *handler)
    return (*handler)(*this, token, table);
  if (auto* handler = std::get_if<FlagValueHandler>(&e.target); handler && *handler) {
    const size_t eq = token.find('=');
    if (eq == std::string_view::npos) return (*handler)(token, "1");
    return (*handler)(token.substr(0, eq), token.substr(eq + 1));
  }
  return kFlagTableUnknownType;
}

int FlagTableParser::ReadFlagFile(const FlagTableEntry* table, const std::string& path, bool missingIsError) {
  if (scriptDepth_ >= kMaxScriptDepth) return kFlagTableFileFailed;
  // Non-blocking, so a FIFO cannot stall the open; only regular files are read.
  ReadOnlyFile opened;
  if (const SystemError error = opened.Open(path)) {
    if (error.IsMissing()) return missingIsError ? kFlagTableFileFailed : kFlagTableOk;
    return kFlagTableFileFailed;
  }
  FileInfo info;
  std::FILE* file = nullptr;
  if (opened.Info(info) || !info.IsRegular() || !(file = opened.ReleaseToStream())) return kFlagTableFileFailed;

  // Handlers waiting for a token do not reach across files.
  const FlagTableEntry* const outerPending = pending_;
  std::string outerPendingToken;
  outerPendingToken.swap(pendingToken_);
  pending_ = nullptr;
  ++scriptDepth_;

  int code = kFlagTableOk;
  std::string word;
  int c = std::getc(file);
  // A UTF-8 byte order mark, as Windows editors write one, is no part of the first word.
  if (c == 0xEF) {
    const int b = std::getc(file);
    const int o = b == 0xBB ? std::getc(file) : EOF;
    if (b == 0xBB && o == 0xBF) {
      c = std::getc(file);
    } else {
      std::rewind(file);
      c = std::getc(file);
    }
  }
  while (code == kFlagTableOk) {
    while (c != EOF && IsBlank(c)) c = std::getc(file);
    if (c == EOF) break;
    if (c == ';') {
      while (c != EOF && c != '\n') c = std::getc(file);
      continue;
    }
    word.clear();
    bool tooLong = false;
    for (; c != EOF && !IsBlank(c); c = std::getc(file)) {
      if (word.size() < kMaxFlagWord)
        word.push_back(static_cast<char>(c));
      else
        tooLong = true;
    }
    code = tooLong ? kFlagTableTooLong : ParseFlag(word, table);
    if (code != kFlagTableOk) Print(StringPrintf("GETCMD: bad ini field: \"%s\"\n", word.c_str()));
  }
  if (code == kFlagTableOk && std::ferror(file)) code = kFlagTableFileFailed;
  if (code == kFlagTableOk && pending_) {
    Print(StringPrintf("GETCMD: bad ini field: \"%s\"\n", pendingToken_.c_str()));
    code = kFlagTableMissing;
  }
  std::fclose(file);

  --scriptDepth_;
  pending_ = outerPending;
  pendingToken_.swap(outerPendingToken);
  return code;
}

void FlagTableParser::ListFlags(const FlagTableEntry* table, int depth, bool& headerDone, std::string& out) const {
  for (const FlagTableEntry* e = table; e && HasTarget(*e); ++e) {
    if (e->type == kFlagTypeTable) {
      auto* nested = std::get_if<const FlagTableEntry*>(&e->target);
      if (nested && *nested && depth + 1 < kMaxTableDepth) ListFlags(*nested, depth + 1, headerDone, out);
      continue;
    }
    if (!e->name) continue;
    if (!headerDone) {
      out += "[flags]\n  [flags] may include (defaults):\n";
      headerDone = true;
    }
    out += "  ";
    out += e->name;
    out += UsageSuffix(e->type);
    const std::string value = ValueText(*e);
    if (!value.empty()) out += " (" + value + ")";
    out += "\n";
  }
}

void FlagTableParser::Usage(std::string_view programPath, std::string& message) const {
  message = "\nUsage: ";
  message += programPath;
  message += " ";
  for (const FlagTableEntry* e = table_; e && e != flags_; ++e) {
    message += "<";
    message += e->name;
    message += "> ";
  }
  bool headerDone = false;
  ListFlags(flags_, 0, headerDone, message);
}

}  // namespace kestrune
