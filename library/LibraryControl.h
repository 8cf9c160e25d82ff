#pragma once
// Initialisation with explicit thread options, for the library's own tests and tools. The flat
// interface uses the defaults.

#include "library/CDownloadLibThread.h"
#include "library/DownloadLib.h"

int32_t LibraryInitialize(DownloadLibWindow notifyWindow, DownloadLibCallback callback, void* userData,
                          bool elevateLaunch, CDownloadLibThread::Options options);

// The running library thread, or null (for tests that reach past the flat interface).
CDownloadLibThread* LibraryThread();
