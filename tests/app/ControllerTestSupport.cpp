#include "tests/app/ControllerTestSupport.h"

#include <algorithm>
#include <filesystem>

#include "tests/support/TempFolder.h"

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

std::string Content(size_t size, uint32_t seed) { return testsupport::PatternedBytes(size, seed); }

std::string ReadFile(const std::string& path) { return testsupport::ReadFileText(path); }

bool FileExists(const std::string& path) {
  // A link counts, wherever it leads.
  std::error_code error;
  return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found &&
         !error;
}

void WriteScript(const std::string& path, const std::string& text) {
  testsupport::WriteFileText(path, text);
  std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
}

void MakePrivate(const std::string& folder) {
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ServeFileList(testsupport::HttpFileServer& server,
                          const std::vector<std::pair<std::string, std::string>>& files,
                          const FileListServing& serving) {
  std::string list;
  for (const auto& [name, bytes] : files) {
    testsupport::HttpResourceOptions options;
    options.bytesPerSecond = serving.bytesPerSecond;
    server.AddResource("/files/" + name, bytes, options);
    list += server.Url("/files/" + name) + serving.lineEnd;
  }
  testsupport::HttpResourceOptions listOptions;
  listOptions.contentType = serving.listType;
  server.AddResource("/filelist.txt", list, listOptions);
  return server.Url("/filelist.txt");
}

}  // namespace apptest
