// The peer handler, admission and welcome, and the server's vessel messages, on fakes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "app/main_dialog.h"
#include "peers/peer_handler.h"
#include "server/protocol.h"
#include "server/server_link.h"
#include "server/vessel_state.h"
#include "state/sessions.h"
#include "support/test_client.h"

namespace talmeris {
namespace {

using test::TestClient;
constexpr WindowId kMain = TestClient::kMain;

class PeerTest : public ::testing::Test {
 protected:
  PeerTest() {
    t.ctx.main_window = kMain;
    t.ctx.peer_drain_sleep_ms = 0;
    t.network.CreateClient(&t.ctx.net.net_client);
    t.network.CreateServer(&t.ctx.net.peer_server);
    t.ctx.peer_host_active = true;
    t.ctx.tables.own_vessel_slot = 4;
    t.ctx.tables.own_player_slot = 2;
    t.ctx.tables.vessels[4].present = 1;
  }
  void Deliver(net::MessageId id, net::DPNID player, std::vector<std::uint8_t> data = {}) {
    net::Message m{id, net::DPN_OK, player, data.empty() ? nullptr : data.data(),
                   static_cast<std::uint32_t>(data.size())};
    OnPeerMessage(&t.ctx, m);
  }
  void Short(net::DPNID from, std::uint8_t type, std::uint8_t param, float v1 = 0, float v2 = 0,
             float v3 = 0, float v4 = 0) {
    auto b = ShortMessage{type, param, v1, v2, v3, v4}.Encode();
    Deliver(net::MessageId::Receive, from, {b.begin(), b.end()});
  }
  void Register(net::DPNID from, float kind, bool propulsion, float tag = 3.0f) {
    Short(from, kPeerRegistration, 0, 0.0f, tag, kind, propulsion ? 1.0f : 0.0f);
  }
  bool Logged(const std::string& line) {
    for (int i = 0; i < t.ctx.event_log.Count(); ++i) {
      if (t.ctx.event_log.Line(i) == line) return true;
    }
    return false;
  }
  int SlotOf(net::DPNID id) {
    for (int i = 0; i < kPeerSlotCount; ++i) {
      if (t.ctx.peer_slots[i].in_use && t.ctx.peer_slots[i].dpnid == id) return i;
    }
    return -1;
  }
  std::vector<test::SentMessage> SentTo(net::DPNID id) {
    std::vector<test::SentMessage> out;
    for (auto& s : t.network.ServerSends()) {
      if (s.to == id) out.push_back(s);
    }
    return out;
  }
  TestClient t;
};

TEST_F(PeerTest, NothingWhileTheHostIsInactive) {
  t.ctx.peer_host_active = false;
  Deliver(net::MessageId::CreatePlayer, 0x10);
  Register(0x10, 1, true);
  EXPECT_EQ(t.ctx.event_log.Count(), 0);
  EXPECT_TRUE(t.network.ServerSends().empty());
}

TEST_F(PeerTest, ConnectionNoticeAndProgramError27) {
  Deliver(net::MessageId::CreatePlayer, 0x2A);
  EXPECT_TRUE(Logged("DPNID peer program requesting connection:  0000002a"));
  EXPECT_EQ(t.windows.CountCalls("close"), 0);
  t.ctx.tables.vessels[4].present = 0;
  Deliver(net::MessageId::CreatePlayer, 0x2B);
  EXPECT_TRUE(Logged("Program error 27: Please report this error..."));
  EXPECT_EQ(t.windows.CountCalls("close 7"), 1);
}

TEST_F(PeerTest, FourRegistrationsAndAFreedMiddleSlot) {
  for (net::DPNID id : {0x11u, 0x12u, 0x13u, 0x14u}) Register(id, 1, false);
  EXPECT_EQ(SlotOf(0x11), 0);
  EXPECT_EQ(SlotOf(0x12), 1);
  EXPECT_EQ(SlotOf(0x13), 2);
  EXPECT_EQ(SlotOf(0x14), -1);
  EXPECT_TRUE(Logged("Too many peer programs currently attached!"));
  auto refusal = SentTo(0x14);
  ASSERT_EQ(refusal.size(), 1u);
  EXPECT_EQ(refusal[0].data[0], 0);
  EXPECT_EQ(refusal[0].data[1], 255);

  Deliver(net::MessageId::DestroyPlayer, 0x12);
  EXPECT_TRUE(Logged("Peer application instance occupied slot:  1"));
  Register(0x15, 1, false);
  EXPECT_EQ(SlotOf(0x15), 1);
}

TEST_F(PeerTest, OneConnectionHoldsOneSlotAndRegistrationsRaceForNone) {
  // A second registration from the same connection is refused and leaks no slot.
  Register(0x31, 1, false);
  Register(0x31, 1, false);
  EXPECT_EQ(SlotOf(0x31), 0);
  EXPECT_FALSE(t.ctx.peer_slots[1].in_use);
  auto sent = SentTo(0x31);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().data[0], 0);
  EXPECT_EQ(sent.back().data[1], 255);
  auto ops = t.network.Operations();
  EXPECT_EQ(std::count(ops.begin(), ops.end(), "Server.KeepPlayer 00000031"), 1);
  Deliver(net::MessageId::DestroyPlayer, 0x31);
  for (auto& slot : t.ctx.peer_slots) EXPECT_FALSE(slot.in_use);

