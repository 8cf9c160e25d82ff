#pragma once
// One file of a job.

#include <cstdint>
#include <string>

struct JobFileEntry {
  int32_t index = 0;   // the number of files the job had when this one was added
  std::string url;     // trimmed; may list alternatives separated by '|'
  std::string folder;  // '/'-separated, ends with '/'
  std::string fileName;
  char serviceCode[33] = {};
  int64_t size = -1;  // -1: unknown
  int64_t downloaded = 0;
  int64_t offset = 0;  // resume offset; set by the downloader before use
  int32_t optionA = 0;
  int32_t optionB = 0;
  int32_t reportState = 0;  // 2 once its completion has been reported

  std::string FullPath() const { return folder + fileName; }
};
