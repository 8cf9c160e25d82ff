#pragma once
// Deployment settings: host names, ports and switches that change without rebuilding.
//
// A value comes from the environment variable ORBA_<KEY in upper case> when it is set (even to an
// empty text), else from the config file's `key = value` line, else from the compiled-in default.
// Every call reads afresh: settings are read rarely, and tests change the environment between cases.

#include <string>

namespace settings {

// The value of `key`; empty for a key that has no setting anywhere.
std::string Get(const std::string& key);
// The value of `key` as a decimal integer, or `fallback` when it is empty or not a whole number.
long long GetInt(const std::string& key, long long fallback);

// The compiled-in default of `key`; empty for an unknown key.
std::string Default(const std::string& key);
// "ORBA_" + the key in upper case.
std::string EnvironmentName(const std::string& key);
// $XDG_CONFIG_HOME/Norvik Inc./orba.conf (default ~/.config/...); empty when no folder is known.
std::string ConfigFilePath();

}  // namespace settings
