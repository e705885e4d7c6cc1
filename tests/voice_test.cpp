// The two pure pieces of the voice layer: voice activation and a talker's jitter buffer.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <optional>

#include "state/context.h"
#include "state/main_window.h"
#include "support/audio_tools.h"
#include "support/fake_voice.h"
#include "support/recording_window_port.h"
#include "support/test_client.h"
#include "voice/audio_device_port.h"
#include "voice/detector.h"
#include "voice/device_rings.h"
#include "voice/jitter_buffer.h"
#include "voice/talker.h"
#include "voice/voice_chat.h"
#include "voice/voice_encoder.h"
#include "voice/voice_engine.h"
#include "voice/voice_wire.h"

namespace talmeris::voice {
namespace {

// Levels in dBFS, one per 10 ms frame, through a detector with the default thresholds.
std::vector<bool> Feed(VoiceDetector& d, const std::vector<float>& levels) {
  std::vector<bool> open;
  for (float l : levels) open.push_back(d.Update(l));
  return open;
}

TEST(VoiceDetector, OpensOnSpeechHoldsThroughPausesAndIgnoresNoiseAndClicks) {
  VoiceDetector d(-36.0f, -44.0f);
  // Breathing-level noise, however long, never opens it; nor does one loud click.
  auto open = Feed(d, std::vector<float>(100, -50.0f));
  EXPECT_EQ(std::count(open.begin(), open.end(), true), 0);
  open = Feed(d, {-10.0f, -10.0f, -10.0f, -50.0f, -50.0f});
  EXPECT_EQ(std::count(open.begin(), open.end(), true), 0);
  // Speech opens it after 40 ms; a 160 ms pause between words keeps it open.
  open = Feed(d, {-20.0f, -20.0f, -20.0f, -20.0f, -20.0f});
  EXPECT_EQ(open, (std::vector<bool>{false, false, false, true, true}));
  open = Feed(d, std::vector<float>(16, -60.0f));
  EXPECT_EQ(std::count(open.begin(), open.end(), false), 0);
  // Between the thresholds it stays open; below the lower one it closes after the hold.
  open = Feed(d, std::vector<float>(20, -40.0f));
  EXPECT_EQ(std::count(open.begin(), open.end(), false), 0);
  open = Feed(d, std::vector<float>(22, -60.0f));
  EXPECT_EQ(std::count(open.begin(), open.end(), true), 20);
  EXPECT_FALSE(open.back());
  // The level of a frame: full-scale sine is -3 dB, silence -96.
  const test::Samples tone = test::Tone(1000, 0.02, 0.0), quiet = test::Silence(0.02);
  EXPECT_NEAR(FrameLevelDb(tone.data(), kFrameSamples), -3.0, 0.1);
  EXPECT_EQ(FrameLevelDb(quiet.data(), kFrameSamples), -96.0f);
}

class TalkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int error = 0;
    encoder = opus_encoder_create(kSampleRate, 1, OPUS_APPLICATION_VOIP, &error);
    ASSERT_NE(encoder, nullptr);
    const test::Samples tone = test::Tone(500, 2.0, -12);
    for (int f = 0; f < 100; ++f) {
      std::vector<std::uint8_t> packet(kMaxOpusBytes);
      int n = opus_encode(encoder, tone.data() + f * kFrameSamples, kFrameSamples, packet.data(),
                          kMaxOpusBytes);
      packet.resize(n);
      packets.push_back(packet);
    }
  }
  void TearDown() override { opus_encoder_destroy(encoder); }
  void Put(std::uint16_t seq, int packet, std::int64_t now) {
    talker.Put(seq, packets[packet].data(), static_cast<std::uint32_t>(packets[packet].size()),
               now);
  }
  // Plays one frame; its level, or nothing when the talker gave silence.
  std::optional<float> Play(std::int64_t now) {
    std::int16_t out[kFrameSamples];
    if (!talker.Next(out, now)) return std::nullopt;
    return FrameLevelDb(out, kFrameSamples);
  }
  OpusEncoder* encoder = nullptr;
  std::vector<std::vector<std::uint8_t>> packets;
  Talker talker;
};

