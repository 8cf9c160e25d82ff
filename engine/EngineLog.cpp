#include "engine/EngineLog.h"

#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/LocalTime.h"

namespace engine {

void EngineLog::Open(const std::string& folder) {
  path_ = (folder.empty() ? std::string(".") : folder) + "/engine.log";
  if (file_.Open(path_) != 0) return;
  end_ = file_.Size();
}

void EngineLog::Write(const std::string& line) {
  if (!file_.IsOpen()) return;
  std::string stamp = platform::CtimeText(platform::CurrentClock().NowMilliseconds() / 1000);
  while (!stamp.empty() && (stamp.back() == '\n' || stamp.back() == '\r')) stamp.pop_back();
  std::string text = "[" + stamp + "] " + line + "\n";
  if (end_ + static_cast<int64_t>(text.size()) > kCapBytes) {
    file_.Close();
    platform::RenameReplacing(path_, path_ + ".old");
    if (file_.Open(path_) != 0) return;
    file_.Truncate(0);
    end_ = 0;
  }
  if (file_.WriteAt(text.data(), text.size(), end_) == 0) end_ += static_cast<int64_t>(text.size());
}

}  // namespace engine
