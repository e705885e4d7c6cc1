// The voice client port. Voice travels over the server session; the voice issue gives it its
// Opus/PortAudio implementation. Until then a stand-in that succeeds keeps the start-up order.
#pragma once

#include <cstdint>
#include <memory>

#include "net/transport.h"

namespace talmeris::voice {

constexpr std::uint32_t DVFLAGS_SYNC = 1;

class VoiceClient {
 public:
  virtual ~VoiceClient() = default;
  virtual net::HRESULT Initialize(net::Client* session, void* context) = 0;
  virtual net::HRESULT Disconnect(std::uint32_t flags) = 0;
};

class VoiceSystem {
 public:
  virtual ~VoiceSystem() = default;
  virtual net::HRESULT CreateVoiceClient(std::unique_ptr<VoiceClient>* client) = 0;
};

// The stand-in: creation and every call succeed and do nothing.
class NullVoiceSystem final : public VoiceSystem {
 public:
  net::HRESULT CreateVoiceClient(std::unique_ptr<VoiceClient>* client) override;
};

}  // namespace talmeris::voice
