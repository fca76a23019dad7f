// SPDX-License-Identifier: MIT
// MIDI ports on RtMidi: ALSA's sequencer or a JACK server. RtMidi's failures are turned into the
// MIDI functions' numbers here, once, through an error callback (so RtMidi never throws at us
// after construction and prints nothing).
#include <unistd.h>

#include <RtMidi.h>

#include <atomic>
#include <mutex>
#include <new>

#include "platform/midi_ports.h"

namespace kestrune {
namespace {

constexpr const char* kClientName = "romsend";
// The names of romsend's own ports. Once opened they stand in the system's lists like any
// device (our input among the outputs); they are never offered as devices.
constexpr const char* kInputPortName = "romsend in";
constexpr const char* kOutputPortName = "romsend out";

bool OwnPort(const std::string& portName) {
  // "client:port", with ALSA's "client:port" numbers after it.
  const size_t colon = portName.find(':');
  if (colon == std::string::npos) return false;
  const std::string port = portName.substr(colon + 1);
  return port.rfind(kInputPortName, 0) == 0 || port.rfind(kOutputPortName, 0) == 0;
}

// The last failure RtMidi reported through its error callback. The callback may also run on
// RtMidi's own thread, so the record is atomic; callers clear it before a call and look after.
struct ErrorRecord {
  std::atomic<int> count{0};
  std::atomic<int> type{RtMidiError::UNSPECIFIED};

