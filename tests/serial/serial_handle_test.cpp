// SPDX-License-Identifier: MIT
// The port handle on real pseudo-terminals: names, exclusive open, settings in and out, the
// reader thread, restore at close and hang-up.
#include "serial/serial_handle.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/profile.h"
#include "platform/program_info.h"
#include "pty_pair.h"
#include "test_context.h"
#include "test_env.h"

namespace kestrune {
namespace {

using test::PtyPair;
using test::WaitFor;

// Collects what the reader thread delivers.
struct Sink {
  std::mutex mutex;
  std::string bytes;
  int calls = 0;
  static void Receive(const uint8_t* data, uint32_t length, void* context) {
    auto* self = static_cast<Sink*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->bytes.append(reinterpret_cast<const char*>(data), length);
    ++self->calls;
  }
  size_t Size() {
    std::lock_guard<std::mutex> lock(mutex);
    return bytes.size();
  }
  std::string Bytes() {
    std::lock_guard<std::mutex> lock(mutex);
    return bytes;
  }
};

class SerialHandleTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(pty_.master, 0); }
  std::unique_ptr<MySerialHandle> OpenPort(const std::string& name, Sink* sink) {
    PublicSerialHandle* h =
        PublicSerialHandle::Open(PortOwner{context_.run}, name, sink ? &Sink::Receive : nullptr, sink, 8192);
    return std::unique_ptr<MySerialHandle>(static_cast<MySerialHandle*>(h));
  }
  Profile& profile() { return context_.profile; }
  test::TempDir dir_;
  test::TestContext context_{dir_ / "profile.ini"};
  PtyPair pty_;
};

TEST(PortName, ComNumbersAboveNineTakeTheDeviceNamespaceForm) {
  const struct {
    const char* given;
    const char* opened;
  } rows[] = {
      {"COM3:", "COM3:"},
      {"COM3", "COM3"},
      {"COM9:", "COM9:"},
      {"COM12", "//./COM12"},
      {"COM12:", "//./COM12"},
      {"COM10", "//./COM10"},
      {"COM 12", "//./COM12"},
      {"COM-12", "COM-12"},
      {"COMX", "COMX"},
      {"com12", "com12"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"COM99999999999", "COM99999999999"},
  };
  for (const auto& r : rows) EXPECT_EQ(ComPortName(r.given), r.opened) << r.given;
}

TEST(PortName, BareNamesStandInTheDeviceFolder) {
  const struct {
    const char* devRoot;  // null: KESTRUNE_DEV_ROOT unset
    const char* given;
    const char* path;
  } rows[] = {
      {nullptr, "ttyACM0", "/dev/ttyACM0"},
      {nullptr, "COM3:", "/dev/COM3"},
      {"/tmp/fake-dev", "ttyUSB1", "/tmp/fake-dev/ttyUSB1"},
      {"/tmp/fake-dev", "/dev/ttyACM0:", "/dev/ttyACM0"},
      {nullptr, "/dev/pts/4", "/dev/pts/4"},
      {nullptr, "./ttyACM0", "./ttyACM0"},
      {nullptr, "", ""},
  };
  for (const auto& r : rows) {
    test::ScopedEnv root("KESTRUNE_DEV_ROOT", r.devRoot);
    EXPECT_EQ(DevicePathOf(r.given), r.path) << r.given;
  }
}

