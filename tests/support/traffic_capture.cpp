#include "support/traffic_capture.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "server/patching.h"
#include "server/server_link.h"
#include "state/files.h"

namespace talmeris::test {
namespace {

constexpr std::size_t kMaxPerTarget = 5000;  // a long soak keeps the first ones
constexpr int kVoiceRun = 16;                // datagrams per voice input

std::string Read(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace

TrafficCapture::TrafficCapture() {
  if (const char* dir = std::getenv("TALMERIS_CAPTURE_DIR"); dir && *dir) folder_ = dir;
}

TrafficCapture::~TrafficCapture() {
  Flush();
}

net::EnetOptions TrafficCapture::Hooked(net::EnetOptions options) {
  if (On()) {
    options.receive_hook = &TrafficCapture::Hook;
    options.receive_hook_context = this;
  }
  return options;
}

void TrafficCapture::Hook(void* context, bool as_server, std::uint8_t channel,
                          const std::uint8_t* data, std::uint32_t size) {
  auto* self = static_cast<TrafficCapture*>(context);
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  if (channel == 0) {
    self->Keep("control_frame_fuzz", bytes);
  } else if (channel == 4) {
    if (as_server || size > 255) return;
    std::string run;
    {
      std::lock_guard lock(self->mutex_);
      self->voice_run_ += static_cast<char>(size);
      self->voice_run_ += bytes;
      if (++self->voice_in_run_ < kVoiceRun) return;
      run.swap(self->voice_run_);
      self->voice_in_run_ = 0;
    }
    self->Keep("voice_frame_fuzz", std::move(run));
  } else if (as_server) {
    // A companion's message, received from the first sender.
    self->Keep("peer_message_fuzz", std::string(1, '\0') + bytes);
  } else {
    self->Keep("server_message_fuzz", bytes);
    if (size == kPatchChunkSize) {
      // The chunk's header and the start of its data, then its operation.
      self->Keep("patch_chunk_fuzz",
                 bytes.substr(0, kPatchDataField + 64) + bytes[kPatchOperationField]);
    }
    // Each comma-separated text in the message, behind a spread of field kinds and sizes.
    // (six fields: text of 32, signed, unsigned, text of 16, signed, rest of the line in 40)
    static constexpr unsigned char kFields[] = {5, 4 * 31 + 2, 0, 1, 4 * 15 + 2, 0, 4 * 39 + 3};
    for (std::size_t at = 0; at < size;) {
      std::size_t end = at;
      while (end < size && data[end] >= 0x20 && data[end] < 0x7f) ++end;
      const std::string text = bytes.substr(at, end - at);
      if (text.size() >= 3 && text.find(',') != std::string::npos)
        self->Keep("text_fields_fuzz", std::string(kFields, kFields + sizeof kFields) + text);
      at = end + 1;
    }
  }
}

void TrafficCapture::Keep(const char* target, std::string bytes) {
  std::lock_guard lock(mutex_);
  auto& inputs = kept_[target];
  if (inputs.size() < kMaxPerTarget) inputs.insert(std::move(bytes));
}

void TrafficCapture::KeepFiles(const std::filesystem::path& install_dir,
                               const std::filesystem::path& config_home) {
  if (!On()) return;
  std::string revision = Read(install_dir / "patches.dat").substr(0, 2);
  revision.resize(2, '\0');
  if (std::filesystem::exists(install_dir / "Client.cfg"))
    Keep("settings_fuzz", revision + Read(install_dir / "Client.cfg"));
  if (std::filesystem::exists(install_dir / "messages.txt"))
    Keep("offline_messages_fuzz", Read(install_dir / "messages.txt"));
  const auto setup = AudioSetupFile(config_home);
  if (std::filesystem::exists(setup)) Keep("voice_frame_fuzz", Read(setup));
}

void TrafficCapture::Flush() {
  if (!On()) return;
  std::lock_guard lock(mutex_);
  for (const auto& [target, inputs] : kept_) {
    const auto dir = folder_ / target;
    std::filesystem::create_directories(dir);
    for (const auto& bytes : inputs) {
      if (bytes.empty()) continue;
      char name[32];
      std::snprintf(name, sizeof name, "%016zx", std::hash<std::string>{}(bytes));
      std::ofstream(dir / name, std::ios::binary) << bytes;
    }
  }
  kept_.clear();
}

}  // namespace talmeris::test
