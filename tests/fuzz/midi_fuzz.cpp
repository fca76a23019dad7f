// SPDX-License-Identifier: MIT
// Fuzzes the MIDI transport's receive side and its 7-in-8 packing. The input is a list of
// received messages (each a 2-byte little-endian length, capped, and its bytes) after two
// control bytes: the Read maximum and a message type for one Write. The messages go through the
// driver's input callback into its queue and are read back with Read; an independent model of
// the acceptance table says which ones a Read must deliver, with which received type and which
// bytes (the unit's 'U' messages unpacked by the written formula). It also checks that packing
// round-trips, that packed bytes are 7-bit, that Read never writes past its maximum, and that
// Write sends exactly the message its type calls for.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "../support/midi_messages.h"
#include "platform/event_pump.h"
#include "platform/midi_loopback.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "platform/run_context.h"
#include "transport/midi_transport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kestrune::MidiTransport;

constexpr size_t kLongestMessage = 5000;

struct Expected {
  uint8_t type;
  Bytes data;
};

// Unpacking as written down for the unit's packed replies: each group of 8 received bytes
// t0..t7 gives dk = ((tk >> k) + (t(k+1) << (7 - k))) & 0xFF for k = 0..6.
Bytes ModelUnpack(const uint8_t* t, size_t length, size_t maximum) {
  Bytes out;
  for (size_t g = 0; g * 8 < length && out.size() < maximum; ++g) {
    auto at = [&](size_t k) -> unsigned { return g * 8 + k < length ? t[g * 8 + k] : 0u; };
    for (unsigned k = 0; k < 7 && out.size() < maximum; ++k) {
      out.push_back(static_cast<uint8_t>(((at(k) >> k) + (at(k + 1) << (7 - k))) & 0xFF));
    }
  }
  return out;
}

// What Read must make of one received message, if anything.
bool ModelAccept(const Bytes& message, size_t maximum, Expected& e) {
  const size_t s = std::min(message.size(), MidiTransport::kBlockSize);
  const uint8_t* b = message.data();
  if (s < 2 || b[0] != 0xF0) return false;
  if (b[1] == 0x7E) {
    if (s < 6 || b[3] != 0x06 || b[4] != 0x02 || b[5] != 0x7D) return false;
    e.type = b[4];
    e.data.assign(b + std::min<size_t>(6, s), b + std::max<size_t>(s, 7) - 1);
    if (e.data.size() > maximum) e.data.resize(maximum);
    return true;
  }
  if (s < 5) return false;
  e.type = b[4];
  const size_t body = s > 6 ? s - 6 : 0;
  if (e.type == 'U') {
    e.data = ModelUnpack(b + 5, body, maximum);
  } else {
    e.data.assign(b + 5, b + 5 + std::min(body, maximum));
  }
  return true;
}

// One driver on the loopback's default device for the whole run; the far end records what the
// driver sends.
struct Link {
  kestrune::ConsoleRunContext context{kestrune::ProgramPath(), kestrune::ProgramProfilePath(kestrune::ProgramPath())};
  kestrune::MidiLoopback loop;
  kestrune::MidiDeviceEnd& end = loop.AddDevice("USB Audio Device");
  MidiTransport driver{context.run, loop.MakePorts()};
  std::mutex mutex;
  Bytes lastSent;

  Link() {
    end.SetReceiver([this](const uint8_t* data, size_t length) {
      std::lock_guard<std::mutex> lock(mutex);
      lastSent.assign(data, data + length);
    });
    if (driver.Open() != 0) std::abort();
  }
};

Link& TheLink() {
  static Link* link = new Link;  // lives for the whole run
  return *link;
}

void CheckPacking(const uint8_t* data, size_t size) {
  const Bytes packed = kestrune::PackSevenBit(data, size);
  if (packed.size() != 8 * ((size + 6) / 7)) std::abort();
  for (uint8_t b : packed) {
    if (b > 0x7F) std::abort();
  }
  Bytes back(size + 16, 0xEE);
  if (kestrune::UnpackSevenBit(packed.data(), packed.size(), back.data(), size) != size) std::abort();
  if (!std::equal(data, data + size, back.begin())) std::abort();
  if (back[size] != 0xEE) std::abort();
  // Any bytes at all unpack as the formula says.
  const size_t maximum = size / 2;
  Bytes any(maximum + 1, 0xEE);
  const size_t n = kestrune::UnpackSevenBit(data, size, any.data(), maximum);
  const Bytes model = ModelUnpack(data, size, maximum);
  if (n != model.size() || !std::equal(model.begin(), model.end(), any.begin()) || any[maximum] != 0xEE) std::abort();
}

void CheckWrite(Link& link, uint8_t type, const uint8_t* data, size_t size) {
  size = std::min<size_t>(size, 600);
  link.driver.messageType = type;
  const int result = link.driver.Write(data, static_cast<unsigned>(size));
  Bytes want;
  if (type == 'R') {
    want = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
  } else {
    Bytes body(data, data + size);
    if (type == 'T') {
      body = kestrune::PackSevenBit(data, size);
    } else if (std::any_of(body.begin(), body.end(), [](uint8_t b) { return b > 0x7F; })) {
      if (result != 11) std::abort();
      return;
    }
    want = kestrune::test::OwnMessage(type, body);
  }
  if (result != 0) std::abort();
  link.loop.WaitDelivered();
  std::lock_guard<std::mutex> lock(link.mutex);
  if (link.lastSent != want) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckPacking(data, size);
  if (size < 2) return 0;
  static const unsigned kMaxima[] = {1, 7, 8, 13, 64, 141, 2048, 4096};
  const unsigned maximum = kMaxima[data[0] % 8];
  Link& link = TheLink();
  CheckWrite(link, static_cast<uint8_t>(data[1] & 0x7F), data + 2, size - 2);

  // The messages, handed to the driver as its input callback would.
  std::vector<Bytes> messages;
  for (size_t at = 2; at + 2 <= size;) {
    const size_t n =
        std::min<size_t>({static_cast<size_t>(data[at] | data[at + 1] << 8), kLongestMessage, size - at - 2});
    messages.emplace_back(data + at + 2, data + at + 2 + n);
    at += 2 + n;
  }
  std::vector<Expected> expected;
  size_t kept = 0;
  for (const Bytes& m : messages) {
    link.driver.Receive(m.data(), m.size());
    if (m.empty() || (m[0] != 0xF0 && m[0] >= 0x80)) continue;  // not for the driver
    if (kept++ >= MidiTransport::kMaxQueuedBlocks) continue;    // the queue was full
    Expected e;
    if (ModelAccept(m, maximum, e)) expected.push_back(std::move(e));
  }

  Bytes buffer(maximum + 1);
  for (const Expected& e : expected) {
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    link.driver.messageType = 0;
    const unsigned n = link.driver.Read(buffer.data(), maximum, 1000);
    if (n != e.data.size() || !std::equal(e.data.begin(), e.data.end(), buffer.begin())) std::abort();
    if (link.driver.receivedType != e.type) std::abort();
    if (buffer[maximum] != 0xEE) std::abort();
  }
  // What is left is nothing a Read would take; closing empties the queue for the next input.
  link.driver.Close();
  if (link.driver.Open() != 0) std::abort();
  return 0;
}
