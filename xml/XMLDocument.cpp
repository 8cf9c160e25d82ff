#include "xml/XMLDocument.h"

#include "xml/XMLEscape.h"

std::string XMLAttribute::Name() const { return XMLUnescaped(name_); }

std::string XMLAttribute::Value() const { return XMLUnescaped(value_); }

std::string XMLElement::Name() const { return XMLUnescaped(name_); }
