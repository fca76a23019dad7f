// SPDX-License-Identifier: MIT
// One QApplication for a test process (offscreen), made on first use.
#pragma once

#include <QApplication>

namespace kestrune::test {

inline QApplication& EnsureQtApp() {
  static int argc = 1;
  static char name[] = "romsend";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

}  // namespace kestrune::test
