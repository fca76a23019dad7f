// SPDX-License-Identifier: MIT
// romsend's run modes: info requests, the unattended switch, the display check, quiet boxes.
#include "run_mode.h"

#include <cstdlib>
#include <cstring>

#include <QString>
#include <QtGlobal>

#include "platform/diagnostic_log.h"
#include "platform/program_info.h"
#include "updates/version_text.h"

namespace kestrune {

void FillRomsendFlagTable(FlagEntry (&table)[kRomsendFlagRows], int* batch, int* sort, std::string* port,
                          int* unattended) {
  table[0] = {"batch", "Exit after command line stuff", kFlagSwitch, batch};
  table[1] = {"sort", "File sort mode", kFlagInteger, sort};
  table[2] = {"port", "comms port", kFlagString, port};
  table[3] = {"unattended", "Batch without a person: boxes to stderr, outcome in the exit status", kFlagSwitch,
              unattended};
  table[4] = {nullptr, nullptr, 0, {}};
}

std::string UsageText() {
  return "Usage: romsend [pattern ...] [/batch] [/unattended] [/sort:N] [/port:NAME] [/?]\n"
         "Sends a firmware update file (BAM image or Intel HEX) to a Kestrune unit in its update mode.\n"
         "\n"
         "  pattern        update files to list (default: *.bam and *.hex? of the working folder)\n"
         "  /batch         send the selected update at once; close the window when it succeeded\n"
         "  /unattended    /batch without a person: no box waits, boxes go to standard error, the\n"
         "                 program ends after the send; runs without a display\n"
         "  /sort:N        list order: 1 name, 2 name descending, 3 date, 4 date descending\n"
         "  /port:NAME     serial port, e.g. /port:/dev/ttyUSB0; /port:ZT770 finds a ZT770+ bridge\n"
         "  /?             show the flags in a box\n"
         "  -h, --help     show this text\n"
         "  --version      show the version\n"
         "\n"
         "Exit status of /batch and /unattended runs: 0 sent and confirmed, 1 failed after contact,\n"
         "2 no contact, 3 nothing to send (no file, no selection, a bad file or command line),\n"
         "130 or 143 stopped by SIGINT or SIGTERM.\n";
}

std::optional<int> AnswerInfoRequest(int argc, const char* const* argv, std::FILE* out) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i] ? argv[i] : "";
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(UsageText().c_str(), out);
      std::fflush(out);
      return 0;
    }
    if (std::strcmp(arg, "--version") == 0) {
      std::fprintf(out, "romsend %s\n", VersionText().c_str());
      std::fflush(out);
      return 0;
    }
  }
  return std::nullopt;
}

namespace {
// Takes every box without showing it: the early read of the command line must not show "/?".
class SilentBoxes : public MessageBoxService {
 public:
  int Show(const std::string&, const std::string&, unsigned style, void*) override { return DefaultAnswer(style); }
};
}  // namespace

bool AsksForUnattended(int argc, const char* const* argv) {
  int batch = 0, sort = 0, unattended = 0;
  std::string port;
  FlagEntry table[kRomsendFlagRows];
  FillRomsendFlagTable(table, &batch, &sort, &port, &unattended);
  SilentBoxes silent;
  MessageBoxes quiet(silent);
  // romsend's table has no parameter-file flag, so no program path is needed to name one.
  FlagParser info(table, quiet, std::string());
  ParseCommandLine(info, argc, argv);
  return unattended != 0;
}

std::optional<std::string> DoubtfulArgument(const FlagParser& info, size_t patternCount, int argc,
                                            const char* const* argv) {
  // Unclaimed holds the patterns first, then what no flag took (flags without their '/' or '-').
  if (info.Unclaimed().size() > patternCount) {
    const std::string& taken = info.Unclaimed()[patternCount];
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i] ? argv[i] : "";
      if (arg == taken || (IsFlagArgument(arg) && arg.substr(1) == taken)) return arg;
    }
    return taken;
  }
  if (info.PendingFlag() >= 0) return std::string(argc > 1 && argv[argc - 1] ? argv[argc - 1] : "");
  return std::nullopt;
}

bool PrepareDisplay(bool unattended, std::FILE* err) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  if (unattended) {
    SetEnvironmentValue("QT_QPA_PLATFORM", "offscreen");
    return true;
  }
  std::fputs("romsend: no display (DISPLAY or WAYLAND_DISPLAY): run it on a desktop, or with /unattended\n", err);
  std::fflush(err);
  return false;
}

namespace {
// Process-wide because qInstallMessageHandler takes a plain function; set and cleared by QtMessagesToLog only.
DiagnosticLog* g_qtMessageLog = nullptr;

void LogQtMessage(QtMsgType, const QMessageLogContext&, const QString& message) {
  if (g_qtMessageLog) g_qtMessageLog->Printf("Qt: %s", message.toLocal8Bit().constData());
}
}  // namespace

QtMessagesToLog::QtMessagesToLog(DiagnosticLog& log, bool active) : active_(active) {
  if (!active_) return;
  g_qtMessageLog = &log;
  qInstallMessageHandler(LogQtMessage);
}

QtMessagesToLog::~QtMessagesToLog() {
  if (!active_) return;
  qInstallMessageHandler(nullptr);
  g_qtMessageLog = nullptr;
}

int UnattendedMessageBox::Show(const std::string& text, const std::string& title, unsigned style, void*) {
  std::string line = "romsend: " + title + ": " + text;
  // One line: a multi-line text (the flag list) is joined with blanks, with none at its end.
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  std::fprintf(err_, "%s\n", line.c_str());
  std::fflush(err_);
  return DefaultAnswer(style);
}

}  // namespace kestrune
