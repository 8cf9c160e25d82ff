#include "engine/FileTarget.h"

#include <cctype>

namespace engine {

namespace {

// Long enough for the partial file's and the control file's suffixes within a 255-byte name.
constexpr size_t kMaxName = 240;

bool HasControlCharacter(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

FileTarget ResolveTarget(const std::string& folder, const std::string& fileName) {
  FileTarget target;
  if (fileName.empty() || fileName == "." || fileName == "..") {
    target.error = "invalid file name \"" + fileName + "\"";
  } else if (fileName.find_first_of("/\\") != std::string::npos) {
    target.error = "file name with a separator \"" + fileName + "\"";
  } else if (HasControlCharacter(fileName)) {
    target.error = "file name with a control character";
  } else if (fileName.size() > kMaxName) {
    target.error = "file name too long \"" + fileName.substr(0, 32) + "...\"";
  }
  if (!target.error.empty()) return target;

  std::string base = folder;
  while (base.size() > 1 && (base.back() == '/' || base.back() == '\\')) base.pop_back();
  if (base.empty() || base.front() != '/' || HasControlCharacter(base)) {
    target.error = "invalid folder \"" + folder + "\" for \"" + fileName + "\"";
    return target;
  }
  // No ".." segment: the folder the player picked is the only place files may go.
  size_t start = 0;
  while (start <= base.size()) {
    size_t slash = base.find('/', start);
    std::string segment = base.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (segment == "..") {
      target.error = "folder with \"..\" for \"" + fileName + "\"";
      return target;
    }
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  target.path = (base == "/" ? std::string() : base) + "/" + fileName;
  return target;
}

std::vector<MirrorUrl> SplitMirrors(const std::string& urlField) {
  std::vector<MirrorUrl> mirrors;
  size_t start = 0;
  while (start <= urlField.size()) {
    size_t bar = urlField.find('|', start);
    std::string url = urlField.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    start = bar == std::string::npos ? urlField.size() + 1 : bar + 1;
    if (url.empty()) continue;
    MirrorUrl mirror;
    mirror.url = url;
    size_t colon = url.find("://");
    std::string scheme = colon == std::string::npos ? std::string() : Lower(url.substr(0, colon));
    if ((scheme == "http" || scheme == "https") && !HasControlCharacter(url) &&
        url.find(' ') == std::string::npos) {
      size_t hostStart = colon + 3;
      size_t hostEnd = url.find_first_of("/?#", hostStart);
      std::string authority =
          url.substr(hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
      size_t at = authority.rfind('@');
      if (at != std::string::npos) authority = authority.substr(at + 1);
      if (!authority.empty()) {
        mirror.server = scheme + "://" + Lower(authority);
        mirror.served = true;
      }
    }
    mirrors.push_back(std::move(mirror));
  }
  return mirrors;
}

}  // namespace engine
