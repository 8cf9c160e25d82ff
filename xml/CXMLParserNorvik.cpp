#include "xml/CXMLParserNorvik.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "xml/XMLEscape.h"

namespace {

constexpr size_t npos = std::string_view::npos;
constexpr std::string_view kStandardDeclaration =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kCDataOpen = "<![CDATA";  // enough to look for "]]>" as the end
constexpr std::string_view kCDataSection = "<![CDATA[";
constexpr std::string_view kCDataClose = "]]>";

// The compare buffers of the name look-ups, with room for the NUL.
constexpr size_t kChildNameBuffer = 128;
constexpr size_t kAttributeNameBuffer = 256;

bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsNameEnd(char c) { return c == ' ' || c == '\t' || c == '/' || c == '>' || c == '"'; }
char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int32_t ClampToInt32(size_t value) {
  return static_cast<int32_t>(std::min<size_t>(value, std::numeric_limits<int32_t>::max()));
}

}  // namespace

// Reads one text into a document. Positions are offsets into the private copy of the text; every
// search is bounded by the end of the range being read, so nothing reads past it.
class XMLReader {
 public:
  XMLReader(XMLDocument& document, std::string text) : document_(document), text_(std::move(text)) {}

  void Read() {
    if (text_.empty()) {
      document_.prolog_.declaration = kStandardDeclaration;
      document_.root_ = NewElement("root");
      return;
    }
    size_t start = 0;
    const size_t declarationEnd = text_.find("?>");
    if (declarationEnd != npos) {
      start = declarationEnd + 2;
      document_.prolog_.declaration = text_.substr(0, start);
    } else {
      document_.status_ = XMLDocument::kStatusNoDeclarationOrElement;
      document_.prolog_.declaration = std::string(kByteOrderMark) + std::string(kStandardDeclaration);
    }
    if (text_.find('<', start) == npos) {
      document_.status_ = XMLDocument::kStatusNoDeclarationOrElement;
      document_.root_ = NewElement("root");
      return;
    }
    document_.root_ = Content(start, text_.size(), nullptr, 0);
    if (!document_.root_ && document_.status_ == XMLDocument::kStatusNormal)
      document_.status_ = XMLDocument::kStatusNoDeclarationOrElement;
  }

 private:
  enum class Close { kFound, kMissing, kEndsAtStartTag };

  // Reads text_[at, end), the content of `parent` (none at top level), `depth` elements deep.
  // Returns the element that stands for this level: at top level, the root.
  XMLElement* Content(size_t at, size_t end, XMLElement* parent, int depth) {
    XMLElement* standing = nullptr;
    XMLElement* last = nullptr;  // the element last created at this level
    while (!stopped_) {
      const size_t lt = Find('<', at, end);
      if (lt == npos) {
        AddText(parent, at, end);
        break;
      }
      AddText(parent, at, lt);
      const bool cdataLike = StartsWith(lt, end, kCDataOpen);
      size_t gt = npos;
      if (cdataLike) {
        const size_t cdataEnd = Find(kCDataClose, lt + kCDataOpen.size(), end);
        if (cdataEnd != npos) gt = cdataEnd + kCDataClose.size() - 1;
      } else {
        gt = Find('>', lt + 1, end);
      }
      if (gt == npos) break;
      const std::string_view markup = View(lt, gt + 1);
      at = gt + 1;

      if (markup.starts_with("<!--") || markup.starts_with("<?")) {
        // Both lose four characters in front and two before the ">": "<!--x-->" gives "x".
        AddComment(parent, markup.size() >= 7 ? markup.substr(4, markup.size() - 7) : std::string_view());
        continue;
      }
      if (markup.starts_with(kCDataSection)) {
        if (parent && markup.size() >= 12)
          AddNode(parent, parent->cdatas_, markup.substr(9, markup.size() - 12));
        continue;  // outside every element there is nothing to hold it: dropped
      }
      if (markup.starts_with("</")) {
        if (parent && last && last->parent_ != parent) Append(parent, last);
        continue;
      }

      if (!parent) afterFirstElement_ = true;
      bool empty = markup[markup.size() - 2] == '/';
      Close close = Close::kEndsAtStartTag;
      size_t closeLt = npos;
      if (!empty) {
        close = FindClose(lt, end, &closeLt);
        // The scan may see the start tag itself as empty (a "/" outside quotes before its ">"):
        // then it is taken as one, as if it ended in "/>".
        empty = close == Close::kEndsAtStartTag;
      }
      if (empty) {
        XMLElement* element = ElementFromTag(markup);
        if (parent) Append(parent, element);
        if (!standing) standing = element;
        last = element;
        continue;
      }
      if (close == Close::kMissing) {
        document_.status_ = XMLDocument::kStatusUnclosedElement;
        break;
      }
      if (depth >= CXMLParserNorvik::kMaxDepth) {
        document_.status_ = XMLDocument::kStatusUnclosedElement;
        stopped_ = true;
        break;
      }
      XMLElement* element = ElementFromTag(markup);
      standing = element;
      last = element;
      Content(gt + 1, closeLt, element, depth + 1);
      // Its closing tag comes next and would add it to the parent; add it now so that it is not
      // lost when the reading stops inside it.
      if (parent) Append(parent, element);
      at = closeLt;
    }
    return standing;
  }

