// SPDX-License-Identifier: MIT
// The console and recording message boxes and the program-wide service slot.
#include "message_box.h"

#include <atomic>
#include <cstdio>
#include <memory>

namespace kestrune {

int ConsoleMessageBox::Show(const std::string& text, const std::string& title, unsigned style, void*) {
  std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
  std::fflush(stderr);
  return (style & kBoxButtonMask) == kBoxYesNo ? kAnswerYes : kAnswerOk;
}

int RecorderMessageBox::Show(const std::string& text, const std::string& title, unsigned style, void* owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  boxes_.push_back(Box{text, title, style, owner});
  return answer_;
}

std::vector<RecorderMessageBox::Box> RecorderMessageBox::Boxes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}

void RecorderMessageBox::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  boxes_.clear();
}

namespace {
std::atomic<MessageBoxService*> g_service{nullptr};

MessageBoxService& DefaultService() {
  static ConsoleMessageBox console;
  return console;
}
}  // namespace

MessageBoxService& CurrentMessageBox() {
  MessageBoxService* s = g_service.load();
  return s ? *s : DefaultService();
}

void SetMessageBoxService(MessageBoxService* service) {
  g_service.store(service);
}

int DefaultAnswer(unsigned style) {
  switch (style & kBoxButtonMask) {
    case kBoxYesNo:
      return kAnswerNo;
    case kBoxOkCancel:
      return kAnswerCancel;
    default:
      return kAnswerOk;
  }
}

namespace {
struct HeldBox {
  std::string text;
  std::string title;
  unsigned style;
};
thread_local int t_holdDepth = 0;
thread_local std::vector<HeldBox>* t_heldBoxes = nullptr;
}  // namespace

int ShowMessageBox(const std::string& text, const std::string& title, unsigned style, void* owner) {
  if (t_holdDepth > 0) {
    if (!t_heldBoxes) t_heldBoxes = new std::vector<HeldBox>;
    t_heldBoxes->push_back(HeldBox{text, title, style});
    return DefaultAnswer(style);
  }
  return CurrentMessageBox().Show(text, title, style, owner);
}

HoldBackBoxes::HoldBackBoxes() {
  ++t_holdDepth;
}

HoldBackBoxes::~HoldBackBoxes() {
  if (--t_holdDepth > 0 || !t_heldBoxes) return;
  // Taken out first: a box shown now may itself lead to code that holds boxes back again.
  std::unique_ptr<std::vector<HeldBox>> held(t_heldBoxes);
  t_heldBoxes = nullptr;
  for (const HeldBox& box : *held) CurrentMessageBox().Show(box.text, box.title, box.style, nullptr);
}

ScopedMessageBox::ScopedMessageBox(MessageBoxService* service) : previous_(g_service.load()) {
  g_service.store(service);
}

ScopedMessageBox::~ScopedMessageBox() {
  g_service.store(previous_);
}

}  // namespace kestrune
