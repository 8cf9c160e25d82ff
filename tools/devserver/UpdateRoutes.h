#pragma once
// The engine's update deployment (made by orba-updatepack), as it is and altered on purpose, so
// the self-updater's checks can be tried against a server that lies:
//   /norvik/qtxdownload/update/v3_32/<file>       the deployment; the manifest's .sig is made at
//                                                 each request when a key is known, else the
//                                                 deployment's own .sig (404 without one)
//   /update-tampered-archive/norvik/.../<file>    every archive with its last byte flipped and its
//                                                 .md4 list recomputed; manifest and .sig as they are
//   /update-tampered-manifest/norvik/.../<file>   ver="9.9.9.9" with the original manifest's .sig
//   /update-expired/norvik/.../<file>             expires one day before the server started,
//                                                 signed anew (no .sig without a key)
//   /update-older/norvik/.../<file>               ver="0.0.0.1", signed anew (no .sig without a key)
//   /update-unsigned/norvik/.../<file>            the deployment, but .sig is 404
// The manifest's addresses are relative, so an archive fetched through a prefix stays below it.
// Files are read at each request: a deployment the build remakes is served at once.

#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tools/updatecommon/UpdateDigests.h"

namespace devserver {

struct UpdateAnswer {
  bool found = false;  // false: 404
  std::string bytes;
};

class UpdateRoutes {
 public:
  // `root` holds norvik/qtxdownload/update/v3_32/; without `key` nothing is signed here.
  UpdateRoutes(const std::string& root, std::shared_ptr<const updatecommon::SigningKey> key);

  // True when the deployment's folder exists.
  bool Exists() const;
  // The manifest's path on the server ("/norvik/.../qtxdownload_updater.xml").
  static std::string ManifestPath();

  // nullopt when `path` (decoded) is none of the routes above.
  std::optional<UpdateAnswer> Answer(std::string_view path) const;

 private:
  enum class Variant { Plain, TamperedArchive, TamperedManifest, Expired, Older, Unsigned };

  UpdateAnswer Serve(Variant variant, const std::string& name) const;
  std::optional<std::string> Manifest(Variant variant) const;
  std::optional<std::string> Signature(Variant variant) const;
  std::optional<std::string> Read(const std::string& name) const;

  std::string folder_;
  std::shared_ptr<const updatecommon::SigningKey> key_;
  std::string expiredAt_;  // fixed, so a manifest and its .sig fetched apart still match
};

}  // namespace devserver
