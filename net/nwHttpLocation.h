#pragma once
// The addresses of a download: the alternatives of a URL list, and where a redirect leads (an
// absolute http(s) Location as it is, a relative one against the request it answers, and never
// from https down to plain http).

#include <string>
#include <vector>

class nvIHttpClientExLayer;

// The alternatives of a list separated by '|', blanks around each removed, empty ones dropped.
std::vector<std::string> nwSplitAlternatives(const std::string& list);

struct nwRedirect {
  std::string url;         // the address to follow; empty when there is none to follow
  bool downgrade = false;  // refused: the answer came over https and points at plain http
};

nwRedirect nwResolveLocation(const std::string& requestUrl, const std::string& location);
// The "Location:" of the answer on `layer` (null: none), resolved against `requestUrl`.
nwRedirect nwReadRedirect(nvIHttpClientExLayer* layer, const std::string& requestUrl);

// How many redirects one request follows before it gives up: a loop must end, not run forever.
constexpr int kMaxRedirects = 30;
