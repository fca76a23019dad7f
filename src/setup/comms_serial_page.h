// SPDX-License-Identifier: MIT
// The serial settings page as romsend's sheet hosts it under "Comms Setup": the sheet's own
// buttons stand in for the page's, and new settings reach an open transport.
#pragma once

#include <functional>

#include "setup/serial_page.h"

namespace kestrune {

class CommsSerialPage : public SerialPage {
 public:
  // Asked to change the comms mode (1: MIDI); the sheet gives it.
  using CommsModeSwitch = std::function<void(int mode)>;

  // Told the port chosen on the page when its settings changed; the sheet's owner gives it.
  using PortChosen = std::function<void(const std::string& port)>;

  explicit CommsSerialPage(const RunContext& context, QWidget* parent = nullptr) : SerialPage(context, parent) {}

  void SetCommsModeSwitch(CommsModeSwitch modeSwitch) { modeSwitch_ = std::move(modeSwitch); }
  void SetPortChosen(PortChosen portChosen) { portChosen_ = std::move(portChosen); }

  // Asks for comms mode 1 (MIDI) through the switch the sheet gave; nothing without one. The
  // switch may replace this page: it must not destroy it before the call returns.
  virtual void UseMidi();

  // The base OK, then, when the settings changed, tells the port chosen (the run sends there
  // from now on, and an idle transport reopens so an open port takes the settings).
  void OnOK() override;
  // Leaving the page confirms it.
  bool OnKillActive() override;

 protected:
  void OnInitDialog() override;

 private:
  CommsModeSwitch modeSwitch_;
  PortChosen portChosen_;
};

}  // namespace kestrune
