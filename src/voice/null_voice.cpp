#include "state/voice_port.h"

namespace talmeris::voice {
namespace {
class NullVoiceClient final : public VoiceClient {
 public:
  net::HRESULT Initialize(net::Client*, VoiceHandler, void*) override { return DV_OK; }
  net::HRESULT Connect(const SoundDeviceConfig&, const ClientConfig&, std::uint32_t) override {
    return DV_OK;
  }
  net::HRESULT Disconnect(std::uint32_t) override { return DV_OK; }
  net::HRESULT SetTransmitTargets(const net::DPNID*, std::uint32_t, std::uint32_t) override {
    return DV_OK;
  }
  net::HRESULT SetClientConfig(const ClientConfig&) override { return DV_OK; }
};
class NullVoiceTest final : public VoiceTest {
 public:
  net::HRESULT CheckAudioSetup(WindowId, std::uint32_t) override { return DV_OK; }
};
}  // namespace

net::HRESULT NullVoiceSystem::CreateVoiceClient(std::unique_ptr<VoiceClient>* client) {
  *client = std::make_unique<NullVoiceClient>();
  return DV_OK;
}

net::HRESULT NullVoiceSystem::CreateVoiceTest(std::unique_ptr<VoiceTest>* test) {
  *test = std::make_unique<NullVoiceTest>();
  return DV_OK;
}

}  // namespace talmeris::voice
