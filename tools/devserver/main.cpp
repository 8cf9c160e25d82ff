// orba-devserver: a local deployment on 127.0.0.1 for demos, tests and benchmarks.
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/devserver/CertificateMaker.h"
#include "tools/devserver/ContentServer.h"
#include "tools/devserver/DemoGenerator.h"
#include "tools/devserver/Log.h"
#include "tools/devserver/RelayServer.h"
#include "tools/devserver/UpdateRoutes.h"
#include "tools/updatecommon/UpdateDigests.h"

// What the build made: its update deployment and the development key that signs it (empty when
// the build was given only a public key).
#ifndef ORBA_UPDATE_DEPLOYMENT_DIR
#define ORBA_UPDATE_DEPLOYMENT_DIR ""
#endif
#ifndef ORBA_UPDATE_SIGNING_KEY
#define ORBA_UPDATE_SIGNING_KEY ""
#endif

namespace {

constexpr const char* kHelp = R"(usage: orba-devserver [options]

Serves a folder over http and https, and a relay for transfer reports, on 127.0.0.1 until it
gets SIGINT or SIGTERM. Requests are logged on standard error.

  --root DIR          the folder to serve (default: the current folder)
  --demo DIR          write the demo deployment into DIR (created when missing) and serve DIR:
                      filelist.txt (its URLs name this server), four data files, the installer
                      setup.exe (last in the list), SHA256SUMS of every listed file, ORBA.gif
  --http-port N       port of http (default 0: a free one); likewise:
  --https-port N
  --relay-port N
  --cert-dir DIR      where the CA and the server certificate are written (default: a new
                      temporary folder, removed at the end)
  --rate BYTES        pace of every response, hence of every connection, in bytes per second
  --relay-log FILE    append a line "tag<TAB>url<TAB>received" per reported file
  --update-root DIR   the engine's update deployment to serve, the folder that holds
                      norvik/qtxdownload/update/v3_32/ (default: the one the build made);
                      "none": no deployment, its addresses answer 404
  --sign-key FILE     the Ed25519 private key (PEM) that signs the update manifest at each
                      request (default: the build's development key, when it has one); "none":
                      the deployment's own .sig is served
  --help

Routes (combinable prefixes):
  /<path>               the file below the folder; one byte range per request (206, 416)
  /redirect/N/<path>    a chain of N 302 answers that ends at /<path>
  /status/N             the answer N (200-599)
  /slow/N/<path>        at most N bytes per second
  /cut/N/<path>         the connection closes after N body bytes
In every mode, when there is an update deployment (--update-root):
  /norvik/qtxdownload/update/v3_32/<file>
                        the deployment: qtxdownload_updater.xml, its .sig, the archives and
                        their .md4 lists; below these prefixes it is altered on purpose:
  /update-tampered-archive/norvik/...
                        every archive with one byte changed and its .md4 list made for the
                        changed bytes; the manifest and its .sig as they are
  /update-tampered-manifest/norvik/...
                        ver="9.9.9.9", with the original manifest's .sig
  /update-expired/norvik/...
                        expires one day before the server started, signed anew
  /update-older/norvik/...
                        ver="0.0.0.1", signed anew
  /update-unsigned/norvik/...
                        the manifest without a .sig (404)
                        (without a key, expired and older have no .sig either)

When everything listens it prints, one per line, then "ready":
  http_url=http://127.0.0.1:PORT/     https_url=https://127.0.0.1:PORT/
  relay_host=127.0.0.1                relay_port=PORT
  ca_file=PATH                        root=DIR
with an update deployment: update_manifest_url=URL (its manifest over http);
with --demo: file_list_url=URL, banner_url=URL, sums_file=PATH, installer=setup.exe,
installer_marker_variable=ORBA_DEMO_INSTALLER_MARKER (the installer writes the file that this
variable names, or installer-ran.txt next to itself).
)";

struct Options {
  std::string root = ".";
  bool demo = false;
  int httpPort = 0;
  int httpsPort = 0;
  int relayPort = 0;
  std::string certDir;
  int64_t rate = 0;
  std::string relayLog;
  std::string updateRoot = ORBA_UPDATE_DEPLOYMENT_DIR;
  bool updateRootGiven = false;
  std::string signKey = ORBA_UPDATE_SIGNING_KEY;
  bool signKeyGiven = false;
};

std::optional<int64_t> ParseNumber(std::string_view text, int64_t max) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

// Parses the command line; prints the reason and returns nullopt on a mistake.
std::optional<Options> ParseOptions(int argc, char** argv, bool* help) {
  Options options;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view name = args[i];
    if (name == "--help" || name == "-h") {
      *help = true;
      return options;
    }
    if (i + 1 >= args.size()) {
      std::cerr << "orba-devserver: " << name << " needs a value (see --help)\n";
      return std::nullopt;
    }
    std::string_view value = args[++i];
    auto port = [&](int* out) {
      std::optional<int64_t> number = ParseNumber(value, 65535);
      if (number) *out = static_cast<int>(*number);
      return number.has_value();
    };
    bool ok = true;
    if (name == "--root") {
      options.root = value;
    } else if (name == "--demo") {
      options.root = value;
      options.demo = true;
    } else if (name == "--http-port") {
      ok = port(&options.httpPort);
    } else if (name == "--https-port") {
      ok = port(&options.httpsPort);
    } else if (name == "--relay-port") {
      ok = port(&options.relayPort);
    } else if (name == "--cert-dir") {
      options.certDir = value;
    } else if (name == "--rate") {
      std::optional<int64_t> rate = ParseNumber(value, int64_t{1} << 40);
      ok = rate.has_value();
      if (ok) options.rate = *rate;
    } else if (name == "--relay-log") {
      options.relayLog = value;
    } else if (name == "--update-root") {
      options.updateRoot = value == "none" ? std::string() : std::string(value);
      options.updateRootGiven = true;
    } else if (name == "--sign-key") {
      options.signKey = value == "none" ? std::string() : std::string(value);
      options.signKeyGiven = true;
    } else {
      std::cerr << "orba-devserver: unknown option " << name << " (see --help)\n";
      return std::nullopt;
    }
    if (!ok || value.empty()) {
      std::cerr << "orba-devserver: bad value for " << name << ": " << value << "\n";
      return std::nullopt;
    }
  }
  return options;
}