TEST_F(TalkerTest, PlaysInOrderConcealsALossAndEndsASpurtAfterSilence) {
  std::int64_t now = 1;
  const std::uint16_t base = 65530;  // the sequence wraps within the spurt
  // Two frames arrive swapped; a third is lost; the rest arrive in time.
  Put(base, 0, now);
  EXPECT_TRUE(Play(now++));
  Put(static_cast<std::uint16_t>(base + 2), 2, now);
  Put(static_cast<std::uint16_t>(base + 1), 1, now);
  EXPECT_TRUE(Play(now++));
  EXPECT_TRUE(Play(now++));
  for (int i = 4; i < 20; ++i) {
    if (i != 8) Put(static_cast<std::uint16_t>(base + i), i, now);
    auto level = Play(now++);
    ASSERT_TRUE(level) << "frame " << i;  // the lost one concealed, the rest decoded
    if (i > 10) {
      EXPECT_GT(*level, -25.0f) << "frame " << i;
    }
  }
  EXPECT_TRUE(talker.Talking(now));
  // 200 ms without a frame ends the spurt: silence, and the talker is no longer talking.
  int played = 0;
  for (int i = 0; i < Talker::kSilenceFrames + 2; ++i) played += Play(now++).has_value();
  EXPECT_FALSE(talker.Talking(now));
  EXPECT_FALSE(Play(now++));
  EXPECT_LE(played, Talker::kSilenceFrames);
  // A new spurt far ahead in sequence starts from an empty buffer and plays at once.
  Put(static_cast<std::uint16_t>(base + 900), 30, now);
  EXPECT_TRUE(Play(now++));
  EXPECT_TRUE(talker.Talking(now));
}

TEST_F(TalkerTest, APauseShortensTheDelayOfFramesSentAhead) {
  std::int64_t now = 1;
  // A spurt that opens with two frames sent ahead of it: three frames at once, the first of
  // them silent (the pause before the word).
  const test::Samples quiet = test::Silence(0.02);
  std::vector<std::uint8_t> silent(kMaxOpusBytes);
  for (int i = 0; i < 5; ++i) {  // past the tone the encoder last had
    silent.resize(kMaxOpusBytes);
    silent.resize(opus_encode(encoder, quiet.data(), kFrameSamples, silent.data(), kMaxOpusBytes));
  }
  talker.Put(100, silent.data(), static_cast<std::uint32_t>(silent.size()), now);
  Put(101, 1, now);
  Put(102, 2, now);
  Play(now++);
  EXPECT_EQ(talker.shortened(), 1);
}

// After a stall of the listener its buffer can run ahead of the talker's frames: each comes
// after its turn and is dropped. The concealment of a loud tone never falls to a pause, where
// the buffer waits a frame more; it waits at the missing frames instead, and the tone is heard
// again within a few frames.
TEST_F(TalkerTest, ABufferAheadOfItsFramesWaitsForThemWithoutAPause) {
  int error = 0;
  OpusEncoder* low =
      opus_encoder_create(kSampleRate, 1, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &error);
  ASSERT_NE(low, nullptr);
  const test::Samples tone = test::Tone(500, 2.0, -1);
  std::int64_t now = 1;
  int heard = 0;  // of the last 100 frames, those heard at the tone's level
  for (int f = 0; f < 200; ++f) {
    std::uint8_t packet[kMaxOpusBytes];
    const int n =
        opus_encode(low, tone.data() + f * kFrameSamples, kFrameSamples, packet, kMaxOpusBytes);
    ASSERT_GT(n, 0);
    talker.Put(static_cast<std::uint16_t>(f), packet, static_cast<std::uint32_t>(n), now);
    if (f == 50)
      for (int ahead = 0; ahead < 3; ++ahead) Play(now);  // the listener's clock ran on
    const auto level = Play(now++);
    if (f >= 100) heard += level && *level > -10.0f;
  }
  opus_encoder_destroy(low);
  EXPECT_EQ(heard, 100);
}

