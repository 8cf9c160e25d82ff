// The header hosts get is one file that C and C++ read alike.
#include <cstddef>

#include <gtest/gtest.h>

#include "DownloadLib.h"

extern "C" size_t HostCRecordSize(int which);

namespace {

TEST(PublicHeaderTest, RecordsHaveTheSameLayoutInCAndCpp) {
  const size_t cpp[] = {sizeof(JobSizeInfo),
                        sizeof(JobStatus),
                        sizeof(FileDoneInfo),
                        sizeof(JobResult),
                        sizeof(JobNotice),
                        sizeof(DataBuffer),
                        offsetof(JobStatus, currentFileName)};
  for (int which = 0; which < static_cast<int>(std::size(cpp)); ++which) {
    SCOPED_TRACE(which);
    EXPECT_EQ(HostCRecordSize(which), cpp[which]);
  }
}

}  // namespace
