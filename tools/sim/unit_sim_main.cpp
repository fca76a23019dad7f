// SPDX-License-Identifier: MIT
// kestrune-unit-sim: runs a simulated unit on a fresh pseudo-terminal so that romsend (or any
// serial client) can be pointed at it. Prints the slave path as the first line of stdout and
// runs until SIGINT, SIGTERM or the end of stdin; then prints what it received to stderr.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim_program.h"
#include "simulated_unit.h"

namespace {

using kestrune::sim::EndSignals;
using kestrune::sim::ParseInt;

using kestrune::sim::HexLineFault;
using kestrune::sim::ReplyFault;
using kestrune::sim::SimulatedUnit;
using kestrune::sim::Stage;
using kestrune::sim::UnitOptions;

constexpr const char* kUsage =
    "usage: kestrune-unit-sim [options]\n"
    "Simulated unit in its boot loader on a pseudo-terminal. Prints the slave path, then runs\n"
    "until SIGINT, SIGTERM or the end of stdin.\n"
    "\n"
    "  --baud N               pace both directions to N baud, 10 bits a byte (0: unpaced; default 0)\n"
    "  --frame-gap-ms N       a frame that stops arriving this long is answered 6 (default 250)\n"
    "  --erase-ms N           delay before the operation result of Open\n"
    "  --bad-checksum N       answer the next N frames with code 1\n"
    "  --error CMD,STAGE,CODE[,TEXT[,TIMES[,AFTER]]]\n"
    "                         answer CMD (open, data, close, reboot or a number) in STAGE (ack or\n"
    "                         result) with CODE and optional TEXT, TIMES times (default: always),\n"
    "                         once AFTER frames of CMD were answered as usual (default 0)\n"
    "  --damage-reply CMD,STAGE,checksum|header\n"
    "                         send that reply once with a wrong checksum or a header not 00 06\n"
    "  --double-replies N     send each of the next N replies twice (-1: every one)\n"
    "  --chatter TEXT         send TEXT every 50 ms, without end\n"
    "  --silent-reply CMD,STAGE  send nothing at that stage of CMD\n"
    "  --silent               answer nothing at all\n"
    "  --wake-answer N        answer the wake-up byte with byte N (default 6; 0: not awake)\n"
    "  --no-wake-answer       do not answer the wake-up byte\n"
    "  --prompt-answer TEXT   answer each 'U' prompt with TEXT instead of \"#\"\n"
    "  --prompt-spacing-ms N  gap between the bytes of the prompt answer\n"
    "  --garbage TEXT         send TEXT before the next reply\n"
    "  --garbage-replies N    ... before each of the next N replies (default 1)\n"
    "  --hang-up-after N      close the line after N bytes received\n"
    "  --hex-verdict V[,N]    answer the next N HEX lines (default 1) with verdict V: one character\n"
    "                         such as - ? ! or a byte number (0: a zero byte)\n"
    "  --hex-short B[,N]      send only B bytes (0 to 4; 0: nothing) of the reply to the next N\n"
    "                         HEX lines (default 1); --hex-verdict and --hex-short queue in order\n"
    "  --hex-start-answer TEXT  answer start records with TEXT instead of the verdict byte\n"
    "  --ignore-stdin         run until a signal only\n"
    "  --help                 this text\n";

std::vector<std::string> SplitCommas(const std::string& text, size_t maxParts) {
  std::vector<std::string> parts;
  size_t from = 0;
  while (parts.size() + 1 < maxParts) {
    const size_t comma = text.find(',', from);
    if (comma == std::string::npos) break;
    parts.push_back(text.substr(from, comma - from));
    from = comma + 1;
  }
  parts.push_back(text.substr(from));
  return parts;
}

std::optional<uint8_t> ParseCommand(const std::string& name) {
  static const struct {
    const char* name;
    uint8_t code;
  } kNames[] = {{"open", kestrune::sim::kCmdOpen},
                {"data", kestrune::sim::kCmdSendData},
                {"close", kestrune::sim::kCmdClose},
                {"reboot", kestrune::sim::kCmdReboot}};
  for (const auto& n : kNames)
    if (name == n.name) return n.code;
  long v;
  if (ParseInt(name, 0, 255, v)) return static_cast<uint8_t>(v);
  return std::nullopt;
}

std::optional<Stage> ParseStage(const std::string& name) {
  if (name == "ack") return Stage::kAck;
  if (name == "result") return Stage::kResult;
  return std::nullopt;
}

// What the flags ask for: options fixed at construction, then switches applied to the unit.
struct Settings {
  UnitOptions options;
  std::vector<std::function<void(SimulatedUnit&)>> switches;
  bool ignoreStdin = false;
  int promptSpacingMs = 0;
  std::optional<std::string> promptAnswer;
  std::optional<std::string> garbage;
  int garbageReplies = 1;
  std::vector<HexLineFault> hexScript;
};

// "V[,N]" of the HEX line faults: the value and how many lines (default 1).
bool ParseHexFault(const std::string& text, bool verdict, HexLineFault& fault) {
  const auto parts = SplitCommas(text, 2);
  long n = 0;
  if (verdict) {
    const std::string& v = parts[0];
    if (v.size() == 1 && (v[0] < '0' || v[0] > '9')) {
      fault.verdict = static_cast<uint8_t>(v[0]);
    } else if (ParseInt(v, 0, 255, n)) {
      fault.verdict = static_cast<uint8_t>(n);
    } else {
      return false;
    }
    fault.kind = HexLineFault::Kind::kVerdict;
  } else {
    if (!ParseInt(parts[0], 0, 4, n)) return false;
    fault.kind = HexLineFault::Kind::kShort;
    fault.replyBytes = static_cast<int>(n);
  }
  fault.lines = 1;
  if (parts.size() > 1) {
    if (!ParseInt(parts[1], 1, 1'000'000, n)) return false;
    fault.lines = static_cast<int>(n);
  }
  return true;
}

// Takes one flag into the settings; false on a bad flag.
bool ApplyFlag(const std::string& flag, const std::string* value, Settings& s) {
  long n = 0;
  auto later = [&](std::function<void(SimulatedUnit&)> fn) { s.switches.push_back(std::move(fn)); };
  auto number = [&](long min, long max) { return value && ParseInt(*value, min, max, n); };
  if (flag == "--baud") {
    if (!number(0, 100'000'000)) return false;
    later([b = static_cast<int>(n)](SimulatedUnit& u) { u.SetBaud(b); });
  } else if (flag == "--frame-gap-ms") {
    if (!number(1, 3'600'000)) return false;
    s.options.frameGapMs = static_cast<int>(n);
  } else if (flag == "--erase-ms") {
    if (!number(0, 3'600'000)) return false;
    later([ms = static_cast<int>(n)](SimulatedUnit& u) { u.SetEraseDelay(ms); });
  } else if (flag == "--bad-checksum") {
    if (!number(0, 1'000'000)) return false;
    later([f = static_cast<int>(n)](SimulatedUnit& u) { u.SetBadChecksumFrames(f); });
  } else if (flag == "--damage-reply") {
    if (!value) return false;
    const auto parts = SplitCommas(*value, 3);
    if (parts.size() != 3 || (parts[2] != "checksum" && parts[2] != "header")) return false;
    const auto command = ParseCommand(parts[0]);
    const auto stage = ParseStage(parts[1]);
    if (!command || !stage) return false;
    const ReplyFault fault{parts[2] == "checksum" ? ReplyFault::Kind::kBadChecksum : ReplyFault::Kind::kBadHeader, 0,
                           "", 1};
    later([c = *command, st = *stage, fault](SimulatedUnit& u) { u.SetReplyFault(c, st, fault); });
  } else if (flag == "--double-replies") {
    if (!number(-1, 1'000'000)) return false;
    later([r = static_cast<int>(n)](SimulatedUnit& u) { u.SetDoubledReplies(r); });
  } else if (flag == "--chatter") {
    if (!value || value->empty()) return false;
    later([text = *value](SimulatedUnit& u) { u.SetChatter(text); });
  } else if (flag == "--error" || flag == "--silent-reply") {
    if (!value) return false;
    const bool silent = flag == "--silent-reply";
    const auto parts = SplitCommas(*value, silent ? 2 : 6);
    if (parts.size() < 2) return false;
    const auto command = ParseCommand(parts[0]);
    const auto stage = ParseStage(parts[1]);
    if (!command || !stage) return false;
    ReplyFault fault;
    if (silent) {
      fault.kind = ReplyFault::Kind::kSilent;
    } else {
      if (parts.size() < 3 || !ParseInt(parts[2], -32768, 32767, n)) return false;
      fault.code = static_cast<int16_t>(n);
      if (parts.size() > 3) fault.text = parts[3];
      if (parts.size() > 4) {
        if (!ParseInt(parts[4], 1, 1'000'000, n)) return false;
        fault.times = static_cast<int>(n);
      }
      if (parts.size() > 5) {
        if (!ParseInt(parts[5], 0, 1'000'000, n)) return false;
        fault.after = static_cast<int>(n);
      }
    }
    later([c = *command, st = *stage, fault](SimulatedUnit& u) { u.SetReplyFault(c, st, fault); });
  } else if (flag == "--silent") {
    later([](SimulatedUnit& u) { u.SetSilent(true); });
  } else if (flag == "--wake-answer") {
    if (!number(0, 255)) return false;
    later([b = static_cast<uint8_t>(n)](SimulatedUnit& u) { u.SetWakeAnswer(b); });
  } else if (flag == "--no-wake-answer") {
    later([](SimulatedUnit& u) { u.SetWakeAnswer(std::nullopt); });
  } else if (flag == "--prompt-answer") {
    if (!value) return false;
    s.promptAnswer = *value;
  } else if (flag == "--prompt-spacing-ms") {
    if (!number(0, 3'600'000)) return false;
    s.promptSpacingMs = static_cast<int>(n);
  } else if (flag == "--garbage") {
    if (!value) return false;
    s.garbage = *value;
  } else if (flag == "--garbage-replies") {
    if (!number(0, 1'000'000)) return false;
    s.garbageReplies = static_cast<int>(n);
  } else if (flag == "--hang-up-after") {
    if (!number(1, LONG_MAX)) return false;
    later([b = static_cast<uint64_t>(n)](SimulatedUnit& u) { u.SetHangUpAfter(b); });
  } else if (flag == "--hex-verdict" || flag == "--hex-short") {
    HexLineFault fault;
    if (!value || !ParseHexFault(*value, flag == "--hex-verdict", fault)) return false;
    s.hexScript.push_back(fault);
  } else if (flag == "--hex-start-answer") {
    if (!value) return false;
    later([answer = *value](SimulatedUnit& u) { u.SetHexStartAnswer(answer); });
  } else if (flag == "--ignore-stdin") {
    s.ignoreStdin = true;
  } else {
    return false;
  }
  return true;
}

bool TakesValue(const std::string& flag) {
  return flag != "--silent" && flag != "--no-wake-answer" && flag != "--ignore-stdin" && flag != "--help";
}

void PrintSummary(const kestrune::sim::Recording& r) {
  std::fprintf(stderr, "wake-ups %u, prompts %u, syncs %u, frames %u (bad %u), bytes %llu%s\n", r.wakeUps, r.prompts,
               r.syncs, r.frames, r.badFrames, static_cast<unsigned long long>(r.bytesReceived),
               r.hungUp ? ", hung up" : "");
  std::fprintf(stderr, "commands:");
  for (uint8_t c : r.commands) std::fprintf(stderr, " %u", c);
  std::fprintf(stderr, "\nimage header %zu bytes, data chunks %zu\n", r.imageHeader.size(), r.chunks.size());
  std::fprintf(stderr, "hex start records %zu, hex lines %u (taken %zu)\n", r.hexStartRecords.size(),
               r.hexLinesReceived, r.hexLines.size());
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::optional<std::string> value;
    if (TakesValue(flag) && i + 1 < argc) value = argv[++i];
    if (!ApplyFlag(flag, value ? &*value : nullptr, settings)) {
      std::fprintf(stderr, "kestrune-unit-sim: bad option %s %s\n%s", flag.c_str(), value ? value->c_str() : "",
                   kUsage);
      return 2;
    }
  }
  SimulatedUnit unit(settings.options);
  for (const auto& apply : settings.switches) apply(unit);
  if (settings.promptAnswer) unit.SetPromptAnswer(*settings.promptAnswer, settings.promptSpacingMs);
  if (settings.garbage) unit.SetGarbage(*settings.garbage, settings.garbageReplies);
  if (!settings.hexScript.empty()) unit.SetHexLineFaults(settings.hexScript);

  // SIGINT and SIGTERM stay blocked everywhere (the unit thread inherits the mask) except
  // inside the main thread's ppoll, so a signal always ends the wait below.
  const EndSignals endSignals;

  if (!unit.Start()) {
    std::fprintf(stderr, "kestrune-unit-sim: cannot start: %s\n", unit.LastError().c_str());
    return 1;
  }
  std::printf("%s\n", unit.SlavePath().c_str());
  std::fflush(stdout);
  endSignals.Wait(settings.ignoreStdin);
  unit.Stop();
  PrintSummary(unit.Snapshot());
  return 0;
}
