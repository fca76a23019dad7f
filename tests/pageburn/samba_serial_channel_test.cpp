// SPDX-License-Identifier: MIT
// The SAM-BA byte device over a real pseudo-terminal: open rules, the receive buffer shared
// with the reader thread, its bound, and writes after the far end hung up.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "pageburn/samba_io_device.h"
#include "pageburn/samba_monitor.h"
#include "pty_pair.h"
#include "serial/port_lock.h"
#include "test_env.h"

namespace kestrune {
namespace {

// Reads what the device wrote to the master side, up to `n` bytes or 2 s.
std::string MasterRead(const test::PtyPair& pty, size_t n) {
  std::string got;
  test::WaitFor(
      [&] {
        char buf[256];
        const ssize_t r = ::read(pty.master, buf, sizeof buf);
        if (r > 0) got.append(buf, static_cast<size_t>(r));
        return got.size() >= n;
      },
      2000);
  return got;
}

TEST(SambaSerialChannel, OpensOncePortsThatExistAndKeepsTheFirst) {
  SambaSerialChannel device;
  EXPECT_EQ(device.get_error(), SambaSerialChannel::kErrorNone);
  EXPECT_FALSE(device.has_port());
  EXPECT_TRUE(device.write("V#"));  // nothing to write to
  EXPECT_TRUE(device.open(test::TestRoot() + "/no-such-port", 0));
  EXPECT_FALSE(device.has_port());

  test::PtyPair first, second;
  ASSERT_FALSE(device.open(first.name, 0));
  EXPECT_TRUE(device.open(second.name, 0));
  EXPECT_EQ(device.get_error(), SambaSerialChannel::kErrorAlreadyOpen);
  // The first port is still the one in use.
  EXPECT_FALSE(device.write("V#"));
  EXPECT_EQ(MasterRead(first, 2), "V#");
  ASSERT_TRUE(first.WriteMaster("\n\r>"));
  ASSERT_FALSE(device.wait_data());
  std::string got;
  test::WaitFor([&] {
    device.read(got);
    return got.size() >= 3;
  });
  EXPECT_EQ(got, "\n\r>");
  EXPECT_EQ(device.total_received(), 3);
  // The unnamed slots do nothing.
  EXPECT_FALSE(device.reserved_2(1));
  EXPECT_FALSE(device.reserved_3(1));
  EXPECT_FALSE(device.reserved_6());
  EXPECT_EQ(device.reserved_8(1), 0);
}

TEST(SambaSerialChannel, WaitReportsArrivalsAndTimesOutOnSilence) {
  test::PtyPair pty;
  SambaSerialChannel device;
  ASSERT_FALSE(device.open(pty.name, 0));
  EXPECT_TRUE(device.wait_data());  // nothing comes
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty.WriteMaster("abc");
  });
  EXPECT_FALSE(device.wait_data());
  peer.join();
  std::string got = "x";
  test::WaitFor([&] {
    device.read(got);
    return got.size() >= 4;
  });
  EXPECT_EQ(got, "xabc");
  // Read emptied the buffer: the next wait has nothing until more comes.
  EXPECT_TRUE(device.wait_data());
}

TEST(SambaSerialChannel, ReceiveBufferIsBoundedAndCountsWhatItDrops) {
  SambaSerialChannel device;
  const std::string chunk(1000, 'g');
  for (int i = 0; i < 70; ++i) device.store(reinterpret_cast<const uint8_t*>(chunk.data()), 1000);
  EXPECT_EQ(device.total_received(), 70000);
  EXPECT_EQ(device.dropped(), 70000u - SambaSerialChannel::kMaxPending);
  std::string got;
  device.read(got);
  EXPECT_EQ(got.size(), SambaSerialChannel::kMaxPending);
  // Room again once read.
  device.store(reinterpret_cast<const uint8_t*>("ok"), 2);
  got.clear();
  device.read(got);
  EXPECT_EQ(got, "ok");
}

TEST(SambaSerialChannel, ReaderAndMainThreadShareTheBufferWithoutLoss) {
  SambaSerialChannel device;
  constexpr int kChunks = 20000;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int i = 0; i < kChunks; ++i) {
      const uint8_t byte = static_cast<uint8_t>(i);
      SambaSerialChannel::receive(&byte, 1, &device);
    }
    done = true;
  });
  std::string got;
  while (!done || !device.wait_data()) device.read(got);
  device.read(got);
  producer.join();
  ASSERT_EQ(got.size(), static_cast<size_t>(kChunks));
  for (int i = 0; i < kChunks; ++i) ASSERT_EQ(static_cast<uint8_t>(got[i]), static_cast<uint8_t>(i)) << i;
}

TEST(SambaSerialChannel, WritesFailOnceTheFarEndHungUp) {
  test::PtyPair pty;
  SambaSerialChannel device;
  ASSERT_FALSE(device.open(pty.name, 0));
  EXPECT_FALSE(device.write("V#"));
  EXPECT_EQ(MasterRead(pty, 2), "V#");
  pty.CloseMaster();
  close(pty.slave);  // the test's own slave descriptor would keep the line up
  pty.slave = -1;
  EXPECT_TRUE(test::WaitFor([&] { return device.write("V#"); }));
  EXPECT_EQ(device.get_error(), SambaSerialChannel::kErrorWriteFailed);
  // A monitor over it gives up at once on every attempt.
  samba_monitor_t monitor(&device);
  std::string version;
  EXPECT_TRUE(monitor.samba_get_version(version));
  EXPECT_EQ(monitor.retry_count(), 2);
}

TEST(SambaSerialChannel, TransfersDoNotWaitForThePortLockInPageburnsScope) {
  SetPortLockScope(PortLockScope::kConfigAndClose);
  test::PtyPair pty;
  auto device = std::make_unique<SambaSerialChannel>();
  ASSERT_FALSE(device->open(pty.name, 0));
  // Another holder keeps the lock for the whole exchange; a transfer under the lock would wait
  // for it longer than the reply's 200 ms.
  PortLock other;
  ASSERT_EQ(other.Acquire(), PortLock::Wait::kLocked);
  std::thread peer([&] {
    if (MasterRead(pty, 2) == "V#") pty.WriteMaster("\n\rv1.4\n\r>");
  });
  samba_monitor_t monitor(device.get());
  std::string version;
  EXPECT_FALSE(monitor.samba_get_version(version));
  EXPECT_EQ(version, "v1.4");
  EXPECT_EQ(monitor.retry_count(), 0);
  peer.join();
  other.Release();
  device.reset();  // close takes the lock: after the release
  SetPortLockScope(PortLockScope::kAllPortAccess);
}

}  // namespace
}  // namespace kestrune
