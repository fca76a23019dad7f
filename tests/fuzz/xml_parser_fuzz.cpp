// SPDX-License-Identifier: MIT
// Fuzzes the tag-list XML reader with arbitrary bytes, as a unit's reply could deliver them.
// Besides crashes and sanitizer reports it checks that the byte view and the C-string forms of
// the same text give the same entries, and that lookups stay inside the parsed lists.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/xml_parser.h"

namespace {

using kestrune::XMLentry;

// Counts entries and checks each entry's fields against what parsing may produce.
std::size_t CheckEntry(const XMLentry& entry, std::size_t inputSize, int depth) {
  if (depth > XMLentry::kMaxTagDepth + 1) std::abort();
  if (entry.getName().size() > inputSize || entry.getText().size() > inputSize) std::abort();
  if (entry.getBracketCount() < 0) std::abort();
  std::size_t count = 1;
  for (const auto& child : entry.getChildren()) count += CheckEntry(*child, inputSize, depth + 1);
  return count;
}

bool SameEntries(const XMLentry& a, const XMLentry& b) {
  if (a.getName() != b.getName() || a.getText() != b.getText() || a.getAttributes() != b.getAttributes() ||
      a.getBracketCount() != b.getBracketCount() || a.getChildren().size() != b.getChildren().size())
    return false;
  for (std::size_t i = 0; i < a.getChildren().size(); ++i)
    if (!SameEntries(*a.getChildren()[i], *b.getChildren()[i])) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  kestrune::XMLparser doc(bytes);
  const std::string text(bytes);  // NUL-terminated copy; the parse stops at the first NUL either way
  kestrune::XMLparser again(text.c_str());
  if (!SameEntries(doc, again) || !SameEntries(doc.processingInstructions(), again.processingInstructions()))
    std::abort();
  CheckEntry(doc, size, 0);
  CheckEntry(doc.processingInstructions(), size, 0);

  // The lookups the protocol engine makes on an identification reply, and a content-free one.
  for (const char* key : {"TypeNumber", "AppName", "IdNumber", "SerialNumber"}) {
    if (const XMLentry* value = doc.findEntry("key", key)) {
      if (value->getText().size() > size) std::abort();
    }
  }
  if (const XMLentry* any = doc.findEntry("key")) {
    if (any->getName() != "/key") std::abort();
  }

  // A single tag parsed from every start position exercises parseTag on its own.
  XMLentry single;
  if (single.parseTag(bytes) > size) std::abort();
  return 0;
}
