#include "net/nwCHttpRequestHeaderBuilder.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <limits>
#include <random>

#include "core/Settings.h"
#include "net/nwCHttpMimeTypeMap.h"
#include "net/utCUriCodec.h"

namespace {

constexpr std::string_view kLineEnd = "\r\n";

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// Headers under these names hold the request target, never a header row.
bool IsTargetName(std::string_view name) {
  return StartsWithNoCase(name, "GET") || StartsWithNoCase(name, "POST");
}

std::string_view View(const nvCString& text) { return std::string_view(text.GetBuffer(), text.GetLength()); }

// Values sent as given could otherwise end the line early and smuggle in headers of their own, so
// CR and LF never reach the wire inside a value. Encoded values hold neither anyway.
void AppendLine(std::string* out, std::string_view name, std::string_view value) {
  out->append(name).append(": ");
  for (char c : value) {
    if (c != '\r' && c != '\n') out->push_back(c);
  }
  out->append(kLineEnd);
}

void Deliver(const std::string& text, nvCString* out) { out->Assign(text.c_str()); }

}  // namespace

void nwCHttpRequestHeaderBuilder::Put(std::vector<nwHttpField>* list, std::string_view name,
                                      std::string_view value) {
  const std::string valueText(value);
  for (nwHttpField& field : *list) {
    if (EqualsNoCase(View(field.name), name)) {
      field.value = valueText.c_str();
      return;
    }
  }
  list->push_back(nwHttpField{nvCString(std::string(name).c_str()), nvCString(valueText.c_str()), false});
}

const nwHttpField* nwCHttpRequestHeaderBuilder::FindIn(const std::vector<nwHttpField>& list,
                                                       std::string_view name) {
  for (const nwHttpField& field : list) {
    if (EqualsNoCase(View(field.name), name)) return &field;
  }
  return nullptr;
}

cpStatus nwCHttpRequestHeaderBuilder::SetHeader(const char* name, const char* value) {
  if (name == nullptr || name[0] == '\0') return NW_E_FAIL;
  std::string_view text = value != nullptr ? value : "";
  if (IsTargetName(name)) {
    const std::size_t question = text.find('?');
    if (question != std::string_view::npos) {
      std::string_view query = text.substr(question + 1);
      text = text.substr(0, question);
      for (;;) {
        const std::size_t ampersand = query.find('&');
        const std::string_view pair = query.substr(0, ampersand);
        const std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos) Put(&params_, pair.substr(0, equals), pair.substr(equals + 1));
        if (ampersand == std::string_view::npos) break;
        query.remove_prefix(ampersand + 1);
      }
    }
  }
  Put(&headers_, name, text);
  return NW_S_OK;
}

cpStatus nwCHttpRequestHeaderBuilder::SetParam(const char* name, const char* value) {
  if (name == nullptr || name[0] == '\0') return NW_E_FAIL;
  Put(&params_, name, value != nullptr ? value : "");
  return NW_S_OK;
}

std::string nwCHttpRequestHeaderBuilder::BuildTarget() const {
  const nwHttpField* carrier = FindIn(headers_, "GET");
  if (carrier == nullptr) carrier = FindIn(headers_, "POST");
  // The path goes on the wire as UTF-8; the system code page already is UTF-8 here, so the
  // conversion leaves it as it is.
  std::string_view path = carrier != nullptr ? View(carrier->value) : std::string_view();

  std::string target;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view segment = path.substr(0, slash);
    if (!segment.empty()) target.append("/").append(utCUriCodec::EncodeUrlString(segment));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  // Servers reject an empty target, so a URL without a path asks for the root.
  if (target.empty()) target.push_back('/');

  for (std::size_t i = 0; i < params_.size(); ++i) {
    target.append(i == 0 ? "?" : "&");
    target.append(utCUriCodec::EncodeUrlString(View(params_[i].name)))
        .append("=")
        .append(utCUriCodec::EncodeUrlString(View(params_[i].value)));
  }
  return target;
}

std::string nwCHttpRequestHeaderBuilder::BuildHead(std::string_view method,
                                                   const std::vector<FixedRow>& rows) {
  // Every build starts afresh, so building twice gives the same text.
  for (nwHttpField& field : headers_) field.emitted = IsTargetName(View(field.name));

  std::string out;
  out.append(method).append(" ").append(BuildTarget()).append(" HTTP/1.1").append(kLineEnd);
  for (const FixedRow& row : rows) {
    nwHttpField* given = nullptr;
    for (nwHttpField& field : headers_) {
      if (!field.emitted && EqualsNoCase(View(field.name), row.name)) {
        given = &field;
        break;
      }
    }
    if (given != nullptr) {
      // The caller's value is meant for the wire as it is.
      given->emitted = true;
      AppendLine(&out, row.name, View(given->value));
    } else if (row.defaultValue) {
      AppendLine(&out, row.name, *row.defaultValue);
    }
  }
  for (nwHttpField& field : headers_) {
    if (field.emitted) continue;
    field.emitted = true;
    // Cookie values carry their own syntax (';', '=', spaces) that encoding would break.
    const bool verbatim = View(field.name) == "Cookie";
    AppendLine(&out, View(field.name),
               verbatim ? std::string(View(field.value)) : utCUriCodec::EncodeString(View(field.value)));
  }
  out.append(kLineEnd);
  return out;
}

