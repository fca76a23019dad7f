// SPDX-License-Identifier: MIT
// SIGINT and SIGTERM reach the user-interface thread through the platform's stop signal pipe.
#include "stop_signals.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>

#include "app/main_page.h"
#include "setup/romsend_sheet.h"

namespace kestrune {

StopSignals::StopSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
  if (!pipe_.Installed()) return;
  notifier_ = new QSocketNotifier(pipe_.ReadDescriptor(), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    while (const int number = pipe_.TakeSignal()) {
      if (onSignal_) onSignal_(number);
    }
  });
}

StopSignals::~StopSignals() {
  delete notifier_;
}

void StopOnSignal(RomsendSheet* sheet) {
  // Boxes and the about box wait for a person who is not coming.
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(w);
    if (dialog && dialog != sheet && dialog->isVisible()) dialog->done(QDialog::Rejected);
  }
  if (!sheet) return;
  auto* main = dynamic_cast<MainPage*>(sheet->GetPage(0));
  if (main && main->sendInProgress) {
    main->OnStop();  // the send ends the run once it has returned
    return;
  }
  sheet->done(0);
}

}  // namespace kestrune