// A talker whose frames come 0 to 30 ms late (a pattern over four frames) and then steadily:
// the delay rises to the jitter, only in pauses, and falls back once the jitter is gone.
TEST(JitterBuffer, TheDelayFollowsTheJitterOnlyInPausesAndShrinksAgain) {
  JitterBuffer buffer;
  const std::uint8_t packet[1] = {7};
  std::int64_t now = 1000;
  std::uint32_t sent = 5000;
  buffer.Start(sent, now);
  std::map<std::int64_t, std::vector<std::uint32_t>> arrivals;
  int late = 0, delay_changes_while_loud = 0;
  // Each frame: what arrives is put, one frame plays; every 10th frame is a pause.
  auto run = [&](int frames, auto lateness) {
    late = 0;
    for (int f = 0; f < frames; ++f, ++now) {
      arrivals[now + lateness(sent)].push_back(sent);
      ++sent;
      for (std::uint32_t s : arrivals[now]) {
        buffer.Put(s, packet, 1);
        buffer.Measure(s, now);
      }
      arrivals.erase(now);
      const std::uint8_t* data;
      std::uint32_t size;
      const auto take = buffer.Get(&data, &size);  // missing at its turn: late
      late += take == JitterBuffer::Take::kConceal || take == JitterBuffer::Take::kRecover;
      const int before = buffer.Delay(now);
      const bool quiet = f % 10 == 0;
      if (buffer.Adjust(now, quiet) > 0) buffer.Get(&data, &size);
      if (!quiet) delay_changes_while_loud += buffer.Delay(now) != before;
    }
  };
  auto jitter = [](std::uint32_t s) { return (s * 7) % 4; };
  auto steady = [](std::uint32_t) { return 0; };
  run(400, jitter);  // 4 s
  EXPECT_EQ(buffer.Aim(), 3);
  EXPECT_EQ(buffer.Delay(now - 1), 3);
  run(100, jitter);
  EXPECT_EQ(late, 0) << "frames came too late for a delay that has settled";
  run(JitterBuffer::kWindow + 100, steady);  // the jitter is gone: it falls back
  EXPECT_EQ(buffer.Aim(), 0);
  EXPECT_EQ(buffer.Delay(now - 1), 0);
  EXPECT_EQ(late, 0);
  EXPECT_EQ(delay_changes_while_loud, 0);
  // From now on every frame comes two frames later (the route got slower, or the listener's
  // hand-over moved earlier and the frames miss it): once the base has risen with them, what
  // came in between counts from there, not as jitter to wait for.
  run(JitterBuffer::kBaseWindow + 30, [](std::uint32_t) { return 2; });
  EXPECT_EQ(buffer.Aim(), 0);
  EXPECT_EQ(buffer.Delay(now - 1), 0);
  // Only one frame in 80 comes at once, the others 10 to 30 ms late: the base rises by a frame
  // whenever the earliest leaves its window, and falls back with the next. That is the jitter's
  // luck, not a slower route: what was measured stays as it was, and nothing comes too late.
  auto rare_earliest = [](std::uint32_t s) { return s % 80 == 0 ? 0 : 1 + (s * 7) % 3; };
  run(2 * JitterBuffer::kWindow, rare_earliest);
  run(4 * JitterBuffer::kWindow, rare_earliest);
  EXPECT_EQ(late, 0);
  run(JitterBuffer::kWindow + 100, steady);  // and back

  // A frame too late, one too far ahead and one repeated are not held; the next is rebuilt from
  // the frame after it.
  buffer.Put(sent - 1, packet, 1);                     // already played
  buffer.Put(sent + JitterBuffer::kSlots, packet, 1);  // beyond the ring
  buffer.Put(sent + 1, packet, 1);
  const std::uint8_t* data;
  std::uint32_t size;
  EXPECT_EQ(buffer.Get(&data, &size), JitterBuffer::Take::kRecover);
  EXPECT_EQ(buffer.Get(&data, &size), JitterBuffer::Take::kFrame);
  EXPECT_EQ(buffer.Get(&data, &size), JitterBuffer::Take::kConceal);
  // A spurt whose sequence numbers wrapped starts a new measure instead of a delay of 300 ms.
  buffer.Start(sent + 65536, now);
  for (int f = 0; f < 10; ++f, ++now) buffer.Measure(sent + 65536 + f, now);
  EXPECT_EQ(buffer.Aim(), 0);
  buffer.Get(&data, &size);
  EXPECT_EQ(buffer.Delay(now), 10);  // its first frame, played ten frames after it came
}

// After the voice thread stalled, a read counts the time that passed and leaves at most the
// bound waiting (3 frames, or two of the card's periods when they are longer); what it reads is
// the newest audio, with what was played beside it; time the full ring overwrote counts too.
TEST(DeviceRings, AStalledReaderFindsNoMoreThanTheBoundWaiting) {
  struct Case {
    std::size_t period;
    int periods, elapsed, left;
  };
  for (const Case c : {Case{480, 20, 18, 2}, Case{960, 10, 17, 3}, Case{480, 4, 2, 2},
                       Case{480, 3, 1, 2}, Case{480, 40, 38, 2}}) {
    SCOPED_TRACE(::testing::Message() << c.period << " x " << c.periods);
    DeviceRings rings, for_canceller;
    std::vector<std::int16_t> in(c.period), out(c.period), frame(kFrameSamples),
        played(kFrameSamples), waiting(kFrameSamples);
    rings.WritePlayback(std::vector<std::int16_t>(kFrameSamples, 7).data());
    for (int p = 0; p < c.periods; ++p) {
      for (std::size_t i = 0; i < c.period; ++i)
        in[i] = static_cast<std::int16_t>((p * c.period + i) / kFrameSamples);
      rings.Exchange(in.data(), out.data(), c.period);
      for_canceller.Exchange(in.data(), out.data(), c.period);
    }
    // Asked for late frames, the reader gets every frame still in the ring, the ones past the
    // bound marked late, then the rest as usual.
    bool late = false;
    int late_frames = 0, next = -1;
    while (for_canceller.ReadCapture(frame.data(), nullptr, std::chrono::milliseconds(0), &late) >
               0 &&
           late) {
      if (next < 0) next = frame[0];
      EXPECT_EQ(frame[0], next++);
      ++late_frames;
    }
    const int ring_frames = std::min(c.periods * static_cast<int>(c.period) / kFrameSamples, 32);
    EXPECT_EQ(late_frames, std::max(0, ring_frames - c.left - 1));
    EXPECT_FALSE(late);
    EXPECT_EQ(rings.ReadCapture(frame.data(), played.data(), std::chrono::milliseconds(0)),
              c.elapsed);
    const int total = c.periods * static_cast<int>(c.period) / kFrameSamples;
    EXPECT_EQ(frame[0], total - c.left - 1);  // the oldest frame still kept
    EXPECT_EQ(frame[kFrameSamples - 1], total - c.left - 1);
    EXPECT_EQ(played[0], total - c.left - 1 == 0 ? 7 : 0);
    int left = 0;
    while (rings.ReadCapture(waiting.data(), nullptr, std::chrono::milliseconds(0)) == 1) ++left;
    EXPECT_EQ(left, c.left);
    EXPECT_EQ(waiting[0], total - 1);
  }
}

