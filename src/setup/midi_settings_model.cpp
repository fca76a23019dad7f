// SPDX-License-Identifier: MIT
// The MIDI settings model over the shared device choice.
#include "midi_settings_model.h"

#include "platform/profile.h"
#include "transport/midi_device_choice.h"

namespace kestrune {

MidiSettingsModel::MidiSettingsModel(const RunContext& context, bool fallback, std::unique_ptr<MidiPorts> ports)
    : context_(context), ports_(ports ? std::move(ports) : context.MakeMidiPorts()) {
  ChooseDevices(inputName, outputName, fallback);
  savedInputName = inputName;
  savedOutputName = outputName;
}

MidiSettingsModel::~MidiSettingsModel() {
  Save();
}

void MidiSettingsModel::ChooseDevices(std::string& input, std::string& output, bool fallback) {
  ChooseMidiDevices(context_.profile, *ports_, input, output, fallback);
}

int MidiSettingsModel::FindInput(const std::string& name) {
  return FindMidiInput(*ports_, name);
}

int MidiSettingsModel::FindOutput(const std::string& name) {
  return FindMidiOutput(*ports_, name);
}

std::vector<std::string> MidiSettingsModel::InputNames() {
  return ports_->InputNames();
}

std::vector<std::string> MidiSettingsModel::OutputNames() {
  return ports_->OutputNames();
}

void MidiSettingsModel::Save() {
  Profile& profile = context_.profile;
  profile.WriteString(kMidiSection, kMidiInEntry, inputName);
  profile.WriteString(kMidiSection, kMidiOutEntry, outputName);
  savedInputName = inputName;
  savedOutputName = outputName;
}

}  // namespace kestrune
