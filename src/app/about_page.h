// SPDX-License-Identifier: MIT
// The "About ..." page of the sheet, also shown as a box of its own from the main page's menu:
// the program's name and version and the maker's notice.
#pragma once

#include "setup/property_page.h"

class QDialog;
class QLabel;

namespace kestrune {

inline constexpr char kMakerNotice[] = "Copyright (C) Kestrune";

class AboutPage : public PropertyPage {
 public:
  static constexpr int kTemplateId = 100;
  static constexpr int kIdVersion = 1008;
  static constexpr int kIdOk = 1;

  explicit AboutPage(QWidget* parent = nullptr);

  // Sets the version line ("Romsend V1.61"); without a version text it keeps "Romsend Version 1.61".
  bool OnSetActive() override;

  QLabel* NoticeLabel() const { return notice_; }

  // The about box as a dialog of its own, titled "About ...", its page opened and shown; it has
  // no visible OK and closes with Esc or its close box. The caller runs and deletes it.
  static QDialog* CreateBox(QWidget* parent = nullptr);
  // Runs such a box modally until it closes; returns the dialog's result.
  static int DoModal(QWidget* parent = nullptr);

 protected:
  void OnInitDialog() override;

 private:
  QLabel* notice_ = nullptr;
};

}  // namespace kestrune
