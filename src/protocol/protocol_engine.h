// SPDX-License-Identifier: MIT
// The protocol engine that speaks to a unit's boot loader: frames and their two replies,
// resends, the contact phase, result codes and texts, and the result log.
//
// Error convention of the protocol layer: `int` codes, 0 for success. Exchanges return a
// ResultCode, a unit's own code or a TransportCode (one number space, one text table);
// Contact returns a ContactCode, or SyncBaud's result once contact was made. Each meaning has
// its own name in its own enum, even where two share a number.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "platform/run_context.h"
#include "protocol/protocol_limits.h"
#include "transport/transport.h"

namespace kestrune {

// Where status texts go: a printf-style format with at most one text argument (null: none).
// Texts that the transfers compose themselves come as the format, so "%%" in them shows as "%".
using StatusPrinter = std::function<void(const char* format, const char* argument)>;

// Shows one status text through `printer`, if there is one.
inline void PrintStatus(const StatusPrinter& printer, const char* format, const char* argument = nullptr) {
  if (printer) printer(format, argument);
}

// Longest status text a printer shows.
constexpr size_t kMaxStatusText = 255;

// The text a status printer shows for a format and its argument: "%%" gives "%", "%s" the
// argument (nothing when it is null), any other conversion stands as written. Never longer than
// kMaxStatusText; never reads an argument the format does not name.
std::string FormatStatus(const char* format, const char* argument);

// Result codes of the engine itself; the unit's codes and the transport codes share the space.
enum ResultCode : int {
  kResultOk = 0,
  kUnitBadChecksum = 1,
  kUnitShortMessage = 6,
  kBadMessage1 = 9,        // reply length field below 6
  kBadMessage2 = 10,       // reply shorter than 13 bytes (or than its length field says)
  kStrayData = 11,         // serial: bytes were waiting when a frame or HEX line was to go out
  kBadReplyHeader = 12,    // serial: a reply that does not begin 00 06
  kBadReplyChecksum = 13,  // serial: a reply whose bytes do not sum to 0
  kCancelledByUser = 1000,
  kAskDriver = -9999,  // placeholder: use the driver's LastError
};

// Contact's own results before the unit answered; each failure has been shown already.
// 100 and 101 are also transport codes (kTransportTimeout, kTransportError) with other meanings.
enum ContactCode : int {
  kContactMade = 0,
  kContactFailed = 1,        // no port, a port fault, no answer, a refused write or a unit not in update mode
  kContactNoIdentity = 100,  // MIDI: no identity reply came
  kContactCancelled = 101,   // Stop was pressed during the wait
};

// Command codes of the frames.
enum Command : uint8_t { kCmdOpen = 1, kCmdSendData = 2, kCmdClose = 5, kCmdReboot = 7 };

// How far the transfer under way is: shared by the transfers the engine carries and the
// window that shows them. User-interface thread only.
struct TransferState {
  // Set while a transfer proper runs (a HEX line transfer, or a BAM transfer after contact);
  // the window refuses to close meanwhile.
  bool running = false;
  // The last progress text shown; kept for the whole run, so that a second transfer of the
  // same file does not repeat a text that is already on the screen.
  std::string lastProgressText;
  // Where both transfers report how far they are, in whole percent of the bytes to send (a
  // BAM image's, a HEX file's), each time they show a new progress text: the window's
  // progress bar. Empty when nothing shows it.
  std::function<void(int percent)> progress;
};

// Everything runs on the user-interface thread; driver waits keep the window alive, so the
// Stop button's SetCancel runs inside them.
class Sender {
 public:
  static constexpr int kFrameBufferSize = 4096;
  static constexpr int kHeaderLength = 6;
  static constexpr unsigned kReplyHeader = 13;
  static constexpr int kReplyTextSize = 128;

  // Opens the result log at `resultLogPath` (appended, never truncated); an unopenable log
  // silently drops its lines for the whole run. Every wait on the unit takes its limit from
  // `limits`. The context (its pump keeps the window alive during waits; its boxes show the
  // unit's refusals) must outlive the engine.
  explicit Sender(const RunContext& context, const std::string& resultLogPath = "romsend.txt",
                  const ProtocolLimits& limits = {});
  virtual ~Sender();
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  // Console output of the engine; the window shows none of it. TraceChar writes to standard
  // error, the rest to standard output.
  virtual void TraceChar(char c);
  virtual void ShowProgress(uint32_t done, uint32_t total);
  virtual void ShowStatus(const std::string& text, int lineEnd);
  // Builds, logs and shows the failure line of an exchange.
  virtual void ReportResult(const char* stage, int code, const std::string& replyText);

