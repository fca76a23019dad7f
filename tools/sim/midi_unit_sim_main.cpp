// SPDX-License-Identifier: MIT
// kestrune-midi-unit-sim: runs a simulated unit behind a MIDI device of the ALSA sequencer or a
// JACK server (virtual ports), so that romsend can reach it as an interface of that name.
// Prints "ready" as the first line of stdout once the ports exist and runs until SIGINT,
// SIGTERM or the end of stdin; then prints what it received to stderr.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "midi_device.h"
#include "midi_unit.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "sim_program.h"

int main(int argc, char** argv) {
  using kestrune::MidiApi;
  using kestrune::sim::CheckedText;
  using kestrune::sim::MidiUnit;
  using kestrune::sim::Switch;
  using kestrune::sim::Text;

  kestrune::sim::MidiUnitOptions options;
  auto& id = options.identity;
  std::string name = "USB Audio Device";
  MidiApi api = kestrune::ConfiguredMidiApi(kestrune::Profile(kestrune::ProgramProfilePath(kestrune::ProgramPath())));
  int eraseMs = 0;
  auto into = [](std::optional<std::string>& key) { return [&key](const std::string& v) { key = v; }; };
  auto leaveOut = [](std::optional<std::string>& key) { return [&key] { key.reset(); }; };

  kestrune::sim::SimProgram program;
  program.name = "kestrune-midi-unit-sim";
  program.about =
      "Simulated unit in its boot loader behind a MIDI device made of virtual ports. Prints\n"
      "\"ready\", then runs until SIGINT, SIGTERM or the end of stdin.\n";
  program.blankWithoutValue = false;
  program.flags = {
      CheckedText("--api", "alsa|jack|auto", "MIDI system (default: KESTRUNE_MIDI_API, else auto)",
                  [&api](const std::string& v) {
                    if (v != "alsa" && v != "jack" && v != "auto") return false;
                    api = v == "alsa" ? MidiApi::kAlsa : v == "jack" ? MidiApi::kJack : MidiApi::kAuto;
                    return true;
                  }),
      Text(
          "--name", "NAME", "device name (default \"USB Audio Device\")", [&name](const std::string& v) { name = v; },
          true),
      Text("--type", "TEXT", "TypeNumber value (default 12)", into(id.typeNumber)),
      Text("--app-name", "TEXT", "AppName value (default \"Lumo Boot\"; without \"Boot\": not in update mode)",
           into(id.appName)),
      Text("--id", "TEXT", "IdNumber value (default 4711)", into(id.idNumber)),
      Text("--serial", "TEXT", "SerialNumber value (default 0815)", into(id.serialNumber)),
      {"--no-KEY", "", "leave the key out (--no-type, --no-app-name, --no-id, --no-serial)", nullptr},
      Switch("--no-type", "", leaveOut(id.typeNumber)),
      Switch("--no-app-name", "", leaveOut(id.appName)),
      Switch("--no-id", "", leaveOut(id.idNumber)),
      Switch("--no-serial", "", leaveOut(id.serialNumber)),
      Text("--erase-ms", "N", "delay before the operation result of Open",
           [&eraseMs](const std::string& v) { eraseMs = std::atoi(v.c_str()); }),
  };

  std::unique_ptr<kestrune::MidiDeviceEnd> device;
  std::optional<MidiUnit> unit;
  program.start = [&](std::string& line) {
    int error = 0;
    device = kestrune::sim::OpenMidiDevice(name, api, &error);
    if (!device) {
      line = "no MIDI system for the device (error " + std::to_string(error) + ")";
      return false;
    }
    unit.emplace(options);
    unit->SetEraseDelay(eraseMs);
    const bool started = unit->Start(*device);
    line = started ? "ready" : "cannot start the unit";
    return started;
  };
  program.stop = [&] {
    unit->Stop();
    const kestrune::sim::MidiRecording r = unit->Snapshot();
    size_t imageBytes = 0;
    for (const auto& c : r.core.chunks) imageBytes += c.data.size();
    std::fprintf(stderr,
                 "identity requests %u, frame messages %u, reboot requests %u, other %u, sent %u\n"
                 "frames %u (bad %u), image header %zu bytes, data chunks %zu, data bytes %zu\n",
                 r.identityRequests, r.frameMessages, r.rebootRequests, r.otherMessages, r.messagesSent, r.core.frames,
                 r.core.badFrames, r.core.imageHeader.size(), r.core.chunks.size(), imageBytes);
    return 0;
  };
  return RunSimProgram(program, argc, argv);
}
