// SPDX-License-Identifier: MIT
// Whole sessions through the real engine and MIDI transport against the simulated unit behind a
// MIDI device: over the loopback MIDI system, and over a real one (a private JACK server, the
// ALSA sequencer where the machine has it).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bam_image.h"
#include "jack_server.h"
#include "midi_device.h"
#include "midi_unit.h"
#include "platform/event_pump.h"
#include "platform/message_box.h"
#include "platform/midi_loopback.h"
#include "platform/profile.h"
#include "protocol/protocol_engine.h"
#include "recording_sender.h"
#include "short_limits.h"
#include "test_env.h"
#include "transport/midi_transport.h"
#include "updates/bam_transfer.h"

namespace kestrune {
namespace {

using Engine = test::RecordingSender;

// The loopback MIDI system with the one device the unit serves.
struct Loopback {
  MidiLoopback loop;
  MidiDeviceEnd& end = loop.AddDevice("USB Audio Device");
};

// A simulated unit serving `end`, and the program's side: an engine with a MIDI transport on
// whatever MIDI system the context gives, a pump, a message-box recorder. The engine waits
// for replies as long as the real limits say, but lets the identity stand only briefly.
struct Session {
  sim::MidiUnit unit;
  test::TempDir dir;
  test::TestContext context;
  RecorderMessageBox boxes;
  ScopedMessageBox scopedBoxes{context.boxes, boxes};
  Engine engine;
  std::vector<std::string> printed;
  StatusPrinter printer = [this](const char* format, const char* argument) {
    printed.push_back(FormatStatus(format, argument));
  };

