// SPDX-License-Identifier: MIT
// The console and recording message boxes, and the boxes held back under a lock.
#include "message_box.h"

#include <cstdio>

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

int MessageBoxes::Show(const std::string& text, const std::string& title, unsigned style, void* owner) {
  if (holdDepth_ > 0) {
    held_.push_back(HeldBox{text, title, style});
    return DefaultAnswer(style);
  }
  return service_->Show(text, title, style, owner);
}

MessageBoxes::HoldBack::HoldBack(MessageBoxes* boxes) : boxes_(boxes) {
  if (boxes_) ++boxes_->holdDepth_;
}

MessageBoxes::HoldBack::~HoldBack() {
  if (!boxes_ || --boxes_->holdDepth_ > 0 || boxes_->held_.empty()) return;
  // Taken out first: a box shown now may itself lead to code that holds boxes back again.
  std::vector<HeldBox> held;
  held.swap(boxes_->held_);
  for (const HeldBox& box : held) boxes_->service_->Show(box.text, box.title, box.style, nullptr);
}

}  // namespace kestrune
