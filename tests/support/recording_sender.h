// SPDX-License-Identifier: MIT
// The protocol engine with its console output captured instead of printed, for tests and fuzz
// targets: every status text it shows and every trace character, in order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/protocol_engine.h"
#include "test_context.h"

namespace kestrune::test {

// A context of the sender's own, for tests that bring none (built only for them, so a fuzz
// target that brings its own needs no test main); a base, so that it is built before the
// engine that uses it.
struct OwnTestContext {
  std::unique_ptr<TestContext> ownContext;
};

class RecordingSender : public OwnTestContext, public Sender {
 public:
  explicit RecordingSender(const std::string& resultLogPath = "romsend.txt", const ProtocolLimits& limits = {})
      : OwnTestContext{std::make_unique<TestContext>()}, Sender(ownContext->run, resultLogPath, limits) {}
  RecordingSender(const RunContext& context, const std::string& resultLogPath, const ProtocolLimits& limits = {})
      : Sender(context, resultLogPath, limits) {}

  void ShowStatus(const std::string& text, int) override {
    statuses.push_back(text);
    if (onText) onText(text);
  }
  void TraceChar(char c) override { traced += c; }
  void ShowProgress(uint32_t, uint32_t) override {}

  std::vector<std::string> statuses;
  std::string traced;
  // Runs on every status text as it is shown.
  std::function<void(const std::string&)> onText;
};

}  // namespace kestrune::test
