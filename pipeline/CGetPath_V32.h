#pragma once
// The library's per-user folders and the local download engine's executable path.

#include <string>

// Names fixed by the build. The folders keep their trailing separator so they can be joined.
inline constexpr char kBaseFolderName[] = "Norvik/";
inline constexpr char kProgramFolderName[] = "qtxDownloadV32/";
// The engine is a native program here, so its name has no ".exe".
inline constexpr char kEngineExecutableName[] = "QTXDownloadV32";

class IGetPath {
 public:
  virtual ~IGetPath() = default;
  virtual void GetBaseFolder(std::string& out) const = 0;
  virtual void GetProgramFolder(std::string& out) const = 0;
  virtual void GetExecutablePath(std::string& out) const = 0;
};

// Answers from the user's application-data folder as it is at the time of the call; creates
// nothing on disk and keeps no state.
class CGetPath_V32 final : public IGetPath {
 public:
  // <application data>/Norvik/, or "Norvik/" alone when the data folder is unknown.
  void GetBaseFolder(std::string& out) const override;
  // GetBaseFolder + "qtxDownloadV32/".
  void GetProgramFolder(std::string& out) const override;
  // GetProgramFolder + "QTXDownloadV32".
  void GetExecutablePath(std::string& out) const override;
};

// The process-wide path resolver.
CGetPath_V32& PathResolver();
