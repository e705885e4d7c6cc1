#include "voice/voice_engine.h"

#include <opus/opus.h>
#include <pthread.h>
#include <speex/speex_preprocess.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "state/files.h"
#include "voice/detector.h"
#include "voice/voice_wire.h"

namespace talmeris::voice {
namespace {

constexpr int kPreRollFrames = 3;            // sent ahead of the frame that opened voice activation
constexpr std::size_t kMaxTalkers = 32;      // remote talkers heard at once
constexpr int kReceiveRing = 128;            // frames waiting for the voice thread
constexpr std::int64_t kForgetFrames = 500;  // a talker silent for 10 s frees its decoder
constexpr auto kCaptureWait = std::chrono::milliseconds(100);
// The preprocessor delays what it hands on by one of its frames: 10 ms, not the codec's 20.
constexpr int kPreprocessSamples = 480;

float Clamp(float v, float lo, float hi) {
  return std::min(hi, std::max(lo, v));
}

// The encoding half: preprocessor (noise suppression, automatic record volume) and encoder.
struct Encoder {
  OpusEncoder* opus = nullptr;
  SpeexPreprocessState* preprocess = nullptr;
  int agc = -1;  // the automatic record volume as last set

  explicit Encoder(const VoiceOptions& options) {
    int error = 0;
    opus = opus_encoder_create(kSampleRate, 1, OPUS_APPLICATION_VOIP, &error);
    preprocess = speex_preprocess_state_init(kPreprocessSamples, kSampleRate);
    if (!opus || !preprocess) std::abort();  // out of memory
    opus_encoder_ctl(opus, OPUS_SET_BITRATE(options.opus_bitrate));
    opus_encoder_ctl(opus, OPUS_SET_COMPLEXITY(options.opus_complexity));
    opus_encoder_ctl(opus, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
    int on = 1;
    speex_preprocess_ctl(preprocess, SPEEX_PREPROCESS_SET_DENOISE, &on);
    // The automatic record volume brings speech to about -18 dB below full scale.
    float level = 30000.0f;
    speex_preprocess_ctl(preprocess, SPEEX_PREPROCESS_SET_AGC_LEVEL, &level);
  }
  ~Encoder() {
    opus_encoder_destroy(opus);
    speex_preprocess_state_destroy(preprocess);
  }
  void SetAutoVolume(bool on) {
    int value = on ? 1 : 0;
    if (value == agc) return;
    agc = value;
    speex_preprocess_ctl(preprocess, SPEEX_PREPROCESS_SET_AGC, &value);
  }
  void Preprocess(std::int16_t* frame) {
    for (int at = 0; at < kFrameSamples; at += kPreprocessSamples)
      speex_preprocess_run(preprocess, frame + at);
  }
  // A spurt starts from a fresh encoder state: the frames between spurts were never encoded.
  void Restart() { opus_encoder_ctl(opus, OPUS_RESET_STATE); }
  std::uint32_t Encode(const std::int16_t* frame, std::uint8_t* out) {
    const opus_int32 n = opus_encode(opus, frame, kFrameSamples, out, kMaxOpusBytes);
    return n > 0 ? static_cast<std::uint32_t>(n) : 0;
  }
};

void MixInto(std::int16_t* mix, const std::int16_t* voice) {
  for (int i = 0; i < kFrameSamples; ++i) {
    const int sum = mix[i] + voice[i];
    mix[i] = static_cast<std::int16_t>(std::clamp(sum, -32768, 32767));
  }
}

class OpusVoiceClient final : public VoiceClient {
 public:
  explicit OpusVoiceClient(OpusVoiceSystem& system) : system_(system) {}
  ~OpusVoiceClient() override { Stop(); }

