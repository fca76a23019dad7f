// SPDX-License-Identifier: MIT
// The simulated unit over MIDI, spoken to message by message through the loopback MIDI system:
// the bytes of its identity reply, its packed replies to frames, its answer to the reboot
// request, and what it makes of frames that are short or damaged.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "midi_messages.h"
#include "midi_unit.h"
#include "platform/midi_loopback.h"
#include "transport/midi_transport.h"
#include "unit_core.h"

namespace kestrune::sim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Own(uint8_t type, const Bytes& data) {
  return kestrune::test::OwnMessage(type, data);
}

Bytes FrameBytes(uint8_t command, const Bytes& payload) {
  Bytes f = {0x00,
             0x06,
             command,
             0x00,
             static_cast<uint8_t>(payload.size() >> 8),
             static_cast<uint8_t>(payload.size() & 0xFF)};
  f.insert(f.end(), payload.begin(), payload.end());
  uint8_t sum = 0;
  for (uint8_t b : f) sum = static_cast<uint8_t>(sum + b);
  f.push_back(static_cast<uint8_t>(-sum));
  return f;
}

Bytes PackedFrame(const Bytes& frame) {
  return Own('T', PackSevenBit(frame.data(), frame.size()));
}

// The unit on a loopback device; the test holds the program's ports.
struct Bench {
  MidiLoopback loop;
  MidiDeviceEnd& end = loop.AddDevice("USB Audio Device");
  MidiUnit unit;
  std::unique_ptr<MidiPorts> ports = loop.MakePorts();
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Bytes> received;

  explicit Bench(MidiUnitOptions options = {}) : unit(std::move(options)) {
    EXPECT_TRUE(unit.Start(end));
    EXPECT_EQ(ports->OpenInput(0,
                               [this](const uint8_t* data, size_t length) {
                                 std::lock_guard<std::mutex> lock(mutex);
                                 received.emplace_back(data, data + length);
                                 cv.notify_all();
                               }),
              0);
    EXPECT_EQ(ports->OpenOutput(0), 0);
  }
  ~Bench() {
    ports.reset();
    unit.Stop();
  }
  void Send(const Bytes& m) { ports->SendSysEx(m.data(), m.size()); }
  // The next `count` messages from the unit; a broken unit fails the wait instead of hanging.
  std::vector<Bytes> Take(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return received.size() >= count; }));
    std::vector<Bytes> taken(received.begin(), received.begin() + static_cast<long>(std::min(count, received.size())));
    received.erase(received.begin(), received.begin() + static_cast<long>(taken.size()));
    return taken;
  }
  size_t Waiting() {
    std::lock_guard<std::mutex> lock(mutex);
    return received.size();
  }
};

// A 'U' message unpacked, without the zeros that completed its last group.
Bytes Reply(const Bytes& message) {
  EXPECT_GE(message.size(), 6u);
  EXPECT_EQ(Bytes(message.begin(), message.begin() + 5), (Bytes{0xF0, 0x7D, 0x70, 0x01, 'U'}));
  EXPECT_EQ(message.back(), 0xF7);
  Bytes out(message.size() * 7 / 8 + 7);
  out.resize(UnpackSevenBit(message.data() + 5, message.size() - 6, out.data(), out.size()));
  if (out.size() >= 6) out.resize(std::min<size_t>(out.size(), 7u + (out[4] << 8 | out[5])));
  return out;
}