int Fail(const std::string& message) {
  std::cerr << "orba-devserver: " << message << "\n";
  return 1;
}

// A temporary folder for the certificates, removed when the server ends.
class OwnedFolder {
 public:
  ~OwnedFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  bool Create() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orba-devserver-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return false;
    path_ = pattern;
    return true;
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// The update deployment to serve, if any, and the key that signs its manifests. What the build
// compiled in is optional; what the command line names must be there.
bool LoadUpdateRoutes(const Options& options, std::shared_ptr<const devserver::UpdateRoutes>* routes,
                      std::string* error) {
  std::shared_ptr<const updatecommon::SigningKey> key;
  if (!options.signKey.empty()) {
    key = updatecommon::SigningKey::Load(options.signKey, error);
    if (!key && options.signKeyGiven) return false;
    if (!key) devserver::LogLine("update manifests are not signed here: " + *error);
  }
  if (options.updateRoot.empty()) return true;
  std::error_code failure;
  std::string root = std::filesystem::absolute(options.updateRoot, failure).lexically_normal().string();
  auto candidate = std::make_shared<devserver::UpdateRoutes>(root, key);
  if (!candidate->Exists()) {
    if (!options.updateRootGiven) return true;
    *error = "no update deployment in " + options.updateRoot + " (no norvik/qtxdownload/update/v3_32/ in it)";
    return false;
  }
  devserver::LogLine("update deployment " + root +
                     (key ? ", manifests signed with " + options.signKey : ", its own .sig served (no key)"));
  *routes = std::move(candidate);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool help = false;
  std::optional<Options> options = ParseOptions(argc, argv, &help);
  if (!options) return 2;
  if (help) {
    std::cout << kHelp;
    return 0;
  }

  // Signals are taken by sigwait below; every thread started from here on inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client that leaves mid-body must not end the server

  OwnedFolder temporaryCertDir;
  if (options->certDir.empty()) {
    if (!temporaryCertDir.Create()) return Fail("cannot create a temporary folder for the certificates");
    options->certDir = temporaryCertDir.Path();
  }
  devserver::CertificateFiles certificates;
  std::string error;
  if (!devserver::CertificateMaker::Make(options->certDir, &certificates, &error)) return Fail(error);

  std::error_code failure;
  if (options->demo) std::filesystem::create_directories(options->root, failure);
  std::string root = std::filesystem::absolute(options->root, failure).lexically_normal().string();
  if (!std::filesystem::is_directory(root, failure)) return Fail("not a folder: " + options->root);

  std::shared_ptr<const devserver::UpdateRoutes> update;
  if (!LoadUpdateRoutes(*options, &update, &error)) return Fail(error);

  devserver::ContentServer content({root, options->rate, certificates, update});
  devserver::RelayServer relay(options->relayLog);
  if (!content.Bind(options->httpPort, options->httpsPort, &error) ||
      !relay.Bind(options->relayPort, &error)) {
    return Fail(error);
  }
  std::string httpUrl = "http://127.0.0.1:" + std::to_string(content.HttpPort()) + "/";
  devserver::DemoDeployment demo;
  if (options->demo && !devserver::DemoGenerator::Generate(root, httpUrl, &demo, &error)) return Fail(error);

  content.Start();
  relay.Start();
  std::cout << "http_url=" << httpUrl << "\n"
            << "https_url=https://127.0.0.1:" << content.HttpsPort() << "/\n"
            << "relay_host=127.0.0.1\n"
            << "relay_port=" << relay.Port() << "\n"
            << "ca_file=" << certificates.caFile << "\n"
            << "root=" << root << "\n";
  if (update)
    std::cout << "update_manifest_url=" << httpUrl << devserver::UpdateRoutes::ManifestPath().substr(1)
              << "\n";
  if (options->demo) {
    std::cout << "file_list_url=" << demo.fileListUrl << "\n"
              << "banner_url=" << demo.bannerUrl << "\n"
              << "sums_file=" << demo.sumsFile << "\n"
              << "installer=" << devserver::DemoGenerator::kInstallerName << "\n"
              << "installer_marker_variable=" << devserver::DemoGenerator::kMarkerVariable << "\n";
  }
  std::cout << "ready" << std::endl;
  devserver::LogLine("serving " + root + " on " + httpUrl);

  int received = 0;
  sigwait(&stopSignals, &received);
  devserver::LogLine(std::string("stopping on ") + (received == SIGINT ? "SIGINT" : "SIGTERM"));
  relay.Stop();
  content.Stop();
  devserver::LogLine("stopped");
  return 0;
}
