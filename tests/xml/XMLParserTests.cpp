// The XML reader: the tree it builds from good and malformed text (each case written as a compact
// dump of the tree), the declaration record, the look-ups and their buffers, and the update
// manifest walked the way the self-updater walks it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "xml/CXMLParserNorvik.h"

namespace {

const std::string kStandard = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>";
const std::string kWithByteOrderMark = "\xEF\xBB\xBF" + kStandard;

// name[attribute=value;...]{text@position;...}!{comment@position;...}#{cdata@position;...}(children)
std::string Dump(const XMLElement* element) {
  if (!element) return "-";
  std::string dump = element->Name();
  auto nodes = [&dump](const char* mark, const std::vector<XMLNode*>& list) {
    if (list.empty()) return;
    dump += mark;
    for (const XMLNode* node : list) {
      dump += (node == list.front() ? "" : ";") + node->Content() + "@" + std::to_string(node->Position());
    }
    dump += "}";
  };
  if (!element->Attributes().empty()) {
    dump += "[";
    for (const XMLAttribute* attribute : element->Attributes()) {
      dump += (attribute == element->Attributes().front() ? "" : ";") + attribute->RawName() + "=" +
              attribute->RawValue();
    }
    dump += "]";
  }
  nodes("{", element->Texts());
  nodes("!{", element->Comments());
  nodes("#{", element->CDatas());
  if (!element->Children().empty()) {
    dump += "(";
    for (const XMLElement* child : element->Children()) {
      EXPECT_EQ(element, child->Parent());
      dump += (child == element->Children().front() ? "" : ",") + Dump(child);
    }
    dump += ")";
  }
  return dump;
}

struct TreeCase {
  const char* name;
  std::string text;
  int32_t status;
  std::string tree;
};

void PrintTo(const TreeCase& treeCase, std::ostream* out) { *out << treeCase.name; }

class XMLTreeTest : public ::testing::TestWithParam<TreeCase> {};

TEST_P(XMLTreeTest, BuildsTheTree) {
  const TreeCase& treeCase = GetParam();
  CXMLParserNorvik parser;
  XMLDocument* document = parser.Parse(treeCase.text.c_str());
  ASSERT_NE(nullptr, document);
  EXPECT_EQ(treeCase.status, document->Status());
  EXPECT_EQ(treeCase.tree, Dump(parser.GetRoot()));
}

INSTANTIATE_TEST_SUITE_P(
    Documents, XMLTreeTest,
    ::testing::Values(
        TreeCase{"Empty", "", 0, "root"},
        TreeCase{"ChildrenInOrder", "<?xml?><a><b x=\"1\"/><c></c></a>", 0, "a(b[x=1],c)"},
        TreeCase{"ClosingNameNotChecked", "<?xml?><a></b>", 0, "a"},
        TreeCase{"TextTrimmed", "<?xml?><a>  word  </a>", 0, "a{word@0}"},
        TreeCase{"BlankTextIgnored", "<?xml?><a> \t\r\n </a>", 0, "a"},
        TreeCase{"TextKeptAsWritten", "<?xml?><a> x&amp;y </a>", 0, "a{x&amp;y@0}"},
        TreeCase{"TextPositions", "<?xml?><r>one<x/>two<y></y> three </r>", 0, "r{one@0;two@1;three@2}(x,y)"},
        TreeCase{"NoDeclaration", "<a/>", 1, "a"}, TreeCase{"NoMarkup", "<?xml?>just text", 1, "root"},
        TreeCase{"NoElement", "<?xml?><!--c-->", 1, "-"}, TreeCase{"UnfinishedTag", "<?xml?><a", 1, "-"},
        TreeCase{"MissingClose", "<?xml?><a><b></b>", 2, "-"},
        TreeCase{"MissingCloseAfterRoot", "<?xml?><a></a><b>", 2, "a"},
        TreeCase{"LaterElementBecomesRoot", "<?xml?><a></a><b></b>", 0, "b"},
        TreeCase{"LaterEmptyElementDoesNot", "<?xml?><a></a><b/>", 0, "a"},
        TreeCase{"CommentsAndInstructionsInside", "<?xml?><a><!--c--><b/><?pi x?></a>", 0, "a!{c@0; @1}(b)"},
        TreeCase{"CData", "<?xml?><a>x<![CDATA[<b>&amp;</b>]]>y</a>", 0, "a{x@0;y@0}#{<b>&amp;</b>@0}"},
        TreeCase{"CDataOutsideDropped", "<?xml?><![CDATA[z]]><a/>", 0, "a"},
        TreeCase{"MarkupInsideCDataIgnored", "<?xml?><a><![CDATA[</a>]]></a>", 0, "a#{</a>@0}"},
        TreeCase{"SingleQuotesDelimitNothing", "<?xml?><a x='1' y=\"2\"/>", 0, "a[x='1' y=]"},
        TreeCase{"SpaceBeforeEqualsInName", "<?xml?><a x =\"1\"\tz=\"2\"/>", 0, "a[x =1;z=2]"},
        TreeCase{"UnquotedUpToNextQuote", "<?xml?><a x=1\" y=\"2\"/>", 0, "a[x=1;y=2]"},
        TreeCase{"ValueWithoutCloseQuote", "<?xml?><a x=\"1/>", 0, "a"},
        TreeCase{"SlashInQuotedValue", "<?xml?><r><a u=\"h/p\">t</a></r>", 0, "r(a[u=h/p]{t@0})"},
        TreeCase{"UnquotedSlashMakesEmpty", "<?xml?><r><a b=c/d></r>", 0, "r(a)"},
        TreeCase{"NameSkipsLessThan", "<?xml?><<a/>", 0, "a"},
        TreeCase{"NameAsWritten", "<?xml?><a&amp;b&#65;/>", 0, "a&amp;bA"},
        TreeCase{"StopsAtNul", std::string("<?xml?><a/>\0<b></b>", 19), 0, "a"}));

TEST(XMLParserTest, DeclarationRecord) {
  struct Case {
    std::string text;
    std::string declaration;
    std::string entries;  // content@flag;...
  };
  // An instruction loses four characters in front and two before the ">", like a comment does.
  for (const Case& c : {Case{"", kStandard, ""}, Case{"<a/>", kWithByteOrderMark, ""},
                        Case{"<?xml version=\"1.0\"?>\n<a/>", "<?xml version=\"1.0\"?>", ""},
                        Case{"<?xml?><!--one--><?pi data?><a><!--in--></a><!--two--><?x?>", "<?xml?>",
                             "one@0; dat@0;two@1;@1"},
                        Case{"<?xml?><!--c--><a><b></b>", "<?xml?>", "c@0"},
                        Case{"<a>x</a><?late?>", "<a>x</a><?late?>", ""}}) {
    CXMLParserNorvik parser;
    const XMLDocument* document = parser.Parse(c.text.c_str());
    ASSERT_NE(nullptr, document);
    EXPECT_EQ(c.declaration, document->Prolog().declaration) << c.text;
    std::string entries;
    for (const XMLPrologEntry& entry : document->Prolog().entries)
      entries += (entries.empty() ? "" : ";") + entry.content + "@" + std::to_string(entry.flag);
    EXPECT_EQ(c.entries, entries) << c.text;
  }
  CXMLParserNorvik parser;
  EXPECT_EQ("root", Dump(parser.Parse(nullptr)->Root()));
}

TEST(XMLParserTest, LookUps) {
  const std::string longName(200, 'n');
  const std::string longAttribute(300, 'v');
  const std::string text =
      "<?xml?><r><file/><File id=\"2\"/><" + longName + "/><e url=\"u\" " + longAttribute +
      "=\"long\" v=\"x&amp;y\" n=\"&#233;&#x41;&#0;&#99999999999;&bad;\" w=\"abcdef\"/></r>";
  CXMLParserNorvik parser;
  parser.Parse(text.c_str());
  const XMLElement* root = parser.GetRoot();
  ASSERT_NE(nullptr, root);
  EXPECT_EQ(4, CXMLParserNorvik::GetChildCount(root));
  EXPECT_EQ(0, CXMLParserNorvik::GetChildCount(nullptr));
  EXPECT_EQ(root->Children()[0], CXMLParserNorvik::FindChild(root, "FILE"));  // first match, any case
  EXPECT_EQ(nullptr, CXMLParserNorvik::FindChild(root, "fil"));
  EXPECT_EQ(nullptr, CXMLParserNorvik::FindChild(nullptr, "file"));
  // Child names are compared cut to 127 bytes; attribute names to 255.
  EXPECT_EQ(nullptr, CXMLParserNorvik::FindChild(root, longName.c_str()));
  EXPECT_EQ(root->Children()[2], CXMLParserNorvik::FindChild(root, longName.substr(0, 127).c_str()));

  const XMLElement* e = CXMLParserNorvik::FindChild(root, "e");
  ASSERT_NE(nullptr, e);
  EXPECT_NE(nullptr, CXMLParserNorvik::FindAttribute(e, "url"));
  EXPECT_EQ(nullptr, CXMLParserNorvik::FindAttribute(e, "URL"));
  EXPECT_EQ(nullptr, CXMLParserNorvik::FindAttribute(e, longAttribute.c_str()));
  EXPECT_EQ(e->Attributes()[1], CXMLParserNorvik::FindAttribute(e, longAttribute.substr(0, 255).c_str()));

  struct Value {
    const char* name;
    size_t outSize;
    int32_t length;
    std::string out;  // the whole buffer afterwards; '.' is a byte left untouched
  };
  const std::string eAcute = "\xC3\xA9";
  for (const Value& v :
       {Value{"v", 8, 3, std::string("x&y\0....", 8)}, Value{"n", 8, 7, eAcute + "A&bad" + '\0'},
        Value{"n", 16, 8, eAcute + "A&bad;" + '\0' + "......."}, Value{"w", 4, 3, std::string("abc\0", 4)},
        Value{"w", 7, 6, std::string("abcdef\0", 7)}, Value{"w", 1, 0, std::string("\0", 1)},
        Value{"w", 0, 0, ""}, Value{"n", 2, 0, std::string("\0.", 2)},  // no half of a character
        Value{"missing", 8, 0, "........"}}) {
    std::string out(v.outSize, '.');
    EXPECT_EQ(v.length, CXMLParserNorvik::GetAttributeValue(e, v.name, out.data(), v.outSize)) << v.name;
    EXPECT_EQ(v.out, out) << v.name << " " << v.outSize;
  }
}

TEST(XMLParserTest, DeepNestingIsCutNotCrashing) {
  struct Case {
    int depth;
    bool closed;
    int32_t status;
    int chain;  // elements from the root down
  };
  for (const Case& c : {Case{256, true, 0, 256}, Case{257, true, 2, 256}, Case{100000, true, 2, 256},
                        Case{100000, false, 2, 0}}) {
    std::string text = "<?xml?>";
    for (int i = 0; i < c.depth; ++i) text += "<a>";
    for (int i = 0; c.closed && i < c.depth; ++i) text += "</a>";
    const auto start = std::chrono::steady_clock::now();
    CXMLParserNorvik parser;
    EXPECT_EQ(c.status, parser.Parse(text.c_str())->Status()) << c.depth;
    int chain = 0;
    for (const XMLElement* e = parser.GetRoot(); e; e = CXMLParserNorvik::FindChild(e, "a")) ++chain;
    EXPECT_EQ(c.chain, chain) << c.depth;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << c.depth;
  }
}

TEST(XMLParserTest, ParseReplacesTheDocument) {
  CXMLParserNorvik parser;
  EXPECT_EQ(nullptr, parser.GetRoot());
  XMLDocument* first = parser.Parse("<?xml?><a/>");
  EXPECT_EQ(first, parser.Document());
  char text[] = "<?xml?><b>x</b>";
  XMLDocument* second = parser.Parse(text);
  EXPECT_EQ(second, parser.Document());
  EXPECT_EQ("b{x@0}", Dump(parser.GetRoot()));
  EXPECT_STREQ("<?xml?><b>x</b>", text);  // the caller's text is not changed
}

TEST(XMLParserTest, UpdateManifest) {
  const char* manifest =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
      "<qtxdownload_updater expires=\"2027-01-01T00:00:00Z\">\r\n"
      "  <file><QTXDownloadV32 ver=\"3.5.0.2\" url=\"QTXDownloadV32.7z\" hash=\"QTXDownloadV32.7z.md4\" "
      "sha256=\"ab..\" size=\"123\"/></file>\r\n"
      "  <all><all url=\"qtxdownload_all.zip\" hash=\"qtxdownload_all.zip.md4\"/></all>\r\n"
      "</qtxdownload_updater>\r\n";
  CXMLParserNorvik parser;
  ASSERT_EQ(0, parser.Parse(manifest)->Status());
  const XMLElement* root = parser.GetRoot();
  ASSERT_NE(nullptr, root);
  EXPECT_EQ("qtxdownload_updater", root->Name());
  char value[256];
  EXPECT_EQ(20, CXMLParserNorvik::GetAttributeValue(root, "expires", value, sizeof value));
  EXPECT_STREQ("2027-01-01T00:00:00Z", value);

  const XMLElement* file = CXMLParserNorvik::FindChild(root, "file");
  ASSERT_NE(nullptr, file);
  EXPECT_EQ(1, CXMLParserNorvik::GetChildCount(file));
  const XMLElement* program = CXMLParserNorvik::FindChild(file, "QTXDownloadV32");
  ASSERT_NE(nullptr, program);
  EXPECT_EQ("QTXDownloadV32", program->Name());
  for (auto [name, expected] :
       {std::pair{"ver", "3.5.0.2"}, std::pair{"url", "QTXDownloadV32.7z"},
        std::pair{"hash", "QTXDownloadV32.7z.md4"}, std::pair{"sha256", "ab.."}, std::pair{"size", "123"}}) {
    EXPECT_EQ(static_cast<int32_t>(std::strlen(expected)),
              CXMLParserNorvik::GetAttributeValue(program, name, value, sizeof value));
    EXPECT_STREQ(expected, value);
  }
  const XMLElement* all = CXMLParserNorvik::FindChild(CXMLParserNorvik::FindChild(root, "all"), "all");
  ASSERT_NE(nullptr, all);
  EXPECT_GT(CXMLParserNorvik::GetAttributeValue(all, "url", value, sizeof value), 0);
  EXPECT_STREQ("qtxdownload_all.zip", value);
  EXPECT_EQ(nullptr, CXMLParserNorvik::FindChild(root, "missing"));
}

}  // namespace
