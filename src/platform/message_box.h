// SPDX-License-Identifier: MIT
// Message boxes: the one way every layer shows the user a message and gets an answer.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace kestrune {

// Style bits with the values of the Windows message-box flags they stand for.
enum BoxStyle : unsigned {
  kBoxOk = 0x00,
  kBoxOkCancel = 0x01,
  kBoxYesNo = 0x04,
  kBoxIconError = 0x10,
  kBoxIconQuestion = 0x20,
  kBoxIconWarning = 0x30,
  kBoxIconInformation = 0x40,
};
constexpr unsigned kBoxButtonMask = 0x0f;
constexpr unsigned kBoxIconMask = 0xf0;

// Answers, with the Windows values.
enum BoxAnswer : int { kAnswerOk = 1, kAnswerCancel = 2, kAnswerYes = 6, kAnswerNo = 7 };

// Shows one message and returns the user's answer. Called on the user-interface thread
// (the main thread of a console program); blocks until answered.
class MessageBoxService {
 public:
  virtual ~MessageBoxService() = default;
  // `owner` is the window the box belongs to (a QWidget* in the GUI), or null for none.
  virtual int Show(const std::string& text, const std::string& title, unsigned style, void* owner) = 0;
};

// Console programs: "title: text" on stderr, answered with OK (or Yes).
class ConsoleMessageBox : public MessageBoxService {
 public:
  int Show(const std::string& text, const std::string& title, unsigned style, void* owner) override;
};

// Tests: records every box and answers with a fixed value. Thread-safe.
class RecorderMessageBox : public MessageBoxService {
 public:
  struct Box {
    std::string text;
    std::string title;
    unsigned style;
    void* owner;
  };
  explicit RecorderMessageBox(int answer = kAnswerOk) : answer_(answer) {}
  int Show(const std::string& text, const std::string& title, unsigned style, void* owner) override;
  std::vector<Box> Boxes() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Box> boxes_;
  int answer_;
};

// The answer a box takes when no person answers it: OK, or for a question the one that goes no
// further (No, Cancel).
int DefaultAnswer(unsigned style);

// The program's message boxes: every box goes through Show, to the service the program chose
// (windows, standard error, a recorder in tests). User-interface thread only (the main thread
// of a console program).
class MessageBoxes {
 public:
  explicit MessageBoxes(MessageBoxService& service) : service_(&service) {}
  MessageBoxes(const MessageBoxes&) = delete;
  MessageBoxes& operator=(const MessageBoxes&) = delete;

  // Shows the box and returns the answer. While boxes are held back (below), the box is queued
  // instead and the answer that changes nothing is returned at once: OK, No for a Yes/No
  // question, Cancel for OK/Cancel.
  int Show(const std::string& text, const std::string& title, unsigned style, void* owner = nullptr);

  MessageBoxService& Service() const { return *service_; }
  // Shows later boxes through `service`; the caller keeps it alive while it is in use.
  void SetService(MessageBoxService& service) { service_ = &service; }

  // Holds back the boxes for its life: a box waits for a person, and no person may be waited
  // for while a lock that other programs wait on is held. The held-back boxes are shown, in
  // order and without an owner, when the outermost holder ends. Nests. A null `boxes` holds
  // nothing back (a port opened with no boxes to show).
  class HoldBack {
   public:
    explicit HoldBack(MessageBoxes* boxes);
    ~HoldBack();
    HoldBack(const HoldBack&) = delete;
    HoldBack& operator=(const HoldBack&) = delete;

   private:
    MessageBoxes* boxes_;
  };

 private:
  struct HeldBox {
    std::string text;
    std::string title;
    unsigned style;
  };
  MessageBoxService* service_;
  int holdDepth_ = 0;
  std::vector<HeldBox> held_;
};

// Uses another service for the life of a scope and puts the earlier one back afterwards.
class ScopedMessageBox {
 public:
  ScopedMessageBox(MessageBoxes& boxes, MessageBoxService& service) : boxes_(boxes), previous_(boxes.Service()) {
    boxes_.SetService(service);
  }
  ~ScopedMessageBox() { boxes_.SetService(previous_); }
  ScopedMessageBox(const ScopedMessageBox&) = delete;
  ScopedMessageBox& operator=(const ScopedMessageBox&) = delete;

 private:
  MessageBoxes& boxes_;
  MessageBoxService& previous_;
};

}  // namespace kestrune
