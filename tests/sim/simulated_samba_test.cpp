// SPDX-License-Identifier: MIT
// The simulated SAM-BA monitor driven over the slave side of its pty with command lines written
// by hand from the monitor's wire format: replies byte for byte, pages through the page buffer
// and the flash controller, the status register's busy reads, the GPNVM bit and each fault.
#include "simulated_samba.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "slave_client.h"
#include "test_env.h"

namespace kestrune::sim {
namespace {

using test::SlaveClient;
using Ms = std::chrono::milliseconds;

const std::string kStatusRead = "w400e0808,4#";
const std::string kReady = "\n\r0x00000001\n\r>";
const std::string kBusy = "\n\r0x00000000\n\r>";
const std::string kDone = "\n\r>";

std::string Hex8(uint32_t v) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(v));
  return text;
}
std::string WriteWord(uint32_t address, uint32_t value) {
  return "W" + Hex8(address) + "," + Hex8(value) + "#";
}
std::string CommitPage(uint32_t page) {
  return WriteWord(0x400E0804, 0x5A000001 | (page & 0xFFFF) << 8);
}

// Sends one command and reads its reply up to the prompt (or whatever came within `ms`).
std::string Ask(SlaveClient& client, const std::string& command, int ms = 2000) {
  if (!client.Write(command)) return "<write failed>";
  std::string reply;
  for (;;) {
    const std::string c = client.Read(1, ms);
    reply += c;
    if (c.empty() || c == ">") return reply;
  }
}

std::vector<uint8_t> PagePattern(uint8_t seed) {
  std::vector<uint8_t> page(256);
  for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(seed + i * 13);
  return page;
}

// Fills the page buffer word by word (little-endian words, always at the first page's
// addresses, as the downloader does) and commits it to `page`.
void WritePage(SlaveClient& client, uint32_t page, const std::vector<uint8_t>& bytes) {
  for (uint32_t offset = 0; offset < 256; offset += 4) {
    const uint32_t word = bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
                          static_cast<uint32_t>(bytes[offset + 3]) << 24;
    ASSERT_EQ(Ask(client, WriteWord(0x00080000 + offset, word)), kDone) << offset;
  }
  ASSERT_EQ(Ask(client, CommitPage(page)), kDone);
}

// Waits until the monitor has taken `lines` command lines (bounded, for a silent monitor).
bool HeardLines(const SimulatedSamba& monitor, uint64_t lines) {
  return kestrune::test::WaitFor([&] { return monitor.Snapshot().commandCount >= lines; }) &&
         monitor.Snapshot().commandCount == lines;
}

std::vector<uint8_t> FlashPage(const SambaRecording& r, uint32_t page) {
  return {r.flash.begin() + page * 256, r.flash.begin() + (page + 1) * 256};
}

