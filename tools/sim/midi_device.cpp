// SPDX-License-Identifier: MIT
// A MIDI device on a JACK server made with libjack: one client with an input port and one with
// an output port, both named after the device, as RtMidi's virtual ports are.
#include "midi_device.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <cstdint>
#include <cstring>
#include <mutex>

namespace kestrune::sim {
namespace {

// What the device may have waiting to leave; a message that does not fit is refused.
constexpr size_t kSendRingBytes = 1 << 16;

class JackMidiDevice : public MidiDeviceEnd {
 public:
  ~JackMidiDevice() override {
    // Closing a client stops its process and notification threads before the server drops its
    // ports; the ports are never unregistered one by one.
    if (input_) jack_client_close(input_);
    if (output_) jack_client_close(output_);
    if (ring_) jack_ringbuffer_free(ring_);
  }

  int Open(const std::string& name) {
    ring_ = jack_ringbuffer_create(kSendRingBytes);
    if (!ring_) return kMidiNoMemory;
    input_ = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
    if (!input_) return kMidiNoDriver;
    // The second client of the same name gets a number from the server ("name-01").
    output_ = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
    if (!output_) return kMidiNoDriver;
    inPort_ = jack_port_register(input_, name.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    outPort_ = jack_port_register(output_, name.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!inPort_ || !outPort_) return kMidiError;
    if (jack_set_process_callback(input_, &JackMidiDevice::ProcessInput, this) != 0 ||
        jack_set_process_callback(output_, &JackMidiDevice::ProcessOutput, this) != 0)
      return kMidiError;
    if (jack_activate(input_) != 0 || jack_activate(output_) != 0) return kMidiError;
    return kMidiOk;
  }

  int Send(const uint8_t* data, size_t length) override {
    if (length == 0) return kMidiInvalidParam;
    if (length > kSendRingBytes) return kMidiNoMemory;
    const uint32_t size = static_cast<uint32_t>(length);
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (jack_ringbuffer_write_space(ring_) < sizeof size + length) return kMidiNoMemory;
    jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(&size), sizeof size);
    jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(data), length);
    return kMidiOk;
  }

  void SetReceiver(MidiReceiveFn receive) override {
    std::lock_guard<std::mutex> lock(receiveMutex_);
    receive_ = std::move(receive);
  }

 private:
  // On the input client's process thread: every message of this cycle, in order. Clock, time
  // code and active sensing are left out, as the unit's firmware ignores them.
  static int ProcessInput(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackMidiDevice*>(arg);
    void* buffer = jack_port_get_buffer(self->inPort_, frames);
    const uint32_t count = jack_midi_get_event_count(buffer);
    std::lock_guard<std::mutex> lock(self->receiveMutex_);
    for (uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, buffer, i) != 0 || event.size == 0) continue;
      const uint8_t status = event.buffer[0];
      if (status == 0xF1 || status == 0xF8 || status == 0xFE) continue;
      if (self->receive_) self->receive_(event.buffer, event.size);
    }
    return 0;
  }

  // On the output client's process thread: as many waiting messages as this cycle's buffer
  // holds; the rest leave in the next cycle. One larger than any buffer is dropped, so that it
  // cannot hold up those behind it.
  static int ProcessOutput(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackMidiDevice*>(arg);
    void* buffer = jack_port_get_buffer(self->outPort_, frames);
    jack_midi_clear_buffer(buffer);
    uint32_t size = 0;
    while (jack_ringbuffer_peek(self->ring_, reinterpret_cast<char*>(&size), sizeof size) == sizeof size &&
           jack_ringbuffer_read_space(self->ring_) >= sizeof size + size) {
      jack_midi_data_t* slot = jack_midi_event_reserve(buffer, 0, size);
      if (!slot && jack_midi_get_event_count(buffer) > 0) break;
      jack_ringbuffer_read_advance(self->ring_, sizeof size);
      if (slot) {
        jack_ringbuffer_read(self->ring_, reinterpret_cast<char*>(slot), size);
      } else {
        jack_ringbuffer_read_advance(self->ring_, size);
      }
    }
    return 0;
  }

  jack_client_t* input_ = nullptr;
  jack_client_t* output_ = nullptr;
  jack_port_t* inPort_ = nullptr;
  jack_port_t* outPort_ = nullptr;
  jack_ringbuffer_t* ring_ = nullptr;
  std::mutex sendMutex_;  // one writer into the ring at a time; Send may come from any thread
  std::mutex receiveMutex_;
  MidiReceiveFn receive_;
};

}  // namespace

std::unique_ptr<MidiDeviceEnd> OpenMidiDevice(const std::string& name, MidiApi api, int* error) {
  if (api != MidiApi::kJack) return OpenRtMidiDevice(name, api, error);
  auto device = std::make_unique<JackMidiDevice>();
  const int code = device->Open(name);
  if (error) *error = code;
  if (code != kMidiOk) return nullptr;
  return device;
}

}  // namespace kestrune::sim
