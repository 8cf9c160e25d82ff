#pragma once
// What the tests of a library that installs and starts the real engine share: where the engine is
// installed, ending the engines the library left running, a free loopback port for the engine, and
// reading the library's log.

#include <string>

namespace enginetest {

extern const char* const kManifestPath;  // below the deployment's root, starting with '/'

// The installed engine program of this test program's per-user folders.
std::string InstalledEngine();
// Ends every process running the installed engine: the library starts it and leaves it running.
void KillInstalledEngines();
// A loopback port nobody listens on now.
int UnusedPort();
// The library's log has a line containing `fragment`.
bool LogHas(const std::string& fragment);
// Lines of the library's log containing `fragment`.
int LogCount(const std::string& fragment);

}  // namespace enginetest
