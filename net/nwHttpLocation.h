#pragma once
// Where a redirect points: an absolute http(s) Location as it is, a path relative to the host of
// the request it answers.

#include <string>

std::string nwResolveLocation(const std::string& requestUrl, const std::string& location);

// How many redirects one request follows before it gives up: a loop must end, not run forever.
constexpr int kMaxRedirects = 30;