  net::HRESULT Initialize(net::Client* session, VoiceHandler handler, void* context) override {
    if (session_) return DVERR_ALREADYINITIALIZED;
    if (!session) return DVERR_INVALIDPARAM;
    session_ = session;
    handler_ = handler;
    context_ = context;
    session_->SetVoiceSink({this, &OpusVoiceClient::Receive, &OpusVoiceClient::Ended});
    return DV_OK;
  }

  net::HRESULT Connect(const SoundDeviceConfig&, const ClientConfig& config,
                       std::uint32_t) override {
    if (!session_) return DVERR_NOTINITIALIZED;
    {
      std::lock_guard lock(mutex_);
      if (connected_) return DVERR_CONNECTED;
    }
    Stop();  // a thread that ended with its session
    AudioSetup setup;
    LoadAudioSetup(system_.setup_file(), &setup);
    auto device = system_.audio().Open(setup.capture_device, setup.playback_device);
    if (!device) return DVERR_SOUNDINITFAILURE;
    // Nobody hears this client yet; the server's answer also proves the session carries voice.
    std::uint8_t none[2];
    session_lost_.store(false);
    if (net::Failed(session_->SendVoice(none, EncodeTargets(none, nullptr, 0), true)))
      return DVERR_NOVOICESESSION;
    {
      std::lock_guard lock(mutex_);
      config_ = config;
      target_count_ = 0;
      connected_ = true;
    }
    {
      std::lock_guard lock(rx_mutex_);
      rx_count_ = 0;
    }
    stop_.store(false);
    thread_ = std::thread(&OpusVoiceClient::Run, this, std::move(device), setup);
    return DV_OK;
  }

  net::HRESULT Disconnect(std::uint32_t) override {
    bool was;
    {
      std::lock_guard lock(mutex_);
      was = connected_;
      connected_ = false;
    }
    Stop();
    return was ? DV_OK : DVERR_NOTCONNECTED;
  }

  net::HRESULT SetTransmitTargets(const net::DPNID* targets, std::uint32_t count,
                                  std::uint32_t) override {
    if (count > kMaxTargets || (count > 0 && !targets)) return DVERR_INVALIDPARAM;
    {
      std::lock_guard lock(mutex_);
      if (!connected_) return DVERR_NOTCONNECTED;
      if (count == target_count_ && std::equal(targets, targets + count, targets_.begin()))
        return DV_OK;
      std::copy(targets, targets + count, targets_.begin());
      target_count_ = count;
    }
    std::uint8_t message[2 + 4 * kMaxTargets];
    session_->SendVoice(message, EncodeTargets(message, targets, count), true);
    return DV_OK;
  }

  net::HRESULT SetClientConfig(const ClientConfig& config) override {
    std::lock_guard lock(mutex_);
    if (!connected_) return DVERR_NOTCONNECTED;
    config_ = config;
    return DV_OK;
  }

 private:
  struct Received {
    net::DPNID talker;
    std::uint16_t sequence;
    std::uint16_t size;
    std::uint8_t opus[kMaxOpusBytes];
  };
  struct TalkerSlot {
    net::DPNID id = 0;
    std::unique_ptr<Talker> talker;
    bool announced = false;
  };

  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }

  // The transport's service thread: a talker's frame is queued for the voice thread.
  static void Receive(void* self_ptr, net::DPNID, const std::uint8_t* data, std::uint32_t size) {
    auto* self = static_cast<OpusVoiceClient*>(self_ptr);
    DecodedFrame frame;
    if (!DecodeFrame(data, size, &frame) || data[0] != kTalkerFrame) return;
    std::lock_guard lock(self->rx_mutex_);
    if (self->rx_count_ == kReceiveRing) return;  // the voice thread is not keeping up
    Received& r = self->rx_[(self->rx_head_ + self->rx_count_) % kReceiveRing];
    r.talker = frame.talker;
    r.sequence = frame.sequence;
    r.size = static_cast<std::uint16_t>(frame.opus_size);
    std::copy(frame.opus, frame.opus + frame.opus_size, r.opus);
    ++self->rx_count_;
  }
  static void Ended(void* self_ptr) {
    static_cast<OpusVoiceClient*>(self_ptr)->session_lost_.store(true);
  }

