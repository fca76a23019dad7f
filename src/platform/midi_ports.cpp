// SPDX-License-Identifier: MIT
// What every MIDI backend shares: the choice of system, the ports factory and device names.
#include "midi_ports.h"

#include <cctype>
#include <cstdlib>

#include "platform/profile.h"
#include "platform/run_context.h"

namespace kestrune {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

MidiApi ApiNamed(const std::string& name) {
  const std::string n = Lower(name);
  if (n == "alsa") return MidiApi::kAlsa;
  if (n == "jack") return MidiApi::kJack;
  return MidiApi::kAuto;
}

bool IsDigits(const std::string& s, size_t from, size_t to) {
  if (from >= to) return false;
  for (size_t i = from; i < to; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

}  // namespace

MidiApi ConfiguredMidiApi(const Profile& profile) {
  if (const char* env = std::getenv("KESTRUNE_MIDI_API"); env && *env) return ApiNamed(env);
  return ApiNamed(profile.GetString("MIDI", "Api", ""));
}

std::unique_ptr<MidiPorts> RunContext::MakeMidiPorts() const {
  if (midiPorts) {
    if (auto ports = midiPorts()) return ports;
  }
  return MakeRtMidiPorts(ConfiguredMidiApi(profile));
}

std::string MidiDeviceName(const std::string& portName, bool alsa) {
  std::string name = portName;
  if (alsa) {
    // "<client>:<port> <client number>:<port number>"
    const size_t blank = name.rfind(' ');
    const size_t colon = blank == std::string::npos ? std::string::npos : name.find(':', blank);
    if (colon != std::string::npos && IsDigits(name, blank + 1, colon) && IsDigits(name, colon + 1, name.size()))
      name.erase(blank);
  }
  // "<client>:<port>": the port carries the device's name.
  if (const size_t colon = name.find(':'); colon != std::string::npos && colon + 1 < name.size())
    name.erase(0, colon + 1);
  static const std::string kFirstPort = " MIDI 1";
  if (name.size() > kFirstPort.size() &&
      name.compare(name.size() - kFirstPort.size(), kFirstPort.size(), kFirstPort) == 0)
    name.erase(name.size() - kFirstPort.size());
  return name;
}

}  // namespace kestrune