std::optional<std::string> nwCHttpRequestHeaderBuilder::DefaultReferer() {
  std::string referer = settings::Get("referer");
  if (referer.empty()) return std::nullopt;
  return referer;
}

cpStatus nwCHttpGETHeaderBuilder::BuildRequest(nvCString* out) {
  if (out == nullptr) return NW_E_FAIL;
  const std::vector<FixedRow> rows = {
      {"Accept", "*/*"},
      {"Referer", DefaultReferer()},
      {"Accept-Language", "ko"},
      {"User-Agent", "OskelClient"},
      {"Range", std::nullopt},
      {"Host", std::nullopt},
      {"Connection", "Keep-Alive"},
  };
  Deliver(BuildHead("GET", rows), out);
  return NW_S_OK;
}

cpStatus nwCHttpGETHeaderBuilder::BuildTrailer(nvCString* out) {
  if (out == nullptr) return NW_E_FAIL;
  out->Empty();
  return NW_S_OK;
}

namespace {

// 64 bits from the system's random source; without one, bits that still differ between runs.
uint64_t RandomBits() {
  try {
    std::random_device source;
    std::uniform_int_distribution<uint64_t> bits;
    return bits(source);
  } catch (const std::exception&) {
    static const int anchor = 0;
    const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return now ^ (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&anchor)) << 16);
  }
}

// 27 hyphens and 16 uppercase hex digits, drawn once per process: a fixed text could turn up in an
// uploaded file and end its part early, and one that follows rand() is as easy to guess.
const std::string& ProcessBoundary() {
  static const std::string boundary = [] {
    const uint64_t bits = RandomBits();
    char digits[2 * 8 + 1] = {};
    std::snprintf(digits, sizeof digits, "%08X%08X", static_cast<unsigned>(bits >> 32),
                  static_cast<unsigned>(bits & 0xFFFFFFFFu));
    return std::string("---------------------------") + digits;
  }();
  return boundary;
}

}  // namespace

nwCHttpPOSTHeaderBuilder::nwCHttpPOSTHeaderBuilder() : boundary_(ProcessBoundary().c_str()) {}

std::string nwCHttpPOSTHeaderBuilder::PartPreamble() const {
  std::string preamble = "--";
  preamble.append(View(boundary_)).append(kLineEnd);
  if (GetContentLength() > 0) {
    preamble.append("Content-Disposition: form-data; name=attach_file; filename=unknown").append(kLineEnd);
    preamble.append("Content-Type: ")
        .append(nwCHttpMimeTypeMap::Instance()->Lookup(nullptr))
        .append(kLineEnd);
  }
  return preamble;
}

cpStatus nwCHttpPOSTHeaderBuilder::BuildRequest(nvCString* out) {
  if (out == nullptr) return NW_E_FAIL;
  const std::string preamble = PartPreamble();

  // The body is the preamble, CR LF, the file and the trailer (CR LF "--" boundary "--" CR LF).
  std::optional<std::string> contentLength;
  if (GetContentLength() > 0) {
    const auto framing = static_cast<int64_t>(preamble.size() + 2 + 8 + boundary_.GetLength());
    if (GetContentLength() > std::numeric_limits<int64_t>::max() - framing) return NW_E_FAIL;
    contentLength = std::to_string(GetContentLength() + framing);
  }

  std::string contentType = "multipart/form-data; boundary=";
  contentType.append(View(boundary_));
  const std::vector<FixedRow> rows = {
      {"Accept", "*/*"},
      {"Referer", DefaultReferer()},
      {"Accept-Language", "ko"},
      {"Content-Type", contentType},
      {"User-Agent", "OskelClient"},
      {"Host", std::nullopt},
      {"Content-Length", contentLength},
      {"Connection", "Keep-Alive"},
  };
  std::string text = BuildHead("POST", rows);
  if (!preamble.empty()) text.append(preamble).append(kLineEnd);
  Deliver(text, out);
  return NW_S_OK;
}

cpStatus nwCHttpPOSTHeaderBuilder::BuildTrailer(nvCString* out) {
  if (out == nullptr) return NW_E_FAIL;
  std::string trailer(kLineEnd);
  trailer.append("--").append(View(boundary_)).append("--").append(kLineEnd);
  Deliver(trailer, out);
  return NW_S_OK;
}
