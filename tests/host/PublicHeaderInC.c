/* A C host: the published header compiles as strict C, and its records have the layout C++ gives
 * them (the C++ side compares in PublicHeaderTests.cpp). */
#include "DownloadLib.h"

#include <stddef.h>

size_t HostCRecordSize(int which) {
  switch (which) {
    case 0:
      return sizeof(JobSizeInfo);
    case 1:
      return sizeof(JobStatus);
    case 2:
      return sizeof(FileDoneInfo);
    case 3:
      return sizeof(JobResult);
    case 4:
      return sizeof(JobNotice);
    case 5:
      return sizeof(DataBuffer);
    case 6:
      return offsetof(JobStatus, currentFileName);
    default:
      return 0;
  }
}
