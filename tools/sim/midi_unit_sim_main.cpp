// SPDX-License-Identifier: MIT
// kestrune-midi-unit-sim: runs a simulated unit behind a MIDI device of the ALSA sequencer or a
// JACK server (virtual ports), so that romsend can reach it as an interface of that name.
// Prints "ready" as the first line of stdout once the ports exist and runs until SIGINT,
// SIGTERM or the end of stdin; then prints what it received to stderr.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "midi_device.h"
#include "midi_unit.h"
#include "platform/profile.h"
#include "sim_program.h"

namespace {

using kestrune::sim::EndSignals;

using kestrune::MidiApi;
using kestrune::sim::MidiUnit;
using kestrune::sim::MidiUnitOptions;

constexpr const char* kUsage =
    "usage: kestrune-midi-unit-sim [options]\n"
    "Simulated unit in its boot loader behind a MIDI device made of virtual ports. Prints\n"
    "\"ready\", then runs until SIGINT, SIGTERM or the end of stdin.\n"
    "\n"
    "  --api alsa|jack|auto   MIDI system (default: KESTRUNE_MIDI_API, else auto)\n"
    "  --name NAME            device name (default \"USB Audio Device\")\n"
    "  --type TEXT            TypeNumber value (default 12)\n"
    "  --app-name TEXT        AppName value (default \"Lumo Boot\"; without \"Boot\": not in update mode)\n"
    "  --id TEXT              IdNumber value (default 4711)\n"
    "  --serial TEXT          SerialNumber value (default 0815)\n"
    "  --no-KEY               leave the key out (--no-type, --no-app-name, --no-id, --no-serial)\n"
    "  --erase-ms N           delay before the operation result of Open\n"
    "  --help                 this text\n";

}  // namespace

int main(int argc, char** argv) {
  MidiUnitOptions options;
  std::string name = "USB Audio Device";
  MidiApi api = kestrune::ConfiguredMidiApi(kestrune::Profile(kestrune::ProgramProfilePath()));
  int eraseMs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    auto& id = options.identity;
    if (flag == "--no-type") {
      id.typeNumber.reset();
    } else if (flag == "--no-app-name") {
      id.appName.reset();
    } else if (flag == "--no-id") {
      id.idNumber.reset();
    } else if (flag == "--no-serial") {
      id.serialNumber.reset();
    } else if (i + 1 < argc) {
      const std::string value = argv[++i];
      if (flag == "--api" && (value == "alsa" || value == "jack" || value == "auto")) {
        api = value == "alsa" ? MidiApi::kAlsa : value == "jack" ? MidiApi::kJack : MidiApi::kAuto;
      } else if (flag == "--name" && !value.empty()) {
        name = value;
      } else if (flag == "--type") {
        id.typeNumber = value;
      } else if (flag == "--app-name") {
        id.appName = value;
      } else if (flag == "--id") {
        id.idNumber = value;
      } else if (flag == "--serial") {
        id.serialNumber = value;
      } else if (flag == "--erase-ms") {
        eraseMs = std::atoi(value.c_str());
      } else {
        std::fprintf(stderr, "kestrune-midi-unit-sim: bad option %s %s\n%s", flag.c_str(), value.c_str(), kUsage);
        return 2;
      }
    } else {
      std::fprintf(stderr, "kestrune-midi-unit-sim: bad option %s\n%s", flag.c_str(), kUsage);
      return 2;
    }
  }

  // SIGINT and SIGTERM stay blocked everywhere (the unit's and the MIDI system's threads
  // inherit the mask) except inside the main thread's ppoll.
  const EndSignals endSignals;

  int error = 0;
  std::unique_ptr<kestrune::MidiDeviceEnd> device = kestrune::sim::OpenMidiDevice(name, api, &error);
  if (!device) {
    std::fprintf(stderr, "kestrune-midi-unit-sim: no MIDI system for the device (error %d)\n", error);
    return 1;
  }
  MidiUnit unit(options);
  unit.SetEraseDelay(eraseMs);
  if (!unit.Start(*device)) {
    std::fprintf(stderr, "kestrune-midi-unit-sim: cannot start the unit\n");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  endSignals.Wait(false);
  unit.Stop();
  const kestrune::sim::MidiRecording r = unit.Snapshot();
  size_t imageBytes = 0;
  for (const auto& c : r.core.chunks) imageBytes += c.data.size();
  std::fprintf(stderr,
               "identity requests %u, frame messages %u, reboot requests %u, other %u, sent %u\n"
               "frames %u (bad %u), image header %zu bytes, data chunks %zu, data bytes %zu\n",
               r.identityRequests, r.frameMessages, r.rebootRequests, r.otherMessages, r.messagesSent, r.core.frames,
               r.core.badFrames, r.core.imageHeader.size(), r.core.chunks.size(), imageBytes);
  return 0;
}
