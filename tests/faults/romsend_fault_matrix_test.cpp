// SPDX-License-Identifier: MIT
// romsend's rows of the fault matrix: BAM and Intel HEX over a serial line and BAM over MIDI,
// sent from the real main page (offscreen) through the real engine and transports to the
// simulated unit, which fails at one phase of the transfer. Every row checks the final status
// text, that the send ends within the protocol's own limits, that the port or MIDI device is
// free for the next send at once, that the result log and the diagnostic log only grew, and
// that the profile kept every entry except the last file sent.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/main_page.h"
#include "app/qt_event_pump.h"
#include "app/romsend_app.h"
#include "app/update_list.h"
#include "bam_image.h"
#include "midi_unit.h"
#include "platform/diagnostic_log.h"
#include "platform/event_pump.h"
#include "platform/message_box.h"
#include "platform/midi_loopback.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "platform/tick_count.h"
#include "protocol/protocol_engine.h"
#include "qt_app.h"
#include "romsend_plumbing.h"
#include "setup/romsend_sheet.h"
#include "short_limits.h"
#include "simulated_unit.h"
#include "test_env.h"
#include "transport/midi_transport.h"
#include "transport/serial_transport.h"

namespace kestrune {
namespace {

enum class Transport { kBamOverSerial, kHexOverSerial, kBamOverMidi };
enum class Fault {
  kUnitSilent,
  kHangsUp,
  kSendsGarbage,
  kAnswersErrorCode,
  kBadChecksumsThenRecovers,
  kDoublesReplies,
  kDamagesReplyChecksum,
  kDamagesReplyHeader,
};
enum class Phase { kContact, kSync, kOpen, kData, kClose, kStartRecord, kMiddleLine };

struct Row {
  Transport transport;
  Fault fault;
  Phase phase;
  const char* finalText;  // the status line at the end, exactly
  int result;             // what the send returns
  unsigned protocolMs;    // what the protocol's own time limits let the failing phase take
  int resends;            // frames the engine resent (the unit's bad-checksum answers)
};

// The engine runs on shortened limits, so that the rows sit through their timeouts quickly.
const ProtocolLimits kLimits = test::ShortLimits();
// The protocol's time limits that a failing phase can use up.
const unsigned kContactMs = 10 * kLimits.contactWaitMs;  // ten waits for the wake-up answer
const unsigned kSyncMs = 20 * kLimits.promptWaitMs;      // twenty 'U' prompts, each answered in its wait
const unsigned kIdentityMs = kLimits.identityReplyMs;    // the MIDI identity reply
const unsigned kHexReplyMs = kLimits.hexReplyMs;         // a start record's or a line's verdict
const unsigned kAckMs = kLimits.ackMs;                   // a frame's acknowledgement
// Besides the failing phase a send makes contact and shows up to two dozen status texts, each
// of which may stand the status gap before the next; plus slack for a loaded machine, which
// stays below the real limits' waits so that a wait that ignored the shortened limit shows.
const unsigned kAllowanceMs = 24 * kLimits.statusGapMs + 5000;

// clang-format off
const Row kRows[] = {
    // BAM over a serial line. The line synchronisation has no answer but '#' (anything else is
    // noise: the garbage row), so there is no error code at Sync; the wake-up byte and the
    // prompts carry no checksum, so bad checksums exist only from Open on.
    {Transport::kBamOverSerial, Fault::kUnitSilent, Phase::kContact, "Communication startup failed !!", 1, kContactMs, 0},
    {Transport::kBamOverSerial, Fault::kUnitSilent, Phase::kSync, "Failure", 1, kSyncMs, 0},
    {Transport::kBamOverSerial, Fault::kUnitSilent, Phase::kOpen, "RS232 timeout  (Open Command Ack Error 100)", 100, kAckMs, 0},
    // The failed data frame is followed by a Close, which the silent unit does not answer either.
    {Transport::kBamOverSerial, Fault::kUnitSilent, Phase::kData, "RS232 timeout  (Send Data Command Ack Error 100)", 100, 2 * kAckMs, 0},
    // Close's failures are not reported: only the transfer's own end text shows.
    {Transport::kBamOverSerial, Fault::kUnitSilent, Phase::kClose, "Transfer Failed ! (E100)", 100, kAckMs, 0},
    // A line that hangs up is noticed at once: before frames the port's own fault, in a frame
    // the disconnect code.
    {Transport::kBamOverSerial, Fault::kHangsUp, Phase::kContact, "Serial port is faulty or in use by another program !!", 1, 0, 0},
    {Transport::kBamOverSerial, Fault::kHangsUp, Phase::kSync, "Serial port is faulty or in use by another program !!", 1, 0, 0},
    {Transport::kBamOverSerial, Fault::kHangsUp, Phase::kOpen, "RS232 disconnected  (Open Command Ack Error 102)", 102, 0, 0},
    {Transport::kBamOverSerial, Fault::kHangsUp, Phase::kData, "RS232 disconnected  (Send Data Command Ack Error 102)", 102, 0, 0},
    {Transport::kBamOverSerial, Fault::kHangsUp, Phase::kClose, "Transfer Failed ! (E102)", 102, 0, 0},
    // Any byte but 0x00 answers the wake-up; the line synchronisation that follows sorts the
    // line out, so noise at contact costs nothing.
    {Transport::kBamOverSerial, Fault::kSendsGarbage, Phase::kContact, "Transfer Successful", 0, 0, 0},
    {Transport::kBamOverSerial, Fault::kSendsGarbage, Phase::kSync, "Failure", 1, kSyncMs, 0},
    // Noise in front of a reply shifts it: it no longer begins 00 06. Such a reply, a doubled
    // one and a damaged one are told and logged for Close too.
    {Transport::kBamOverSerial, Fault::kSendsGarbage, Phase::kOpen, "Bad Reply Header (Open Command Ack Error 12)", 12, 0, 0},
    {Transport::kBamOverSerial, Fault::kSendsGarbage, Phase::kData, "Bad Reply Header (Send Data Command Ack Error 12)", 12, 0, 0},
    {Transport::kBamOverSerial, Fault::kSendsGarbage, Phase::kClose, "Bad Reply Header (Close Command Ack Error 12)", 12, 0, 0},
    // Every reply twice: the second acknowledgement would pass for the result, so the real
    // result waiting behind it ends the frame.
    {Transport::kBamOverSerial, Fault::kDoublesReplies, Phase::kOpen, "Stray Data (Open Operation Error 11)", 11, 0, 0},
    {Transport::kBamOverSerial, Fault::kDoublesReplies, Phase::kData, "Stray Data (Send Data Operation Error 11)", 11, 0, 0},
    {Transport::kBamOverSerial, Fault::kDoublesReplies, Phase::kClose, "Stray Data (Close Operation Error 11)", 11, 0, 0},
    {Transport::kBamOverSerial, Fault::kDamagesReplyChecksum, Phase::kOpen, "Bad Reply Checksum (Open Operation Error 13)", 13, 0, 0},
    {Transport::kBamOverSerial, Fault::kDamagesReplyChecksum, Phase::kData, "Bad Reply Checksum (Send Data Operation Error 13)", 13, 0, 0},
    {Transport::kBamOverSerial, Fault::kDamagesReplyChecksum, Phase::kClose, "Bad Reply Checksum (Close Operation Error 13)", 13, 0, 0},
    {Transport::kBamOverSerial, Fault::kDamagesReplyHeader, Phase::kOpen, "Bad Reply Header (Open Operation Error 12)", 12, 0, 0},
    {Transport::kBamOverSerial, Fault::kDamagesReplyHeader, Phase::kData, "Bad Reply Header (Send Data Operation Error 12)", 12, 0, 0},
    {Transport::kBamOverSerial, Fault::kDamagesReplyHeader, Phase::kClose, "Bad Reply Header (Close Operation Error 12)", 12, 0, 0},
    // A unit that is not awake answers the wake-up byte with 0x00.
    {Transport::kBamOverSerial, Fault::kAnswersErrorCode, Phase::kContact, "Communication startup failed !!", 1, kContactMs, 0},
    {Transport::kBamOverSerial, Fault::kAnswersErrorCode, Phase::kOpen, "Bad Flash Erase (Open Operation Error 4)", 4, 0, 0},
    {Transport::kBamOverSerial, Fault::kAnswersErrorCode, Phase::kData, "cell stuck at 0x011200 (Send Data Operation Error 3)", 3, 0, 0},
    {Transport::kBamOverSerial, Fault::kAnswersErrorCode, Phase::kClose, "Transfer Failed ! (E4010)", 4010, 0, 0},
    {Transport::kBamOverSerial, Fault::kBadChecksumsThenRecovers, Phase::kOpen, "Transfer Successful (3 retries)", 0, 0, 3},
    // Five refusals in a row: the most a frame may be resent.
    {Transport::kBamOverSerial, Fault::kBadChecksumsThenRecovers, Phase::kData, "Transfer Successful (5 retries)", 0, 0, 5},
    {Transport::kBamOverSerial, Fault::kBadChecksumsThenRecovers, Phase::kClose, "Transfer Successful (3 retries)", 0, 0, 3},

    // Intel HEX over a serial line; its contact and line synchronisation are the BAM rows'.
    // HEX problems show only as status texts: the send returns 0 once the file opened.
    {Transport::kHexOverSerial, Fault::kUnitSilent, Phase::kStartRecord, "Unknown Error", 0, kHexReplyMs, 0},
    {Transport::kHexOverSerial, Fault::kUnitSilent, Phase::kMiddleLine, "Unknown Error", 0, kHexReplyMs, 0},
    {Transport::kHexOverSerial, Fault::kHangsUp, Phase::kStartRecord, "Serial port is faulty or in use by another program !!", 0, 0, 0},
    {Transport::kHexOverSerial, Fault::kHangsUp, Phase::kMiddleLine, "Serial port is faulty or in use by another program !!", 0, 0, 0},
    // The noise starts with 0x00, which is no verdict: the transfer ends without a resend.
    {Transport::kHexOverSerial, Fault::kSendsGarbage, Phase::kStartRecord, "Bad Verdict 0x00 around 0x0", 0, 0, 0},
    {Transport::kHexOverSerial, Fault::kSendsGarbage, Phase::kMiddleLine, "Bad Verdict 0x00 around 0x5cc", 0, 0, 0},
    // A verdict sent twice is found waiting before the next line goes out.
    {Transport::kHexOverSerial, Fault::kDoublesReplies, Phase::kStartRecord, "Stray Data around 0x0", 0, 0, 0},
    {Transport::kHexOverSerial, Fault::kDoublesReplies, Phase::kMiddleLine, "Stray Data around 0x5cc", 0, 0, 0},
    {Transport::kHexOverSerial, Fault::kAnswersErrorCode, Phase::kStartRecord, "Bad Msg", 0, 0, 0},
    // '!' seven times: the 33rd line is refused for good; 0x5cc is the file offset just past it
    // (32 lines of 45 characters, then the line's 43 and its CR).
    {Transport::kHexOverSerial, Fault::kAnswersErrorCode, Phase::kMiddleLine, "Bad Result around 0x5cc", 0, 0, 0},
    // The start record is never sent again: the unit's '-' ends the transfer, and only the next
    // send (the port check below) shows the unit recovered.
    {Transport::kHexOverSerial, Fault::kBadChecksumsThenRecovers, Phase::kStartRecord, "Bad Send", 0, 0, 0},
    {Transport::kHexOverSerial, Fault::kBadChecksumsThenRecovers, Phase::kMiddleLine, "Success!", 0, 0, 0},

    // BAM over MIDI through the loopback. MIDI has no line synchronisation (no Sync phase), and
    // the identity exchange carries no checksum. A MIDI link has no line to hang up: its
    // counterpart is the interface pulled out mid-send, after which the next send finds it
    // plugged in again.
    {Transport::kBamOverMidi, Fault::kUnitSilent, Phase::kContact, "Communication startup failed !!", 100, kIdentityMs, 0},
    {Transport::kBamOverMidi, Fault::kUnitSilent, Phase::kOpen, "Comms timeout (Open Command Ack Error 100)", 100, kAckMs, 0},
    {Transport::kBamOverMidi, Fault::kUnitSilent, Phase::kData, "Comms timeout (Send Data Command Ack Error 100)", 100, 2 * kAckMs, 0},
    {Transport::kBamOverMidi, Fault::kUnitSilent, Phase::kClose, "Transfer Failed ! (E100)", 100, kAckMs, 0},
    {Transport::kBamOverMidi, Fault::kHangsUp, Phase::kContact, "Communication startup failed !!", 100, kIdentityMs, 0},
    {Transport::kBamOverMidi, Fault::kHangsUp, Phase::kOpen, "Comms timeout (Open Command Ack Error 100)", 100, kAckMs, 0},
    {Transport::kBamOverMidi, Fault::kHangsUp, Phase::kData, "Comms timeout (Send Data Command Ack Error 100)", 100, 2 * kAckMs, 0},
    {Transport::kBamOverMidi, Fault::kHangsUp, Phase::kClose, "Transfer Failed ! (E100)", 100, kAckMs, 0},
    // Another maker's SysEx where the identity reply should be: taken, and not an identity.
    {Transport::kBamOverMidi, Fault::kSendsGarbage, Phase::kContact, "Communication startup failed !!", 100, 0, 0},
    {Transport::kBamOverMidi, Fault::kSendsGarbage, Phase::kOpen, "Bad Message 1 (Open Command Ack Error 9)", 9, 0, 0},
    {Transport::kBamOverMidi, Fault::kSendsGarbage, Phase::kData, "Bad Message 1 (Send Data Command Ack Error 9)", 9, 0, 0},
    {Transport::kBamOverMidi, Fault::kSendsGarbage, Phase::kClose, "Transfer Failed ! (E9)", 9, 0, 0},
    // The unit says it runs its application, not the boot loader: a message box, and the status
    // line keeps "Awaiting contact".
    {Transport::kBamOverMidi, Fault::kAnswersErrorCode, Phase::kContact, "Awaiting contact", 1, 0, 0},
    {Transport::kBamOverMidi, Fault::kAnswersErrorCode, Phase::kOpen, "Bad Flash Erase (Open Operation Error 4)", 4, 0, 0},
    {Transport::kBamOverMidi, Fault::kAnswersErrorCode, Phase::kData, "cell stuck at 0x011200 (Send Data Operation Error 3)", 3, 0, 0},
    {Transport::kBamOverMidi, Fault::kAnswersErrorCode, Phase::kClose, "Transfer Failed ! (E4010)", 4010, 0, 0},
    {Transport::kBamOverMidi, Fault::kBadChecksumsThenRecovers, Phase::kOpen, "Transfer Successful (3 retries)", 0, 0, 3},
    {Transport::kBamOverMidi, Fault::kBadChecksumsThenRecovers, Phase::kData, "Transfer Successful (5 retries)", 0, 0, 5},
    {Transport::kBamOverMidi, Fault::kBadChecksumsThenRecovers, Phase::kClose, "Transfer Successful (3 retries)", 0, 0, 3},
};
// clang-format on

const char* TransportName(Transport t) {
  switch (t) {
    case Transport::kBamOverSerial:
      return "BamOverSerial";
    case Transport::kHexOverSerial:
      return "HexOverSerial";
    case Transport::kBamOverMidi:
      return "BamOverMidi";
  }
  return "";
}

const char* FaultName(Fault f) {
  switch (f) {
    case Fault::kUnitSilent:
      return "UnitSilent";
    case Fault::kHangsUp:
      return "HangsUp";
    case Fault::kSendsGarbage:
      return "SendsGarbage";
    case Fault::kAnswersErrorCode:
      return "AnswersErrorCode";
    case Fault::kBadChecksumsThenRecovers:
      return "BadChecksumsThenRecovers";
    case Fault::kDoublesReplies:
      return "DoublesReplies";
    case Fault::kDamagesReplyChecksum:
      return "DamagesReplyChecksum";
    case Fault::kDamagesReplyHeader:
      return "DamagesReplyHeader";
  }
  return "";
}

const char* PhaseName(Phase p) {
  switch (p) {
    case Phase::kContact:
      return "Contact";
    case Phase::kSync:
      return "Sync";
    case Phase::kOpen:
      return "Open";
    case Phase::kData:
      return "Data";
    case Phase::kClose:
      return "Close";
    case Phase::kStartRecord:
      return "StartRecord";
    case Phase::kMiddleLine:
      return "MiddleLine";
  }
  return "";
}

std::string RowName(const testing::TestParamInfo<Row>& info);

// The row as it reads in the test list.
void PrintTo(const Row& row, std::ostream* os) {
  *os << RowName({row, 0}) << " -> \"" << row.finalText << '"';
}

std::string RowName(const testing::TestParamInfo<Row>& info) {
  return std::string(TransportName(info.param.transport)) + "_" + FaultName(info.param.fault) + "_At" +
         PhaseName(info.param.phase);
}

constexpr char kBamFile[] = "Kestrune_Demo.bam";
constexpr char kHexFile[] = "Kestrune_Demo.hex";
constexpr char kMidiDevice[] = "USB Audio Device";
// Line noise in front of a reply. It starts with 0x00 so that a HEX verdict taken from it is
// final, and puts 0 into a BAM reply's length field.
const std::string kNoise("\x00\xFF\x00\xFF\x00", 5);
// The HEX line whose reply a middle-line fault replaces: the 33rd of the sample's 65.
constexpr int kMiddleLine = 32;

bool StartsWith(const std::string& text, const std::string& head) {
  return text.rfind(head, 0) == 0;
}

std::string DiagnosticLogPath() {
  return ReplaceExtension(test::TestProgramPath(), ".log");
}

// Whether a descriptor of this process still refers to `path`.
bool OpenInThisProcess(const std::string& path) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code linkError;
    if (std::filesystem::read_symlink(entry.path(), linkError) == path && !linkError) return true;
  }
  return false;
}

