// SPDX-License-Identifier: MIT
// The serial settings page: the port and line settings of the "serial" profile section shown
// as six drop-down lists, written back when the user confirms or leaves the page.
#pragma once

#include <string>

#include "serial/serial_settings_model.h"
#include "setup/config_page.h"

class QComboBox;

namespace kestrune {

// All calls on the GUI thread. The model is read from the profile at construction; the lists
// are made and filled by Create (the page's first showing) and read back by OnOK.
class SerialPage : public ConfigPage {
 public:
  static constexpr int kTemplateId = 7;
  static constexpr int kWidthDu = 239;
  static constexpr int kHeightDu = 70;

  // Control ids of the page.
  enum ControlId : int {
    kIdOk = 1,
    kIdCancel = 2,
    kIdUseMidi = 1012,
    kIdPort = 10001,
    kIdDataBits = 10002,
    kIdBaud = 10003,
    kIdStopBits = 10004,
    kIdParity = 10005,
    kIdFlowControl = 10006,
  };

  // The port list's text loses everything from the first blank at or after this index when
  // the list loses the focus, and from the first blank at or after kPortCutOnOk on OK: what
  // follows a device name is a description, not part of the name.
  static constexpr size_t kPortCutOnFocusOut = 5;
  static constexpr size_t kPortCutOnOk = 4;
  // Longest port text the list takes; longer stored texts are cut to it.
  static constexpr int kMaxPortText = 4096;

  // The settings live in the context's profile; the context must outlive the page.
  explicit SerialPage(const RunContext& context, QWidget* parent = nullptr);

  int PageKind() const override { return kKindSerial; }
  // Whether the user may change the flow-control list; no page variant lets them.
  virtual int FlowControlEditable() const { return 0; }

  // The model the lists show. The sheet sets a command-line port here before the page is
  // first shown; SetPortText also updates the list of a page already created.
  SerialSettingsModel& Model() { return info_; }
  const SerialSettingsModel& Model() const { return info_; }
  void SetPortText(const std::string& port) override;

  // 1 when the last OK found the model changed (and applied it), else 0.
  int Changed() const { return changed_; }

  // Reads the lists into the model and applies it to the profile when it differs from what
  // was there before.
  void OnOK() override;

 protected:
  void OnInitDialog() override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FillLists();
  void SelectModelTexts();
  void FitToFont();
  void SelectPort();
  void OnPortFocusLost();
  QComboBox* List(int id) const;

  SerialSettingsModel info_;
  int changed_ = 0;
};

// The text before the first blank at or after index `from`; the whole text when there is none.
std::string CutAtBlank(const std::string& text, size_t from);

}  // namespace kestrune
