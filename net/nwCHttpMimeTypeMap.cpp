#include "net/nwCHttpMimeTypeMap.h"

namespace {

nwCHttpMimeTypeMap* g_map = nullptr;

}  // namespace

nwCHttpMimeTypeMap* nwCHttpMimeTypeMap::Instance() {
  if (g_map == nullptr) g_map = new nwCHttpMimeTypeMap;
  return g_map;
}

void nwCHttpMimeTypeMap::DestroyInstance() {
  delete g_map;
  g_map = nullptr;
}

const char* nwCHttpMimeTypeMap::Lookup(const char* name) const {
  if (name == nullptr || name[0] == '\0') return kDefaultType;
  for (const Entry& entry : entries_) {
    if (entry.name == name) return entry.type.c_str();
  }
  return kDefaultType;
}