  // From the "<" of a start tag, finds the "<" of the closing tag that ends the element: start
  // tags count one deeper, closing tags one shallower, and names are never compared.
  Close FindClose(size_t lt, size_t end, size_t* closeLt) const {
    size_t depth = 0;
    size_t at = lt;
    for (;;) {
      const size_t open = Find('<', at, end);
      if (open == npos) return Close::kMissing;
      if (StartsWith(open, end, "</")) {
        const size_t gt = Find('>', open + 2, end);
        if (gt == npos) return Close::kMissing;
        at = gt + 1;
        if (depth == 1) {
          *closeLt = open;
          return Close::kFound;
        }
        if (depth > 0) --depth;
      } else if (StartsWith(open, end, kCDataOpen)) {
        const size_t cdataEnd = Find(kCDataClose, open + kCDataOpen.size(), end);
        if (cdataEnd == npos) return Close::kMissing;
        at = cdataEnd + kCDataClose.size();
      } else if (StartsWith(open, end, "<!--") || StartsWith(open, end, "<?")) {
        const size_t gt = Find('>', open + 1, end);
        if (gt == npos) return Close::kMissing;
        at = gt + 1;
      } else {
        // A tag ends at its first ">" (even inside quotes) or at a "/" outside quotes, which
        // makes it an empty-element tag.
        bool quoted = false;
        size_t i = open + 1;
        while (i < end && text_[i] != '>' && (quoted || text_[i] != '/')) {
          if (text_[i] == '"') quoted = !quoted;
          ++i;
        }
        if (i >= end) return Close::kMissing;
        at = i + 1;
        if (text_[i] == '>') ++depth;
      }
      if (depth == 0) return Close::kEndsAtStartTag;
    }
  }

  // The name runs from the start, leaving out every "<", to a space, tab, "/", ">" or '"'. The
  // attributes follow: name up to "=", value in double quotes, both kept as written.
  XMLElement* ElementFromTag(std::string_view tag) {
    std::string name;
    size_t i = 0;
    for (; i < tag.size() && !IsNameEnd(tag[i]); ++i) {
      if (tag[i] != '<') name += tag[i];
    }
    XMLElement* element = NewElement(XMLEscaped(name));
    for (;;) {
      while (i < tag.size() && (tag[i] == ' ' || tag[i] == '\t')) ++i;
      if (i >= tag.size() || tag[i] == '>' || tag[i] == '/') break;
      const size_t equals = tag.find('=', i);
      if (equals == npos) break;
      size_t valueStart = equals + 1;
      if (valueStart < tag.size() && tag[valueStart] == '"') ++valueStart;
      const size_t valueEnd = tag.find('"', valueStart);
      if (valueEnd == npos) break;
      document_.attributes_.emplace_back(element, std::string(tag.substr(i, equals - i)),
                                         std::string(tag.substr(valueStart, valueEnd - valueStart)));
      element->attributes_.push_back(&document_.attributes_.back());
      i = valueEnd + 1;
    }
    return element;
  }

