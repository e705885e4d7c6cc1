// The voice port: the voice client that carries voice chat over the server session, the audio
// setup check, and what the audio setup dialog needs of the voice layer. The Opus/PortAudio
// implementation lives in src/voice; tests use fakes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/transport.h"
#include "state/window_port.h"

namespace talmeris::voice {

// Flags of Connect, Disconnect and CheckAudioSetup.
constexpr std::uint32_t DVFLAGS_SYNC = 0x01;
constexpr std::uint32_t DVFLAGS_QUERYONLY = 0x02;
constexpr std::uint32_t DVFLAGS_ALLOWBACK = 0x10;

// Client configuration flags.
constexpr std::uint32_t DVCLIENTCONFIG_PLAYBACKMUTE = 0x02;
constexpr std::uint32_t DVCLIENTCONFIG_AUTORECORDVOLUME = 0x08;
constexpr std::uint32_t DVCLIENTCONFIG_AUTOVOICEACTIVATED = 0x20;
constexpr std::uint32_t DVTHRESHOLD_UNUSED = 0xFFFFFFFE;
constexpr std::uint32_t DVSOUNDCONFIG_NOFOCUS = 0x08;

// Result codes.
constexpr net::HRESULT DV_OK = 0;
constexpr net::HRESULT DVERR_GENERIC = net::MakeError(0x80004005);
constexpr net::HRESULT DVERR_INVALIDPARAM = net::MakeError(0x80070057);
constexpr net::HRESULT DVERR_ALREADYINITIALIZED = net::MakeError(0x8015000A);
constexpr net::HRESULT DVERR_NOTINITIALIZED = net::MakeError(0x80150046);
constexpr net::HRESULT DVERR_NOTCONNECTED = net::MakeError(0x8015004A);
constexpr net::HRESULT DVERR_CONNECTED = net::MakeError(0x8015014A);
constexpr net::HRESULT DVERR_NOVOICESESSION = net::MakeError(0x80150064);
constexpr net::HRESULT DVERR_SOUNDINITFAILURE = net::MakeError(0x8015016E);
constexpr net::HRESULT DVERR_RUNSETUP = net::MakeError(0x80150183);
constexpr net::HRESULT DVERR_USERCANCEL = net::MakeError(0x80150186);

constexpr std::uint32_t kMaxTargets = 64;  // transmit targets in one list

// What Connect is given; the values the client passes are those of the voice chat rules.
struct SoundDeviceConfig {
  std::uint32_t size = 80;
  std::uint32_t flags = DVSOUNDCONFIG_NOFOCUS;
  WindowId window = kNoWindow;
};

struct ClientConfig {
  std::uint32_t size = 32;
  std::uint32_t flags = 0;
  std::int32_t record_volume = 0;
  std::int32_t playback_volume = 0;
  std::uint32_t threshold = DVTHRESHOLD_UNUSED;
  std::uint32_t buffer_quality = 0;
  std::uint32_t buffer_aggressiveness = 0;
  std::uint32_t notify_period = 0;
};

// Messages to the voice message handler, on the voice layer's own thread.
enum class VoiceMessage : std::uint32_t {
  SessionLost = 1,
  PlayerVoiceStart,
  PlayerVoiceStop,
  RecordStart,
  RecordStop,
};
using VoiceHandler = net::HRESULT (*)(void* context, VoiceMessage message, net::DPNID talker);

class VoiceClient {
 public:
  virtual ~VoiceClient() = default;
  virtual net::HRESULT Initialize(net::Client* session, VoiceHandler handler, void* context) = 0;
  // Opens the sound devices and starts sending and playing; 0 on success.
  virtual net::HRESULT Connect(const SoundDeviceConfig& sound, const ClientConfig& config,
                               std::uint32_t flags) = 0;
  virtual net::HRESULT Disconnect(std::uint32_t flags) = 0;
  // The players who hear this client (0 = every player); none = nobody.
  virtual net::HRESULT SetTransmitTargets(const net::DPNID* targets, std::uint32_t count,
                                          std::uint32_t flags) = 0;
  virtual net::HRESULT SetClientConfig(const ClientConfig& config) = 0;
};

// The audio setup check. With DVFLAGS_QUERYONLY: DVERR_RUNSETUP until the setup has been run
// once on this machine. With DVFLAGS_ALLOWBACK: runs the audio setup dialog over `owner`.
class VoiceTest {
 public:
  virtual ~VoiceTest() = default;
  virtual net::HRESULT CheckAudioSetup(WindowId owner, std::uint32_t flags) = 0;
};

// The audio setup: the devices, the voice-activation thresholds, and a monitor that plays the
// microphone back and measures it while the setup dialog is open.
struct AudioSetup {
  std::string capture_device;     // empty = the default
  std::string playback_device;    // empty = the default
  float open_db = -36.0f;         // voice activation opens above this level (dBFS)
  float close_db = -44.0f;        // and stays open above this one
  bool echo_cancellation = true;  // off for a headset
};

class VoiceSystem {
 public:
  virtual ~VoiceSystem() = default;
  virtual net::HRESULT CreateVoiceClient(std::unique_ptr<VoiceClient>* client) = 0;
  virtual net::HRESULT CreateVoiceTest(std::unique_ptr<VoiceTest>* test) = 0;

  // For the audio setup dialog (main thread).
  virtual std::vector<std::string> CaptureDevices() { return {}; }
  virtual std::vector<std::string> PlaybackDevices() { return {}; }
  virtual AudioSetup CurrentSetup() { return {}; }
  // Starts (or restarts with new devices) the monitor; false when the devices cannot be opened.
  virtual bool StartMonitor(const AudioSetup&, bool /*hear_back*/) { return false; }
  // The level of the last 100 ms in dBFS, and whether voice activation would be open.
  virtual float MonitorLevel(bool* open) {
    if (open) *open = false;
    return -96.0f;
  }
  virtual void StopMonitor() {}
  // Records the setup as run; false when it cannot be written.
  virtual bool SaveSetup(const AudioSetup&) { return false; }
};

// The stand-in: creation and every call succeed and do nothing; the setup counts as run.
class NullVoiceSystem final : public VoiceSystem {
 public:
  net::HRESULT CreateVoiceClient(std::unique_ptr<VoiceClient>* client) override;
  net::HRESULT CreateVoiceTest(std::unique_ptr<VoiceTest>* test) override;
};

}  // namespace talmeris::voice
