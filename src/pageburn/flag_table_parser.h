// SPDX-License-Identifier: MIT
// pageburn's table-driven parser. A flag table binds positional parameters and named
// flags to variables; the parser fills them from an INI file named after the program, then from
// the command line (and from script files it names), and builds the usage text from the table.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

namespace kestrune {

// Results of the parser. For anything but kFlagTableOk the message buffer holds the message.
enum FlagTableResult : int {
  kFlagTableOk = 0,
  kFlagTableUnrecognised = 1,   // no flag of that name
  kFlagTableUnknownType = 2,    // the table holds a type (or a target) the parser does not know
  kFlagTableMissing = 3,        // a required parameter is missing
  kFlagTableTooLong = 4,        // a text does not fit its variable
  kFlagTableHandlerFailed = 5,  // for handlers to return when they fail
  kFlagTableFileFailed = 6,     // a flag file could not be read
  kFlagTableHelp = 10,          // the usage text was asked for; it is in the message buffer
};

// How an entry's value is parsed; the entry's target must be of the kind named.
enum FlagTableType : int32_t {
  kFlagTypePositional = 0,       // char* FlagText: positional, cut at the maximum length
  kFlagTypeDecimal = 1,          // int32_t*: decimal
  kFlagTypeDecimalOrEmpty = 2,   // int32_t*: decimal; no or an empty value gives -1
  kFlagTypeText = 3,             // char* FlagText: name=text copies (too long: error), the name alone empties
  kFlagTypeInteger = 4,          // int32_t*: decimal, 0x hexadecimal or leading-0 octal
  kFlagTypeSwitch = 5,           // int32_t*: the name alone gives -1, name=value as kFlagTypeInteger
  kFlagTypeByte = 6,             // uint8_t*: decimal, kept to its low 8 bits
  kFlagTypeByteOrEmpty = 7,      // uint8_t*: decimal; no or an empty value gives 255
  kFlagTypeValueHandler = 8,     // FlagValueHandler: name=value calls it; the name alone defers it
  kFlagTypeTokenHandler = 11,    // FlagTokenHandler: called with the next token
  kFlagTypeFloat = 13,           // float*: decimal floating point
  kFlagTypeLongText = 14,        // char* LongFlagText: as kFlagTypeText
  kFlagTypeLongPositional = 15,  // char* LongFlagText: as kFlagTypePositional
  kFlagTypeTable = 16,           // const FlagTableEntry*: a nested table searched in place
};

class FlagTableParser;
struct FlagTableEntry;

// Returns 0, or an error code that stops the parse.
using FlagValueHandler = std::function<int(std::string_view name, std::string_view value)>;
using FlagTokenHandler =
    std::function<int(FlagTableParser& parser, std::string_view token, const FlagTableEntry* table)>;

using FlagTableTarget = std::variant<std::monostate, int32_t*, uint8_t*, float*, char*, FlagValueHandler,
                                     FlagTokenHandler, const FlagTableEntry*>;

// One row of a flag table. Positional entries (types 0 and 15) come first; the positional part
// ends at an entry of another type or with no name. The table ends at an entry with no target.
// Names of flags match without regard to case.
struct FlagTableEntry {
  const char* name = nullptr;
  FlagTableTarget target;
  int32_t type = kFlagTypePositional;
};

// The variable of a text entry of type 0 or 3: byte 0 holds the maximum length, the text
// follows, always terminated.
template <uint8_t Max>
class FlagText {
 public:
  FlagText() { bytes_[0] = static_cast<char>(Max); }
  const char* c_str() const { return bytes_ + 1; }
  std::string_view Text() const { return c_str(); }
  // False, leaving the text as it was, when `text` is longer than Max.
  bool Set(std::string_view text) {
    if (text.size() > Max) return false;
    if (!text.empty()) std::memcpy(bytes_ + 1, text.data(), text.size());
    bytes_[1 + text.size()] = '\0';
    return true;
  }
  char* Target() { return bytes_; }

