// SPDX-License-Identifier: MIT
// Version text from the numbers the build compiled in.
#include "version_text.h"

#include "kestrune_version.h"

namespace kestrune {

std::string FormatVersion(int major, int minor, int build, int revision) {
  std::string text = std::to_string(major) + "." + std::to_string(minor);
  if (build != 0 || revision != 0) text += "." + std::to_string(build) + "." + std::to_string(revision);
  return text;
}

std::string VersionText() {
  return FormatVersion(KESTRUNE_VERSION_MAJOR, KESTRUNE_VERSION_MINOR, KESTRUNE_VERSION_BUILD,
                       KESTRUNE_VERSION_REVISION);
}

std::string VersionCaption(const std::string& prefix) {
  const std::string version = VersionText();
  if (version.empty()) return {};
  return prefix + " V" + version;
}

bool SetVersionCaption(const std::function<void(int, const std::string&)>& setControlText, int controlId,
                       const std::string& prefix) {
  const std::string caption = VersionCaption(prefix);
  if (caption.empty() || !setControlText) return false;
  setControlText(controlId, caption);
  return true;
}

}  // namespace kestrune