TEST(SimulatedSamba, AnswersEachCommandByteForByteInTerminalMode) {
  SimulatedSamba monitor(SambaOptions{.flashPages = 1024, .version = "v9.9 test chip", .oldImage = {}});
  ASSERT_TRUE(monitor.Start()) << monitor.LastError();
  SlaveClient client(monitor.SlavePath());
  ASSERT_TRUE(client.Ok());
  struct Row {
    const char* name;
    std::string command;
    std::string reply;
  } rows[] = {
      {"version", "V#", "\n\rv9.9 test chip\n\r>"},
      {"status, ready", kStatusRead, kReady},
      {"word into the page buffer", "W00080000,a1b2c3d4#", kDone},
      {"erased flash reads all ones", "w00080000,4#", "\n\r0xffffffff\n\r>"},
      {"upper-case digits", "W000800FC,DEADBEEF#", kDone},
      {"line ends between commands are no part of the next", "\r\nV#", "\n\rv9.9 test chip\n\r>"},
      // Lines the monitor does not understand get the bare prompt.
      {"unknown command", "X#", kDone},
      {"version with an argument", "V1#", kDone},
      {"read of other than one word", "w400e0808,8#", kDone},
      {"unaligned read", "w00080002,4#", kDone},
      {"unaligned write into flash", "W00080002,1#", kDone},
      {"nine digits", "W000800000,1#", kDone},
      {"no comma", "w400e0808#", kDone},
      {"empty line", "#", kDone},
  };
  for (const Row& row : rows) EXPECT_EQ(Ask(client, row.command), row.reply) << row.name;
  EXPECT_EQ(client.Read(1, 100), "");  // nothing beyond the replies

  const SambaRecording r = monitor.Snapshot();
  EXPECT_EQ(r.commandCount, std::size(rows));
  EXPECT_EQ(r.commands[2], "W00080000,a1b2c3d4#");
  EXPECT_EQ(r.commands[5], "V#");
  EXPECT_EQ(r.rejected, (std::vector<std::string>{"X#", "V1#", "w400e0808,8#", "w00080002,4#", "W00080002,1#",
                                                  "W000800000,1#", "w400e0808#", "#"}));
  EXPECT_TRUE(r.pagesWritten.empty());  // page buffer words alone change no flash
  EXPECT_EQ(r.flash, std::vector<uint8_t>(1024 * 256, 0xFF));
}

TEST(SimulatedSamba, PagesLandAtTheirOffsetAndTheBootBitIsRecorded) {
  SimulatedSamba monitor;
  ASSERT_TRUE(monitor.Start());
  SlaveClient client(monitor.SlavePath());
  const uint32_t pages[] = {0, 3, 300};
  for (uint32_t page : pages) WritePage(client, page, PagePattern(static_cast<uint8_t>(page + 1)));
  // A flash word reads back little-endian.
  EXPECT_EQ(Ask(client, "w00080300,4#"), "\n\r0x" + Hex8(0x04 | 0x11 << 8 | 0x1e << 16 | 0x2bu << 24) + "\n\r>");
  // Only two words in the buffer: the rest of the page stays erased.
  ASSERT_EQ(Ask(client, WriteWord(0x00080000, 0x03020100)), kDone);
  ASSERT_EQ(Ask(client, WriteWord(0x00080004, 0x07060504)), kDone);
  ASSERT_EQ(Ask(client, CommitPage(5)), kDone);
  ASSERT_EQ(Ask(client, "W400e0804,5a00010b#"), kDone);

  const SambaRecording r = monitor.Snapshot();
  EXPECT_EQ(r.pagesWritten, (std::vector<uint32_t>{0, 3, 300, 5}));
  for (uint32_t page : pages) EXPECT_EQ(FlashPage(r, page), PagePattern(static_cast<uint8_t>(page + 1))) << page;
  std::vector<uint8_t> partial(256, 0xFF);
  for (uint8_t i = 0; i < 8; ++i) partial[i] = i;
  EXPECT_EQ(FlashPage(r, 5), partial);
  for (uint32_t page : {1u, 2u, 4u, 299u, 301u, 1023u})
    EXPECT_EQ(FlashPage(r, page), std::vector<uint8_t>(256, 0xFF)) << page;
  EXPECT_EQ(r.gpnvm, 1u << 1);
  EXPECT_EQ(r.flashCommands, (std::vector<uint32_t>{0x5A000001, 0x5A000301, 0x5A012C01, 0x5A000501, 0x5A00010B}));
  EXPECT_EQ(r.refusedFlashCommands, 0u);
  EXPECT_TRUE(r.rejected.empty());
}

