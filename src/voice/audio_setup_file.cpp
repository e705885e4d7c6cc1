#include "voice/audio_setup_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "state/files.h"

namespace talmeris::voice {
namespace {

float Clamp(float v, float lo, float hi) {
  return std::min(hi, std::max(lo, v));
}

}  // namespace

bool ParseAudioSetup(std::string_view text, AudioSetup* setup) {
  std::size_t start = 0;
  for (int lines = 0; lines < kAudioSetupMaxLines && start < text.size(); ++lines) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto eq = line.find('=');
    if (eq == std::string_view::npos || line[0] == '#') continue;
    const std::string_view key = line.substr(0, eq);
    const std::string value(line.substr(eq + 1));
    if (key == "capture") {
      setup->capture_device = value;
    } else if (key == "playback") {
      setup->playback_device = value;
    } else if (key == "echo_cancellation") {
      if (value == "0" || value == "1") setup->echo_cancellation = value == "1";
    } else if (key == "open_db" || key == "close_db") {
      char* end_number = nullptr;
      const float v = std::strtof(value.c_str(), &end_number);
      if (end_number == value.c_str()) continue;
      (key == "open_db" ? setup->open_db : setup->close_db) = Clamp(v, -90.0f, 0.0f);
    }
  }
  setup->close_db = std::min(setup->close_db, setup->open_db);
  return true;
}

bool LoadAudioSetup(const std::filesystem::path& file, AudioSetup* setup) {
  std::FILE* f = OpenFile(file, "rb");
  if (!f) return false;
  // The file is ours and a few lines long; more than this is not read.
  char buffer[kAudioSetupMaxBytes];
  const std::size_t n = std::fread(buffer, 1, sizeof buffer, f);
  std::fclose(f);
  return ParseAudioSetup(std::string_view(buffer, n), setup);
}

bool SaveAudioSetup(const std::filesystem::path& file, const AudioSetup& setup) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  const std::filesystem::path temporary = file.string() + ".new";
  std::FILE* f = OpenFile(temporary, "w");
  if (!f) return false;
  bool ok = std::fprintf(f,
                         "# Talmeris audio setup\ncapture=%s\nplayback=%s\nopen_db=%.1f\n"
                         "close_db=%.1f\necho_cancellation=%d\n",
                         setup.capture_device.c_str(), setup.playback_device.c_str(),
                         static_cast<double>(setup.open_db), static_cast<double>(setup.close_db),
                         setup.echo_cancellation ? 1 : 0) > 0;
  ok = std::fclose(f) == 0 && ok;
  if (ok) std::filesystem::rename(temporary, file, ec);
  if (!ok || ec) std::filesystem::remove(temporary, ec);
  return ok && !ec;
}

}  // namespace talmeris::voice
