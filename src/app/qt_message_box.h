// SPDX-License-Identifier: MIT
// Message boxes of the GUI: a modal QMessageBox owned by the given widget (or none).
#pragma once

#include "platform/message_box.h"

namespace kestrune {

// Called on the GUI thread only; `owner` is a QWidget* or null.
class QtMessageBox : public MessageBoxService {
 public:
  int Show(const std::string& text, const std::string& title, unsigned style, void* owner) override;
};

}  // namespace kestrune
