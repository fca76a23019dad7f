// SPDX-License-Identifier: MIT
// The SAM-BA byte device over a real pseudo-terminal: open rules, the receive buffer shared
// with the reader thread, its bound, and writes after the far end hung up.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "pageburn/samba_channel.h"
#include "pageburn/samba_monitor.h"
#include "pty_pair.h"
#include "serial/port_lock.h"
#include "test_context.h"
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
  test::TestContext context;
  SambaSerialChannel device(context.run);
  EXPECT_EQ(device.LastError(), SambaSerialChannel::kErrorNone);
  EXPECT_FALSE(device.HasPort());
  EXPECT_FALSE(device.Write("V#"));  // nothing to write to
  EXPECT_FALSE(device.Open(test::TestRoot() + "/no-such-port", 0));
  EXPECT_FALSE(device.HasPort());

  test::PtyPair first, second;
  ASSERT_TRUE(device.Open(first.name, 0));
  EXPECT_FALSE(device.Open(second.name, 0));
  EXPECT_EQ(device.LastError(), SambaSerialChannel::kErrorAlreadyOpen);
  // The first port is still the one in use.
  EXPECT_TRUE(device.Write("V#"));
  EXPECT_EQ(MasterRead(first, 2), "V#");
  ASSERT_TRUE(first.WriteMaster("\n\r>"));
  ASSERT_TRUE(device.WaitForData());
  std::string got;
  test::WaitFor([&] {
    device.Read(got);
    return got.size() >= 3;
  });
  EXPECT_EQ(got, "\n\r>");
  EXPECT_EQ(device.TotalReceived(), 3);
  // The unnamed slots do nothing.
  EXPECT_TRUE(device.Reserved2(1));
  EXPECT_TRUE(device.Reserved3(1));
  EXPECT_TRUE(device.Reserved6());
  EXPECT_EQ(device.Reserved8(1), 0);
}

TEST(SambaSerialChannel, WaitReportsArrivalsAndTimesOutOnSilence) {
  test::PtyPair pty;
  test::TestContext context;
  SambaSerialChannel device(context.run);
  ASSERT_TRUE(device.Open(pty.name, 0));
  EXPECT_FALSE(device.WaitForData());  // nothing comes
  std::thread peer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty.WriteMaster("abc");
  });
  EXPECT_TRUE(device.WaitForData());
  peer.join();
  std::string got = "x";
  test::WaitFor([&] {
    device.Read(got);
    return got.size() >= 4;
  });
  EXPECT_EQ(got, "xabc");
  // Read emptied the buffer: the next wait has nothing until more comes.
  EXPECT_FALSE(device.WaitForData());
}

TEST(SambaSerialChannel, ReceiveBufferIsBoundedAndCountsWhatItDrops) {
  test::TestContext context;
  SambaSerialChannel device(context.run);
  const std::string chunk(1000, 'g');
  for (int i = 0; i < 70; ++i) device.Store(reinterpret_cast<const uint8_t*>(chunk.data()), 1000);
  EXPECT_EQ(device.TotalReceived(), 70000);
  EXPECT_EQ(device.Dropped(), 70000u - SambaSerialChannel::kMaxPending);
  std::string got;
  device.Read(got);
  EXPECT_EQ(got.size(), SambaSerialChannel::kMaxPending);
  // Room again once read.
  device.Store(reinterpret_cast<const uint8_t*>("ok"), 2);
  got.clear();
  device.Read(got);
  EXPECT_EQ(got, "ok");
}

TEST(SambaSerialChannel, ReaderAndMainThreadShareTheBufferWithoutLoss) {
  test::TestContext context;
  SambaSerialChannel device(context.run);
  constexpr int kChunks = 20000;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int i = 0; i < kChunks; ++i) {
      const uint8_t byte = static_cast<uint8_t>(i);
      SambaSerialChannel::Receive(&byte, 1, &device);
    }
    done = true;
  });
  std::string got;
  while (!done || device.WaitForData()) device.Read(got);
  device.Read(got);
  producer.join();
  ASSERT_EQ(got.size(), static_cast<size_t>(kChunks));
  for (int i = 0; i < kChunks; ++i) ASSERT_EQ(static_cast<uint8_t>(got[i]), static_cast<uint8_t>(i)) << i;
}

TEST(SambaSerialChannel, WritesFailOnceTheFarEndHungUp) {
  test::PtyPair pty;
  test::TestContext context;
  SambaSerialChannel device(context.run);
  ASSERT_TRUE(device.Open(pty.name, 0));
  EXPECT_TRUE(device.Write("V#"));
  EXPECT_EQ(MasterRead(pty, 2), "V#");
  pty.CloseMaster();
  close(pty.slave);  // the test's own slave descriptor would keep the line up
  pty.slave = -1;
  EXPECT_TRUE(test::WaitFor([&] { return !device.Write("V#"); }));
  EXPECT_EQ(device.LastError(), SambaSerialChannel::kErrorWriteFailed);
  // A monitor over it gives up at once on every attempt.
  SambaMonitor monitor(&device);
  std::string version;
  EXPECT_FALSE(monitor.GetVersion(version));
  EXPECT_EQ(monitor.RetryCount(), 2);
}

TEST(SambaSerialChannel, TransfersDoNotWaitForThePortLockInPageburnsScope) {
  test::PtyPair pty;
  test::TestContext context;
  auto device = std::make_unique<SambaSerialChannel>(context.run, PortLockScope::kConfigAndClose);
  ASSERT_TRUE(device->Open(pty.name, 0));
  // Another holder keeps the lock for the whole exchange; a transfer under the lock would wait
  // for it longer than the reply's 200 ms.
  PortLock other;
  ASSERT_EQ(other.Acquire(), PortLock::Wait::kLocked);
  std::thread peer([&] {
    if (MasterRead(pty, 2) == "V#") pty.WriteMaster("\n\rv1.4\n\r>");
  });
  SambaMonitor monitor(device.get());
  std::string version;
  EXPECT_TRUE(monitor.GetVersion(version));
  EXPECT_EQ(version, "v1.4");
  EXPECT_EQ(monitor.RetryCount(), 0);
  peer.join();
  other.Release();
  device.reset();  // close takes the lock: after the release
}

}  // namespace
}  // namespace kestrune
