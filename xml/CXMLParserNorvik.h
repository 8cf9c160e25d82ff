#pragma once
// The library's small XML reader, made for the update manifest: lenient, single pass, in memory.
// It validates nothing, does not check that a closing tag names the element it closes, keeps no
// namespaces and cannot write. Reading never fails: a malformed text gives a document whose status
// says so and whose tree holds what was read before the fault.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "xml/XMLDocument.h"

class CXMLParserNorvik {
 public:
  // Nesting deeper than this ends the reading with status 2; it bounds the stack and the repeated
  // scans for closing tags.
  static constexpr int kMaxDepth = 256;

  CXMLParserNorvik();
  virtual ~CXMLParserNorvik();
  CXMLParserNorvik(const CXMLParserNorvik&) = delete;
  CXMLParserNorvik& operator=(const CXMLParserNorvik&) = delete;

  // Replaces the current document by one read from `text` (a NUL-terminated string; null reads as
  // empty) and returns it. The text is copied, not changed. Returns null only when memory ran out.
  XMLDocument* Parse(const char* text);
  XMLDocument* Document() const { return document_.get(); }
  XMLElement* GetRoot() const;

  // The first child named `name`, ignoring ASCII letter case. The child's decoded name is compared
  // as cut to 127 bytes, so a longer `name` never matches.
  static XMLElement* FindChild(const XMLElement* element, const char* name);
  static int32_t GetChildCount(const XMLElement* element);
  // The first attribute named exactly `name`. Its decoded name is compared as cut to 255 bytes.
  static XMLAttribute* FindAttribute(const XMLElement* element, const char* name);
  // Decodes the value of attribute `name` into out[0, outSize): cut to outSize - 1 bytes (never in
  // the middle of a decoded character) and NUL-terminated; returns the length written. When there
  // is no such attribute (or no room even for the NUL) returns 0 and leaves `out` untouched.
  static int32_t GetAttributeValue(const XMLElement* element, const char* name, char* out, size_t outSize);

 private:
  std::unique_ptr<XMLDocument> document_;
};
