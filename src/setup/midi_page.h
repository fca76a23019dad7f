// SPDX-License-Identifier: MIT
// The MIDI settings page: the user picks the input and the output device by name. CommsMidiPage
// is the variant that serves as romsend's comms page in MIDI mode.
#pragma once

#include <functional>
#include <memory>

#include "setup/config_page.h"
#include "setup/midi_settings_model.h"

class QComboBox;

namespace kestrune {

class MidiPage : public ConfigPage {
 public:
  static constexpr int kTemplateId = 138;
  static constexpr int kIdInput = 1006;
  static constexpr int kIdOutput = 1007;
  static constexpr int kIdUseSerial = 1010;

  // `ports` null: the context's MIDI devices. The context must outlive the page.
  explicit MidiPage(const RunContext& context, std::unique_ptr<MidiPorts> ports = nullptr, QWidget* parent = nullptr);

  int PageKind() const override { return kKindMidi; }
  MidiSettingsModel& Model() { return model_; }

  // Reads both lists into the model and saves it.
  void OnOK() override;

 protected:
  void OnInitDialog() override;
  // Selects in the output list the first entry that begins with the chosen input's name.
  void OnInputChanged();

 private:
  const RunContext& context_;
  MidiSettingsModel model_;
};

class CommsMidiPage : public MidiPage {
 public:
  using CommsModeSwitch = std::function<void(int mode)>;
  using MidiPage::MidiPage;

  void SetCommsModeSwitch(CommsModeSwitch modeSwitch) { modeSwitch_ = std::move(modeSwitch); }
  // Asks for comms mode 0 (serial); the switch may replace this page after the call returns.
  virtual void UseSerial();
  // Leaving the page saves the choice at once.
  bool OnKillActive() override;

 protected:
  void OnInitDialog() override;

 private:
  CommsModeSwitch modeSwitch_;
};

}  // namespace kestrune