TEST_F(SerialHandleTest, MissingPortWithCallbackGivesNoneAndLeavesNoThread) {
  Sink sink;
  const int threads = test::ThreadCount();
  EXPECT_EQ(OpenPort(dir_ / "ttyNone", &sink), nullptr);
  EXPECT_EQ(test::ThreadCount(), threads);
  // A regular file is no port either.
  test::WriteFileBytes(dir_ / "plain", "x");
  EXPECT_EQ(OpenPort(dir_ / "plain", &sink), nullptr);

  // Without a callback the handle exists, closed, and every operation acts on nothing.
  auto h = OpenPort(dir_ / "ttyNone", nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_FALSE(h->IsOpen());
  uint8_t buf[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(h->Write(buf, 4), 0u);
  EXPECT_EQ(h->Read(buf, 4), 0u);
  COMMCONFIG cfg;
  h->GetConfig(cfg);
  EXPECT_EQ(cfg.dwSize, 52u);
  h->SetConfig(cfg);
  h->SetLine(9600, 8, 0, 0);
  EXPECT_FALSE(test::FileExists(profile().Path()));
}

TEST_F(SerialHandleTest, SecondOpenFailsFromThisAndAnotherProcessUntilTheFirstCloses) {
  Sink sink;
  auto first = OpenPort(pty_.name + ":", &sink);  // a trailing colon is dropped
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->PortName(), pty_.name + ":");
  EXPECT_EQ(OpenPort(pty_.name, &sink), nullptr);
  auto noReader = OpenPort(pty_.name, nullptr);
  EXPECT_FALSE(noReader->IsOpen());

  const pid_t child = fork();
  if (child == 0) {
    PublicSerialHandle* h = PublicSerialHandle::Open(PortOwner{context_.run}, pty_.name, nullptr, nullptr, 0);
    _exit(static_cast<MySerialHandle*>(h)->IsOpen() ? 1 : 0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process opened a held port";

  first.reset();
  EXPECT_NE(OpenPort(pty_.name, &sink), nullptr);
}

TEST_F(SerialHandleTest, DeleteRestoresTheTermiosThePortHadBeforeOpen) {
  termios before = pty_.SlaveTermios();
  cfsetospeed(&before, B2400);
  cfsetispeed(&before, B2400);
  before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | PARENB;
  before.c_lflag |= ICANON | ECHO;
  ASSERT_EQ(tcsetattr(pty_.slave, TCSANOW, &before), 0);
  before = pty_.SlaveTermios();
  {
    Sink sink;
    auto h = OpenPort(pty_.name, &sink);
    ASSERT_NE(h, nullptr);
    COMMCONFIG cfg;
    h->GetConfig(cfg);
    cfg.dcb.BaudRate = 460800;
    h->SetConfig(cfg);
    const termios during = pty_.SlaveTermios();
    EXPECT_EQ(cfgetospeed(&during), B460800);
    EXPECT_EQ(during.c_lflag & ICANON, 0u);
  }
  const termios after = pty_.SlaveTermios();
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(cfgetospeed(&after), B2400);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(after.c_cc), NCCS),
            std::string(reinterpret_cast<const char*>(before.c_cc), NCCS));
}

TEST_F(SerialHandleTest, SetConfigLeavesTheDcbOnThePortAndSavesIt) {
  Sink sink;
  auto h = OpenPort(pty_.name, &sink);
  ASSERT_NE(h, nullptr);
  COMMCONFIG cfg;
  h->GetConfig(cfg);
  EXPECT_EQ(cfg.dwSize, 52u);
  EXPECT_EQ(cfg.wVersion, 1);
  EXPECT_EQ(cfg.dwProviderSubType, 1u);
  EXPECT_EQ(cfg.dwProviderOffset, 0u);
  EXPECT_EQ(cfg.dwProviderSize, 0u);
  EXPECT_EQ(cfg.dcb.DCBlength, 28u);
  EXPECT_EQ(cfg.dcb.BaudRate, 115200u);

  // A pseudo-terminal forces CS8 and no parity (the translation of those is checked on plain
  // termios structs); speed, stop bits, CMSPAR/PARODD, CRTSCTS and XON/XOFF it keeps.
  // The kernel's speed code for a rate given as a number (BOTHER, not in glibc's termios.h).
  constexpr speed_t kAnyRate = 0010000;
  const tcflag_t kLineBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  auto onPty = [](tcflag_t cflag) { return static_cast<tcflag_t>((cflag & ~(CSIZE | PARENB)) | CS8); };
  const struct {
    const char* name;
    uint32_t baud;
    uint8_t bits, parity, stop;
    bool cts, outX, inX;
    speed_t speed;
    tcflag_t cflag;
    tcflag_t iflag;  // of IXON | IXOFF | INPCK
  } rows[] = {
      {"460800 8N1", 460800, 8, kNoParity, kOneStopBit, false, false, false, B460800, CS8, 0},
      {"9600 7E2", 9600, 7, kEvenParity, kTwoStopBits, false, false, false, B9600, CS7 | PARENB | CSTOPB, INPCK},
      {"2400 5O1.5", 2400, 5, kOddParity, kOne5StopBits, false, false, false, B2400, CS5 | PARENB | PARODD | CSTOPB,
       INPCK},
      {"57600 6 mark", 57600, 6, kMarkParity, kOneStopBit, false, false, false, B57600, CS6 | PARENB | PARODD | CMSPAR,
       INPCK},
      {"38400 8 space", 38400, 8, kSpaceParity, kOneStopBit, false, false, false, B38400, CS8 | PARENB | CMSPAR, INPCK},
      {"CTS/RTS", 230400, 8, kNoParity, kOneStopBit, true, false, false, B230400, CS8 | CRTSCTS, 0},
      {"any rate the driver takes", 12345, 8, kNoParity, kOneStopBit, false, false, false, kAnyRate, CS8, 0},
      {"a Windows rate", 14400, 8, kNoParity, kOneStopBit, false, false, false, kAnyRate, CS8, 0},
      {"XON/XOFF", 19200, 8, kNoParity, kOneStopBit, false, true, true, B19200, CS8, IXON | IXOFF},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    COMMCONFIG want = cfg;
    want.dcb.BaudRate = r.baud;
    want.dcb.ByteSize = r.bits;
    want.dcb.Parity = r.parity;
    want.dcb.StopBits = r.stop;
    want.dcb.Set(kDcbOutxCtsFlow, r.cts);
    want.dcb.Set(kDcbOutX, r.outX);
    want.dcb.Set(kDcbInX, r.inX);
    h->SetConfig(want);
    const termios t = pty_.SlaveTermios();
    EXPECT_EQ(cfgetospeed(&t), r.speed);
    EXPECT_EQ(cfgetispeed(&t), r.speed);
    EXPECT_EQ(t.c_cflag & kLineBits, onPty(r.cflag));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), r.iflag);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    // Read back, the port gives what it kept, and so does the profile.
    COMMCONFIG got;
    h->GetConfig(got);
    EXPECT_EQ(got.dcb.BaudRate, r.baud);
    EXPECT_EQ(got.dcb.ByteSize, 8);
    EXPECT_EQ(got.dcb.Parity, kNoParity);
    EXPECT_EQ(got.dcb.StopBits, r.stop);
    EXPECT_EQ(got.dcb.flags, want.dcb.flags);
    const std::string section = ProgramName(test::TestProgramPath());
    EXPECT_EQ(profile().GetInt(section, "baud", 0), static_cast<int>(r.baud));
    EXPECT_EQ(profile().GetInt(section, "stop", -1), r.stop);
    EXPECT_EQ(profile().GetInt(section, "OutX", -1), r.outX ? 1 : 0);
  }

  // A DCB the port cannot take keeps the speed, leaves the port raw, keeps the user's settings
  // in the profile, and nothing is written on that line.
  const termios kept = pty_.SlaveTermios();
  const uint8_t byte = 'x';
  for (const auto& bad : {DCB{28, 0, 0x1013, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0},
                          DCB{28, 9600, 0x1013, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0}}) {
    SCOPED_TRACE(bad.BaudRate);
    COMMCONFIG want = cfg;
    want.dcb = bad;
    h->SetConfig(want);
    const termios t = pty_.SlaveTermios();
    EXPECT_EQ(cfgetospeed(&t), cfgetospeed(&kept));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(profile().GetInt(ProgramName(test::TestProgramPath()), "baud", 0), 19200);
    EXPECT_EQ(h->Write(&byte, 1), 0u);
  }

  h->SetLine(4800, 8, kOneStopBit, kNoParity);
  const termios t = pty_.SlaveTermios();
  EXPECT_EQ(cfgetospeed(&t), B4800);
  EXPECT_EQ(profile().GetInt(ProgramName(test::TestProgramPath()), "baud", 0), 4800);
}

