// SPDX-License-Identifier: MIT
// The "Instructions" page: the steps of an update, from the help file that matches the comms
// mode (help.txt for serial, midi_help.txt for MIDI) or, without one, from the built-in text.
#pragma once

#include <QString>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "setup/property_page.h"

namespace kestrune {

// Shown when no help file can be read: nine paragraphs joined by an empty line (CR LF CR LF).
extern const char kBuiltInInstructions[];

// The help files looked for, in order, for a comms mode (0 serial, else MIDI): beside the
// program at `programPath`, then, for a program installed in "<prefix>/bin", in
// "<prefix>/share/romsend".
std::vector<std::string> HelpFileCandidates(const std::string& programPath, int commsMode);

// A help file's text: its bytes up to the first NUL, at most `maxBytes` of them. None when the
// file cannot be opened or is not a plain file (a folder, FIFO or device is never read, so a
// stray name cannot block the page).
std::optional<std::string> ReadHelpFile(const std::string& path, size_t maxBytes);

// The instructions for a comms mode: the first help file of the program at `programPath` that
// can be read, else the built-in text.
QString LoadInstructions(const std::string& programPath, int commsMode);

class HelpDialog : public PropertyPage {
 public:
  static constexpr int kTemplateId = 131;
  static constexpr int kIdText = 1001;    // the instructions
  static constexpr int kIdUnused = 1007;  // kept for the template's sake, never shown
  // A help text is a page of instructions; a larger file is shown up to here.
  static constexpr size_t kMaxHelpBytes = 256 * 1024;

  // Looks for the help files of the program at `programPath`.
  HelpDialog(std::string programPath, int& commsMode, QWidget* parent = nullptr);

  // Reads the help text afresh (the comms mode or the file may have changed) and shows it.
  bool OnSetActive() override;

  int& commsMode;        // the sheet's: 0 serial, 1 MIDI
  QString instructions;  // the text last loaded, as read

 protected:
  void OnInitDialog() override;

 private:
  std::string programPath_;
};

}  // namespace kestrune
