// A whole session through a link that loses, delays, reorders and duplicates datagrams, on both
// the server's link and the companions': sign-in, a patch, a companion streaming, vessels,
// notices, offline messages and chat. Invariants at the end: nothing crashed or hung, every
// guaranteed message arrived once and in order, the tables agree, the files are whole.
// `soak_tests --soak-seconds=N` (or TALMERIS_SOAK_SECONDS=N) makes each condition stream N
// seconds instead of the quick default of 3.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <set>

#include "devserver.h"
#include "server/offline_messages.h"
#include "state/main_window.h"
#include "support/fault_proxy.h"
#include "support/headless_client.h"
#include "support/process.h"

namespace talmeris {
namespace {

using namespace std::chrono_literals;
using test::Faults;

struct Condition {
  const char* name;
  Faults faults;
};
void PrintTo(const Condition& c, std::ostream* os) {
  *os << c.name;
}

class Soak : public ::testing::TestWithParam<Condition> {};

int g_soak_seconds = 0;  // set by main from the command line or the environment

std::vector<std::uint8_t> Bytes(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>(random());
  return b;
}

TEST_P(Soak, ASessionKeepsEveryPromiseThroughAFaultyLink) {
  const Condition& condition = GetParam();
  const auto stream = std::chrono::seconds(g_soak_seconds > 0 ? g_soak_seconds : 3);
  test::TempDir patch;
  std::filesystem::create_directories(patch.path() / "data");
  const auto map = Bytes(70000, 7), note = Bytes(900, 8);
  patch.Write("data/map.bin", map);
  patch.Write("note.txt", note);

  devserver::Options options;
  options.port = test::NextTestPort();
  options.accounts = {{"quill", "secret", "Quill Ames", 1}};
  options.demo = true;
  options.own_path = true;
  options.patch_dir = patch.path().string();
  options.patch_revision = 6;
  devserver::DevServer server(options);
  ASSERT_TRUE(server.Start());
  const auto server_link = static_cast<std::uint16_t>(test::NextTestPort());
  test::FaultProxy server_proxy(server_link, static_cast<std::uint16_t>(options.port),
                                condition.faults, 21);
  ASSERT_TRUE(server_proxy.Running());

  test::HeadlessClient client(server_link, "quill", "secret");
  client.main_limit = stream + 120s;  // the session outlasts the streaming and the checks
  // The usual time-outs: the link is slow, not gone.
  auto network = net::CreateEnetNetwork(client.capture.Hooked({}));
  client.ctx.ports.network = network.get();
  client.Start();
  ASSERT_TRUE(test::WaitUntil([&] { return client.ctx.connect_stage.load() >= 14; }, 60s))
      << "not signed in through " << condition.name << ", stage " << client.ctx.connect_stage.load()
      << ", last line "
      << (client.ctx.event_log.Count() ? client.ctx.event_log.Line(client.ctx.event_log.Count() - 1)
                                       : "");

  // A companion through its own faulty link.
  const auto peer_link = static_cast<std::uint16_t>(test::NextTestPort());
  test::FaultProxy peer_proxy(peer_link, static_cast<std::uint16_t>(client.ctx.peer_host_port),
                              condition.faults, 22);
  test::ChildProcess view(TALMERIS_PEERSIM,
                          {"--port", std::to_string(peer_link), "--view", "--rate", "20"});
  ASSERT_TRUE(view.WaitForOutput("welcomed", 30s)) << view.Output();

  // Streaming: vessels from the server and the companion; guaranteed traffic numbered.
  constexpr int kNumbered = 20;
  const auto until = std::chrono::steady_clock::now() + stream;
  for (int i = 1; i <= kNumbered; ++i) {
    server.Notice("quill", "notice " + std::to_string(i));
    server.Offline("quill", "offline " + std::to_string(i));
    view.Send("chat line " + std::to_string(i));
    std::this_thread::sleep_for(stream / kNumbered);  // spread over the streaming time
  }
  std::this_thread::sleep_until(until);

  // Every notice once, in order.
  std::vector<std::string> want;
  for (int i = 1; i <= kNumbered; ++i) want.push_back("notice " + std::to_string(i));
  auto notices = [&] {
    std::vector<std::string> got;
    for (const auto& b : client.Boxes()) {
      if (b.caption == "Server Message") got.push_back(b.text);
    }
    return got;
  };
  EXPECT_TRUE(test::WaitUntil([&] { return notices().size() >= want.size(); }, 30s));
  EXPECT_EQ(notices(), want);
  // Every offline message once, in order, in messages.txt.
  for (auto& w : want) w.replace(0, 6, "offline");
  EXPECT_TRUE(test::WaitUntil(
      [&] { return ReadOfflineMessages(client.dir.path() / "messages.txt").size() >= want.size(); },
      30s));
  EXPECT_EQ(ReadOfflineMessages(client.dir.path() / "messages.txt"), want);
  // The patch arrived whole.
  EXPECT_EQ(client.dir.Read("data/map.bin"), map);
  EXPECT_EQ(client.dir.Read("note.txt"), note);
  EXPECT_EQ(client.dir.Read("patches.dat")[0], 6);
  // The companion was welcomed and kept hearing vessels.
  EXPECT_NE(view.Output().find("state "), std::string::npos);
  // The player list shows exactly the players the roster has online.
  std::set<std::string> online;
  for (auto& p : client.ctx.tables.roster) {
    std::lock_guard lock(p.lock);
    if (p.online) online.insert(std::string(p.handle.View()));
  }
  const auto listed = client.Listed();
  EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), online);
  EXPECT_EQ(listed.size(), online.size());

  // No hang: a kick ends the client as it should.
  server.Kick("quill");
  EXPECT_EQ(client.Join(), kEndKicked);
  std::printf("%s: %llu datagrams relayed, %llu lost, %llu duplicated\n", condition.name,
              static_cast<unsigned long long>(server_proxy.Relayed() + peer_proxy.Relayed()),
              static_cast<unsigned long long>(server_proxy.Lost() + peer_proxy.Lost()),
              static_cast<unsigned long long>(server_proxy.Duplicated() + peer_proxy.Duplicated()));
  server.Stop();
}

INSTANTIATE_TEST_SUITE_P(Links, Soak,
                         ::testing::Values(Condition{"loss", {10, 0, 0, 0}},
                                           Condition{"delay", {0, 30, 60, 0}},
                                           Condition{"duplication", {0, 0, 0, 20}},
                                           Condition{"everything", {5, 20, 40, 10}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace talmeris

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);  // leaves the arguments that are not Google Test's
  if (const char* env = std::getenv("TALMERIS_SOAK_SECONDS")) {
    talmeris::g_soak_seconds = std::atoi(env);
  }
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.rfind("--soak-seconds=", 0) == 0) {
      talmeris::g_soak_seconds = std::atoi(argv[i] + 15);
    } else {
      std::fprintf(stderr, "usage: %s [--soak-seconds=N] [Google Test flags]\n", argv[0]);
      return 2;
    }
  }
  return RUN_ALL_TESTS();
}