  void Tell(VoiceMessage message, net::DPNID talker = 0) {
    if (handler_) handler_(context_, message, talker);
  }

  TalkerSlot* FindTalker(net::DPNID id) {
    TalkerSlot* free_slot = nullptr;
    for (auto& t : talkers_) {
      if (t.talker && t.id == id) return &t;
      if (!t.talker && !free_slot) free_slot = &t;
    }
    if (!free_slot) return nullptr;  // more talkers at once than are heard
    free_slot->id = id;
    free_slot->talker = std::make_unique<Talker>();
    free_slot->announced = false;
    return free_slot;
  }

  void SendFrame(std::uint16_t sequence, const std::uint8_t* opus, std::uint32_t size) {
    std::uint8_t datagram[kFrameHeader + kMaxOpusBytes];
    const std::uint32_t n = EncodeFrame(datagram, kFrame, 0, sequence, 0, opus, size);
    session_->SendVoice(datagram, n, false);
  }

  void Run(std::unique_ptr<AudioDevice> device, AudioSetup setup) {
    pthread_setname_np(pthread_self(), system_.options().thread_name.substr(0, 15).c_str());
    Encoder encoder(system_.options());
    VoiceDetector detector(setup.open_db, setup.close_db);
    std::array<std::int16_t, kFrameSamples> frame{}, mix{}, voice{};
    // The frames before the current one, kept as preprocessed samples and encoded only when
    // voice activation opens on them: an idle client encodes nothing.
    struct PreRoll {
      std::uint16_t sequence = 0;
      bool kept = false;  // false: no samples kept at that time (no targets)
      std::array<std::int16_t, kFrameSamples> samples{};
    };
    std::array<PreRoll, kPreRollFrames> preroll{};
    std::uint8_t opus[kMaxOpusBytes];
    // A new engagement starts clean: its frame clock starts at 0, so talkers of an earlier one
    // (still "talking" by their old clock) would light RX and play silence.
    for (auto& t : talkers_) t = TalkerSlot{};
    std::array<Received, kReceiveRing> arrived;
    bool sending = false;
    std::int64_t frame_number = 0;
    std::uint16_t sequence = 0;
    while (!stop_.load()) {
      if (session_lost_.load()) {
        {
          std::lock_guard lock(mutex_);
          connected_ = false;
        }
        Tell(VoiceMessage::SessionLost);
        return;
      }
      if (!device->ReadCapture(frame.data(), kCaptureWait)) continue;
      ++frame_number;
      ++sequence;
      std::uint32_t flags, targets;
      {
        std::lock_guard lock(mutex_);
        flags = config_.flags;
        targets = target_count_;
      }

      // Sending: this frame, and when voice activation just opened, the ones before it.
      encoder.SetAutoVolume(flags & DVCLIENTCONFIG_AUTORECORDVOLUME);
      const bool open = detector.Update(FrameLevelDb(frame.data(), kFrameSamples));
      const bool want = targets > 0 && (!(flags & DVCLIENTCONFIG_AUTOVOICEACTIVATED) || open);
      PreRoll& now = preroll[sequence % kPreRollFrames];
      now.kept = false;
      if (targets > 0) {
        encoder.Preprocess(frame.data());
        now.sequence = sequence;
        now.samples = frame;
        now.kept = true;
      }
      if (want && !sending) {
        Tell(VoiceMessage::RecordStart);
        encoder.Restart();
        for (int back = kPreRollFrames - 1; back >= 1; --back) {
          const PreRoll& p = preroll[static_cast<std::uint16_t>(sequence - back) % kPreRollFrames];
          if (!p.kept || p.sequence != static_cast<std::uint16_t>(sequence - back)) continue;
          if (const std::uint32_t size = encoder.Encode(p.samples.data(), opus))
            SendFrame(p.sequence, opus, size);
        }
      } else if (!want && sending) {
        Tell(VoiceMessage::RecordStop);
      }
      if (want && now.kept) {
        if (const std::uint32_t size = encoder.Encode(now.samples.data(), opus))
          SendFrame(sequence, opus, size);
      }
      sending = want;

      // Playing: what arrived goes to its talker's buffer; each talker gives 20 ms; the mix
      // is played.
      int count;
      {
        std::lock_guard lock(rx_mutex_);
        count = rx_count_;
        for (int i = 0; i < count; ++i) arrived[i] = rx_[(rx_head_ + i) % kReceiveRing];
        rx_head_ = (rx_head_ + count) % kReceiveRing;
        rx_count_ = 0;
      }
      for (int i = 0; i < count; ++i) {
        if (TalkerSlot* t = FindTalker(arrived[i].talker))
          t->talker->Put(arrived[i].sequence, arrived[i].opus, arrived[i].size, frame_number);
      }
      const bool muted = flags & DVCLIENTCONFIG_PLAYBACKMUTE;
      mix.fill(0);
      for (auto& t : talkers_) {
        if (!t.talker) continue;
        if (t.talker->Next(voice.data(), frame_number)) MixInto(mix.data(), voice.data());
        const bool talking = t.talker->Talking(frame_number);
        if (talking && !t.announced) {
          t.announced = true;
          if (!muted) Tell(VoiceMessage::PlayerVoiceStart, t.id);
        } else if (!talking && t.announced) {
          t.announced = false;
          if (!muted) Tell(VoiceMessage::PlayerVoiceStop, t.id);
        }
        if (!talking && frame_number - t.talker->last_arrival() > kForgetFrames) t.talker.reset();
      }
      if (muted) mix.fill(0);
      device->WritePlayback(mix.data());
    }
  }

