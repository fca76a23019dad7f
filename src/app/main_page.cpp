// SPDX-License-Identifier: MIT
// Main page: its controls, the send workflow and the status printer.
#include "main_page.h"

#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <cstdio>

#include "app/run_mode.h"
#include "app/stop_signals.h"
#include "app/update_list.h"
#include "platform/event_pump.h"
#include "platform/file_system.h"
#include "platform/message_box.h"
#include "platform/profile.h"
#include "protocol/protocol_engine.h"
#include "updates/bam_transfer.h"
#include "updates/hex_line_transfer.h"
#include "updates/update_check.h"
#include "updates/update_kind.h"

namespace kestrune {
namespace {

constexpr char kAboutItem[] = "&About romsend...";

}  // namespace

std::string StatusLineText(const Sender& engine, const char* format, const char* argument) {
  std::string text = FormatStatus(format, argument);
  if (engine.Retries() > 0) {
    char note[32];
    std::snprintf(note, sizeof note, " (%d retries)", engine.Retries());
    text += note;
  }
  return text;
}

void MainPage::PrintStatus(const char* format, const char* argument) {
  if (!status_) return;
  ProtocolEngine& engine = context_.engine;
  // A stop signal that came before the contact phase cleared the engine's stop request holds.
  if (FirstPipedStopSignal() && sendInProgress) engine.SetCancel(1);
  const std::string text = StatusLineText(engine, format, argument);
  status_->setText(QString::fromLocal8Bit(text.c_str()));
  status_->repaint();
  // Unattended runs keep a record of every text on standard output.
  if (batchFlag) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  }
  const int delay = context_.run.profile.GetInt("Kestrune", "msgdelay", 0);
  if (delay > 0) context_.run.pump.WaitFor(static_cast<uint32_t>(delay));
}

StatusPrinter MainPage::Printer() {
  return [this](const char* format, const char* argument) { PrintStatus(format, argument); };
}

void MainPage::ShowProgress(int percent) {
  if (!progress_) return;
  if (progress_->isHidden()) progress_->show();
  progress_->setValue(std::clamp(percent, 0, 100));
}

MainPage::MainPage(RomsendSheet& sheet, QWidget* parent)
    : PropertyPage(kTemplateId, QStringLiteral("Kestrune Update"), 345, 79, parent),
      commsMode(sheet.commsMode),
      sheet_(sheet),
      context_(sheet.Context()) {}

MainPage::~MainPage() {
  // The engine outlives the page: nothing may print into the page's controls any more.
  if (status_) {
    context_.engine.SetStatusPrinter({});
    context_.engine.Transfer().progress = {};
  }
}

void MainPage::OnInitDialog() {
  auto* list = new QListWidget;
  list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  AddControl(kIdList, list, 7, 7, 331, 44);
  AddControl(kIdStatusLabel, new QLabel(QStringLiteral("Status")), 7, 59, 21, 8);
  auto* status = new QLineEdit;
  status->setReadOnly(true);
  AddControl(kIdStatus, status, 32, 58, 200, 14);
  // A thin bar under the status line, shown once a transfer reports progress.
  auto* progress = new QProgressBar;
  progress->setRange(0, 100);
  progress->setValue(0);
  progress->setTextVisible(false);
  AddControl(kIdProgress, progress, 7, 74, 331, 3);
  progress->hide();
  AddControl(kIdReboot, new QPushButton(QStringLiteral("Setup")), 235, 58, 27, 14);
  AddControl(kIdSerial, new QPushButton(QStringLiteral("Quit")), 262, 58, 24, 14);
  AddControl(kIdStop, new QPushButton(QStringLiteral("Stop")), 287, 58, 24, 14);
  auto* send = new QPushButton(QStringLiteral("Send"));
  send->setDefault(true);
  AddControl(kIdSend, send, 314, 58, 24, 14);

  serialReset_ = context_.run.profile.GetInt("Romsend", "SerialReset", 0);
  Control(kIdStop)->hide();
  if (serialReset_ != 0) {
    ControlAs<QPushButton>(kIdReboot)->setText(QStringLiteral("Reboot"));
    ControlAs<QPushButton>(kIdSerial)->setText(QStringLiteral("Serial"));
  } else {
    Control(kIdReboot)->hide();
    Control(kIdSerial)->hide();
  }

  // Queued, so that a handler runs once the click has been fully handled, as a posted command.
  connect(
      send, &QPushButton::clicked, this, [this] { OnSend(); }, Qt::QueuedConnection);
  connect(
      ControlAs<QPushButton>(kIdReboot), &QPushButton::clicked, this, [this] { OnReboot(); }, Qt::QueuedConnection);
  connect(
      ControlAs<QPushButton>(kIdSerial), &QPushButton::clicked, this, [this] { OnSerial(); }, Qt::QueuedConnection);
  connect(ControlAs<QPushButton>(kIdStop), &QPushButton::clicked, this, [this] { OnStop(); });
  connect(
      list, &QListWidget::itemDoubleClicked, this, [this] { OnSend(); }, Qt::QueuedConnection);

  // From now on every text of the engine and the transfers shows in this page's status line,
  // and their progress in its bar.
  status_ = status;
  progress_ = progress;
  context_.engine.SetStatusPrinter(Printer());
  context_.engine.Transfer().progress = [this](int percent) { ShowProgress(percent); };

  PrepareUpdateListControl(list);
  UpdateListOptions options;
  options.patterns = searchPatterns;
  options.sortMode = sortMode;
  options.batch = batchFlag != 0;
  options.pathList = &pathList;
  options.readLastFile = [this] { return context_.run.profile.GetString("Romsend", "LastFile", "<none>"); };
  FillUpdateList(list, status, options);

  if (batchFlag && !FirstPipedStopSignal()) QMetaObject::invokeMethod(send, &QPushButton::click, Qt::QueuedConnection);
}

