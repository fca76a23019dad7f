// SPDX-License-Identifier: MIT
// MIDI ports: device names, the loopback system's opens and deliveries, and RtMidi on a real
// ALSA sequencer or a private JACK server when the machine has one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "jack_server.h"
#include "midi_device.h"
#include "platform/midi_loopback.h"
#include "platform/midi_ports.h"
#include "platform/profile.h"
#include "test_context.h"
#include "test_env.h"

namespace kestrune {
namespace {

using Bytes = std::vector<uint8_t>;

// Messages one receiver got, with the thread they came on; waits for them without spinning.
struct Inbox {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Bytes> messages;
  std::thread::id thread;

  MidiReceiveFn Receiver() {
    return [this](const uint8_t* data, size_t length) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        messages.emplace_back(data, data + length);
        thread = std::this_thread::get_id();
      }
      cv.notify_all();
    };
  }
  // Waits until `count` messages are in; a generous bound only keeps a broken system from
  // hanging the test.
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(20), [&] { return messages.size() >= count; });
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return messages.size();
  }
};

Bytes SysEx(size_t dataBytes, uint8_t seed) {
  Bytes m = {0xF0, 0x7D, 0x70, 0x01, 'T'};
  for (size_t i = 0; i < dataBytes; ++i) m.push_back(static_cast<uint8_t>((seed + i * 7) & 0x7F));
  m.push_back(0xF7);
  return m;
}

int IndexOf(const std::vector<std::string>& names, const std::string& name) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) return static_cast<int>(i);
  }
  return -1;
}

TEST(MidiDeviceName, DropsWhatAlsaAndJackAdd) {
  const struct {
    const char* port;
    bool alsa;
    const char* name;
  } rows[] = {
      {"USB Audio Device:USB Audio Device MIDI 1 20:0", true, "USB Audio Device"},
      {"E-MU XMidi2X2:E-MU XMidi2X2 MIDI 2 24:1", true, "E-MU XMidi2X2 MIDI 2"},
      {"Midi Through:Midi Through Port-0 14:0", true, "Midi Through Port-0"},
      {"USB Audio Device:USB Audio Device 130:0", true, "USB Audio Device"},
      {"Interface 20:0", true, "Interface"},
      {"Client:Port 2x:0", true, "Port 2x:0"},
      {"kestrune-unit:USB Audio Device", false, "USB Audio Device"},
      {"system:midi_capture_1", false, "midi_capture_1"},
      {"a2j:Port 20:0", false, "Port 20:0"},
      {"USB Audio Device", false, "USB Audio Device"},
      {"Client:", false, "Client:"},
  };
  for (const auto& row : rows) EXPECT_EQ(MidiDeviceName(row.port, row.alsa), row.name) << row.port;
}

TEST(MidiApiChoice, EnvironmentBeforeProfile) {
  test::TempDir dir;
  Profile profile(dir / "p.ini");
  profile.WriteString("MIDI", "Api", "Alsa");
  {
    test::ScopedEnv env("KESTRUNE_MIDI_API", "JACK");
    EXPECT_EQ(ConfiguredMidiApi(profile), MidiApi::kJack);
  }
  {
    test::ScopedEnv env("KESTRUNE_MIDI_API", nullptr);
    EXPECT_EQ(ConfiguredMidiApi(profile), MidiApi::kAlsa);
    profile.WriteString("MIDI", "Api", "coremidi");
    EXPECT_EQ(ConfiguredMidiApi(profile), MidiApi::kAuto);
  }
}

