// Voice chat figures: mouth-to-ear latency in the middle of a talk spurt (the two in-memory
// devices keep their 20 ms clocks' phase for a run, so the rounds of one run agree and runs
// differ by up to a frame), and the processor
// time of a talker's and a listener's voice thread, for two client cores with sound devices in
// memory talking through the development server on loopback. Prints; asserts nothing.
//   voice_bench [ROUNDS]
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "devserver.h"
#include "support/audio_tools.h"
#include "support/headless_client.h"
#include "support/voice_timing.h"

using namespace talmeris;
using namespace std::chrono_literals;

namespace {

// Processor seconds used so far by each thread of this process, by thread name.
std::map<std::string, double> ThreadSeconds() {
  std::map<std::string, double> seconds;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  DIR* tasks = opendir("/proc/self/task");
  while (dirent* e = tasks ? readdir(tasks) : nullptr) {
    if (e->d_name[0] == '.') continue;
    const std::string dir = std::string("/proc/self/task/") + e->d_name;
    std::string name, stat;
    std::getline(std::ifstream(dir + "/comm"), name);
    std::getline(std::ifstream(dir + "/stat"), stat);
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skip;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 13; ++i) fields >> skip;
    fields >> utime >> stime;
    seconds[name] += static_cast<double>(utime + stime) / tick;
  }
  if (tasks) closedir(tasks);
  return seconds;
}

std::unique_ptr<test::HeadlessClient> Join(std::uint32_t port, const std::string& name) {
  auto c = std::make_unique<test::HeadlessClient>(port, name, "pw");
  Settings s = NewFileSettings(5);
  s.voice_enabled = 1;
  auto bytes = EncodeSettings(s);
  c->dir.Write(kSettingsFileName, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  voice::SaveAudioSetup(AudioSetupFile(c->dir.path() / "config"), {});
  c->voice.SetThreadName("voice-" + name);
  c->audio.keep_records = true;
  c->Start();
  return c;
}

int Count(test::HeadlessClient& c, const std::string& call) {
  int n = 0;
  for (const auto& line : c.windows.Calls()) n += line == call;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  devserver::Options options;
  options.port = test::NextTestPort();
  options.accounts = {{"amber", "pw", "Amber Lee", 1}, {"birch", "pw", "Birch Ray", 1}};
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
  test::WaitUntil([&] {
    for (auto& p : amber->ctx.tables.roster) {
      std::lock_guard lock(p.lock);
      if (p.online && p.handle.View() == "birch") {
        p.voice_include = 1;
        return true;
      }
    }
    return false;
  });
  std::this_thread::sleep_for(1500ms);  // a bench: let the once-per-second refresh happen

  // Processor time: a quiet phase, then a phase of continuous speech from amber to birch.
  test::Samples speech = test::Speak("Vector two seven zero, climbing to the northern ring.");
  if (speech.empty()) speech = test::Noise(2.0, -20);
  const double phase = 6.0;
  auto t0 = ThreadSeconds();
  std::this_thread::sleep_for(std::chrono::duration<double>(phase));
  auto t1 = ThreadSeconds();
  test::Samples talk;
  while (talk.size() < phase * 48000 + 48000) test::Append(talk, speech);
  amber->audio.Speak(talk);
  std::this_thread::sleep_for(500ms);
  auto t2 = ThreadSeconds();
  std::this_thread::sleep_for(std::chrono::duration<double>(phase));
  auto t3 = ThreadSeconds();
  test::WaitUntil([&] { return amber->audio.Pending() == 0; }, 20s);
  auto share = [&](const char* thread, const std::map<std::string, double>& a,
                   const std::map<std::string, double>& b) {
    return 100.0 * (b.at(thread) - a.at(thread)) / phase;
  };
  const double amber_idle = share("voice-amber", t0, t1), birch_idle = share("voice-birch", t0, t1);
  const double amber_talk = share("voice-amber", t2, t3), birch_talk = share("voice-birch", t2, t3);
  std::printf("voice thread, quiet:        %.2f %% of a core each (amber %.2f, birch %.2f)\n",
              (amber_idle + birch_idle) / 2, amber_idle, birch_idle);
  std::printf("talker (amber) speaking:    %.2f %% of a core (+%.2f over quiet)\n", amber_talk,
              amber_talk - amber_idle);
  std::printf("listener (birch) hearing:   %.2f %% of a core (+%.2f over quiet)\n", birch_talk,
              birch_talk - birch_idle);

  // Mouth to ear in the middle of a spurt, round after round.
  std::vector<double> latencies;
  for (int r = 0; r < rounds; ++r) {
    // The last spurt has ended at birch before the next one starts.
    test::WaitUntil(
        [&] { return Count(*birch, "check 7:1078 0") == Count(*birch, "check 7:1078 1"); });
    const int rx_off = Count(*birch, "check 7:1078 0");
    auto ms = test::MidSpurtMouthToEarMs(amber->audio, birch->audio,
                                         [&] { return Count(*birch, "check 7:1078 0") > rx_off; });
    if (ms) latencies.push_back(*ms);
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    std::printf("mouth to ear mid-spurt over %zu rounds: min %.1f  median %.1f  max %.1f ms\n",
                latencies.size(), latencies.front(), latencies[latencies.size() / 2],
                latencies.back());
  }
  if (static_cast<int>(latencies.size()) < rounds)
    std::printf("%d rounds not measured\n", rounds - static_cast<int>(latencies.size()));
  server.Kick("amber");
  server.Kick("birch");
  amber->Join();
  birch->Join();
  server.Stop();
  return 0;
}
