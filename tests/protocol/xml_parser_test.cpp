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
std::string Describe(const XMLentry::List& list) {
  std::string out;
  for (const auto& entry : list) {
    if (!out.empty()) out += ' ';
    out += entry->getName() + "(";
    for (std::size_t i = 0; i < entry->getAttributes().size(); ++i) out += (i ? "," : "") + entry->getAttributes()[i];
    out += ")'" + entry->getText() + "'";
    if (!entry->getChildren().empty()) out += "{" + Describe(entry->getChildren()) + "}";
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
    XMLparser doc(row.text);
    EXPECT_EQ(Describe(doc.getChildren()), row.entries) << row.label;
    EXPECT_EQ(Describe(doc.processingInstructions().getChildren()), row.instructions) << row.label;
    // The C-string form reads the same text the same way.
    const std::string copy(row.text);
    EXPECT_EQ(Describe(XMLparser(copy.c_str()).getChildren()), row.entries) << row.label;
  }
  XMLparser none(static_cast<const char*>(nullptr));
  EXPECT_TRUE(none.getChildren().empty());
  EXPECT_TRUE(none.processingInstructions().getChildren().empty());
}

struct RecordingObserver : XMLobserver {
  std::vector<std::pair<std::string, const XMLentry*>> calls;
  void childParsed(const std::string& parentName, XMLentry& parent) override {
    calls.emplace_back(parentName, &parent);
  }
};

TEST(XmlParser, TagsInsideATagBecomeChildren) {
  RecordingObserver observer;
  XMLparser doc("<!DOCTYPE note [\n<!ELEMENT note (#PCDATA)>\n]><note>", &observer);
  ASSERT_EQ(doc.getChildren().size(), 2u);
  const XMLentry& doctype = *doc.getChildren()[0];
  EXPECT_EQ(doctype.getName(), "!DOCTYPE");
  EXPECT_EQ(doctype.getBracketCount(), 2);
  EXPECT_EQ(doctype.getAttributes(), std::vector<std::string>{"note"});
  EXPECT_EQ(Describe(doctype.getChildren()), "!ELEMENT(note,(#PCDATA))'\n'");
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
  EXPECT_EQ(Describe(XMLparser(nested(3)).getChildren()), "<<()''");  // a name runs up to '>'
  XMLparser deep(spaced(XMLentry::kMaxTagDepth + 1));
  ASSERT_EQ(deep.getChildren().size(), 1u);
  int depth = 0;
  for (const XMLentry* e = deep.getChildren()[0].get(); !e->getChildren().empty(); e = e->getChildren()[0].get())
    ++depth;
  EXPECT_EQ(depth, XMLentry::kMaxTagDepth);
  EXPECT_TRUE(XMLparser(spaced(XMLentry::kMaxTagDepth + 2)).getChildren().empty());
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
    XMLentry entry;
    EXPECT_EQ(entry.parseTag(row.text), row.used) << row.text;
    if (row.used) {
      EXPECT_EQ(entry.getName(), row.name) << row.text;
    }
  }
  XMLentry entry;
  EXPECT_EQ(entry.parseTag(static_cast<const char*>(nullptr)), 0u);
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

std::string ValueOf(const XMLentry& doc, const char* key) {
  const XMLentry* value = doc.findEntry("key", key);
  return value ? value->getText() : "<null>";
}

TEST(XmlParser, FindEntryReturnsTheValueAfterAKey) {
  XMLparser reply(kIdentityReply);
  const struct {
    const char* key;
    const char* value;
  } identity[] = {{"TypeNumber", "7"},
                  {"AppName", "Reverb Unit"},
                  {"IdNumber", "305419896"},
                  {"SerialNumber", "KS-0042-1177"},
                  {"Firmware", "<null>"}};
  for (const auto& row : identity) EXPECT_EQ(ValueOf(reply, row.key), row.value) << row.key;
  ASSERT_EQ(reply.processingInstructions().getChildren().size(), 1u);

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
  for (const auto& row : rows) EXPECT_EQ(ValueOf(XMLparser(row.text), row.key), row.value) << row.label;

  // Without a content text the first closing tag of that name is the answer.
  XMLparser plain("<v>1</v><w>2</w><v>3</v>");
  const XMLentry* first = plain.findEntry("v");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->getText(), "1");
  EXPECT_EQ(plain.findEntry("x"), nullptr);

  // Children of an entry are searched before the entries after it. Inside a tag, words are
  // attributes, so a child's text is only the blanks before it.
  XMLparser nested("<!DOCTYPE d [<i> </v>]><v>2</v>");
  const XMLentry* inner = nested.findEntry("v");
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->getText(), " ");
  EXPECT_EQ(inner, nested.getChildren()[0]->getChildren()[1].get());
  XMLparser keyed("<!DOCTYPE d [<key> </key><i><j>]><key>A</key><v>2</v>");
  const XMLentry* afterInner = keyed.findEntry("key", " ");
  ASSERT_NE(afterInner, nullptr);
  EXPECT_EQ(afterInner->getName(), "j");
}

}  // namespace
}  // namespace kestrune
