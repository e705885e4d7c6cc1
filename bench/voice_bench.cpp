// Voice chat figures for two client cores talking through the development server on loopback,
// each with an in-memory sound card whose callback comes every 10 ms: the processor time of a
// talker's and a listener's voice thread; mouth-to-ear latency in the middle of a talk spurt
// over ROUNDS rounds (between rounds the listener's card stalls a random part of a period, so
// the two cards' phases differ from round to round as they would between real machines); the
// latency through a 0.3 s stall of the listener's voice thread; and how much of an echo (the
// listener's speaker heard by its microphone 60 ms later, 6 dB down) comes back to the talker,
// second by second from the first sentence; and, through a relay with jitter and loss, mouth to
// ear, how much is heard as spoken and in how many sentences the delay changed, on 10 ms cards
// and on 20 ms cards at both ends.
// Prints; asserts nothing.
//   voice_bench [ROUNDS] [echo|relay]     (only the echo, or only the rounds through the relay)
#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "devserver.h"
#include "support/audio_tools.h"
#include "support/fault_proxy.h"
#include "support/headless_client.h"
#include "support/voice_timing.h"

using namespace talmeris;
using namespace std::chrono_literals;

namespace {

// Processor seconds used so far by each thread of this process, by thread name (the
// scheduler's own count, in nanoseconds).
std::map<std::string, double> ThreadSeconds() {
  std::map<std::string, double> seconds;
  DIR* tasks = opendir("/proc/self/task");
  while (dirent* e = tasks ? readdir(tasks) : nullptr) {
    if (e->d_name[0] == '.') continue;
    const std::string dir = std::string("/proc/self/task/") + e->d_name;
    std::string name;
    double ns = 0;
    std::getline(std::ifstream(dir + "/comm"), name);
    std::ifstream(dir + "/schedstat") >> ns;
    seconds[name] += ns / 1e9;
  }
  if (tasks) closedir(tasks);
  return seconds;
}

std::unique_ptr<test::HeadlessClient> Join(
    std::uint32_t port, const std::string& name, bool ptt = false, bool echo_cancellation = true,
    int card_period = voice::kFrameSamples,
    const net::EnetOptions& transport = test::HeadlessClient::Options()) {
  auto c = std::make_unique<test::HeadlessClient>(port, name, "pw", transport);
  Settings s = NewFileSettings(5);
  s.voice_enabled = 1;
  s.voice_push_to_talk = ptt ? 1 : 0;
  auto bytes = EncodeSettings(s);
  c->dir.Write(kSettingsFileName, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  voice::AudioSetup setup;
  setup.echo_cancellation = echo_cancellation;
  voice::SaveAudioSetup(AudioSetupFile(c->dir.path() / "config"), setup);
  c->voice.SetThreadName("voice-" + name);
  c->audio.keep_records = true;
  c->audio.period_samples = card_period;
  c->main_limit = std::chrono::seconds(900);
  if (ptt) {  // a player without a headset, holding the key: what it hears is sent back
    c->audio.echo_delay = std::chrono::milliseconds(60);
    c->audio.echo_gain = 0.5f;
    c->keyboard.down = true;
  }
  c->Start();
  return c;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

int Count(test::HeadlessClient& c, const std::string& call) {
  int n = 0;
  for (const auto& line : c.windows.Calls()) n += line == call;
  return n;
}

// `c` includes `other` in voice once the server has introduced them.
void Include(test::HeadlessClient& c, const std::string& other) {
  test::WaitUntil([&] {
    for (auto& p : c.ctx.tables.roster) {
      std::lock_guard lock(p.lock);
      if (p.online && p.handle.View() == other) {
        p.voice_include = 1;
        return true;
      }
    }
    return false;
  });
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  const std::string only = argc > 2 ? argv[2] : "";
  devserver::Options options;
  options.port = test::NextTestPort();
  options.accounts = {{"amber", "pw", "Amber Lee", 1}, {"birch", "pw", "Birch Ray", 1},
                      {"carol", "pw", "Carol Fen", 1}, {"dana", "pw", "Dana Holt", 1},
                      {"erin", "pw", "Erin Vale", 1},  {"fern", "pw", "Fern Oak", 1},
                      {"gale", "pw", "Gale Moss", 1},  {"hale", "pw", "Hale Dunn", 1},
                      {"iris", "pw", "Iris Ward", 1}};
  devserver::DevServer server(options);
  if (!server.Start()) {
    std::fprintf(stderr, "the development server did not start\n");
    return 1;
  }
  auto amber = Join(options.port, "amber");
  auto birch = Join(options.port, "birch");
  if (!test::WaitUntil(
          [&] { return amber->ctx.voice_connected.load() && birch->ctx.voice_connected.load(); })) {
    std::fprintf(stderr, "voice did not connect\n");
    return 1;
  }
  // Amber includes birch; her Auto refresh names him within a second.
  Include(*amber, "birch");
  std::this_thread::sleep_for(1500ms);  // a bench: let the once-per-second refresh happen

  test::Samples speech = test::Speak("Vector two seven zero, climbing to the northern ring.");
  if (speech.empty()) speech = test::Noise(2.0, -20);
  if (only.empty()) {
    // Processor time: a quiet phase, then a phase of continuous speech from amber to birch.
    // Each phase is measured in one-second windows: on a shared machine some windows are
    // stretched by other work, so the median says more than the mean.
    const int windows = 6;
    const double phase = windows;
    auto shares = [&](std::initializer_list<const char*> threads) {
      std::map<std::string, std::vector<double>> out;
      auto before = ThreadSeconds();
      for (int w = 0; w < windows; ++w) {
        std::this_thread::sleep_for(1s);
        auto after = ThreadSeconds();
        for (const char* t : threads) out[t].push_back(100.0 * (after.at(t) - before.at(t)));
        before = after;
      }
      return out;
    };
    auto print = [](const char* what, const std::vector<double>& v) {
      std::printf("%-27s %.2f %% of a core (1 s windows %.2f to %.2f)\n", what, Percentile(v, 0.5),
                  *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
    };
    auto quiet = shares({"voice-amber", "voice-birch"});
    // A real microphone's room: noise at -60 dBFS, far below voice activation.
    amber->audio.Speak(test::Noise(phase + 1.0, -60));
    std::this_thread::sleep_for(500ms);
    auto room = shares({"voice-amber"});
    test::WaitUntil([&] { return amber->audio.Pending() == 0; }, 20s);
    test::Samples talk;
    while (talk.size() < phase * 48000 + 48000) test::Append(talk, speech);
    amber->audio.Speak(talk);
    std::this_thread::sleep_for(500ms);
    auto talking = shares({"voice-amber", "voice-birch"});
    test::WaitUntil([&] { return amber->audio.Pending() == 0; }, 20s);
    print("voice thread, quiet (amber):", quiet["voice-amber"]);
    print("quiet in a -60 dBFS room:", room["voice-amber"]);
    print("talker (amber) speaking:", talking["voice-amber"]);
    print("listener (birch) hearing:", talking["voice-birch"]);

    // Mouth to ear in the middle of a spurt, round after round.
    std::vector<double> latencies;
    std::srand(7);
    for (int r = 0; r < rounds; ++r) {
      // The last spurt has ended at birch before the next one starts.
      test::WaitUntil(
          [&] { return Count(*birch, "check 7:1078 0") == Count(*birch, "check 7:1078 1"); });
      birch->audio.StallCallback(std::chrono::microseconds(std::rand() % 10000));
      const int rx_off = Count(*birch, "check 7:1078 0");
      auto ms = test::MidSpurtMouthToEarMs(
          amber->audio, birch->audio, [&] { return Count(*birch, "check 7:1078 0") > rx_off; });
      if (ms) latencies.push_back(*ms);
    }
    if (!latencies.empty()) {
      std::printf("mouth to ear mid-spurt over %zu rounds: p50 %.1f  p99 %.1f  max %.1f ms\n",
                  latencies.size(), Percentile(latencies, 0.5), Percentile(latencies, 0.99),
                  *std::max_element(latencies.begin(), latencies.end()));
    }
    if (static_cast<int>(latencies.size()) < rounds)
      std::printf("%d rounds not measured\n", rounds - static_cast<int>(latencies.size()));

    // Through a stall: amber speaks without a pause; at 1 s birch's voice thread stops for 0.3 s
    // (the card goes on), or his card stops calling back for 0.3 s (as when the whole program
    // stops, and the network's frames wait for it).
    for (const bool thread : {true, false}) {
      bool stalled = false;
      const int rx_off = Count(*birch, "check 7:1078 0");
      const auto marks = test::MarkerLatencies(
          amber->audio, birch->audio, 5.0,
          [&](double t) {
            if (t >= 1.0 && !stalled) {
              if (thread)
                birch->audio.StallReader(std::chrono::milliseconds(300));
              else
                birch->audio.StallCallback(std::chrono::milliseconds(300));
              stalled = true;
            }
          },
          [&] { return Count(*birch, "check 7:1078 0") > rx_off; });
      std::printf("through a 0.3 s stall of the listener's %s at 1 s (mouth to ear):\n ",
                  thread ? "voice thread" : "sound card");
      for (const auto& m : marks) std::printf(" %.1fs:%.0f", m.spoken_s, m.latency_ms);
      std::printf(" ms\n");
    }
  }
  if (only.empty() || only == "echo") {
    // Echo: amber speaks; birch, holding the push-to-talk key, hears her in his microphone 60 ms
    // later at half the level. What amber hears back, against what birch's microphone heard of
    // her, is the echo return loss enhancement (with his echo cancellation on, then off).
    for (const bool cancel : {true, false}) {
      auto carol = Join(options.port, cancel ? "carol" : "dana", /*ptt=*/true, cancel);
      test::WaitUntil([&] { return carol->ctx.voice_connected.load(); });
      Include(*amber, cancel ? "carol" : "dana");
      Include(*carol, "amber");
      std::this_thread::sleep_for(1500ms);  // both refreshes name the other
      amber->audio.ClearRecords();
      carol->audio.ClearRecords();
      test::Samples talk;
      while (talk.size() < 8 * 48000) test::Append(talk, speech);
      amber->audio.Speak(talk);
      test::WaitUntil([&] { return amber->audio.Pending() == 0; }, 20s);
      std::this_thread::sleep_for(500ms);
      // Second by second from the first sentence: amber's voice as carol's microphone took it
      // (half what carol played), against what came back to amber.
      const test::Samples played_at_carol = test::PlayedSamples(carol->audio);
      const test::Samples back = test::PlayedSamples(amber->audio);
      const long start = std::max(0l, test::FirstLoud(played_at_carol, 0.01));
      std::printf("echo cancellation %s, ERLE by second of far speech:", cancel ? "on " : "off");
      for (int s = 0; s < 8; ++s) {
        const auto from = static_cast<std::size_t>(start + s * 48000);
        const double echo = 0.5 * test::Rms(played_at_carol, from, from + 48000);
        const double returned = test::Rms(back, from, from + 48000 + 9600);
        std::printf(" %.0f", 20 * std::log10(std::max(echo, 1.0) / std::max(returned, 1.0)));
      }
      std::printf(" dB\n");
      server.Kick(cancel ? "carol" : "dana");
      carol->Join();
    }
  }
  auto finish = [&] {
    server.Kick("amber");
    server.Kick("birch");
    amber->Join();
    birch->Join();
    server.Stop();
    return 0;
  };
  if (!only.empty() && only != "relay") return finish();
  // Through a relay that delays each datagram to the listener by 0 to 40 ms (so some overtake
  // others) and loses some: mouth to ear mid-spurt, the share of 20 ms windows of speech heard
  // as spoken (waveform correlation at least 0.8), and in how many sentences the delay changed
  // (a frame dropped or inserted) rather than in the pauses between them.
  test::Samples three, sentences;
  for (const char* line : {"Vector two seven zero, climbing to the northern ring.",
                           "Hold your fire, we are friendly, repeat, friendly.",
                           "Form up on my left wing and follow me in."}) {
    test::Append(three, test::Speak(line));
    test::Append(three, test::Silence(0.5));
  }
  test::Append(sentences, three);
  test::Append(sentences, three);
  struct Condition {
    const char* name;
    int jitter_ms, loss_percent;
    int card_period = voice::kFrameSamples;
  };
  for (const Condition& condition :
       {Condition{"erin", 0, 0}, Condition{"fern", 0, 0, 2 * voice::kFrameSamples},
        Condition{"gale", 40, 0}, Condition{"hale", 40, 5}, Condition{"iris", 40, 15}}) {
    const auto relay_port = static_cast<std::uint16_t>(test::NextTestPort());
    test::Faults faults;
    faults.jitter_ms = condition.jitter_ms;
    faults.loss_percent = condition.loss_percent;
    test::FaultProxy relay(relay_port, static_cast<std::uint16_t>(options.port), faults, 11);
    // Through 15 % loss each way, a connect now and then runs out of time (the transport's
    // first resends wait long); a player would try again, and so does the bench. The listener
    // has a player's peer timeouts: with a test's short ones, a few resends lost in a row end
    // the session in the middle of the sentences.
    std::unique_ptr<test::HeadlessClient> listener;
    for (int attempt = 0; attempt < 3 && !listener; ++attempt) {
      listener =
          Join(relay_port, condition.name, false, true, condition.card_period, net::EnetOptions{});
      if (test::WaitUntil([&] { return listener->ctx.voice_connected.load(); }, 20s)) break;
      std::printf("(%s did not connect through the relay; joining again)\n", condition.name);
      server.Kick(condition.name);
      listener->Join();
      listener.reset();
    }
    if (!listener) continue;
    // Cards with another period are at both ends: carol talks on one.
    std::unique_ptr<test::HeadlessClient> own_talker;
    test::HeadlessClient* talker = amber.get();
    if (condition.card_period != voice::kFrameSamples) {
      own_talker = Join(options.port, "carol", false, true, condition.card_period);
      talker = own_talker.get();
    }
    test::WaitUntil(
        [&] { return listener->ctx.voice_connected.load() && talker->ctx.voice_connected.load(); },
        20s);
    Include(*talker, condition.name);
    std::this_thread::sleep_for(1500ms);  // the talker's refresh names the listener
    std::vector<double> delays;
    for (int r = 0; r < std::max(3, rounds / 2); ++r) {
      test::WaitUntil(
          [&] { return Count(*listener, "check 7:1078 0") == Count(*listener, "check 7:1078 1"); });
      // As above, the two cards' phases differ from round to round.
      listener->audio.StallCallback(
          std::chrono::microseconds(std::rand() % (condition.card_period * 1000000 / 48000)));
      const int rx_off = Count(*listener, "check 7:1078 0");
      auto ms = test::MidSpurtMouthToEarMs(talker->audio, listener->audio, [&] {
        return Count(*listener, "check 7:1078 0") > rx_off;
      });
      if (ms) delays.push_back(*ms);
    }
    test::SpeechHeard heard;
    if (!sentences.empty()) {
      test::WaitUntil(
          [&] { return Count(*listener, "check 7:1078 0") == Count(*listener, "check 7:1078 1"); });
      listener->audio.ClearRecords();
      talker->audio.Speak(sentences);
      test::WaitUntil([&] { return talker->audio.Pending() == 0; }, 40s);
      std::this_thread::sleep_for(500ms);
      heard = test::CompareSpeech(sentences, test::PlayedSamples(listener->audio));
      if (!listener->ctx.voice_connected.load())
        std::printf("(%s lost its voice session during the sentences)\n", condition.name);
    }
    std::printf(
        "relay with %2d ms jitter, %2d %% loss, %d ms cards: mouth to ear p50 %.1f p99 "
        "%.1f ms; %.0f %% of %d windows heard as spoken; delay changed inside %d of %d "
        "sentences\n",
        condition.jitter_ms, condition.loss_percent, condition.card_period / 48,
        delays.empty() ? 0.0 : Percentile(delays, 0.5),
        delays.empty() ? 0.0 : Percentile(delays, 0.99), 100 * heard.Share(), heard.windows,
        heard.delay_changed, heard.sentences);
    for (auto& p : talker->ctx.tables.roster) {
      std::lock_guard lock(p.lock);
      if (p.handle.View() == condition.name) p.voice_include = 0;
    }
    server.Kick(condition.name);
    listener->Join();
    if (own_talker) {
      server.Kick("carol");
      own_talker->Join();
    }
  }

  return finish();
}
