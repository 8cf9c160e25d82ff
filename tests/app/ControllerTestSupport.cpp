#include "tests/app/ControllerTestSupport.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace apptest {

MessageAnswer RecordingView::ShowMessage(const QString& text, const QString& caption, MessageIcon icon,
                                         MessageButtons kind) {
  messages.push_back(ShownMessage{text, caption, icon, kind});
  if (!answers.empty()) {
    MessageAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  return kind == MessageButtons::kYesNo ? MessageAnswer::kNo : MessageAnswer::kOk;
}

void RecordingView::AskResume(bool* resume, bool* applyToAll) {
  ++resumeQuestions;
  *resume = resumeAnswer;
  *applyToAll = applyToAllAnswer;
}

FolderChoice RecordingView::ChooseFolder(const QString& currentFolder, const QString& requiredSize) {
  ++folderQuestions;
  askedFolder = currentFolder;
  askedSize = requiredSize;
  return folderAnswer;
}

QString RecordingView::Label(DialogLabel label) const {
  auto it = labels.find(label);
  return it != labels.end() ? it->second : QString();
}

bool RecordingView::Enabled(DialogButton button) const {
  auto it = buttons.find(button);
  // A button nobody disabled is enabled, as in the window.
  return it == buttons.end() || it->second;
}

std::vector<QString> RecordingView::MessageTexts() const {
  std::vector<QString> texts;
  for (const ShownMessage& message : messages) texts.push_back(message.text);
  return texts;
}

std::string Content(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (char& c : bytes) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

void WriteScript(const std::string& path, const std::string& text) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
  }
  chmod(path.c_str(), 0700);
}

void MakePrivate(const std::string& folder) { chmod(folder.c_str(), 0700); }

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace apptest