// After the card says it stalled (an underrun or overrun), what piled up to be played goes at
// once: the next callback plays the frame before the newest, then the newest, then silence.
// Without that word the backlog plays on in order.
TEST(DeviceRings, ACardThatStalledShedsThePlaybackBacklogAtOnce) {
  for (const bool xrun : {true, false}) {
    DeviceRings rings;
    for (int k = 1; k <= 30; ++k) {
      rings.WritePlayback(
          std::vector<std::int16_t>(kFrameSamples, static_cast<std::int16_t>(k)).data());
    }
    std::vector<std::int16_t> in(kFrameSamples), out(kFrameSamples);
    rings.Exchange(in.data(), out.data(), kFrameSamples, xrun);
    EXPECT_EQ(out[0], xrun ? 29 : 1);
    rings.Exchange(in.data(), out.data(), kFrameSamples);
    EXPECT_EQ(out[kFrameSamples - 1], xrun ? 30 : 2);
    rings.Exchange(in.data(), out.data(), kFrameSamples);
    EXPECT_EQ(out[0], xrun ? 0 : 3);
  }
}

// The thread came too late for a callback: the silence played in the frame's place stands for
// it, so the frame is dropped when it comes and the ones after it play in their own time. A
// thread that skips the frames it missed (a stall) has moved on by them itself.
TEST(DeviceRings, AFrameTooLateForItsCallbackIsDroppedNotPlayedLate) {
  DeviceRings rings;
  std::vector<std::int16_t> in(kFrameSamples), out(kFrameSamples), frame(kFrameSamples);
  auto write = [&](std::int16_t v) {
    std::fill(frame.begin(), frame.end(), v);
    rings.WritePlayback(frame.data());
  };
  auto play = [&] {
    rings.Exchange(in.data(), out.data(), kFrameSamples);
    return out[kFrameSamples - 1];
  };
  play();
  write(1);
  EXPECT_EQ(play(), 1);
  EXPECT_EQ(play(), 0);  // frame 2 did not come in time
  write(2);
  write(3);
  EXPECT_EQ(play(), 3);
  EXPECT_EQ(play(), 0);  // 4 is late too
  EXPECT_EQ(rings.ReadCapture(frame.data(), nullptr, std::chrono::microseconds(0)), 3);  // skips 2
  write(4);
  EXPECT_EQ(play(), 4);
  // Behind for good, each frame coming just after its callback: after one is dropped, the delay
  // grows by a frame rather than every frame going.
  EXPECT_EQ(play(), 0);
  write(5);
  EXPECT_EQ(play(), 0);
  write(6);
  EXPECT_EQ(play(), 6);
  write(7);
  EXPECT_EQ(play(), 7);
}

