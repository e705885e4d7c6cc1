// Starts companion programs from the installation folder with posix_spawn.
#pragma once

#include <filesystem>

#include "state/launcher_port.h"

namespace talmeris {

class PosixLauncher final : public ProgramLauncher {
 public:
  explicit PosixLauncher(std::filesystem::path folder) : folder_(std::move(folder)) {}
  bool Start(std::string_view program) override;
  bool StartDesktopTool(std::string_view tool) override;

 private:
  std::filesystem::path folder_;
};

}  // namespace talmeris
