// The voice client: the voice thread that runs at the microphone's pace (capture, voice
// activation, sending), the talkers it hears and mixes, and the targets it names to the server.
// `mutex_` guards the connection, its configuration and its targets; `rx_mutex_` the frames
// that wait for the voice thread (each innermost, never held together); the talkers belong to
// the voice thread alone.
#include "voice/voice_client.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "voice/audio_setup_file.h"
#include "voice/detector.h"
#include "voice/talker.h"
#include "voice/voice_encoder.h"
#include "voice/voice_wire.h"

namespace talmeris::voice {
namespace {

constexpr int kPreRollFrames = 5;  // the frame that opened voice activation and the 4 before it
// Frames kept, in a ring by sequence number: a power of two, so that the ring stays in step
// through the sequence numbers' wrap, and more than the pre-roll, so that a frame leaves it
// only once it can no longer be sent.
constexpr int kKeptFrames = 8;
constexpr std::size_t kMaxTalkers = 32;       // remote talkers heard at once
constexpr int kReceiveRing = 256;             // frames waiting for the voice thread
constexpr std::int64_t kForgetFrames = 1000;  // a talker silent for 10 s frees its decoder
constexpr auto kCaptureWait = std::chrono::milliseconds(100);
constexpr std::int64_t kMaxUnplayed = 16;  // frames captured and not yet played, at most
// A frame that is not sent is preprocessed only for the noise suppression to learn the room,
// and only one in kLearnEvery of those above this level (a quiet room, or no microphone, has
// nothing to learn). Speech restarts the full rate: every frame sent is preprocessed.
constexpr float kPreprocessFloorDb = -70.0f;
constexpr int kLearnEvery = 4;

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
    VoiceEncoder encoder(system_.options(), setup.echo_cancellation);
    VoiceDetector detector(setup.open_db, setup.close_db);
    std::array<std::int16_t, kFrameSamples> frame{}, played{};
    std::array<std::int16_t, kCodecSamples> conditioned{};
    // The frames before the current one, kept and encoded only when voice activation opens on
    // them: an idle client encodes nothing. The preprocessor must see frames in the order they
    // were captured, so the frames it learns the room from are those leaving the pre-roll unsent,
    // older than any it may still be given.
    struct PreRoll {
      std::uint16_t sequence = 0;
      bool kept = false;  // false: no samples kept at that time (no targets)
      bool preprocessed = false;
      bool loud = false;  // above kPreprocessFloorDb
      std::array<std::int16_t, kCodecSamples> samples{};
    };
    int leaving_loud = 0;  // frames that left the pre-roll unsent and loud enough to learn from
    std::array<PreRoll, kKeptFrames> preroll{};
    std::uint8_t opus[kMaxOpusBytes];
    // A new engagement starts clean: its frame clock starts at 0, so talkers of an earlier one
    // (still "talking" by their old clock) would light RX and play silence.
    for (auto& t : talkers_) t = TalkerSlot{};
    hearing_ = false;
    bool sending = false;
    std::int64_t frame_number = 0;  // the newest frame captured
    std::int64_t played_up_to = 0;  // the newest frame whose playback was handed over
    std::uint16_t sequence = 0;
    auto due = std::chrono::steady_clock::now();
    while (!stop_.load()) {
      if (session_lost_.load()) {
        {
          std::lock_guard lock(mutex_);
          connected_ = false;
        }
        Tell(VoiceMessage::SessionLost);
        return;
      }
      // Playback of the frames captured so far is handed over just before the card's next
      // callback, so that what arrives meanwhile is in it; until then the thread waits for more
      // capture, which a card with a long period hands over several frames at a time.
      auto timeout = std::chrono::duration_cast<std::chrono::microseconds>(kCaptureWait);
      if (played_up_to < frame_number) {
        const auto now = std::chrono::steady_clock::now();
        timeout = due > now ? std::chrono::duration_cast<std::chrono::microseconds>(due - now)
                            : std::chrono::microseconds(0);
      }
      bool late = false;
      const int elapsed = device->ReadCapture(frame.data(), played.data(), timeout, &late);
      // What arrived during a stall, or while the thread catches up on frames it was late
      // for, did not come when it is first played: it does not count towards the network's
      // jitter.
      const bool stalled = elapsed > 1 || late;
      if (played_up_to < frame_number &&
          (elapsed == 0 || stalled || frame_number - played_up_to >= kMaxUnplayed ||
           std::chrono::steady_clock::now() >= due)) {
        Play(*device, played_up_to, frame_number, !stalled);
        played_up_to = frame_number;
      }
      if (elapsed == 0) continue;
      // Frames the thread was too late for are time that passed: the clock and the talkers move
      // on by them, so a stall leaves no delay behind.
      if (stalled) TakeArrivals(frame_number + 1, false);
      if (elapsed > 1) encoder.Lost(elapsed - 1);
      for (int skipped = 1; skipped < elapsed; ++skipped) PassOver(++frame_number);
      frame_number += 1;
      sequence = static_cast<std::uint16_t>(sequence + elapsed);
      std::uint32_t flags, targets;
      {
        std::lock_guard lock(mutex_);
        flags = config_.flags;
        targets = target_count_;
      }

      // Sending: this frame, and when voice activation just opened, the ones before it.
      PreRoll& now = preroll[sequence % kKeptFrames];
      if (now.kept && !now.preprocessed && now.loud && ++leaving_loud % kLearnEvery == 0)
        encoder.Preprocess(now.samples.data());  // only learns: it is never sent
      now.kept = false;
      if (late) {
        // Too old to send or to play after (the device holds newer ones): the talkers move on
        // by it, and the echo canceller still sees it, so that what it learned holds.
        if (targets > 0) encoder.Condition(frame.data(), played.data(), conditioned.data());
        PassOver(frame_number);
        played_up_to = frame_number;
        continue;
      }
      if (elapsed > 1) played_up_to = frame_number - 1;
      due = device->PlaybackDue();
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
        now.loud = level > kPreprocessFloorDb;
      }
      const bool want = targets > 0 && (!(flags & DVCLIENTCONFIG_AUTOVOICEACTIVATED) || open);
      if (want && !sending) {
        Tell(VoiceMessage::RecordStart);
        encoder.Restart();
        for (int back = kPreRollFrames - 1; back >= 1; --back) {
          PreRoll& p = preroll[static_cast<std::uint16_t>(sequence - back) % kKeptFrames];
          if (!p.kept || p.sequence != static_cast<std::uint16_t>(sequence - back)) continue;
          if (!p.preprocessed) encoder.Preprocess(p.samples.data());
          p.preprocessed = true;
          if (const std::uint32_t size = encoder.Encode(p.samples.data(), opus))
            SendFrame(p.sequence, opus, size);
        }
      } else if (!want && sending) {
        Tell(VoiceMessage::RecordStop);
      }
      if (want && now.kept) {
        encoder.Preprocess(now.samples.data());
        now.preprocessed = true;
        if (const std::uint32_t size = encoder.Encode(now.samples.data(), opus))
          SendFrame(sequence, opus, size);
      }
      sending = want;
      // With nobody to hear, there is nothing to wait for: the frame's silence goes at once,
      // and the thread wakes once a frame, not twice.
      if (!hearing_) {
        Play(*device, played_up_to, frame_number, true);
        played_up_to = frame_number;
      }
    }
  }

  // Frame `frame_number` passes unheard (the thread was too late for it): each talker moves on
  // by it.
  void PassOver(std::int64_t frame_number) {
    for (auto& t : talkers_)
      if (t.talker) t.talker->Next(voice_.data(), frame_number);
  }

  // What arrived goes to its talker's buffer, as arriving at `frame`: the first frame it can
  // be played in.
  void TakeArrivals(std::int64_t frame, bool on_time) {
    int count;
    {
      std::lock_guard lock(rx_mutex_);
      count = rx_count_;
      for (int i = 0; i < count; ++i) arrived_[i] = rx_[(rx_head_ + i) % kReceiveRing];
      rx_head_ = (rx_head_ + count) % kReceiveRing;
      rx_count_ = 0;
    }
    for (int i = 0; i < count; ++i) {
      if (TalkerSlot* t = FindTalker(arrived_[i].talker))
        t->talker->Put(arrived_[i].sequence, arrived_[i].opus, arrived_[i].size, frame, on_time);
    }
  }

  // Playing frames `after` + 1 to `last`: each talker gives 10 ms of each; the mix is played.
  void Play(AudioDevice& device, std::int64_t after, std::int64_t last, bool on_time) {
    TakeArrivals(after + 1, on_time);
    std::uint32_t flags;
    {
      std::lock_guard lock(mutex_);
      flags = config_.flags;
    }
    const bool muted = flags & DVCLIENTCONFIG_PLAYBACKMUTE;
    hearing_ = false;
    for (std::int64_t frame_number = after + 1; frame_number <= last; ++frame_number) {
      mix_.fill(0);
      for (auto& t : talkers_) {
        if (!t.talker) continue;
        if (t.talker->Next(voice_.data(), frame_number)) MixInto(mix_.data(), voice_.data());
        const bool talking = t.talker->Talking(frame_number);
        hearing_ |= talking;
        if (talking && !t.announced) {
          t.announced = true;
          if (!muted) Tell(VoiceMessage::PlayerVoiceStart, t.id);
        } else if (!talking && t.announced) {
          t.announced = false;
          if (!muted) Tell(VoiceMessage::PlayerVoiceStop, t.id);
        }
        if (!talking && frame_number - t.talker->last_arrival() > kForgetFrames) t.talker.reset();
      }
      if (muted) mix_.fill(0);
      device.WritePlayback(mix_.data());
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
  // The voice thread only: its talkers, and what it takes in and plays.
  std::array<TalkerSlot, kMaxTalkers> talkers_;
  std::array<Received, kReceiveRing> arrived_;
  std::array<std::int16_t, kFrameSamples> mix_{}, voice_{};
  bool hearing_ = false;  // a talker was heard in the last frame played
};

}  // namespace

std::unique_ptr<VoiceClient> CreateOpusVoiceClient(OpusVoiceSystem& system) {
  return std::make_unique<OpusVoiceClient>(system);
}

}  // namespace talmeris::voice
