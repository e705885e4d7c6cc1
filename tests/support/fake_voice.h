// A voice client and voice system that record what the client asks of them.
#pragma once

#include <string>
#include <vector>

#include "state/voice_port.h"

namespace talmeris::test {

struct FakeVoiceClient final : voice::VoiceClient {
  net::HRESULT Initialize(net::Client*, voice::VoiceHandler, void*) override { return 0; }
  net::HRESULT Connect(const voice::SoundDeviceConfig& s, const voice::ClientConfig& c,
                       std::uint32_t flags) override {
    connects.push_back({s, c, flags});
    return connect_result;
  }
  net::HRESULT Disconnect(std::uint32_t flags) override {
    disconnects.push_back(flags);
    return 0;
  }
  net::HRESULT SetTransmitTargets(const net::DPNID* ids, std::uint32_t count,
                                  std::uint32_t) override {
    targets.emplace_back(ids, ids + count);
    return 0;
  }
  net::HRESULT SetClientConfig(const voice::ClientConfig& c) override {
    configs.push_back(c);
    return 0;
  }
  struct ConnectCall {
    voice::SoundDeviceConfig sound;
    voice::ClientConfig config;
    std::uint32_t flags;
  };
  net::HRESULT connect_result = 0;
  std::vector<ConnectCall> connects;
  std::vector<std::uint32_t> disconnects;
  std::vector<std::vector<net::DPNID>> targets;
  std::vector<voice::ClientConfig> configs;
};

// The audio setup check answers as scripted; counts its calls by flags.
struct FakeVoiceSystem final : voice::VoiceSystem {
  struct Test final : voice::VoiceTest {
    explicit Test(FakeVoiceSystem& s) : system(s) {}
    net::HRESULT CheckAudioSetup(WindowId, std::uint32_t flags) override {
      system.checks.push_back(flags);
      return system.setup_ran ? 0 : voice::DVERR_RUNSETUP;
    }
    FakeVoiceSystem& system;
  };
  net::HRESULT CreateVoiceClient(std::unique_ptr<voice::VoiceClient>* c) override {
    *c = std::make_unique<FakeVoiceClient>();
    return 0;
  }
  net::HRESULT CreateVoiceTest(std::unique_ptr<voice::VoiceTest>* t) override {
    if (!test_available) return voice::DVERR_GENERIC;
    *t = std::make_unique<Test>(*this);
    return 0;
  }
  bool setup_ran = true;
  bool test_available = true;
  std::vector<std::uint32_t> checks;
};

}  // namespace talmeris::test
