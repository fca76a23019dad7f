// SPDX-License-Identifier: MIT
// The session with a unit: contact over a serial line or MIDI, line synchronisation, the
// reboot commands, and the paced status texts of the program's engine.
#include <cctype>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "platform/decimal.h"
#include "platform/event_pump.h"
#include "platform/message_box.h"
#include "platform/tick_count.h"
#include "protocol/protocol_engine.h"
#include "protocol/xml_parser.h"

namespace kestrune {
namespace {

constexpr uint8_t kWakeUp = 0x06;
constexpr uint8_t kPrompt = 'U';
constexpr uint8_t kSynced = '#';
constexpr uint8_t kAcknowledge = 'A';
constexpr uint8_t kIdentityReply = 2;  // received type of the manufacturer's identity reply

struct UnitType {
  int number;
  const char* name;
};

constexpr UnitType kUnitTypes[] = {
    {10, "Generic"}, {11, "Yor"}, {12, "Lumo"}, {13, "Vesk"}, {14, "Orrin"}, {15, "K7 "},
};

const char* UnitTypeName(const std::optional<std::string>& typeNumber) {
  if (!typeNumber) return "Anon";
  const int n = LeadingDecimal(*typeNumber);
  for (const auto& t : kUnitTypes) {
    if (t.number == n) return t.name;
  }
  return "Unknown";
}

// The unit's identity as its identity reply gives it: the text of each key the reply holds.
struct UnitIdentity {
  std::optional<std::string> typeNumber;
  std::optional<std::string> appName;
  std::optional<std::string> idNumber;
  std::optional<std::string> serialNumber;

  // A unit that names its application runs its boot loader only when the name says "Boot".
  bool InUpdateMode() const { return !appName || appName->find("Boot") != std::string::npos; }

