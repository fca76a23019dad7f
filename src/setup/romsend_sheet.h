// SPDX-License-Identifier: MIT
// The property sheet that is romsend's whole window: the main page, the comms page, the
// instructions and the about page under their tabs, and a "Finished" button.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "setup/property_page.h"
#include "setup/romsend_context.h"

class QTabWidget;
class QPushButton;

namespace kestrune {

class RomsendSheet : public QDialog {
 public:
  // Builds a page of the sheet (its comms mode, its run port); may be empty, which leaves that
  // page out. The sheet owns what they return.
  using PageMaker = std::function<PropertyPage*(RomsendSheet& sheet)>;
  struct Pages {
    PageMaker main;   // tab "Operate ..", page 0
    PageMaker comms;  // tab "Comms Setup": the serial page
    PageMaker help;   // instructions
    PageMaker about;  // about
    PageMaker midi;   // the MIDI page that replaces the serial page in MIDI mode
  };

  // Ids of the sheet's own buttons.
  static constexpr int kIdFinished = 1;
  static constexpr int kIdCancel = 2;

  // The context must outlive the sheet.
  RomsendSheet(const RomsendContext& context, const QString& caption, const Pages& pages, QWidget* parent = nullptr,
               int firstPage = 0);
  ~RomsendSheet() override;

  const RomsendContext& Context() const { return context_; }

  // Switches the sheet to comms mode `mode` (0 serial, else MIDI): the comms page is replaced
  // by a new one of that kind, added last and made active, and the mode is stored as
  // "Config"/"CommsMode". Safe to call from a handler of the page being replaced.
  void SetCommsMode(int mode);

  PropertyPage* GetPage(int index) const;
  int PageCount() const;
  int ActiveIndex() const;
  void SetActivePage(int index);
  void SetTabText(int index, const QString& text);
  QString TabText(int index) const;
  QPushButton* Button(int id) const;

  // A port name given on the command line; empty when none.
  std::string portText;

  // The serial port this run sends to: the command line's, else the one the profile named when
  // the run began, or the one chosen since on this run's serial page. The profile is never read
  // again for it, so another running copy's port cannot redirect this one's sends.
  const std::string& RunPort();
  void SetRunPort(const std::string& port) { runPort_ = port; }
  // 0 serial, 1 MIDI; the main page holds a reference to it.
  int commsMode = 0;

  const QString& Caption() const { return caption_; }

  // Ends the sheet with `result` (1 "Finished", anything else as a cancel); refused while a
  // transfer runs.
  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void InitDialog();
  // Index of the comms page, or -1.
  int CommsPageIndex() const;
  void OnCurrentChanged(int index);

  const RomsendContext& context_;
  QString caption_;
  Pages makers_;
  QTabWidget* tabs_;
  QPushButton* finished_;
  QPushButton* cancel_;
  std::vector<PropertyPage*> pages_;
  int lastIndex_ = -1;
  bool initialised_ = false;
  std::optional<std::string> runPort_;
};

}  // namespace kestrune
