// Opening the installation's files: always close-on-exec, so the programs the client starts
// never inherit them.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace talmeris {

inline std::FILE* OpenFile(const std::filesystem::path& file, const char* mode) {
  return std::fopen(file.c_str(), (std::string(mode) + "e").c_str());
}

}  // namespace talmeris
