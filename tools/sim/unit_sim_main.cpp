// SPDX-License-Identifier: MIT
// kestrune-unit-sim: runs a simulated unit on a fresh pseudo-terminal so that romsend (or any
// serial client) can be pointed at it. Prints the slave path as the first line of stdout and
// runs until SIGINT, SIGTERM or the end of stdin; then prints what it received to stderr.
#include <climits>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim_program.h"
#include "simulated_unit.h"

namespace {

using kestrune::sim::Flag;
using kestrune::sim::HexLineFault;
using kestrune::sim::ParseInt;
using kestrune::sim::ReplyFault;
using kestrune::sim::SimulatedUnit;
using kestrune::sim::Stage;
using kestrune::sim::UnitOptions;

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

// "CMD,STAGE,..." of the reply faults: the command, its stage and the rest of the parts (at
// most `maxParts` in all); false when the command or stage is unknown or parts are missing.
bool ParseReplyFlag(const std::string& text, size_t maxParts, size_t minParts, uint8_t& command, Stage& stage,
                    std::vector<std::string>& parts) {
  parts = SplitCommas(text, maxParts);
  if (parts.size() < minParts) return false;
  const auto c = ParseCommand(parts[0]);
  const auto s = ParseStage(parts[1]);
  if (!c || !s) return false;
  command = *c;
  stage = *s;
  return true;
}

// "CODE[,TEXT[,TIMES[,AFTER]]]" after the command and stage of --error.
bool ParseErrorFault(const std::vector<std::string>& parts, ReplyFault& fault) {
  long n = 0;
  if (!ParseInt(parts[2], -32768, 32767, n)) return false;
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
  return true;
}

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

// What the flags ask for: options fixed at construction, then switches applied to the unit.
struct Settings {
  UnitOptions options;
  kestrune::sim::LaterCalls<SimulatedUnit> later;
  int promptSpacingMs = 0;
  std::optional<std::string> promptAnswer;
  std::optional<std::string> garbage;
  int garbageReplies = 1;
  std::vector<HexLineFault> hexScript;
};

std::vector<Flag> Flags(Settings& s, bool& ignoreStdin) {
  using kestrune::sim::CheckedText;
  using kestrune::sim::Number;
  using kestrune::sim::Switch;
  using kestrune::sim::Text;
  auto& later = s.later;
  auto replyFault = [&later](const std::string& v, bool silent) {
    uint8_t command = 0;
    Stage stage{};
    std::vector<std::string> parts;
    ReplyFault fault;
    if (!ParseReplyFlag(v, silent ? 2 : 6, silent ? 2 : 3, command, stage, parts)) return false;
    if (silent)
      fault.kind = ReplyFault::Kind::kSilent;
    else if (!ParseErrorFault(parts, fault))
      return false;
    later.Add([command, stage, fault](SimulatedUnit& u) { u.SetReplyFault(command, stage, fault); });
    return true;
  };
  auto hexFault = [&s](const std::string& v, bool verdict) {
    HexLineFault fault;
    if (!ParseHexFault(v, verdict, fault)) return false;
    s.hexScript.push_back(fault);
    return true;
  };
  return {
      Number("--baud", "N", 0, 100'000'000, "pace both directions to N baud, 10 bits a byte (0: unpaced; default 0)",
             later.Number(&SimulatedUnit::SetBaud)),
      Number("--frame-gap-ms", "N", 1, 3'600'000, "a frame that stops arriving this long is answered 6 (default 250)",
             [&s](long n) { s.options.frameGapMs = static_cast<int>(n); }),
      Number("--erase-ms", "N", 0, 3'600'000, "delay before the operation result of Open",
             later.Number(&SimulatedUnit::SetEraseDelay)),
      Number("--bad-checksum", "N", 0, 1'000'000, "answer the next N frames with code 1",
             later.Number(&SimulatedUnit::SetBadChecksumFrames)),
      CheckedText("--error", "CMD,STAGE,CODE[,TEXT[,TIMES[,AFTER]]]",
                  "answer CMD (open, data, close, reboot or a number) in STAGE (ack or\n"
                  "result) with CODE and optional TEXT, TIMES times (default: always),\n"
                  "once AFTER frames of CMD were answered as usual (default 0)",
                  [replyFault](const std::string& v) { return replyFault(v, false); }),
      CheckedText(
          "--damage-reply", "CMD,STAGE,checksum|header",
          "send that reply once with a wrong checksum or a header not 00 06",
          [&later](const std::string& v) {
            uint8_t command = 0;
            Stage stage{};
            std::vector<std::string> parts;
            if (!ParseReplyFlag(v, 3, 3, command, stage, parts) || (parts[2] != "checksum" && parts[2] != "header"))
              return false;
            const ReplyFault fault{
                parts[2] == "checksum" ? ReplyFault::Kind::kBadChecksum : ReplyFault::Kind::kBadHeader, 0, "", 1};
            later.Add([command, stage, fault](SimulatedUnit& u) { u.SetReplyFault(command, stage, fault); });
            return true;
          }),
      Number("--double-replies", "N", -1, 1'000'000, "send each of the next N replies twice (-1: every one)",
             later.Number(&SimulatedUnit::SetDoubledReplies)),
      Text(
          "--chatter", "TEXT", "send TEXT every 50 ms, without end",
          [&later](const std::string& v) { later.Add([v](SimulatedUnit& u) { u.SetChatter(v); }); }, true),
      CheckedText("--silent-reply", "CMD,STAGE", "send nothing at that stage of CMD",
                  [replyFault](const std::string& v) { return replyFault(v, true); }),
      Switch("--silent", "answer nothing at all", later.Switch(&SimulatedUnit::SetSilent, true)),
      Number("--wake-answer", "N", 0, 255, "answer the wake-up byte with byte N (default 6; 0: not awake)",
             later.Number(&SimulatedUnit::SetWakeAnswer)),
      Switch("--no-wake-answer", "do not answer the wake-up byte",
             later.Switch(&SimulatedUnit::SetWakeAnswer, std::optional<uint8_t>())),
      Text("--prompt-answer", "TEXT", "answer each 'U' prompt with TEXT instead of \"#\"",
           [&s](const std::string& v) { s.promptAnswer = v; }),
      Number("--prompt-spacing-ms", "N", 0, 3'600'000, "gap between the bytes of the prompt answer",
             [&s](long n) { s.promptSpacingMs = static_cast<int>(n); }),
      Text("--garbage", "TEXT", "send TEXT before the next reply", [&s](const std::string& v) { s.garbage = v; }),
      Number("--garbage-replies", "N", 0, 1'000'000, "... before each of the next N replies (default 1)",
             [&s](long n) { s.garbageReplies = static_cast<int>(n); }),
      Number("--hang-up-after", "N", 1, LONG_MAX, "close the line after N bytes received",
             later.Number(&SimulatedUnit::SetHangUpAfter)),
      CheckedText("--hex-verdict", "V[,N]",
                  "answer the next N HEX lines (default 1) with verdict V: one character\n"
                  "such as - ? ! or a byte number (0: a zero byte)",
                  [hexFault](const std::string& v) { return hexFault(v, true); }),
      CheckedText("--hex-short", "B[,N]",
                  "send only B bytes (0 to 4; 0: nothing) of the reply to the next N\n"
                  "HEX lines (default 1); --hex-verdict and --hex-short queue in order",
                  [hexFault](const std::string& v) { return hexFault(v, false); }),
      Text("--hex-start-answer", "TEXT", "answer start records with TEXT instead of the verdict byte",
           [&later](const std::string& v) { later.Add([v](SimulatedUnit& u) { u.SetHexStartAnswer(v); }); }),
      Switch("--ignore-stdin", "run until a signal only", [&ignoreStdin] { ignoreStdin = true; }),
  };
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
  Settings s;
  std::optional<SimulatedUnit> unit;
  kestrune::sim::SimProgram program;
  program.name = "kestrune-unit-sim";
  program.about =
      "Simulated unit in its boot loader on a pseudo-terminal. Prints the slave path, then runs\n"
      "until SIGINT, SIGTERM or the end of stdin.\n";
  program.flags = Flags(s, program.ignoreStdin);
  program.start = [&](std::string& line) {
    unit.emplace(s.options);
    s.later.ApplyTo(*unit);
    if (s.promptAnswer) unit->SetPromptAnswer(*s.promptAnswer, s.promptSpacingMs);
    if (s.garbage) unit->SetGarbage(*s.garbage, s.garbageReplies);
    if (!s.hexScript.empty()) unit->SetHexLineFaults(s.hexScript);
    const bool started = unit->Start();
    line = started ? unit->SlavePath() : "cannot start: " + unit->LastError();
    return started;
  };
  program.stop = [&] {
    unit->Stop();
    PrintSummary(unit->Snapshot());
    return 0;
  };
  return RunSimProgram(program, argc, argv);
}
