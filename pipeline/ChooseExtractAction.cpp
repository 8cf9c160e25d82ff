#include <cctype>

#include "pipeline/IExtractAction.h"

std::unique_ptr<IExtractAction> ChooseExtractAction(const std::string& address) {
  std::string::size_type dot = address.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return nullptr;
  std::string extension = address.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension == "7z") return std::make_unique<C7ZipExtractAction>();
  if (extension == "zip") return std::make_unique<CGZipExtractAction>();
  return nullptr;
}
