// The hub end to end: the client core, the development server and companion simulators, each in
// its own process but the client's, over loopback.
#include <gtest/gtest.h>

#include <signal.h>
#include <limits>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "axis.h"
#include "fdr_file.h"
#include "state/recorder.h"
#include "support/headless_client.h"
#include "support/process.h"

namespace talmeris {
namespace {

using test::ChildProcess;
using test::HeadlessClient;
using namespace std::chrono_literals;

class HubEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::uint32_t port = test::NextTestPort();
    server = std::make_unique<ChildProcess>(
        TALMERIS_DEVSERVER,
        std::vector<std::string>{"--port", std::to_string(port), "--account", "quill:secret"});
    ASSERT_TRUE(server->WaitForOutput("listening"));
    client = std::make_unique<HeadlessClient>(port, "quill", "secret");
    client->ctx.peer_drain_sleep_ms = 50;  // keeps the welcome short; the order is the same
    client->Start();
    ASSERT_TRUE(client->Running());
  }
  void TearDown() override {
    peers.clear();
    if (client && !client->done) {
      server->Send("kick quill");
      client->Join();
    }
  }
  ChildProcess& Peer(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(client->ctx.peer_host_port)});
    peers.push_back(std::make_unique<ChildProcess>(TALMERIS_PEERSIM, args));
    return *peers.back();
  }
  bool Logged(const std::string& line) {
    return client->WaitFor([&] {
      for (int i = 0; i < client->ctx.event_log.Count(); ++i) {
        if (client->ctx.event_log.Line(i) == line) return true;
      }
      return false;
    });
  }
  std::unique_ptr<ChildProcess> server;
  std::unique_ptr<HeadlessClient> client;
  std::vector<std::unique_ptr<ChildProcess>> peers;
};

TEST_F(HubEndToEnd, WelcomeArrivesInOrder) {
  ChildProcess& view = Peer({"--view", "--rate", "0"});
  ASSERT_TRUE(view.WaitForOutput("welcomed"));
  std::istringstream lines(view.Output());
  std::vector<std::string> kinds;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string kind, type;
    words >> kind >> type;
    if (kind == "short" || kind == "text") kinds.push_back(kind + " " + type);
    if (kind == "state") kinds.push_back("state");
  }
  // The own vessel is the only one present (the server introduces each player's vessel).
  EXPECT_EQ(kinds, (std::vector<std::string>{"short 0", "short 14", "short 2", "text 9", "state",
                                             "text 21", "text 7", "text 15", "short 3"}));
  EXPECT_TRUE(Logged("Peer program application instance assigned slot:  0"));
}

TEST_F(HubEndToEnd, FourRegistrationsThenAFreedMiddleSlot) {
  ChildProcess& a = Peer({"--kind", "1", "--propulsion", "0", "--rate", "0"});
  ASSERT_TRUE(a.WaitForOutput("welcomed"));
  ChildProcess& b = Peer({"--kind", "1", "--propulsion", "0", "--rate", "0"});
  ASSERT_TRUE(b.WaitForOutput("welcomed"));
  ChildProcess& c = Peer({"--kind", "1", "--propulsion", "0", "--rate", "0"});
  ASSERT_TRUE(c.WaitForOutput("welcomed"));
  ChildProcess& d = Peer({"--kind", "1", "--propulsion", "0", "--rate", "0"});
  ASSERT_TRUE(d.WaitForOutput("refused"));
  EXPECT_TRUE(Logged("Too many peer programs currently attached!"));
  b.Kill(SIGTERM);
  EXPECT_TRUE(Logged("Peer application instance occupied slot:  1"));
  ChildProcess& e = Peer({"--kind", "1", "--propulsion", "0", "--rate", "0"});
  ASSERT_TRUE(e.WaitForOutput("welcomed"));
  EXPECT_TRUE(Logged("Peer program application instance assigned slot:  1"));
}

