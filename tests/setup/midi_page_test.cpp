// SPDX-License-Identifier: MIT
// The MIDI settings page over the loopback MIDI system: what the lists show and select, how the
// input carries the output along, and when the choice reaches the profile.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>

#include "platform/message_box.h"
#include "platform/midi_loopback.h"
#include "platform/profile.h"
#include "qt_app.h"
#include "setup/midi_page.h"
#include "test_context.h"
#include "test_env.h"

namespace kestrune {
namespace {

// A fresh profile and MIDI system for each case.
struct MidiSetup {
  test::TempDir dir;
  test::TestContext context{dir / "romsend.ini"};
  MidiLoopback midi;
  RecorderMessageBox boxes;
  ScopedMessageBox useBoxes{context.boxes, boxes};

  MidiSetup() {
    test::EnsureQtApp();
    context.run.midiPorts = midi.PortsFactory();
  }
  ~MidiSetup() { context.run.midiPorts = {}; }
  Profile& profile() { return context.profile; }
  std::string Stored(const char* entry) const { return context.profile.GetString("MIDI", entry, "(none)"); }
  static QComboBox* List(CommsMidiPage& page, int id) { return page.ControlAs<QComboBox>(id); }
};

TEST(MidiPage, AnEmptyProfileFindsTheDefaultDevice) {
  MidiSetup s;
  s.midi.AddDevice("Other Synth");
  s.midi.AddDevice("USB Audio Device");
  CommsMidiPage page(s.context.run);
  page.Create();
  EXPECT_EQ(MidiSetup::List(page, MidiPage::kIdInput)->currentText(), "USB Audio Device");
  EXPECT_EQ(MidiSetup::List(page, MidiPage::kIdOutput)->currentText(), "USB Audio Device");
  EXPECT_EQ(MidiSetup::List(page, MidiPage::kIdInput)->count(), 2);
  EXPECT_EQ(s.Stored("In"), "(none)");  // nothing written for a choice that was found
  EXPECT_EQ(page.PageKind(), 1);
  EXPECT_EQ(page.Caption(), "MIDI Config");
}

TEST(MidiPage, OtherDevicesAreTakenAndWrittenAsBoth) {
  MidiSetup s;
  s.midi.AddDevice("Only In", true, false);
  s.midi.AddDevice("Pedal Board");
  CommsMidiPage page(s.context.run);
  EXPECT_EQ(s.Stored("In"), "Pedal Board");
  EXPECT_EQ(s.Stored("Out"), "Pedal Board");
  page.Create();
  EXPECT_EQ(MidiSetup::List(page, MidiPage::kIdInput)->currentText(), "Pedal Board");
  EXPECT_EQ(MidiSetup::List(page, MidiPage::kIdOutput)->currentText(), "Pedal Board");
}

TEST(MidiPage, TheInputCarriesTheOutputAlongAndLeavingSaves) {
  MidiSetup s;
  s.profile().WriteString("MIDI", "In", "usb audio device");  // letter case aside
  s.midi.AddDevice("USB Audio Device");
  s.midi.AddDevice("Pedal Board");
  s.midi.AddDevice("Keys In", true, false);
  CommsMidiPage page(s.context.run);
  page.Create();
  QComboBox* in = MidiSetup::List(page, MidiPage::kIdInput);
  QComboBox* out = MidiSetup::List(page, MidiPage::kIdOutput);
  EXPECT_EQ(in->currentText(), "USB Audio Device");
  in->setCurrentText("Pedal Board");
  EXPECT_EQ(out->currentText(), "Pedal Board");
  in->setCurrentText("Keys In");  // no output of that name: the output stays
  EXPECT_EQ(out->currentText(), "Pedal Board");
  EXPECT_TRUE(page.OnKillActive());
  EXPECT_EQ(s.Stored("In"), "Keys In");
  EXPECT_EQ(s.Stored("Out"), "Pedal Board");
}

TEST(MidiPage, NoDevicesTellTheUserAndKeepTheStoredNames) {
  MidiSetup s;
  s.profile().WriteString("MIDI", "In", "Pedal Board");
  s.profile().WriteString("MIDI", "Out", "Pedal Board");
  {
    CommsMidiPage page(s.context.run);
    page.Create();
    ASSERT_EQ(s.boxes.Boxes().size(), 1u);
    EXPECT_EQ(s.boxes.Boxes()[0].text, "No MIDI devices available");
    EXPECT_EQ(s.boxes.Boxes()[0].title, "MIDI Configuration");
    EXPECT_EQ(MidiSetup::List(page, MidiPage::kIdInput)->count(), 0);
    page.OnOK();
  }
  // The interface being unplugged is no reason to forget it.
  EXPECT_EQ(s.Stored("In"), "Pedal Board");
  EXPECT_EQ(s.Stored("Out"), "Pedal Board");
}

TEST(MidiPage, UseSerialAsksForSerial) {
  MidiSetup s;
  s.midi.AddDevice("USB Audio Device");
  CommsMidiPage page(s.context.run);
  int asked = -1;
  page.SetCommsModeSwitch([&asked](int mode) { asked = mode; });
  page.Create();
  EXPECT_FALSE(page.Control(MidiPage::kIdUseSerial)->isHidden());
  static_cast<QAbstractButton*>(page.Control(MidiPage::kIdUseSerial))->click();
  EXPECT_EQ(asked, 0);
}

}  // namespace
}  // namespace kestrune