  OpusVoiceSystem& system_;
  net::Client* session_ = nullptr;
  VoiceHandler handler_ = nullptr;
  void* context_ = nullptr;

  std::mutex mutex_;  // innermost: the fields below
  bool connected_ = false;
  ClientConfig config_;
  std::array<net::DPNID, kMaxTargets> targets_{};
  std::uint32_t target_count_ = 0;

  std::mutex rx_mutex_;  // innermost: the receive ring
  std::array<Received, kReceiveRing> rx_;
  int rx_head_ = 0, rx_count_ = 0;

  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> session_lost_{false};
  std::array<TalkerSlot, kMaxTalkers> talkers_;  // the voice thread only
};

class OpusVoiceTest final : public VoiceTest {
 public:
  explicit OpusVoiceTest(OpusVoiceSystem& system) : system_(system) {}
  net::HRESULT CheckAudioSetup(WindowId owner, std::uint32_t flags) override {
    if (flags & DVFLAGS_ALLOWBACK) {
      if (!system_.windows()) return DVERR_GENERIC;
      return system_.windows()->RunModalDialog(owner, kAudioSetupDialog) == 1 ? DV_OK
                                                                              : DVERR_USERCANCEL;
    }
    AudioSetup setup;
    return LoadAudioSetup(system_.setup_file(), &setup) ? DV_OK : DVERR_RUNSETUP;
  }

 private:
  OpusVoiceSystem& system_;
};

}  // namespace

// The setup dialog's monitor: the microphone's level, and the voice heard back through the
// codec when asked.
struct OpusVoiceSystem::Monitor {
  std::thread thread;
  std::atomic<bool> stop{false};
  std::atomic<float> level{-96.0f};
  std::atomic<bool> open{false};

