/* The codes and records of the download library's flat interface (result, event and notice
 * codes, the job handle, the event records, the window and callback types). Plain C: the library's
 * published header includes it, and the download pipeline, which fills these records and raises
 * these events, includes it directly. */
#ifndef ORBA_DOWNLOADLIB_TYPES_H
#define ORBA_DOWNLOADLIB_TYPES_H

#include <stdint.h>

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

#endif /* ORBA_DOWNLOADLIB_TYPES_H */
