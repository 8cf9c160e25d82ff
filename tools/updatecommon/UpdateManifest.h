#pragma once
// The update deployment's layout and its manifest, written one element per line in a fixed
// attribute order, so the bytes that are signed never depend on who wrote them:
//
//   <?xml version="1.0" encoding="UTF-8"?>
//   <qtxdownload_updater expires="YYYY-MM-DDTHH:MM:SSZ">
//   <file>
//   <QTXDownloadV32 ver="..." url="QTXDownloadV32.7z" hash="QTXDownloadV32.7z.md4" sha256="..." size="..."/>
//   </file>
//   <all>
//   <all url="qtxdownload_all.zip" hash="qtxdownload_all.zip.md4" sha256="..." size="..."/>
//   </all>
//   </qtxdownload_updater>
//
// The addresses are relative to the manifest's, so a deployment can be served from any host and
// below any prefix.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace updatecommon {

inline constexpr std::string_view kDeploymentFolder = "norvik/qtxdownload/update/v3_32";
inline constexpr std::string_view kManifestName = "qtxdownload_updater.xml";
inline constexpr std::string_view kSignatureSuffix = ".sig";
inline constexpr std::string_view kDigestListSuffix = ".md4";
inline constexpr std::string_view kEngineName = "QTXDownloadV32";
inline constexpr std::string_view kEngineArchiveName = "QTXDownloadV32.7z";
inline constexpr std::string_view kAllArchiveName = "qtxdownload_all.zip";

struct ArchiveFields {
  std::string url;
  std::string hash;
  std::string sha256;
  uint64_t size = 0;
};

struct ManifestFields {
  std::string expires;  // FormatUtc
  std::string version;
  ArchiveFields engine;
  ArchiveFields all;
};

// True when `version` can stand in an attribute as it is: printable ASCII without quotes, "<",
// ">" and "&", 1 to 64 characters.
bool IsPlainVersion(std::string_view version);

std::string ComposeManifest(const ManifestFields& fields);

// "YYYY-MM-DDTHH:MM:SSZ".
std::string FormatUtc(std::time_t when);
std::optional<std::time_t> ParseUtc(std::string_view text);

// The manifest with the value of the first attribute `name` replaced; nullopt if it has none.
std::optional<std::string> ReplaceAttribute(std::string_view manifest, std::string_view name,
                                            std::string_view value);
// The value of the first attribute `name`; nullopt if there is none.
std::optional<std::string> AttributeValue(std::string_view manifest, std::string_view name);

}  // namespace updatecommon
