#include "voice/voice_engine.h"

#include <opus/opus.h>
#include <pthread.h>
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#include <speex/speex_resampler.h>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

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

constexpr int kPreRollFrames = 5;  // the frame that opened voice activation and the 4 before it
constexpr std::size_t kMaxTalkers = 32;       // remote talkers heard at once
constexpr int kReceiveRing = 256;             // frames waiting for the voice thread
constexpr std::int64_t kForgetFrames = 1000;  // a talker silent for 10 s frees its decoder
constexpr auto kCaptureWait = std::chrono::milliseconds(100);
// What is sent is coded from 16 kHz (wideband speech): the microphone is brought down to it
// first, so echo cancellation, noise suppression and the encoder handle a third of the samples.
constexpr int kCodecRate = 16000;
constexpr int kCodecSamples = kFrameSamples * kCodecRate / kSampleRate;  // 160
// The preprocessor and the echo canceller work in 5 ms steps; the preprocessor delays what it
// hands on by one of them.
constexpr int kStepSamples = 80;
constexpr int kEchoTailSamples = kCodecRate / 5;  // an echo up to 200 ms after it was played
// The echo canceller runs while anything was played in the last 250 ms (more than its tail).
constexpr int kReferenceLiveFrames = 25;
// Below this level (a quiet room, or no microphone) a frame that is not sent skips the
// preprocessor.
constexpr float kPreprocessFloorDb = -70.0f;

// Silence decays the filters' state towards denormal numbers, which the processor handles a
// hundred times slower: the voice threads flush them to zero.
void FlushDenormals() {
#if defined(__SSE__)
  _mm_setcsr(_mm_getcsr() | 0x8040);  // flush to zero, denormals are zero
#endif
}

float Clamp(float v, float lo, float hi) {
  return std::min(hi, std::max(lo, v));
}

// 48 kHz frames down to 16 kHz ones.
struct Downsampler {
  SpeexResamplerState* state = nullptr;
  Downsampler() {
    int error = 0;
    state = speex_resampler_init(1, kSampleRate, kCodecRate, 3, &error);
    if (!state) std::abort();  // out of memory
    speex_resampler_skip_zeros(state);
  }
  ~Downsampler() { speex_resampler_destroy(state); }
  Downsampler(const Downsampler&) = delete;
  Downsampler& operator=(const Downsampler&) = delete;
  void Run(const std::int16_t* in, std::int16_t* out) {
    spx_uint32_t in_count = kFrameSamples, out_count = kCodecSamples;
    speex_resampler_process_int(state, 0, in, &in_count, out, &out_count);
    std::fill(out + out_count, out + kCodecSamples, std::int16_t{0});
  }
};

// The encoding half: the microphone at 16 kHz, echo cancellation against what is played,
// preprocessor (noise suppression, automatic record volume) and encoder.
struct Encoder {
  OpusEncoder* opus = nullptr;
  SpeexPreprocessState* preprocess = nullptr;
  SpeexEchoState* echo = nullptr;  // null: echo cancellation is off
  Downsampler mic, reference;
  int reference_quiet = kReferenceLiveFrames;  // frames since anything was played
  int agc = -1;                                // the automatic record volume as last set

