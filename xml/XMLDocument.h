#pragma once
// The tree the XML reader builds. The document owns every element, attribute and node; they live
// exactly as long as it does, and everything else holds plain pointers to them. The tree cannot be
// changed from outside once it is read.

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

class XMLElement;
class XMLReader;

// A text, comment (or processing instruction) or CDATA node. Its position is the number of child
// elements its owner had when it was read, which places it among them.
class XMLNode {
 public:
  XMLNode(XMLElement* owner, std::string content, int32_t position)
      : owner_(owner), content_(std::move(content)), position_(position) {}
  XMLNode(const XMLNode&) = delete;
  XMLNode& operator=(const XMLNode&) = delete;

  XMLElement* Owner() const { return owner_; }
  const std::string& Content() const { return content_; }
  int32_t Position() const { return position_; }

 private:
  XMLElement* owner_;
  std::string content_;
  int32_t position_;
};

// An attribute as written between its delimiters; decoded only when asked for.
class XMLAttribute {
 public:
  XMLAttribute(XMLElement* owner, std::string name, std::string value)
      : owner_(owner), name_(std::move(name)), value_(std::move(value)) {}
  XMLAttribute(const XMLAttribute&) = delete;
  XMLAttribute& operator=(const XMLAttribute&) = delete;

  XMLElement* Owner() const { return owner_; }
  const std::string& RawName() const { return name_; }
  const std::string& RawValue() const { return value_; }
  std::string Name() const;   // decoded
  std::string Value() const;  // decoded

 private:
  XMLElement* owner_;
  std::string name_;
  std::string value_;
};

class XMLElement {
 public:
  explicit XMLElement(std::string escapedName) : name_(std::move(escapedName)) {}
  XMLElement(const XMLElement&) = delete;
  XMLElement& operator=(const XMLElement&) = delete;

  std::string Name() const;  // decoded
  const std::string& EscapedName() const { return name_; }
  // The element this one was added to; none for the root and for elements that no element took.
  XMLElement* Parent() const { return parent_; }
  const std::vector<XMLElement*>& Children() const { return children_; }
  const std::vector<XMLAttribute*>& Attributes() const { return attributes_; }
  const std::vector<XMLNode*>& Texts() const { return texts_; }
  const std::vector<XMLNode*>& Comments() const { return comments_; }  // with processing instructions
  const std::vector<XMLNode*>& CDatas() const { return cdatas_; }

 private:
  friend class XMLReader;

  std::string name_;
  XMLElement* parent_ = nullptr;
  std::vector<XMLElement*> children_;
  std::vector<XMLAttribute*> attributes_;
  std::vector<XMLNode*> texts_;
  std::vector<XMLNode*> comments_;
  std::vector<XMLNode*> cdatas_;
};

// A comment or processing instruction outside every element.
struct XMLPrologEntry {
  std::string content;
  int32_t flag;  // 0: before the first element, 1: after it
};

struct XMLProlog {
  std::string declaration;  // the input up to the first "?>", or the standard one when it has none
  std::vector<XMLPrologEntry> entries;
};

class XMLDocument {
 public:
  static constexpr int32_t kStatusNormal = 0;
  static constexpr int32_t kStatusNoDeclarationOrElement = 1;
  static constexpr int32_t kStatusUnclosedElement = 2;  // also: nesting too deep to follow

  XMLDocument() = default;
  XMLDocument(const XMLDocument&) = delete;
  XMLDocument& operator=(const XMLDocument&) = delete;

  int32_t Status() const { return status_; }
  const XMLProlog& Prolog() const { return prolog_; }
  XMLElement* Root() const { return root_; }

 private:
  friend class XMLReader;

  int32_t status_ = kStatusNormal;
  XMLProlog prolog_;
  XMLElement* root_ = nullptr;
  // Deques keep every address stable while the tree grows, and free a deep tree without recursion.
  std::deque<XMLElement> elements_;
  std::deque<XMLAttribute> attributes_;
  std::deque<XMLNode> nodes_;
};
