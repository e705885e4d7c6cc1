// talmeris-peersim: a companion-program simulator. Started under the name Sonavox.exe it acts
// as the sound program; as Panoptra.exe or Panoptra64.exe, as the view program.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "peersim.h"

int main(int argc, char** argv) {
  using talmeris::peersim::Options;
  Options options;
  std::string self = argv[0];
  self = self.substr(self.find_last_of('/') + 1);
  bool sound = self.rfind("Sonavox", 0) == 0;
  options.report_hz = sound ? 0 : 20;
  if (const char* port = std::getenv("TALMERIS_PEER_PORT")) options.port = std::atoi(port);
  // Started by the client under a companion's name, it learns the rest from the environment.
  bool quiet = std::getenv("TALMERIS_PEER_QUIET") != nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&] { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--help") {
      std::printf(
          "usage: %s [--view|--sound] [--port N] [--kind K] [--propulsion 0|1] [--tag T]\n"
          "       [--rate HZ] [--no-register] [--quiet]\n"
          "A companion-program simulator: as Sonavox.exe the sound program, as Panoptra.exe or\n"
          "Panoptra64.exe the view program. Commands on standard input: register, switch CODE,\n"
          "dock I, undock, chat TEXT, shared TEXT, report [N], cue, quit.\n",
          self.c_str());
      return 0;
    }
    if (a == "--version") {
      std::printf("talmeris-peersim %s\n", TALMERIS_VERSION);
      return 0;
    }
    if (a == "--sound")
      sound = true;
    else if (a == "--view")
      sound = false;
    else if (a == "--port")
      options.port = std::atoi(next());
    else if (a == "--kind")
      options.kind = std::strtof(next(), nullptr);
    else if (a == "--propulsion")
      options.propulsion = std::atoi(next()) != 0;
    else if (a == "--tag")
      options.tag = std::strtof(next(), nullptr);
    else if (a == "--rate")
      options.report_hz = std::strtod(next(), nullptr);
    else if (a == "--no-register")
      options.register_on_connect = false;
    else if (a == "--quiet")
      quiet = true;
  }
  if (sound) {
    options.kind = 2.0f;
    options.propulsion = false;
  }
  static std::atomic<int> exit_code{0};
  options.on_line = [quiet](const std::string& line) {
    if (!quiet) {
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    }
    // The client went away, or was never there: a companion program ends with it.
    if (line == "connect failed") exit_code.store(1);
    if (line == "terminated" || line == "connect failed") kill(getpid(), SIGTERM);
  };
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  talmeris::peersim::Simulator sim(options);
  if (!sim.Start()) return 1;
  std::thread input([&sim] {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (line == "quit") {
        kill(getpid(), SIGTERM);
        break;
      }
      std::fputs(sim.Command(line).c_str(), stdout);
      std::fflush(stdout);
    }
  });
  input.detach();
  int received = 0;
  sigwait(&signals, &received);
  sim.Stop();
  return exit_code.load();
}