  // Frame building.
  void BeginMessage(uint8_t command, uint16_t payloadLength, const char* name);
  // Appends bytes (never beyond the buffer: surplus bytes are not taken); returns the room left.
  int Append(const uint8_t* bytes, int count);
  int SendData(uint16_t blockIndex, const uint8_t* data, uint32_t count, uint16_t tag);
  // One attempt: write the frame, read the acknowledgement and the operation result. Returns
  // the stage label ("Send", "Write", "Command Ack", "Operation" or "").
  const char* SendOnce(int& result, std::string& replyText, unsigned resultLimitMs);
  // One reply within `timeLimitMs`, its text included. Over a serial line a reply must begin
  // 00 06 and sum to 0. A stop ends the wait at once (1000), a port that hangs up too (102).
  int ReadReply(unsigned timeLimitMs, std::string& replyText);
  // Over a serial line: takes whatever bytes are waiting, without waiting for more, and writes
  // them to the diagnostic log as found `before` the named frame or line. Returns their count
  // (0 over MIDI, where messages cannot be misaligned).
  unsigned TakeWaitingBytes(const char* before);
  // Sends the frame built last, resending it up to five times on the unit's codes 1 and 6.
  int Exchange(unsigned resultLimitMs, int report);

  std::string ErrorText(int code);
  static std::string DeviceErrorWord(int code);

  // Driver ownership (the engine owns the transport it is given; null: none) and the session.
  void SetDriver(std::unique_ptr<Transport> driver);
  void CloseDriver();
  void ReopenIfIdle();
  void SetCancel(int flag);
  // Wakes the unit (or asks a MIDI unit who it is): a ContactCode, or SyncBaud's result.
  int Contact();
  int SyncBaud();
  int Reboot();
  int MidiCommand(uint8_t type, const uint8_t* data, unsigned count, unsigned replyLimitMs);
  // Keeps the window alive for `ms` milliseconds.
  void WaitMs(unsigned ms);
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));

  const ProtocolLimits& Limits() const { return limits_; }
  const RunContext& Context() const { return context_; }
  TransferState& Transfer() { return transfer_; }
  Transport* Driver() const { return driver_.get(); }
  int Cancel() const { return cancel_; }
  uint32_t Attempts() const { return attempts_; }
  uint32_t Exchanges() const { return exchanges_; }
  // Frame writes minus finished exchanges: the resends since the program started.
  int Retries() const { return static_cast<int>(attempts_ - exchanges_); }
  const std::string& MessageText() const { return messageText_; }
  const char* CommandName() const { return commandName_; }
  // The frame as built so far, checksum byte excluded.
  const uint8_t* Frame() const { return frame_; }
  int FrameLength() const { return frameLength_; }

 private:
  // The contact phase after the port opened: the identity request over MIDI, the wake-up byte
  // and line synchronisation over a serial line.
  int ContactMidi();
  int ContactSerial();
  void ShowDriverError(int code);
  // Clears the cancel flag and the driver's stop request.
  void ClearCancel();
  // Shows "Serial" or "MIDI" followed by " port is faulty or in use by another program !!".
  void ShowPortFault();
  // True when the driver's port hung up; the port fault is then shown.
  bool PortGone();
  // True after a stop ("Cancelled" shown) or a hang-up (the port fault shown).
  bool Interrupted();

  uint8_t frame_[kFrameBufferSize] = {};
  int frameLength_ = 0;
  const char* commandName_ = "";
  int retriesLeft_ = 0;
  const RunContext& context_;
  std::unique_ptr<Transport> driver_;
  ProtocolLimits limits_;
  TransferState transfer_;
  std::FILE* resultLog_ = nullptr;
  uint32_t attempts_ = 0;
  uint32_t exchanges_ = 0;
  std::string messageText_;
  int cancel_ = 0;
};

// The engine bound to the program's window: status texts go to the main page's status
// printer, at least the limits' status gap (500 ms) apart.
class ProtocolEngine : public Sender {
 public:
  explicit ProtocolEngine(const RunContext& context, const std::string& resultLogPath = "romsend.txt",
                          const ProtocolLimits& limits = {})
      : Sender(context, resultLogPath, limits) {}

  // Each text shown reaches the printer as the format "%s" with the text as its argument.
  void SetStatusPrinter(StatusPrinter printer) { printer_ = std::move(printer); }
  void ShowStatus(const std::string& text, int lineEnd) override;

 private:
  StatusPrinter printer_;
  uint32_t lastStatusTick_ = 0;
};

}  // namespace kestrune