  // Two sound programs registering at the same moment: exactly one is admitted, every time.
  for (int round = 0; round < 50; ++round) {
    const net::DPNID a = 0x100 + 2 * round, b = a + 1;
    std::thread first([&] { Register(a, 2, false); });
    std::thread second([&] { Register(b, 2, false); });
    first.join();
    second.join();
    ASSERT_EQ((SlotOf(a) >= 0) + (SlotOf(b) >= 0), 1) << "round " << round;
    Deliver(net::MessageId::DestroyPlayer, SlotOf(a) >= 0 ? a : b);
    ASSERT_FALSE(t.ctx.sound_peer_attached.load());
  }
}

TEST_F(PeerTest, PropulsionConflictAndReadmission) {
  Register(0x21, 1, true);
  EXPECT_FALSE(t.windows.Enabled(kMain, kCtlView));
  EXPECT_TRUE(t.windows.Checked(kMain, kCtlView));
  Register(0x22, 1, true);
  EXPECT_TRUE(Logged("Propulsion already enabled through another peer!"));
  EXPECT_EQ(SlotOf(0x22), -1);
  Deliver(net::MessageId::DestroyPlayer, 0x21);
  EXPECT_TRUE(t.windows.Enabled(kMain, kCtlView));
  EXPECT_FALSE(t.windows.Checked(kMain, kCtlView));
  Register(0x22, 1, true);
  EXPECT_EQ(SlotOf(0x22), 0);
}

TEST_F(PeerTest, BothConflictsAtOnceGiveBothLinesAndOneRefusal) {
  Register(0x31, 2, true);  // takes both roles
  EXPECT_FALSE(t.windows.Enabled(kMain, kCtlView));
  EXPECT_FALSE(t.windows.Enabled(kMain, kCtlSound));
  t.ctx.event_log.Clear();
  Register(0x32, 2, true);
  EXPECT_TRUE(Logged("Propulsion already enabled through another peer!"));
  EXPECT_TRUE(Logged("Sound is already enabled through another peer!"));
  EXPECT_EQ(SentTo(0x32).size(), 1u);
  // Leaving releases both roles.
  Deliver(net::MessageId::DestroyPlayer, 0x31);
  EXPECT_FALSE(t.ctx.sound_peer_attached.load());
  EXPECT_TRUE(t.windows.Enabled(kMain, kCtlView));
  EXPECT_TRUE(t.windows.Enabled(kMain, kCtlSound));
}

TEST_F(PeerTest, SoundRegistrationStartsTheViewProgram) {
  Register(0x41, 2, false);
  EXPECT_TRUE(t.ctx.sound_peer_attached.load());
  EXPECT_EQ(t.launcher.started, (std::vector<std::string>{"Panoptra.exe"}));
  t.launcher.available = {"nothing"};
  Deliver(net::MessageId::DestroyPlayer, 0x41);
  Register(0x42, 2, false);
  EXPECT_TRUE(Logged("Could not find the required Panoptra.exe..."));
  EXPECT_EQ(SlotOf(0x42), 0);  // the registration goes on
}

TEST_F(PeerTest, WelcomeOrder) {
  {
    VesselRecord& v = t.ctx.tables.vessels[4];
    v.ivr_name.Set("VEGA");
    v.flag_p = 1;
    v.interior = 7;
    v.hull_registration.Set("TAL-1");
    v.rates[0] = static_cast<float>(kTwoPi);
  }
  t.ctx.tables.roster[2].handle.Set("quill");
  t.ctx.tables.roster[2].frame = 3;
  t.ctx.tables.roster[2].heading = 0x1FF;
  t.ctx.peer_shared_text.Set("hello peers");
  t.ctx.peer_shared_flag = true;
  Register(0x51, 1, true, 9.0f);
  auto sends = SentTo(0x51);
  std::vector<std::string> kinds;
  for (auto& s : sends) {
    kinds.push_back(std::to_string(s.data.size()) + ":" + std::to_string(s.data[0]));
    EXPECT_EQ(s.flags, 0x138u);
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"20:0", "20:14", "20:2", "88:9", "64:4", "88:21",
                                             "88:7", "88:15", "20:3"}));
  EXPECT_EQ(sends[0].data[1], 4);  // own vessel slot
  auto dock = ShortMessage::Decode(sends[2].data.data());
  EXPECT_EQ(dock.value1, -1.0f);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&sends[3].data[4])),
            "VEGA,10000,7,0,0,0,0,0,0,0,TAL-1");
  EXPECT_EQ(LoadU16(&sends[4].data[44]), 32767);
  EXPECT_EQ(sends[5].data[1], 0xFF);  // heading, low 8 bits
  EXPECT_EQ(sends[5].data[84], 7);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&sends[6].data[4])), "quill");
  EXPECT_EQ(sends[7].data[1], 1);
  // The registration went to the server unchanged.
  auto to_server = t.network.ClientSends();
  ASSERT_EQ(to_server.size(), 1u);
  EXPECT_EQ(ShortMessage::Decode(to_server[0].data.data()).value2, 9.0f);
  EXPECT_TRUE(Logged("Peer program application instance assigned slot:  0"));
  EXPECT_TRUE(Logged("Sent new peer application all ship position data..."));
}

