// SPDX-License-Identifier: MIT
// The tag-list XML reader: one pass over the text, tags appended in the order they stand.
#include "xml_parser.h"

#include <algorithm>

namespace kestrune {
namespace {

// Blanks are every character whose value as a signed byte is 0x20 or less: ASCII control
// characters and space, and also every byte of 0x80 and above.
bool IsBlank(char c) {
  return static_cast<signed char>(c) <= 0x20;
}

// Ends an attribute name. Only a space separates tokens here: a tab or a line end stays part
// of the token, as the unit's own reader treats them, so both sides see the same attributes.
bool EndsToken(char c) {
  return c == '\0' || c == '<' || c == '>' || c == '=' || c == ' ';
}

const char* SkipBlanks(const char* p, const char* end) {
  while (p != end && IsBlank(*p)) ++p;
  return p;
}

// The text up to its first NUL: a reply handed over as bytes ends there like a C string would.
std::string_view UpToNul(std::string_view text) {
  const std::size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

}  // namespace

std::size_t XmlEntry::ParseTag(std::string_view text, XmlObserver* observer) {
  text = UpToNul(text);
  return ParseFrom(text.data(), text.data() + text.size(), observer, 0);
}

std::size_t XmlEntry::ParseTag(const char* text, XmlObserver* observer) {
  if (!text) return 0;
  return ParseTag(std::string_view(text), observer);
}

std::size_t XmlEntry::ParseFrom(const char* start, const char* end, XmlObserver* observer, int depth) {
  const char* open = std::find(start, end, '<');
  if (open == end) return 0;
  text_.assign(start, open);

  const char* p = open + 1;
  const char* nameEnd = p;
  while (nameEnd != end && *nameEnd != '>' && !IsBlank(*nameEnd)) ++nameEnd;
  name_.assign(p, nameEnd);
  p = nameEnd;

  for (;;) {
    const char* stepStart = p;
    p = SkipBlanks(p, end);
    if (p == end) return 0;  // the text ends inside the tag
    // "?>" and "/>" close the tag like '>'.
    if ((*p == '?' || *p == '/') && p + 1 != end && p[1] == '>') ++p;
    if (*p == '>') return static_cast<std::size_t>(p + 1 - start);

    if (*p == '<') {
      if (depth >= kMaxTagDepth) return 0;
      auto child = std::make_unique<XmlEntry>();
      // The child starts where this step began, so the blanks before it become its text.
      const std::size_t used = child->ParseFrom(stepStart, end, observer, depth + 1);
      if (used == 0) return 0;
      children_.push_back(std::move(child));
      if (observer) observer->ChildParsed(name_, *this);
      p = stepStart + used;
    } else if (*p == '[' || *p == ']') {
      ++bracketCount_;
      ++p;
    } else {
      p = ReadAttribute(p, end);
      if (!p) return 0;
    }
  }
}

// Reads one attribute token at `p` (not a blank, not '<' or '>'); returns the position after it,
// or null when the text ends before the value's closing quote.
const char* XmlEntry::ReadAttribute(const char* p, const char* end) {
  const char* tokenStart = p;
  while (p != end && !EndsToken(*p)) ++p;
  std::string token(tokenStart, p);
  p = SkipBlanks(p, end);
  if (p != end && *p == '=') {
    token += '=';
    p = SkipBlanks(p + 1, end);
    if (p == end) return nullptr;
    // Whatever character stands here quotes the value, up to its next occurrence.
    const char quote = *p;
    const char* close = std::find(p + 1, end, quote);
    if (close == end) return nullptr;
    token.append(p, close + 1);
    p = close + 1;
  }
  attributes_.push_back(std::move(token));
  return p;
}

const XmlEntry* XmlEntry::FindEntry(std::string_view name, const char* content) const {
  std::string key;
  key.reserve(name.size() + 1);
  key += '/';
  key += name;
  for (std::size_t i = 0; i < children_.size(); ++i) {
    const XmlEntry& entry = *children_[i];
    if (entry.name_ != key) {
      if (const XmlEntry* found = entry.FindEntry(name, content)) return found;
      continue;
    }
    if (!content) return &entry;
    if (entry.text_.find(content) == std::string::npos) continue;
    return i + 2 < children_.size() ? children_[i + 2].get() : nullptr;
  }
  return nullptr;
}

XmlParser::XmlParser(const char* text, XmlObserver* observer) {
  if (text) Parse(std::string_view(text), observer);
}

XmlParser::XmlParser(std::string_view text, XmlObserver* observer) {
  Parse(UpToNul(text), observer);
}

void XmlParser::Parse(std::string_view text, XmlObserver* observer) {
  const char* p = text.data();
  const char* const end = p + text.size();
  for (;;) {
    auto entry = std::make_unique<XmlEntry>();
    const std::size_t used = entry->ParseFrom(p, end, observer, 0);
    if (used == 0) break;
    if (!entry->Name().empty() && entry->Name()[0] == '?')
      instructions_.Append(std::move(entry));
    else
      children_.push_back(std::move(entry));
    p += used;
  }
}

}  // namespace kestrune
