// SPDX-License-Identifier: MIT
// The tag-list XML reader: entry lists of small documents, incomplete texts, and key lookups.
#include "protocol/xml_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune {
namespace {

// One line per entry: name(attributes)'text' followed by {children}.
std::string Describe(const XmlEntry::List& list) {
  std::string out;
  for (const auto& entry : list) {
    if (!out.empty()) out += ' ';
    out += entry->Name() + "(";
    for (std::size_t i = 0; i < entry->Attributes().size(); ++i) out += (i ? "," : "") + entry->Attributes()[i];
    out += ")'" + entry->Text() + "'";
    if (!entry->Children().empty()) out += "{" + Describe(entry->Children()) + "}";
  }
  return out;
}

TEST(XmlParser, DocumentsGiveFlatTagLists) {
  const struct {
    const char* label;
    std::string_view text;
    const char* entries;
    const char* instructions;
  } rows[] = {
      {"element with content", "<a>x</a>", "a()'' /a()'x'", ""},
      {"declaration goes to the instructions", "<?xml version=\"1.0\"?>\n<r>", "r()'\n'", "?xml(version=\"1.0\")''"},
      {"empty element without blank", "<br/>", "br/()''", ""},
      {"empty element with blank", "<br />", "br()''", ""},
      {"single quotes kept", "<a b='c d'>", "a(b='c d')''", ""},
      {"bare attribute", "<input checked x=\"1\">", "input(checked,x=\"1\")''", ""},
      {"blanks around the equals sign", "<a b = \"c\">", "a(b=\"c\")''", ""},
      {"line end and tab stay inside a token", "<a b\nc\td>", "a(b\nc\td)''", ""},
      {"carriage return before the equals sign kept", "<a b\r=\"c\">", "a(b\r=\"c\")''", ""},
      {"question mark inside a tag", "<a ?b>", "a(?b)''", ""},
      {"raw text kept, no decoding", "<a>1 &lt; 2\r\n</a>", "a()'' /a()'1 &lt; 2\r\n'", ""},
      {"byte above 0x7f ends a name", "<caf\xc3\xa9 x>", "caf(x)''", ""},
      {"text after the last tag dropped", "<a>x</a>tail", "a()'' /a()'x'", ""},
      {"ends inside a tag", "<a>x</a><b c", "a()'' /a()'x'", ""},
      {"ends inside a quoted value", "<a>x</a><b c=\"d>", "a()'' /a()'x'", ""},
      {"ends after an equals sign", "<a><b c= ", "a()''", ""},
      {"ends inside a nested tag", "<a><b [<c", "a()''", ""},
      {"ends at an embedded NUL", std::string_view("<a>x\0</a>", 9), "a()''", ""},
      {"no tags", "just text", "", ""},
      {"empty text", "", "", ""},
  };
  for (const auto& row : rows) {
    XmlParser doc(row.text);
    EXPECT_EQ(Describe(doc.Children()), row.entries) << row.label;
    EXPECT_EQ(Describe(doc.ProcessingInstructions().Children()), row.instructions) << row.label;
    // The C-string form reads the same text the same way.
    const std::string copy(row.text);
    EXPECT_EQ(Describe(XmlParser(copy.c_str()).Children()), row.entries) << row.label;
  }
  XmlParser none(static_cast<const char*>(nullptr));
  EXPECT_TRUE(none.Children().empty());
  EXPECT_TRUE(none.ProcessingInstructions().Children().empty());
}

struct RecordingObserver : XmlObserver {
  std::vector<std::pair<std::string, const XmlEntry*>> calls;
  void ChildParsed(const std::string& parentName, XmlEntry& parent) override {
    calls.emplace_back(parentName, &parent);
  }
};

TEST(XmlParser, TagsInsideATagBecomeChildren) {
  RecordingObserver observer;
  XmlParser doc("<!DOCTYPE note [\n<!ELEMENT note (#PCDATA)>\n]><note>", &observer);
  ASSERT_EQ(doc.Children().size(), 2u);
  const XmlEntry& doctype = *doc.Children()[0];
  EXPECT_EQ(doctype.Name(), "!DOCTYPE");
  EXPECT_EQ(doctype.BracketCount(), 2);
  EXPECT_EQ(doctype.Attributes(), std::vector<std::string>{"note"});
  EXPECT_EQ(Describe(doctype.Children()), "!ELEMENT(note,(#PCDATA))'\n'");
  ASSERT_EQ(observer.calls.size(), 1u);
  EXPECT_EQ(observer.calls[0].first, "!DOCTYPE");
  EXPECT_EQ(observer.calls[0].second, &doctype);

  // Nesting is bounded: within the limit the chain is kept, beyond it the tag is dropped.
  auto nested = [](int depth) { return std::string(depth, '<') + std::string(depth, '>'); };
  auto spaced = [](int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "< ";
    return text + std::string(depth, '>');
  };
  EXPECT_EQ(Describe(XmlParser(nested(3)).Children()), "<<()''");  // a name runs up to '>'
  XmlParser deep(spaced(XmlEntry::kMaxTagDepth + 1));
  ASSERT_EQ(deep.Children().size(), 1u);
  int depth = 0;
  for (const XmlEntry* e = deep.Children()[0].get(); !e->Children().empty(); e = e->Children()[0].get()) ++depth;
  EXPECT_EQ(depth, XmlEntry::kMaxTagDepth);
  EXPECT_TRUE(XmlParser(spaced(XmlEntry::kMaxTagDepth + 2)).Children().empty());
}

TEST(XmlParser, ParseTagCountsThroughTheClosingBracket) {
  const struct {
    std::string_view text;
    std::size_t used;
    const char* name;
  } rows[] = {
      {"  <a b='1'>rest", 11, "a"},
      {"<?xml v=\"1\"?>", 13, "?xml"},
      {"<x/>", 4, "x/"},
      {"<a [<b>]>tail", 9, "a"},
      {"text only", 0, ""},
      {"<a b='1>", 0, "a"},
  };
  for (const auto& row : rows) {
    XmlEntry entry;
    EXPECT_EQ(entry.ParseTag(row.text), row.used) << row.text;
    if (row.used) {
      EXPECT_EQ(entry.Name(), row.name) << row.text;
    }
  }
  XmlEntry entry;
  EXPECT_EQ(entry.ParseTag(static_cast<const char*>(nullptr)), 0u);
}

// What a unit sends in answer to the identity request.
constexpr const char* kIdentityReply =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n<dict>\n"
    "\t<key>TypeNumber</key>\n\t<integer>7</integer>\n"
    "\t<key>AppName</key>\n\t<string>Reverb Unit</string>\n"
    "\t<key>IdNumber</key>\n\t<integer>305419896</integer>\n"
    "\t<key>SerialNumber</key>\n\t<string>KS-0042-1177</string>\n"
    "</dict>\n</plist>\n";

std::string ValueOf(const XmlEntry& doc, const char* key) {
  const XmlEntry* value = doc.FindEntry("key", key);
  return value ? value->Text() : "<null>";
}

TEST(XmlParser, FindEntryReturnsTheValueAfterAKey) {
  XmlParser reply(kIdentityReply);
  const struct {
    const char* key;
    const char* value;
  } identity[] = {{"TypeNumber", "7"},
                  {"AppName", "Reverb Unit"},
                  {"IdNumber", "305419896"},
                  {"SerialNumber", "KS-0042-1177"},
                  {"Firmware", "<null>"}};
  for (const auto& row : identity) EXPECT_EQ(ValueOf(reply, row.key), row.value) << row.key;
  ASSERT_EQ(reply.ProcessingInstructions().Children().size(), 1u);

  const struct {
    const char* label;
    const char* text;
    const char* key;
    const char* value;
  } rows[] = {
      {"text in two keys: first wins", "<key>Type</key><i>1</i><key>TypeNumber</key><i>2</i>", "Type", "1"},
      {"part of a key's text matches", "<key>Type</key><i>1</i><key>TypeNumber</key><i>2</i>", "Number", "2"},
      {"key with other text passed over", "<key>X</key><i>1</i><key>Y</key><i>2</i>", "Y", "2"},
      {"case matters", "<key>Type</key><i>1</i>", "type", "<null>"},
      {"list ends before the value", "<key>A</key><i>", "A", "<null>"},
      {"only closing tags match", "<key a='B'><i>1</i></key>", "B", "<null>"},
  };
  for (const auto& row : rows) EXPECT_EQ(ValueOf(XmlParser(row.text), row.key), row.value) << row.label;

  // Without a content text the first closing tag of that name is the answer.
  XmlParser plain("<v>1</v><w>2</w><v>3</v>");
  const XmlEntry* first = plain.FindEntry("v");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Text(), "1");
  EXPECT_EQ(plain.FindEntry("x"), nullptr);

  // Children of an entry are searched before the entries after it. Inside a tag, words are
  // attributes, so a child's text is only the blanks before it.
  XmlParser nested("<!DOCTYPE d [<i> </v>]><v>2</v>");
  const XmlEntry* inner = nested.FindEntry("v");
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->Text(), " ");
  EXPECT_EQ(inner, nested.Children()[0]->Children()[1].get());
  XmlParser keyed("<!DOCTYPE d [<key> </key><i><j>]><key>A</key><v>2</v>");
  const XmlEntry* afterInner = keyed.FindEntry("key", " ");
  ASSERT_NE(afterInner, nullptr);
  EXPECT_EQ(afterInner->Name(), "j");
}

}  // namespace
}  // namespace kestrune
