// SPDX-License-Identifier: MIT
// The MIDI transport over the loopback MIDI system, with the test playing the unit at the far
// end of the device: envelopes and packing of what is written, acceptance of what is read,
// waits that wake on arrival and end at a cancel, the texts of the MIDI failures.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "jack_server.h"
#include "midi_device.h"
#include "midi_messages.h"
#include "platform/event_pump.h"
#include "platform/midi_loopback.h"
#include "platform/profile.h"
#include "test_context.h"
#include "test_env.h"
#include "transport/midi_device_choice.h"
#include "transport/midi_transport.h"

namespace kestrune {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Own(uint8_t type, const Bytes& data) {
  return kestrune::test::OwnMessage(type, data);
}

Bytes Pattern(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// A driver on the loopback's device "USB Audio Device", opened; the far end records what the
// driver sends.
struct Link {
  test::TestContext context;
  MidiLoopback loop;
  MidiDeviceEnd& end = loop.AddDevice(kDefaultMidiDevice);
  MidiTransport driver{context.run, loop.MakePorts()};
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Bytes> sent;

  Link() {
    end.SetReceiver([this](const uint8_t* data, size_t length) {
      std::lock_guard<std::mutex> lock(mutex);
      sent.emplace_back(data, data + length);
      cv.notify_all();
    });
    EXPECT_EQ(driver.Open(), 0);
  }
  ~Link() { driver.Close(); }
  // Puts messages into the driver's queue before the Read that should find them.
  void Arrive(const std::vector<Bytes>& messages) {
    for (const Bytes& m : messages) end.Send(m.data(), m.size());
    loop.WaitDelivered();
  }
  Bytes LastSent() {
    loop.WaitDelivered();
    std::lock_guard<std::mutex> lock(mutex);
    return sent.empty() ? Bytes{} : sent.back();
  }
  size_t SentCount() {
    loop.WaitDelivered();
    std::lock_guard<std::mutex> lock(mutex);
    return sent.size();
  }
  Bytes Read(unsigned maximum, unsigned limitMs) {
    Bytes buffer(maximum + 1, 0xEE);
    const unsigned n = driver.Read(buffer.data(), maximum, limitMs);
    EXPECT_EQ(buffer[maximum], 0xEE) << "Read wrote beyond its maximum";
    buffer.resize(n);
    return buffer;
  }
};

TEST(MidiPacking, SevenBitGroups) {
  // The bit order: least significant bits first, seven to a byte.
  const struct {
    Bytes data;
    Bytes packed;
  } rows[] = {
      {{}, {}},
      {{0x80, 0, 0, 0, 0, 0, 0}, {0x00, 0x01, 0, 0, 0, 0, 0, 0}},
      {{0, 0, 0, 0, 0, 0, 0x01}, {0, 0, 0, 0, 0, 0, 0x40, 0x00}},
      {{0, 0, 0, 0, 0, 0, 0x80}, {0, 0, 0, 0, 0, 0, 0x00, 0x40}},
      {Bytes(7, 0xFF), Bytes(8, 0x7F)},
      {{0x01}, {0x01, 0, 0, 0, 0, 0, 0, 0}},
      {Bytes(8, 0xFF), {0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x01, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(PackSevenBit(row.data.data(), row.data.size()), row.packed) << ::testing::PrintToString(row.data);
  }

  // Any data comes back, followed by the zeros that completed its last group.
  for (size_t n = 0; n < 300; n += 1 + n / 7) {
    const Bytes data = Pattern(n, static_cast<uint32_t>(n));
    const Bytes packed = PackSevenBit(data.data(), data.size());
    ASSERT_EQ(packed.size(), (n + 6) / 7 * 8) << n;
    for (uint8_t b : packed) ASSERT_LT(b, 0x80) << n;
    Bytes back(packed.size(), 0xEE);
    const size_t got = UnpackSevenBit(packed.data(), packed.size(), back.data(), back.size());
    ASSERT_EQ(got, packed.size() / 8 * 7) << n;
    back.resize(got);
    ASSERT_EQ(Bytes(back.begin(), back.begin() + static_cast<long>(n)), data) << n;
    ASSERT_EQ(Bytes(back.begin() + static_cast<long>(n), back.end()), Bytes(got - n, 0)) << n;
  }
  // A short last group counts its missing bytes as zero; the output stops at the maximum.
  const Bytes packed = {0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x01};
  uint8_t out[14] = {};
  EXPECT_EQ(UnpackSevenBit(packed.data(), packed.size(), out, sizeof out), 14u);
  EXPECT_EQ(Bytes(out, out + 8), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
  EXPECT_EQ(UnpackSevenBit(packed.data(), packed.size(), out, 3), 3u);
}

TEST(MidiTransport, WritesOneMessageOfTheCurrentType) {
  Link link;
  const Bytes seven = Bytes(7, 0xFF), eight = Pattern(8, 1);
  const struct {
    const char* name;
    uint8_t type;
    Bytes data;
    int result;
    Bytes wire;
  } rows[] = {
      {"frame without data", 'T', {}, 0, {0xF0, 0x7D, 0x70, 0x01, 0x54, 0xF7}},
      {"seven bytes pack into eight", 'T', seven, 0, Own('T', Bytes(8, 0x7F))},
      {"eight bytes pack into sixteen", 'T', eight, 0, Own('T', PackSevenBit(eight.data(), 8))},
      {"identity request ignores the data", 'R', {1, 2, 3}, 0, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}},
      {"reboot request", 'V', {}, 0, {0xF0, 0x7D, 0x70, 0x01, 'V', 0xF7}},
      {"other letters carry the data as given", 'Q', {0x01, 0x7F}, 0, Own('Q', {0x01, 0x7F})},
  };
  for (const auto& row : rows) {
    link.driver.messageType = row.type;
    EXPECT_EQ(link.driver.Write(row.data.data(), static_cast<unsigned>(row.data.size())), row.result) << row.name;
    EXPECT_EQ(link.LastSent(), row.wire) << row.name;
  }
  EXPECT_EQ(Own('T', Bytes(8, 0x7F)).size(), 14u);
  EXPECT_EQ(Own('T', PackSevenBit(eight.data(), 8)).size(), 22u);

  // A byte with its top bit set would end the SysEx message early: refused, nothing sent.
  const size_t before = link.SentCount();
  link.driver.messageType = 'V';
  const Bytes bad = {0x01, 0x80};
  EXPECT_EQ(link.driver.Write(bad.data(), 2), 11);
  EXPECT_EQ(link.SentCount(), before);

  // Without an open output there is no handle to send on.
  link.driver.Close();
  EXPECT_EQ(link.driver.Write(seven.data(), 7), 5);
}

TEST(MidiTransport, ReadTakesOneAcceptedMessage) {
  Link link;
  // The unit packs a 13-byte reply into 16 bytes, which unpack into 14.
  const Bytes reply = {0x00, 0x06, 0x02, 0x00, 0x00, 0x06, 0x00, 0x00, 0, 0, 0, 0, 0xF2};
  const Bytes packedReply = Own('U', PackSevenBit(reply.data(), reply.size()));
  ASSERT_EQ(packedReply.size(), 16u + 6);
  link.Arrive({packedReply, packedReply});
  EXPECT_EQ(link.Read(13, 1000), reply);
  EXPECT_EQ(link.driver.receivedType, 'U');
  Bytes whole = reply;
  whole.push_back(0);
  EXPECT_EQ(link.Read(141, 1000), whole);

  // Data that is not packed is copied, cut at the maximum.
  const Bytes data = Pattern(100, 7);
  Bytes sevenBit = data;
  for (auto& b : sevenBit) b &= 0x7F;
  link.Arrive({Own('X', sevenBit)});
  EXPECT_EQ(link.Read(10, 1000), Bytes(sevenBit.begin(), sevenBit.begin() + 10));
  EXPECT_EQ(link.driver.receivedType, 'X');

  // The manufacturer's identity reply delivers its text, with received type 2.
  const std::string text = "<key>AppName</key><string>Boot</string>";
  Bytes identity = {0xF0, 0x7E, 0x10, 0x06, 0x02, 0x7D};
  identity.insert(identity.end(), text.begin(), text.end());
  identity.push_back(0xF7);
  link.Arrive({identity});
  const Bytes got = link.Read(2048, 1000);
  EXPECT_EQ(std::string(got.begin(), got.end()), text);
  EXPECT_EQ(link.driver.receivedType, 2);

  // The one-byte answer to the reboot request.
  link.Arrive({Own('W', {0x00})});
  EXPECT_EQ(link.Read(64, 1000).size(), 1u);
  EXPECT_EQ(link.driver.receivedType, 'W');
}

TEST(MidiTransport, ReadPassesOverWhatItDoesNotAccept) {
  Link link;
  // A note, raw bytes that are no message start, another maker's identity reply and a
  // Universal message of another kind: none of them ends the Read, which takes the 'W'.
  const Bytes foreignIdentity = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x41, 0x12, 0x34, 0xF7};
  const Bytes otherUniversal = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
  link.Arrive({{0x90, 0x40, 0x7F}, {0x12, 0x34, 0x56, 0xF7}, foreignIdentity, otherUniversal, Own('W', {0x05})});
  EXPECT_EQ(link.Read(64, 5000), Bytes{0x05});
  EXPECT_EQ(link.driver.receivedType, 'W');

  // Another maker's identity reply alone: given back, the wait runs out, but its type counts.
  link.driver.receivedType = 'Q';
  link.Arrive({foreignIdentity});
  EXPECT_TRUE(link.Read(2048, 50).empty());
  EXPECT_EQ(link.driver.receivedType, 2);
  // Another Universal message leaves the received type alone.
  link.driver.receivedType = 'Q';
  link.Arrive({otherUniversal, {0xF0, 0x7E, 0x7F}});
  EXPECT_TRUE(link.Read(2048, 50).empty());
  EXPECT_EQ(link.driver.receivedType, 'Q');

  // A message longer than one 2048-byte block: its first block is delivered (less its last
  // byte, taken for the F7), the rest of it is let go, even where it reads like a message of
  // the unit's own (F0 at byte 2048 followed by a 'W' reply).
  Bytes longData(3000);
  for (size_t i = 0; i < longData.size(); ++i) longData[i] = static_cast<uint8_t>(i & 0x7F);
  const uint8_t inner[] = {0xF0, 0x7D, 0x70, 0x01, 'W', 0x09, 0xF7};
  std::copy(std::begin(inner), std::end(inner), longData.begin() + (2048 - 5));
  link.Arrive({Own('X', longData), Own('W', {0x01})});
  EXPECT_EQ(link.Read(4096, 1000), Bytes(longData.begin(), longData.begin() + 2048 - 6));
  EXPECT_EQ(link.Read(4096, 1000), Bytes{0x01});

  // A time limit of 0 takes nothing, even with a message waiting.
  link.Arrive({Own('W', {0x02})});
  EXPECT_TRUE(link.Read(64, 0).empty());
  EXPECT_EQ(link.Read(64, 1000), Bytes{0x02});
}

TEST(MidiTransport, WaitsWakeOnArrivalAndEndAtACancel) {
  Link link;
  // A message that arrives during the wait ends it.
  std::thread unit([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const Bytes m = Own('W', {0x03});
    link.end.Send(m.data(), m.size());
  });
  EXPECT_EQ(link.Read(64, 30000), Bytes{0x03});
  unit.join();

  // The Stop button's handler runs inside the wait and clears receiveActive: the Read ends
  // at once with nothing, long before its limit.
  link.context.headlessPump.Post([&] { link.driver.receiveActive = 0; });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(link.Read(64, 60000).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(link.driver.receiveActive.load(), 0);
}

TEST(MidiTransport, OpenAndClose) {
  test::TestContext context;
  {  // no MIDI system at all
    MidiLoopback loop;
    loop.AddDevice(kDefaultMidiDevice);
    loop.SetReachable(false);
    MidiTransport driver(context.run, loop.MakePorts());
    EXPECT_EQ(driver.Open(), 6);
    EXPECT_EQ(driver.ErrorText(6), "no device driver present");
    EXPECT_EQ(driver.Close(), 0);
  }
  {  // a MIDI system without devices: no device of that number; each Open asks the system
     // afresh, so the interface plugged in meanwhile is found
    MidiLoopback loop;
    int made = 0;
    context.run.midiPorts = [&] {
      ++made;
      return loop.MakePorts();
    };
    MidiTransport driver(context.run);
    EXPECT_EQ(driver.Open(), 2);
    loop.AddDevice(kDefaultMidiDevice);
    EXPECT_EQ(driver.Open(), 0);
    EXPECT_EQ(made, 2);
    driver.Close();
    context.run.midiPorts = {};
  }
  {  // the ports of the installed system, opened afresh at each Open; a message received
     // before Close is gone after it
    MidiLoopback loop;
    MidiDeviceEnd& end = loop.AddDevice(kDefaultMidiDevice);
    context.run.midiPorts = loop.PortsFactory();
    MidiTransport driver(context.run);
    ASSERT_EQ(driver.Open(), 0);
    const Bytes m = Own('W', {0x04});
    end.Send(m.data(), m.size());
    loop.WaitDelivered();
    EXPECT_EQ(driver.Close(), 0);
    ASSERT_EQ(driver.Open(), 0);
    ASSERT_EQ(driver.Open(), 0);  // an open driver closes first
    uint8_t buffer[64];
    EXPECT_EQ(driver.Read(buffer, sizeof buffer, 50), 0u);
    end.Send(m.data(), m.size());
    EXPECT_EQ(driver.Read(buffer, sizeof buffer, 5000), 1u);
    // Without an open input a Read ends at once.
    driver.Close();
    EXPECT_EQ(driver.Read(buffer, sizeof buffer, 60000), 0u);
    context.run.midiPorts = {};
  }
}

TEST(MidiTransport, AFloodIsBounded) {
  Link link;
  std::vector<Bytes> flood;
  for (int i = 0; i < 70; ++i) flood.push_back(Own('W', {static_cast<uint8_t>(i)}));
  link.Arrive(flood);
  EXPECT_EQ(link.driver.DroppedBlocks(), 70u - MidiTransport::kMaxQueuedBlocks);
  EXPECT_EQ(link.Read(64, 1000), Bytes{0x00});  // the oldest comes first
}

TEST(MidiTransport, Texts) {
  test::TestContext context;
  MidiLoopback loop;
  MidiTransport driver(context.run, loop.MakePorts());
  const struct {
    int code;
    const char* text;
  } rows[] = {
      {0, "no error"},
      {1, "unspecified error"},
      {2, "device ID out of range"},
      {4, "device already allocated"},
      {6, "no device driver present"},
      {7, "memory allocation error"},
      {12, "handle being used simultaneously on another thread (eg callback)"},
      {20, "driver does not call DriverCallback"},
      {21, "last error in range"},
      {22, "Can't Explain"},
      {100, "Comms timeout"},
      {101, "Comms Problem"},
      {102, "Comms Disconnect"},
      {-1, "Can't Explain"},
  };
  for (const auto& row : rows) EXPECT_EQ(driver.ErrorText(row.code), row.text) << row.code;
  EXPECT_EQ(driver.IsMidi(), 1);
}

}  // namespace
}  // namespace kestrune

namespace kestrune {
namespace {

// Over a real MIDI system (a private JACK server), with the port slots of a client that came
// and went free below the devices: romsend opens the devices the profile names, each looked up
// by name as it is opened, and never takes one of its own ports for a device.
TEST(MidiTransportOnJack, OpensTheNamedDevices) {
  if (!sim::JackServer::Installed()) GTEST_SKIP() << "jackd is not installed";
  sim::JackServer server;
  std::string why;
  ASSERT_TRUE(server.Start(&why)) << why;
  test::ScopedEnv jack("JACK_DEFAULT_SERVER", server.Name().c_str());
  test::ScopedEnv api("KESTRUNE_MIDI_API", "jack");
  test::TestContext context;
  const struct {
    const char* name;
    bool otherDevice;
  } rows[] = {{"beside another device", true}, {"the only device", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // Declared before the devices, whose receivers count into them until they are closed.
    std::atomic<int> atUnit{0}, atOther{0};
    std::unique_ptr<MidiDeviceEnd> early = sim::OpenMidiDevice("Early Client", MidiApi::kJack);
    ASSERT_TRUE(early);
    std::unique_ptr<MidiDeviceEnd> unit = sim::OpenMidiDevice(kDefaultMidiDevice, MidiApi::kJack);
    ASSERT_TRUE(unit);
    std::unique_ptr<MidiDeviceEnd> other;
    if (row.otherDevice) {
      other = sim::OpenMidiDevice("Other Synth", MidiApi::kJack);
      ASSERT_TRUE(other);
    }
    unit->SetReceiver([&](const uint8_t*, size_t) { ++atUnit; });
    if (other) other->SetReceiver([&](const uint8_t*, size_t) { ++atOther; });
    early.reset();  // its port slots are free now

    context.profile.WriteString(kMidiSection, kMidiInEntry, kDefaultMidiDevice);
    context.profile.WriteString(kMidiSection, kMidiOutEntry, kDefaultMidiDevice);
    MidiTransport driver(context.run);
    ASSERT_EQ(driver.Open(), 0);
    const uint8_t frame[] = {0x01, 0x02, 0x03};
    // A connection JACK makes at Open takes effect in a later process cycle; a message sent in
    // the cycle before (a client slowed by a sanitizer) reaches no one. So the frame goes again
    // until one arrives: what counts is where it arrives, never at another device.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int sent = 0;
    while (atUnit == 0 && std::chrono::steady_clock::now() < until) {
      ASSERT_EQ(driver.Write(frame, sizeof frame), 0);
      ++sent;
      for (int i = 0; i < 100 && atUnit == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(atUnit, 1);
    EXPECT_LE(atUnit, sent);
    EXPECT_EQ(atOther, 0);
    // What the unit sends reaches romsend.
    const Bytes reply = Own('W', {0x04});
    ASSERT_EQ(unit->Send(reply.data(), reply.size()), 0);
    uint8_t buffer[64];
    EXPECT_EQ(driver.Read(buffer, sizeof buffer, 5000), 1u);
    driver.Close();
  }
}

}  // namespace
}  // namespace kestrune
