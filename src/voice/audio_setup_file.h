// The audio setup record, voice.conf: "name=value" lines; missing or unreadable means never
// run. Only the first kAudioSetupMaxLines lines of the first kAudioSetupMaxBytes bytes count.
// Plain functions; the file is written whole under a temporary name, then renamed.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

#include "state/voice_port.h"

namespace talmeris::voice {

constexpr int kAudioSetupMaxLines = 64;
constexpr std::size_t kAudioSetupMaxBytes = 16384;
bool ParseAudioSetup(std::string_view text, AudioSetup* setup);
bool LoadAudioSetup(const std::filesystem::path& file, AudioSetup* setup);
bool SaveAudioSetup(const std::filesystem::path& file, const AudioSetup& setup);

}  // namespace talmeris::voice
