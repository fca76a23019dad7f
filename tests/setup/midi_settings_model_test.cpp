// SPDX-License-Identifier: MIT
// The MIDI settings model over the loopback MIDI system: which pair it chooses from the profile
// and the devices present, when it writes the profile, and saving.
#include <gtest/gtest.h>

#include "platform/midi_loopback.h"
#include "platform/profile.h"
#include "setup/midi_settings_model.h"
#include "test_context.h"
#include "test_env.h"

namespace kestrune {
namespace {

// A profile of its own for each case.
struct FreshProfile {
  test::TempDir dir;
  test::TestContext context{dir / "romsend.ini"};
  std::string In() const { return context.profile.GetString("MIDI", "In", "(none)"); }
  std::string Out() const { return context.profile.GetString("MIDI", "Out", "(none)"); }
};

struct Device {
  const char* name;
  bool input;
  bool output;
};

TEST(MidiSettingsModel, ChoosesThePair) {
  const struct {
    const char* name;
    std::vector<Device> devices;
    const char* savedIn;  // null: not in the profile
    const char* savedOut;
    bool fallback;
    const char* in;
    const char* out;
    const char* writtenIn;  // "(none)": nothing written
    const char* writtenOut;
  } rows[] = {
      {"default names found, nothing written",
       {{"Synth", true, true}, {"USB Audio Device", true, true}},
       nullptr,
       nullptr,
       true,
       "USB Audio Device",
       "USB Audio Device",
       "(none)",
       "(none)"},
      {"only other names: first input that is also an output, written as both",
       {{"Alpha", true, false}, {"Beta", true, true}, {"Gamma", false, true}, {"Delta", true, true}},
       nullptr,
       nullptr,
       true,
       "Beta",
       "Beta",
       "Beta",
       "Beta"},
      {"names found regardless of case",
       {{"USB Audio Device", true, true}, {"Synth", true, true}},
       "usb audio DEVICE",
       "SYNTH",
       true,
       "usb audio DEVICE",
       "SYNTH",
       "usb audio DEVICE",
       "SYNTH"},
      {"an output that is not there follows the input",
       {{"Alpha", true, true}},
       "alpha",
       "Gone",
       true,
       "alpha",
       "alpha",
       "alpha",
       "Gone"},
      {"no input is also an output: the input name stays as read",
       {{"Alpha", true, false}, {"Gamma", false, true}},
       "Gone",
       "Other",
       true,
       "Gone",
       "Gone",
       "Gone",
       "Gone"},
      {"without fallback the profile's names stand",
       {{"Alpha", true, true}},
       "Gone",
       "Other",
       false,
       "Gone",
       "Other",
       "Gone",
       "Other"},
      {"no devices at all",
       {},
       nullptr,
       nullptr,
       true,
       "USB Audio Device",
       "USB Audio Device",
       "USB Audio Device",
       "USB Audio Device"},
  };
  for (const auto& row : rows) {
    FreshProfile profile;
    if (row.savedIn) profile.context.profile.WriteString("MIDI", "In", row.savedIn);
    if (row.savedOut) profile.context.profile.WriteString("MIDI", "Out", row.savedOut);
    MidiLoopback loop;
    for (const Device& d : row.devices) loop.AddDevice(d.name, d.input, d.output);
    auto model = std::make_unique<MidiSettingsModel>(profile.context.run, row.fallback, loop.MakePorts());
    EXPECT_EQ(model->inputName, row.in) << row.name;
    EXPECT_EQ(model->outputName, row.out) << row.name;
    EXPECT_EQ(model->savedInputName, row.in) << row.name;
    EXPECT_EQ(model->savedOutputName, row.out) << row.name;
    EXPECT_EQ(profile.In(), row.writtenIn) << row.name;
    EXPECT_EQ(profile.Out(), row.writtenOut) << row.name;
    // Destroying the model saves what it holds.
    model.reset();
    EXPECT_EQ(profile.In(), row.in) << row.name;
    EXPECT_EQ(profile.Out(), row.out) << row.name;
  }
}

TEST(MidiSettingsModel, FindsAndSaves) {
  FreshProfile profile;
  MidiLoopback loop;
  loop.AddDevice("Synth", false, true);
  loop.AddDevice("USB Audio Device");
  loop.AddDevice("Late", true, false);
  MidiSettingsModel model(profile.context.run, true, loop.MakePorts());
  EXPECT_EQ(model.InputNames(), (std::vector<std::string>{"USB Audio Device", "Late"}));
  EXPECT_EQ(model.OutputNames(), (std::vector<std::string>{"Synth", "USB Audio Device"}));
  EXPECT_EQ(model.FindInput("usb AUDIO device"), 0);
  EXPECT_EQ(model.FindOutput("usb AUDIO device"), 1);
  EXPECT_EQ(model.FindInput("Synth"), -1);
  EXPECT_EQ(model.FindInput("USB Audio"), -1);  // whole names only
  // Every lookup lists the devices afresh.
  loop.AddDevice("Hotplug");
  EXPECT_EQ(model.FindInput("hotplug"), 2);
  loop.RemoveDevice("USB Audio Device");
  EXPECT_EQ(model.FindInput("USB Audio Device"), -1);

  // Names that match no device are saved as they are.
  model.inputName = "Nowhere";
  model.outputName = "Synth";
  model.Save();
  EXPECT_EQ(profile.In(), "Nowhere");
  EXPECT_EQ(profile.Out(), "Synth");
  EXPECT_EQ(model.savedInputName, "Nowhere");
  EXPECT_EQ(model.savedOutputName, "Synth");
}

}  // namespace
}  // namespace kestrune
