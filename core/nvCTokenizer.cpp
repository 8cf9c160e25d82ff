#include "core/nvCTokenizer.h"

#include <cstdlib>
#include <cstring>

nvCTokenizer::~nvCTokenizer() { FreeTokens(); }

void nvCTokenizer::FreeTokens() {
  // Always the head: no walk through the list.
  while (tokens_.GetCount() > 0) std::free(tokens_.RemoveAt(0));
}

void nvCTokenizer::Split(const char* text, char separator) {
  FreeTokens();
  index_ = 0;
  if (text == nullptr) return;
  const char* p = text;
  while (*p != '\0') {
    if (*p == separator) {
      ++p;
      continue;
    }
    const char* begin = p;
    while (*p != '\0' && *p != separator) ++p;
    const size_t length = static_cast<size_t>(p - begin);
    char* token = static_cast<char*>(std::malloc(length + 1));
    if (token == nullptr) return;
    std::memcpy(token, begin, length);
    token[length] = '\0';
    tokens_.AddTail(token);
  }
}

const char* nvCTokenizer::Next() {
  if (!HasMore()) return nullptr;
  return static_cast<const char*>(tokens_.GetAt(index_++));
}
