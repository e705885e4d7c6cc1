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
  // The program gets standard input, output and error and nothing else of the client's.
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid;
  const int result = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) return false;
  // Started without waiting; main() ignores SIGCHLD, so an ended program leaves no zombie.
  return true;
}

}  // namespace talmeris