// Flash that was not erased before the run keeps its zero bits: a page write ANDs into it.
TEST(SimulatedSamba, FlashNotErasedTakesTheAndOfWhatItHeldAndThePage) {
  std::vector<uint8_t> old(2 * 256);
  for (size_t i = 0; i < old.size(); ++i) old[i] = static_cast<uint8_t>(0xF0 ^ i);
  const struct {
    const char* name;
    bool notErased;
    uint8_t (*expect)(uint8_t held, uint8_t written);
  } rows[] = {
      {"erased first: the page replaces", false, [](uint8_t, uint8_t w) { return w; }},
      {"not erased: the bits AND", true, [](uint8_t h, uint8_t w) { return static_cast<uint8_t>(h & w); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SimulatedSamba monitor(SambaOptions{.flashPages = 4, .oldImage = old});
    monitor.SetNotErased(row.notErased);
    ASSERT_TRUE(monitor.Start());
    SlaveClient client(monitor.SlavePath());
    // What the flash held reads back before any write.
    EXPECT_EQ(Ask(client, "w00080100,4#"), "\n\r0x" + Hex8(0xF3F2F1F0) + "\n\r>");
    WritePage(client, 1, PagePattern(7));
    const SambaRecording r = monitor.Snapshot();
    std::vector<uint8_t> expected(256);
    for (size_t i = 0; i < 256; ++i) expected[i] = row.expect(old[256 + i], PagePattern(7)[i]);
    EXPECT_EQ(FlashPage(r, 1), expected);
    EXPECT_EQ(FlashPage(r, 0), std::vector<uint8_t>(old.begin(), old.begin() + 256));
    EXPECT_EQ(FlashPage(r, 2), std::vector<uint8_t>(256, 0xFF));
  }
}

TEST(SimulatedSamba, FlashControllerRefusesBadCommandsAndShowsBusyForTheSetReads) {
  SimulatedSamba monitor(SambaOptions{.flashPages = 16, .oldImage = {}});
  monitor.SetFlashBusy(5);
  ASSERT_TRUE(monitor.Start());
  SlaveClient client(monitor.SlavePath());
  EXPECT_EQ(Ask(client, kStatusRead), kReady);  // no command yet: ready at once
  ASSERT_EQ(Ask(client, WriteWord(0x00080000, 0x11111111)), kDone);
  const std::string refused[] = {
      CommitPage(16),                     // past the end of a 16-page flash
      WriteWord(0x400E0804, 0xA5000001),  // wrong key
      WriteWord(0x400E0804, 0x5A000002),  // a command the controller does not take here
      WriteWord(0x400E0804, 0x5A00200B),  // GPNVM bit 32
  };
  for (const std::string& command : refused) EXPECT_EQ(Ask(client, command), kDone) << command;
  EXPECT_EQ(Ask(client, kStatusRead), kReady);  // refused commands leave the controller idle

  ASSERT_EQ(Ask(client, CommitPage(15)), kDone);
  // A command while FRDY is clear is refused too.
  EXPECT_EQ(Ask(client, WriteWord(0x400E0804, 0x5A00010B)), kDone);
  EXPECT_EQ(Ask(client, WriteWord(0x00080000, 0x22222222)), kDone);  // taken, and counted
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Ask(client, kStatusRead), kBusy) << "busy read " << i;
  EXPECT_EQ(Ask(client, kStatusRead), kReady);
  EXPECT_EQ(Ask(client, kStatusRead), kReady);

  SambaRecording r = monitor.Snapshot();
  EXPECT_EQ(r.refusedFlashCommands, 5u);
  EXPECT_EQ(r.pagesWritten, std::vector<uint32_t>{15});
  EXPECT_EQ(r.gpnvm, 0u);
  EXPECT_EQ(r.fsrReads, 9u);
  EXPECT_EQ(r.fsrBusyReads, 5u);
  EXPECT_EQ(r.bufferWritesWhileBusy, 1u);

  // Stuck busy: FRDY never comes, and nothing is committed.
  monitor.SetStuckBusy(true);
  for (int i = 0; i < 40; ++i) ASSERT_EQ(Ask(client, kStatusRead), kBusy) << i;
  EXPECT_EQ(Ask(client, CommitPage(1)), kDone);
  monitor.SetStuckBusy(false);
  EXPECT_EQ(Ask(client, kStatusRead), kReady);
  r = monitor.Snapshot();
  EXPECT_EQ(r.pagesWritten, std::vector<uint32_t>{15});
  EXPECT_EQ(r.refusedFlashCommands, 6u);
  EXPECT_EQ(FlashPage(r, 15)[0], 0x11);
}

TEST(SimulatedSamba, FaultsChangeTheRepliesAsSet) {
  const std::string version = "\n\rv1.4 Kestrune SAM-BA simulator\n\r";
  const std::string garbage("\xFF\x00\x1B", 3);
  struct Row {
    const char* name;
    std::function<void(SimulatedSamba&)> set;
    std::vector<std::string> replies;  // to "V#" sent this many times
  } rows[] = {
      {"silent", [](SimulatedSamba& m) { m.SetSilent(true); }, {"", ""}},
      {"one reply without its prompt", [](SimulatedSamba& m) { m.SetNoPrompt(1); }, {version, version + ">"}},
      {"no reply with its prompt", [](SimulatedSamba& m) { m.SetNoPrompt(-1); }, {version, version, version}},
      {"garbage before two replies",
       [&](SimulatedSamba& m) { m.SetGarbage(garbage, 2); },
       {garbage + version + ">", garbage + version + ">", version + ">"}},
  };
  for (const Row& row : rows) {
    SimulatedSamba monitor;
    row.set(monitor);
    ASSERT_TRUE(monitor.Start());
    SlaveClient client(monitor.SlavePath());
    for (size_t i = 0; i < row.replies.size(); ++i) {
      ASSERT_TRUE(client.Write("V#"));
      EXPECT_EQ(client.Read(row.replies[i].size(), 2000), row.replies[i]) << row.name << ", reply " << i;
    }
    EXPECT_EQ(client.Read(1, 300), "") << row.name;                    // nothing beyond the replies
    EXPECT_TRUE(HeardLines(monitor, row.replies.size())) << row.name;  // whatever it answered
  }

  // Silent, the monitor still acts on what it hears.
  SimulatedSamba monitor;
  monitor.SetSilent(true);
  ASSERT_TRUE(monitor.Start());
  SlaveClient client(monitor.SlavePath());
  ASSERT_TRUE(client.Write(WriteWord(0x00080000, 0x44332211) + CommitPage(2) + "W400e0804,5a00010b#"));
  ASSERT_TRUE(HeardLines(monitor, 3));
  EXPECT_EQ(client.Read(1, 300), "");
  const SambaRecording r = monitor.Snapshot();
  EXPECT_EQ(r.pagesWritten, std::vector<uint32_t>{2});
  EXPECT_EQ(FlashPage(r, 2)[3], 0x44);
  EXPECT_EQ(r.gpnvm, 2u);
}

TEST(SimulatedSamba, RepliesWaitForTheSetDelayAndStatusForTheBusyTime) {
  // Lower bounds only: a slow machine can make an answer late, never early.
  SimulatedSamba monitor;
  monitor.SetReplyDelay(150);
  monitor.SetFlashBusy(0, 300);
  ASSERT_TRUE(monitor.Start());
  SlaveClient client(monitor.SlavePath());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Ask(client, "V#"), "\n\rv1.4 Kestrune SAM-BA simulator\n\r>");
  EXPECT_GE(std::chrono::steady_clock::now() - start, Ms(150));

  monitor.SetReplyDelay(0);
  start = std::chrono::steady_clock::now();
  ASSERT_EQ(Ask(client, CommitPage(0)), kDone);
  int reads = 0;
  while (Ask(client, kStatusRead) == kBusy && reads < 100000) {
    ++reads;
    std::this_thread::sleep_for(Ms(1));
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, Ms(300));
  EXPECT_EQ(monitor.Snapshot().fsrBusyReads, static_cast<unsigned>(reads));
}