TEST_F(PeerTest, DrainWaitEndsWhenThePeerGoes) {
  t.network.script.results["Server.GetSendQueueInfo"] = net::DPNERR_INVALIDPLAYER;
  Register(0x52, 1, false);
  EXPECT_EQ(SentTo(0x52).back().data[0], 3);  // still completes
}

TEST_F(PeerTest, SoundDepartureSendsSharedTextThenDeparture) {
  Register(0x61, 1, true);
  Register(0x62, 2, false, 5.0f);
  t.ctx.peer_shared_text.Set("score");
  t.network.ClearSends();
  Deliver(net::MessageId::DestroyPlayer, 0x62);
  auto sends = t.network.ServerSends();
  ASSERT_EQ(sends.size(), 2u);
  EXPECT_EQ(sends[0].to, 0u);
  EXPECT_EQ(sends[0].data.size(), 88u);
  EXPECT_EQ(sends[0].data[0], 15);
  EXPECT_EQ(sends[0].data[1], 0);
  EXPECT_EQ(sends[1].to, 0x61u);
  auto departure = ShortMessage::Decode(sends[1].data.data());
  EXPECT_EQ(departure.type, 7);
  EXPECT_EQ(departure.value3, 2.0f);
  EXPECT_EQ(departure.value4, 0.0f);
  auto to_server = ShortMessage::Decode(t.network.ClientSends().back().data.data());
  EXPECT_EQ(to_server.value2, 5.0f);
  EXPECT_FALSE(t.ctx.peer_shared_flag);
}

TEST_F(PeerTest, UnregisteredPeerComesAndGoes) {
  Deliver(net::MessageId::CreatePlayer, 0x71);
  Deliver(net::MessageId::DestroyPlayer, 0x71);
  EXPECT_EQ(t.ctx.event_log.Count(), 3);
  EXPECT_TRUE(Logged("Could not find the instance of that application!"));
  EXPECT_TRUE(t.network.ClientSends().empty());
}

