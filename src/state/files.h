// Opening the installation's files: always close-on-exec, so the programs the client starts
// never inherit them.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace talmeris {

inline std::FILE* OpenFile(const std::filesystem::path& file, const char* mode) {
  return std::fopen(file.c_str(), (std::string(mode) + "e").c_str());
}

// Writes a file whole or not at all: the bytes go to a temporary file beside it (`mode`, close-
// on-exec), flushed to the disk, which then takes the name. A kill or a full disk on the way
// leaves the old file as it was. False when anything failed; the temporary file is removed.
bool WriteFileWhole(const std::filesystem::path& path, std::string_view bytes, unsigned mode);

// Writes all of `bytes` to `fd`, again after an interruption; false when a write failed.
bool WriteAll(int fd, std::string_view bytes);

// A file's bytes, at most `max` of them; empty when it cannot be opened.
std::string ReadFileBytes(const std::filesystem::path& path,
                          std::size_t max = static_cast<std::size_t>(-1));

// Takes group and other permissions off an open file, once: the file may hold a password.
bool RestrictToUser(int fd);

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
