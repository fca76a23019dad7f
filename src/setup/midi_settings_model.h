// SPDX-License-Identifier: MIT
// The MIDI settings model: the input and output device names that romsend uses, taken from the
// profile section "MIDI", checked against the devices present and saved back. The MIDI page
// shows and edits it; the MIDI transport opens the same choice.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/midi_ports.h"
#include "platform/run_context.h"

namespace kestrune {

// Runs on the user-interface thread. Holds one MidiPorts for its life, through which every
// lookup lists the devices afresh.
class MidiSettingsModel {
 public:
  // Both names by ChooseDevices (which with `fallback` may already write the profile), and the
  // saved names set to them. `ports` null: the context's MakeMidiPorts(). The names live in the
  // context's profile; the context must outlive the model.
  MidiSettingsModel(const RunContext& context, bool fallback, std::unique_ptr<MidiPorts> ports = nullptr);
  // Saves.
  ~MidiSettingsModel();
  MidiSettingsModel(const MidiSettingsModel&) = delete;
  MidiSettingsModel& operator=(const MidiSettingsModel&) = delete;

  // The profile's names ("In", "Out"; "USB Audio Device" when absent), checked against the
  // devices present: with `fallback`, an output that is not there becomes the input's name, and
  // an input that is not there is replaced by the first input that also exists as an output,
  // both then written to the profile.
  void ChooseDevices(std::string& input, std::string& output, bool fallback);
  // Position of the first input / output device of that name (letter case aside), or -1.
  int FindInput(const std::string& name);
  int FindOutput(const std::string& name);
  // The devices present, in device order.
  std::vector<std::string> InputNames();
  std::vector<std::string> OutputNames();
  // Writes the input name as "In" and the output name as "Out" and makes them the saved names.
  // Names that match no device present are saved as they are.
  void Save();

  std::string savedOutputName;
  std::string savedInputName;
  std::string outputName;
  std::string inputName;

 private:
  const RunContext& context_;
  std::unique_ptr<MidiPorts> ports_;
};

}  // namespace kestrune