  Encoder(const VoiceOptions& options, bool echo_cancellation) {
    int error = 0;
    opus = opus_encoder_create(kCodecRate, 1, OPUS_APPLICATION_VOIP, &error);
    preprocess = speex_preprocess_state_init(kStepSamples, kCodecRate);
    if (echo_cancellation) echo = speex_echo_state_init(kStepSamples, kEchoTailSamples);
    if (!opus || !preprocess || (echo_cancellation && !echo)) std::abort();  // out of memory
    opus_encoder_ctl(opus, OPUS_SET_BITRATE(options.opus_bitrate));
    opus_encoder_ctl(opus, OPUS_SET_COMPLEXITY(options.opus_complexity));
    opus_encoder_ctl(opus, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
    int on = 1;
    speex_preprocess_ctl(preprocess, SPEEX_PREPROCESS_SET_DENOISE, &on);
    // The automatic record volume brings speech to about -18 dB below full scale.
    float level = 30000.0f;
    speex_preprocess_ctl(preprocess, SPEEX_PREPROCESS_SET_AGC_LEVEL, &level);
    if (echo) {
      int rate = kCodecRate;
      speex_echo_ctl(echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
      // What the canceller leaves of the echo is suppressed with the noise.
      speex_preprocess_ctl(preprocess, SPEEX_PREPROCESS_SET_ECHO_STATE, echo);
    }
  }
  ~Encoder() {
    opus_encoder_destroy(opus);
    speex_preprocess_state_destroy(preprocess);
    if (echo) speex_echo_state_destroy(echo);
  }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;
  // `frames` were lost (the thread was so late that the device's ring overwrote them). The
  // microphone and the reference lost them together, so the echo's delay behind the reference
  // still holds and what the canceller learned stays good; it only has to see the gap as time
  // that passed, or it would line the echo up against reference samples from before it. So it
  // is given silence on both sides for the gap, up to its tail (beyond that its history is
  // silence either way). Frames the thread was merely late for never come here: they reach
  // the canceller as they were (see Run).
  void Lost(int frames) {
    if (!echo || reference_quiet >= kReferenceLiveFrames) return;
    static constexpr std::array<std::int16_t, kStepSamples> kSilence{};
    std::array<std::int16_t, kStepSamples> discard;
    const int steps =
        std::min(frames * (kCodecSamples / kStepSamples), kEchoTailSamples / kStepSamples);
    for (int i = 0; i < steps; ++i)
      speex_echo_cancellation(echo, kSilence.data(), kSilence.data(), discard.data());
  }
  void SetAutoVolume(bool on) {
    int value = on ? 1 : 0;
    if (value == agc) return;
    agc = value;
    speex_preprocess_ctl(preprocess, SPEEX_PREPROCESS_SET_AGC, &value);
  }
  // A 48 kHz microphone frame to 16 kHz, less the echo of `played` (what the device played as
  // it was captured, or null).
  void Condition(const std::int16_t* frame, const std::int16_t* played, std::int16_t* out) {
    std::array<std::int16_t, kCodecSamples> mic_16{}, played_16{};
    mic.Run(frame, mic_16.data());
    const bool live = played && FrameLevelDb(played, kFrameSamples) > -96.0f;
    reference_quiet = live ? 0 : std::min(reference_quiet + 1, kReferenceLiveFrames);
    if (!echo || reference_quiet >= kReferenceLiveFrames) {
      std::copy(mic_16.begin(), mic_16.end(), out);
      return;  // nothing played lately: there is no echo to take out
    }
    reference.Run(played, played_16.data());
    for (int at = 0; at < kCodecSamples; at += kStepSamples)
      speex_echo_cancellation(echo, mic_16.data() + at, played_16.data() + at, out + at);
  }
  void Preprocess(std::int16_t* frame) {
    for (int at = 0; at < kCodecSamples; at += kStepSamples)
      speex_preprocess_run(preprocess, frame + at);
  }
  // A spurt starts from a fresh encoder state: the frames between spurts were never encoded.
  void Restart() { opus_encoder_ctl(opus, OPUS_RESET_STATE); }
  std::uint32_t Encode(const std::int16_t* frame, std::uint8_t* out) {
    const opus_int32 n = opus_encode(opus, frame, kCodecSamples, out, kMaxOpusBytes);
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
    FlushDenormals();
    Encoder encoder(system_.options(), setup.echo_cancellation);
    VoiceDetector detector(setup.open_db, setup.close_db);
    std::array<std::int16_t, kFrameSamples> frame{}, played{}, mix{}, voice{};
    std::array<std::int16_t, kCodecSamples> conditioned{};
    // The frames before the current one, kept and encoded only when voice activation opens on
    // them: an idle client encodes nothing. A frame too quiet to matter is preprocessed only
    // if it is sent, so an idle client in a quiet room does next to nothing.
    struct PreRoll {
      std::uint16_t sequence = 0;
      bool kept = false;  // false: no samples kept at that time (no targets)
      bool preprocessed = false;
      std::array<std::int16_t, kCodecSamples> samples{};
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
      bool late = false;
      const int elapsed = device->ReadCapture(frame.data(), played.data(), kCaptureWait, &late);
      if (elapsed == 0) continue;
      // What arrived goes to its talker's buffer. Frames the thread was too late for are time
      // that passed: the clock and the talkers move on by them, so a stall leaves no delay
      // behind.
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
      if (elapsed > 1) encoder.Lost(elapsed - 1);
      for (int skipped = 1; skipped < elapsed; ++skipped) {
        ++frame_number;
        for (auto& t : talkers_)
          if (t.talker) t.talker->Next(voice.data(), frame_number);
      }
      frame_number += 1;
      sequence = static_cast<std::uint16_t>(sequence + elapsed);
      std::uint32_t flags, targets;
      {
        std::lock_guard lock(mutex_);
        flags = config_.flags;
        targets = target_count_;
      }

      // Sending: this frame, and when voice activation just opened, the ones before it.
      PreRoll& now = preroll[sequence % kPreRollFrames];
      now.kept = false;
      if (late) {
        // Too old to send or to play after (the device holds newer ones): the talkers move on
        // by it, and the echo canceller still sees it, so that what it learned holds.
        if (targets > 0) encoder.Condition(frame.data(), played.data(), conditioned.data());
        for (auto& t : talkers_)
          if (t.talker) t.talker->Next(voice.data(), frame_number);
        continue;
      }
      bool open = false;
      float level = -96.0f;
      if (targets > 0) {
        encoder.SetAutoVolume(flags & DVCLIENTCONFIG_AUTORECORDVOLUME);
        encoder.Condition(frame.data(), played.data(), conditioned.data());
        level = FrameLevelDb(conditioned.data(), kCodecSamples);
        open = detector.Update(level);
        now.sequence = sequence;
        now.samples = conditioned;
        now.kept = true;
        now.preprocessed = false;
      }
      const bool want = targets > 0 && (!(flags & DVCLIENTCONFIG_AUTOVOICEACTIVATED) || open);
      if (now.kept && (want || level > kPreprocessFloorDb)) {
        encoder.Preprocess(now.samples.data());
        now.preprocessed = true;
      }
      if (want && !sending) {
        Tell(VoiceMessage::RecordStart);
        encoder.Restart();
        for (int back = kPreRollFrames - 1; back >= 1; --back) {
          PreRoll& p = preroll[static_cast<std::uint16_t>(sequence - back) % kPreRollFrames];
          if (!p.kept || p.sequence != static_cast<std::uint16_t>(sequence - back)) continue;
          if (!p.preprocessed) encoder.Preprocess(p.samples.data());
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

      // Playing: each talker gives 10 ms; the mix is played.
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
    FlushDenormals();
    Encoder encoder(options, /*echo_cancellation=*/false);
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(kSampleRate, 1, &error);
    VoiceDetector detector(setup.open_db, setup.close_db);
    std::array<std::int16_t, kFrameSamples> frame{};
    std::array<std::int16_t, kCodecSamples> conditioned{};
    std::array<std::uint8_t, kMaxOpusBytes> packet{};
    std::array<float, 10> recent;
    recent.fill(-96.0f);
    int n = 0;
    while (!stop.load()) {
      if (device->ReadCapture(frame.data(), nullptr, kCaptureWait, nullptr) == 0) continue;
      const float db = FrameLevelDb(frame.data(), kFrameSamples);
      recent[n++ % recent.size()] = db;
      level.store(*std::max_element(recent.begin(), recent.end()));
      open.store(detector.Update(db));
      if (hear_back && decoder) {
        encoder.Condition(frame.data(), nullptr, conditioned.data());
        encoder.Preprocess(conditioned.data());
        const std::uint32_t size = encoder.Encode(conditioned.data(), packet.data());
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
