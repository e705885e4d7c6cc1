#include "state/voice_port.h"

namespace talmeris::voice {
namespace {
class NullVoiceClient final : public VoiceClient {
 public:
  net::HRESULT Initialize(net::Client*, void*) override { return net::DPN_OK; }
  net::HRESULT Disconnect(std::uint32_t) override { return net::DPN_OK; }
};
}  // namespace

net::HRESULT NullVoiceSystem::CreateVoiceClient(std::unique_ptr<VoiceClient>* client) {
  *client = std::make_unique<NullVoiceClient>();
  return net::DPN_OK;
}

}  // namespace talmeris::voice
