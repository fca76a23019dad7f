// SPDX-License-Identifier: MIT
// The MIDI system as romsend sees it: the input and output devices present, one input opened
// with a callback on the MIDI system's own thread, one output that sends System Exclusive
// messages. Failures are reported with the numbers of the Windows multimedia MIDI functions,
// which the transport shows to the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrune {

class Profile;

// Outcome numbers of the MIDI functions (the winmm MMSYSERR values).
enum MidiResult : int {
  kMidiOk = 0,
  kMidiError = 1,          // unspecified error
  kMidiBadDeviceId = 2,    // no device of that number
  kMidiAllocated = 4,      // the device is open already
  kMidiInvalidHandle = 5,  // the input or output is not open
  kMidiNoDriver = 6,       // no MIDI system reachable
  kMidiNoMemory = 7,
  kMidiInvalidParam = 11,
};

// Called on the MIDI system's thread with one whole received message (a SysEx message from
// its F0 to its F7, or a short message). `data` is valid only during the call. It must return
// promptly and must not call back into the MidiPorts that delivers it.
using MidiReceiveFn = std::function<void(const uint8_t* data, size_t length)>;

// One client of the MIDI system: lists the devices and holds at most one open input and one
// open output. All operations are called on one thread (the user-interface thread); only the
// receive callback runs elsewhere. Deleting the object closes what is open.
class MidiPorts {
 public:
  virtual ~MidiPorts() = default;

  // Names of the devices present, in device order: a name's position is the number that
  // OpenInput / OpenOutput take. Asks the system afresh on every call; empty when no MIDI
  // system is reachable.
  virtual std::vector<std::string> InputNames() = 0;
  virtual std::vector<std::string> OutputNames() = 0;

  // Opens input device `index` and starts delivering its messages to `receive`, SysEx
  // included. 0, or kMidiNoDriver without a MIDI system, kMidiBadDeviceId for an index that
  // names no device (-1 included), kMidiAllocated when an input is open already.
  virtual int OpenInput(int index, MidiReceiveFn receive) = 0;
  // Opens output device `index`; results as OpenInput.
  virtual int OpenOutput(int index) = 0;
  // Sends one whole message (F0 ... F7) on the open output without waiting for it to leave.
  // 0, kMidiInvalidHandle without an open output, or the system's failure.
  virtual int SendSysEx(const uint8_t* data, size_t length) = 0;
  // Closes the input; once this returns the receive callback is not running and is never
  // called again. 0 also when nothing was open.
  virtual int CloseInput() = 0;
  virtual int CloseOutput() = 0;
};

// The far end of one MIDI device: what a unit plugged into the interface sees. Used by the
// simulated unit. Send may be called from any thread; the receiver runs on the MIDI system's
// thread under the same rules as MidiReceiveFn.
class MidiDeviceEnd {
 public:
  virtual ~MidiDeviceEnd() = default;
  // Sends one message towards the host; it arrives on the host's input of this device's name.
  // 0 or a MidiResult.
  virtual int Send(const uint8_t* data, size_t length) = 0;
  // Receives what the host sends to this device's output; an empty function stops delivery,
  // and once that call returns the old receiver is not running.
  virtual void SetReceiver(MidiReceiveFn receive) = 0;
};

// Which MIDI system the RtMidi ports use.
enum class MidiApi { kAuto, kAlsa, kJack };

// The system asked for by the environment variable KESTRUNE_MIDI_API, else by the profile's
// "MIDI"/"Api" entry: "alsa" or "jack" in any letter case; anything else is kAuto (ALSA when
// its sequencer can be opened and has ports, else JACK when its server runs and has ports,
// else whichever of the two is reachable).
MidiApi ConfiguredMidiApi(const Profile& profile);

// Makes the ports of a MIDI system (RunContext::MakeMidiPorts: the configured RtMidi system,
// unless a test put a loopback's factory in the context). Never null; without any MIDI system
// the lists are empty and opens give kMidiNoDriver.
using MidiPortsFactory = std::function<std::unique_ptr<MidiPorts>()>;

// RtMidi ports on `api`.
std::unique_ptr<MidiPorts> MakeRtMidiPorts(MidiApi api);

// A device of the MIDI system played by this process: a virtual input and a virtual output
// port named `name`, which other clients list as a device of that name. Null when the system
// is not reachable; `error` then says why (a MidiResult).
std::unique_ptr<MidiDeviceEnd> OpenRtMidiDevice(const std::string& name, MidiApi api, int* error = nullptr);

// The device name shown for a port name that RtMidi reports: the client name and the
// client:port numbers that ALSA adds ("USB Audio Device:USB Audio Device MIDI 1 20:0") and the
// client name that JACK adds ("system:midi_capture_1") are dropped, and so is the " MIDI 1"
// that ALSA gives the first port of a USB interface, so that a single-port interface reads as
// its product name. A name without those parts stays as it is.
std::string MidiDeviceName(const std::string& portName, bool alsa);

}  // namespace kestrune
