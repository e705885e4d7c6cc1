// Voice chat end to end: two client cores with sound devices in memory, talking through the
// development server over loopback; sound measured with sox.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <regex>
#include <sstream>

#include "state/main_window.h"
#include "support/audio_tools.h"
#include "support/headless_client.h"
#include "support/process.h"
#include "support/voice_timing.h"

namespace talmeris {
namespace {

using test::ChildProcess;
using test::HeadlessClient;
using test::Samples;
using namespace std::chrono_literals;

class VoiceEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    port = test::NextTestPort();
    server = std::make_unique<ChildProcess>(
        TALMERIS_DEVSERVER, std::vector<std::string>{"--port", std::to_string(port), "--account",
                                                     "amber:pw", "--account", "birch:pw"});
    ASSERT_TRUE(server->WaitForOutput("listening"));
  }
  void TearDown() override {
    peers.clear();
    for (auto& [name, c] : clients) {
      if (!c->done) {
        server->Send("kick " + name);
        c->Join();
      }
    }
  }
  // A signed-in client with voice enabled in the given mode; `card` sets its sound card up.
  HeadlessClient& Join(const std::string& name, bool setup_ran = true, bool ptt = false,
                       const std::function<void(HeadlessClient&)>& card = {}) {
    auto c = std::make_unique<HeadlessClient>(port, name, "pw");
    if (card) card(*c);
    Settings s = NewFileSettings(5);
    s.voice_enabled = 1;
    s.voice_push_to_talk = ptt ? 1 : 0;
    auto bytes = EncodeSettings(s);
    c->dir.Write(kSettingsFileName, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    voice::AudioSetup setup;
    setup.echo_cancellation = echo_cancellation;
    if (setup_ran) voice::SaveAudioSetup(AudioSetupFile(c->dir.path() / "config"), setup);
    c->audio.keep_records = true;
    c->Start();
    EXPECT_TRUE(c->Running());
    clients.emplace_back(name, std::move(c));
    return *clients.back().second;
  }
  static int Count(HeadlessClient& c, const std::string& call) {
    int n = 0;
    for (const auto& line : c.windows.Calls()) n += line == call;
    return n;
  }
  static std::string Check(int control, bool on) {
    return "check " + std::to_string(HeadlessClient::kMain) + ":" + std::to_string(control) +
           (on ? " 1" : " 0");
  }
  // The identity number `c` knows `who` by (its id on the server session).
  static std::uint32_t Identity(HeadlessClient& c, const std::string& who) {
    for (auto& p : c.ctx.tables.roster) {
      std::lock_guard lock(p.lock);
      if (p.online && p.handle.View() == who) return p.identity_number;
    }
    return 0;
  }
  // Includes `who` in `c`'s voice transmissions.
  static bool Include(HeadlessClient& c, const std::string& who) {
    return c.WaitFor([&] {
      for (auto& p : c.ctx.tables.roster) {
        std::lock_guard lock(p.lock);
        if (p.online && p.handle.View() == who) {
          p.voice_include = 1;
          return true;
        }
      }
      return false;
    });
  }
  // `heard` holds `sentence` whole: from its first loud sample to its last, about as long and
  // at least about as loud as it was said.
  static void ExpectHeardWhole(const Samples& heard, const Samples& sentence) {
    const long from = test::FirstLoud(heard, 0.02);
    ASSERT_GE(from, 0) << "nothing was heard";
    long to = static_cast<long>(heard.size()) - 1;
    while (to > from && std::abs(heard[to]) < 0.02 * 32768) --to;
    const test::SoxStat said = test::Measure(sentence),
                        got = test::Measure(Samples(heard.begin() + from, heard.begin() + to + 1));
    ASSERT_TRUE(said.ok && got.ok);
    std::printf("sentence: said %.2f s rms %.3f, heard %.2f s rms %.3f\n", said.seconds, said.rms,
                got.seconds, got.rms);
    EXPECT_NEAR(got.seconds, said.seconds, 0.25 * said.seconds);
    EXPECT_GT(got.rms, 0.3 * said.rms);
  }
  // Waits until the server has been told, since `from` lines of its output, whom a client talks
  // to; returns the listeners named ("nobody", "everyone" or ids).
  std::string NextTargets(std::size_t* seen) {
    std::string found;
    test::WaitUntil([&] {
      const std::string out = server->Output();
      auto at = out.find("talks to ", *seen);
      if (at == std::string::npos) return false;
      const auto end = out.find('\n', at);
      if (end == std::string::npos) return false;
      found = out.substr(at + 9, end - at - 9);
      *seen = end;
      return true;
    });
    return found;
  }

  bool echo_cancellation = true;  // for the clients joining next
  std::uint32_t port = 0;
  std::unique_ptr<ChildProcess> server;
  std::vector<std::pair<std::string, std::unique_ptr<HeadlessClient>>> clients;
  std::vector<std::unique_ptr<ChildProcess>> peers;
};

TEST_F(VoiceEndToEnd, SpeechReachesOnlyIncludedPlayersAtItsPitchAndTheIndicatorsFollow) {
  HeadlessClient& amber = Join("amber");
  HeadlessClient& birch = Join("birch");
  ASSERT_TRUE(amber.WaitFor([&] { return amber.ctx.voice_connected.load(); }));
  ASSERT_TRUE(birch.WaitFor([&] { return birch.ctx.voice_connected.load(); }));
  peers.push_back(std::make_unique<ChildProcess>(
      TALMERIS_PEERSIM, std::vector<std::string>{"--port", std::to_string(birch.ctx.peer_host_port),
                                                 "--view", "--rate", "0"}));
  ASSERT_TRUE(peers.back()->WaitForOutput("welcomed"));

  // Auto mode with nobody included: nobody hears amber, and she never transmits.
  Samples speech = test::Tone(600, 0.5, -12);
  amber.audio.Speak(speech);
  ASSERT_TRUE(amber.WaitFor([&] { return amber.audio.Pending() == 0; }));
  const std::size_t frames = amber.audio.CapturedFrames().size();
  ASSERT_TRUE(amber.WaitFor([&] { return amber.audio.CapturedFrames().size() > frames + 10; }));
  EXPECT_LT(test::FirstLoud(test::PlayedSamples(birch.audio), 0.01), 0) << "birch heard amber";
  EXPECT_EQ(Count(amber, Check(kCtlTx, true)), 0);

  // Birch included: the once-per-second refresh names him to the server.
  ASSERT_TRUE(Include(amber, "birch"));
  std::size_t seen = 0;
  std::string targets;
  while ((targets = NextTargets(&seen)) == "nobody") {
  }
  EXPECT_TRUE(std::regex_match(targets, std::regex("[0-9]+"))) << targets;

  // Two bursts 100 ms apart make one talk spurt; the gap times the path mid-spurt.
  const auto latency = test::MidSpurtMouthToEarMs(amber.audio, birch.audio, [&] {
    return Count(birch, Check(kCtlRx, false)) >= 1 && Count(amber, Check(kCtlTx, false)) >= 1;
  });
  EXPECT_EQ(Count(amber, Check(kCtlTx, true)), 1);
  EXPECT_EQ(Count(amber, Check(kCtlTx, false)), 1);
  EXPECT_EQ(Count(birch, Check(kCtlRx, true)), 1);
  EXPECT_EQ(Count(birch, Check(kCtlRx, false)), 1);
  // The companions hear the end of the transmission once.
  ASSERT_TRUE(peers.back()->WaitForOutput("short 10 0 18 0 0 0"));
  const std::string out = peers.back()->Output();
  EXPECT_EQ(out.find("short 10 0 18 0 0 0"), out.rfind("short 10 0 18 0 0 0"));

  // What birch heard: the tone at its pitch and level.
  const Samples heard = test::PlayedSamples(birch.audio);
  const long onset = test::FirstLoud(heard, 0.05);
  ASSERT_GE(onset, 0) << "birch heard nothing";
  const test::SoxStat stat =
      test::Measure(Samples(heard.begin() + onset + 4800, heard.begin() + onset + 14400));
  ASSERT_TRUE(stat.ok);
  EXPECT_NEAR(stat.rough_frequency, 600.0, 18.0);
  EXPECT_GT(stat.rms, 0.05);
  ASSERT_TRUE(latency) << "the second burst was not heard apart from the first";
  std::printf("mouth-to-ear latency mid-spurt: %.1f ms\n", *latency);
  RecordProperty("mouth_to_ear_ms", static_cast<int>(*latency));
}

TEST_F(VoiceEndToEnd, PushToTalkNamesTheTargetsOnceAndVoiceActivationIgnoresLowNoise) {
  HeadlessClient& amber = Join("amber", true, /*ptt=*/true);
  HeadlessClient& birch = Join("birch");
  ASSERT_TRUE(amber.WaitFor([&] { return amber.ctx.voice_connected.load(); }));
  ASSERT_TRUE(birch.WaitFor([&] { return birch.ctx.voice_connected.load(); }));
  ASSERT_TRUE(Include(amber, "birch"));
  ASSERT_TRUE(Include(birch, "amber"));
  const std::string amber_id = std::to_string(Identity(birch, "amber"));
  const std::string birch_id = std::to_string(Identity(amber, "birch"));
  auto amber_targets = [&] {
    std::vector<std::string> named;
    std::istringstream lines(server->Output());
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("voice " + amber_id + " talks to ", 0) == 0)
        named.push_back(line.substr(line.find("talks to ") + 9));
    }
    return named;
  };
  // In PTT mode nobody hears amber until the key goes down; held, she names birch once.
  ASSERT_EQ(amber_targets(), std::vector<std::string>{"nobody"});
  amber.keyboard.down = true;
  ASSERT_TRUE(amber.WaitFor([&] { return Count(amber, "down 7:1026 1") == 1; }));
  amber.audio.Speak(test::Tone(440, 0.4, -12));
  ASSERT_TRUE(birch.WaitFor([&] { return Count(birch, Check(kCtlRx, false)) == 1; }));
  amber.keyboard.down = false;
  ASSERT_TRUE(amber.WaitFor([&] { return Count(amber, "down 7:1026 0") == 1; }));
  amber.audio.Speak(test::Tone(440, 0.4, -12));
  ASSERT_TRUE(amber.WaitFor([&] { return amber.audio.Pending() == 0; }));
  ASSERT_TRUE(amber.WaitFor([&] { return amber_targets().size() == 3; }));
  EXPECT_EQ(amber_targets(), (std::vector<std::string>{"nobody", birch_id, "nobody"}));
  EXPECT_EQ(Count(birch, Check(kCtlRx, true)), 1) << "birch heard amber after the key came up";

  // Birch in Auto mode: quiet noise never opens voice activation; a spoken sentence does, and
  // arrives about as long and as loud as it was said.
  birch.audio.Speak(test::Noise(1.0, -60));
  ASSERT_TRUE(birch.WaitFor([&] { return birch.audio.Pending() == 0; }));
  EXPECT_EQ(Count(birch, Check(kCtlTx, true)), 0);
  // Amber hears birch, then turns voice off and on again (a new engagement, its clock from 0):
  // the earlier talker is forgotten, so what birch says next is heard whole.
  birch.audio.Speak(test::Tone(500, 0.4, -12));
  ASSERT_TRUE(amber.WaitFor([&] { return Count(amber, Check(kCtlRx, false)) == 1; }));
  amber.pending_voice_toggles = 2;
  ASSERT_TRUE(amber.WaitFor([&] { return amber.pending_voice_toggles.load() == 0; }));
  ASSERT_TRUE(amber.WaitFor([&] { return amber.ctx.voice_connected.load(); }));
  const Samples sentence = test::Speak("Requesting clearance to dock at the northern ring.");
  ASSERT_FALSE(sentence.empty()) << "espeak-ng and sox are needed";
  amber.audio.ClearRecords();
  const int rx_off = Count(amber, Check(kCtlRx, false));  // the toggle unchecked it once
  birch.audio.Speak(sentence);
  ASSERT_TRUE(amber.WaitFor([&] { return Count(amber, Check(kCtlRx, false)) == rx_off + 1; }));
  ExpectHeardWhole(test::PlayedSamples(amber.audio), sentence);
}

