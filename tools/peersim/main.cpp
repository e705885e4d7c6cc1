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

#include "cli_numbers.h"
#include "peersim.h"

int main(int argc, char** argv) {
  using talmeris::peersim::Options;
  Options options;
  std::string self = argv[0];
  self = self.substr(self.find_last_of('/') + 1);
  bool sound = self.rfind("Sonavox", 0) == 0;
  bool rate_given = false;
  if (const char* port = std::getenv("TALMERIS_PEER_PORT")) options.port = std::atoi(port);
  // Started by the client under a companion's name, it learns the rest from the environment.
  bool quiet = std::getenv("TALMERIS_PEER_QUIET") != nullptr;
  const std::string usage = "usage: " + self +
                            " [--view|--sound] [--port N] [--kind K] [--propulsion 0|1] [--tag T]\n"
                            "       [--rate HZ] [--no-register] [--quiet]\n";
  // An unknown option, a missing value or a malformed one: the usage, and exit code 2.
  auto refuse = [&](const std::string& why) {
    std::fprintf(stderr, "%s: %s\n%s", self.c_str(), why.c_str(), usage.c_str());
    std::exit(2);
  };
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) refuse(a + " needs a value");
      return argv[++i];
    };
    auto whole = [&](long lo, long hi) {
      const char* text = next();
      long v = 0;
      if (!talmeris::cli::WholeNumber(text, lo, hi, &v)) {
        refuse(a + ": not a number from " + std::to_string(lo) + " to " + std::to_string(hi) +
               ": " + text);
      }
      return v;
    };
    auto real = [&] {
      const char* text = next();
      double v = 0;
      if (!talmeris::cli::RealNumber(text, &v)) refuse(a + ": not a number: " + text);
      return v;
    };
    if (a == "--help" || a == "-h") {
      std::printf(
          "%s"
          "A companion-program simulator: as Sonavox.exe the sound program, as Panoptra.exe or\n"
          "Panoptra64.exe the view program. Commands on standard input: register, switch CODE,\n"
          "dock I, undock, chat TEXT, shared TEXT, report [N], cue, quit.\n",
          usage.c_str());
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
      options.port = static_cast<std::uint32_t>(whole(1, 65535));
    else if (a == "--kind")
      options.kind = static_cast<float>(real());
    else if (a == "--propulsion")
      options.propulsion = whole(0, 1) != 0;
    else if (a == "--tag")
      options.tag = static_cast<float>(real());
    else if (a == "--rate")
      options.report_hz = real(), rate_given = true;
    else if (a == "--no-register")
      options.register_on_connect = false;
    else if (a == "--quiet")
      quiet = true;
    else
      refuse("unknown option " + a);
  }
  // The view program reports its vessel 20 times a second unless told otherwise; the sound
  // program (also when --sound names it) has no vessel to report.
  if (!rate_given) options.report_hz = sound ? 0 : 20;
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