TEST_F(HubEndToEnd, PropulsionConflictAndReadmission) {
  ChildProcess& first = Peer({"--view", "--rate", "0"});
  ASSERT_TRUE(first.WaitForOutput("welcomed"));
  ChildProcess& second = Peer({"--view", "--rate", "0"});
  ASSERT_TRUE(second.WaitForOutput("refused"));
  EXPECT_TRUE(Logged("Propulsion already enabled through another peer!"));
  first.Kill(SIGTERM);
  second.Send("register");  // still connected without a slot; asks again
  EXPECT_TRUE(second.WaitForOutput("welcomed"));
}

TEST_F(HubEndToEnd, ConnectAndLeaveWithoutRegistering) {
  ChildProcess& silent = Peer({"--no-register"});
  ASSERT_TRUE(silent.WaitForOutput("connected"));
  silent.Kill(SIGTERM);
  EXPECT_TRUE(Logged("Could not find the instance of that application!"));
}

TEST_F(HubEndToEnd, SoundDepartureTellsTheOthers) {
  ChildProcess& view = Peer({"--view", "--rate", "0"});
  ASSERT_TRUE(view.WaitForOutput("welcomed"));
  ChildProcess& sound = Peer({"--sound"});
  ASSERT_TRUE(sound.WaitForOutput("welcomed"));
  sound.Kill(SIGTERM);
  ASSERT_TRUE(view.WaitForOutput("short 7 0 0 0 2 0"));
  std::string out = view.Output();
  EXPECT_LT(out.rfind("text 15 0"), out.rfind("short 7 0 0 0 2 0"));
}

TEST_F(HubEndToEnd, ServerTrafficReachesThePeersAndReportsReachTheOthers) {
  ChildProcess& view = Peer({"--view", "--rate", "30"});
  ASSERT_TRUE(view.WaitForOutput("welcomed"));
  ChildProcess& sound = Peer({"--sound"});
  ASSERT_TRUE(sound.WaitForOutput("welcomed"));
  // The view program's reports reach the sound program as vessel states of the own slot.
  const std::string own = "state " + std::to_string(client->ctx.tables.own_vessel_slot.load());
  EXPECT_TRUE(sound.WaitForOutput(own + "\n"));
  // A message of a size the server protocol does not know passes to every peer unchanged.
  server->Send("fill quill 100 7");
  EXPECT_TRUE(view.WaitForOutput("bytes 100"));
  EXPECT_TRUE(sound.WaitForOutput("bytes 100"));
}

TEST_F(HubEndToEnd, AnIndependentCompanionIsAdmittedAndWelcomed) {
  ChildProcess& independent = *peers.emplace_back(std::make_unique<ChildProcess>(
      TALMERIS_RAW_PEER, std::vector<std::string>{std::to_string(client->ctx.peer_host_port)}));
  EXPECT_TRUE(independent.WaitForOutput("welcomed after", 10s));
  EXPECT_TRUE(Logged("Peer program application instance assigned slot:  0"));
}