// Playback is due the margin before the next callback of a 20 ms card. A late callback moves the
// expected phase a sixteenth of the way, an early one all of it. A callback that finds too little
// while the thread writes widens the margin once (up to the period), and so does a hand-over
// written so late that less than half the base was left before the callback that took it; each
// clean while takes half the widening off.
TEST(DeviceRings, PlaybackIsDueJustBeforeTheNextCallback) {
  using us = std::chrono::microseconds;
  DeviceRings rings;
  std::vector<std::int16_t> in(960), out(960), frame(kFrameSamples);
  auto t = std::chrono::steady_clock::now();
  const auto due = rings.PlaybackDue();
  EXPECT_LE(due, std::chrono::steady_clock::now());  // no callback yet
  auto callback = [&](us after, int write_frames) {
    t += after;
    for (int i = 0; i < write_frames; ++i) rings.WritePlayback(frame.data());
    rings.Exchange(in.data(), out.data(), 960, false, t);
    while (rings.ReadCapture(frame.data(), nullptr, us(0)) > 0) {
    }
  };
  auto margin = [&] { return std::chrono::duration_cast<us>(t + us(20000) - rings.PlaybackDue()); };
  callback(us(0), 0);
  EXPECT_EQ(margin(), us(4000));
  callback(us(23200), 2);  // 3.2 ms late: expected 0.2 ms later than before
  EXPECT_EQ(margin(), us(4000 + 3200 - 200));
  callback(us(16000), 2);  // early: the phase is this callback's
  EXPECT_EQ(margin(), us(4000));
  callback(us(20000), 1);  // short: 2 ms more
  callback(us(20000), 0);  // short again, but nothing written since: no more
  EXPECT_EQ(margin(), us(6000));
  for (int k = 0; k < 8; ++k) callback(us(20000), 1);  // short each time: up to the period
  EXPECT_EQ(margin(), us(20000));
  for (int k = 0; k < 110; ++k) callback(us(20000), 2);  // 2.2 s clean: half the widening off
  EXPECT_EQ(margin(), us(12000));
  for (int k = 0; k < 500; ++k) callback(us(20000), 2);  // 8, 6, 5, 4.5, then the base
  EXPECT_EQ(margin(), us(4000));
  // The two frames of a hand-over, due 16 ms after a callback, answering a capture read `read`
  // after it, the second written at `write`, then the next callback at `next`: the margin they
  // leave behind.
  auto margin_after = [&](us read, us first, us write, us next) {
    DeviceRings one;
    one.Exchange(in.data(), out.data(), 960, false, t);
    one.ReadCapture(frame.data(), nullptr, us(0), nullptr, t + read);
    one.WritePlayback(frame.data(), t + first);
    one.WritePlayback(frame.data(), t + write);
    one.Exchange(in.data(), out.data(), 960, false, t + next);
    return std::chrono::duration_cast<us>(t + next + us(20000) - one.PlaybackDue());
  };
  // 1.9 ms late leaves more than half the base, as every wait may; a thread that woke from its
  // wait 3 ms late widens the margin to cover that and the base, once for the hand-over however
  // many frames it wrote late.
  EXPECT_EQ(margin_after(us(100), us(17900), us(17900), us(20000)), us(4000));
  EXPECT_EQ(margin_after(us(100), us(19000), us(19100), us(20000)), us(7100));
  // Not when the callback came late as well (the whole machine stood still: the write was in
  // time; only the phase moves a sixteenth of the way), nor a write that waited on a capture
  // read after it was due (a late callback): it could not have come sooner, and a wider margin
  // would only delay every other hand-over.
  EXPECT_EQ(margin_after(us(100), us(19000), us(19000), us(24800)), us(4000 + 4800 - 300));
  EXPECT_EQ(margin_after(us(17000), us(19000), us(19000), us(20000)), us(4000));
}

// A player without a headset: the far talker's speech comes back into the microphone 60 ms later
// at half its level. Returns what the sending chain (automatic record volume on) hands the
// encoder over each second, against what came in, in dB.
std::vector<double> EchoThroughTheChain(bool canceller, const test::Samples& far) {
  VoiceEncoder encoder(VoiceOptions{}, canceller);
  encoder.SetAutoVolume(true);
  std::vector<double> in_energy(far.size() / kSampleRate + 1), out_energy(in_energy.size());
  std::array<std::int16_t, kFrameSamples> mic;
  std::array<std::int16_t, kCodecSamples> out;
  for (std::size_t f = 0; (f + 1) * kFrameSamples <= far.size(); ++f) {
    for (std::size_t i = 0; i < kFrameSamples; ++i) {
      const std::size_t at = f * kFrameSamples + i;
      mic[i] = static_cast<std::int16_t>(at >= 2880 ? far[at - 2880] / 2 : 0);
      in_energy[at / kSampleRate] += static_cast<double>(mic[i]) * mic[i] / 3;
    }
    encoder.Condition(mic.data(), far.data() + f * kFrameSamples, out.data());
    encoder.Preprocess(out.data());
    for (auto v : out) out_energy[f / 100] += static_cast<double>(v) * v;
  }
  std::vector<double> returned;
  for (std::size_t s = 0; s + 1 < in_energy.size(); ++s)
    returned.push_back(10 * std::log10((out_energy[s] + 1) / (in_energy[s] + 1)));
  return returned;
}

TEST(VoiceEncoder, AnEchoIsHeldBackWhileTheCancellerLearnsAndNeverRaised) {
  test::Samples far = test::Speak("Vector two seven zero, climbing to the northern ring.");
  ASSERT_FALSE(far.empty()) << "espeak-ng and sox are needed";
  test::Append(far, test::Speak("Hold your fire, we are friendly, repeat, friendly."));
  // With the canceller, the first second of far speech already comes back 20 dB down.
  const auto on = EchoThroughTheChain(true, far);
  for (std::size_t s = 0; s < on.size(); ++s) EXPECT_LT(on[s], -20.0) << "second " << s;
  // Without it (a headset's setting), the record volume must not lift the echo to speech level.
  const auto off = EchoThroughTheChain(false, far);
  for (std::size_t s = 0; s < off.size(); ++s) EXPECT_LT(off[s], 1.0) << "second " << s;
}

