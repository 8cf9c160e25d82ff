#pragma once
// The user's environment: variables and the per-user folders.

#include <optional>
#include <string>

namespace platform {

// The variable's value, or nothing when it is unset.
std::optional<std::string> GetEnvironment(const std::string& name);

// $HOME, else the password database's home folder; no trailing '/'.
std::string HomeFolder();
// The per-user application-data folder: $XDG_DATA_HOME, default ~/.local/share; no trailing '/'.
// Empty when neither can be found.
std::string ApplicationDataFolder();
// The per-user configuration folder: $XDG_CONFIG_HOME, default ~/.config; no trailing '/'.
std::string ConfigurationFolder();

}  // namespace platform
