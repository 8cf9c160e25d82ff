// Fuzz target: the XML reader of the update manifest. The input is copied into a buffer of its
// exact size plus the NUL, so an over-read is caught; the whole tree is walked, every look-up runs
// with small buffers, and the entity coding must keep its promises (else abort).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "xml/CXMLParserNorvik.h"
#include "xml/XMLEscape.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckCoding(std::string_view text) {
  const size_t escapedLength = XMLEscape(text, nullptr);
  std::vector<char> escaped(escapedLength + 1, '\x7f');
  Check(XMLEscape(text, escaped.data()) == escapedLength);
  Check(escaped[escapedLength] == '\0');
  const std::string_view escapedText(escaped.data(), escapedLength);

  const size_t bound = XMLUnescape(text, nullptr);
  Check(bound == text.size());
  std::vector<char> decoded(bound + 1, '\x7f');
  const size_t decodedLength = XMLUnescape(text, decoded.data());
  Check(decodedLength <= bound && decoded[decodedLength] == '\0');
  const std::string_view decodedText(decoded.data(), decodedLength);
  // A decoded numeric reference never yields a NUL.
  Check(decodedText.find('\0') == std::string_view::npos || text.find('\0') != std::string_view::npos);

  // A cut decoding is a prefix of the whole one.
  for (size_t size : {size_t{1}, size_t{2}, size_t{5}, size_t{16}}) {
    std::vector<char> small(size + 1, '\x7f');
    const size_t cut = XMLUnescapeInto(text, small.data(), size);
    Check(cut < size && small[cut] == '\0' && small[size] == '\x7f');
    Check(decodedText.substr(0, cut) == std::string_view(small.data(), cut));
  }

  if (text.find("&#") == std::string_view::npos) {
    Check(XMLUnescaped(escapedText) == text);
  }
  Check(XMLEscaped(text) == escapedText && XMLUnescaped(text) == decodedText);
}

void Walk(const XMLElement* root) {
  // Iterative: the tree may be as deep as the reader allows.
  std::vector<const XMLElement*> pending{root};
  char small[8];
  while (!pending.empty()) {
    const XMLElement* element = pending.back();
    pending.pop_back();
    // The reading stops at the first NUL and a numeric reference never decodes to one.
    Check(element->Name().find('\0') == std::string::npos);
    Check(CXMLParserNorvik::GetChildCount(element) == static_cast<int32_t>(element->Children().size()));
    for (const XMLAttribute* attribute : element->Attributes()) {
      Check(attribute->Owner() == element);
      const std::string name = attribute->Name();
      const std::string value = attribute->Value();
      Check(name.find('\0') == std::string::npos && value.find('\0') == std::string::npos);
      const XMLAttribute* found = CXMLParserNorvik::FindAttribute(element, name.c_str());
      Check((found != nullptr) == (name.size() < 256));
      if (found) Check(found->Name() == name);
      std::memset(small, '\x7f', sizeof small);
      const int32_t length =
          CXMLParserNorvik::GetAttributeValue(element, name.c_str(), small, sizeof small - 1);
      Check(length >= 0 && length < static_cast<int32_t>(sizeof small - 1) &&
            small[sizeof small - 1] == '\x7f');
      if (found) {
        Check(small[length] == '\0' && found->Value().starts_with(std::string_view(small, length)));
      } else {
        Check(length == 0 && small[0] == '\x7f');
      }
      CheckCoding(attribute->RawValue());
    }
    std::memset(small, '\x7f', sizeof small);
    if (!CXMLParserNorvik::FindAttribute(element, "no such"))
      Check(CXMLParserNorvik::GetAttributeValue(element, "no such", small, sizeof small) == 0 &&
            small[0] == '\x7f');
    for (const std::vector<XMLNode*>* nodes : {&element->Texts(), &element->Comments(), &element->CDatas()}) {
      for (const XMLNode* node : *nodes) {
        Check(node->Owner() == element && node->Position() >= 0 &&
              node->Position() <= static_cast<int32_t>(element->Children().size()));
      }
    }
    for (const XMLNode* text : element->Texts()) {
      const std::string& content = text->Content();
      Check(!content.empty() && content.find('<') == std::string::npos);
      Check(content.front() != ' ' && content.front() != '\n' && content.back() != '\t' &&
            content.back() != '\r');
    }
    for (const XMLElement* child : element->Children()) {
      Check(child->Parent() == element);
      const std::string name = child->Name();
      Check((CXMLParserNorvik::FindChild(element, name.c_str()) != nullptr) == (name.size() < 128));
      pending.push_back(child);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  const std::string_view whole(text.data(), size);
  CheckCoding(whole);

  CXMLParserNorvik parser;
  XMLDocument* document = parser.Parse(text.data());
  Check(document != nullptr && document == parser.Document());
  Check(document->Status() >= 0 && document->Status() <= 2);
  // The reading stops at the first NUL, so the declaration comes from before it.
  Check(document->Prolog().declaration.find('\0') == std::string::npos);
  for (const XMLPrologEntry& entry : document->Prolog().entries) Check(entry.flag == 0 || entry.flag == 1);
  XMLElement* root = parser.GetRoot();
  Check(root == document->Root());
  if (root) Walk(root);
  Check(CXMLParserNorvik::FindChild(nullptr, "file") == nullptr &&
        CXMLParserNorvik::GetChildCount(nullptr) == 0);
  return 0;
}
