#include "tests/app/LibraryShim.h"

namespace apptest {
namespace {

// The tests of this program drive the application on one thread, one shim at a time.
LibraryShim* g_shim = nullptr;

}  // namespace

LibraryShim::LibraryShim() { g_shim = this; }

LibraryShim::~LibraryShim() { g_shim = nullptr; }

}  // namespace apptest

extern "C" {

int32_t __real_DownloadLibInitialize(DownloadLibWindow window, DownloadLibCallback callback, void* userData);
int32_t __real_DownloadLibGetNotice(JobHandle job, JobNotice* out);

int32_t __wrap_DownloadLibInitialize(DownloadLibWindow window, DownloadLibCallback callback, void* userData) {
  if (apptest::g_shim != nullptr && apptest::g_shim->initialize) {
    return apptest::g_shim->initialize(window, callback, userData);
  }
  return __real_DownloadLibInitialize(window, callback, userData);
}

int32_t __wrap_DownloadLibGetNotice(JobHandle job, JobNotice* out) {
  if (apptest::g_shim != nullptr) {
    ++apptest::g_shim->noticeReads;
    if (out != nullptr && out->text != nullptr) ++apptest::g_shim->noticeTextBuffers;
  }
  return __real_DownloadLibGetNotice(job, out);
}

}  // extern "C"
