// The common base of the comms pages (serial and MIDI): a property page that says which kind
// of comms page it is, so the sheet can tell them apart.
#pragma once

#include "setup/property_page.h"

namespace kestrune {

class ConfigPage : public PropertyPage {
 public:
  enum Kind : int { kKindConfig = 0, kKindMidi = 1, kKindSerial = 2 };

  using PropertyPage::PropertyPage;

  // 0 for this base, 1 for the MIDI pages, 2 for the serial pages.
  virtual int PageKind() const { return kKindConfig; }
};

}  // namespace kestrune
