// The main page "Operate ..": the update list, the status line and the Send and Stop buttons.
#pragma once

#include <string>
#include <vector>

#include "setup/property_page.h"
#include "setup/romsend_sheet.h"

class QLineEdit;
class QListWidget;
class QPushButton;

namespace kestrune {

class CRomsendDlg : public PropertyPage, public TransferState {
 public:
  static constexpr int kTemplateId = 102;
  // Control ids.
  static constexpr int kIdList = 1000;
  static constexpr int kIdStatus = 1001;
  static constexpr int kIdReboot = 1003;
  static constexpr int kIdStop = 1005;
  static constexpr int kIdStatusLabel = 1009;
  static constexpr int kIdSerial = 1015;
  static constexpr int kIdSend = 1040;

  explicit CRomsendDlg(int& commsMode, QWidget* parent = nullptr);

  bool TransferRunning() const override { return transferRunning != 0; }

  int& commsMode;            // the sheet's: 0 serial, 1 MIDI
  int operationMode = 0;     // 0 send; 2 'V' expecting 'W' (Reboot); 3 'V' unchecked (Serial)
  int transferRunning = 0;   // 1 while a transfer proper runs; the sheet reads it
  int batchFlag = 0;         // "batch" flag
  int sortMode = 1;          // "sort" flag
  int sendInProgress = 0;    // 1 for the whole of a send
  std::vector<std::string> pathList;
  // Update-file search patterns from the command line; empty for the default ones.
  std::vector<std::string> searchPatterns;

  // "Romsend"/"SerialReset" as read when the page opened.
  int SerialReset() const { return serialReset_; }

 protected:
  void OnInitDialog() override;

 private:
  int serialReset_ = 0;
};

}  // namespace kestrune
