// SPDX-License-Identifier: MIT
// Signal handlers that hand SIGINT and SIGTERM to the user-interface thread through a pipe.
#include "stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <atomic>

#include "app/main_page.h"
#include "setup/romsend_sheet.h"

namespace kestrune {
namespace {

std::atomic<int> g_caught{0};
int g_pipe[2] = {-1, -1};

extern "C" void OnStopSignal(int signal) {
  const int saved = errno;
  int expected = 0;
  g_caught.compare_exchange_strong(expected, signal);
  const unsigned char byte = static_cast<unsigned char>(signal);
  // A full pipe already holds a byte that will be read; the signal is noted either way.
  if (g_pipe[1] >= 0 && write(g_pipe[1], &byte, 1) < 0) {
  }
  errno = saved;
}

}  // namespace

int CaughtStopSignal() {
  return g_caught.load();
}

StopSignals::StopSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_pipe[0] = g_pipe[1] = -1;
    return;
  }
  notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    unsigned char byte = 0;
    while (read(g_pipe[0], &byte, 1) == 1) {
      if (onSignal_) onSignal_(byte);
    }
  });
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

StopSignals::~StopSignals() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  delete notifier_;
  for (int& fd : g_pipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
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
