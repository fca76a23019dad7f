// SPDX-License-Identifier: MIT
// The start-up marker: silent unless asked for, then one line at the first drawn window only.
#include <gtest/gtest.h>

#include <QWidget>
#include <QtTest/QTest>

#include "app/shown_report.h"
#include "qt_app.h"
#include "test_env.h"

namespace kestrune {
namespace {

// Shows a top-level window titled `title` until it has been drawn, and closes it again.
void ShowAndDraw(const QString& title) {
  QWidget window;
  window.setWindowTitle(title);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.repaint();
  QCoreApplication::processEvents();
}

TEST(ShownReport, OneLineAtTheFirstDrawnWindowAndOnlyWhenAsked) {
  QApplication& app = test::EnsureQtApp();
  for (const char* value : {"", "0", "yes"}) {
    test::ScopedEnv env("KESTRUNE_REPORT_SHOWN", value);
    testing::internal::CaptureStderr();
    ReportFirstWindowShownIfAsked(app);
    ShowAndDraw(QStringLiteral("Quiet"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "KESTRUNE_REPORT_SHOWN=" << value;
  }

  test::ScopedEnv env("KESTRUNE_REPORT_SHOWN", "1");
  testing::internal::CaptureStderr();
  ReportFirstWindowShownIfAsked(app);
  ShowAndDraw(QStringLiteral("Kestrune Update Utility"));
  ShowAndDraw(QStringLiteral("Second"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "romsend: window shown: Kestrune Update Utility\n");
}

}  // namespace
}  // namespace kestrune
