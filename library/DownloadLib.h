/* The download library's flat interface. Every function returns a result code (DL_OK on
 * success); asynchronous outcomes arrive as events: message WM_DOWNLOADLIB_EVENT posted to the
 * notify window (wParam = event code, lParam = job handle or 0) and/or a call of the callback. */
#ifndef ORBA_DOWNLOADLIB_H
#define ORBA_DOWNLOADLIB_H

#include <stdbool.h>
#include <stdint.h>

#if defined(_WIN32)
#define DOWNLOADLIB_API __declspec(dllexport)
#else
#define DOWNLOADLIB_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uintptr_t JobHandle;     /* 0 never names a job */
typedef void* DownloadLibWindow; /* HWND on Windows; a platform window handle elsewhere */
typedef void (*DownloadLibCallback)(int32_t code, intptr_t lParam, void* userData);
enum { WM_DOWNLOADLIB_EVENT = 11024 };

/* Result codes. */
enum {
  DL_OK = 512,
  DL_ERR_NO_URL = 513,
  DL_ERR_FOLDER = 514,
  DL_ERR_ALREADY_QUEUED = 515,
  DL_ERR_NOT_QUEUED = 516,
  DL_ERR_FAILED = 517,
  DL_ERR_ALREADY_INITIALIZED = 518,
  DL_ERR_BAD_SIZE = 520
};

/* Event codes. */
enum {
  DL_EV_JOB_SIZE = 513,
  DL_EV_JOB_STATUS = 514,
  DL_EV_FILE_DONE = 515,
  DL_EV_JOB_DONE = 516,
  DL_EV_JOB_NOTICE = 517,
  DL_EV_ENGINE_UPDATE_FILE = 518,
  DL_EV_ENGINE_UPDATE_PROGRESS = 519,
  DL_EV_ENGINE_READY = 520,
  DL_EV_ENGINE_UPDATE_FAILED = 521,
  DL_EV_DATA_DONE = 522,
  DL_EV_DATA_FAILED = 523,
  DL_EV_RESUME_QUERY = 524,
  DL_EV_SIZE_CHECK_DONE = 525,
  DL_EV_SIZE_CHECK_FAILED = 526,
  DL_EV_ENGINE_PATH_FAILED = 527,
  DL_EV_FOLDER_FAILED = 528,
  DL_EV_DATA_TICK = 529,
  DL_EV_ENGINE_MODE = 530
};

/* Job notice codes (JobNotice.code). */
enum {
  DL_NOTE_DISK_FULL = 513,
  DL_NOTE_NETWORK_DOWN = 515,
  DL_NOTE_NETWORK_UP = 516,
  DL_NOTE_DOWNLOAD_FAILED = 517,
  DL_NOTE_ENGINE_FALLBACK = 518
};

typedef struct JobSizeInfo {
  int32_t fileCount;
  int64_t totalBytes;
} JobSizeInfo;

typedef struct JobStatus {
  int64_t totalBytes;
  int64_t downloadedBytes;
  int32_t fileCount;
  int32_t filesDone;
  int32_t bytesPerSecond;
  int64_t elapsedSeconds;
  int64_t remainingSeconds;
  int32_t percent;
  int32_t currentFileIndex;
  int64_t currentFileSize;
  int64_t currentFileDone;
  int64_t fileBytesPerSecond;
  int64_t fileRemainingSeconds;
  int32_t currentFilePercent;
  char currentFileName[66];
} JobStatus;

typedef struct FileDoneInfo {
  int32_t fileCount;
  int32_t sequence;
  char text[1024];
} FileDoneInfo;

typedef struct JobResult {
  int32_t fileCount;
  int32_t filesDone;
  int32_t status;
} JobResult;

typedef struct JobNotice {
  int32_t code;
  char* text;
} JobNotice;

typedef struct DataBuffer {
  char* data;
  int64_t size;
} DataBuffer;

DOWNLOADLIB_API int32_t DownloadLibInitialize(DownloadLibWindow notifyWindow, DownloadLibCallback callback, void* userData);
DOWNLOADLIB_API int32_t DownloadLibInitializeEx(DownloadLibWindow notifyWindow, DownloadLibCallback callback, void* userData, bool elevateLaunch);
DOWNLOADLIB_API int32_t DownloadLibFinalize(void);
DOWNLOADLIB_API void*   DownloadLibGetUserData(void);
DOWNLOADLIB_API int32_t DownloadLibCreateJob(JobHandle* out, const char* engineTag, const char* serviceCode);
DOWNLOADLIB_API int32_t DownloadLibDeleteJob(JobHandle job);
DOWNLOADLIB_API int32_t DownloadLibAddFile(JobHandle job, const char* url, const char* folder, const char* fileName, int64_t size, int32_t optionA);
DOWNLOADLIB_API int32_t DownloadLibAddFileEx(JobHandle job, const char* url, const char* folder, const char* fileName, int64_t size, int32_t optionA, int32_t optionB);
DOWNLOADLIB_API int32_t DownloadLibStartJob(JobHandle job, bool allowEngine);
DOWNLOADLIB_API int32_t DownloadLibStopJob(JobHandle job);
DOWNLOADLIB_API int32_t DownloadLibAnswerResume(JobHandle job, bool resume, bool applyToAll);
DOWNLOADLIB_API int32_t DownloadLibSetEngineReport(JobHandle job);
DOWNLOADLIB_API int32_t DownloadLibSetServiceCode(const char* code);
DOWNLOADLIB_API int32_t DownloadLibGetRemainingSize(JobHandle job, int64_t* out);
DOWNLOADLIB_API int32_t DownloadLibAddSizeCheck(const char* url);
DOWNLOADLIB_API int32_t DownloadLibStartSizeCheck(void);
DOWNLOADLIB_API int32_t DownloadLibGetSizeCheckTotal(int64_t* out);
DOWNLOADLIB_API int32_t DownloadLibDownloadData(const char* url);
DOWNLOADLIB_API int32_t DownloadLibGetDataSize(int64_t* out);
DOWNLOADLIB_API int32_t DownloadLibGetData(DataBuffer* buffer);
DOWNLOADLIB_API int32_t DownloadLibGetJobSizeInfo(JobHandle job, JobSizeInfo* out);
DOWNLOADLIB_API int32_t DownloadLibGetJobStatus(JobHandle job, JobStatus* out);
DOWNLOADLIB_API int32_t DownloadLibGetFileDone(JobHandle job, FileDoneInfo* out);
DOWNLOADLIB_API int32_t DownloadLibGetJobResult(JobHandle job, JobResult* out);
DOWNLOADLIB_API int32_t DownloadLibGetNoticeLength(JobHandle job, int32_t* out);
DOWNLOADLIB_API int32_t DownloadLibGetNotice(JobHandle job, JobNotice* out);

#ifdef __cplusplus
}
#endif

#endif /* ORBA_DOWNLOADLIB_H */
