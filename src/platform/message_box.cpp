// The console and recording message boxes and the program-wide service slot.
#include "message_box.h"

#include <atomic>
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

void SetMessageBoxService(MessageBoxService* service) { g_service.store(service); }

int ShowMessageBox(const std::string& text, const std::string& title, unsigned style, void* owner) {
  return CurrentMessageBox().Show(text, title, style, owner);
}

ScopedMessageBox::ScopedMessageBox(MessageBoxService* service) : previous_(g_service.load()) {
  g_service.store(service);
}

ScopedMessageBox::~ScopedMessageBox() { g_service.store(previous_); }

}  // namespace kestrune
