#pragma once
// The library's flat interface as the application's code reaches it in this test program: the
// linker routes the calls named below through the shim (--wrap), so a test can see what the
// application passed or let the library's start fail. Without a shim in place, and for whatever
// a shim leaves unset, every call goes straight to the library.
//
//   apptest::LibraryShim shim;
//   shim.initialize = [](...) { return DL_ERR_FAILED; };
//   ... controller->Start(...) ...
//   EXPECT_EQ(0, shim.noticeTextBuffers);

#include <cstdint>
#include <functional>

#include "library/DownloadLib.h"

namespace apptest {

class LibraryShim {
 public:
  LibraryShim();
  ~LibraryShim();
  LibraryShim(const LibraryShim&) = delete;
  LibraryShim& operator=(const LibraryShim&) = delete;

  // Replaces DownloadLibInitialize while set.
  std::function<int32_t(DownloadLibWindow, DownloadLibCallback, void*)> initialize;
  // DownloadLibGetNotice calls, and how many of them passed a text buffer.
  int noticeReads = 0;
  int noticeTextBuffers = 0;
};

}  // namespace apptest