TEST(MidiLoopback, ListsAndOpens) {
  MidiLoopback loop;
  loop.AddDevice("A");
  loop.AddDevice("B", false, true);
  loop.AddDevice("C", true, false);
  auto first = loop.MakePorts();
  auto second = loop.MakePorts();
  EXPECT_EQ(first->InputNames(), (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(first->OutputNames(), (std::vector<std::string>{"A", "B"}));

  EXPECT_EQ(first->OpenInput(-1, {}), kMidiBadDeviceId);
  EXPECT_EQ(first->OpenInput(2, {}), kMidiBadDeviceId);
  EXPECT_EQ(first->OpenInput(1, {}), kMidiOk);
  EXPECT_EQ(first->OpenInput(0, {}), kMidiAllocated);   // this ports object holds an input
  EXPECT_EQ(second->OpenInput(1, {}), kMidiAllocated);  // another one holds C
  EXPECT_EQ(second->OpenInput(0, {}), kMidiOk);
  const uint8_t m[] = {0xF0, 0xF7};
  EXPECT_EQ(first->SendSysEx(m, sizeof m), kMidiInvalidHandle);
  EXPECT_EQ(first->OpenOutput(1), kMidiOk);
  EXPECT_EQ(first->SendSysEx(m, sizeof m), kMidiOk);
  EXPECT_EQ(first->CloseInput(), kMidiOk);
  EXPECT_EQ(second->OpenOutput(1), kMidiAllocated);
  first.reset();  // closes what it held
  EXPECT_EQ(second->OpenOutput(1), kMidiOk);

  loop.SetReachable(false);
  auto third = loop.MakePorts();
  EXPECT_TRUE(third->InputNames().empty());
  EXPECT_TRUE(third->OutputNames().empty());
  EXPECT_EQ(third->OpenInput(0, {}), kMidiNoDriver);
  EXPECT_EQ(third->OpenOutput(0), kMidiNoDriver);
}

TEST(MidiLoopback, DeliversOnItsOwnThreadUntilClosed) {
  MidiLoopback loop;
  MidiDeviceEnd& end = loop.AddDevice("USB Audio Device");
  Inbox atEnd, atHost;
  end.SetReceiver(atEnd.Receiver());
  auto ports = loop.MakePorts();
  ASSERT_EQ(ports->OpenInput(0, atHost.Receiver()), kMidiOk);
  ASSERT_EQ(ports->OpenOutput(0), kMidiOk);

  const Bytes out = SysEx(100, 1), in = SysEx(3000, 2);
  ASSERT_EQ(ports->SendSysEx(out.data(), out.size()), kMidiOk);
  ASSERT_EQ(end.Send(in.data(), in.size()), kMidiOk);
  ASSERT_TRUE(atEnd.WaitFor(1));
  ASSERT_TRUE(atHost.WaitFor(1));
  EXPECT_EQ(atEnd.messages[0], out);
  EXPECT_EQ(atHost.messages[0], in);
  EXPECT_NE(atHost.thread, std::this_thread::get_id());

  // After CloseInput nothing reaches the old receiver.
  ASSERT_EQ(ports->CloseInput(), kMidiOk);
  end.Send(in.data(), in.size());
  loop.WaitDelivered();
  EXPECT_EQ(atHost.Count(), 1u);

  // A pulled device leaves the lists and its messages go nowhere.
  loop.RemoveDevice("USB Audio Device");
  EXPECT_TRUE(ports->InputNames().empty());
  ports->SendSysEx(out.data(), out.size());
  loop.WaitDelivered();
  EXPECT_EQ(atEnd.Count(), 1u);
}

TEST(MidiLoopback, InstalledAsTheSystem) {
  MidiLoopback loop;
  loop.AddDevice("Loop Device");
  test::TestContext context;
  context.run.midiPorts = loop.PortsFactory();
  EXPECT_EQ(context.run.MakeMidiPorts()->InputNames(), (std::vector<std::string>{"Loop Device"}));
}

// Both directions through RtMidi between a device made of virtual ports and a client that
// opens it by its listed name: big SysEx messages arrive whole, short messages come through.
void RoundTrip(MidiApi api, const std::string& name) {
  int error = -1;
  std::unique_ptr<MidiDeviceEnd> device = sim::OpenMidiDevice(name, api, &error);
  ASSERT_TRUE(device) << "error " << error;
  EXPECT_EQ(error, kMidiOk);
  Inbox atDevice, atHost;
  device->SetReceiver(atDevice.Receiver());

  std::unique_ptr<MidiPorts> ports = MakeRtMidiPorts(api);
  const std::vector<std::string> inputs = ports->InputNames(), outputs = ports->OutputNames();
  const int in = IndexOf(inputs, name), out = IndexOf(outputs, name);
  ASSERT_GE(in, 0) << ::testing::PrintToString(inputs);
  ASSERT_GE(out, 0) << ::testing::PrintToString(outputs);
  EXPECT_EQ(ports->OpenInput(static_cast<int>(inputs.size()), {}), kMidiBadDeviceId);
  ASSERT_EQ(ports->OpenInput(in, atHost.Receiver()), kMidiOk);
  EXPECT_EQ(ports->OpenInput(in, atHost.Receiver()), kMidiAllocated);
  ASSERT_EQ(ports->OpenOutput(out), kMidiOk);

  const Bytes request = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
  const Bytes frame = SysEx(1800, 3);
  ASSERT_EQ(ports->SendSysEx(request.data(), request.size()), kMidiOk);
  ASSERT_EQ(ports->SendSysEx(frame.data(), frame.size()), kMidiOk);
  ASSERT_TRUE(atDevice.WaitFor(2));
  EXPECT_EQ(atDevice.messages[0], request);
  EXPECT_EQ(atDevice.messages[1], frame);

  const Bytes note = {0x90, 0x40, 0x7F};
  const Bytes reply = SysEx(2500, 4);
  ASSERT_EQ(device->Send(note.data(), note.size()), kMidiOk);
  ASSERT_EQ(device->Send(reply.data(), reply.size()), kMidiOk);
  ASSERT_TRUE(atHost.WaitFor(2));
  EXPECT_EQ(atHost.messages[0], note);
  EXPECT_EQ(atHost.messages[1], reply);
  EXPECT_NE(atHost.thread, std::this_thread::get_id());
  EXPECT_EQ(ports->CloseInput(), kMidiOk);
  EXPECT_EQ(ports->CloseOutput(), kMidiOk);
  EXPECT_EQ(ports->SendSysEx(frame.data(), frame.size()), kMidiInvalidHandle);
}

TEST(RtMidiPorts, AlsaSequencer) {
  if (access("/dev/snd/seq", R_OK | W_OK) != 0) GTEST_SKIP() << "no ALSA sequencer (/dev/snd/seq)";
  // A name of its own, so that parallel tests and real interfaces do not meet.
  RoundTrip(MidiApi::kAlsa, "Kestrune Test " + std::to_string(getpid()));
}

TEST(RtMidiPorts, JackServer) {
  if (!sim::JackServer::Installed()) GTEST_SKIP() << "jackd is not installed";
  sim::JackServer server;
  std::string why;
  ASSERT_TRUE(server.Start(&why)) << why;
  test::ScopedEnv env("JACK_DEFAULT_SERVER", server.Name().c_str());
  RoundTrip(MidiApi::kJack, "USB Audio Device");
}

TEST(RtMidiPorts, NoMidiSystem) {
  // A JACK server name that nobody runs; ALSA counts only where the machine has no sequencer.
  const std::string none = "kestrune-none-" + std::to_string(getpid());
  test::ScopedEnv env("JACK_DEFAULT_SERVER", none.c_str());
  std::vector<MidiApi> apis = {MidiApi::kJack};
  if (access("/dev/snd/seq", F_OK) != 0) apis.push_back(MidiApi::kAuto), apis.push_back(MidiApi::kAlsa);
  for (MidiApi api : apis) {
    std::unique_ptr<MidiPorts> ports = MakeRtMidiPorts(api);
    EXPECT_TRUE(ports->InputNames().empty());
    EXPECT_TRUE(ports->OutputNames().empty());
    EXPECT_EQ(ports->OpenInput(0, {}), kMidiNoDriver);
    EXPECT_EQ(ports->OpenOutput(0), kMidiNoDriver);
    int error = 0;
    EXPECT_FALSE(sim::OpenMidiDevice("USB Audio Device", api, &error));
    EXPECT_EQ(error, kMidiNoDriver);
  }
}

}  // namespace
}  // namespace kestrune
