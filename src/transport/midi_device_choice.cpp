// SPDX-License-Identifier: MIT
// The MIDI device pair: lookup by name and the profile's choice with its fallback.
#include "midi_device_choice.h"

#include <cctype>
#include <vector>

#include "platform/profile.h"

namespace kestrune {
namespace {

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

int Find(const std::vector<std::string>& names, const std::string& name) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (SameName(names[i], name)) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

int FindMidiInput(MidiPorts& ports, const std::string& name) {
  return Find(ports.InputNames(), name);
}

int FindMidiOutput(MidiPorts& ports, const std::string& name) {
  return Find(ports.OutputNames(), name);
}

void ChooseMidiDevices(Profile& profile, MidiPorts& ports, std::string& input, std::string& output, bool fallback) {
  input = profile.GetString(kMidiSection, kMidiInEntry, kDefaultMidiDevice);
  if (FindMidiInput(ports, input) >= 0 || !fallback) {
    output = profile.GetString(kMidiSection, kMidiOutEntry, kDefaultMidiDevice);
    if (FindMidiOutput(ports, output) < 0 && fallback) output = input;
    return;
  }
  // The saved input is not there: take the first input that also exists as an output, so that
  // a single interface serves both ways.
  for (const std::string& name : ports.InputNames()) {
    if (FindMidiOutput(ports, name) >= 0) {
      input = name;
      break;
    }
  }
  output = input;
  profile.WriteString(kMidiSection, kMidiInEntry, input);
  profile.WriteString(kMidiSection, kMidiOutEntry, output);
}

}  // namespace kestrune
