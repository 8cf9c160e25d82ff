// The flat interface: every function checks that the library is initialised and forwards to one
// job-manager operation, which does the work under the library lock.
#include "library/DownloadLib.h"

#include <atomic>

#include "library/CJobManager.h"
#include "library/LibraryControl.h"
#include "pipeline/Log.h"

namespace {

// Written only by initialisation and finalisation, which never run alongside other calls.
std::atomic<CDownloadLibThread*> g_thread{nullptr};
std::atomic<void*> g_userData{nullptr};

CJobManager* Manager() {
  CDownloadLibThread* thread = g_thread.load(std::memory_order_acquire);
  return thread != nullptr ? thread->Manager() : nullptr;
}

template <class Operation>
int32_t Forward(Operation operation) {
  CJobManager* manager = Manager();
  return manager != nullptr ? operation(*manager) : DL_ERR_FAILED;
}

// Job operations refuse the zero handle before anything else.
template <class Operation>
int32_t ForwardJob(JobHandle job, Operation operation) {
  if (Manager() == nullptr || job == 0) return DL_ERR_FAILED;
  return operation(*Manager());
}

}  // namespace

CDownloadLibThread* LibraryThread() { return g_thread.load(std::memory_order_acquire); }

int32_t LibraryInitialize(DownloadLibWindow notifyWindow, DownloadLibCallback callback, void* userData,
                          bool elevateLaunch, CDownloadLibThread::Options options) {
  if (g_thread.load() != nullptr) return DL_ERR_ALREADY_INITIALIZED;
  auto* thread = new CDownloadLibThread(std::move(options));
  g_thread.store(thread);

  int32_t result = DL_ERR_FAILED;
  if (thread->Start()) {
    thread->SetUserData(userData);
    if (CJobManager* manager = thread->Manager()) {
      result = manager->Configure(notifyWindow, callback, userData, elevateLaunch);
    }
  }
  if (result == DL_OK) {
    WriteLog("[TessenLib] Initialize");
    g_userData.store(userData);
  } else {
    // The thread object stays registered: a second initialisation answers 518 until finalised.
    LogFormat("[TessenLib] Initialize Failed : %d", result);
  }
  return result;
}