TEST_F(SerialHandleTest, SavedSettingsAreAppliedAtOpen) {
  ASSERT_TRUE(profile().WriteInt(ProgramName(test::TestProgramPath()), "baud", 57600));
  ASSERT_TRUE(profile().WriteInt(ProgramName(test::TestProgramPath()), "stop", kTwoStopBits));
  ASSERT_TRUE(profile().WriteInt(ProgramName(test::TestProgramPath()), "InX", 1));
  Sink sink;
  auto h = OpenPort(pty_.name, &sink);
  ASSERT_NE(h, nullptr);
  const termios t = pty_.SlaveTermios();
  EXPECT_EQ(cfgetospeed(&t), B57600);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_iflag & IXOFF);
}

TEST_F(SerialHandleTest, BytesReachTheCallbackInOrderAcrossManyChunksAndReadStaysOut) {
  Sink sink;
  auto h = OpenPort(pty_.name, &sink);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(h->ReaderRunning());
  EXPECT_EQ(h->Timeouts().ReadIntervalTimeout, kMaxDword);
  EXPECT_EQ(h->Timeouts().ReadTotalTimeoutConstant, 0u);

  std::string sent;
  for (int chunk = 0; chunk < 400; ++chunk) {
    std::string part(1 + (chunk * 37) % 700, '\0');
    for (size_t i = 0; i < part.size(); ++i) part[i] = static_cast<char>((sent.size() + i) * 7 + chunk);
    sent += part;
    ASSERT_TRUE(pty_.WriteMaster(part));
    if (chunk == 10) {
      // With a reader, Read never touches the port: the bytes still go to the callback.
      uint8_t buf[64];
      EXPECT_EQ(h->Read(buf, sizeof buf), 0u);
    }
  }
  ASSERT_TRUE(WaitFor([&] { return sink.Size() >= sent.size(); }));
  EXPECT_EQ(sink.Bytes(), sent);
  EXPECT_EQ(h->TotalRead(), sent.size());

  // And the other way: Write reaches the far end.
  const uint8_t out[] = {'U', 0x00, 0xff, '#'};
  EXPECT_EQ(h->Write(out, sizeof out), sizeof out);
  std::string echo(4, '\0');
  ASSERT_EQ(read(pty_.master, echo.data(), 4), 4);
  EXPECT_EQ(echo, std::string("U\0\xff#", 4));
}

