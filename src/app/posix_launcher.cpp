#include "app/posix_launcher.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>

extern char** environ;

namespace talmeris {

namespace {

// Starts `path` (searched on the PATH when `search`) with its name as the only argument, giving
// it standard input, output and error and nothing else of the client's.
bool Spawn(const std::string& path, std::string name, bool search) {
  char* argv[] = {name.data(), nullptr};
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid;
  const int result = search ? posix_spawnp(&pid, path.c_str(), &actions, nullptr, argv, environ)
                            : posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  // Started without waiting; main() ignores SIGCHLD, so an ended program leaves no zombie.
  return result == 0;
}

}  // namespace

bool PosixLauncher::StartDesktopTool(std::string_view tool) {
  if (tool.empty() || tool.find('/') != std::string_view::npos) return false;
  return Spawn(std::string(tool), std::string(tool), true);
}

bool PosixLauncher::Start(std::string_view program) {
  // Only a plain file name of the installation folder is started.
  if (program.empty() || program.find('/') != std::string_view::npos) return false;
  std::string path = (folder_ / std::string(program)).string();
  return Spawn(path, std::string(program), false);
}

}  // namespace talmeris
