// SPDX-License-Identifier: MIT
// pageburn's flags and usage text, every value type, nested tables, deferred handlers,
// the INI file beside the program and script files, and inputs of any size.
#include "pageburn/flag_table_parser.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <functional>
#include <vector>

#include "pageburn/pageburn_flags.h"
#include "platform/program_info.h"
#include "test_env.h"

namespace kestrune {
namespace {

constexpr const char* kUsage =
    "\nUsage: pb <<source file>> [flags]\n  [flags] may include (defaults):\n  port=<text>\n  waiterr (1)\n"
    "  verify=<number> (0)\n";

// One parse of pageburn's table, with the console lines kept.
struct PageburnParse {
  explicit PageburnParse(std::string_view discovered = {}) : flags(discovered), parser(flags.Table()) {
    parser.SetConsole([this](std::string_view text) { console += text; });
  }
  // Skips the INI file unless `withIni`.
  int Run(std::vector<std::string> args, bool withIni = false) {
    args.insert(args.begin(), "pb");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    const int argc = static_cast<int>(argv.size());
    return parser.Parse(withIni ? argc : -argc, argv.data(), message);
  }
  PageburnFlags flags;
  FlagTableParser parser;
  std::string message;
  std::string console;
};

TEST(FlagTableParser, PageburnUsageTextAndHelp) {
  for (const char* help : {"help", "?", "HeLp"}) {
    PageburnParse p;
    EXPECT_EQ(p.Run({help}), kFlagTableHelp);
    EXPECT_EQ(p.message, kUsage);
  }
  PageburnParse found("/dev/ttyACM0");
  EXPECT_EQ(found.Run({"?"}), kFlagTableHelp);
  EXPECT_EQ(found.message,
            "\nUsage: pb <<source file>> [flags]\n  [flags] may include (defaults):\n  port=<text> (/dev/ttyACM0)\n"
            "  waiterr (1)\n  verify=<number> (0)\n");
  // Only the positional place asks for help.
  PageburnParse late;
  EXPECT_EQ(late.Run({"fw.bin", "help"}), kFlagTableUnrecognised);
  EXPECT_EQ(late.message, "pb: Unrecognised parameter: \"help\"\n");
}

TEST(FlagTableParser, PageburnFlags) {
  const std::string port80(80, 'p');
  const struct {
    std::vector<std::string> args;
    int code;
    std::string port;  // discovered: "/dev/ttyACM0"
    int32_t waiterr;
    std::string message;
  } rows[] = {
      {{"fw.bin"}, 0, "/dev/ttyACM0", 1, ""},
      {{"fw.bin", "PORT=COM4"}, 0, "COM4", 1, ""},
      {{"fw.bin", "port"}, 0, "", 1, ""},
      {{"fw.bin", "port="}, 0, "", 1, ""},
      {{"fw.bin", "waiterr"}, 0, "/dev/ttyACM0", -1, ""},
      {{"fw.bin", "waiterr=0"}, 0, "/dev/ttyACM0", 0, ""},
      {{"fw.bin", "WaitErr=0x10"}, 0, "/dev/ttyACM0", 16, ""},
      {{"fw.bin", "waiterr=010"}, 0, "/dev/ttyACM0", 8, ""},
      {{"fw.bin", "port=" + port80}, 0, port80, 1, ""},
      {{"fw.bin", "port=" + port80 + "q", "waiterr=0"},
       4,
       "/dev/ttyACM0",
       1,
       "pb: Text string too long: \"port=" + port80 + "q\"\n"},
      // A flag written first is taken as the file.
      {{"port=COM4"}, 0, "/dev/ttyACM0", 1, ""},
      {{}, 3, "/dev/ttyACM0", 1, "pb: \nRequired parameter(s) missing: <<source file>>\n"},
      {{"fw.bin", "ports=COM4"}, 1, "/dev/ttyACM0", 1, "pb: Unrecognised parameter: \"ports=COM4\"\n"},
      {{"fw.bin", "script", "/no/such/file"}, 6, "/dev/ttyACM0", 1, "pb: Bad Parameter: \"/no/such/file\" (6)\n"},
      // "script" with nothing after it is not silently dropped.
      {{"fw.bin", "waiterr=0", "script"}, 3, "/dev/ttyACM0", 0, "pb: Bad Parameter: \"script\" (3)\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args.empty() ? "(none)" : r.args.back());
    PageburnParse p("/dev/ttyACM0");
    EXPECT_EQ(p.Run(r.args), r.code);
    EXPECT_EQ(p.flags.Port(), r.port);
    EXPECT_EQ(p.flags.WaitOnError(), r.waiterr);
    EXPECT_EQ(p.message, r.message);
    EXPECT_EQ(p.console, "");
  }
  // A discovered name that does not fit the port variable is not taken, nor cut.
  EXPECT_EQ(PageburnFlags(port80 + "q").Port(), "");
}

TEST(FlagTableParser, EveryValueTypeNestedTablesAndHandlers) {
  int32_t d1 = 0, d2 = 0, i4 = 0, s5 = 0, inner = 0;
  uint8_t b6 = 0, b7 = 0;
  float f13 = 0;
  FlagText<8> t3;
  LongFlagText<300> t14;
  LongFlagText<4> first;
  std::vector<std::string> calls;
  const FlagTableEntry* seenTable = nullptr;
  FlagTableEntry deepest[] = {{"deep", &inner, kFlagTypeDecimal}, {}};
  std::vector<std::array<FlagTableEntry, 2>> chain(9);
  for (size_t i = 0; i < chain.size(); ++i)
    chain[i] = {FlagTableEntry{nullptr, i + 1 < chain.size() ? chain[i + 1].data() : deepest, kFlagTypeTable},
                FlagTableEntry{}};
  FlagTableEntry nested[] = {{"n", &inner, kFlagTypeInteger}, {}};
  FlagTableEntry table[] = {
      {"<first>", first.Target(), kFlagTypeLongPositional},
      {"d1", &d1, kFlagTypeDecimal},
      {"d2", &d2, kFlagTypeDecimalOrEmpty},
      {"t3", t3.Target(), kFlagTypeText},
      {"i4", &i4, kFlagTypeInteger},
      {"s5", &s5, kFlagTypeSwitch},
      {"b6", &b6, kFlagTypeByte},
      {"b7", &b7, kFlagTypeByteOrEmpty},
      {"def", FlagValueHandler([&](std::string_view n, std::string_view v) {
         calls.push_back(std::string(n) + "|" + std::string(v));
         return v == "fail" ? kFlagTableHandlerFailed : kFlagTableOk;
       }),
       kFlagTypeValueHandler},
      {"tok", FlagTokenHandler([&](FlagTableParser&, std::string_view t, const FlagTableEntry* tb) {
         calls.push_back("tok:" + std::string(t));
         seenTable = tb;
         return kFlagTableOk;
       }),
       kFlagTypeTokenHandler},
      {"f13", &f13, kFlagTypeFloat},
      {"t14", t14.Target(), kFlagTypeLongText},
      {nullptr, nested, kFlagTypeTable},
      {nullptr, chain[0].data(), kFlagTypeTable},
      {"odd", &d1, 99},
      {"mismatch", t3.Target(), kFlagTypeDecimal},
      {},
  };
  FlagTableParser parser(table);
  EXPECT_EQ(parser.Flags(), &table[1]);
  const auto run = [&](std::string_view token) { return parser.ParseToken(token, parser.Flags()); };

  const struct {
    const char* token;
    int code;
    std::function<bool()> check;
  } rows[] = {
      {"D1=42", 0, [&] { return d1 == 42; }},
      {"d1=-7x", 0, [&] { return d1 == -7; }},
      {"d1=99999999999", 0, [&] { return d1 == INT32_MAX; }},
      {"d1", 0, [&] { return d1 == 0; }},
      {"d2=5", 0, [&] { return d2 == 5; }},
      {"d2=", 0, [&] { return d2 == -1; }},
      {"d2=5", 0, [&] { return d2 == 5; }},
      {"d2", 0, [&] { return d2 == -1; }},
      {"t3=abcdefgh", 0, [&] { return t3.Text() == "abcdefgh"; }},
      {"t3=abcdefghi", 4, [&] { return t3.Text() == "abcdefgh"; }},
      {"t3", 0, [&] { return t3.Text().empty(); }},
      {"i4=0x1F", 0, [&] { return i4 == 31; }},
      {"i4=017", 0, [&] { return i4 == 15; }},
      {"i4=-12", 0, [&] { return i4 == -12; }},
      {"i4=0xFFFFFFFF", 0, [&] { return i4 == INT32_MAX; }},
      {"s5", 0, [&] { return s5 == -1; }},
      {"s5=0", 0, [&] { return s5 == 0; }},
      {"s5=0x10", 0, [&] { return s5 == 16; }},
      {"b6=300", 0, [&] { return b6 == 44; }},
      {"b7", 0, [&] { return b7 == 255; }},
      {"b7=3", 0, [&] { return b7 == 3; }},
      {"b7=", 0, [&] { return b7 == 255; }},
      {"f13=2.5", 0, [&] { return f13 == 2.5f; }},
      {"t14=", 0, [&] { return t14.Text().empty(); }},
      {"n=0x20", 0, [&] { return inner == 32; }},
      {"deep=1", 1, [&] { return inner == 32; }},  // beyond eight levels
      {"def=a=b", 0, [&] { return calls.back() == "def|a=b"; }},
      {"def=fail", 5, [] { return true; }},
      {"def", 0, [&] { return calls.back() == "def|fail"; }},
      {"x=y", 0, [&] { return calls.back() == "x|y"; }},
      {"def", 0, [] { return true; }},
      {"lone", 0, [&] { return calls.back() == "lone|1"; }},
      {"tok", 0, [] { return true; }},
      {"d1=5", 0, [&] { return calls.back() == "tok:d1=5" && seenTable == parser.Flags() && d1 == 0; }},
      {"odd=1", 2, [] { return true; }},
      {"mismatch=1", 2, [] { return true; }},
      {"unknown", 1, [] { return true; }},
      {"<first>=x", 1, [] { return true; }},  // positional entries are not flags
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.token);
    EXPECT_EQ(run(r.token), r.code);
    EXPECT_TRUE(r.check());
  }
  EXPECT_EQ(run("t14=" + std::string(300, 'x')), 0);
  EXPECT_EQ(t14.Text(), std::string(300, 'x'));
  EXPECT_EQ(run("t14=" + std::string(301, 'x')), kFlagTableTooLong);

  // A table that holds itself is searched to the depth limit, not forever.
  FlagTableEntry loop[] = {{nullptr, {}, kFlagTypeTable}, {"here", &inner, kFlagTypeDecimal}, {}};
  loop[0].target = static_cast<const FlagTableEntry*>(loop);
  EXPECT_EQ(parser.ParseToken("nowhere", loop), kFlagTableUnrecognised);
  EXPECT_EQ(parser.ParseToken("here=4", loop), kFlagTableOk);

  // Positional 4-byte text is cut, not refused; every flag shows with its current value.
  const char* argv[] = {"prog", "abcdefg", "d1=3", "f13=0.1", "t3=hi", "b6=9"};
  std::string message;
  EXPECT_EQ(parser.Parse(-6, argv, message), kFlagTableOk);
  EXPECT_EQ(first.Text(), "abcd");
  parser.Usage("prog", message);
  EXPECT_EQ(message,
            "\nUsage: prog <<first>> [flags]\n  [flags] may include (defaults):\n  d1=<number> (3)\n  d2 (-1)\n"
            "  t3=<text> (hi)\n  i4=<number> (2147483647)\n  s5 (16)\n  b6=<number> (9)\n  b7 (255)\n  def\n  tok\n"
            "  f13=<float number> (0.1)\n  t14=<text> (" +
                std::string(300, 'x') + ")\n  n=<number> (4)\n  odd\n  mismatch=<number>\n");
}

TEST(FlagTableParser, IniFileBesideTheProgramAndScriptFiles) {
  test::TempDir dir;
  std::string console;
  // The INI file is named from argument 0, the program as it was started.
  std::string program;
  const auto parse = [&](PageburnFlags& flags, std::vector<const char*> args, std::string& message) {
    FlagTableParser parser(flags.Table());
    parser.SetConsole([&](std::string_view text) { console += text; });
    args.insert(args.begin(), program.c_str());
    return parser.Parse(static_cast<int>(args.size()), args.data(), message);
  };
  std::string message;

  // Comments: a word that starts with ';' ends its line. A UTF-8 byte order mark is skipped.
  program = dir / "pageburn";
  test::WriteFileBytes(dir / "pageburn.ini",
                       "\xEF\xBB\xBF;port=COM9\n  port=COM5 waiterr=0 ;port=COM8 waiterr=3\n; x\nverify=1\n");
  {
    PageburnFlags flags("/dev/ttyACM0");
    EXPECT_EQ(parse(flags, {"?"}, message), kFlagTableHelp);
    EXPECT_EQ(message, "\nUsage: " + program +
                           " <<source file>> [flags]\n  [flags] may include (defaults):\n  port=<text> (COM5)\n"
                           "  waiterr (0)\n  verify=<number> (1)\n");
    EXPECT_EQ(flags.Verify(), 1);
    PageburnFlags later;
    EXPECT_EQ(parse(later, {"fw.bin", "port=COM6"}, message), kFlagTableOk);
    EXPECT_EQ(later.Port(), "COM6");
  }
  EXPECT_EQ(console, "");

  // A bad field stops the file with a line, and the command line is still read.
  test::WriteFileBytes(dir / "pageburn.ini", "port=COM5 bogus waiterr=0");
  {
    PageburnFlags flags;
    EXPECT_EQ(parse(flags, {"fw.bin", "waiterr=7"}, message), kFlagTableOk);
    EXPECT_EQ(flags.Port(), "COM5");
    EXPECT_EQ(flags.WaitOnError(), 7);
    EXPECT_EQ(console,
              "GETCMD: bad ini field: \"bogus\"\nGETCMD: error in ini file \"" + dir / "pageburn.ini" + "\"\n");
  }

  // The name in capitals with ".EXE" keeps it; ".exe" is cut, in the file name only.
  EXPECT_EQ(IniPathFor("/a/PAGEBURN.EXE"), "/a/PAGEBURN.EXE.ini");
  EXPECT_EQ(IniPathFor("/a/pageburn.exe"), "/a/pageburn.ini");
  EXPECT_EQ(IniPathFor("/a/tools.exe.d/pageburn"), "/a/tools.exe.d/pageburn.ini");
  program = dir / "PAGEBURN.EXE";
  test::WriteFileBytes(dir / "PAGEBURN.ini", "port=WRONG");
  test::WriteFileBytes(dir / "PAGEBURN.EXE.ini", std::string("port=COM3\0waiterr=2 script", 26));  // NUL parts words
  console.clear();
  {
    PageburnFlags flags;
    EXPECT_EQ(parse(flags, {"fw.bin", "port=COM4"}, message), kFlagTableOk);  // "script" does not eat port=COM4
    EXPECT_EQ(flags.Port(), "COM4");
    EXPECT_EQ(flags.WaitOnError(), 2);
    EXPECT_EQ(console,
              "GETCMD: bad ini field: \"script\"\nGETCMD: error in ini file \"" + dir / "PAGEBURN.EXE.ini" + "\"\n");
  }

  // Missing, a folder, over-long words, scripts that read scripts.
  program = dir / "none";
  test::WriteFileBytes(dir / "s1", "waiterr=4 script " + dir / "s2");
  test::WriteFileBytes(dir / "s2", "\r\n; comment " + std::string(300000, 'c') + "\nport=COM2\r\n");
  test::WriteFileBytes(dir / "self", "script " + dir / "self");
  test::WriteFileBytes(dir / "long", std::string(5000, 'w'));
  const struct {
    std::string file;
    int code;
    std::string port;
    int32_t waiterr;
    std::string console;
  } rows[] = {
      {dir / "s1", 0, "COM2", 4, ""},
      {dir / "absent", 6, "", 1, ""},
      {dir.Path(), 6, "", 1, ""},
      {dir / "long", 4, "", 1, "GETCMD: bad ini field: \"" + std::string(kMaxFlagWord, 'w') + "\"\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.file);
    console.clear();
    PageburnFlags flags;
    EXPECT_EQ(parse(flags, {"fw.bin", "script", r.file.c_str()}, message), r.code);
    EXPECT_EQ(flags.Port(), r.port);
    EXPECT_EQ(flags.WaitOnError(), r.waiterr);
    EXPECT_EQ(console, r.console);
  }
  console.clear();
  PageburnFlags flags;
  const std::string self = dir / "self";
  EXPECT_EQ(parse(flags, {"fw.bin", "script", self.c_str()}, message), kFlagTableFileFailed);
  std::string nested;
  for (int i = 0; i < kMaxScriptDepth; ++i) nested += "GETCMD: bad ini field: \"" + self + "\"\n";
  EXPECT_EQ(console, nested);
}

}  // namespace
}  // namespace kestrune