TEST_F(SerialHandleTest, DirectReadWaitsTenMsPerBytePlusOneHundred) {
  auto h = OpenPort(pty_.name, nullptr);
  ASSERT_TRUE(h->IsOpen());
  EXPECT_FALSE(h->ReaderRunning());
  const COMMTIMEOUTS& to = h->Timeouts();
  EXPECT_EQ(to.ReadIntervalTimeout, 0u);
  EXPECT_EQ(to.ReadTotalTimeoutMultiplier, 10u);
  EXPECT_EQ(to.ReadTotalTimeoutConstant, 100u);
  EXPECT_EQ(to.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(to.WriteTotalTimeoutConstant, 0u);

  ASSERT_TRUE(pty_.WriteMaster("hello"));
  uint8_t buf[16] = {};
  EXPECT_EQ(h->Read(buf, 5), 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "hello");
  ASSERT_TRUE(pty_.WriteMaster("ab"));
  EXPECT_EQ(h->Read(buf, 8), 2u);  // the rest never comes: the time-out ends the read
  EXPECT_EQ(h->TotalRead(), 7u);
}

TEST_F(SerialHandleTest, HangUpStopsTheReaderWithoutSpinningAndWritesFail) {
  Sink sink;
  const int threads = test::ThreadCount();
  auto h = OpenPort(pty_.name, &sink);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(pty_.WriteMaster("last"));
  ASSERT_TRUE(WaitFor([&] { return sink.Size() == 4; }));
  pty_.CloseMaster();
  ASSERT_TRUE(WaitFor([&] { return h->HungUp(); }));

  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  getrusage(RUSAGE_SELF, &after);
  auto usec = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
  };
  EXPECT_LT(usec(after) - usec(before), 200000L) << "the reader spins on a hung-up port";

  const uint8_t byte = 'x';
  EXPECT_EQ(h->Write(&byte, 1), 0u);
  h.reset();  // must return: the thread is joined, not waited for at length
  EXPECT_EQ(test::ThreadCount(), threads);
  EXPECT_EQ(sink.Bytes(), "last");
}

