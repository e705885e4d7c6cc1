#include "app/posix_launcher.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>

extern char** environ;

namespace talmeris {

bool PosixLauncher::Start(std::string_view program) {
  // Only a plain file name of the installation folder is started.
  if (program.empty() || program.find('/') != std::string_view::npos) return false;
  std::string path = (folder_ / std::string(program)).string();
  std::string name(program);
  char* argv[] = {name.data(), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) return false;
  // Started without waiting; main() ignores SIGCHLD, so an ended program leaves no zombie.
  return true;
}

}  // namespace talmeris