TEST(SimulatedSamba, HangsUpAfterTheSetNumberOfAnsweredCommands) {
  SimulatedSamba monitor;
  ASSERT_TRUE(monitor.Start());
  SlaveClient client(monitor.SlavePath());
  monitor.SetHangUpAfterCommands(3);
  EXPECT_EQ(Ask(client, "V#").back(), '>');
  EXPECT_EQ(Ask(client, kStatusRead), kReady);
  EXPECT_EQ(Ask(client, "X#"), kDone);
  // The fourth line is neither answered nor carried out: the line drops as it ends.
  ASSERT_TRUE(client.Write("W400e0804,5a00010b#"));
  EXPECT_TRUE(client.SeesHangUp(3000));
  SambaRecording r = monitor.Snapshot();
  EXPECT_TRUE(r.hungUp);
  EXPECT_EQ(r.commands, (std::vector<std::string>{"V#", kStatusRead, "X#"}));
  EXPECT_EQ(r.gpnvm, 0u);

  SimulatedSamba now;
  ASSERT_TRUE(now.Start());
  SlaveClient second(now.SlavePath());
  ASSERT_EQ(Ask(second, "V#").back(), '>');
  now.SetHangUpAfterCommands(0);
  EXPECT_TRUE(second.SeesHangUp(3000));
  EXPECT_TRUE(now.Snapshot().hungUp);
}

