#include <gtest/gtest.h>

#include "app/main_dialog.h"
#include "app/tick.h"
#include "server/chat.h"
#include "support/test_client.h"

namespace talmeris {
namespace {

using test::ManualCounter;
using test::TestClient;

class TickTest : public ::testing::Test {
 protected:
  TickTest() {
    t.ctx.stopwatch.UseCounter(&ManualCounter::Read, &clock, 1000);
    t.ctx.stopwatch.Start();
    t.ctx.main_window = TestClient::kMain;
  }
  void Tick(int ms = 100) {
    clock.ticks += ms;
    RunTick(t.ctx, TestClient::kMain);
  }
  void Running() { t.ctx.connect_stage = 14; }
  void HostPeers() {
    t.network.CreateServer(&t.ctx.net.peer_server);
    t.ctx.peer_host_active = true;
  }
  int Cues() {
    int n = 0;
    for (const auto& s : t.network.ServerSends()) n += s.data.size() == 20 && s.data[0] == 10;
    return n;
  }
  ManualCounter clock;
  TestClient t;
};

TEST_F(TickTest, FourChatLinesBetweenTicksAreAFlood) {
  Running();
  Tick();
  for (int i = 0; i < 4; ++i) SendChatLine(t.ctx, "hello", true);
  Tick();
  Tick();
  auto boxes = t.windows.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "Flood detected!");
  EXPECT_EQ(boxes[0].text, "You have exceeded three transmissions within a second...");
  EXPECT_EQ(boxes[0].type, kMbIconError);
  EXPECT_EQ(boxes[0].owner, TestClient::kMain);
  EXPECT_EQ(t.ctx.flood_counter.load(), 0.0f);
}

TEST_F(TickTest, ThreeChatLinesAreNotAFloodAndTheCounterDecays) {
  Running();
  Tick();
  for (int i = 0; i < 3; ++i) SendChatLine(t.ctx, "hello", true);
  Tick();
  EXPECT_TRUE(t.windows.Boxes().empty());
  EXPECT_FLOAT_EQ(t.ctx.flood_counter.load(), 2.9f);
  for (int i = 0; i < 40; ++i) Tick();
  EXPECT_EQ(t.ctx.flood_counter.load(), 0.0f);
}

TEST_F(TickTest, BusyTickDoesNothing) {
  t.ctx.tick_busy = true;
  Tick();
  EXPECT_EQ(t.ctx.connect_stage.load(), 0);
}

TEST_F(TickTest, StagesCountUpToNineAndStop) {
  for (int i = 0; i < 20; ++i) Tick();
  EXPECT_EQ(t.ctx.connect_stage.load(), 9);
}

TEST_F(TickTest, LagTextChangesOnlyAfterStageNineOncePerSecond) {
  t.network.CreateClient(&t.ctx.net.net_client);
  for (int i = 0; i < 25; ++i) Tick();
  EXPECT_EQ(t.windows.CountCalls("text 7:1049"), 0);
  t.ctx.connect_stage = 10;
  for (int i = 0; i < 30; ++i) Tick();  // three seconds
  EXPECT_EQ(t.windows.CountCalls("text 7:1049"), 3);
  EXPECT_EQ(t.windows.Text(TestClient::kMain, kCtlLag), "Lag: 42 ms");

  t.ctx.net.net_client.reset();
  for (int i = 0; i < 11; ++i) Tick();
  EXPECT_EQ(t.windows.Text(TestClient::kMain, kCtlLag), "Lag: ???? ms");
}

TEST_F(TickTest, OncePerSecondSetsTheRecorderAndReportFlags) {
  Tick(600);
  EXPECT_FALSE(t.ctx.world.state_report_due);
  Tick(600);
  EXPECT_TRUE(t.ctx.world.state_report_due);
  EXPECT_TRUE(t.ctx.world.fdr_record_due);
  EXPECT_EQ(t.ctx.world.fdr_sample_counter, 1u);

  // A dialog held the tick for a minute: the work runs once, then once a second again.
  Tick(60000);
  EXPECT_EQ(t.ctx.world.fdr_sample_counter, 2u);
  for (int i = 0; i < 7; ++i) Tick();
  EXPECT_EQ(t.ctx.world.fdr_sample_counter, 2u);
  for (int i = 0; i < 3; ++i) Tick();
  EXPECT_EQ(t.ctx.world.fdr_sample_counter, 3u);
}

TEST_F(TickTest, UniverseClockRollsOverCarryingTheExcess) {
  Running();
  t.ctx.world.universe_hours = 7.0f;
  t.ctx.world.universe_seconds = 3599.0f;
  Tick(1500);
  EXPECT_EQ(t.ctx.world.universe_hours, 8.0f);
  EXPECT_NEAR(t.ctx.world.universe_seconds, 0.5f, 1e-3);
  EXPECT_NEAR(t.ctx.stopwatch.Time(), 0.0, 1e-9);
}

TEST_F(TickTest, StartAmbientLevelNeverSendsACue) {
  Running();
  HostPeers();
  t.ctx.world.ambient_rate = 1000.0f;  // ambient_level stays 2.0
  t.ctx.tables.vessels[0].attach_mode = 1;
  for (int i = 0; i < 200; ++i) Tick();
  EXPECT_EQ(Cues(), 0);
}

TEST_F(TickTest, AttachModeTwoIsHighAndSendsNoCue) {
  Running();
  HostPeers();
  t.ctx.world.ambient_level = 10.0f;
  t.ctx.world.ambient_rate = 1000.0f;
  t.ctx.tables.vessels[0].attach_mode = 2;
  EXPECT_EQ(OwnAltitude(t.ctx), 2000.0f);
  for (int i = 0; i < 100; ++i) Tick();
  EXPECT_EQ(Cues(), 0);
}

TEST_F(TickTest, LowVesselWithAmbientSendsCues) {
  Running();
  HostPeers();
  t.ctx.random.Seed(1);
  t.ctx.world.ambient_level = 10.0f;
  t.ctx.world.ambient_rate = 100.0f;  // p = 100 x 8 x 18.214 = 14571.2, r1 < 29142
  VesselRecord& v = t.ctx.tables.vessels[0];
  v.attach_mode = -1;
  v.position[0] = 2940.0f;
  EXPECT_NEAR(OwnAltitude(t.ctx), 0.4f, 1e-3);
  for (int i = 0; i < 50; ++i) Tick();
  int cues = Cues();
  EXPECT_GT(cues, 20);
  EXPECT_LT(cues, 50);
  for (const auto& s : t.network.ServerSends()) {
    EXPECT_EQ(s.flags, 0x138u);
    EXPECT_EQ(s.to, 0u);
    EXPECT_EQ(s.data[1], 0);
  }
}

TEST_F(TickTest, HostedVesselUsesTheHostsPosition) {
  t.ctx.tables.own_vessel_slot = 3;
  t.ctx.tables.vessels[3].attach_mode = 0;
  t.ctx.tables.vessels[3].host_vessel = 9;
  t.ctx.tables.vessels[9].position[2] = 3000.0f;
  EXPECT_NEAR(OwnAltitude(t.ctx), 60.4f, 1e-3);
  t.ctx.tables.vessels[3].host_vessel = 200;  // a slot outside the table is never read
  EXPECT_EQ(OwnAltitude(t.ctx), 2000.0f);
}

TEST(TruncateTest, SixteenBitTruncation) {
  EXPECT_EQ(TruncateToI16(1.9), 1);
  EXPECT_EQ(TruncateToI16(-1.9), -1);
  EXPECT_EQ(TruncateToI16(32767.0), 32767);
  EXPECT_EQ(TruncateToI16(32768.0), -32768);
  EXPECT_EQ(TruncateToI16(65537.0), 1);
  EXPECT_EQ(TruncateToI16(1e12), 0);  // 32-bit minimum, low half zero
}

}  // namespace
}  // namespace talmeris
