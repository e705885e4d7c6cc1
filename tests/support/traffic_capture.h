// Real traffic for the fuzz corpora: with TALMERIS_CAPTURE_DIR set, a client under test keeps
// what arrives on its links and the files it wrote, shaped as the input of each fuzz target,
// and writes them under that folder (one sub-folder per target) when it is done.
// `scripts/fuzz seed` runs the integration tests this way and merges the result.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "net/enet_transport.h"

namespace talmeris::test {

class TrafficCapture {
 public:
  TrafficCapture();  // off unless TALMERIS_CAPTURE_DIR is set
  ~TrafficCapture();
  TrafficCapture(const TrafficCapture&) = delete;
  TrafficCapture& operator=(const TrafficCapture&) = delete;

  bool On() const { return !folder_.empty(); }
  // `options` with the capture hook set when capturing.
  net::EnetOptions Hooked(net::EnetOptions options);
  // Keeps the installation's files (Client.cfg with the patches.dat revision, messages.txt,
  // the audio setup) as inputs; call once the client has ended.
  void KeepFiles(const std::filesystem::path& install_dir,
                 const std::filesystem::path& config_home);

 private:
  static void Hook(void* self, bool as_server, std::uint8_t channel, const std::uint8_t* data,
                   std::uint32_t size);
  void Keep(const char* target, std::string bytes);
  void Flush();

  std::filesystem::path folder_;
  std::mutex mutex_;
  std::map<std::string, std::set<std::string>> kept_;  // by target, each input once
  std::string voice_run_;  // voice datagrams gather into runs of several
  int voice_in_run_ = 0;
};

}  // namespace talmeris::test
