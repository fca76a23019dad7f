// SPDX-License-Identifier: MIT
// How romsend is run, decided before its window exists: the "--help" and "--version" answers,
// whether it runs unattended, whether it has a display, and the exit status a batch or
// unattended run ends with.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "app/flag_parser.h"
#include "platform/diagnostic_log.h"
#include "platform/message_box.h"

namespace kestrune {

// The exit status of a batch or unattended run, by how its send ended. A run without /batch
// exits 0 unless a signal ended it.
enum ExitStatus : int {
  kExitSent = 0,           // sent, and the unit confirmed it
  kExitFailed = 1,         // the transfer failed after contact
  kExitNoContact = 2,      // the port or MIDI device did not open, or the unit never answered
  kExitNothingToSend = 3,  // no file, no selection, a file refused, a bad command line
  kExitSignalBase = 128,   // + the signal's number: 130 for SIGINT, 143 for SIGTERM
};

// The rows of romsend's flag table, targets as given, and the closing empty row.
inline constexpr int kRomsendFlagRows = 5;
void FillRomsendFlagTable(FlagEntry (&table)[kRomsendFlagRows], int* batch, int* sort, std::string* port,
                          int* unattended);

// "--help"/"-h" print the usage, "--version" the program and its version, to `out`; the
// answer is the exit status (0). None when the command line asks for neither.
std::optional<int> AnswerInfoRequest(int argc, const char* const* argv, std::FILE* out);
std::string UsageText();

// Whether the command line sets the "unattended" switch, read with the program's own flag
// table and parser, without any of their effects (no box, no parameter file).
bool AsksForUnattended(int argc, const char* const* argv);

// A command line that an unattended run must not guess at: a flag that no row takes, a value
// flag left without its value, or a plain argument after the first flag (which would be
// ignored, and another file sent). The offending argument, or none.
std::optional<std::string> DoubtfulArgument(const FlagParser& info, size_t patternCount, int argc,
                                            const char* const* argv);

// Makes sure the window can be built. Without DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM, an
// unattended run takes Qt's offscreen platform; any other start writes one line to `err` and
// returns false (the program then exits with kExitNothingToSend).
bool PrepareDisplay(bool unattended, std::FILE* err);

// While it lives, and when `active`, Qt's messages go to `log` (which must outlive it) instead
// of standard error; romsend's main makes one for its whole run.
class QtMessagesToLog {
 public:
  QtMessagesToLog(DiagnosticLog& log, bool active);
  ~QtMessagesToLog();
  QtMessagesToLog(const QtMessagesToLog&) = delete;
  QtMessagesToLog& operator=(const QtMessagesToLog&) = delete;

 private:
  bool active_;
};

// Unattended runs: each box is one line "romsend: <title>: <text>" on standard error (line ends
// inside the text become blanks) and takes its default answer at once (DefaultAnswer).
class UnattendedMessageBox : public MessageBoxService {
 public:
  explicit UnattendedMessageBox(std::FILE* err = stderr) : err_(err) {}
  int Show(const std::string& text, const std::string& title, unsigned style, void* owner) override;

 private:
  std::FILE* err_;
};

}  // namespace kestrune
