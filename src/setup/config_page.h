// SPDX-License-Identifier: MIT
// The common base of the comms pages (serial and MIDI): a property page that says which kind
// of comms page it is, so the sheet can tell them apart.
#pragma once

#include <string>

#include "setup/property_page.h"

namespace kestrune {

class ConfigPage : public PropertyPage {
 public:
  enum Kind : int { kKindConfig = 0, kKindMidi = 1, kKindSerial = 2 };

  using PropertyPage::PropertyPage;

  // 0 for this base, 1 for the MIDI pages, 2 for the serial pages.
  virtual int PageKind() const { return kKindConfig; }
  // Gives the page's own port model a port name from the command line (serial pages only).
  virtual void SetPortText(const std::string& port) { (void)port; }
};

}  // namespace kestrune
