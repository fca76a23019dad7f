// SPDX-License-Identifier: MIT
// How long a send takes to return after Stop is pressed, or after the unit's line hangs up, in
// each phase of a serial send against the simulated unit: the contact wait, the line
// synchronisation, the erase, a data frame and Close. Each phase is caught in its longest wait
// (a silent unit, a chattering one, a 60 s erase, unanswered frames). Goal: at most 1 s.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench_util.h"
#include "platform/event_pump.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "platform/tick_count.h"
#include "protocol/protocol_engine.h"
#include "simulated_unit.h"
#include "transport/serial_transport.h"

namespace {

using namespace kestrune;

enum class Phase { kContact, kSync, kErase, kData, kClose };

constexpr double kGoalMs = 1000;
// When the stop or the pull comes: well into the contact phase's one-second waits (past its
// first status texts, which stand 500 ms apart), or a little into a frame's reply wait.
constexpr int kIntoContactMs = 1700;
constexpr int kIntoAFrameMs = 300;

const char* PhaseName(Phase p) {
  switch (p) {
    case Phase::kContact:
      return "contact";
    case Phase::kSync:
      return "line synchronisation";
    case Phase::kErase:
      return "erase wait";
    case Phase::kData:
      return "data frame";
    case Phase::kClose:
      return "Close";
  }
  return "";
}

// One send caught in `phase`; returns the milliseconds from the stop or the pull until the
// engine returned, or -1 when the run went wrong.
int Measure(Phase phase, bool hangUp, const std::string& dir) {
  sim::SimulatedUnit unit;
  if (!unit.Start()) return -1;
  ConsoleRunContext context(ProgramPath(), dir + "/romsend.ini");
  int elapsed = -1;
  {
    ProtocolEngine engine(context.run, dir + "/romsend.txt");
    engine.SetStatusPrinter(
        [](const char* format, const char* text) { std::printf("  %s\n", FormatStatus(format, text).c_str()); });
    engine.SetDriver(std::make_unique<SerialTransport>(context.run, "Serial Settings", unit.SlavePath()));
    std::atomic<uint32_t> fired{0};
    std::thread trigger;
    auto fire = [&](int afterMs) {
      trigger = std::thread([&, afterMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
        fired = TickCount();
        if (hangUp)
          unit.SetHangUpAfter(0);
        else
          context.headlessPump.Post([&] { engine.SetCancel(1); });
      });
    };
    bool ready = true;
    if (phase == Phase::kContact) {
      unit.SetSilent(true);
    } else if (phase == Phase::kSync) {
      unit.SetPromptAnswer("");
      unit.SetChatter("x", 200);
    } else {
      ready = engine.Contact() == 0;
      unit.SetEraseDelay(60000);
      unit.SetReplyFault(sim::kCmdSendData, sim::Stage::kResult, {sim::ReplyFault::Kind::kSilent, 0, "", 1});
      unit.SetReplyFault(sim::kCmdClose, sim::Stage::kResult, {sim::ReplyFault::Kind::kSilent, 0, "", 1});
    }
    if (ready) {
      const bool contact = phase == Phase::kContact || phase == Phase::kSync;
      fire(contact ? kIntoContactMs : kIntoAFrameMs);
      const uint8_t header[6] = {0x00, 0x06, 0x12, 0x34, 0x00, 0x01};
      const uint8_t data[16] = {};
      int result = 0;
      if (contact) {
        result = engine.Contact();
      } else if (phase == Phase::kErase) {
        engine.BeginMessage(kCmdOpen, sizeof header, "Open");
        engine.Append(header, sizeof header);
        result = engine.Exchange(engine.Limits().openResultMs, 1);
      } else if (phase == Phase::kData) {
        result = engine.SendData(0, data, sizeof data, 0x1234);
      } else {
        engine.BeginMessage(kCmdClose, 0, "Close");
        result = engine.Exchange(engine.Limits().closeResultMs, 0);
      }
      const uint32_t returned = TickCount();
      trigger.join();
      if (result != 0 && fired.load() != 0) elapsed = TickDiff(returned, fired.load());
    }
    engine.CloseDriver();
  }
  return elapsed;
}

}  // namespace

int main() {
  char dir[] = "/tmp/kestrune-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  setenv("XDG_CONFIG_HOME", dir, 1);
  setenv("XDG_RUNTIME_DIR", dir, 1);
  bool missed = false;
  for (const bool hangUp : {false, true}) {
    for (const Phase phase : {Phase::kContact, Phase::kSync, Phase::kErase, Phase::kData, Phase::kClose}) {
      const int ms = Measure(phase, hangUp, dir);
      const std::string name =
          std::string(hangUp ? "Hang-up" : "Stop") + " during the " + PhaseName(phase) + ": send returned after";
      std::printf("%s %s\n", name.c_str(), ms >= 0 ? (std::to_string(ms) + " ms").c_str() : "failed");
      bench::PrintFigure(name, ms, "ms", "<=", kGoalMs, ms >= 0);
      missed = missed || ms < 0 || ms > kGoalMs;
    }
  }
  return missed ? 2 : 0;
}
