// SPDX-License-Identifier: MIT
// The start-up marker: an application-wide event filter that removes itself after one line.
#include "app/shown_report.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrune {
namespace {

class FirstShownReporter : public QObject {
 public:
  using QObject::QObject;

 protected:
  // The first paint of a top-level window: it has been shown, laid out and drawn.
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && watched->isWidgetType() && static_cast<QWidget*>(watched)->isWindow()) {
      const QByteArray title = static_cast<QWidget*>(watched)->windowTitle().toUtf8();
      std::fprintf(stderr, "romsend: window shown: %s\n", title.constData());
      std::fflush(stderr);
      qApp->removeEventFilter(this);
      deleteLater();
    }
    return false;
  }
};

}  // namespace

void ReportFirstWindowShownIfAsked(QApplication& app) {
  const char* asked = std::getenv("KESTRUNE_REPORT_SHOWN");
  if (!asked || std::strcmp(asked, "1") != 0) return;
  app.installEventFilter(new FirstShownReporter(&app));
}

}  // namespace kestrune
