#pragma once
// What the controller and headless tests share: a view that records what the controller shows and
// answers its questions as a test says, deterministic file contents, and small file helpers.

#include <QString>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/MainDialogView.h"
#include "tests/support/HttpFileServer.h"

namespace apptest {

struct ShownMessage {
  QString text;
  QString caption;
  MessageIcon icon = MessageIcon::kNone;
  MessageButtons buttons = MessageButtons::kOk;
};

// Records every call; message boxes are answered from `answers` (then OK, or No for Yes/No).
class RecordingView : public MainDialogView {
 public:
  void SetLabel(DialogLabel label, const QString& text) override { labels[label] = text; }
  void SetProgress(ProgressBar bar, int percent) override { progress[bar] = percent; }
  void AddSpeedSample(int64_t megabitsPerSecond) override { speedSamples.push_back(megabitsPerSecond); }
  void SetButtonEnabled(DialogButton button, bool enabled) override { buttons[button] = enabled; }
  void SetStartButtonShowsStop(bool stop) override { startShowsStop = stop; }
  void SetConsentChecked(bool checked) override { consentChecked = checked; }
  void SetStatusFinished() override { statusFinished = true; }
  void SetStatusEnlarged() override { statusEnlarged = true; }
  void Refresh() override { ++refreshes; }
  void CenterWindow() override { ++centred; }
  MessageAnswer ShowMessage(const QString& text, const QString& caption, MessageIcon icon,
                            MessageButtons kind) override;
  void AskResume(bool* resume, bool* applyToAll) override;
  FolderChoice ChooseFolder(const QString& currentFolder, const QString& requiredSize) override;
  void Quit(int exitCode) override {
    if (!quitCode) quitCode = exitCode;
  }
  void CloseWindow() override { closed = true; }
  void PostLaunch() override { ++launchesPosted; }

  QString Label(DialogLabel label) const;
  bool Enabled(DialogButton button) const;
  // The texts of the messages shown so far.
  std::vector<QString> MessageTexts() const;

  std::map<DialogLabel, QString> labels;
  std::map<ProgressBar, int> progress;
  std::vector<int64_t> speedSamples;
  std::map<DialogButton, bool> buttons;
  bool startShowsStop = false;
  std::optional<bool> consentChecked;
  bool statusFinished = false;
  bool statusEnlarged = false;
  int refreshes = 0;
  int centred = 0;

  std::vector<ShownMessage> messages;
  std::deque<MessageAnswer> answers;

  int resumeQuestions = 0;
  bool resumeAnswer = true;
  bool applyToAllAnswer = true;

  int folderQuestions = 0;
  QString askedFolder;
  QString askedSize;
  FolderChoice folderAnswer;

  std::optional<int> quitCode;
  bool closed = false;
  int launchesPosted = 0;
};

// Reproducible bytes of any size.
std::string Content(size_t size, uint32_t seed);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Writes `text` and makes the file executable by its owner.
void WriteScript(const std::string& path, const std::string& text);
// Only the owner may enter the folder (as a runtime folder must be).
void MakePrivate(const std::string& folder);
// The names in a folder (not recursive), sorted.
std::vector<std::string> FolderEntries(const std::string& folder);
inline QString Q(const std::string& text) { return QString::fromStdString(text); }

// How ServeFileList serves the list and its files.
struct FileListServing {
  const char* lineEnd = "\r\n";
  int64_t bytesPerSecond = 0;  // the files' pace; 0: as fast as the client reads
  std::string listType = "application/octet-stream";
};
// Serves `files` (name, bytes) below /files/ and a list naming them at /filelist.txt; returns the
// list's URL.
std::string ServeFileList(testsupport::HttpFileServer& server,
                          const std::vector<std::pair<std::string, std::string>>& files,
                          const FileListServing& serving = {});

}  // namespace apptest