TEST_F(PeerTest, ShortMessageRules) {
  Register(0x81, 1, true);
  Register(0x82, 2, false);
  t.network.ClearSends();
  for (std::uint8_t type : {0, 1, 3, 6, 8, 9, 13, 14, 20, 22, 24, 27, 29, 200})
    Short(0x81, type, 0);
  EXPECT_TRUE(t.network.ClientSends().empty());
  EXPECT_TRUE(t.network.ServerSends().empty());

  Short(0x81, 12, 9, 0, 0, 0, 12.0f);  // no flag, event 12, forwarded and relayed
  EXPECT_EQ(t.ctx.world.fdr_events[0], 12);
  ASSERT_EQ(t.network.ClientSends().size(), 1u);
  auto relay = t.network.ServerSends();
  ASSERT_EQ(relay.size(), 1u);
  EXPECT_EQ(relay[0].to, 0x82u);
  EXPECT_EQ(relay[0].data[1], 4);  // param = own vessel slot
  EXPECT_EQ(relay[0].timeout_ms, 1000u);

  Short(0x81, 12, 0, 0, 0, 0, 0.0f);  // queues nothing
  EXPECT_EQ(t.ctx.world.fdr_events[1], 0);
  Short(0x81, 12, 0, 0, 0, 0, 2.0f);
  EXPECT_EQ(t.ctx.tables.vessels[4].flag_h, 1);

  Short(0x81, 2, 0, -3.0f, 1.0f);
  EXPECT_TRUE(Logged("Client docked..."));
  EXPECT_TRUE(t.ctx.world.docked);
  EXPECT_EQ(t.ctx.world.dock_index, -3);

  t.network.ClearSends();
  Short(0x82, 10, 7, 1, 2, 3, 4);  // a cue goes to other sound peers only: none here
  EXPECT_TRUE(t.network.ServerSends().empty());
  EXPECT_TRUE(t.network.ClientSends().empty());
  Short(0x81, 10, 7, 1, 2, 3, 4);
  ASSERT_EQ(t.network.ServerSends().size(), 1u);
  EXPECT_EQ(t.network.ServerSends()[0].to, 0x82u);
  EXPECT_EQ(t.network.ServerSends()[0].data[1], 0);
}

TEST_F(PeerTest, ThreeReportsBetweenTicks) {
  Register(0x91, 1, true);
  Register(0x92, 2, false);
  t.network.ClearSends();
  t.ctx.world.state_report_due = true;
  t.ctx.world.fdr_record_due = true;
  std::vector<std::uint8_t> report(60, 0);
  StoreF32(&report[0], 2941.0f);
  StoreU16(&report[40], static_cast<std::uint16_t>(-32767));
  report[56] = 0xFF;
  report[57] = static_cast<std::uint8_t>(-127);
  for (int i = 0; i < 3; ++i) Deliver(net::MessageId::Receive, 0x91, report);
  auto to_server = t.network.ClientSends();
  ASSERT_EQ(to_server.size(), 1u);  // the first
  EXPECT_EQ(to_server[0].data, report);
  EXPECT_EQ(to_server[0].flags, 0x122u);
  EXPECT_FALSE(t.ctx.world.fdr_record_due);  // the second was recorded
  auto relays = SentTo(0x92);
  ASSERT_EQ(relays.size(), 3u);  // every one is relayed
  EXPECT_EQ(relays[0].data.size(), 64u);
  EXPECT_EQ(relays[0].flags, 0x132u);
  EXPECT_EQ(relays[0].timeout_ms, 250u);
  VesselRecord& v = t.ctx.tables.vessels[4];
  EXPECT_EQ(v.position[0], 2941.0f);
  EXPECT_NEAR(v.rates[0], -6.283185f, 1e-5);
  EXPECT_NEAR(v.controls[0], -1.0f, 1e-6);
  EXPECT_EQ(v.attach_mode, -1);
}