  explicit Session(MidiDeviceEnd& end, sim::MidiUnitOptions options = {},
                   const ProtocolLimits& limits = test::ShortPauses())
      : unit(std::move(options)), engine(context.run, dir / "romsend.txt", limits) {
    EXPECT_TRUE(unit.Start(end));
    engine.SetDriver(std::make_unique<MidiTransport>(context.run));
  }
  // The same over the loopback's MIDI system.
  explicit Session(Loopback& link, sim::MidiUnitOptions options = {},
                   const ProtocolLimits& limits = test::ShortPauses())
      : Session(link.end, std::move(options), limits) {
    context.run.midiPorts = link.loop.PortsFactory();
  }
  ~Session() {
    engine.SetDriver(nullptr);
    unit.Stop();
  }
  int SendBam(const bamgen::BamImage& image) {
    const std::vector<uint8_t> bytes = bamgen::BuildBam(image);
    test::WriteFileBytes(dir / "update.bam", std::string(bytes.begin(), bytes.end()));
    BamFileTransfer desc(dir / "update.bam", engine);
    if (const int contact = engine.Contact(); contact != 0) return contact;
    const int result = desc.Transfer(printer);
    engine.CloseDriver();
    return result;
  }
  bool Shown(const std::string& text) const {
    return std::find(engine.statuses.begin(), engine.statuses.end(), text) != engine.statuses.end();
  }
};

// The image the unit took, block by block, must be the file's.
void ExpectImage(const sim::MidiRecording& r, const bamgen::BamImage& image) {
  EXPECT_EQ(r.core.imageHeader, bamgen::ImageHeader(image));
  std::vector<std::vector<uint8_t>> blocks(image.blocks.size());
  for (const sim::DataChunk& c : r.core.chunks) {
    EXPECT_EQ(c.tag, image.tag);
    EXPECT_LE(c.data.size(), 1536u);
    ASSERT_LT(c.block, blocks.size());
    blocks[c.block].insert(blocks[c.block].end(), c.data.begin(), c.data.end());
  }
  for (size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(blocks[i], image.blocks[i].data) << "block " << i;
  EXPECT_EQ(r.core.commands.front(), sim::kCmdOpen);
  EXPECT_EQ(r.core.LastCommand(), sim::kCmdClose);
  EXPECT_EQ(r.core.badFrames, 0u);
}

TEST(MidiSession, BamImageArrivesByteForByte) {
  Loopback link;
  Session s(link);
  const bamgen::BamImage image = bamgen::SampleBam();
  ASSERT_EQ(s.SendBam(image), 0) << s.engine.MessageText();
  const sim::MidiRecording r = s.unit.Snapshot();
  ExpectImage(r, image);
  EXPECT_EQ(r.identityRequests, 1u);
  EXPECT_TRUE(s.Shown("Awaiting contact"));
  EXPECT_TRUE(s.Shown("LumoTessel Serial: 4711 0815"));
  EXPECT_EQ(s.printed.back(), "Transfer Successful");
  // The identity line goes to the result log as well.
  EXPECT_NE(test::ReadFileBytes(s.dir / "romsend.txt").find("LumoTessel Serial: 4711 0815\r\n"), std::string::npos);
}

TEST(MidiSession, IdentityOfTheUnit) {
  using Id = std::optional<std::string>;
  const struct {
    const char* name;
    Id type, app, id, serial;
    int result;
    const char* status;  // the last status text
    bool box;
  } rows[] = {
      {"type 13", "13", "Vesk Boot", "77", "A1", 0, "VeskTessel Serial: 77 A1", false},
      {"no TypeNumber", {}, "Boot", "5", "6", 0, "AnonTessel Serial: 5 6", false},
      {"unknown TypeNumber", "9", "Boot", "5", "6", 0, "UnknownTessel Serial: 5 6", false},
      {"no IdNumber", "15", "Boot", {}, "6", 0, "K7 Tessel Serial: Unknown", false},
      {"no AppName", "10", {}, "1", {}, 0, "GenericTessel Serial: 1 ", false},
      {"application running", "12", "Lumo App", "1", "2", 1, "Awaiting contact", true},
  };
  for (const auto& row : rows) {
    Loopback link;
    sim::MidiUnitOptions options;
    options.identity = {row.type, row.app, row.id, row.serial, 0x10};
    Session s(link, options);
    EXPECT_EQ(s.engine.Contact(), row.result) << row.name;
    EXPECT_EQ(s.engine.statuses.back(), row.status) << row.name;
    const auto boxes = s.boxes.Boxes();
    ASSERT_EQ(boxes.size(), row.box ? 1u : 0u) << row.name;
    if (row.box) {
      EXPECT_EQ(boxes[0].text, "Hold down middle button while restarting");
      EXPECT_EQ(boxes[0].title, "Pedal is not in UPDATE Mode");
      EXPECT_EQ(boxes[0].style & kBoxIconMask, kBoxIconError);
    }
    s.engine.CloseDriver();
  }
}

TEST(MidiSession, FailuresOfTheLink) {
  {  // no MIDI system at all
    Loopback link;
    link.loop.SetReachable(false);
    Session s(link);
    EXPECT_EQ(s.engine.Contact(), 1);
    EXPECT_EQ(s.engine.statuses.back(), "MIDI port is faulty or in use by another program !!");
    EXPECT_EQ(s.engine.Driver()->Open(), 6);
    EXPECT_EQ(s.engine.ErrorText(6), "no device driver present");
  }
  {  // a unit that does not answer the identity request: the wait is a shortened one
    Loopback link;
    Session s(link, {}, test::ShortLimits());
    s.unit.SetAnswerIdentity(false);
    EXPECT_EQ(s.engine.Contact(), 100);
    EXPECT_EQ(s.engine.statuses.back(), "Communication startup failed !!");
    EXPECT_EQ(s.unit.Snapshot().identityRequests, 1u);
  }
}

TEST(MidiSession, UnitErrorsAndTheirTexts) {
  {  // a failed erase, with the code's own text
    Loopback link;
    Session s(link);
    s.unit.SetReplyFault(sim::kCmdOpen, sim::Stage::kResult, {sim::ReplyFault::Kind::kCode, 4, "", 1});
    EXPECT_EQ(s.SendBam(bamgen::SampleBam()), 4);
    EXPECT_TRUE(s.Shown("Bad Flash Erase (Open Operation Error 4)"));
  }
  {  // the unit's own text travels in the same message as its reply and heads the line
    Loopback link;
    Session s(link);
    s.unit.SetReplyFault(sim::kCmdSendData, sim::Stage::kResult,
                         {sim::ReplyFault::Kind::kCode, 3, "flash cell 0x1F00 stuck", 1});
    EXPECT_EQ(s.SendBam(bamgen::SampleBam()), 3);
    EXPECT_TRUE(s.Shown("flash cell 0x1F00 stuck (Send Data Operation Error 3)"));
  }
  {  // bad checksums are resent, the image still arrives whole
    Loopback link;
    Session s(link);
    s.unit.SetBadChecksumFrames(2);
    const bamgen::BamImage image = bamgen::SampleBam();
    EXPECT_EQ(s.SendBam(image), 0);
    EXPECT_EQ(s.engine.Retries(), 2);
    const sim::MidiRecording r = s.unit.Snapshot();
    EXPECT_EQ(r.core.badFrames, 2u);
    EXPECT_EQ(r.core.imageHeader, bamgen::ImageHeader(image));
  }
}

TEST(MidiSession, StopCutsTheEraseWaitShort) {
  Loopback link;
  Session s(link);
  s.unit.SetEraseDelay(90000);
  // The user presses Stop while the unit erases: the pump runs the click inside the wait.
  s.engine.onText = [&](const std::string& text) {
    if (text == "Erasing") s.context.headlessPump.Post([&] { s.engine.SetCancel(1); });
  };
  EXPECT_EQ(s.SendBam(bamgen::SampleBam()), kCancelledByUser);
  EXPECT_TRUE(s.Shown("Cancelled by User"));
}

TEST(MidiSession, RebootRequests) {
  Loopback link;
  Session s(link);
  // The main page's Reboot button: a bare 'V' answered by a one-byte 'W'.
  EXPECT_EQ(s.engine.MidiCommand('V', nullptr, 0, 1000), 'W');
  EXPECT_EQ(s.unit.Snapshot().rebootRequests, 1u);
  s.unit.SetAnswerReboot(false);
  EXPECT_EQ(s.engine.MidiCommand('V', nullptr, 0, 1000), 0);
  // The framed Reboot command.
  EXPECT_EQ(s.engine.Reboot(), 0);
  EXPECT_EQ(s.unit.Snapshot().core.commands, std::vector<uint8_t>{sim::kCmdReboot});
  s.engine.CloseDriver();
}

// A BAM image through RtMidi ports of a real MIDI system to the unit behind virtual ports.
void TransferOverRealPorts(MidiApi api, const std::string& device) {
  // The profile the session's context reads.
  Profile profile(ProgramProfilePath(test::TestProgramPath()));
  profile.WriteString("MIDI", "In", device);
  profile.WriteString("MIDI", "Out", device);
  int error = 0;
  std::unique_ptr<MidiDeviceEnd> end = sim::OpenMidiDevice(device, api, &error);
  ASSERT_TRUE(end) << "error " << error;
  {
    Session s(*end);
    bamgen::BamImage image = bamgen::SampleBam();
    image.blocks.push_back({0x30000, 3, bamgen::PatternBytes(20000, 5)});
    ASSERT_EQ(s.SendBam(image), 0) << s.engine.MessageText();
    ExpectImage(s.unit.Snapshot(), image);
    EXPECT_TRUE(s.Shown("LumoTessel Serial: 4711 0815"));
    EXPECT_EQ(s.engine.MidiCommand('V', nullptr, 0, 5000), 'W');
  }
  profile.WriteString("MIDI", "In", "");
  profile.WriteString("MIDI", "Out", "");
}

TEST(MidiSessionOnRealPorts, Jack) {
  if (!sim::JackServer::Installed()) GTEST_SKIP() << "jackd is not installed";
  sim::JackServer server;
  std::string why;
  ASSERT_TRUE(server.Start(&why)) << why;
  test::ScopedEnv jack("JACK_DEFAULT_SERVER", server.Name().c_str());
  test::ScopedEnv api("KESTRUNE_MIDI_API", "jack");
  TransferOverRealPorts(MidiApi::kJack, "USB Audio Device");
}

TEST(MidiSessionOnRealPorts, AlsaSequencer) {
  if (access("/dev/snd/seq", R_OK | W_OK) != 0) GTEST_SKIP() << "no ALSA sequencer (/dev/snd/seq)";
  test::ScopedEnv api("KESTRUNE_MIDI_API", "alsa");
  // A name of its own, so that parallel tests and real interfaces do not meet.
  TransferOverRealPorts(MidiApi::kAlsa, "Kestrune Test " + std::to_string(getpid()));
}

}  // namespace
}  // namespace kestrune