bool MainPage::SelectedEntry(std::string& path) const {
  const auto* list = ControlAs<QListWidget>(kIdList);
  const QListWidgetItem* item = list ? list->currentItem() : nullptr;
  if (!item) return false;
  path = UpdateEntryPath(item).value_or(std::string());
  return true;
}

void MainPage::OnSend() {
  // One send at a time: a second one would replace the transport in use. None at all once the
  // program has been told to end.
  if (sendInProgress || FirstPipedStopSignal()) return;
  std::string path;
  if (!SelectedEntry(path)) {
    context_.run.boxes.Show("Make a selection first", "Quorle says...", kBoxOk, this);
    SendEnded(1, kExitNothingToSend);
    return;
  }
  if (path.empty()) {
    // A bad file has nothing a unit could take; no transport is built for it.
    PrintStatus("%s", "Not an update file: choose another entry");
    SendEnded(1, kExitNothingToSend);
    return;
  }
  Send(path);
}

void MainPage::SendEnded(int result, int status) {
  exitStatus = status;
  if (FirstPipedStopSignal() || unattendedFlag || (batchFlag && result == 0)) {
    sheet_.done(0);
  }
}

void MainPage::OnReboot() {
  operationMode = kOpReboot;
  OnSend();
  operationMode = kOpSend;
}

void MainPage::OnSerial() {
  operationMode = kOpSerial;
  OnSend();
  operationMode = kOpSend;
}

void MainPage::OnStop() {
  if (!sendInProgress) return;
  context_.engine.SetCancel(1);
  PrintStatus("%s", "Stopping.....");
}

bool MainPage::CommandEnabled(int command) const {
  return command != kCmdSendMenu || !sendInProgress;
}

void MainPage::OnCommand(int command) {
  if (!CommandEnabled(command)) return;
  if (command == kCmdSendMenu) OnSend();
  if (command == kCmdAbout && showAbout) showAbout();
}

void MainPage::contextMenuEvent(QContextMenuEvent* event) {
  // Linux windows have no system menu; the page's own menu offers its commands instead.
  QMenu menu(this);
  QAction* send = menu.addAction(QStringLiteral("Send.."));
  send->setEnabled(CommandEnabled(kCmdSendMenu));
  QAction* about = menu.addAction(QString::fromLatin1(kAboutItem));
  QAction* chosen = menu.exec(event->globalPos());
  if (chosen == send) OnCommand(kCmdSendMenu);
  if (chosen == about) OnCommand(kCmdAbout);
}

void MainPage::OnCancel() {
  context_.engine.SetCancel(1);
}