TEST(MidiUnit, IdentityReplyAndRebootAnswer) {
  MidiUnitOptions options;
  options.identity.deviceId = 0x10;
  options.identity.serialNumber.reset();
  Bench b(options);
  b.Send({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
  const Bytes reply = b.Take(1).at(0);
  const std::string text = IdentityText(options.identity);
  Bytes expected = {0xF0, 0x7E, 0x10, 0x06, 0x02, 0x7D};
  expected.insert(expected.end(), text.begin(), text.end());
  expected.push_back(0xF7);
  EXPECT_EQ(reply, expected);
  EXPECT_NE(text.find("<key>TypeNumber</key><string>12</string>"), std::string::npos);
  EXPECT_NE(text.find("<key>AppName</key><string>Lumo Boot</string>"), std::string::npos);
  EXPECT_NE(text.find("<key>IdNumber</key><string>4711</string>"), std::string::npos);
  EXPECT_EQ(text.find("SerialNumber"), std::string::npos);

  b.Send(Own('V', {}));
  EXPECT_EQ(b.Take(1).at(0), Own('W', {0x00}));

  // Switched off, neither is answered: the next thing the unit sends is the reply to a frame
  // that followed them.
  b.unit.SetAnswerIdentity(false);
  b.unit.SetAnswerReboot(false);
  b.Send({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
  b.Send(Own('V', {}));
  b.Send(PackedFrame(FrameBytes(5, {})));
  for (const Bytes& m : b.Take(2)) EXPECT_EQ(m[4], 'U');
  b.loop.WaitDelivered();
  EXPECT_EQ(b.Waiting(), 0u);
  const MidiRecording r = b.unit.Snapshot();
  EXPECT_EQ(r.identityRequests, 2u);
  EXPECT_EQ(r.rebootRequests, 2u);
}

TEST(MidiUnit, FramesAndTheirTwoReplies) {
  MidiUnitOptions options;
  options.frameGapMs = 20;
  Bench b(options);
  // A Send Data frame: acknowledged and performed, both replies packed in their own message.
  const Bytes data = {1, 2, 3, 0xFF, 0x80, 0x7F, 0x00, 0x55};
  Bytes payload = {0x00, 0x0A, 0x12, 0x34, 0x00, 0x02, 0x00, 0x00, 0x00, static_cast<uint8_t>(data.size())};
  payload.insert(payload.end(), data.begin(), data.end());
  b.Send(PackedFrame(FrameBytes(2, payload)));
  std::vector<Bytes> replies = b.Take(2);
  EXPECT_EQ(Reply(replies[0]), (Bytes{0x00, 0x06, 0x02, 0x00, 0x00, 0x06, 0x00, 0x00, 0, 0, 0, 0, 0xF2}));
  EXPECT_EQ(replies[0].size(), 16u + 6);  // 13 bytes pack into 16
  EXPECT_EQ(Reply(replies[1]), Reply(replies[0]));
  MidiRecording r = b.unit.Snapshot();
  ASSERT_EQ(r.core.chunks.size(), 1u);
  EXPECT_EQ(r.core.chunks[0], (DataChunk{0x1234, 2, data}));
  EXPECT_EQ(r.frameMessages, 1u);

  // A damaged frame is refused with code 1 and nothing more.
  Bytes damaged = FrameBytes(5, {});
  damaged.back() ^= 0x01;
  b.Send(PackedFrame(damaged));
  const Bytes refused = Reply(b.Take(1).at(0));
  ASSERT_EQ(refused.size(), 13u);
  EXPECT_EQ(refused[7], 1);

  // A frame short of its announced length is refused with code 6 after the frame gap.
  Bytes cut = FrameBytes(2, payload);
  cut.resize(9);
  b.Send(PackedFrame(cut));
  const Bytes shortReply = Reply(b.Take(1).at(0));
  ASSERT_EQ(shortReply.size(), 13u);
  EXPECT_EQ(shortReply[7], 6);

  // Messages it does not know are recorded and left unanswered.
  b.Send(Own('Z', {1, 2}));
  b.Send({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});
  b.Send({0x90, 0x40, 0x7F});
  b.Send(PackedFrame(FrameBytes(5, {})));
  EXPECT_EQ(Reply(b.Take(2).at(1))[2], 5);
  r = b.unit.Snapshot();
  EXPECT_EQ(r.otherMessages, 3u);
  EXPECT_EQ(r.core.badFrames, 2u);
  EXPECT_EQ(r.core.commands, (std::vector<uint8_t>{2, 5}));
}

}  // namespace
}  // namespace kestrune::sim