TEST_F(PeerTest, SharedTextAndChatFromAPeer) {
  Register(0xA1, 1, true);
  t.network.ClearSends();
  auto m = TextMessage::Make(15, 1, std::string(83, 's'));
  Deliver(net::MessageId::Receive, 0xA1, {m.bytes.begin(), m.bytes.end()});
  EXPECT_EQ(t.ctx.peer_shared_text.View(), std::string(83, 's'));
  EXPECT_TRUE(t.ctx.peer_shared_flag);
  ASSERT_EQ(t.network.ServerSends().size(), 1u);
  EXPECT_EQ(t.network.ServerSends()[0].to, 0u);
  EXPECT_TRUE(t.network.ClientSends().empty());

  auto other = TextMessage::Make(30, 0, "menu");
  Deliver(net::MessageId::Receive, 0xA1, {other.bytes.begin(), other.bytes.end()});
  EXPECT_EQ(t.network.ClientSends().size(), 1u);
  std::vector<std::uint8_t> opaque(36, 1);
  Deliver(net::MessageId::Receive, 0xA1, opaque);
  EXPECT_EQ(t.network.ClientSends().back().data, opaque);
  Deliver(net::MessageId::Receive, 0xA1, std::vector<std::uint8_t>(37, 1));  // ignored
  EXPECT_EQ(t.network.ClientSends().size(), 2u);
}

// ---- the server's vessel messages ----

class VesselTest : public PeerTest {
 protected:
  void Receive(const std::vector<std::uint8_t>& payload) {
    net::Message m{net::MessageId::Receive, net::DPN_OK, 1, payload.data(),
                   static_cast<std::uint32_t>(payload.size())};
    OnServerMessage(&t.ctx, m);
  }
  void Server(std::uint8_t type, std::uint8_t param, float v1 = 0, float v2 = 0, float v3 = 0,
              float v4 = 0) {
    auto b = ShortMessage{type, param, v1, v2, v3, v4}.Encode();
    Receive({b.begin(), b.end()});
  }
};

TEST_F(VesselTest, StateConversionsAndRelay) {
  std::vector<std::uint8_t> m(64, 0);
  m[0] = 9;
  StoreF32(&m[4], 1.5f);
  StoreU16(&m[44], 32767);
  StoreU16(&m[46], static_cast<std::uint16_t>(-32767));
  m[50] = 0xFE;
  m[56] = 0xFF;
  m[57] = 3;
  m[58] = static_cast<std::uint8_t>(-127);
  Receive(m);
  VesselRecord& v = t.ctx.tables.vessels[9];
  EXPECT_EQ(v.position[0], 1.5f);
  EXPECT_NEAR(v.rates[0], 6.283185f, 1e-5);
  EXPECT_NEAR(v.rates[1], -6.283185f, 1e-5);
  EXPECT_EQ(v.thrust[0], -2);
  EXPECT_EQ(v.attach_mode, -1);
  EXPECT_EQ(v.host_vessel, 3);
  EXPECT_NEAR(v.controls[0], -1.0f, 1e-6);
  auto sends = t.network.ServerSends();
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].data, m);
  EXPECT_EQ(sends[0].flags, 0x132u);
  EXPECT_EQ(sends[0].timeout_ms, 1000u);
  // The own vessel's state is recorded when a sample is due.
  t.ctx.world.fdr_record_due = true;
  m[0] = 4;
  Receive(m);
  EXPECT_FALSE(t.ctx.world.fdr_record_due);
  m[0] = 200;  // outside the table: relayed only
  Receive(m);
  EXPECT_EQ(t.network.ServerSends().size(), 3u);
}

TEST_F(VesselTest, EncodedStateRoundTrips) {
  VesselRecord v;
  v.rates[0] = 1.0f;
  v.controls[2] = 0.5f;
  v.rates[1] = 100.0f;  // far outside: clamped, never undefined
  auto b = EncodeVesselState(3, v);
  VesselRecord back;
  StoreVesselState(b.data(), back);
  EXPECT_NEAR(back.rates[0], 1.0f, 1e-3);
  EXPECT_NEAR(back.controls[2], 0.5f, 1e-2);
  EXPECT_EQ(LoadU16(&b[46]), 32767);
}

