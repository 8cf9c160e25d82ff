#include "pipeline/CGetPath_V32.h"

#include "platform/Environment.h"

void CGetPath_V32::GetBaseFolder(std::string& out) const {
  std::string folder = platform::ApplicationDataFolder();
  if (!folder.empty() && folder.back() != '/') folder += '/';
  out = folder + kBaseFolderName;
}

void CGetPath_V32::GetProgramFolder(std::string& out) const {
  GetBaseFolder(out);
  out += kProgramFolderName;
}

void CGetPath_V32::GetExecutablePath(std::string& out) const {
  GetProgramFolder(out);
  out += kEngineExecutableName;
}

CGetPath_V32& PathResolver() {
  static CGetPath_V32 resolver;
  return resolver;
}
