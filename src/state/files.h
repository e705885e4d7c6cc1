// Opening the installation's files: always close-on-exec, so the programs the client starts
// never inherit them.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace talmeris {

inline std::FILE* OpenFile(const std::filesystem::path& file, const char* mode) {
  return std::fopen(file.c_str(), (std::string(mode) + "e").c_str());
}

// The user's configuration directory: `chosen` when set, else $XDG_CONFIG_HOME, else
// ~/.config; empty when there is no home at all.
inline std::filesystem::path UserConfigHome(const std::filesystem::path& chosen = {}) {
  if (!chosen.empty()) return chosen;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) return xdg;
  if (const char* home = std::getenv("HOME"); home && *home)
    return std::filesystem::path(home) / ".config";
  return {};
}

// Where the voice layer records the audio setup, beside the client's key folder.
inline std::filesystem::path AudioSetupFile(const std::filesystem::path& config_home) {
  return config_home / "talmeris" / "voice.conf";
}

}  // namespace talmeris