// Held, the reader hands over nothing and the caller reads the port itself; let go, the
// reader takes what waits.
TEST_F(SerialHandleTest, AHeldReaderLeavesThePortToTheCaller) {
  Sink sink;
  auto h = OpenPort(pty_.name, &sink);
  ASSERT_NE(h, nullptr);
  h->HoldReader(true);
  ASSERT_TRUE(pty_.WriteMaster("early"));
  ASSERT_TRUE(WaitFor([&] { return h->QueuedBytes() == 5; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(sink.Size(), 0u);
  uint8_t buf[16] = {};
  EXPECT_EQ(h->Read(buf, 3), 3u);
  EXPECT_EQ(h->Read(buf + 3, sizeof buf - 3), 2u);  // what has come, without waiting for more
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "early");

  // A reply that comes in two pieces, the second one late, comes whole.
  const uint8_t line[] = ":00000001FF";
  ASSERT_EQ(h->Write(line, sizeof line), sizeof line);
  std::thread unit([&] {
    char in[sizeof line];
    WaitFor([&] { return read(pty_.master, in, sizeof in) > 0; });
    pty_.WriteMaster(std::string("+\0", 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pty_.WriteMaster("abc");
  });
  EXPECT_EQ(h->ReadAwaited(buf, 5, 2000), 5u);
  unit.join();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), std::string("+\0abc", 5));

  // Bytes that cannot have crossed the wire within the limit are not waited for at all.
  h->SetLine(300, 8, kOneStopBit, kNoParity);  // 33 ms a byte
  ASSERT_EQ(h->Write(line, sizeof line), sizeof line);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(h->ReadAwaited(buf, 5, 100), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
  h->SetLine(115200, 8, kOneStopBit, kNoParity);

  // Let go, the reader hands over what waits.
  ASSERT_TRUE(pty_.WriteMaster("late"));
  ASSERT_TRUE(WaitFor([&] { return h->QueuedBytes() == 4; }));
  h->HoldReader(false);
  ASSERT_TRUE(WaitFor([&] { return sink.Size() == 4; }));
  EXPECT_EQ(sink.Bytes(), "late");
  EXPECT_EQ(h->Read(buf, 4), 0u);  // with a reader reading, Read stays out

  // Held again, a hang-up ends the wait at once.
  h->HoldReader(true);
  std::thread hangUp([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pty_.CloseMaster();
  });
  const auto waited = std::chrono::steady_clock::now();
  EXPECT_EQ(h->ReadAwaited(buf, 5, 5000), 0u);
  hangUp.join();
  EXPECT_LT(std::chrono::steady_clock::now() - waited, std::chrono::seconds(2));
  EXPECT_TRUE(h->HungUp());
}

TEST_F(SerialHandleTest, ZeroBufferWithCallbackGivesNone) {
  Sink sink;
  EXPECT_EQ(PublicSerialHandle::Open(PortOwner{context_.run}, pty_.name, &Sink::Receive, &sink, 0), nullptr);
  // The failed attempt let go of the port.
  EXPECT_NE(OpenPort(pty_.name, &sink), nullptr);
}

}  // namespace
}  // namespace kestrune