TEST(SimulatedSamba, DropsLinesLongerThanAnyCommandAndTakesTheNext) {
  SimulatedSamba monitor;
  ASSERT_TRUE(monitor.Start());
  SlaveClient client(monitor.SlavePath());
  // 32 characters before the '#' are still a line (not understood); 33 are dropped unanswered.
  EXPECT_EQ(Ask(client, std::string(32, 'W') + "#"), kDone);
  ASSERT_TRUE(client.Write(std::string(33, 'W') + "#"));
  EXPECT_EQ(client.Read(1, 300), "");
  // A flood without any '#' is dropped as one line; the command after it is answered.
  std::string flood(100000, '\0');
  for (size_t i = 0; i < flood.size(); ++i) flood[i] = static_cast<char>(i % 35 == 0 ? '>' : 'a' + i % 26);
  ASSERT_TRUE(client.Write(flood + "#"));
  EXPECT_EQ(Ask(client, "V#"), "\n\rv1.4 Kestrune SAM-BA simulator\n\r>");
  const SambaRecording r = monitor.Snapshot();
  EXPECT_EQ(r.droppedLines, 2u);
  EXPECT_EQ(r.commands, (std::vector<std::string>{std::string(32, 'W') + "#", "V#"}));
  EXPECT_EQ(r.bytesReceived, 33 + 34 + flood.size() + 1 + 2);
}

TEST(SimulatedSamba, StartsOnceAndKeepsItsFlashAcrossClients) {
  SimulatedSamba monitor;
  EXPECT_TRUE(monitor.SlavePath().empty());
  ASSERT_TRUE(monitor.Start());
  EXPECT_FALSE(monitor.Start());
  EXPECT_FALSE(monitor.LastError().empty());
  {
    SlaveClient first(monitor.SlavePath());
    WritePage(first, 7, PagePattern(9));
  }
  monitor.ClearRecording();
  SlaveClient second(monitor.SlavePath());  // the line stays up between clients
  EXPECT_EQ(Ask(second, "w00080700,4#"), "\n\r0x" + Hex8(0x09 | 0x16 << 8 | 0x23 << 16 | 0x30u << 24) + "\n\r>");
  const SambaRecording r = monitor.Snapshot();
  EXPECT_EQ(r.commands, std::vector<std::string>{"w00080700,4#"});  // the log starts over ...
  EXPECT_EQ(FlashPage(r, 7), PagePattern(9));                       // ... the flash does not
  monitor.Stop();
  EXPECT_TRUE(second.SeesHangUp(3000));
  monitor.Stop();  // a second Stop is harmless
  EXPECT_FALSE(monitor.Start());
}

}  // namespace
}  // namespace kestrune::sim
