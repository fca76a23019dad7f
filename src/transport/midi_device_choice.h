// SPDX-License-Identifier: MIT
// Which MIDI input and output romsend talks to: the names kept in the profile section "MIDI",
// checked against the devices present, with a fallback to a usable pair. The MIDI transport
// opens what this chooses; the MIDI settings model shows and saves it.
#pragma once

#include <string>

#include "platform/midi_ports.h"
#include "platform/profile.h"

namespace kestrune {

inline constexpr const char* kMidiSection = "MIDI";
inline constexpr const char* kMidiInEntry = "In";
inline constexpr const char* kMidiOutEntry = "Out";
inline constexpr const char* kDefaultMidiDevice = "USB Audio Device";

// Lists the devices afresh and returns the position of the first one whose name equals `name`
// without regard to letter case, or -1.
int FindMidiInput(MidiPorts& ports, const std::string& name);
int FindMidiOutput(MidiPorts& ports, const std::string& name);

// The input and output names from the profile ("In" and "Out", both "USB Audio Device" when
// absent). With `fallback`: an output name that no output has becomes the input name; an input
// name that no input has is replaced by the first input name that is also an output name (kept
// as read when none is), the output name becomes the same, and both are written to the
// profile. Without `fallback` the names are the profile's. Writes nothing otherwise.
void ChooseMidiDevices(Profile& profile, MidiPorts& ports, std::string& input, std::string& output, bool fallback);

}  // namespace kestrune