  XMLElement* NewElement(std::string escapedName) {
    document_.elements_.emplace_back(std::move(escapedName));
    return &document_.elements_.back();
  }

  static void Append(XMLElement* parent, XMLElement* child) {
    child->parent_ = parent;
    parent->children_.push_back(child);
  }

  void AddNode(XMLElement* owner, std::vector<XMLNode*>& nodes, std::string_view content) {
    document_.nodes_.emplace_back(owner, std::string(content), ClampToInt32(owner->children_.size()));
    nodes.push_back(&document_.nodes_.back());
  }

  // Text counts only when something is left after trimming; what is left is kept as written.
  void AddText(XMLElement* parent, size_t from, size_t to) {
    if (!parent) return;
    while (from < to && IsTrimmed(text_[from])) ++from;
    while (to > from && IsTrimmed(text_[to - 1])) --to;
    if (from < to) AddNode(parent, parent->texts_, View(from, to));
  }

  void AddComment(XMLElement* parent, std::string_view content) {
    if (parent) {
      AddNode(parent, parent->comments_, content);
    } else {
      document_.prolog_.entries.push_back({std::string(content), afterFirstElement_ ? 1 : 0});
    }
  }

  std::string_view View(size_t from, size_t to) const {
    return std::string_view(text_).substr(from, to - from);
  }
  size_t Find(char c, size_t from, size_t end) const {
    return std::string_view(text_).substr(0, end).find(c, from);
  }
  size_t Find(std::string_view s, size_t from, size_t end) const {
    return std::string_view(text_).substr(0, end).find(s, from);
  }
  bool StartsWith(size_t at, size_t end, std::string_view prefix) const {
    return View(at, end).starts_with(prefix);
  }

  XMLDocument& document_;
  const std::string text_;
  bool afterFirstElement_ = false;  // a start tag was seen at top level
  bool stopped_ = false;            // nesting went too deep: everything stops
};

CXMLParserNorvik::CXMLParserNorvik() = default;

CXMLParserNorvik::~CXMLParserNorvik() = default;

XMLDocument* CXMLParserNorvik::Parse(const char* text) {
  document_.reset();
  try {
    auto document = std::make_unique<XMLDocument>();
    // A C string: the reading stops at the first NUL.
    XMLReader(*document, text ? std::string(text) : std::string()).Read();
    document_ = std::move(document);
  } catch (const std::exception&) {  // out of memory: no document rather than an exception
    return nullptr;
  }
  return document_.get();
}

XMLElement* CXMLParserNorvik::GetRoot() const { return document_ ? document_->Root() : nullptr; }

XMLElement* CXMLParserNorvik::FindChild(const XMLElement* element, const char* name) {
  if (!element || !name) return nullptr;
  const size_t nameLength = std::strlen(name);
  for (XMLElement* child : element->Children()) {
    char decoded[kChildNameBuffer];
    const size_t length = XMLUnescapeInto(child->EscapedName(), decoded, sizeof decoded);
    if (length != nameLength) continue;
    size_t i = 0;
    while (i < length && LowerAscii(decoded[i]) == LowerAscii(name[i])) ++i;
    if (i == length) return child;
  }
  return nullptr;
}

int32_t CXMLParserNorvik::GetChildCount(const XMLElement* element) {
  return element ? ClampToInt32(element->Children().size()) : 0;
}

XMLAttribute* CXMLParserNorvik::FindAttribute(const XMLElement* element, const char* name) {
  if (!element || !name) return nullptr;
  const std::string_view wanted(name);
  for (XMLAttribute* attribute : element->Attributes()) {
    char decoded[kAttributeNameBuffer];
    const size_t length = XMLUnescapeInto(attribute->RawName(), decoded, sizeof decoded);
    if (std::string_view(decoded, length) == wanted) return attribute;
  }
  return nullptr;
}

int32_t CXMLParserNorvik::GetAttributeValue(const XMLElement* element, const char* name, char* out,
                                            size_t outSize) {
  if (!out || outSize == 0) return 0;
  const XMLAttribute* attribute = FindAttribute(element, name);
  if (!attribute) return 0;
  return ClampToInt32(XMLUnescapeInto(attribute->RawValue(), out, outSize));
}
