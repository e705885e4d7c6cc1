#include "support/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace talmeris::test {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args) {
  // A line sent to a child that has already ended fails; it must not end the test process.
  signal(SIGPIPE, SIG_IGN);
  int to_child[2], from_child[2];
  if (pipe(to_child) != 0 || pipe(from_child) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
  posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
  posix_spawn_file_actions_adddup2(&actions, from_child[1], 2);  // its complaints too
  posix_spawn_file_actions_addclose(&actions, to_child[1]);
  posix_spawn_file_actions_addclose(&actions, from_child[0]);
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(to_child[0]);
  close(from_child[1]);
  in_ = to_child[1];
  out_ = from_child[0];
  reader_ = std::thread([this] {
    char buffer[512];
    ssize_t n;
    while ((n = read(out_, buffer, sizeof buffer)) > 0) {
      std::lock_guard lock(mutex_);
      output_.append(buffer, static_cast<std::size_t>(n));
      cv_.notify_all();
    }
  });
}

ChildProcess::~ChildProcess() {
  Kill(SIGTERM);
  if (reader_.joinable()) reader_.join();
  if (out_ >= 0) close(out_);
}

void ChildProcess::Send(const std::string& line) {
  std::string text = line + "\n";
  [[maybe_unused]] ssize_t n = write(in_, text.data(), text.size());
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return output_.find(text) != std::string::npos; });
}

std::string ChildProcess::Output() {
  std::lock_guard lock(mutex_);
  return output_;
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

void ChildProcess::Kill(int signal) {
  if (pid_ <= 0) return;
  kill(pid_, signal);
  int status;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  if (in_ >= 0) {
    close(in_);
    in_ = -1;
  }
}

}  // namespace talmeris::test
