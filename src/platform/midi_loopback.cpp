// SPDX-License-Identifier: MIT
// The in-process MIDI system: device lists, opens with their ownership rules, and one delivery
// thread that calls receivers the way a MIDI system's own thread does.
#include "midi_loopback.h"

#include <algorithm>

namespace kestrune {

// Input: messages from the end to the program. Output: messages from the program to the end.
// Each receiver has its own mutex, held while it runs, so that taking it away waits for a
// running call to finish and no call follows.
struct MidiLoopback::Device : std::enable_shared_from_this<MidiLoopback::Device> {
  std::string name;
  bool input = false;
  bool output = false;
  bool removed = false;                // guarded by the loopback's mutex
  const void* inputHolder = nullptr;   // the Ports that opened the input; loopback's mutex
  const void* outputHolder = nullptr;  // the Ports that opened the output; loopback's mutex
  std::mutex hostMutex;
  MidiReceiveFn hostReceive;
  std::mutex endMutex;
  MidiReceiveFn endReceive;
  std::unique_ptr<MidiDeviceEnd> end;
};

class MidiLoopback::End : public MidiDeviceEnd {
 public:
  End(MidiLoopback& loop, Device& device) : loop_(loop), device_(device) {}
  int Send(const uint8_t* data, size_t length) override {
    loop_.Post(device_.shared_from_this(), true, data, length);
    return kMidiOk;
  }
  void SetReceiver(MidiReceiveFn receive) override {
    std::lock_guard<std::mutex> lock(device_.endMutex);
    device_.endReceive = std::move(receive);
  }

 private:
  MidiLoopback& loop_;
  Device& device_;
};

class MidiLoopback::Ports : public MidiPorts {
 public:
  explicit Ports(MidiLoopback& loop) : loop_(loop) {}
  ~Ports() override {
    CloseInput();
    CloseOutput();
  }

  std::vector<std::string> InputNames() override { return Names(true); }
  std::vector<std::string> OutputNames() override { return Names(false); }

  int OpenInput(int index, MidiReceiveFn receive) override {
    std::shared_ptr<Device> device;
    if (const int code = Claim(true, index, device); code != kMidiOk) return code;
    {
      std::lock_guard<std::mutex> lock(device->hostMutex);
      device->hostReceive = std::move(receive);
    }
    input_ = device;
    return kMidiOk;
  }
  int OpenOutput(int index) override {
    std::shared_ptr<Device> device;
    if (const int code = Claim(false, index, device); code != kMidiOk) return code;
    output_ = device;
    return kMidiOk;
  }
  int SendSysEx(const uint8_t* data, size_t length) override {
    if (!output_) return kMidiInvalidHandle;
    loop_.Post(output_, false, data, length);
    return kMidiOk;
  }
  int CloseInput() override {
    if (!input_) return kMidiOk;
    {
      std::lock_guard<std::mutex> lock(input_->hostMutex);
      input_->hostReceive = nullptr;
    }
    std::lock_guard<std::mutex> lock(loop_.mutex_);
    input_->inputHolder = nullptr;
    input_.reset();
    return kMidiOk;
  }
  int CloseOutput() override {
    if (!output_) return kMidiOk;
    std::lock_guard<std::mutex> lock(loop_.mutex_);
    output_->outputHolder = nullptr;
    output_.reset();
    return kMidiOk;
  }

 private:
  std::vector<std::string> Names(bool inputs) {
    std::vector<std::string> names;
    for (const auto& d : loop_.List(inputs)) names.push_back(d->name);
    return names;
  }
  // Marks device `index` of one list as held by these ports.
  int Claim(bool input, int index, std::shared_ptr<Device>& device) {
    std::lock_guard<std::mutex> lock(loop_.mutex_);
    if (!loop_.reachable_) return kMidiNoDriver;
    if (input ? input_ != nullptr : output_ != nullptr) return kMidiAllocated;
    std::vector<std::shared_ptr<Device>> list;
    for (const auto& d : loop_.devices_) {
      if (input ? d->input : d->output) list.push_back(d);
    }
    if (index < 0 || static_cast<size_t>(index) >= list.size()) return kMidiBadDeviceId;
    device = list[static_cast<size_t>(index)];
    const void*& holder = input ? device->inputHolder : device->outputHolder;
    if (holder) return kMidiAllocated;
    holder = this;
    return kMidiOk;
  }

  MidiLoopback& loop_;
  std::shared_ptr<Device> input_;
  std::shared_ptr<Device> output_;
};

MidiLoopback::MidiLoopback() : thread_([this] { Run(); }) {}

MidiLoopback::~MidiLoopback() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

MidiDeviceEnd& MidiLoopback::AddDevice(const std::string& name, bool input, bool output) {
  auto device = std::make_shared<Device>();
  device->name = name;
  device->input = input;
  device->output = output;
  device->end = std::make_unique<End>(*this, *device);
  std::lock_guard<std::mutex> lock(mutex_);
  devices_.push_back(device);
  return *device->end;
}

void MidiLoopback::RemoveDevice(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) { return d->name == name; });
  if (it == devices_.end()) return;
  (*it)->removed = true;
  // The device object stays alive with its end and with any ports still holding it.
  removed_.push_back(*it);
  devices_.erase(it);
}

std::unique_ptr<MidiPorts> MidiLoopback::MakePorts() {
  return std::make_unique<Ports>(*this);
}

MidiPortsFactory MidiLoopback::PortsFactory() {
  return [this] { return MakePorts(); };
}

void MidiLoopback::SetReachable(bool reachable) {
  std::lock_guard<std::mutex> lock(mutex_);
  reachable_ = reachable;
}

void MidiLoopback::WaitDelivered() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return (queue_.empty() && !delivering_) || stopping_; });
}

uint64_t MidiLoopback::Delivered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delivered_;
}

std::vector<std::shared_ptr<MidiLoopback::Device>> MidiLoopback::List(bool inputs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<Device>> list;
  if (!reachable_) return list;
  for (const auto& d : devices_) {
    if (inputs ? d->input : d->output) list.push_back(d);
  }
  return list;
}

void MidiLoopback::Post(const std::shared_ptr<Device>& device, bool toHost, const uint8_t* data, size_t length) {
  Pending p{device, toHost, std::vector<uint8_t>(data, data + length)};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(p));
  }
  cv_.notify_all();
}

void MidiLoopback::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    Pending p = std::move(queue_.front());
    queue_.pop_front();
    const bool live = !p.device->removed && (p.toHost ? p.device->input : p.device->output);
    delivering_ = true;
    lock.unlock();
    bool handed = false;
    if (live) {
      Device& d = *p.device;
      std::mutex& m = p.toHost ? d.hostMutex : d.endMutex;
      std::lock_guard<std::mutex> deliver(m);
      const MidiReceiveFn& receive = p.toHost ? d.hostReceive : d.endReceive;
      if (receive) {
        receive(p.bytes.data(), p.bytes.size());
        handed = true;
      }
    }
    lock.lock();
    delivering_ = false;
    if (handed) ++delivered_;
    cv_.notify_all();
  }
}

}  // namespace kestrune
