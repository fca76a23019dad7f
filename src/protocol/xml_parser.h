// SPDX-License-Identifier: MIT
// A small, forgiving XML reader for the unit's identification reply: it turns a text into a flat,
// ordered list of tags rather than a tree, and looks values up by the key element before them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

class XmlEntry;

// Told about every tag found inside another tag (as in a document type declaration's internal
// subset). Called on the parsing thread, during parsing, after the child has been appended.
class XmlObserver {
 public:
  virtual ~XmlObserver() = default;
  virtual void ChildParsed(const std::string& parentName, XmlEntry& parent) = 0;
};

// One tag. An opening tag and its closing tag are two separate entries; an element's content is
// the text of its closing-tag entry (the raw characters before the closing tag's '<').
class XmlEntry {
 public:
  using List = std::vector<std::unique_ptr<XmlEntry>>;

  // Tags nested deeper than this inside other tags make the enclosing tag fail to parse, so a
  // hostile text cannot exhaust the stack.
  static constexpr int kMaxTagDepth = 64;

  XmlEntry() = default;
  virtual ~XmlEntry() = default;
  XmlEntry(const XmlEntry&) = delete;
  XmlEntry& operator=(const XmlEntry&) = delete;

  // Fills this entry from the next tag of `text` and returns the number of characters consumed
  // up to and including the tag's closing '>', or 0 when no complete tag follows. The text ends
  // at its first NUL or at the end of the view, whichever comes first; nothing beyond is read.
  std::size_t ParseTag(std::string_view text, XmlObserver* observer = nullptr);
  std::size_t ParseTag(const char* text, XmlObserver* observer = nullptr);

  // Looks up the closing-tag entry "/<name>" in this entry's list, depth-first through the
  // children of entries with other names. Without `content` the first such entry is returned.
  // With `content`, the first such entry whose text contains `content` is found and the entry
  // two places after it in the same list is returned (the value element's closing tag that
  // follows a key element), or null when that list ends first. Null when nothing matches.
  const XmlEntry* FindEntry(std::string_view name, const char* content = nullptr) const;

  const std::string& Name() const { return name_; }
  // A copy of the characters that stood between the previous tag and this one.
  std::string Text() const { return text_; }
  // One item per attribute token: a bare name, or name="value" with the value's own quotes.
  const std::vector<std::string>& Attributes() const { return attributes_; }
  int BracketCount() const { return bracketCount_; }
  // Tags that stood inside this tag (for the document: its top-level tags), in order.
  const List& Children() const { return children_; }

 protected:
  List children_;

 private:
  friend class XmlParser;

  // Parses the tag that starts at or after `start`; the text ends at `end` (no NUL inside).
  std::size_t ParseFrom(const char* start, const char* end, XmlObserver* observer, int depth);
  const char* ReadAttribute(const char* p, const char* end);

  int bracketCount_ = 0;
  std::string name_;
  std::vector<std::string> attributes_;
  std::string text_;
};

// A parsed document. Its own list holds the top-level tags in document order, except processing
// instructions (names beginning with "?"), which are the children of ProcessingInstructions().
// A text that ends inside a tag keeps every tag before that one.
class XmlParser : public XmlEntry {
 public:
  // `text` may be null (both lists stay empty). The observer, when given, must outlive the call.
  explicit XmlParser(const char* text, XmlObserver* observer = nullptr);
  explicit XmlParser(std::string_view text, XmlObserver* observer = nullptr);

  const XmlEntry& ProcessingInstructions() const { return instructions_; }

 private:
  class InstructionList : public XmlEntry {
   public:
    void Append(std::unique_ptr<XmlEntry> entry) { children_.push_back(std::move(entry)); }
  };

  void Parse(std::string_view text, XmlObserver* observer);

  InstructionList instructions_;
};

}  // namespace kestrune