  void Clear() { count = 0; }
  bool Any() const { return count.load() > 0; }
  static void Note(RtMidiError::Type type, const std::string&, void* user) {
    auto* self = static_cast<ErrorRecord*>(user);
    self->type = type;
    ++self->count;
  }
};

int CodeOf(int type) {
  switch (type) {
    case RtMidiError::INVALID_DEVICE:
    case RtMidiError::INVALID_PARAMETER:
    case RtMidiError::NO_DEVICES_FOUND:
      return kMidiBadDeviceId;
    case RtMidiError::MEMORY_ERROR:
      return kMidiNoMemory;
    case RtMidiError::INVALID_USE:
      return kMidiInvalidHandle;
    default:
      return kMidiError;
  }
}

RtMidi::Api RtApiOf(MidiApi api) {
  return api == MidiApi::kJack ? RtMidi::UNIX_JACK : RtMidi::LINUX_ALSA;
}

// A client pair of one system: an input side and an output side, each an RtMidi client.
struct Client {
  MidiApi api = MidiApi::kAuto;
  std::unique_ptr<RtMidiIn> in;
  std::unique_ptr<RtMidiOut> out;
};

// Connects to `api`; false when the system cannot be reached. Without the sequencer device
// ALSA is not tried at all, which spares the user ALSA's complaint on stderr.
bool Connect(MidiApi api, const std::string& name, ErrorRecord& errors, Client& client) {
  if (api == MidiApi::kAlsa && access("/dev/snd/seq", R_OK | W_OK) != 0) return false;
  try {
    auto in = std::make_unique<RtMidiIn>(RtApiOf(api), name);
    in->setErrorCallback(&ErrorRecord::Note, &errors);
    // JACK reports an absent server only as a warning, on every call that needs the server.
    // The output side is made only once the server answered: RtMidi's JACK output loses a
    // buffer on every attempt to reach a server that is not there.
    errors.Clear();
    in->getPortCount();
    if (errors.Any()) return false;
    auto out = std::make_unique<RtMidiOut>(RtApiOf(api), name);
    out->setErrorCallback(&ErrorRecord::Note, &errors);
    client = Client{api, std::move(in), std::move(out)};
    return true;
  } catch (const RtMidiError&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool HasPorts(Client& c) {
  return c.in->getPortCount() + c.out->getPortCount() > 0;
}

// The configured system, or for kAuto the first of ALSA and JACK that has ports, else the
// first one reachable. False when none is.
bool ConnectConfigured(MidiApi api, const std::string& name, ErrorRecord& errors, Client& client) {
  if (api != MidiApi::kAuto) return Connect(api, name, errors, client);
  Client alsa;
  const bool haveAlsa = Connect(MidiApi::kAlsa, name, errors, alsa);
  if (haveAlsa && HasPorts(alsa)) {
    client = std::move(alsa);
    return true;
  }
  Client jack;
  if (Connect(MidiApi::kJack, name, errors, jack) && (HasPorts(jack) || !haveAlsa)) {
    client = std::move(jack);
    return true;
  }
  if (!haveAlsa) return false;
  client = std::move(alsa);
  return true;
}

class RtMidiPorts : public MidiPorts {
 public:
  explicit RtMidiPorts(MidiApi api) { connected_ = ConnectConfigured(api, kClientName, errors_, client_); }
  ~RtMidiPorts() override {
    CloseInput();
    CloseOutput();
  }

  std::vector<std::string> InputNames() override { return Names(Devices(client_.in.get())); }
  std::vector<std::string> OutputNames() override { return Names(Devices(client_.out.get())); }

  int OpenInput(int index, MidiReceiveFn receive) override {
    if (!connected_) return kMidiNoDriver;
    if (inputOpen_) return kMidiAllocated;
    // The system's own numbering as it stands now: ports come and go, ours among them.
    const std::vector<Device> devices = Devices(client_.in.get());
    if (index < 0 || static_cast<size_t>(index) >= devices.size()) return kMidiBadDeviceId;
    const unsigned port = devices[static_cast<size_t>(index)].port;
    {
      std::lock_guard<std::mutex> lock(receiveMutex_);
      receive_ = std::move(receive);
    }
    return Guarded([&] {
      client_.in->setCallback(&RtMidiPorts::Deliver, this);
      // SysEx is what the units speak; clock and active sensing would only flood the queue.
      client_.in->ignoreTypes(false, true, true);
      client_.in->openPort(port, kInputPortName);
      inputOpen_ = client_.in->isPortOpen();
      if (!inputOpen_) StopDelivery();
      return inputOpen_;
    });
  }

  int OpenOutput(int index) override {
    if (!connected_) return kMidiNoDriver;
    if (outputOpen_) return kMidiAllocated;
    const std::vector<Device> devices = Devices(client_.out.get());
    if (index < 0 || static_cast<size_t>(index) >= devices.size()) return kMidiBadDeviceId;
    const unsigned port = devices[static_cast<size_t>(index)].port;
    return Guarded([&] {
      client_.out->openPort(port, kOutputPortName);
      outputOpen_ = client_.out->isPortOpen();
      return outputOpen_;
    });
  }

  int SendSysEx(const uint8_t* data, size_t length) override {
    if (!outputOpen_) return kMidiInvalidHandle;
    return Guarded([&] {
      client_.out->sendMessage(data, length);
      return true;
    });
  }

  int CloseInput() override {
    if (!inputOpen_) return kMidiOk;
    StopDelivery();
    inputOpen_ = false;
    return Guarded([&] {
      client_.in->closePort();
      client_.in->cancelCallback();
      return true;
    });
  }

  int CloseOutput() override {
    if (!outputOpen_) return kMidiOk;
    outputOpen_ = false;
    return Guarded([&] {
      client_.out->closePort();
      return true;
    });
  }

 private:
  bool Alsa() const { return client_.api == MidiApi::kAlsa; }

  struct Device {
    unsigned port;  // RtMidi's number for it at the time of listing
    std::string name;
  };
  // The devices of one side, in the system's order, without romsend's own ports.
  std::vector<Device> Devices(RtMidi* side) {
    std::vector<Device> devices;
    if (!connected_) return devices;
    const unsigned n = side->getPortCount();
    for (unsigned i = 0; i < n; ++i) {
      const std::string name = side->getPortName(i);
      if (!OwnPort(name)) devices.push_back(Device{i, MidiDeviceName(name, Alsa())});
    }
    return devices;
  }
  static std::vector<std::string> Names(const std::vector<Device>& devices) {
    std::vector<std::string> names;
    for (const Device& d : devices) names.push_back(d.name);
    return names;
  }

  // Runs one RtMidi step; its result is 0 when the step says it worked and RtMidi reported no
  // failure, else the failure's number.
  template <typename Step>
  int Guarded(Step step) {
    errors_.Clear();
    try {
      const bool ok = step();
      if (errors_.Any()) {
        const int type = errors_.type.load();
        if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING) return CodeOf(type);
      }
      return ok ? kMidiOk : (errors_.Any() ? CodeOf(errors_.type.load()) : kMidiError);
    } catch (const RtMidiError& e) {
      return CodeOf(e.getType());
    } catch (const std::bad_alloc&) {
      return kMidiNoMemory;
    }
  }

  // After this no receive call is running or will start.
  void StopDelivery() {
    std::lock_guard<std::mutex> lock(receiveMutex_);
    receive_ = nullptr;
  }

  static void Deliver(double, std::vector<unsigned char>* message, void* user) {
    auto* self = static_cast<RtMidiPorts*>(user);
    std::lock_guard<std::mutex> lock(self->receiveMutex_);
    if (self->receive_ && message && !message->empty()) self->receive_(message->data(), message->size());
  }

  // Declared before the client so that it outlives RtMidi's threads, which end with the client.
  std::mutex receiveMutex_;
  MidiReceiveFn receive_;
  ErrorRecord errors_;
  Client client_;
  bool connected_ = false;
  bool inputOpen_ = false;
  bool outputOpen_ = false;
};

// A device played by this process: virtual ports that other clients open.
class RtMidiDevice : public MidiDeviceEnd {
 public:
  bool Open(const std::string& name, MidiApi api, int& error) {
    if (!ConnectConfigured(api, name, errors_, client_)) {
      error = kMidiNoDriver;
      return false;
    }
    errors_.Clear();
    try {
      client_.in->setCallback(&RtMidiDevice::Deliver, this);
      client_.in->ignoreTypes(false, true, true);
      client_.in->openVirtualPort(name);
      client_.out->openVirtualPort(name);
    } catch (const RtMidiError& e) {
      error = CodeOf(e.getType());
      return false;
    }
    if (errors_.Any() && errors_.type.load() != RtMidiError::WARNING) {
      error = CodeOf(errors_.type.load());
      return false;
    }
    return true;
  }
  ~RtMidiDevice() override { SetReceiver(nullptr); }

  int Send(const uint8_t* data, size_t length) override {
    std::lock_guard<std::mutex> lock(sendMutex_);
    errors_.Clear();
    try {
      client_.out->sendMessage(data, length);
    } catch (const RtMidiError& e) {
      return CodeOf(e.getType());
    }
    return errors_.Any() ? CodeOf(errors_.type.load()) : kMidiOk;
  }
  void SetReceiver(MidiReceiveFn receive) override {
    std::lock_guard<std::mutex> lock(receiveMutex_);
    receive_ = std::move(receive);
  }

 private:
  static void Deliver(double, std::vector<unsigned char>* message, void* user) {
    auto* self = static_cast<RtMidiDevice*>(user);
    std::lock_guard<std::mutex> lock(self->receiveMutex_);
    if (self->receive_ && message && !message->empty()) self->receive_(message->data(), message->size());
  }

  std::mutex receiveMutex_;
  MidiReceiveFn receive_;
  std::mutex sendMutex_;  // Send may come from any thread
  ErrorRecord errors_;
  Client client_;
};

}  // namespace

std::unique_ptr<MidiPorts> MakeRtMidiPorts(MidiApi api) {
  return std::make_unique<RtMidiPorts>(api);
}

std::unique_ptr<MidiDeviceEnd> OpenRtMidiDevice(const std::string& name, MidiApi api, int* error) {
  auto device = std::make_unique<RtMidiDevice>();
  int code = kMidiOk;
  if (!device->Open(name, api, code)) {
    if (error) *error = code;
    return nullptr;
  }
  if (error) *error = kMidiOk;
  return device;
}

}  // namespace kestrune
