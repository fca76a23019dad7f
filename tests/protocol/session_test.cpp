// SPDX-License-Identifier: MIT
// The contact phase over a scripted transport: serial wake-up and line synchronisation, the
// MIDI identity reply, the reboot requests, and the pacing of status texts.
#include <gtest/gtest.h>

#include "platform/message_box.h"
#include "platform/tick_count.h"
#include "protocol/protocol_engine.h"
#include "recording_sender.h"
#include "scripted_driver.h"
#include "test_env.h"

namespace kestrune {
namespace {

using test::ScriptedDriver;

using Engine = test::RecordingSender;

TEST(SenderContact, SerialContactAndSynchronisation) {
  const struct {
    const char* name;
    std::vector<std::string> replies;
    int result;
    std::vector<std::string> statusesEnd;
  } rows[] = {
      {"contact then '#'", {"\x01", "#"}, 0, {"Contact made", "Setting Baud Rate (19)", "Success"}},
      {"zero is not contact",
       {std::string(1, '\0'), "\x05", "#"},
       0,
       {"Awaiting contact 10", "Contact made", "Setting Baud Rate (19)", "Success"}},
      {"other bytes keep the same prompt",
       {"\x01", "x", "y", "z", "#", "junk"},
       0,
       {"Contact made", "Setting Baud Rate (19)", "Success"}},
      {"no answer to a prompt", {"\x01", "", "#"}, 0, {"Setting Baud Rate (19)", "Setting Baud Rate (18)", "Success"}},
  };
  for (const auto& row : rows) {
    Engine e;
    auto* d = new ScriptedDriver;
    e.SetDriver(std::unique_ptr<Transport>(d));
    for (const auto& r : row.replies) d->Queue(r);
    EXPECT_EQ(e.Contact(), row.result) << row.name;
    ASSERT_GE(e.statuses.size(), row.statusesEnd.size()) << row.name;
    EXPECT_EQ(std::vector<std::string>(e.statuses.end() - static_cast<long>(row.statusesEnd.size()), e.statuses.end()),
              row.statusesEnd)
        << row.name;
    EXPECT_EQ(d->writes.front(), "\x06") << row.name;
    EXPECT_EQ(d->writes.back(), "A") << row.name;
  }
}

TEST(SenderContact, SerialFailures) {
  {  // ten silent seconds
    Engine e;
    auto* d = new ScriptedDriver;
    e.SetDriver(std::unique_ptr<Transport>(d));
    EXPECT_EQ(e.Contact(), 1);
    EXPECT_EQ(e.statuses.back(), "Communication startup failed !!");
    EXPECT_EQ(e.statuses[e.statuses.size() - 2], "Awaiting contact 1");
    EXPECT_EQ(d->readLimits.size(), 10u);
  }
  {  // cancel during the wait
    Engine e;
    auto* d = new ScriptedDriver;
    e.SetDriver(std::unique_ptr<Transport>(d));
    d->duringRead = [&] { e.SetCancel(1); };
    EXPECT_EQ(e.Contact(), 101);
    EXPECT_EQ(e.statuses.back(), "Cancelled");
  }
  {  // the port cannot be opened
    Engine e;
    auto* d = new ScriptedDriver;
    d->openResult = 1;
    e.SetDriver(std::unique_ptr<Transport>(d));
    EXPECT_EQ(e.Contact(), 1);
    EXPECT_EQ(e.statuses, std::vector<std::string>{"Serial port is faulty or in use by another program !!"});
  }
  {  // the wake-up byte cannot be written
    Engine e;
    auto* d = new ScriptedDriver;
    d->writeResult = 102;
    e.SetDriver(std::unique_ptr<Transport>(d));
    EXPECT_EQ(e.Contact(), 1);
    EXPECT_EQ(e.statuses.back(), "Unknown E102");
  }
  {  // twenty prompts without '#'
    Engine e;
    auto* d = new ScriptedDriver;
    e.SetDriver(std::unique_ptr<Transport>(d));
    d->Queue("\x01");
    EXPECT_EQ(e.Contact(), 1);
    EXPECT_EQ(e.statuses.back(), "Failure");
    EXPECT_EQ(e.statuses[e.statuses.size() - 2], "Setting Baud Rate (0)");
    EXPECT_EQ(std::count(d->writes.begin(), d->writes.end(), "U"), 20);
  }
  {  // cancel during synchronisation
    Engine e;
    auto* d = new ScriptedDriver;
    e.SetDriver(std::unique_ptr<Transport>(d));
    d->Queue("\x01");
    d->onWrite = [&](const std::string& w) {
      if (w == "U") e.SetCancel(1);
    };
    EXPECT_EQ(e.Contact(), 1);
    EXPECT_EQ(e.statuses.back(), "Cancelled");
  }
}

std::string Identity(const char* type, const char* app, const char* id, const char* serial) {
  std::string xml = "<?xml version=\"1.0\"?><plist><dict>";
  auto add = [&](const char* key, const char* value) {
    if (value) xml += std::string("<key>") + key + "</key><string>" + value + "</string>";
  };
  add("TypeNumber", type);
  add("AppName", app);
  add("IdNumber", id);
  add("SerialNumber", serial);
  return xml + "</dict></plist>";
}

TEST(SenderContact, MidiIdentityReply) {
  const struct {
    const char* name;
    std::string reply;
    uint8_t type;
    int result;
    std::string status;
    bool box;
  } rows[] = {
      {"Lumo", Identity("12", "UnitBoot", "77", "A1"), 2, 0, "LumoTessel Serial: 77 A1", false},
      {"K7 keeps its blank", Identity(" +15x", "xBootx", "1", nullptr), 2, 0, "K7 Tessel Serial: 1 ", false},
      {"unknown number", Identity("9", "Boot", "5", "6"), 2, 0, "UnknownTessel Serial: 5 6", false},
      {"no TypeNumber, no AppName", Identity(nullptr, nullptr, "5", "6"), 2, 0, "AnonTessel Serial: 5 6", false},
      {"no IdNumber", Identity("10", "Boot", nullptr, "6"), 2, 0, "GenericTessel Serial: Unknown", false},
      {"not in update mode", Identity("12", "Application", "1", "2"), 2, 1, "Awaiting contact", true},
      {"boot in lower case", Identity("12", "unitboot", "1", "2"), 2, 1, "Awaiting contact", true},
      {"ten bytes", "0123456789", 2, 100, "Communication startup failed !!", false},
      {"wrong received type", Identity("12", "Boot", "1", "2"), 1, 100, "Communication startup failed !!", false},
  };
  for (const auto& row : rows) {
    RecorderMessageBox boxes;
    test::TempDir dir;
    // The identity stands only briefly after contact; every wait for a reply is the real one.
    ProtocolLimits limits;
    limits.identityShownMs = 10;
    Engine e(dir / "romsend.txt", limits);
    ScopedMessageBox use(e.ownContext->boxes, boxes);
    auto* d = new ScriptedDriver;
    d->midi = 1;
    e.SetDriver(std::unique_ptr<Transport>(d));
    d->Queue(row.reply, row.type);
    EXPECT_EQ(e.Contact(), row.result) << row.name;
    EXPECT_EQ(e.statuses.back(), row.status) << row.name;
    ASSERT_EQ(d->writes.size(), 1u);
    EXPECT_EQ(d->writes[0], "");
    EXPECT_EQ(d->writeTypes[0], 'R');
    EXPECT_EQ(d->readLimits[0], 5000u);
    EXPECT_EQ(boxes.Boxes().size(), row.box ? 1u : 0u) << row.name;
    if (row.box) {
      EXPECT_EQ(boxes.Boxes()[0].text, "Hold down middle button while restarting");
      EXPECT_EQ(boxes.Boxes()[0].title, "Pedal is not in UPDATE Mode");
      EXPECT_EQ(boxes.Boxes()[0].style, kBoxOk | kBoxIconError);
    }
    if (row.result == 0) {
      EXPECT_EQ(d->messageType, 'T');
      EXPECT_NE(test::ReadFileBytes(dir / "romsend.txt").find(row.status + "\r\n"), std::string::npos);
    }
  }
  Engine e;
  auto* d = new ScriptedDriver;
  d->midi = 1;
  d->openResult = 2;
  e.SetDriver(std::unique_ptr<Transport>(d));
  EXPECT_EQ(e.Contact(), 1);
  EXPECT_EQ(e.statuses.back(), "MIDI port is faulty or in use by another program !!");
}

TEST(SenderSession, RebootAndBareRequests) {
  Engine e;
  auto* d = new ScriptedDriver;
  d->midi = 1;
  e.SetDriver(std::unique_ptr<Transport>(d));
  d->Queue("W", 'W');
  EXPECT_EQ(e.MidiCommand('V', nullptr, 0, 1000), 'W');
  EXPECT_EQ(d->writeTypes.back(), 'V');
  EXPECT_EQ(d->closes, 1);
  d->Queue("WX", 'W');  // more than one byte: not an answer
  EXPECT_EQ(e.MidiCommand('V', nullptr, 0, 1000), 0);
  d->openResult = 6;
  EXPECT_EQ(e.MidiCommand('V', nullptr, 0, 1000), 6);

  Engine s;
  auto* serial = new ScriptedDriver;
  s.SetDriver(std::unique_ptr<Transport>(serial));
  s.SetCancel(1);
  serial->Queue(test::Reply(0));
  serial->Queue(test::Reply(0));
  EXPECT_EQ(s.Reboot(), 0);  // Reboot clears an earlier cancel
  EXPECT_EQ(serial->writes.back(), std::string("\x00\x06\x07\x00\x00\x00\xF3", 7));
}

TEST(MySender, StatusTextsStandHalfASecondApartAndPercentIsShownAsIs) {
  test::TestContext context;
  ProtocolEngine e(context.run, "romsend.txt");
  std::vector<std::pair<std::string, uint32_t>> shown;
  e.SetStatusPrinter([&](const char* format, const char* arg) {
    EXPECT_STREQ(format, "%s");
    shown.emplace_back(arg, TickCount());
  });
  e.ShowStatus("Awaiting contact", 1);
  e.ShowStatus("Contact made", 1);
  e.ShowStatus("100% sure", 1);
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_GE(TickDiff(shown[1].second, shown[0].second), 500);
  EXPECT_GE(TickDiff(shown[2].second, shown[1].second), 500);
  EXPECT_EQ(shown[2].first, "100% sure");
}

TEST(SenderLog, ResultLogIsAppendedWithCrLfAndSkippedWhenUnopenable) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "romsend.txt", "earlier run\r\n");
  {
    Engine e(dir / "romsend.txt");
    e.Log("line %d", 1);
    e.Log("%s", std::string(400, 'w').c_str());
  }
  EXPECT_EQ(test::ReadFileBytes(dir / "romsend.txt"), "earlier run\r\nline 1\r\n" + std::string(255, 'w') + "\r\n");
  Engine nowhere("/proc/no-such-folder/romsend.txt");
  nowhere.Log("dropped");  // no crash, nothing to see
}

}  // namespace
}  // namespace kestrune
