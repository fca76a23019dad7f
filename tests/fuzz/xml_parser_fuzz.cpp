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

using kestrune::XmlEntry;

// Counts entries and checks each entry's fields against what parsing may produce.
std::size_t CheckEntry(const XmlEntry& entry, std::size_t inputSize, int depth) {
  if (depth > XmlEntry::kMaxTagDepth + 1) std::abort();
  if (entry.Name().size() > inputSize || entry.Text().size() > inputSize) std::abort();
  if (entry.BracketCount() < 0) std::abort();
  std::size_t count = 1;
  for (const auto& child : entry.Children()) count += CheckEntry(*child, inputSize, depth + 1);
  return count;
}

bool SameEntries(const XmlEntry& a, const XmlEntry& b) {
  if (a.Name() != b.Name() || a.Text() != b.Text() || a.Attributes() != b.Attributes() ||
      a.BracketCount() != b.BracketCount() || a.Children().size() != b.Children().size())
    return false;
  for (std::size_t i = 0; i < a.Children().size(); ++i)
    if (!SameEntries(*a.Children()[i], *b.Children()[i])) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  kestrune::XmlParser doc(bytes);
  const std::string text(bytes);  // NUL-terminated copy; the parse stops at the first NUL either way
  kestrune::XmlParser again(text.c_str());
  if (!SameEntries(doc, again) || !SameEntries(doc.ProcessingInstructions(), again.ProcessingInstructions()))
    std::abort();
  CheckEntry(doc, size, 0);
  CheckEntry(doc.ProcessingInstructions(), size, 0);

  // The lookups the protocol engine makes on an identification reply, and a content-free one.
  for (const char* key : {"TypeNumber", "AppName", "IdNumber", "SerialNumber"}) {
    if (const XmlEntry* value = doc.FindEntry("key", key)) {
      if (value->Text().size() > size) std::abort();
    }
  }
  if (const XmlEntry* any = doc.FindEntry("key")) {
    if (any->Name() != "/key") std::abort();
  }

  // A single tag parsed from every start position exercises ParseTag on its own.
  XmlEntry single;
  if (single.ParseTag(bytes) > size) std::abort();
  return 0;
}