std::vector<std::string> SampleHexLines() {
  std::vector<std::string> lines;
  const std::string text = bamgen::SampleHex();
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find("\r\n", at);
    const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!line.empty()) lines.push_back(line);
    if (end == std::string::npos) break;
    at = end + 2;
  }
  return lines;
}

// The BAM image a unit took must be the sample's, block for block.
void ExpectBamImage(const sim::Recording& r) {
  const bamgen::BamImage image = bamgen::SampleBam();
  EXPECT_EQ(r.imageHeader, bamgen::ImageHeader(image));
  std::vector<std::vector<uint8_t>> blocks(image.blocks.size());
  for (const sim::DataChunk& c : r.chunks) {
    EXPECT_EQ(c.tag, image.tag);
    ASSERT_LT(c.block, blocks.size());
    blocks[c.block].insert(blocks[c.block].end(), c.data.begin(), c.data.end());
  }
  for (size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(blocks[i], image.blocks[i].data) << "block " << i;
  ASSERT_FALSE(r.commands.empty());
  EXPECT_EQ(r.commands.front(), sim::kCmdOpen);
  EXPECT_EQ(r.LastCommand(), sim::kCmdClose);
}

void ExpectHexImage(const sim::Recording& r) {
  EXPECT_EQ(r.hexLines, SampleHexLines());
  ASSERT_FALSE(r.hexStartRecords.empty());
  EXPECT_EQ(r.hexStartRecords.back(), ":02000064000496");
}

// romsend started in the test's working folder with its main page shown, and the unit on the
// transport the row names: a simulated unit on a pty, or one behind a loopback MIDI device.
class Romsend {
 public:
  explicit Romsend(Transport transport) : transport_(transport) {
    test::EnsureQtApp();
    const std::vector<uint8_t> bam = bamgen::BuildBam(bamgen::SampleBam());
    test::WriteFileBytes(kBamFile, std::string(bam.begin(), bam.end()));
    test::WriteFileBytes(kHexFile, bamgen::SampleHex());
    if (Midi()) {
      midi_ = std::make_unique<MidiLoopback>();
      PlugMidiUnit();
    } else {
      StartSerialUnit();
    }
    plumbing.emplace(kLimits);
    if (Midi()) plumbing->run.midiPorts = midi_->PortsFactory();

    const char* args[] = {"romsend"};
    app_ = std::make_unique<RomsendApp>(plumbing->context, [] { return std::string(); });
    app_->InitInstance(1, args, false);
    plumbing->profile.WriteInt("Config", "CommsMode", Midi() ? 1 : 0);
    if (!Midi()) plumbing->profile.WriteString("serial", "port", serialUnit->SlavePath());
    app_->Sheet()->show();
    main = static_cast<MainPage*>(app_->Sheet()->GetPage(0));
    main->commsMode = Midi() ? 1 : 0;
    QObject::connect(Status(), &QLineEdit::textChanged, [this](const QString& text) { OnShown(text.toStdString()); });
    // Opening the transport stores its settings (the serial line's, the MIDI devices' names);
    // one open and close first, so that a send finds them as they will stay.
    std::unique_ptr<kestrune::Transport> driver =
        plumbing->context.MakeTransport(main->commsMode, app_->Sheet()->RunPort());
    EXPECT_EQ(driver->Open(), 0);
    driver->Close();
  }

  ~Romsend() {
    app_.reset();
    if (plumbing) plumbing->run.midiPorts = {};
    plumbing.reset();
    if (midiUnit) midiUnit->Stop();
    for (auto& unit : unpluggedUnits_) unit->Stop();
  }
  Romsend(const Romsend&) = delete;
  Romsend& operator=(const Romsend&) = delete;

  bool Midi() const { return transport_ == Transport::kBamOverMidi; }
  QLineEdit* Status() const { return main->ControlAs<QLineEdit>(MainPage::kIdStatus); }
  std::string StatusText() const { return Status()->text().toStdString(); }
  const std::string& FileName() const {
    static const std::string bam = kBamFile, hex = kHexFile;
    return transport_ == Transport::kHexOverSerial ? hex : bam;
  }

  // The listed file's path, selected in the list as the user would.
  std::string SelectFile() {
    auto* list = main->ControlAs<QListWidget>(MainPage::kIdList);
    for (int i = 0; i < list->count(); ++i) {
      const auto path = UpdateEntryPath(list->item(i));
      if (path && std::filesystem::path(*path).filename() == FileName()) {
        list->setCurrentRow(i);
        return *path;
      }
    }
    ADD_FAILURE() << FileName() << " is not listed";
    return {};
  }

  // Runs `action` once, when the status line first shows a text that `when` accepts.
  void OnText(std::function<bool(const std::string&)> when, std::function<void()> action) {
    when_ = std::move(when);
    action_ = std::move(action);
  }

  // A new simulated unit on a new pty, named in the profile as the serial port.
  void StartSerialUnit() {
    if (serialUnit) hungUpUnits_.push_back(std::move(serialUnit));
    serialUnit = std::make_unique<sim::SimulatedUnit>();
    ASSERT_TRUE(serialUnit->Start()) << serialUnit->LastError();
    if (app_) {
      // Chosen for this run as the user would on the serial page: the running program does not
      // read the profile again for its port.
      plumbing->profile.WriteString("serial", "port", serialUnit->SlavePath());
      app_->Sheet()->SetRunPort(serialUnit->SlavePath());
    }
  }
  // The MIDI interface (plugged in again) with a fresh unit behind it.
  void PlugMidiUnit() {
    if (midiUnit) unpluggedUnits_.push_back(std::move(midiUnit));
    midiEnd = &midi_->AddDevice(kMidiDevice);
    midiUnit = std::make_unique<sim::MidiUnit>();
    ASSERT_TRUE(midiUnit->Start(*midiEnd));
  }
  void UnplugMidi() { midi_->RemoveDevice(kMidiDevice); }
  // Blocks until every message sent so far through the MIDI system was delivered or dropped.
  void WaitMidiDelivered() { midi_->WaitDelivered(); }

  // Set up after the units, taken down before them and the MIDI system they use.
  std::optional<test::RomsendPlumbing> plumbing;
  MainPage* main = nullptr;
  std::unique_ptr<sim::SimulatedUnit> serialUnit;
  std::unique_ptr<sim::MidiUnit> midiUnit;
  MidiDeviceEnd* midiEnd = nullptr;
  std::vector<std::string> shown;

 private:
  void OnShown(const std::string& text) {
    shown.push_back(text);
    if (when_ && when_(text)) {
      when_ = nullptr;
      action_();
    }
  }

  Transport transport_;
  // Declared first so that it outlives every unit, driver and port made on it.
  std::unique_ptr<MidiLoopback> midi_;
  std::vector<std::unique_ptr<sim::MidiUnit>> unpluggedUnits_;
  std::vector<std::unique_ptr<sim::SimulatedUnit>> hungUpUnits_;
  std::unique_ptr<RomsendApp> app_;
  std::function<bool(const std::string&)> when_;
  std::function<void()> action_;
};

// When a phase begins, as the status line tells it: the fault is switched on there, so that it
// hits the phase's first message.
std::function<bool(const std::string&)> PhaseStart(Phase phase) {
  switch (phase) {
    case Phase::kContact:  // shown before the wake-up byte or the identity request goes out
      return [](const std::string& t) { return t == "Awaiting contact"; };
    case Phase::kSync:  // shown before the first 'U' prompt
      return [](const std::string& t) { return t == "Contact made"; };
    case Phase::kOpen:  // shown before the Open frame
      return [](const std::string& t) { return t == "Erasing"; };
    case Phase::kData:  // the first progress report; more data frames follow it
      return [](const std::string& t) { return StartsWith(t, "Copying ... "); };
    case Phase::kClose:  // the last progress report, after the last data frame's replies
      return [](const std::string& t) { return StartsWith(t, "Copying ... 100%"); };
    case Phase::kStartRecord:  // the end of the line synchronisation; the start record follows
      return [](const std::string& t) { return t == "Success"; };
    case Phase::kMiddleLine: {  // the progress report of the line before the middle one
      auto reports = std::make_shared<int>(0);
      return [reports](const std::string& t) { return StartsWith(t, "Comparing ... ") && ++*reports == kMiddleLine; };
    }
  }
  return {};
}

// The unit's frame command for a BAM phase.
uint8_t PhaseCommand(Phase phase) {
  return phase == Phase::kOpen ? sim::kCmdOpen : phase == Phase::kData ? sim::kCmdSendData : sim::kCmdClose;
}

// The error a unit answers a frame's operation with: a code with its fixed text for Open, the
// unit's own text for a data frame, and a device error word for Close.
sim::ReplyFault PhaseError(Phase phase) {
  if (phase == Phase::kOpen) return {sim::ReplyFault::Kind::kCode, 4, "", 1};
  if (phase == Phase::kData) return {sim::ReplyFault::Kind::kCode, 3, "cell stuck at 0x011200", 1};
  return {sim::ReplyFault::Kind::kCode, 4010, "", 1};
}

// The serial unit's misbehaviour for a row, switched on at the start of its phase.
void ArmSerialFault(sim::SimulatedUnit& unit, const Row& row) {
  const bool hex = row.phase == Phase::kStartRecord || row.phase == Phase::kMiddleLine;
  switch (row.fault) {
    case Fault::kUnitSilent:
      unit.SetSilent(true);
      return;
    case Fault::kHangsUp:
      // The line drops once the unit has heard the phase's first byte (wake-up, prompt) or,
      // for frames and lines, a few bytes into them.
      unit.SetHangUpAfter(row.phase == Phase::kContact || row.phase == Phase::kSync ? 1
                          : row.phase == Phase::kClose                              ? 3
                                                                                    : 5);
      return;
    case Fault::kSendsGarbage:
      if (row.phase == Phase::kContact)
        unit.SetWakeAnswer(0xA5);
      else if (row.phase == Phase::kSync)
        unit.SetPromptAnswer("\xA5\x5A\xC3");
      else
        unit.SetGarbage(kNoise, 1);
      return;
    case Fault::kAnswersErrorCode:
      if (row.phase == Phase::kContact)
        unit.SetWakeAnswer(0x00);
      else if (row.phase == Phase::kStartRecord)
        unit.SetHexStartAnswer("?");
      else if (row.phase == Phase::kMiddleLine)
        unit.SetHexLineFaults({{sim::HexLineFault::Kind::kVerdict, '!', 0, 7}});
      else
        unit.SetReplyFault(PhaseCommand(row.phase), sim::Stage::kResult, PhaseError(row.phase));
      return;
    case Fault::kBadChecksumsThenRecovers:
      if (row.phase == Phase::kStartRecord)
        unit.SetHexStartAnswer("-");
      else if (hex)
        unit.SetHexLineFaults({{sim::HexLineFault::Kind::kVerdict, '-', 0, 3}});
      else
        unit.SetBadChecksumFrames(row.resends);
      return;
    case Fault::kDoublesReplies:
      unit.SetDoubledReplies(-1);
      return;
    case Fault::kDamagesReplyChecksum:
    case Fault::kDamagesReplyHeader: {
      const auto shape = row.fault == Fault::kDamagesReplyChecksum ? sim::ReplyFault::Kind::kBadChecksum
                                                                   : sim::ReplyFault::Kind::kBadHeader;
      unit.SetReplyFault(PhaseCommand(row.phase), sim::Stage::kResult, {shape, 0, "", 1});
      return;
    }
  }
}

void ClearSerialFaults(sim::SimulatedUnit& unit) {
  unit.SetSilent(false);
  unit.ClearReplyFaults();
  unit.SetBadChecksumFrames(0);
  unit.SetGarbage("", 0);
  unit.SetWakeAnswer(0x06);
  unit.SetPromptAnswer("#");
  unit.SetHexLineFaults({});
  unit.SetHexStartAnswer(std::nullopt);
  unit.SetDoubledReplies(0);
  unit.ClearRecording();
}

// A SysEx message of another maker, as a MIDI interface may pass it on from elsewhere.
const std::vector<uint8_t> kForeignSysEx = {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};

// The unit's own reply message ('U', packed) holding noise instead of a reply.
std::vector<uint8_t> NoiseReplyMessage() {
  std::string noise = kNoise;
  noise.resize(Sender::kReplyHeader, '\0');
  std::vector<uint8_t> m = {0xF0, 0x7D, 0x70, 0x01, 'U'};
  const std::vector<uint8_t> packed = PackSevenBit(reinterpret_cast<const uint8_t*>(noise.data()), noise.size());
  m.insert(m.end(), packed.begin(), packed.end());
  m.push_back(0xF7);
  return m;
}

void ArmMidiFault(Romsend& r, const Row& row) {
  sim::MidiUnit& unit = *r.midiUnit;
  switch (row.fault) {
    case Fault::kUnitSilent:
      unit.SetSilent(true);
      return;
    case Fault::kHangsUp:
      r.UnplugMidi();
      return;
    case Fault::kSendsGarbage: {
      // Sent now, it arrives before the unit's answer to the message that is about to go out.
      const std::vector<uint8_t> m = row.phase == Phase::kContact ? kForeignSysEx : NoiseReplyMessage();
      r.midiEnd->Send(m.data(), m.size());
      return;
    }
    case Fault::kAnswersErrorCode:
      if (row.phase == Phase::kContact) {
        sim::MidiIdentity identity;
        identity.appName = "Lumo App";
        unit.SetIdentity(identity);
      } else {
        unit.SetReplyFault(PhaseCommand(row.phase), sim::Stage::kResult, PhaseError(row.phase));
      }
      return;
    case Fault::kBadChecksumsThenRecovers:
      unit.SetBadChecksumFrames(row.resends);
      return;
    case Fault::kDoublesReplies:
    case Fault::kDamagesReplyChecksum:
    case Fault::kDamagesReplyHeader:
      // A SysEx message carries one reply whole; these are faults of a serial line.
      ADD_FAILURE() << "no MIDI rows for this fault";
      return;
  }
}

void ClearMidiFaults(sim::MidiUnit& unit) {
  unit.SetSilent(false);
  unit.SetIdentity(sim::MidiIdentity{});
  for (uint8_t command : {sim::kCmdOpen, sim::kCmdSendData, sim::kCmdClose}) {
    unit.SetReplyFault(command, sim::Stage::kResult, {sim::ReplyFault::Kind::kCode, 0, "", 0});
  }
  unit.SetBadChecksumFrames(0);
  unit.ClearRecording();
}

// Noise sent ahead answers a frame before the unit does; the unit takes that frame, and the
// Close after a failed Send Data, a moment later, and answers them after the engine has given
// up. They belong to the failed send, so the next send starts only once the unit has taken the
// last of them and its answers have gone to the closed device, where they are dropped: arriving
// later, they would be taken for the next send's identity reply.
void WaitUntilUnitTookGarbageRowFrames(Romsend& r, Phase phase) {
  sim::MidiUnit& unit = *r.midiUnit;
  const uint8_t last = phase == Phase::kOpen ? sim::kCmdOpen : sim::kCmdClose;
  const uint32_t until = TickCount() + 5000;
  while (!TickReached(TickCount(), until)) {
    const std::vector<uint8_t> commands = unit.Snapshot().core.commands;
    if (!commands.empty() && commands.back() == last && unit.RepliesPending() == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  r.WaitMidiDelivered();
}

class RomsendFaults : public testing::TestWithParam<Row> {};

TEST_P(RomsendFaults, EndsInTimeAndLeavesPortLogsAndProfileSound) {
  const Row& row = GetParam();
  const std::string name = RowName({row, 0});
  Romsend r(row.transport);
  const std::string path = r.SelectFile();
  ASSERT_FALSE(path.empty());

  // A failure that the engine does not report (Close's) must not bring back the line of an
  // earlier failed send: the program has run one before, whose Open the unit refused.
  if (row.phase == Phase::kClose && row.fault != Fault::kBadChecksumsThenRecovers) {
    const sim::ReplyFault refused{sim::ReplyFault::Kind::kCode, 4008, "", 1};
    if (r.Midi())
      r.midiUnit->SetReplyFault(sim::kCmdOpen, sim::Stage::kResult, refused);
    else
      r.serialUnit->SetReplyFault(sim::kCmdOpen, sim::Stage::kResult, refused);
    EXPECT_EQ(r.main->Send(path), 4008);
    ASSERT_EQ(r.StatusText(), "bad_erase1 (Open Operation Error 4008)");
  }

  // What stands before the send: an earlier entry in each log, an older "LastFile".
  ASSERT_TRUE(r.plumbing->profile.WriteString("Romsend", "LastFile", "previous.bam"));
  r.plumbing->log.Printf("fault matrix: %s begins", name.c_str());
  const std::string diagnosticBefore = test::ReadFileBytes(DiagnosticLogPath());
  ASSERT_NE(diagnosticBefore.find(name + " begins"), std::string::npos) << DiagnosticLogPath();
  const std::string resultLogBefore = test::ReadFileBytes("romsend.txt");
  const std::string profileBefore = test::ReadFileBytes(r.plumbing->profile.Path());
  ASSERT_FALSE(profileBefore.empty());
  const std::string serialPort = r.Midi() ? std::string() : r.serialUnit->SlavePath();

  r.OnText(PhaseStart(row.phase), [&r, &row] {
    if (r.Midi())
      ArmMidiFault(r, row);
    else
      ArmSerialFault(*r.serialUnit, row);
  });

  // (b) The send ends on its own within the protocol's limits; a watchdog turns a hang into a
  // failure (and a Stop) instead of a stuck test.
  const unsigned bound = row.protocolMs + kAllowanceMs;
  bool overdue = false;
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [&] {
    overdue = true;
    r.plumbing->engine->SetCancel(1);
  });
  watchdog.start(static_cast<int>(bound));
  const uint32_t start = TickCount();
  const int result = r.main->Send(path);
  const int32_t elapsed = TickDiff(TickCount(), start);
  watchdog.stop();
  EXPECT_FALSE(overdue) << "no end within " << bound << " ms";
  EXPECT_LE(elapsed, static_cast<int32_t>(bound));

  // (a) The final status text, the result, and for the rows that recover the whole image.
  EXPECT_EQ(r.StatusText(), row.finalText);
  EXPECT_EQ(result, row.result);
  EXPECT_EQ(r.main->sendInProgress, 0);
  const auto boxes = r.plumbing->boxes.Boxes();
  if (row.transport == Transport::kBamOverMidi && row.fault == Fault::kAnswersErrorCode &&
      row.phase == Phase::kContact) {
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Hold down middle button while restarting");
    EXPECT_EQ(boxes[0].title, "Pedal is not in UPDATE Mode");
  } else {
    EXPECT_TRUE(boxes.empty()) << boxes[0].text;
  }
  const bool recovers = row.fault == Fault::kBadChecksumsThenRecovers && row.phase != Phase::kStartRecord;
  if (recovers) {
    if (r.Midi())
      ExpectBamImage(r.midiUnit->Snapshot().core);
    else if (row.transport == Transport::kHexOverSerial)
      ExpectHexImage(r.serialUnit->Snapshot());
    else
      ExpectBamImage(r.serialUnit->Snapshot());
  }

  // (d) Both logs kept what they held and grew by whole entries: the result log by this
  // contact's start time and any failure line the engine reported; the diagnostic log by the
  // resend notices, and it still takes entries.
  const std::string resultLog = test::ReadFileBytes("romsend.txt");
  ASSERT_GT(resultLog.size(), resultLogBefore.size());
  EXPECT_EQ(resultLog.compare(0, resultLogBefore.size(), resultLogBefore), 0);
  const std::string resultAdded = resultLog.substr(resultLogBefore.size());
  EXPECT_TRUE(resultAdded.size() >= 2 && resultAdded.compare(resultAdded.size() - 2, 2, "\r\n") == 0) << resultAdded;
  if (std::string(row.finalText).find(" Error ") != std::string::npos) {
    EXPECT_NE(resultAdded.find(std::string(row.finalText) + "\r\n"), std::string::npos) << resultAdded;
  }
  r.plumbing->log.Printf("fault matrix: %s ends", name.c_str());
  const std::string diagnostic = test::ReadFileBytes(DiagnosticLogPath());
  ASSERT_GT(diagnostic.size(), diagnosticBefore.size());
  EXPECT_EQ(diagnostic.compare(0, diagnosticBefore.size(), diagnosticBefore), 0);
  const std::string diagnosticAdded = diagnostic.substr(diagnosticBefore.size());
  for (int n = 1; n <= row.resends; ++n) {
    EXPECT_NE(diagnosticAdded.find("Send: Bad Checksum - retry #" + std::to_string(n)), std::string::npos) << n;
  }
  EXPECT_EQ(diagnosticAdded.find("retry #" + std::to_string(row.resends + 1)), std::string::npos);
  EXPECT_EQ(diagnosticAdded.substr(diagnosticAdded.size() - (name.size() + 5)), name + " ends");

  // (e) The profile is byte for byte what it was, except for "LastFile", which every send of a
  // file stores, whatever its outcome.
  EXPECT_EQ(r.plumbing->profile.GetString("Romsend", "LastFile", ""), path);
  test::TempDir scratch;
  test::WriteFileBytes(scratch / "expected.ini", profileBefore);
  ASSERT_TRUE(Profile(scratch / "expected.ini").WriteString("Romsend", "LastFile", path));
  EXPECT_EQ(test::ReadFileBytes(r.plumbing->profile.Path()), test::ReadFileBytes(scratch / "expected.ini"));

  // (c) The port (or MIDI device) was let go: a send started at once on the same one, with the
  // fault cleared, succeeds and delivers the whole image. A unit that hung up took its pty
  // with it, and a pulled MIDI interface has to be plugged in again; then no descriptor of the
  // old port may be left open.
  if (r.Midi()) {
    if (row.fault == Fault::kSendsGarbage && row.phase != Phase::kContact)
      WaitUntilUnitTookGarbageRowFrames(r, row.phase);
    if (row.fault == Fault::kHangsUp)
      r.PlugMidiUnit();
    else
      ClearMidiFaults(*r.midiUnit);
  } else if (row.fault == Fault::kHangsUp) {
    ASSERT_TRUE(r.serialUnit->Snapshot().hungUp);
    EXPECT_FALSE(OpenInThisProcess(serialPort)) << serialPort << " is still open";
    r.StartSerialUnit();
  } else {
    ClearSerialFaults(*r.serialUnit);
  }
  r.plumbing->boxes.Clear();
  EXPECT_EQ(r.main->Send(path), 0);
  std::string success = row.transport == Transport::kHexOverSerial ? "Success!" : "Transfer Successful";
  if (row.resends > 0) success += " (" + std::to_string(row.resends) + " retries)";
  EXPECT_EQ(r.StatusText(), success);
  if (r.Midi())
    ExpectBamImage(r.midiUnit->Snapshot().core);
  else if (row.transport == Transport::kHexOverSerial)
    ExpectHexImage(r.serialUnit->Snapshot());
  else
    ExpectBamImage(r.serialUnit->Snapshot());
  EXPECT_EQ(test::ReadFileBytes("romsend.txt").compare(0, resultLog.size(), resultLog), 0);
}

INSTANTIATE_TEST_SUITE_P(FaultMatrix, RomsendFaults, testing::ValuesIn(kRows), RowName);

}  // namespace
}  // namespace kestrune