extern "C" {

int32_t DownloadLibInitialize(DownloadLibWindow notifyWindow, DownloadLibCallback callback, void* userData) {
  return DownloadLibInitializeEx(notifyWindow, callback, userData, true);
}

int32_t DownloadLibInitializeEx(DownloadLibWindow notifyWindow, DownloadLibCallback callback, void* userData,
                                bool elevateLaunch) {
  return LibraryInitialize(notifyWindow, callback, userData, elevateLaunch, CDownloadLibThread::Options{});
}

int32_t DownloadLibFinalize(void) {
  WriteLog("[TessenLib] Finalize Begin");
  if (CDownloadLibThread* thread = g_thread.load()) {
    if (thread->Stop()) {
      WriteLog("[TessenLib] Destroy JobManager");
      delete thread;
    } else {
      // The worker cannot be ended from outside; everything it can reach stays alive.
      WriteLog("[TessenLib] Force TerminateThread");
    }
  }
  g_thread.store(nullptr);
  g_userData.store(nullptr);
  WriteLog("[TessenLib] Finalize End");
  return DL_OK;
}

void* DownloadLibGetUserData(void) { return g_userData.load(); }

int32_t DownloadLibCreateJob(JobHandle* out, const char* engineTag, const char* serviceCode) {
  return Forward([&](CJobManager& m) { return m.CreateJob(out, engineTag, serviceCode); });
}

int32_t DownloadLibDeleteJob(JobHandle job) {
  return ForwardJob(job, [&](CJobManager& m) { return m.DeleteJob(job); });
}

int32_t DownloadLibAddFile(JobHandle job, const char* url, const char* folder, const char* fileName,
                           int64_t size, int32_t optionA) {
  return DownloadLibAddFileEx(job, url, folder, fileName, size, optionA, 0);
}

int32_t DownloadLibAddFileEx(JobHandle job, const char* url, const char* folder, const char* fileName,
                             int64_t size, int32_t optionA, int32_t optionB) {
  return ForwardJob(
      job, [&](CJobManager& m) { return m.AddFile(job, url, folder, fileName, size, optionA, optionB); });
}

int32_t DownloadLibStartJob(JobHandle job, bool allowEngine) {
  return ForwardJob(job, [&](CJobManager& m) { return m.StartJob(job, allowEngine); });
}

int32_t DownloadLibStopJob(JobHandle job) {
  return ForwardJob(job, [&](CJobManager& m) { return m.StopJob(job); });
}

int32_t DownloadLibAnswerResume(JobHandle job, bool resume, bool applyToAll) {
  return Forward([&](CJobManager& m) { return m.AnswerResume(job, resume, applyToAll); });
}

int32_t DownloadLibSetEngineReport(JobHandle job) {
  return Forward([&](CJobManager& m) { return m.SetEngineReport(job); });
}

int32_t DownloadLibSetServiceCode(const char* code) {
  return Forward([&](CJobManager& m) { return m.SetServiceCode(code); });
}

int32_t DownloadLibGetRemainingSize(JobHandle job, int64_t* out) {
  return Forward([&](CJobManager& m) { return m.GetRemainingSize(job, out); });
}

int32_t DownloadLibAddSizeCheck(const char* url) {
  if (g_thread.load() == nullptr) TraceDiagnostic("[TessenLib_D] 0x00B1");
  return Forward([&](CJobManager& m) { return m.AddSizeCheck(url); });
}

int32_t DownloadLibStartSizeCheck(void) {
  if (g_thread.load() == nullptr) TraceDiagnostic("[TessenLib_D] 0x0008");
  return Forward([&](CJobManager& m) { return m.StartSizeCheck(); });
}

int32_t DownloadLibGetSizeCheckTotal(int64_t* out) {
  return Forward([&](CJobManager& m) { return m.GetSizeCheckTotal(out); });
}

int32_t DownloadLibDownloadData(const char* url) {
  if (g_thread.load() == nullptr) TraceDiagnostic("[TessenLib_D] 0x00A0");
  return Forward([&](CJobManager& m) { return m.DownloadData(url); });
}

int32_t DownloadLibGetDataSize(int64_t* out) {
  return Forward([&](CJobManager& m) { return m.GetDataSize(out); });
}

int32_t DownloadLibGetData(DataBuffer* buffer) {
  return Forward([&](CJobManager& m) { return m.GetData(buffer); });
}

int32_t DownloadLibGetJobSizeInfo(JobHandle job, JobSizeInfo* out) {
  return ForwardJob(job, [&](CJobManager& m) { return m.GetJobSizeInfo(job, out); });
}

int32_t DownloadLibGetJobStatus(JobHandle job, JobStatus* out) {
  return ForwardJob(job, [&](CJobManager& m) { return m.GetJobStatus(job, out); });
}

int32_t DownloadLibGetFileDone(JobHandle job, FileDoneInfo* out) {
  return ForwardJob(job, [&](CJobManager& m) { return m.GetFileDone(job, out); });
}

int32_t DownloadLibGetJobResult(JobHandle job, JobResult* out) {
  return ForwardJob(job, [&](CJobManager& m) { return m.GetJobResult(job, out); });
}

int32_t DownloadLibGetNoticeLength(JobHandle job, int32_t* out) {
  return ForwardJob(job, [&](CJobManager& m) { return m.GetNoticeLength(job, out); });
}

int32_t DownloadLibGetNotice(JobHandle job, JobNotice* out) {
  return ForwardJob(job, [&](CJobManager& m) { return m.GetNotice(job, out); });
}

}  // extern "C"