TEST_F(VoiceEndToEnd, AStalledListenerCatchesUpAndAnEchoIsCancelledWhileNearSpeechPasses) {
  // Birch's card calls back every 20 ms with 10 ms of output latency; his microphone hears his
  // speaker 60 ms later at half the level (no headset), and he holds the push-to-talk key.
  HeadlessClient& amber = Join("amber");
  HeadlessClient& birch = Join("birch", true, /*ptt=*/true, [](HeadlessClient& c) {
    c.audio.period_samples = 960;
    c.audio.output_latency = 10ms;
    c.audio.echo_delay = 60ms;
    c.audio.echo_gain = 0.5f;
    c.keyboard.down = true;
  });
  ASSERT_TRUE(amber.WaitFor([&] { return amber.ctx.voice_connected.load(); }));
  ASSERT_TRUE(birch.WaitFor([&] { return birch.ctx.voice_connected.load(); }));
  ASSERT_TRUE(Include(amber, "birch"));
  ASSERT_TRUE(Include(birch, "amber"));
  std::size_t seen = 0;
  for (int named = 0; named < 2;) named += NextTargets(&seen) != "nobody";

  // Amber's voice comes back to her from birch's microphone. From the second second of her
  // first sentence on, what he sends back is at least 20 dB below what his microphone took in:
  // until his canceller has learned the echo's path, a frame that may be only echo is held back.
  // (This comes first: the pure tones below are no speech to learn an echo from.)
  test::Samples talk, sentence = test::Speak("Vector two seven zero, climbing to the ring.");
  ASSERT_FALSE(sentence.empty()) << "espeak-ng and sox are needed";
  while (talk.size() < 8 * 48000) test::Append(talk, sentence);
  amber.audio.ClearRecords();
  birch.audio.ClearRecords();
  amber.audio.Speak(talk);
  ASSERT_TRUE(amber.WaitFor([&] { return amber.audio.Pending() == 0; }, 30s));
  const test::Samples at_birch = test::PlayedSamples(birch.audio);
  const long start = test::FirstLoud(at_birch, 0.01);
  ASSERT_GE(start, 0) << "birch did not hear amber";
  const auto from = static_cast<std::size_t>(start) + 48000;
  const double echo = 0.5 * test::Rms(at_birch, from, from + 6 * 48000);
  const double back = test::Rms(test::PlayedSamples(amber.audio), from, from + 6 * 48000 + 9600);
  const double erle = 20 * std::log10(echo / std::max(back, 1.0));
  std::printf("echo return loss enhancement from the second second: %.1f dB\n", erle);
  EXPECT_GT(erle, 20.0);

  // Amber speaks without a pause; birch's voice thread stops for 0.3 s after 1 s. Within 2 s of
  // it his delay is what it was before, give or take one of his card's periods. The delays are
  // counted on the cards' own clocks, so a busy machine moves them only where the client
  // itself falls behind; a backlog the stall left would add most of its 300 ms.
  bool stalled = false;
  const int rx_off = Count(birch, Check(kCtlRx, false));
  const auto marks = test::MarkerLatencies(
      amber.audio, birch.audio, 5.0,
      [&](double t) {
        if (t >= 1.0 && !stalled) birch.audio.StallReader(300ms);
        stalled = stalled || t >= 1.0;
      },
      [&] { return Count(birch, Check(kCtlRx, false)) > rx_off; });
  std::vector<double> before, after;
  for (const auto& m : marks) {
    if (m.spoken_s >= 0.5 && m.spoken_s < 1.0) before.push_back(m.latency_ms);
    if (m.spoken_s >= 3.3) after.push_back(m.latency_ms);
  }
  ASSERT_GE(before.size(), 2u);
  ASSERT_GE(after.size(), 6u);
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  EXPECT_LE(median(after), median(before) + 20.0) << "before the stall " << median(before);

  // Birch's own voice passes the canceller whole.
  amber.audio.ClearRecords();
  birch.audio.Speak(sentence);
  ASSERT_TRUE(birch.WaitFor([&] { return birch.audio.Pending() == 0; }));
  const std::size_t periods = sentence.size() / voice::kFrameSamples + 50;
  ASSERT_TRUE(amber.WaitFor([&] { return amber.audio.PlayedFrames().size() > periods; }));
  ExpectHeardWhole(test::PlayedSamples(amber.audio), sentence);
}