 private:
  char bytes_[Max + 2] = {};
};

// The variable of a text entry of type 14 or 15: the maximum length as a 4-byte number (host
// order), then the text, always terminated.
template <uint32_t Max>
class LongFlagText {
 public:
  LongFlagText() {
    const uint32_t max = Max;
    std::memcpy(bytes_, &max, sizeof max);
  }
  const char* c_str() const { return bytes_ + 4; }
  std::string_view Text() const { return c_str(); }
  bool Set(std::string_view text) {
    if (text.size() > Max) return false;
    if (!text.empty()) std::memcpy(bytes_ + 4, text.data(), text.size());
    bytes_[4 + text.size()] = '\0';
    return true;
  }
  char* Target() { return bytes_; }

 private:
  char bytes_[4 + Max + 1] = {};
};

// The INI file read for a program: its path cut at the first ".exe" of the file name (matched
// with case, so "PAGEBURN.EXE" keeps it), followed by ".ini".
std::string IniPathFor(std::string_view programPath);

// Limits on what a flag file may hold.
inline constexpr size_t kMaxFlagWord = 4096;  // bytes of one word
inline constexpr int kMaxScriptDepth = 8;     // script files reading script files
inline constexpr int kMaxTableDepth = 8;      // nested tables

// One parser over one program table. Not thread-safe; the table and its variables must outlive
// it. Nothing is printed except the flag files' problems ("GETCMD: ..."), on the console.
class FlagTableParser {
 public:
  explicit FlagTableParser(const FlagTableEntry* table);

  // Where the flag files' problems are written; standard output when not set.
  void SetConsole(std::function<void(std::string_view)> console) { console_ = std::move(console); }

  // Reads the INI file named from argv[0] as the program was started (see IniPathFor; a
  // missing file is no error, a UTF-8 byte order mark at its start is skipped, other problems
  // are printed and parsing goes on), then the positional parameters from
  // argv[1..], then every further argument as a flag of the table or of the common table.
  // Returns a FlagTableResult; `message` holds the message (or the usage text) for nonzero codes. A
  // negative `argc` stands for its absolute value and skips the INI file. A handler still
  // waiting for its token when the arguments end is reported as kFlagTableMissing.
  int Parse(int argc, const char* const* argv, std::string& message);

  // Parses one token ("name", "name=value") against `table` (flags only, nested tables
  // included): 0 on a match, kFlagTableUnrecognised when no entry has that name, else the value's
  // error. A handler waiting for its token takes this one instead.
  int ParseToken(std::string_view token, const FlagTableEntry* table);

  // Reads a file of white-space separated tokens, each parsed against `table`, then against the
  // common table; a word that begins with ';' comments out the rest of its line. Stops at the
  // first failing word, printing "GETCMD: bad ini field: ..." and returning its code. A missing
  // file gives kFlagTableFileFailed when `missingIsError`, else 0; an unreadable one, or one that is
  // no regular file, always gives kFlagTableFileFailed.
  int ReadFlagFile(const FlagTableEntry* table, const std::string& path, bool missingIsError);

  // The usage text: program path, positional names, each flag with its current value.
  void Usage(std::string_view programPath, std::string& message) const;

  // The flags consulted after the program's own: "script" reads flags from the file named by
  // the next token.
  static const FlagTableEntry* CommonTable();

  // The first entry after the positional ones.
  const FlagTableEntry* Flags() const { return flags_; }

 private:
  int Search(std::string_view token, const FlagTableEntry* table, int depth);
  int Store(const FlagTableEntry& entry, std::string_view name, std::string_view value, bool hasValue);
  int RunDeferred(const FlagTableEntry& entry, std::string_view token, const FlagTableEntry* table);
  // A token of a flag file or of the command line: the table, then the common table.
  int ParseFlag(std::string_view token, const FlagTableEntry* table);
  void ListFlags(const FlagTableEntry* table, int depth, bool& headerDone, std::string& out) const;
  void Print(const std::string& text) const;

  const FlagTableEntry* table_;
  const FlagTableEntry* flags_;
  std::function<void(std::string_view)> console_;
  const FlagTableEntry* pending_ = nullptr;  // a handler waiting for the next token
  std::string pendingToken_;                 // the token that left it waiting
  int scriptDepth_ = 0;
};

}  // namespace kestrune
