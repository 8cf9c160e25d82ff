#pragma once
// Splits a text at one separator byte into owned token copies, read back one after another.

#include <cstdint>

#include "core/nvCPtrList.h"

class nvCTokenizer {
 public:
  nvCTokenizer() = default;
  ~nvCTokenizer();
  nvCTokenizer(const nvCTokenizer&) = delete;
  nvCTokenizer& operator=(const nvCTokenizer&) = delete;

  // Drops the tokens of any earlier split. Empty runs between separators give no token, so
  // leading, trailing and repeated separators are ignored; a null or empty text gives none.
  void Split(const char* text, char separator);
  bool HasMore() const { return index_ < tokens_.GetCount(); }
  // The next token, or null past the last one. Valid until the next Split.
  const char* Next();

 private:
  void FreeTokens();

  nvCPtrList tokens_;
  int32_t index_ = 0;
};
