// SPDX-License-Identifier: MIT
// The program's version as users see it (about page and box), compiled in from the project
// version.
#pragma once

#include <functional>
#include <string>

namespace kestrune {

// "major.minor", or "major.minor.build.revision" when build and revision are not both zero.
std::string FormatVersion(int major, int minor, int build, int revision);

// This program's version text, for example "1.61".
std::string VersionText();

// "<prefix> V<version>", or empty when there is no version text.
std::string VersionCaption(const std::string& prefix);

// Sets control `controlId` of a dialog to VersionCaption(prefix) through `setControlText`, which
// stands for the dialog (the GUI passes a function that finds the control by id). Returns false,
// touching nothing, when there is no version text, so the control keeps its template text.
bool SetVersionCaption(const std::function<void(int controlId, const std::string& text)>& setControlText, int controlId,
                       const std::string& prefix);

}  // namespace kestrune
