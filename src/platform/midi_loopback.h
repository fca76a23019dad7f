// SPDX-License-Identifier: MIT
// An in-process MIDI system for tests and benchmarks: named devices whose far ends a simulated
// unit holds, and MidiPorts for the program's side. Messages are handed over on a delivery
// thread of the loopback's own, as a MIDI system calls its clients back on its thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi_ports.h"

namespace kestrune {

class MidiLoopback {
 public:
  MidiLoopback();
  // Ends the delivery thread; messages not yet delivered are dropped. Ports and device ends
  // made by the loopback must be gone before it.
  ~MidiLoopback();
  MidiLoopback(const MidiLoopback&) = delete;
  MidiLoopback& operator=(const MidiLoopback&) = delete;

  // Adds a device after those present: an input of the program (messages the device end
  // sends) when `input`, an output (messages the device end receives) when `output`. The
  // returned end lives as long as the loopback. Thread-safe.
  MidiDeviceEnd& AddDevice(const std::string& name, bool input = true, bool output = true);
  // Takes a device away, as when its cable is pulled: it leaves both lists, an open input of
  // it stops delivering and its end's messages go nowhere.
  void RemoveDevice(const std::string& name);

  // Ports of the program's side. Each may open any device once at a time; a second open of an
  // input or output that another ports object holds gives kMidiAllocated.
  std::unique_ptr<MidiPorts> MakePorts();
  // A factory of this loopback's ports, for a RunContext; valid while the loopback lives.
  MidiPortsFactory PortsFactory();

  // While false the loopback plays a machine without a MIDI system: empty lists, opens give
  // kMidiNoDriver.
  void SetReachable(bool reachable);

  // Blocks until every message sent so far has been handed to its receiver (or dropped).
  void WaitDelivered();

  // Messages handed to a receiver so far, both ways.
  uint64_t Delivered() const;

 private:
  struct Device;
  class Ports;
  class End;
  struct Pending {
    std::shared_ptr<Device> device;
    bool toHost = false;
    std::vector<uint8_t> bytes;
  };

  void Post(const std::shared_ptr<Device>& device, bool toHost, const uint8_t* data, size_t length);
  void Run();
  std::vector<std::shared_ptr<Device>> List(bool inputs) const;

  mutable std::mutex mutex_;  // guards the device list, the queue and the counters
  std::condition_variable cv_;
  std::vector<std::shared_ptr<Device>> devices_;
  std::vector<std::shared_ptr<Device>> removed_;  // kept so their ends stay valid
  std::deque<Pending> queue_;
  bool delivering_ = false;
  bool stopping_ = false;
  bool reachable_ = true;
  uint64_t delivered_ = 0;
  std::thread thread_;
};

}  // namespace kestrune