int MainPage::Send(const std::string& path) {
  ProtocolEngine* engine = &context_.engine;
  if (!path.empty()) context_.run.profile.WriteString("Romsend", "LastFile", path);
  engine->SetDriver(context_.MakeTransport(commsMode, sheet_.RunPort()));

  auto* send = ControlAs<QPushButton>(kIdSend);
  auto* reboot = ControlAs<QPushButton>(kIdReboot);
  auto* serial = ControlAs<QPushButton>(kIdSerial);
  auto* stop = ControlAs<QPushButton>(kIdStop);
  serial->setEnabled(false);
  send->setEnabled(false);
  reboot->setEnabled(false);
  stop->setText(QStringLiteral("Stop"));
  stop->show();
  sendInProgress = 1;
  // No bar until this send's transfer reports progress: an earlier send's must not show.
  auto* progress = ControlAs<QProgressBar>(kIdProgress);
  progress->hide();
  progress->setValue(0);

  int result;
  int status;
  bool sent;
  if (Classify(path) != kKindBam) {
    HexOutcome outcome = HexOutcome::kNotSent;
    result = HexLineTransfer(path, *engine, Printer(), &outcome);
    status = HexExitStatus(outcome);
    sent = outcome == HexOutcome::kSuccess;
  } else {
    result = SendBam(path, status);
    sent = operationMode == kOpSend && result == 0;
  }
  engine->CloseDriver();
  // A whole file sent fills the bar, also when its last progress fell short of 100% (blank
  // lines after a HEX file's last record) or it had none (a BAM image of empty blocks); after
  // a failure it keeps the value where the transfer stopped.
  if (sent) ShowProgress(100);

  sendInProgress = 0;
  send->setEnabled(true);
  reboot->setEnabled(true);
  stop->hide();
  serial->setEnabled(true);

  SendEnded(result, status);
  return result;
}

int MainPage::SendBam(const std::string& path, int& status) {
  ProtocolEngine& engine = context_.engine;
  status = kExitSent;
  if (operationMode == kOpSend) {
    // The whole file is checked before the unit is woken: it erases its flash on the first
    // frame, so a file that cannot be sent whole must not reach it. Not even opened when it is
    // no regular file (a device may act on being opened, a FIFO never end).
    const std::optional<FileInfo> info = PathInfo(path);
    const bool found = info.has_value();
    if (found && !info->IsRegular()) return RefuseBam(path, std::string(kBadFileText) + "not a regular file", status);
    BamFileTransfer desc(path, engine);
    if (!found || !desc.Opened()) return RefuseBam(path, "Cannot open file " + path, status);
    if (const std::string problem = desc.CheckLayout(); !problem.empty())
      return RefuseBam(path, kBadFileText + problem, status);
    if (const int contact = engine.Contact(); contact != 0) {
      status = kExitNoContact;
      return contact;
    }
    engine.Transfer().running = true;
    const int result = desc.Transfer(Printer());
    if (result != 0 && !engine.MessageText().empty()) PrintStatus("%s", engine.MessageText().c_str());
    engine.Transfer().running = false;
    status = result == 0 ? kExitSent : kExitFailed;
    return result;
  }
  BamFileTransfer desc(path, engine);
  // Reboot and Serial: a bare 'V' request; only Reboot looks for the 'W' answer.
  const int answer = engine.MidiCommand('V', nullptr, 0, engine.Limits().versionReplyMs);
  if (operationMode == kOpReboot && answer != 'W') {
    context_.run.boxes.Show("Reboot Unsuccessful", "Problem !!", kBoxOk | kBoxIconWarning, this);
    status = kExitFailed;
  }
  return 0;
}

int MainPage::RefuseBam(const std::string& path, const std::string& text, int& status) {
  ReportRefusedFile(context_.engine, Printer(), path, text);
  status = kExitNothingToSend;
  return 1;  // a file or format fault, as the BAM transfer itself reports one
}

int HexExitStatus(HexOutcome outcome) {
  switch (outcome) {
    case HexOutcome::kSuccess:
      return kExitSent;
    case HexOutcome::kNotSent:
      return kExitNothingToSend;
    case HexOutcome::kNoContact:
      return kExitNoContact;
    case HexOutcome::kFailed:
    case HexOutcome::kStopped:
      break;
  }
  return kExitFailed;
}

}  // namespace kestrune
