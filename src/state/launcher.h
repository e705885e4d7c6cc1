// Starting another program from the installation folder without waiting for it.
#pragma once

#include <string_view>

namespace talmeris {

class ProgramLauncher {
 public:
  virtual ~ProgramLauncher() = default;
  // Starts `program` (a file name in the installation folder) with its own name as the only
  // argument. True when the program was started.
  virtual bool Start(std::string_view program) = 0;
};

}  // namespace talmeris