TEST_F(HubEndToEnd, RecordingFollowsTheViewThenTheServerAndPlots) {
  // The view simulator flies its circle (2940 km from the centre, 250 m/s, 1000 lb of fuel) at
  // 20 Hz.
  ChildProcess& view = Peer({"--view"});
  ASSERT_TRUE(view.WaitForOutput("welcomed"));
  ToggleRecording(client->ctx, HeadlessClient::kMain);
  const auto file = client->dir.path() / "fdr000.dat";
  auto records = [&] {
    std::ifstream in(file, std::ios::binary);
    return fdrplot::ReadRecords(in);
  };
  ASSERT_TRUE(client->WaitFor([&] { return records().size() >= 4; }, 10s));
  // Then the view goes and the server flies the own vessel (climbing and descending between 4.6
  // and 6.2 km, 250 m/s across), and a new view takes the vessel on from where the server put it.
  view.Send("quit");
  ASSERT_TRUE(Logged("Peer application instance occupied slot:  0"));
  const std::size_t from_view = records().size();
  server->Send("ownpath on");
  ASSERT_TRUE(client->WaitFor([&] { return records().size() >= from_view + 3; }, 10s));
  const std::size_t from_server = records().size();
  ChildProcess& follower = Peer({"--view"});
  ASSERT_TRUE(follower.WaitForOutput("welcomed"));
  // The recorder takes whichever comes first each second: wait for one of the follower's.
  ASSERT_TRUE(client->WaitFor(
      [&] {
        const auto now = records();
        for (std::size_t i = from_server; i < now.size(); ++i) {
          if (now[i].fuel_kg > 0) return true;
        }
        return false;
      },
      30s));
  ToggleRecording(client->ctx, HeadlessClient::kMain);

  auto all = records();
  int view_lines = 0, server_lines = 0, follower_lines = 0;
  auto speed = [](const auto& r) {
    return std::sqrt(r.velocity[0] * r.velocity[0] + r.velocity[1] * r.velocity[1] +
                     r.velocity[2] * r.velocity[2]);
  };
  for (std::size_t i = 0; i < all.size(); ++i) {
    const auto& r = all[i];
    if (i > 0) {
      EXPECT_GT(r.time, all[i - 1].time);  // one line a second at most
    }
    const double radius = std::sqrt(r.position[0] * r.position[0] + r.position[1] * r.position[1] +
                                    r.position[2] * r.position[2]);
    EXPECT_EQ(r.attach, -1);
    EXPECT_NEAR(r.altitude_km, radius - 2939.6, 0.002);
    EXPECT_EQ(r.orientation[3], 1.0);
    if (r.fuel_kg > 0 && i < from_view) {  // from the first view's reports
      ++view_lines;
      EXPECT_EQ(r.fuel_kg, 455.0);  // 1000 lb / 2.2
      EXPECT_NEAR(radius, 2940.0, 0.01);
      EXPECT_NEAR(speed(r), 0.25, 0.001);
      EXPECT_EQ(r.position[2], 0.0);
      EXPECT_EQ(r.rates[2], 0);
      continue;
    }
    // The server's path, and the follower's reports along it: the band it climbs in, and the
    // speed that path has (250 m/s across, the climb on top).
    EXPECT_GT(r.altitude_km, 4.6 - 0.01);
    EXPECT_LT(r.altitude_km, 6.2 + 0.01);
    EXPECT_GT(speed(r), 0.249);
    EXPECT_LT(speed(r), 0.26);
    if (r.fuel_kg > 0) {
      ++follower_lines;
    } else {
      ++server_lines;
      EXPECT_LE(std::abs(r.rates[2]), 520);  // the roll rate, printed last
      EXPECT_GE(r.thrust[0], 10);
    }
  }
  EXPECT_GE(view_lines, 3);
  EXPECT_GE(server_lines, 3);
  EXPECT_GE(follower_lines, 1);

#ifdef TALMERIS_FDR_PLOT
  const auto image = client->dir.path() / "flight.png";
  ChildProcess plot(TALMERIS_FDR_PLOT, {file.string(), image.string()});
  ASSERT_TRUE(plot.WaitForOutput(image.string(), 20s));
  EXPECT_GT(std::filesystem::file_size(image), 5000u);
#endif
}

// The plot's scales: 1-2-5 steps from the range, and labels that tell every tick apart.
TEST(FlightPlotAxis, TicksStepByOneTwoFiveAndNeverRepeatALabel) {
  auto labels = [](double lo, double hi, int wanted, double min_step = 0) {
    std::vector<std::string> out;
    for (const auto& t : fdrplot::AxisTicks(lo, hi, wanted, min_step)) out.push_back(t.label);
    return out;
  };
  EXPECT_EQ(labels(0.6, 5.4, 5, 1), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
  EXPECT_EQ(labels(0.14695, 0.14745, 4),
            (std::vector<std::string>{"0.1470", "0.1471", "0.1472", "0.1473", "0.1474"}));
  EXPECT_EQ(labels(-2.2e30, 1.1e30, 3),
            (std::vector<std::string>{"-2e+30", "-1e+30", "0", "1e+30"}));
  EXPECT_EQ(
      labels(1e6 - 0.5, 1e6 + 0.5, 4),
      (std::vector<std::string>{"999999.6", "999999.8", "1000000.0", "1000000.2", "1000000.4"}));
  EXPECT_TRUE(labels(1, 1, 4).empty());
  EXPECT_TRUE(labels(0, std::numeric_limits<double>::infinity(), 4).empty());
}

}  // namespace
}  // namespace talmeris
