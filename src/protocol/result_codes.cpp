// SPDX-License-Identifier: MIT
// Result codes to texts, and the failure line an exchange reports.
#include <cstdio>

#include "protocol/protocol_engine.h"

namespace kestrune {
namespace {

struct CodeText {
  int code;
  const char* text;
};

// Fixed texts of the unit's and the engine's own codes; consulted before the driver.
constexpr CodeText kFixedTexts[] = {
    {1, "Bad Checksum"},
    {2, "Timeout"},
    {3, "Bad Flash Write"},
    {4, "Bad Flash Erase"},
    {7, "Bad Flash Write 1"},
    {8, "Bad Flash Write 2"},
    {9, "Bad Message 1"},
    {10, "Bad Message 2"},
    // The engine's own checks of a serial line: misaligned, doubled or damaged replies.
    {11, "Stray Data"},
    {12, "Bad Reply Header"},
    {13, "Bad Reply Checksum"},
};

// Error words of the unit's device layer.
constexpr CodeText kDeviceWords[] = {
    {0, "ok"},           {4000, "bad_device_id"},     {4001, "aborted"},     {4002, "bad_vpp1"},
    {4003, "bad_vpp2"},  {4004, "bad_vpp"},           {4005, "bad_write1"},  {4006, "bad_write2"},
    {4007, "bad_write"}, {4008, "bad_erase1"},        {4009, "bad_erase2"},  {4010, "bad_erase"},
    {4011, "not_blank"}, {4012, "bad_block_address"}, {4013, "bad_compare"}, {4016, "timeout"},
};

}  // namespace

std::string Sender::DeviceErrorWord(int code) {
  for (const auto& row : kDeviceWords) {
    if (row.code == code) return row.text;
  }
  return {};
}

std::string Sender::ErrorText(int code) {
  if (code == kAskDriver) code = driver_ ? driver_->LastError() : 0;
  std::string text;
  if (code >= 0) {
    for (const auto& row : kFixedTexts) {
      if (row.code == code) text = row.text;
    }
    if (text.empty()) text = DeviceErrorWord(code);
    if (!text.empty()) return text;
  }
  if (driver_) text = driver_->ErrorText(code);
  return text.empty() ? "Unknown Error" : text;
}

void Sender::ReportResult(const char* stage, int code, const std::string& replyText) {
  if (code == kResultOk) return;
  if (code == kCancelledByUser) {
    messageText_ = "Cancelled by User";
    ShowStatus(messageText_, 1);
    return;
  }
  const std::string head = replyText.empty() ? ErrorText(code) : replyText;
  char line[256];
  std::snprintf(line, sizeof line, "%s (%s %s Error %d)", head.c_str(), commandName_, stage, code);
  messageText_ = line;
  Log("%s", line);
  ShowStatus(messageText_, 1);
}

}  // namespace kestrune
