// A child process with pipes to its standard input and output, for tests that run a tool.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace talmeris::test {

class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args);
  ~ChildProcess();
  bool Running() const { return pid_ > 0; }
  void Send(const std::string& line);  // one line to its standard input
  // Waits until a line of its output contains `text`.
  bool WaitForOutput(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  void Kill(int signal);    // and reap it
  void Signal(int signal);  // without waiting (SIGSTOP, SIGCONT)
  std::string Output();     // everything it printed so far

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::string output_;
};

}  // namespace talmeris::test
