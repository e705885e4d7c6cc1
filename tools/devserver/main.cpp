// talmeris-devserver: the development server. Operator commands on standard input ("help").
#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "cli_numbers.h"
#include "devserver.h"
#include "net/secure_session.h"
#include "state/files.h"

namespace {

void Usage(std::FILE* out = stderr) {
  std::fprintf(
      out,
      "usage: talmeris-devserver [--port N] [--listen ADDR] [--demo] [--account H:P[:NAME]]...\n"
      "         [--max-players N] [--min-release R] [--newest-release R]\n"
      "         [--data-revision N] [--patch DIR --patch-revision N [--patch-restart]]\n"
      "         [--own-path] [--quiet] [--key FILE] [--public-key]\n"
      "         [--try-ports N] [--ready-file FILE] [--world FILE [--fresh-world]]\n");
}

// The server's key file: its secret key as 64 hex digits. Made on first use, for this user only,
// and never replaced: a second server starting at the same time takes the first one's key.
bool LoadOrMakeKey(const std::string& file, talmeris::net::Key* secret) {
  namespace fs = std::filesystem;
  using namespace talmeris::net;
  auto read = [&] {
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const bool ok = !text.empty() && ParseKeyText(text.data(), text.size(), secret);
    sodium_memzero(text.data(), text.size());
    return ok;
  };
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
    // Anyone who can read it can be this server: it is refused until only its owner can.
    std::fprintf(stderr,
                 "talmeris-devserver: %s may be read by other users; make it yours alone "
                 "(chmod 600) or remove it for a new key\n",
                 file.c_str());
    return false;
  }
  if (read()) return true;
  std::error_code ec;
  if (fs::exists(file, ec)) {
    std::fprintf(stderr, "talmeris-devserver: %s holds no key\n", file.c_str());
    return false;
  }
  if (fs::path(file).has_parent_path()) fs::create_directories(fs::path(file).parent_path(), ec);
  const KeyPair pair = MakeKeyPair();
  const std::string temp = file + ".new." + std::to_string(getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::string text = std::string(KeyText(pair.secret_key).data()) + "\n";
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  const bool linked = written && closed && ::link(temp.c_str(), file.c_str()) == 0;
  ::unlink(temp.c_str());
  if (!linked && errno != EEXIST) {
    std::fprintf(stderr, "talmeris-devserver: cannot write %s\n", file.c_str());
    return false;
  }
  return read();
}

std::string DefaultKeyFile() {
  const char* data = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  std::string folder = data && *data ? data : std::string(home ? home : ".") + "/.local/share";
  return folder + "/talmeris-devserver/server.secret";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace talmeris::devserver;
  Options options;
  options.log = true;
  std::string key_file = DefaultKeyFile();
  bool print_key = false;
  std::uint32_t try_ports = 1;  // --port, and the ones after it when it is taken
  std::string ready_file;
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
    } else if (arg == "--world") {
      options.world_file = next();
    } else if (arg == "--fresh-world") {
      options.fresh_world = true;
    } else if (arg == "--try-ports") {
      try_ports = static_cast<std::uint32_t>(whole(1, 100));
    } else if (arg == "--ready-file") {
      ready_file = next();
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
    } else if (arg == "--key") {
      key_file = next();
    } else if (arg == "--public-key") {
      print_key = true;
    } else {
      std::fprintf(stderr, "talmeris-devserver: unknown option %s\n", arg.c_str());
      Usage();
      return 2;
    }
  }

  talmeris::net::Key secret;
  if (!LoadOrMakeKey(key_file, &secret)) return 1;
  const auto public_key = talmeris::net::KeyPairFromSecret(secret).public_key;
  if (print_key) {
    std::printf("%s\n", talmeris::net::KeyText(public_key).data());
    return 0;
  }
  options.has_secret_key = true;
  std::copy(secret.begin(), secret.end(), options.secret_key.begin());
  sodium_memzero(secret.data(), secret.size());
  if (options.log) std::printf("server key %s\n", talmeris::net::KeyText(public_key).data());
  std::fflush(stdout);

  // Signals are taken by sigwait below, never by the service threads.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // The first port that is free of those tried (another player's demo may hold the first).
  std::unique_ptr<DevServer> started;
  const std::uint32_t first_port = options.port;
  for (std::uint32_t i = 0; i < try_ports && !started && first_port + i <= 65535; ++i) {
    options.port = first_port + i;
    auto server = std::make_unique<DevServer>(options);
    std::string why;
    if (!server->OpenWorld(&why)) {
      std::fprintf(stderr, "talmeris-devserver: %s\n", why.c_str());
      return 1;
    }
    if (server->Start()) started = std::move(server);
  }
  if (!started) {
    if (try_ports == 1) {
      std::fprintf(stderr, "could not listen on port %u\n", first_port);
    } else {
      std::fprintf(stderr, "could not listen on any port from %u to %u\n", first_port,
                   first_port + try_ports - 1);
    }
    return 1;
  }
  DevServer& server = *started;
  if (!ready_file.empty() &&
      !talmeris::WriteFileWhole(ready_file, std::to_string(options.port) + "\n", 0644)) {
    std::fprintf(stderr, "talmeris-devserver: cannot write %s\n", ready_file.c_str());
    server.Stop();
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
