#include "net/nwHttpLocation.h"

#include <cctype>

#include "core/nvCString.h"
#include "net/nwCHttpClientExLayer.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

bool IsHttps(const std::string& url) { return StartsWithNoCase(url, "https://"); }

bool HasHttpScheme(const std::string& url) { return StartsWithNoCase(url, "http://") || IsHttps(url); }

std::string Resolve(const std::string& requestUrl, const std::string& location) {
  if (location.empty() || HasHttpScheme(location)) return location;
  std::string::size_type schemeEnd = requestUrl.find("://");
  if (schemeEnd == std::string::npos) return location;
  std::string::size_type authorityEnd = requestUrl.find('/', schemeEnd + 3);
  std::string origin = requestUrl.substr(0, authorityEnd);
  if (location.rfind("//", 0) == 0) return requestUrl.substr(0, schemeEnd + 1) + location;
  if (location[0] == '/') return origin + location;
  // Relative to the folder of the request's path.
  std::string path = authorityEnd == std::string::npos ? "/" : requestUrl.substr(authorityEnd);
  path = path.substr(0, path.find_first_of("?#"));
  return origin + path.substr(0, path.rfind('/') + 1) + location;
}

}  // namespace

std::vector<std::string> nwSplitAlternatives(const std::string& list) {
  std::vector<std::string> urls;
  std::string::size_type start = 0;
  while (start <= list.size()) {
    std::string::size_type end = list.find('|', start);
    if (end == std::string::npos) end = list.size();
    std::string::size_type first = start;
    std::string::size_type last = end;
    while (first < last && IsBlank(list[first])) ++first;
    while (last > first && IsBlank(list[last - 1])) --last;
    if (last > first) urls.push_back(list.substr(first, last - first));
    start = end + 1;
  }
  return urls;
}

nwRedirect nwResolveLocation(const std::string& requestUrl, const std::string& location) {
  nwRedirect redirect;
  redirect.url = Resolve(requestUrl, location);
  // What was asked for over TLS must not be fetched in the clear behind the user's back.
  if (IsHttps(requestUrl) && !redirect.url.empty() && !IsHttps(redirect.url)) {
    redirect.url.clear();
    redirect.downgrade = true;
  }
  return redirect;
}

nwRedirect nwReadRedirect(nvIHttpClientExLayer* layer, const std::string& requestUrl) {
  nvCString location;
  if (layer == nullptr || !cpSucceeded(layer->GetHeader("Location:", &location))) return {};
  return nwResolveLocation(requestUrl, location.GetBuffer());
}
