// Creates the voice client that carries voice over the server session (see voice_client.cpp).
#pragma once

#include <memory>

#include "voice/voice_engine.h"

namespace talmeris::voice {

std::unique_ptr<VoiceClient> CreateOpusVoiceClient(OpusVoiceSystem& system);

}  // namespace talmeris::voice