// What the encoder sends, decoded as a listener does (a lost packet concealed): nearly all the
// speech comes through as it was said, and most of it with 15 % of the packets lost; and it is
// heard less than a frame after it was said, the noise suppression's step and the coding's
// look-ahead together. (Opus's voice coding comes through less like what was said, 93 %, and
// looks 4 ms further ahead.)
TEST(VoiceEncoder, SpeechComesThroughAsSpokenWithAndWithoutLossWithinAFrame) {
  test::Samples said = test::Speak("Vector two seven zero, climbing to the northern ring.");
  ASSERT_FALSE(said.empty()) << "espeak-ng and sox are needed";
  test::Append(said, test::Silence(0.5));
  test::Append(said, test::Speak("Hold your fire, we are friendly, repeat, friendly."));
  VoiceEncoder encoder(VoiceOptions{}, true);
  std::vector<std::vector<std::uint8_t>> packets;
  for (std::size_t at = 0; at + kFrameSamples <= said.size(); at += kFrameSamples) {
    std::array<std::int16_t, kCodecSamples> frame;
    std::uint8_t packet[kMaxOpusBytes];
    encoder.Condition(&said[at], nullptr, frame.data());
    encoder.Preprocess(frame.data());
    const std::uint32_t size = encoder.Encode(frame.data(), packet);
    ASSERT_GT(size, 0u);
    packets.emplace_back(packet, packet + size);
  }
  for (const int loss : {0, 15}) {
    const test::Samples heard = test::DecodeWithLoss(packets, loss);
    EXPECT_GE(test::CompareSpeech(said, heard).Share(), loss ? 0.84 : 0.97) << loss << " % lost";
  }
  const test::Samples heard = test::DecodeWithLoss(packets, 0);
  std::size_t delay = 0;
  double best = 0;
  for (std::size_t lag = 0; lag < 2 * kFrameSamples; ++lag) {
    double c = 0;
    for (std::size_t i = kSampleRate; i < 3 * kSampleRate; i += 3)  // seconds 1 and 2
      c += static_cast<double>(said[i]) * heard[i + lag];
    if (c > best) best = c, delay = lag;
  }
  EXPECT_LT(delay, kFrameSamples);
}

// The benchmark's measure of speech heard: a frame dropped while speaking is a delay change; the
// same drop in the pause between two words, or between two sentences, is not.
TEST(SpeechMeasure, ADelayChangeCountsWhileSpeakingButNotInAPause) {
  test::Samples said;
  test::Append(said, test::Noise(0.8, -20, 1));
  test::Append(said, test::Silence(0.5));
  test::Append(said, test::Noise(0.4, -20, 2));  // the second sentence: two words
  test::Append(said, test::Silence(0.1));
  test::Append(said, test::Noise(0.4, -20, 3));
  test::Append(said, test::Silence(0.2));
  const long second = 1300 * 48;            // where the second sentence starts
  for (const long ms : {200, 450, -200}) {  // into the first word, the gap, the pause before
    test::Samples heard = test::Silence(0.03);
    const long at = second + ms * 48, dropped = 480;  // 10 ms
    heard.insert(heard.end(), said.begin(), said.begin() + at);
    heard.insert(heard.end(), said.begin() + at + dropped, said.end());
    const test::SpeechHeard h = test::CompareSpeech(said, heard);
    EXPECT_EQ(h.sentences, 2) << ms;
    EXPECT_EQ(h.delay_changed, ms == 200 ? 1 : 0) << ms;
    EXPECT_GE(h.Share(), 0.95) << ms;
  }
  // A voiced sound: a 112 Hz voice with a breath (noise 8 dB down) in it.
  constexpr long kPeriod = 428;
  auto voice = [](unsigned breath) {
    test::Samples v = test::Noise(1.0, -30, breath);
    for (std::size_t i = 0; i < v.size(); ++i) {
      double s = v[i];
      for (int h = 1; h <= 4; ++h) s += 3000 * std::sin(2 * M_PI * h * i / kPeriod) / h;
      v[i] = static_cast<std::int16_t>(s);
    }
    return v;
  };
  const test::Samples voiced = voice(4);
  // Heard a pitch period off for three windows, which it also fits at its delay, it has not
  // moved.
  const long at = 20000, off = 3 * 960;
  test::Samples heard = test::Silence(0.03);
  heard.insert(heard.end(), voiced.begin(), voiced.begin() + at);
  heard.insert(heard.end(), voiced.begin() + at + kPeriod, voiced.begin() + at + kPeriod + off);
  heard.insert(heard.end(), voiced.begin() + at + off, voiced.end());
  EXPECT_EQ(test::CompareSpeech(voiced, heard).delay_changed, 0);
  // A second sentence opening with it, heard with another breath (so it fits every pitch period
  // about as well): the measure keeps to the delay and finds the word after it there.
  test::Samples two = test::Noise(0.5, -20, 5), heard_two = test::Silence(0.03);
  test::Append(two, test::Silence(0.5));
  test::Append(heard_two, two);
  test::Append(two, voiced);
  test::Append(heard_two, voice(9));
  test::Append(two, test::Noise(0.5, -20, 6));
  test::Append(heard_two, test::Noise(0.5, -20, 6));
  const test::SpeechHeard h = test::CompareSpeech(two, heard_two);
  EXPECT_EQ(h.spoken, h.windows);
}

