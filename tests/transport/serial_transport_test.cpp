// SPDX-License-Identifier: MIT
// The serial transport over a real pseudo-terminal: ring wrap, overflow, texts, open/close.
#include "transport/serial_transport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/event_pump.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "platform/tick_count.h"
#include "pty_pair.h"
#include "test_context.h"
#include "test_env.h"

namespace kestrune {
namespace {

// A driver whose "serial" settings name the pty's slave side.
struct OpenDriver {
  test::PtyPair pty;
  test::TestContext context;
  SerialTransport driver{context.run, "Serial Settings"};
  // Waits run `pump` when given, else the context's own.
  explicit OpenDriver(bool open = true, EventPump* pump = nullptr)
      : context(ProgramProfilePath(test::TestProgramPath()), pump) {
    context.profile.WriteString("serial", "port", pty.name);
    if (open) {
      EXPECT_EQ(driver.Open(), 0);
    }
  }
  std::string ReadAll(unsigned n, unsigned limit = 2000) {
    std::string out(n, '\0');
    out.resize(driver.Read(reinterpret_cast<uint8_t*>(out.data()), n, limit));
    return out;
  }
  void Store(const std::string& s) { driver.Store(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
};

// A pump that counts the reader's wake-ups.
struct CountingPump : HeadlessEventPump {
  void Wake() override {
    ++wakes;
    HeadlessEventPump::Wake();
  }
  std::atomic<int> wakes{0};
};

std::string Pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed) & 0xff);
  return s;
}

TEST(SerialTransport, ClosedDriverWritesNothingAndReadsNothing) {
  test::TestContext context;
  SerialTransport d(context.run, "Serial Settings");
  const uint8_t b = 1;
  EXPECT_EQ(d.Write(&b, 1), 102);
  uint8_t buf[4];
  const uint32_t t0 = TickCount();
  EXPECT_EQ(d.Read(buf, 4, 60000), 0u);
  EXPECT_LT(TickDiff(TickCount(), t0), 1000);  // at once, not after the limit
  EXPECT_EQ(d.Close(), 0);
  EXPECT_EQ(d.IsMidi(), 0);
  EXPECT_EQ(d.LastError(), 0);
  EXPECT_STREQ(d.SettingsName(), "Serial Settings");
}

TEST(SerialTransport, ErrorTextsKeepTheirTrailingBlanks) {
  test::TestContext context;
  SerialTransport d(context.run, "Serial Settings");
  EXPECT_EQ(d.ErrorText(0), "RS232 no error");
  EXPECT_EQ(d.ErrorText(100), "RS232 timeout ");
  EXPECT_EQ(d.ErrorText(101), "RS232 undefined error ");
  EXPECT_EQ(d.ErrorText(102), "RS232 disconnected ");
  EXPECT_EQ(d.ErrorText(6), "Unknown E6");
  EXPECT_EQ(d.ErrorText(-9), "Unknown E-9");
  Transport& base = d;
  EXPECT_EQ(base.Transport::ErrorText(101), "Comms Problem");
  EXPECT_EQ(base.Transport::ErrorText(7), "Can't Explain");
}

TEST(SerialTransport, BytesFromThePortArriveInOrderAndWritesReachIt) {
  OpenDriver o;
  EXPECT_EQ(o.driver.PortName(), o.pty.name);
  const std::string data = Pattern(1500, 3);
  std::thread unit([&] {
    for (size_t i = 0; i < data.size(); i += 100) o.pty.WriteMaster(data.substr(i, 100));
  });
  std::string got;
  while (got.size() < data.size()) {
    const std::string part = o.ReadAll(static_cast<unsigned>(data.size() - got.size()));
    if (part.empty()) break;
    got += part;
  }
  unit.join();
  EXPECT_EQ(got, data);
  const std::string frame("\x00\x06\x07\x00\x00\x00\xF3", 7);
  EXPECT_EQ(o.driver.Write(reinterpret_cast<const uint8_t*>(frame.data()), 7), 0);
  char echo[7];
  ASSERT_TRUE(test::WaitFor([&] { return read(o.pty.master, echo, 7) == 7; }));
  EXPECT_EQ(std::string(echo, 7), frame);
}

TEST(SerialTransport, ThirteenBytesAcrossTheWrapAndOverflowPolicy) {
  OpenDriver o;
  o.Store(Pattern(2040, 1));
  EXPECT_EQ(o.ReadAll(2040), Pattern(2040, 1));
  o.Store(Pattern(13, 9));  // 8 bytes before the end of the ring, 5 after
  EXPECT_EQ(o.ReadAll(13, 0), Pattern(13, 9));
  // One block larger than the ring keeps its first 2048 bytes.
  o.Store(Pattern(3000, 5));
  EXPECT_EQ(o.ReadAll(3000, 0), Pattern(2048, 5));
  EXPECT_EQ(o.driver.DroppedBytes(), 952u);
  // Unread bytes are never overwritten: a flood keeps the oldest.
  o.Store(Pattern(2000, 2));
  o.Store(Pattern(100, 4));
  const std::string kept = o.ReadAll(2100, 0);
  EXPECT_EQ(kept, Pattern(2000, 2) + Pattern(48, 4));
}

TEST(SerialTransport, ZeroMaximumAndZeroLimit) {
  HeadlessEventPump pump;
  OpenDriver o(true, &pump);
  int dispatched = 0;
  pump.Post([&] { ++dispatched; });
  uint8_t buf[8];
  EXPECT_EQ(o.driver.Read(buf, 0, 1000), 0u);
  EXPECT_EQ(dispatched, 0);  // a maximum of 0 dispatches nothing
  const uint32_t t0 = TickCount();
  EXPECT_EQ(o.driver.Read(buf, 8, 0), 0u);  // one pass, nothing there
  EXPECT_EQ(dispatched, 1);
  EXPECT_LT(TickDiff(TickCount(), t0), 500);
  EXPECT_EQ(o.driver.receiveActive.load(), 1);
}

TEST(SerialTransport, ReadWaitsWithoutSpinningAndEndsAtItsLimit) {
  OpenDriver o;
  uint8_t buf[4];
  rusage before{}, after{};
  getrusage(RUSAGE_THREAD, &before);
  const uint32_t t0 = TickCount();
  EXPECT_EQ(o.driver.Read(buf, 4, 300), 0u);
  const int32_t took = TickDiff(TickCount(), t0);
  getrusage(RUSAGE_THREAD, &after);
  EXPECT_GE(took, 300);
  const long cpuUs =
      (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000000L + (after.ru_utime.tv_usec - before.ru_utime.tv_usec) +
      (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1000000L + (after.ru_stime.tv_usec - before.ru_stime.tv_usec);
  // A spinning wait would burn the whole 300 ms; a blocking one next to nothing.
  EXPECT_LT(cpuUs, 150000);
}

// A reply that trickles in a byte at a time wakes the waiting Read when it is whole, not once
// a byte, and comes whole.
TEST(SerialTransport, TricklingReplyWakesTheWaitOnce) {
  CountingPump pump;
  OpenDriver o(true, &pump);
  const std::string reply("+\x00\x10\x20\x30", 5);
  std::thread unit([&] {
    // Starts once the Read waits, then a byte every few milliseconds, as a slow line brings them.
    test::WaitFor([&] { return o.driver.BusyCount() > 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (char c : reply) {
      o.pty.WriteMaster(std::string(1, c));
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  EXPECT_EQ(o.ReadAll(5, 3000), reply);
  unit.join();
  EXPECT_LE(pump.wakes.load(), 2);  // a wake a byte would be 5
}

// A reply that comes when due is read on the waiting thread: the reader wakes nobody. Bytes
// that wait in the port count as waiting all the same.
TEST(SerialTransport, APromptReplyNeedsNoWakeAndBytesInThePortCountAsWaiting) {
  CountingPump pump;
  OpenDriver o(true, &pump);
  const std::string line = ":00000001FF";
  const std::string reply("+\x00\x10\x20\x30", 5);
  std::thread unit([&] {
    char in[64];
    test::WaitFor([&] { return read(o.pty.master, in, sizeof in) > 0; });
    o.pty.WriteMaster(reply);
  });
  EXPECT_EQ(o.driver.Write(reinterpret_cast<const uint8_t*>(line.c_str()), static_cast<unsigned>(line.size() + 1)), 0);
  EXPECT_EQ(o.ReadAll(5), reply);
  unit.join();
  EXPECT_EQ(pump.wakes.load(), 0);

  ASSERT_TRUE(o.pty.WriteMaster("xy"));
  ASSERT_TRUE(test::WaitFor([&] { return o.driver.WaitingBytes() == 2; }));
  EXPECT_EQ(o.ReadAll(2, 0), "xy");
  EXPECT_EQ(o.driver.WaitingBytes(), 0);
}

TEST(SerialTransport, OpenTwiceReopensAndCloseEmptiesTheRing) {
  OpenDriver o;
  o.Store("stale");
  EXPECT_EQ(o.driver.Open(), 0);  // closes first, then opens with the current settings
  EXPECT_EQ(o.ReadAll(5, 0), "");
  o.Store("more");
  o.driver.Reopen();
  EXPECT_EQ(o.ReadAll(4, 0), "");
  EXPECT_EQ(o.driver.Close(), 0);
  EXPECT_EQ(o.driver.Close(), 0);
  o.context.profile.WriteString("serial", "port", "/dev/kestrune-no-such-port");
  EXPECT_EQ(o.driver.Open(), 1);
  const uint8_t b = 0;
  EXPECT_EQ(o.driver.Write(&b, 1), 102);
}

TEST(SerialTransport, HungUpPortReportsDisconnect) {
  OpenDriver o;
  o.pty.CloseMaster();
  const std::string frame(7, 'x');
  int code = 0;
  // The reader notices the hang-up first; after that writes fail.
  ASSERT_TRUE(test::WaitFor([&] {
    code = o.driver.Write(reinterpret_cast<const uint8_t*>(frame.data()), 7);
    return code != 0;
  }));
  EXPECT_EQ(code, 102);
}

TEST(SerialTransport, FailedOpenLogsTheReasonTheUserCanActOn) {
  test::TempDir dir;
  const std::string program = dir / "romsend";  // the log of this run goes beside it
  test::TestContext context(ProgramProfilePath(program), nullptr, program);
  SerialTransport d(context.run, "Serial Settings");
  // An unplugged adapter: its pseudo-terminal number is no longer there.
  context.profile.WriteString("serial", "port", "/dev/pts/987654");
  EXPECT_EQ(d.Open(), 1);
  // A name that is a plain file, not a serial device.
  const std::string file = dir / "ttyNotes";
  test::WriteFileBytes(file, "text");
  context.profile.WriteString("serial", "port", file);
  EXPECT_EQ(d.Open(), 1);
  // A port another program holds.
  test::PtyPair pty;
  SerialTransport holder(context.run, "Serial Settings");
  context.profile.WriteString("serial", "port", pty.name);
  ASSERT_EQ(holder.Open(), 0);
  EXPECT_EQ(d.Open(), 1);

  const std::string log = test::ReadFileBytes(dir / "romsend.log");
  EXPECT_NE(log.find(") Cannot open serial port: /dev/pts/987654: the port has gone (device unplugged or restarted); "
                     "reconnect it and try again"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(") Cannot open serial port: " + file +
                     ": not a serial device; choose the unit's serial port in Comms Setup, such as /dev/ttyUSB0"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(") Cannot open serial port: " + pty.name +
                     ": the port is busy: another program holds it; close that program and try again"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("try again\n"), std::string::npos);  // entries carry no line end of their own
}

}  // namespace
}  // namespace kestrune
