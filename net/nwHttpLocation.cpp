#include "net/nwHttpLocation.h"

#include <cctype>

namespace {

bool HasHttpScheme(const std::string& url) {
  std::string lower;
  for (size_t i = 0; i < url.size() && i < 8; ++i) {
    lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(url[i]))));
  }
  return lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0;
}

}  // namespace

std::string nwResolveLocation(const std::string& requestUrl, const std::string& location) {
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
