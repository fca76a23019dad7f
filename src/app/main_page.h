// SPDX-License-Identifier: MIT
// The main page "Operate ..": the update list, the status line and the buttons that start and
// stop a send; and the status printer through which every transfer reports.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "setup/property_page.h"
#include "setup/romsend_sheet.h"
#include "updates/hex_line_transfer.h"

class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QContextMenuEvent;

namespace kestrune {

class MainPage : public PropertyPage {
 public:
  static constexpr int kTemplateId = 102;
  // Control ids.
  static constexpr int kIdList = 1000;
  static constexpr int kIdStatus = 1001;
  static constexpr int kIdProgress = 1002;
  static constexpr int kIdReboot = 1003;
  static constexpr int kIdStop = 1005;
  static constexpr int kIdStatusLabel = 1009;
  static constexpr int kIdSerial = 1015;
  static constexpr int kIdSend = 1040;
  // Commands of the page's menu.
  static constexpr int kCmdAbout = 16;
  static constexpr int kCmdSendMenu = 1056;

  // Operation modes of a send of a BAM entry.
  enum Operation : int { kOpSend = 0, kOpReboot = 2, kOpSerial = 3 };

  // A page of `sheet`, sending through the sheet's context; the sheet outlives it.
  explicit MainPage(RomsendSheet& sheet, QWidget* parent = nullptr);
  ~MainPage() override;

  int& commsMode;          // the sheet's: 0 serial, 1 MIDI
  int operationMode = 0;   // 0 send; 2 'V' expecting 'W' (Reboot); 3 'V' unchecked (Serial)
  int batchFlag = 0;       // "batch" flag
  int unattendedFlag = 0;  // "unattended" flag: batch, and no person (boxes to stderr, always ends)
  int sortMode = 1;        // "sort" flag
  int sendInProgress = 0;  // 1 for the whole of a send
  std::vector<std::string> pathList;
  // Update-file search patterns from the command line; empty for the default ones.
  std::vector<std::string> searchPatterns;
  // How the last send (or refusal to send) ended, as a batch run's exit status (ExitStatus).
  int exitStatus = 3;

  // "Romsend"/"SerialReset" as read when the page opened.
  int SerialReset() const { return serialReset_; }

  // The handlers of the page's buttons and menu commands.
  void OnSend();
  void OnReboot();
  void OnSerial();
  void OnStop();
  void OnCommand(int command);
  // Whether the menu command may run now ("Send.." only while no send runs).
  bool CommandEnabled(int command) const;

  // Runs one send of the file at `path` (empty: an entry without a file) and returns its
  // result: 0 for success, else the transfer's result.
  int Send(const std::string& path);

  void OnCancel() override;

  // The status printer: shows a printf-style format with at most one argument in the page's
  // status line (at most 255 characters plus the resend count), repaints it at once, in batch
  // mode also writes it to standard output as a line, then pauses "Kestrune"/"msgdelay" ms.
  // Does nothing until the page has opened; from then on the engine prints through it.
  void PrintStatus(const char* format, const char* argument);
  StatusPrinter Printer();
  // Shows the about box as a dialog of its own (set by the program; nothing when empty).
  std::function<void()> showAbout;

 protected:
  void OnInitDialog() override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  // The send workflow's BAM part, by operation mode; `status` gets how it ended (ExitStatus).
  int SendBam(const std::string& path, int& status);
  // Refuses a BAM file before contact: its status text and result-log line.
  int RefuseBam(const std::string& path, const std::string& text, int& status);
  // The selected entry: false when there is none; `path` empty for an entry without a file.
  bool SelectedEntry(std::string& path) const;
  // Notes how a send ended and ends the run when it should: an unattended run or a stop signal
  // always, a batch run after a result of 0.
  void SendEnded(int result, int status);
  // A transfer's progress in whole percent; called only when its progress text changes, and
  // the bar repaints only when the percentage does.
  void ShowProgress(int percent);

  RomsendSheet& sheet_;
  const RomsendContext& context_;
  QLineEdit* status_ = nullptr;
  QProgressBar* progress_ = nullptr;
  int serialReset_ = 0;
};

// The exit status of a batch run after a HEX line transfer that ended so: any end but
// "Success!" is a failure, although the transfer returns 0 for it.
int HexExitStatus(HexOutcome outcome);

// The text the status line shows for a format and its argument: the formatted text plus
// " (N retries)" when the engine has resent frames since the program started.
std::string StatusLineText(const Sender& engine, const char* format, const char* argument);

}  // namespace kestrune