TEST(VoiceWire, FramesAndTargetsDecodeOnlyWhenWellFormed) {
  std::uint8_t buffer[kTalkerFrameHeader + kMaxOpusBytes + 1];
  const std::uint8_t opus[3] = {1, 2, 3};
  std::uint32_t n = EncodeFrame(buffer, kTalkerFrame, 0, 513, 0x00200003, opus, 3);
  DecodedFrame f;
  ASSERT_TRUE(DecodeFrame(buffer, n, &f));
  EXPECT_EQ(f.sequence, 513);
  EXPECT_EQ(f.talker, 0x00200003u);
  EXPECT_EQ(f.opus_size, 3u);
  EXPECT_FALSE(DecodeFrame(buffer, kTalkerFrameHeader, &f));  // no Opus bytes
  EXPECT_FALSE(DecodeFrame(buffer, kTalkerFrameHeader + kMaxOpusBytes + 1, &f));
  net::DPNID ids[kMaxTargets + 1] = {0, 7};
  n = EncodeTargets(buffer, ids, 2);
  std::uint32_t count = 0;
  ASSERT_TRUE(DecodeTargets(buffer, n, ids, &count));
  EXPECT_EQ(count, 2u);
  EXPECT_FALSE(DecodeTargets(buffer, n - 1, ids, &count));
  buffer[1] = kMaxTargets + 1;
  EXPECT_FALSE(DecodeTargets(buffer, 2 + 4 * (kMaxTargets + 1), ids, &count));
}

}  // namespace
}  // namespace talmeris::voice

