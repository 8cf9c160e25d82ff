#pragma once
// Builders of the one request an HTTP client layer sends: the GET of a download and the multipart
// POST of an upload. The layer copies its pending headers, then its parameters, into a builder and
// sends what BuildRequest produces.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Status.h"
#include "core/nvCString.h"

// One header or query parameter of the request being built.
struct nwHttpField {
  nvCString name;
  nvCString value;
  bool emitted = false;  // already written by the current BuildRequest
};

class nwCHttpRequestHeaderBuilder {
 public:
  nwCHttpRequestHeaderBuilder() = default;
  nwCHttpRequestHeaderBuilder(const nwCHttpRequestHeaderBuilder&) = delete;
  nwCHttpRequestHeaderBuilder& operator=(const nwCHttpRequestHeaderBuilder&) = delete;
  virtual ~nwCHttpRequestHeaderBuilder() = default;

  // The request head: request line, header rows and the blank line (for POST also the start of
  // the body). NW_E_FAIL for a null `out`.
  virtual cpStatus BuildRequest(nvCString* out) = 0;
  // What follows the body; empty for GET.
  virtual cpStatus BuildTrailer(nvCString* out) = 0;

  // Sets a header, replacing the value of one whose name matches without case. A name starting
  // with "GET" or "POST" carries the request target: the query after the first '?' becomes
  // parameters (pairs without '=' are dropped) and only the path before it is kept. A null value is
  // empty. NW_E_FAIL for a null or empty name.
  cpStatus SetHeader(const char* name, const char* value);
  // Sets a query parameter, replacing the value of one whose name matches without case. NW_E_FAIL
  // for a null or empty name.
  cpStatus SetParam(const char* name, const char* value);

  void SetContentLength(int64_t length) { contentLength_ = length; }
  int64_t GetContentLength() const { return contentLength_; }
  const std::vector<nwHttpField>& Headers() const { return headers_; }
  const std::vector<nwHttpField>& Params() const { return params_; }

  // The path of the "GET" (else "POST") header, each non-empty segment encoded behind a '/'
  // ("/" for no segment), then '?' and the encoded name=value parameters joined with '&'. Escapes
  // the URL already carries ("%20") are kept as they are.
  std::string BuildTarget() const;

 protected:
  // A header row written at a fixed place; a caller's header of the same name replaces the
  // default. Without either the row is left out.
  struct FixedRow {
    const char* name;
    std::optional<std::string> defaultValue;
  };

  // Request line, the fixed rows, every other header in list order (values encoded except a
  // "Cookie"), blank line. CR and LF are dropped from values sent unencoded.
  std::string BuildHead(std::string_view method, const std::vector<FixedRow>& rows);
  // The deployment's own site, sent as the default Referer; nothing when the setting is empty.
  static std::optional<std::string> DefaultReferer();

 private:
  static void Put(std::vector<nwHttpField>* list, std::string_view name, std::string_view value);
  static const nwHttpField* FindIn(const std::vector<nwHttpField>& list, std::string_view name);

  std::vector<nwHttpField> headers_;
  std::vector<nwHttpField> params_;
  int64_t contentLength_ = 0;
};

class nwCHttpGETHeaderBuilder : public nwCHttpRequestHeaderBuilder {
 public:
  cpStatus BuildRequest(nvCString* out) override;
  cpStatus BuildTrailer(nvCString* out) override;
};

// A multipart/form-data upload of one file body under the field "attach_file".
class nwCHttpPOSTHeaderBuilder : public nwCHttpRequestHeaderBuilder {
 public:
  // The boundary: 27 hyphens and 16 uppercase hex digits, random per process and the same for
  // every upload of the process.
  nwCHttpPOSTHeaderBuilder();

  // Also NW_E_FAIL when the body length is too large for its Content-Length.
  cpStatus BuildRequest(nvCString* out) override;
  // CR LF "--" boundary "--" CR LF.
  cpStatus BuildTrailer(nvCString* out) override;

  const nvCString& Boundary() const { return boundary_; }
  // The part's own header lines, written after the request head.
  std::string PartPreamble() const;

 private:
  nvCString boundary_;
};