  void Run(std::unique_ptr<AudioDevice> device, AudioSetup setup, bool hear_back,
           VoiceOptions options) {
    Encoder encoder(options);
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(kSampleRate, 1, &error);
    VoiceDetector detector(setup.open_db, setup.close_db);
    std::array<std::int16_t, kFrameSamples> frame{};
    std::array<std::uint8_t, kMaxOpusBytes> packet{};
    std::array<float, 5> recent;
    recent.fill(-96.0f);
    int n = 0;
    while (!stop.load()) {
      if (!device->ReadCapture(frame.data(), kCaptureWait)) continue;
      const float db = FrameLevelDb(frame.data(), kFrameSamples);
      recent[n++ % recent.size()] = db;
      level.store(*std::max_element(recent.begin(), recent.end()));
      open.store(detector.Update(db));
      if (hear_back && decoder) {
        encoder.Preprocess(frame.data());
        const std::uint32_t size = encoder.Encode(frame.data(), packet.data());
        if (size == 0 || opus_decode(decoder, packet.data(), static_cast<opus_int32>(size),
                                     frame.data(), kFrameSamples, 0) <= 0)
          frame.fill(0);
      } else {
        frame.fill(0);
      }
      device->WritePlayback(frame.data());
    }
    if (decoder) opus_decoder_destroy(decoder);
  }
};

OpusVoiceSystem::OpusVoiceSystem(AudioBackend& audio, std::filesystem::path setup_file,
                                 WindowPort* windows, VoiceOptions options)
    : audio_(audio), setup_file_(std::move(setup_file)), windows_(windows), options_(options) {}

OpusVoiceSystem::~OpusVoiceSystem() {
  StopMonitor();
}

net::HRESULT OpusVoiceSystem::CreateVoiceClient(std::unique_ptr<VoiceClient>* client) {
  *client = std::make_unique<OpusVoiceClient>(*this);
  return DV_OK;
}

net::HRESULT OpusVoiceSystem::CreateVoiceTest(std::unique_ptr<VoiceTest>* test) {
  *test = std::make_unique<OpusVoiceTest>(*this);
  return DV_OK;
}

std::vector<std::string> OpusVoiceSystem::CaptureDevices() {
  return audio_.CaptureDevices();
}
std::vector<std::string> OpusVoiceSystem::PlaybackDevices() {
  return audio_.PlaybackDevices();
}

AudioSetup OpusVoiceSystem::CurrentSetup() {
  AudioSetup setup;
  LoadAudioSetup(setup_file_, &setup);
  return setup;
}

bool OpusVoiceSystem::StartMonitor(const AudioSetup& setup, bool hear_back) {
  StopMonitor();
  auto device = audio_.Open(setup.capture_device, setup.playback_device);
  if (!device) return false;
  monitor_ = std::make_unique<Monitor>();
  monitor_->thread =
      std::thread(&Monitor::Run, monitor_.get(), std::move(device), setup, hear_back, options_);
  return true;
}

float OpusVoiceSystem::MonitorLevel(bool* open) {
  if (!monitor_) {
    if (open) *open = false;
    return -96.0f;
  }
  if (open) *open = monitor_->open.load();
  return monitor_->level.load();
}

void OpusVoiceSystem::StopMonitor() {
  if (!monitor_) return;
  monitor_->stop.store(true);
  if (monitor_->thread.joinable()) monitor_->thread.join();
  monitor_.reset();
}

bool OpusVoiceSystem::SaveSetup(const AudioSetup& setup) {
  return SaveAudioSetup(setup_file_, setup);
}

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
  bool ok =
      std::fprintf(f,
                   "# Talmeris audio setup\ncapture=%s\nplayback=%s\nopen_db=%.1f\n"
                   "close_db=%.1f\n",
                   setup.capture_device.c_str(), setup.playback_device.c_str(),
                   static_cast<double>(setup.open_db), static_cast<double>(setup.close_db)) > 0;
  ok = std::fclose(f) == 0 && ok;
  if (ok) std::filesystem::rename(temporary, file, ec);
  if (!ok || ec) std::filesystem::remove(temporary, ec);
  return ok && !ec;
}

}  // namespace talmeris::voice
