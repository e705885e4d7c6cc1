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
  // Starts a tool of the desktop (a plain name found on the PATH), such as the joystick
  // control panel. True when it was started; a missing tool is no error.
  virtual bool StartDesktopTool(std::string_view) { return false; }
};

}  // namespace talmeris
