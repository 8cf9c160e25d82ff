/* The download library's flat interface. Every function returns a result code (DL_OK on
 * success); asynchronous outcomes arrive as events: message WM_DOWNLOADLIB_EVENT posted to the
 * notify window (wParam = event code, lParam = job handle or 0) and/or a call of the callback. */
#ifndef ORBA_DOWNLOADLIB_H
#define ORBA_DOWNLOADLIB_H

#include <stdbool.h>
#include <stdint.h>

/* The codes and records; inlined here in the header published with the shared library. */
#include "pipeline/DownloadLibTypes.h"

#if defined(_WIN32)
#define DOWNLOADLIB_API __declspec(dllexport)
#else
#define DOWNLOADLIB_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

DOWNLOADLIB_API int32_t DownloadLibInitialize(DownloadLibWindow notifyWindow, DownloadLibCallback callback,
                                              void* userData);
DOWNLOADLIB_API int32_t DownloadLibInitializeEx(DownloadLibWindow notifyWindow, DownloadLibCallback callback,
                                                void* userData, bool elevateLaunch);
DOWNLOADLIB_API int32_t DownloadLibFinalize(void);
DOWNLOADLIB_API void* DownloadLibGetUserData(void);
DOWNLOADLIB_API int32_t DownloadLibCreateJob(JobHandle* out, const char* engineTag, const char* serviceCode);
DOWNLOADLIB_API int32_t DownloadLibDeleteJob(JobHandle job);
DOWNLOADLIB_API int32_t DownloadLibAddFile(JobHandle job, const char* url, const char* folder,
                                           const char* fileName, int64_t size, int32_t optionA);
DOWNLOADLIB_API int32_t DownloadLibAddFileEx(JobHandle job, const char* url, const char* folder,
                                             const char* fileName, int64_t size, int32_t optionA,
                                             int32_t optionB);
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
