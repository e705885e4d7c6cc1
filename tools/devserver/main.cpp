// talmeris-devserver: the development server. Operator commands on standard input ("help").
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "cli_numbers.h"
#include "devserver.h"

namespace {

void Usage(std::FILE* out = stderr) {
  std::fprintf(
      out,
      "usage: talmeris-devserver [--port N] [--listen ADDR] [--demo] [--account H:P[:NAME]]...\n"
      "         [--max-players N] [--min-release R] [--newest-release R]\n"
      "         [--data-revision N] [--patch DIR --patch-revision N [--patch-restart]]\n"
      "         [--own-path] [--quiet]\n");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace talmeris::devserver;
  Options options;
  options.log = true;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("talmeris-devserver %s\n", TALMERIS_VERSION);
      return 0;
    }
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        Usage();
        std::exit(2);
      }
      return argv[++i];
    };
    // A number that is malformed or out of its range is an error, as an unknown option is.
    auto whole = [&](long lo, long hi) -> long {
      const char* text = next();
      long v = 0;
      if (!talmeris::cli::WholeNumber(text, lo, hi, &v)) {
        std::fprintf(stderr, "talmeris-devserver: %s: not a number from %ld to %ld: %s\n",
                     arg.c_str(), lo, hi, text);
        Usage();
        std::exit(2);
      }
      return v;
    };
    auto real = [&]() -> float {
      const char* text = next();
      double v = 0;
      if (!talmeris::cli::RealNumber(text, &v)) {
        std::fprintf(stderr, "talmeris-devserver: %s: not a number: %s\n", arg.c_str(), text);
        Usage();
        std::exit(2);
      }
      return static_cast<float>(v);
    };
    if (arg == "--port") {
      options.port = static_cast<std::uint32_t>(whole(1, 65535));
    } else if (arg == "--listen") {
      options.listen_host = next();
    } else if (arg == "--demo") {
      options.demo = true;
    } else if (arg == "--quiet") {
      options.log = false;
    } else if (arg == "--account") {
      std::string spec = next();
      Account a;
      auto colon = spec.find(':');
      a.handle = spec.substr(0, colon);
      if (colon != std::string::npos) {
        std::string rest = spec.substr(colon + 1);
        auto second = rest.find(':');
        a.password = rest.substr(0, second);
        // Without a name the account has no character yet (gender 0): the Profile Editor's
        // character half is open to it.
        if (second != std::string::npos) {
          a.character_name = rest.substr(second + 1);
        } else {
          a.gender = 0;
        }
      }
      options.accounts.push_back(a);
    } else if (arg == "--max-players") {
      options.max_players = static_cast<std::uint32_t>(whole(1, 32));
    } else if (arg == "--min-release") {
      options.minimum_release = real();
    } else if (arg == "--newest-release") {
      options.newest_release = real();
    } else if (arg == "--data-revision") {
      options.data_revision = static_cast<std::uint16_t>(whole(0, 65535));
    } else if (arg == "--own-path") {
      options.own_path = true;
    } else if (arg == "--patch") {
      options.patch_dir = next();
    } else if (arg == "--patch-revision") {
      options.patch_revision = static_cast<std::uint16_t>(whole(0, 65535));
    } else if (arg == "--patch-restart") {
      options.patch_restart = true;
    } else {
      std::fprintf(stderr, "talmeris-devserver: unknown option %s\n", arg.c_str());
      Usage();
      return 2;
    }
  }

  // Signals are taken by sigwait below, never by the service threads.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  DevServer server(options);
  if (!server.Start()) {
    std::fprintf(stderr, "could not listen on port %u\n", options.port);
    return 1;
  }
  std::thread input([&server] {
    std::string line;
    while (std::getline(std::cin, line)) {
      std::fputs(server.Command(line).c_str(), stdout);
      std::fflush(stdout);
      if (line == "quit") kill(getpid(), SIGTERM);
    }
  });
  input.detach();  // standard input may stay open; the process ends on a signal
  int received = 0;
  sigwait(&signals, &received);
  server.Stop();
  return 0;
}
