// SPDX-License-Identifier: MIT
// An opt-in start-up marker for the start-up benchmark: with KESTRUNE_REPORT_SHOWN=1 in the
// environment, romsend writes one line to stderr when its first window has been drawn.
#pragma once

class QApplication;

namespace kestrune {

// Watches `app` for the first paint of a top-level window when KESTRUNE_REPORT_SHOWN is "1";
// does nothing otherwise. Call once, after the QApplication exists.
void ReportFirstWindowShownIfAsked(QApplication& app);

}  // namespace kestrune