  // The line shown and logged after contact: type name, "Tessel Serial: ", then the id number
  // and the serial number, or "Unknown" without an id number.
  std::string Text() const {
    std::string text = UnitTypeName(typeNumber);
    text += "Tessel Serial: ";
    if (idNumber) {
      text += *idNumber + " ";
      if (serialNumber) text += *serialNumber;
    } else {
      text += "Unknown";
    }
    return text;
  }
};

UnitIdentity ParseUnitIdentity(const std::string& reply) {
  const XmlParser keys(reply);
  const auto valueOf = [&keys](const char* key) -> std::optional<std::string> {
    if (const XmlEntry* value = keys.FindEntry("key", key)) return value->Text();
    return std::nullopt;
  };
  return {valueOf("TypeNumber"), valueOf("AppName"), valueOf("IdNumber"), valueOf("SerialNumber")};
}

}  // namespace

int Sender::Contact() {
  if (!driver_) return 1;
  const bool midi = driver_->IsMidi() == 1;
  if (driver_->Open() != 0) {
    ShowPortFault();
    return 1;
  }
  char when[128];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(when, sizeof when, "%c", &local);
  Log("%s", when);
  ClearCancel();
  // The page shows the last failure line again after a failed transfer; it must be this
  // session's, not one left over from an earlier send (Close's failures report none).
  messageText_.clear();
  ShowStatus("Awaiting contact", 1);
  return midi ? ContactMidi() : ContactSerial();
}

int Sender::ContactMidi() {
  driver_->messageType = 'R';
  const int code = driver_->Write(nullptr, 0);
  if (code != 0) {
    ShowDriverError(code);
    return 1;
  }
  static constexpr unsigned kIdentityMax = 2048;
  std::string reply(kIdentityMax, '\0');
  const unsigned got = driver_->Read(reinterpret_cast<uint8_t*>(reply.data()), kIdentityMax, limits_.identityReplyMs);
  if (got <= 10 || driver_->receivedType != kIdentityReply) {
    ShowStatus("Communication startup failed !!", 1);
    return kContactNoIdentity;
  }
  reply.resize(got);
  const UnitIdentity identity = ParseUnitIdentity(reply);
  if (!identity.InUpdateMode()) {
    context_.boxes.Show("Hold down middle button while restarting", "Pedal is not in UPDATE Mode",
                        kBoxOk | kBoxIconError);
    return 1;
  }
  const std::string text = identity.Text();
  ShowStatus(text, 1);
  Log("%s", text.c_str());
  WaitMs(limits_.identityShownMs);
  driver_->messageType = 'T';
  return 0;
}

int Sender::ContactSerial() {
  const int code = driver_->Write(&kWakeUp, 1);
  if (code != 0) {
    ShowDriverError(code);
    return 1;
  }
  for (int n = 10; n >= 1; --n) {
    uint8_t byte = 0;
    if (driver_->Read(&byte, 1, limits_.contactWaitMs) == 1 && byte != 0x00) {
      ShowStatus("Contact made", 1);
      return SyncBaud();
    }
    // A stop or a pulled cable ends the wait at once and is answered before anything else.
    if (cancel_) {
      ShowStatus("Cancelled", 1);
      return kContactCancelled;
    }
    if (PortGone()) return 1;
    char text[64];
    std::snprintf(text, sizeof text, "Awaiting contact %d", n);
    ShowStatus(text, 1);
  }
  ShowStatus("Communication startup failed !!", 1);
  return 1;
}

bool Sender::Interrupted() {
  if (cancel_) {
    ShowStatus("Cancelled", 1);
    return true;
  }
  return PortGone();
}

int Sender::SyncBaud() {
  for (int r = 19; r >= 0; --r) {
    driver_->Write(&kPrompt, 1);
    char text[64];
    std::snprintf(text, sizeof text, "Setting Baud Rate (%d)", r);
    ShowStatus(text, 1);
    // The prompt's answer comes within its wait (a second), whatever else arrives meanwhile.
    const uint32_t deadline = TickCount() + limits_.promptWaitMs;
    bool synced = false;
    for (;;) {
      const int32_t left = TickDiff(deadline, TickCount());
      uint8_t byte = 0;
      if (left <= 0 || driver_->Read(&byte, 1, static_cast<unsigned>(left)) != 1 || byte == 0x00) break;
      if (byte == kSynced) {
        synced = true;
        break;
      }
    }
    if (Interrupted()) return 1;
    if (synced) {
      driver_->Write(&kAcknowledge, 1);
      // The unit falls quiet once it has taken the 'A'; a peer that goes on talking is not a
      // unit ready for frames.
      const uint32_t drainEnd = TickCount() + limits_.drainLimitMs;
      bool quiet = false;
      uint8_t byte = 0;
      while (!TickReached(TickCount(), drainEnd) && !cancel_) {
        if (driver_->Read(&byte, 1, limits_.drainQuietMs) != 1 || byte == 0x00) {
          quiet = true;
          break;
        }
      }
      if (Interrupted()) return 1;
      if (!quiet) break;
      ShowStatus("Success", 1);
      return 0;
    }
  }
  ShowStatus("Failure", 1);
  return 1;
}

int Sender::Reboot() {
  if (!driver_) return kTransportDisconnect;
  driver_->Open();
  ClearCancel();
  driver_->messageType = 'T';
  BeginMessage(kCmdReboot, 0, "Reboot");
  return Exchange(limits_.rebootResultMs, 1);
}

int Sender::MidiCommand(uint8_t type, const uint8_t* data, unsigned count, unsigned replyLimitMs) {
  if (!driver_) return kTransportDisconnect;
  int result = driver_->Open();
  if (result != 0) return result;
  ClearCancel();
  driver_->messageType = type;
  result = driver_->Write(data, count);
  if (result == 0 && replyLimitMs > 0) {
    uint8_t reply[64];
    if (driver_->Read(reply, sizeof reply, replyLimitMs) == 1) result = driver_->receivedType;
  }
  driver_->Close();
  return result;
}

void Sender::ShowDriverError(int code) {
  ShowStatus(driver_->ErrorText(code), 1);
}

void Sender::ShowPortFault() {
  ShowStatus(std::string(driver_ && driver_->IsMidi() == 1 ? "MIDI" : "Serial") +
                 " port is faulty or in use by another program !!",
             1);
}

bool Sender::PortGone() {
  if (!driver_ || driver_->LastError() != kTransportDisconnect) return false;
  ShowPortFault();
  return true;
}

void ProtocolEngine::ShowStatus(const std::string& text, int) {
  // Two texts stand at least the status gap (half a second) apart on the screen, so each can be
  // read.
  const uint32_t due = lastStatusTick_ + Limits().statusGapMs;
  if (lastStatusTick_ != 0 && !TickReached(TickCount(), due)) Context().pump.WaitUntil(due, {});
  if (printer_) printer_("%s", text.c_str());
  lastStatusTick_ = TickCount();
  if (lastStatusTick_ == 0) lastStatusTick_ = 1;  // 0 means "none shown yet"
}

}  // namespace kestrune
