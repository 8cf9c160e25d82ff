#include "tests/host/HostTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

#include "tests/support/TempFolder.h"

namespace hosttest {

double Now() {
  using namespace std::chrono;
  return duration_cast<duration<double>>(steady_clock::now().time_since_epoch()).count();
}

void Events::Callback(int32_t code, intptr_t lParam, void* self) {
  auto* events = static_cast<Events*>(self);
  {
    std::lock_guard lock(events->mutex_);
    events->codes_.push_back(code);
    events->params_.push_back(lParam);
    events->times_.push_back(Now());
  }
  events->changed_.notify_all();
}

bool Events::WaitFor(int32_t code, int count, double seconds) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                           [&] { return CountLocked(code) >= count; });
}

int Events::Count(int32_t code) {
  std::lock_guard lock(mutex_);
  return CountLocked(code);
}

std::vector<int32_t> Events::Codes() {
  std::lock_guard lock(mutex_);
  return codes_;
}

double Events::TimeOf(int32_t code) {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < codes_.size(); ++i) {
    if (codes_[i] == code) return times_[i];
  }
  return 0;
}

int Events::CountFor(int32_t code, intptr_t lParam) {
  std::lock_guard lock(mutex_);
  int count = 0;
  for (size_t i = 0; i < codes_.size(); ++i) count += codes_[i] == code && params_[i] == lParam ? 1 : 0;
  return count;
}

std::vector<intptr_t> Events::ParamsFrom(size_t first) {
  std::lock_guard lock(mutex_);
  return first < params_.size()
             ? std::vector<intptr_t>(params_.begin() + static_cast<std::ptrdiff_t>(first), params_.end())
             : std::vector<intptr_t>{};
}

size_t Events::Size() {
  std::lock_guard lock(mutex_);
  return codes_.size();
}

void Events::Clear() {
  std::lock_guard lock(mutex_);
  codes_.clear();
  params_.clear();
  times_.clear();
}

int Events::CountLocked(int32_t code) const {
  int count = 0;
  for (int32_t c : codes_) count += c == code ? 1 : 0;
  return count;
}

void WaitForEarlierEvents(Events& events, const std::string& url) {
  int ends = events.Count(DL_EV_SIZE_CHECK_DONE);
  ASSERT_EQ(DL_OK, DownloadLibAddSizeCheck(url.c_str()));
  ASSERT_EQ(DL_OK, DownloadLibStartSizeCheck());
  ASSERT_TRUE(events.WaitFor(DL_EV_SIZE_CHECK_DONE, ends + 1));
}

JobHandle NewJob(const char* serviceCode) {
  JobHandle job = 0;
  EXPECT_EQ(DL_OK, DownloadLibCreateJob(&job, "ORB", serviceCode));
  return job;
}

std::vector<JobNotice> Notices(JobHandle job, std::vector<std::string>* texts) {
  std::vector<JobNotice> notices;
  for (;;) {
    int32_t length = 0;
    DownloadLibGetNoticeLength(job, &length);
    std::string text(static_cast<size_t>(length > 0 ? length : 1), '\0');
    JobNotice notice{0, text.data()};
    DownloadLibGetNotice(job, &notice);
    if (notice.code == DL_OK) break;
    notices.push_back(notice);
    if (texts != nullptr) texts->push_back(length > 0 ? std::string(text.c_str()) : std::string());
  }
  return notices;
}

std::string RelayReplyFrame() {
  std::string frame(16, '\0');
  frame[0] = 0x00;
  frame[1] = 0x03;  // group 0x0300
  frame[2] = static_cast<char>(131);
  frame[10] = 2;  // padded payload length
  frame[14] = 1;  // result
  return frame;
}

std::string LogText() {
  // Where the library puts it, from the same variables it reads.
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string folder = data != nullptr ? data : std::string(std::getenv("HOME")) + "/.local/share";
  return testsupport::ReadFileText(folder + "/Norvik/qtxDownloadV32/config/service.log");
}

bool FileExists(const std::string& path) { return std::ifstream(path).good(); }

}  // namespace hosttest
