// Client.cfg as any program (or a damaged disk) may have left it: loading and upgrading never
// fails, and leaves a file of at least the full 256 bytes that loads again to the same settings.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "state/event_log.h"
#include "state/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path file =
      std::filesystem::temp_directory_path() / "talmeris-settings-fuzz.cfg";
  if (size < 2) return 0;
  const std::uint16_t catalogue = static_cast<std::uint16_t>(data[0] | data[1] << 8);
  if (std::FILE* f = std::fopen(file.c_str(), "wb")) {
    std::fwrite(data + 2, 1, size - 2, f);
    std::fclose(f);
  }
  talmeris::EventLog log;
  const talmeris::Settings first = talmeris::LoadSettings(file, catalogue, &log);
  if (std::filesystem::file_size(file) < talmeris::kSettingsFileSize) std::abort();
  const talmeris::Settings again = talmeris::LoadSettings(file, catalogue, &log);
  if (!(first == again)) std::abort();
  return 0;
}
