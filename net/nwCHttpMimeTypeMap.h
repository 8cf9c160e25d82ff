#pragma once
// The process-wide map from file names to MIME types for uploads. Nothing ever adds to it, so every
// lookup answers the generic binary type; it stays a map so that uploads name their part's type in
// one place.

#include <string>
#include <vector>

class nwCHttpMimeTypeMap {
 public:
  static constexpr const char* kDefaultType = "application/octet-stream";

  nwCHttpMimeTypeMap() = default;
  nwCHttpMimeTypeMap(const nwCHttpMimeTypeMap&) = delete;
  nwCHttpMimeTypeMap& operator=(const nwCHttpMimeTypeMap&) = delete;

  // The process-wide map, created on first use (library thread only).
  static nwCHttpMimeTypeMap* Instance();
  // Destroys the process-wide map at library end.
  static void DestroyInstance();

  // The type listed for `name`; kDefaultType for a null or empty name or one not listed.
  const char* Lookup(const char* name) const;

 private:
  struct Entry {
    std::string name;
    std::string type;
  };

  std::vector<Entry> entries_;
};