namespace talmeris {
namespace {

// The client's voice behaviour against a recording voice client and window port.
struct VoiceRig {
  test::TempDir dir;
  test::RecordingWindowPort windows;
  test::FakeVoiceSystem voice;
  test::FakeLauncher launcher;
  NullKeyboard keyboard;
  ClientContext ctx{Ports{&windows, nullptr, &voice, &launcher, &keyboard}, dir.path()};
  test::FakeVoiceClient* client = nullptr;
  static constexpr WindowId kMain = 7;
  VoiceRig() {
    auto c = std::make_unique<test::FakeVoiceClient>();
    client = c.get();
    ctx.net.voice_client = std::move(c);
    ctx.main_window = kMain;
    ctx.settings.voice_enabled = 1;
  }
  std::string LastLog() { return ctx.event_log.Line(ctx.event_log.Count() - 1); }
};

TEST(VoiceChat, EngagingInPushToTalkModeConnectsWithTheFixedConfigurationAndSetsNoTargets) {
  VoiceRig rig;
  rig.ctx.settings.voice_push_to_talk = 1;
  EngageVoice(rig.ctx, rig.kMain);
  ASSERT_EQ(rig.client->connects.size(), 1u);
  const auto& call = rig.client->connects[0];
  EXPECT_EQ(call.flags, voice::DVFLAGS_SYNC);
  EXPECT_EQ(call.sound.size, 80u);
  EXPECT_EQ(call.sound.flags, voice::DVSOUNDCONFIG_NOFOCUS);
  EXPECT_EQ(call.config.size, 32u);
  EXPECT_EQ(call.config.flags, 0x28u);  // whatever the mode
  EXPECT_EQ(call.config.record_volume, 1);
  EXPECT_EQ(call.config.threshold, voice::DVTHRESHOLD_UNUSED);
  EXPECT_EQ(rig.voice.checks, std::vector<std::uint32_t>{voice::DVFLAGS_QUERYONLY});
  EXPECT_EQ(rig.client->targets, std::vector<std::vector<net::DPNID>>{{}});
  EXPECT_TRUE(rig.windows.Enabled(rig.kMain, kCtlVoiceIp));
  EXPECT_TRUE(rig.windows.Enabled(rig.kMain, kCtlMute));
  EXPECT_TRUE(rig.windows.Enabled(rig.kMain, kCtlPtt));
  EXPECT_TRUE(rig.ctx.voice_connected.load());
  EXPECT_EQ(rig.LastLog(), "Engaging voice services...");
}

TEST(VoiceChat, AFailedConnectOrAMissingTestObjectLeavesVoiceOffForTheRun) {
  VoiceRig rig;
  rig.client->connect_result = voice::DVERR_SOUNDINITFAILURE;
  EngageVoice(rig.ctx, rig.kMain);
  EXPECT_EQ(rig.LastLog(), "Could not engage voice services: 0x8015016e");
  EXPECT_EQ(rig.ctx.settings.voice_enabled, 0);
  EXPECT_FALSE(rig.ctx.voice_connected.load());
  EXPECT_FALSE(rig.windows.EnableTouched(rig.kMain, kCtlVoiceIp));

  VoiceRig untested;
  untested.voice.test_available = false;
  EngageVoice(untested.ctx, untested.kMain);
  EXPECT_EQ(untested.LastLog(), "Could not test sound hardware...");
  EXPECT_TRUE(untested.client->connects.empty());
  EXPECT_EQ(untested.ctx.settings.voice_enabled, 0);
}

TEST(VoiceChat, ModesMuteAndDisablingApplyTheirTargetsFlagsAndControls) {
  VoiceRig rig;
  EngageVoice(rig.ctx, rig.kMain);
  rig.client->targets.clear();
  // Auto names everyone until the refresh; PTT and Off name nobody.
  SetMicrophoneMode(rig.ctx, MicrophoneMode::kAuto);
  SetMicrophoneMode(rig.ctx, MicrophoneMode::kPushToTalk);
  SetMicrophoneMode(rig.ctx, MicrophoneMode::kOff);
  EXPECT_EQ(rig.client->targets, (std::vector<std::vector<net::DPNID>>{{0}, {}, {}}));
  ASSERT_EQ(rig.client->configs.size(), 3u);
  EXPECT_EQ(rig.client->configs[0].flags, 0x28u);
  EXPECT_EQ(rig.client->configs[1].flags, 0x08u);
  EXPECT_EQ(rig.client->configs[2].flags, 0x28u);
  EXPECT_EQ(rig.ctx.settings.voice_mic_off, 1);
  EXPECT_FALSE(rig.windows.Enabled(rig.kMain, kCtlPtt));
  // Mute adds the playback-mute bit to the rule; in PTT mode without voice activation.
  rig.ctx.voice_muted = true;
  ApplyVoiceMute(rig.ctx);
  EXPECT_EQ(rig.client->configs.back().flags, 0x2Au);
  SetMicrophoneMode(rig.ctx, MicrophoneMode::kPushToTalk);
  ApplyVoiceMute(rig.ctx);
  EXPECT_EQ(rig.client->configs.back().flags, 0x0Au);
  // Auto mode's refresh names the online players included, in slot order.
  SetMicrophoneMode(rig.ctx, MicrophoneMode::kAuto);
  for (int slot : {12, 4, 20}) {
    rig.ctx.tables.roster[slot].online = 1;
    rig.ctx.tables.roster[slot].voice_include = slot != 20;
    rig.ctx.tables.roster[slot].identity_number = 100u + slot;
  }
  ASSERT_TRUE(VoiceInAutoMode(rig.ctx));
  SetTargetsToList(rig.ctx);
  EXPECT_EQ(rig.client->targets.back(), (std::vector<net::DPNID>{104, 112}));
  // Unchecking "Enabled" disconnects at once.
  EXPECT_FALSE(ToggleVoiceEnabled(rig.ctx));
  EXPECT_EQ(rig.client->disconnects, std::vector<std::uint32_t>{voice::DVFLAGS_SYNC});
  EXPECT_EQ(rig.LastLog(), "Disabled voice services...");
  EXPECT_FALSE(rig.windows.Enabled(rig.kMain, kCtlVoiceIp));
  EXPECT_FALSE(rig.windows.Enabled(rig.kMain, kCtlMute));
  // Checked again, the tick engages; a muted Mute box keeps playback muted.
  EXPECT_TRUE(ToggleVoiceEnabled(rig.ctx));
  EngageVoice(rig.ctx, rig.kMain);
  EXPECT_EQ(rig.client->connects.back().config.flags, 0x2Au);
}

TEST(VoiceChat, TheHandlerDrivesTheIndicatorsAndALostSessionIsLogged) {
  VoiceRig rig;
  EngageVoice(rig.ctx, rig.kMain);
  OnVoiceMessage(&rig.ctx, voice::VoiceMessage::RecordStart, 0);
  OnVoiceMessage(&rig.ctx, voice::VoiceMessage::PlayerVoiceStart, 5);
  EXPECT_TRUE(rig.windows.Checked(rig.kMain, kCtlTx));
  EXPECT_TRUE(rig.windows.Checked(rig.kMain, kCtlRx));
  OnVoiceMessage(&rig.ctx, voice::VoiceMessage::RecordStop, 0);
  EXPECT_FALSE(rig.windows.Checked(rig.kMain, kCtlTx));
  OnVoiceMessage(&rig.ctx, voice::VoiceMessage::SessionLost, 0);
  EXPECT_FALSE(rig.windows.Enabled(rig.kMain, kCtlVoiceIp));
  EXPECT_EQ(rig.LastLog(), "Voice connection interrupted...");
  EXPECT_FALSE(rig.ctx.voice_connected.load());
}

}  // namespace
}  // namespace talmeris