TEST_F(VesselTest, IdentitySwitchesAndOwnInterior) {
  t.ctx.tables.vessels[4].interior = 3;
  auto m = TextMessage::Make(9, 4, "IVR,10,9,-1,1,0,-2,70000,1,0,Hull, one");
  Receive({m.bytes.begin(), m.bytes.end()});
  VesselRecord& v = t.ctx.tables.vessels[4];
  EXPECT_EQ(v.ivr_name.View(), "IVR");
  EXPECT_EQ(v.flag_p, 1);
  EXPECT_EQ(v.flag_l, 0);
  EXPECT_EQ(v.flag_alert, 0);
  EXPECT_EQ(v.interior, 3);  // the own vessel keeps its interior
  EXPECT_EQ(v.p_number, 0xFF);
  EXPECT_EQ(v.flag_g, 1);
  EXPECT_EQ(v.flag_h, 0);
  EXPECT_EQ(v.info_number, 0xFE);
  EXPECT_EQ(v.arr_number, 70000 & 0xFFFF);
  EXPECT_EQ(v.flag_extra, 1);
  EXPECT_EQ(v.flag_b, 0);
  EXPECT_EQ(v.hull_registration.View(), "Hull, one");
  EXPECT_EQ(v.present, 1);

  auto other = TextMessage::Make(9, 5, "X,11111,6,0,0,0,0,0,0,0,H");
  Receive({other.bytes.begin(), other.bytes.end()});
  EXPECT_EQ(t.ctx.tables.vessels[5].interior, 6);
  EXPECT_EQ(t.ctx.tables.vessels[5].flag_alert, 1);

  Server(5, 5);  // VesselGone
  EXPECT_EQ(t.ctx.tables.vessels[5].present, 0);
  EXPECT_EQ(t.ctx.tables.vessels[5].arr_number, 0);
}

TEST_F(VesselTest, SwitchAssignmentInteriorAndAmbient) {
  Server(12, 6, 0, 0, 0, 8.0f);
  EXPECT_EQ(t.ctx.tables.vessels[6].flag_b, 1);
  Server(12, 6, 0, 0, 0, 12.0f);  // nothing changes, still relayed
  EXPECT_EQ(t.network.ServerSends().size(), 2u);
  Server(19, 11);
  EXPECT_EQ(t.ctx.tables.own_vessel_slot.load(), 11);
  EXPECT_EQ(t.ctx.event_log.Line(t.ctx.event_log.Count() - 1), "Our vessel is in slot:  11");
  Server(20, 2, 3.0f);
  EXPECT_EQ(t.ctx.event_log.Line(t.ctx.event_log.Count() - 1), "Interior:  23");
  EXPECT_EQ(t.ctx.tables.vessels[11].interior, 3);
  Server(14, 0, 0, 0.25f, 3.5f);
  EXPECT_EQ(t.ctx.world.ambient_rate, 0.25f);
  EXPECT_EQ(t.ctx.world.ambient_level, 3.5f);
}

TEST_F(VesselTest, HundredBytesReachEveryPeerAndTouchNoTable) {
  std::vector<std::uint8_t> terrain(100, 0x33);
  Receive(terrain);
  auto sends = t.network.ServerSends();
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].data, terrain);
  for (auto& v : t.ctx.tables.vessels) EXPECT_EQ(v.position[0], 0.0f);
}

}  // namespace
}  // namespace talmeris

namespace talmeris {
namespace {

#ifndef NDEBUG
// Debug builds stop at a breach of the lock order, naming both locks.
void RecordInsideWorld(test::TestClient& t) {
  std::lock_guard world(t.ctx.world_lock);
  std::lock_guard record(t.ctx.tables.vessels[0].lock);
}
void SlotInsideSlot(test::TestClient& t) {
  std::lock_guard first(t.ctx.peer_slots[0].lock);
  std::lock_guard second(t.ctx.peer_slots[1].lock);
}
void RegistrationInsideASlot(test::TestClient& t) {
  std::lock_guard slot(t.ctx.peer_slots[0].lock);
  std::lock_guard text(t.ctx.peer_text_lock);  // allowed: text inside a slot
  std::lock_guard registration(t.ctx.peer_registration_lock);
}

TEST(LockOrderTest, BreachesStopTheProgram) {
  test::TestClient t;
  EXPECT_DEATH(RecordInsideWorld(t), "lock order: a record lock taken while world_lock is held");
  EXPECT_DEATH(SlotInsideSlot(t), "lock order: a peer slot's lock taken while a peer slot's lock");
  EXPECT_DEATH(RegistrationInsideASlot(t),
               "lock order: peer_registration_lock taken while a peer slot's lock is held");
  std::lock_guard registration(t.ctx.peer_registration_lock);  // the allowed order passes
  std::lock_guard slot(t.ctx.peer_slots[2].lock);
  std::lock_guard text(t.ctx.peer_text_lock);
}
#endif

}  // namespace
}  // namespace talmeris