// A player in a noisy room, silent for a while and then saying something short: the noise
// suppression learned the room while nothing was sent, so the words heard stand further above
// the room heard after them (while voice activation holds open) than they did in the room.
// Without learning, the room's share comes down 5 dB; with one frame in four learned from, 9.3;
// with every frame, 11.5.
TEST_F(VoiceEndToEnd, TheRoomIsLearnedWhileNothingIsSent) {
  HeadlessClient& amber = Join("amber");
  HeadlessClient& birch = Join("birch");
  ASSERT_TRUE(amber.WaitFor([&] { return amber.ctx.voice_connected.load(); }));
  ASSERT_TRUE(birch.WaitFor([&] { return birch.ctx.voice_connected.load(); }));
  ASSERT_TRUE(Include(birch, "amber"));
  Samples said = test::Noise(3.0, -45, 3);  // below voice activation
  const std::size_t words_at = said.size();
  test::Append(said, test::Tone(500, 0.1, -12));
  test::Append(said, test::Noise(0.4, -45, 5));
  birch.audio.Speak(said);
  ASSERT_TRUE(amber.WaitFor([&] { return Count(amber, Check(kCtlRx, false)) == 1; }));
  const Samples heard = test::PlayedSamples(amber.audio);
  const long onset = test::FirstLoud(heard, 0.1);
  ASSERT_GE(onset, 0) << "amber heard nothing";
  // The words, and from 30 to 150 ms after them the room.
  const auto at = static_cast<std::size_t>(onset);
  const double said_share =
      test::Rms(said, 0, words_at) / test::Rms(said, words_at, words_at + 4800);
  const double heard_share =
      test::Rms(heard, at + 6240, at + 12000) / test::Rms(heard, at + 480, at + 4320);
  const double gain_db = 20 * std::log10(said_share / heard_share);
  std::printf("the room came down %.1f dB against the words\n", gain_db);
  EXPECT_GT(gain_db, 7.5);
}

TEST_F(VoiceEndToEnd, AnAudioSetupNeverRunWarnsOnceAndNeverConnects) {
  HeadlessClient& amber = Join("amber", /*setup_ran=*/false);
  ASSERT_TRUE(amber.WaitFor([&] { return amber.Boxes().size() == 1; }));
  // A second of ticks later there is still one box and no attempt to connect.
  const std::size_t frames = amber.audio.CapturedFrames().size();
  const auto until = std::chrono::steady_clock::now() + 1s;
  test::WaitUntil([&] { return std::chrono::steady_clock::now() > until; }, 2s);
  const auto boxes = amber.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Please first configure the audio hardware under Configuration...");
  EXPECT_EQ(boxes[0].caption, "Hardware Test Needed");
  EXPECT_EQ(boxes[0].type, kMbIconWarning);
  EXPECT_FALSE(amber.ctx.voice_connected.load());
  EXPECT_FALSE(amber.audio.Opened());
  EXPECT_EQ(amber.audio.CapturedFrames().size(), frames);
}

}  // namespace
}  // namespace talmeris
