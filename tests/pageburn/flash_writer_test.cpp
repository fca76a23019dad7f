// SPDX-License-Identifier: MIT
// The flash writer over a scripted monitor: the commands of a page and of the boot bit, FRDY
// waits, and how each failure is reported.
#include "pageburn/flash_writer.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "scripted_samba_device.h"

namespace kestrune {
namespace {

using test::Framed;
using test::HealthyAnswer;
using test::ScriptedSambaDevice;

// Device, monitor and writer, with the writer's pauses and step digits recorded.
struct FlashRig {
  ScriptedSambaDevice device;
  SambaMonitor monitor{&device};
  FlashWriter writer{&monitor};
  std::vector<uint32_t> sleeps;
  std::string printed;

  FlashRig() {
    device.answer = HealthyAnswer;
    writer.SetSleep([](uint32_t ms, void* self) { static_cast<FlashRig*>(self)->sleeps.push_back(ms); }, this);
    writer.SetPrinter([](const char* text, void* self) { static_cast<FlashRig*>(self)->printed += text; }, this);
  }
  // Status replies in turn: FRDY clear for `busy` reads, then set; other commands healthy.
  void BusyFor(int busy) {
    device.answer = [this, busy](const std::string& command) mutable {
      if (command[0] != 'w') return HealthyAnswer(command);
      return std::vector<std::string>{Framed(busy-- > 0 ? "0x00000000" : "0x00000001")};
    };
  }
  int Count(char first) const {
    int n = 0;
    for (auto& w : device.writes) n += w[0] == first;
    return n;
  }
};

std::vector<uint8_t> Page(int seed) {
  std::vector<uint8_t> page(256);
  for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i * 3 + seed);
  return page;
}

TEST(FlashWriter, PageGoesAsLittleEndianWordsToThePageBufferThenIsCommitted) {
  const std::pair<uint32_t, const char*> commits[] = {{0, "W400e0804,5a000001#"},
                                                      {3, "W400e0804,5a000301#"},
                                                      {300, "W400e0804,5a012c01#"},
                                                      {511, "W400e0804,5a01ff01#"}};
  for (const auto& [page, commit] : commits) {
    SCOPED_TRACE(page);
    FlashRig rig;
    const auto data = Page(static_cast<int>(page));
    ASSERT_TRUE(rig.writer.WriteFlashPage(page, data.data(), data.size()));
    EXPECT_EQ(rig.writer.LastError(), 0);
    const auto& w = rig.device.writes;
    ASSERT_EQ(w.size(), 1u + 64u + 1u + 1u);
    EXPECT_EQ(w.front(), "w400e0808,4#");
    for (uint32_t i = 0; i < 64; ++i) {
      const uint32_t word =
          data[4 * i] | data[4 * i + 1] << 8 | data[4 * i + 2] << 16 | uint32_t{data[4 * i + 3]} << 24;
      EXPECT_EQ(w[1 + i], WriteWordCommand(0x00080000 + 4 * i, word));
    }
    EXPECT_EQ(w[65], commit);
    EXPECT_EQ(w[66], "w400e0808,4#");
    EXPECT_TRUE(rig.sleeps.empty());
  }
  // The words go out as the monitor reads them.
  EXPECT_EQ(WriteWordCommand(0x00080000, 0x03020100), "W00080000,03020100#");
}

TEST(FlashWriter, PagesThatCannotBeWrittenAreRefusedBeforeAnyCommand) {
  const std::vector<uint8_t> data(257, 0xAA);
  FlashRig rig;
  EXPECT_FALSE(rig.writer.WriteFlashPage(0, data.data(), 255));
  EXPECT_EQ(rig.writer.LastError(), FlashWriter::kErrorPageSize);
  EXPECT_FALSE(rig.writer.WriteFlashPage(0, data.data(), 257));
  EXPECT_EQ(rig.writer.LastError(), FlashWriter::kErrorPageSize);
  EXPECT_FALSE(rig.writer.WriteFlashPage(0, nullptr, 256));
  EXPECT_EQ(rig.writer.LastError(), FlashWriter::kErrorPageSize);
  // Past the flash the 16-bit page field would wrap onto page 0 (65536) or name no page.
  for (uint32_t page : {512u, 65536u, 65536u + 3u}) {
    EXPECT_FALSE(rig.writer.WriteFlashPage(page, data.data(), 256));
    EXPECT_EQ(rig.writer.LastError(), FlashWriter::kErrorPageRange);
  }
  EXPECT_TRUE(rig.device.writes.empty());

  FlashWriter orphan(nullptr);
  EXPECT_FALSE(orphan.WriteFlashPage(0, data.data(), 256));
  EXPECT_EQ(orphan.LastError(), FlashWriter::kErrorNoMonitor);
  EXPECT_FALSE(orphan.WaitFlashReady());
  EXPECT_EQ(orphan.LastError(), FlashWriter::kErrorNoMonitor);
  EXPECT_FALSE(orphan.SetBootFromFlash());
  EXPECT_EQ(orphan.LastError(), FlashWriter::kErrorNoMonitor);
}

TEST(FlashWriter, WaitsOneMillisecondPerBusyStatusAndGivesUpAfterThirtyTwo) {
  {
    FlashRig rig;
    rig.BusyFor(5);
    EXPECT_TRUE(rig.writer.WaitFlashReady());
    EXPECT_EQ(rig.sleeps, std::vector<uint32_t>(5, 1));
    EXPECT_EQ(rig.Count('w'), 6);
  }
  {
    FlashRig rig;
    rig.BusyFor(32);
    EXPECT_TRUE(rig.writer.WaitFlashReady());
    EXPECT_EQ(rig.sleeps.size(), 32u);
    EXPECT_EQ(rig.Count('w'), 33);
  }
  {
    FlashRig rig;
    rig.BusyFor(33);
    EXPECT_FALSE(rig.writer.WaitFlashReady());
    EXPECT_EQ(rig.writer.LastError(), FlashWriter::kErrorNotReady);
    EXPECT_EQ(rig.sleeps.size(), 32u);
    EXPECT_EQ(rig.Count('w'), 33);
  }
  {
    // Other status bits do not stand for FRDY.
    FlashRig rig;
    int reads = 0;
    rig.device.answer = [&](const std::string&) {
      return std::vector<std::string>{Framed(++reads < 3 ? "0xfffffffe" : "0x00000003")};
    };
    EXPECT_TRUE(rig.writer.WaitFlashReady());
    EXPECT_EQ(rig.sleeps.size(), 2u);
  }
}

TEST(FlashWriter, FailedCommandsStopThePageWithTheirCode) {
  const auto data = Page(1);
  {
    // Silence on the first status read: 4 attempts, then -2 and nothing written.
    FlashRig rig;
    rig.device.answer = nullptr;
    EXPECT_FALSE(rig.writer.WriteFlashPage(0, data.data(), data.size()));
    EXPECT_EQ(rig.writer.LastError(), FlashWriter::kErrorCommand);
    EXPECT_EQ(rig.device.writes, std::vector<std::string>(4, "w400e0808,4#"));
    EXPECT_EQ(rig.monitor.RetryCount(), 4);
  }
  {
    // The tenth word never gets a prompt: the page stops there, no commit is sent.
    FlashRig rig;
    const std::string tenth =
        WriteWordCommand(0x00080000 + 9 * 4, data[36] | data[37] << 8 | data[38] << 16 | uint32_t{data[39]} << 24);
    rig.device.answer = [&](const std::string& command) {
      return command == tenth ? std::vector<std::string>{"\n\r"} : HealthyAnswer(command);
    };
    EXPECT_FALSE(rig.writer.WriteFlashPage(0, data.data(), data.size()));
    EXPECT_EQ(rig.writer.LastError(), FlashWriter::kErrorCommand);
    EXPECT_EQ(rig.device.writes.size(), 1u + 9u + 4u);
    EXPECT_EQ(rig.device.writes.back(), tenth);
  }
  {
    // FRDY stuck after the commit: the page fails with -4.
    FlashRig rig;
    bool committed = false;
    rig.device.answer = [&](const std::string& command) {
      if (command.rfind("W400e0804", 0) == 0) committed = true;
      if (command[0] == 'w') return std::vector<std::string>{Framed(committed ? "0x0" : "0x1")};
      return HealthyAnswer(command);
    };
    EXPECT_FALSE(rig.writer.WriteFlashPage(2, data.data(), data.size()));
    EXPECT_EQ(rig.writer.LastError(), FlashWriter::kErrorNotReady);
    EXPECT_EQ(rig.sleeps.size(), 32u);
  }
  {
    // A garbled status reply is a failed command, not a ready controller.
    FlashRig rig;
    rig.device.answer = [](const std::string& command) {
      return command[0] == 'w' ? std::vector<std::string>{Framed("??")} : HealthyAnswer(command);
    };
    EXPECT_FALSE(rig.writer.WriteFlashPage(0, data.data(), data.size()));
    EXPECT_EQ(rig.writer.LastError(), FlashWriter::kErrorCommand);
    EXPECT_EQ(rig.device.writes.size(), 1u);
  }
}

TEST(FlashWriter, BootBitIsSetThroughTheCommandRegisterAndFailuresPrintTheirStep) {
  {
    FlashRig rig;
    EXPECT_TRUE(rig.writer.SetBootFromFlash());
    EXPECT_EQ(rig.device.writes, (std::vector<std::string>{"w400e0808,4#", "W400e0804,5a00010b#", "w400e0808,4#"}));
    EXPECT_EQ(rig.printed, "");
  }
  {
    FlashRig rig;
    rig.device.answer = nullptr;
    EXPECT_FALSE(rig.writer.SetBootFromFlash());
    EXPECT_EQ(rig.printed, "1\n");
    EXPECT_EQ(rig.writer.LastError(), FlashWriter::kErrorCommand);
  }
  {
    FlashRig rig;
    rig.device.answer = [](const std::string& command) {
      return command[0] == 'W' ? std::vector<std::string>{} : HealthyAnswer(command);
    };
    EXPECT_FALSE(rig.writer.SetBootFromFlash());
    EXPECT_EQ(rig.printed, "2\n");
    EXPECT_EQ(rig.writer.LastError(), FlashWriter::kErrorCommand);
  }
  {
    FlashRig rig;
    bool set = false;
    rig.device.answer = [&](const std::string& command) {
      if (command[0] == 'W') set = true;
      return command[0] == 'w' ? std::vector<std::string>{Framed(set ? "0" : "1")} : HealthyAnswer(command);
    };
    EXPECT_FALSE(rig.writer.SetBootFromFlash());
    EXPECT_EQ(rig.printed, "3\n");
    EXPECT_EQ(rig.writer.LastError(), FlashWriter::kErrorNotReady);
  }
}

}  // namespace
}  // namespace kestrune
