// SPDX-License-Identifier: MIT
// The main sheet: page order, tab texts, the "Finished" button and the window behaviours.
#include "romsend_sheet.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "platform/file_system.h"
#include "platform/profile.h"
#include "serial/serial_settings_model.h"
#include "setup/config_page.h"

namespace kestrune {
RomsendSheet::RomsendSheet(const RomsendContext& context, const QString& caption, const Pages& pages, QWidget* parent,
                           int firstPage)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      context_(context),
      caption_(caption),
      makers_(pages) {
  commsMode = context_.run.profile.GetInt("Config", "CommsMode", 0);
  setWindowTitle(caption_);

  tabs_ = new QTabWidget(this);
  finished_ = new QPushButton(QStringLiteral("OK"), this);
  cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
  finished_->setDefault(false);
  finished_->setAutoDefault(false);
  connect(finished_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(finished_);
  buttons->addWidget(cancel_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addLayout(buttons);

  // Tab order: main page, comms page, instructions, about.
  for (const PageMaker* maker : {&pages.main, &pages.comms, &pages.help, &pages.about}) {
    if (!*maker) continue;
    PropertyPage* page = (*maker)(*this);
    if (!page) continue;
    pages_.push_back(page);
    tabs_->addTab(page, page->Caption());
  }
  if (firstPage >= 0 && firstPage < PageCount()) tabs_->setCurrentIndex(firstPage);
  connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) { OnCurrentChanged(index); });
}

RomsendSheet::~RomsendSheet() = default;

PropertyPage* RomsendSheet::GetPage(int index) const {
  return index >= 0 && index < PageCount() ? pages_[static_cast<size_t>(index)] : nullptr;
}

int RomsendSheet::PageCount() const {
  return static_cast<int>(pages_.size());
}

int RomsendSheet::ActiveIndex() const {
  return tabs_->currentIndex();
}

void RomsendSheet::SetActivePage(int index) {
  if (GetPage(index)) tabs_->setCurrentIndex(index);
}

void RomsendSheet::SetTabText(int index, const QString& text) {
  tabs_->setTabText(index, text);
}

QString RomsendSheet::TabText(int index) const {
  return tabs_->tabText(index);
}

QPushButton* RomsendSheet::Button(int id) const {
  if (id == kIdFinished) return finished_;
  if (id == kIdCancel) return cancel_;
  return nullptr;
}

void RomsendSheet::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!initialised_) InitDialog();
}

void RomsendSheet::InitDialog() {
  initialised_ = true;
  if (PropertyPage* main = GetPage(0)) {
    main->setWindowTitle(QStringLiteral("Operate .."));
  }
  if (PageCount() > 1) SetTabText(1, QStringLiteral("Comms Setup"));
  // The first page opens before the port is applied: a switch of the comms page makes the new
  // page the active one, and the main page's opening is what starts a batch send.
  lastIndex_ = tabs_->currentIndex();
  if (PropertyPage* page = GetPage(lastIndex_)) {
    page->Create();
    page->OnSetActive();
  }
  if (!portText.empty()) {
    // A port named on the command line means serial, and that port.
    if (commsMode == 1) SetCommsMode(0);
    SerialSettingsModel stored(context_.run, "serial");
    if (stored.portText != portText) {
      stored.portText = portText;
      stored.Apply();
    }
    if (const int index = CommsPageIndex(); index >= 0) {
      static_cast<ConfigPage*>(GetPage(index))->SetPortText(portText);
    }
  }
  RunPort();  // fixed now, while the profile is this run's
  SetTabText(0, QStringLiteral("Operate .."));
  finished_->setText(QStringLiteral("Finished"));
  cancel_->hide();
}

void RomsendSheet::OnCurrentChanged(int index) {
  if (index == lastIndex_) return;
  PropertyPage* leaving = GetPage(lastIndex_);
  if (leaving && leaving->IsCreated() && !leaving->OnKillActive()) {
    // The page refuses to be left (a value it cannot take): stay on it.
    const QSignalBlocker block(tabs_);
    tabs_->setCurrentIndex(lastIndex_);
    return;
  }
  lastIndex_ = index;
  if (PropertyPage* page = GetPage(index)) {
    page->Create();
    page->OnSetActive();
  }
}

const std::string& RomsendSheet::RunPort() {
  if (!runPort_) {
    // A stored port that is not there now is still the one to try, so its failure names it.
    const SerialSettingsModel stored(context_.run, "serial");
    runPort_ = !portText.empty() ? portText : !stored.portText.empty() ? stored.portText : stored.storedPort;
  }
  return *runPort_;
}

int RomsendSheet::CommsPageIndex() const {
  for (int i = 0; i < PageCount(); ++i) {
    if (dynamic_cast<ConfigPage*>(pages_[static_cast<size_t>(i)])) return i;
  }
  return -1;
}

void RomsendSheet::SetCommsMode(int mode) {
  commsMode = mode;
  if (const int index = CommsPageIndex(); index >= 0) {
    PropertyPage* old = pages_[static_cast<size_t>(index)];
    {
      // The old page goes without being asked to be left: the new one takes its part.
      const QSignalBlocker block(tabs_);
      tabs_->removeTab(index);
    }
    pages_.erase(pages_.begin() + index);
    lastIndex_ = -1;
    old->hide();
    old->deleteLater();  // the caller may be one of its own handlers
  }
  const PageMaker& maker = mode != 0 ? makers_.midi : makers_.comms;
  if (PropertyPage* page = maker ? maker(*this) : nullptr) {
    // A new serial page shows this run's port, not whatever the shared profile holds by now.
    if (runPort_) static_cast<ConfigPage*>(page)->SetPortText(*runPort_);
    pages_.push_back(page);
    tabs_->addTab(page, page->Caption());
    const int last = PageCount() - 1;
    if (tabs_->currentIndex() == last) {
      OnCurrentChanged(last);
    } else {
      SetActivePage(last);
    }
  }
  context_.run.profile.WriteInt("Config", "CommsMode", mode);
}

void RomsendSheet::done(int result) {
  // No closing of any kind while a transfer runs; the Stop button ends it first.
  if (context_.engine.Transfer().running) return;
  if (result == QDialog::Accepted) {
    PropertyPage* active = GetPage(ActiveIndex());
    if (active && active->IsCreated() && !active->OnKillActive()) return;
    for (PropertyPage* page : pages_) {
      if (page->IsCreated()) page->OnOK();
    }
  } else {
    for (PropertyPage* page : pages_) {
      if (page->IsCreated()) page->OnCancel();
    }
  }
  QDialog::done(result);
}

void RomsendSheet::closeEvent(QCloseEvent* event) {
  if (context_.engine.Transfer().running) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void RomsendSheet::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange) {
    setWindowTitle(isMinimized() ? QStringLiteral("Romsend") : caption_);
  }
}

void RomsendSheet::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    // Without a help file the instructions page stands in for it.
    if (!PathInfo("romsend.hlp")) SetActivePage(2);
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace kestrune
