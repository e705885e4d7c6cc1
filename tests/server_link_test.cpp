// The server message handler and the connection sequence on in-process fakes.
#include <gtest/gtest.h>

#include <cstring>

#include "app/main_dialog.h"
#include "app/startup.h"
#include "app/tick.h"
#include "server/connect.h"
#include "server/protocol.h"
#include "server/server_link.h"
#include "state/sessions.h"
#include "support/test_client.h"

namespace talmeris {
namespace {

using test::TestClient;
constexpr WindowId kMain = TestClient::kMain;
constexpr net::DPNID kSoundPeer = 0x55;

class ServerLinkTest : public ::testing::Test {
 protected:
  ServerLinkTest() {
    t.ctx.main_window = kMain;
    t.ctx.user_config_home = t.dir.path() / "config";
    t.ctx.settings = LoadSettings(t.ctx.File(kSettingsFileName), 4, nullptr);
    t.network.CreateClient(&t.ctx.net.net_client);
    t.network.CreateServer(&t.ctx.net.peer_server);
    t.ctx.peer_host_active = true;
    PeerSlot& s = t.ctx.peer_slots[1];
    s.in_use = 1;
    s.kind = kSoundPeerKind;
    s.dpnid = kSoundPeer;
  }
  void Receive(const std::vector<std::uint8_t>& payload) {
    net::Message m{net::MessageId::Receive, net::DPN_OK, 1, payload.data(),
                   static_cast<std::uint32_t>(payload.size())};
    OnServerMessage(&t.ctx, m);
  }
  void Short(std::uint8_t type, std::uint8_t param, float v1 = 0, float v2 = 0, float v3 = 0,
             float v4 = 0) {
    auto b = ShortMessage{type, param, v1, v2, v3, v4}.Encode();
    Receive({b.begin(), b.end()});
  }
  void Text(std::uint8_t type, std::uint8_t param, std::string_view text) {
    auto m = TextMessage::Make(type, param, text);
    Receive({m.bytes.begin(), m.bytes.end()});
  }
  std::vector<test::SentMessage> Cues() {
    std::vector<test::SentMessage> cues;
    for (auto& s : t.network.ServerSends()) {
      if (s.data.size() == 20 && s.data[0] == kSoundCue) cues.push_back(s);
    }
    return cues;
  }
  std::string LastLine() { return t.ctx.event_log.Line(t.ctx.event_log.Count() - 1); }
  TestClient t;
};

// ---- framing ----

TEST_F(ServerLinkTest, UnknownSizesAreRelayedAndUnknownTypesDropped) {
  std::vector<std::uint8_t> terrain(21, 0x5A);
  Receive(terrain);
  auto sends = t.network.ServerSends();
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].data, terrain);
  EXPECT_EQ(sends[0].to, 0u);
  EXPECT_EQ(sends[0].flags, 0x138u);
  t.network.ClearSends();
  Short(2, 0);
  Text(1, 0, "x");
  EXPECT_TRUE(t.network.ServerSends().empty());
  EXPECT_EQ(t.ctx.event_log.Count(), 0);
}

TEST_F(ServerLinkTest, SendFailuresAreLoggedByName) {
  std::uint8_t b[20] = {};
  t.network.script.results["Client.Send#1"] = net::DPNERR_TIMEDOUT;
  t.network.script.results["Client.Send#2"] = net::DPNERR_INVALIDFLAGS;
  t.network.script.results["Client.Send#3"] = net::DPNERR_CONNECTIONLOST;
  SendToServer(t.ctx, b, 20, true, 0);
  SendToServer(t.ctx, b, 20, false, 1000);
  SendToServer(t.ctx, b, 20, true, 0);
  EXPECT_EQ(t.ctx.event_log.Count(), 2);
  EXPECT_EQ(t.ctx.event_log.Line(0), "DPNERR_TIMEDOUT");
  EXPECT_EQ(t.ctx.event_log.Line(1), "DPNERR_INVALIDFLAGS");
  auto sends = t.network.ClientSends();
  EXPECT_EQ(sends[0].flags, 0x128u);
  EXPECT_EQ(sends[1].flags, 0x122u);
  EXPECT_EQ(sends[1].timeout_ms, 1000u);
}

// ---- session and login replies ----

TEST_F(ServerLinkTest, WelcomeSetsTheClockSlotAndKeyFolder) {
  t.network.client->round_trip_ms = 200;
  Short(kSessionWelcome, 31, 10.0f, 173.0f, 12.0f);
  EXPECT_NEAR(t.ctx.world.universe_seconds, 10.1f, 1e-5);
  EXPECT_EQ(t.ctx.world.universe_hours, 12.0f);
  EXPECT_EQ(t.ctx.tables.own_player_slot.load(), 31);
  EXPECT_TRUE(t.windows.Boxes().empty());  // 173.0 is this release
  EXPECT_TRUE(std::filesystem::is_directory(t.dir.path() / "config" / "Corvane Industries"));
  EXPECT_EQ(t.ctx.event_log.Line(0), "Configuration received!");
}

TEST_F(ServerLinkTest, WelcomeToAFullServerOrANewerRelease) {
  Short(kSessionWelcome, 32, 0.0f, 173.5f, 0.0f);
  auto boxes = t.windows.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].type, kMbIconInformation);
  EXPECT_EQ(boxes[0].text.rfind("Newer Client Application release may be available...", 0), 0u);
  EXPECT_EQ(boxes[1].text,
            "Maximum number of players online!\n\nSorry, please try again in a few minutes...");
  EXPECT_EQ(boxes[1].type, kMbIconWarning);
  EXPECT_EQ(t.windows.ended[kMain], kEndFatal);
  EXPECT_EQ(t.ctx.tables.own_player_slot.load(), 0);
}

TEST_F(ServerLinkTest, KeyFolderFailureEndsTheProcess) {
  t.dir.Write("file", {1});
  t.ctx.user_config_home = t.dir.path() / "file";
  static int exit_code = -1;
  t.ctx.exit_process = [](int code) { exit_code = code; };
  Short(kSessionWelcome, 3);
  EXPECT_EQ(exit_code, 0);
  EXPECT_EQ(LastLine(), "Could not execute RegCreateKeyEx!");
}

TEST_F(ServerLinkTest, LoginStatusReadyWritesTheRevisionOnlyWhenItChanged) {
  auto before = t.dir.Read("Client.cfg");
  Short(kLoginStatus, 0, 7.0f, 0.0f, 4.0f);  // the stored revision
  EXPECT_EQ(t.dir.Read("Client.cfg"), before);
  EXPECT_TRUE(t.ctx.data_up_to_date.load());
  EXPECT_EQ(t.ctx.tables.own_vessel_slot.load(), 7);
  EXPECT_TRUE(t.windows.Enabled(kMain, kCtlSend));
  EXPECT_TRUE(t.windows.Enabled(kMain, kCtlChatInput));
  EXPECT_EQ(LastLine(), "Product is up-to-date...");

  Short(kLoginStatus, 0, 9.0f, 0.0f, 300.0f);
  EXPECT_EQ(t.ctx.settings.data_revision, 300);
  auto after = t.dir.Read("Client.cfg");
  EXPECT_EQ(after[50], 300 & 0xFF);
  EXPECT_EQ(after[51], 300 >> 8);
}

TEST_F(ServerLinkTest, LoginChecks) {
  Short(kLoginStatus, 0, 1.0f, 2.0f);
  EXPECT_EQ(LastLine(), "Login information verified...");
  auto sends = t.network.ClientSends();
  ASSERT_EQ(sends.size(), 1u);
  std::vector<std::uint8_t> ack(20, 0);
  ack[0] = 3;
  EXPECT_EQ(sends[0].data, ack);
  EXPECT_EQ(sends[0].flags, 0x128u);

  Short(kLoginStatus, 0, 3.0f, 2.0f);  // an unknown check result does nothing
  EXPECT_TRUE(t.windows.Boxes().empty());
  EXPECT_EQ(t.network.ClientSends().size(), 1u);

  Short(kLoginStatus, 0, 0.0f, 2.0f);
  ASSERT_EQ(t.windows.Boxes().size(), 1u);
  EXPECT_EQ(t.windows.Boxes()[0].text,
            "Incorrect password!\n\nPlease reload the application and try again...");
  EXPECT_EQ(t.windows.ended[kMain], kEndFatal);
}

TEST_F(ServerLinkTest, RefusalsEndWithTheirMessages) {
  Short(kLoginStatus, 0, 2.0f, 2.0f);
  Short(kLoginStatus, 0, 0.0f, 3.0f);
  Short(kLoginStatus, 0, 0.0f, 4.0f);
  auto boxes = t.windows.Boxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].text, "Incorrect login ID!\n\nPlease reload the application and try again...");
  EXPECT_EQ(boxes[1].text.rfind("You are already logged on!", 0), 0u);
  EXPECT_EQ(boxes[1].type, kMbIconWarning);
  EXPECT_EQ(boxes[2].text.rfind("There as been a significant revision", 0), 0u);
}

TEST_F(ServerLinkTest, SessionEndKicksShutsDownOrIsIgnored) {
  Short(kSessionEnd, 0, 2.0f);
  EXPECT_TRUE(t.windows.ended.empty());
  Short(kSessionEnd, 0, 1.0f);
  EXPECT_EQ(t.windows.ended[kMain], kEndKicked);
  Short(kSessionEnd, 0, 0.0f);
  EXPECT_EQ(t.windows.ended[kMain], kEndServerShutdown);
  EXPECT_TRUE(t.network.ServerSends().empty());  // not passed on
}

TEST_F(ServerLinkTest, ConnectResultAndLostSession) {
  t.ctx.connect_stage = 9;
  OnServerMessage(&t.ctx, {net::MessageId::ConnectComplete, net::DPN_OK});
  EXPECT_EQ(t.ctx.connect_stage.load(), 10);

  OnServerMessage(&t.ctx, {net::MessageId::ConnectComplete, net::DPNERR_NORESPONSE});
  ASSERT_EQ(t.windows.Boxes().size(), 1u);
  EXPECT_EQ(t.windows.Boxes()[0].text.rfind("Failed to connect to session!", 0), 0u);
  EXPECT_EQ(t.windows.Boxes()[0].caption, "Client Application");

  OnServerMessage(&t.ctx, {net::MessageId::TerminateSession, net::DPNERR_CONNECTIONLOST});
  EXPECT_FALSE(t.ctx.peer_host_active.load());
  auto sends = t.network.ServerSends();
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].data[0], 7);
  EXPECT_EQ(t.windows.Boxes()[1].text,
            "The connection to the server has been lost!\n\nPlease try to reconnect in a few "
            "minutes...");
  EXPECT_EQ(t.windows.Boxes()[1].type, kMbIconWarning);
}

TEST_F(ServerLinkTest, CompletionBeforeTheTickMovesOnStillReachesTen) {
  t.ctx.connect_stage = 8;
  // The completion arrives while the tick is still in stage 8's work.
  OnServerMessage(&t.ctx, {net::MessageId::ConnectComplete, net::DPN_OK});
  AdvanceStageBelowNine(t.ctx);  // the tick's own step
  EXPECT_EQ(t.ctx.connect_stage.load(), 10);
}

TEST_F(ServerLinkTest, AccountReplies) {
  t.ctx.new_account_dialog = 42;
  Short(kAccountCreationReply, 1);
  Short(kAccountCreationReply, 2);
  Short(kAccountCreationReply, 9);
  EXPECT_TRUE(t.windows.ended.empty());
  Short(kAccountCreationReply, 0);
  auto boxes = t.windows.Boxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].caption, "Handle conflict!");
  EXPECT_EQ(boxes[1].caption, "Could not find referral!");
  EXPECT_EQ(boxes[2].caption, "Success!");
  EXPECT_EQ(boxes[2].owner, 42u);
  EXPECT_EQ(boxes[2].type, kMbOk);
  EXPECT_EQ(t.windows.ended[42], 0);
}

// ---- presence ----

TEST_F(ServerLinkTest, IdentityListsAPlayerOnceWithOneCue) {
  t.ctx.tables.own_player_slot = 0;
  Text(kPlayerIdentity, 4, "1,Quill,Captain,77,Ann Lee, Jr.");
  PlayerRecord& p = t.ctx.tables.roster[4];
  EXPECT_EQ(p.gender, 1);
  EXPECT_EQ(p.handle.View(), "Quill");
  EXPECT_EQ(p.rank.View(), "Captain");
  EXPECT_EQ(p.identity_number, 77u);
  EXPECT_EQ(p.character_name.View(), "Ann Lee, Jr.");
  EXPECT_EQ(p.online, 1);
  EXPECT_EQ(t.windows.List(kMain, kCtlPlayerList), (std::vector<std::string>{"Quill"}));
  EXPECT_EQ(LastLine(), "Player logged on [Quill]");
  auto cues = Cues();
  ASSERT_EQ(cues.size(), 1u);
  EXPECT_EQ(cues[0].to, kSoundPeer);
  auto cue = ShortMessage::Decode(cues[0].data.data());
  EXPECT_EQ(cue.param, 1);
  EXPECT_EQ(cue.value1, 8.0f);

  Text(kPlayerIdentity, 4, "1,Quill,Admiral,77,Ann");
  EXPECT_EQ(p.rank.View(), "Admiral");
  EXPECT_EQ(t.windows.List(kMain, kCtlPlayerList).size(), 1u);
  EXPECT_EQ(Cues().size(), 1u);

  // A handle that parses empty lists nobody and plays nothing: no log-off could remove it.
  Text(kPlayerIdentity, 6, "1,,Captain,77,Ann");
  Text(kPlayerIdentity, 7, "1,abcdefghijklmnop,Captain,77,Ann");
  EXPECT_EQ(t.ctx.tables.roster[6].online + t.ctx.tables.roster[7].online, 0);
  EXPECT_EQ(t.windows.List(kMain, kCtlPlayerList).size(), 1u);
  EXPECT_EQ(Cues().size(), 1u);
}

TEST_F(ServerLinkTest, OwnIdentityRenamesTheWindowOnly) {
  t.ctx.tables.own_player_slot = 2;
  Text(kPlayerIdentity, 2, "2,pilot,Ensign,5,Me");
  EXPECT_EQ(t.windows.CountCalls("title 7 Client Application [pilot]"), 1);
  EXPECT_EQ(t.ctx.settings.login_name.View(), "pilot");
  EXPECT_EQ(t.ctx.tables.roster[2].online, 0);
  EXPECT_TRUE(t.windows.List(kMain, kCtlPlayerList).empty());
  EXPECT_TRUE(Cues().empty());
}

TEST_F(ServerLinkTest, LogOffUnlistsAndCues) {
  t.ctx.tables.own_player_slot = 0;
  Text(kPlayerIdentity, 4, "1,Quill,Captain,77,Ann");
  // A later identity whose handle is too long for its field keeps the listed one.
  Text(kPlayerIdentity, 4, "1,abcdefghijklmn,Captain,77,Ann");
  t.ctx.tables.roster[4].voice_include = 1;
  Short(kPlayerLoggedOff, 4);
  PlayerRecord& p = t.ctx.tables.roster[4];
  EXPECT_EQ(p.online, 0);
  EXPECT_TRUE(p.handle.Empty());
  EXPECT_EQ(p.voice_include, 0);
  EXPECT_TRUE(t.windows.List(kMain, kCtlPlayerList).empty());
  EXPECT_EQ(LastLine(), "Player logged off [Quill]");
  EXPECT_EQ(ShortMessage::Decode(Cues().back().data.data()).param, 5);
  Short(kPlayerLoggedOff, 4);  // not listed: nothing, no cue
  EXPECT_EQ(Cues().size(), 2u);
}

// Under a filter, a player who logs on is listed only when it shows them, and one whose standing
// crosses it comes into the list or leaves it (with their voice inclusion).
TEST_F(ServerLinkTest, TheListKeepsItsFilterAsPlayersLogOnAndTheirStandingChanges) {
  t.ctx.tables.own_player_slot = 0;
  t.ctx.settings.player_list_filter = 2;
  Text(kPlayerIdentity, 4, "1,Quill,Captain,77,Ann");
  Text(kPlayerIdentity, 5, "1,Wren,Captain,78,Bea");
  EXPECT_TRUE(t.windows.List(kMain, kCtlPlayerList).empty());
  EXPECT_EQ(Cues().size(), 2u);                    // logged on all the same
  Text(kPlayerStanding, 4, "Wings,12,5,2,0,0,0");  // exactly the filter: shown
  Text(kPlayerStanding, 5, "Wings,12,5,1,0,0,0");
  EXPECT_EQ(t.windows.List(kMain, kCtlPlayerList), (std::vector<std::string>{"Quill"}));
  Text(kPlayerStanding, 4, "Wings,12,5,3,0,0,0");  // still shown: listed once
  EXPECT_EQ(t.windows.List(kMain, kCtlPlayerList).size(), 1u);
  t.ctx.tables.roster[4].voice_include = 1;
  Text(kPlayerStanding, 4, "Wings,12,5,1,0,0,0");
  EXPECT_TRUE(t.windows.List(kMain, kCtlPlayerList).empty());
  EXPECT_EQ(t.ctx.tables.roster[4].voice_include, 0);
  Text(kPlayerStanding, 0, "Wings,12,5,3,0,0,0");  // the player's own standing lists nobody
  Short(kPlayerLoggedOff, 5);
  Text(kPlayerStanding, 5, "Wings,12,5,3,0,0,0");  // nor does one of a player gone
  EXPECT_TRUE(t.windows.List(kMain, kCtlPlayerList).empty());
}

TEST_F(ServerLinkTest, StandingRules) {
  Text(kPlayerStanding, 6, "Wings,0,0,1,10,5,0");
  PlayerRecord& p = t.ctx.tables.roster[6];
  EXPECT_TRUE(p.alliance_name.Empty());
  EXPECT_EQ(p.member_since, 0);
  EXPECT_EQ(p.alignment, 1);
  EXPECT_EQ(p.tax_rate, 10);
  EXPECT_EQ(p.redistribution, 5);
  EXPECT_EQ(p.discount, 0);

  Text(kPlayerStanding, 6, "Wings,12,-5,2,300,-1,129");
  EXPECT_EQ(p.alliance_name.View(), "Wings");
  EXPECT_EQ(p.allegiance, 12);
  EXPECT_EQ(p.member_since, -5);
  EXPECT_EQ(p.tax_rate, 44);
  EXPECT_EQ(p.redistribution, -1);
  EXPECT_EQ(p.discount, -127);

  Text(kPlayerStanding, 6, ",1,1,1,1,1,1");  // an empty alliance name stores nothing
  EXPECT_EQ(p.allegiance, 12);
  EXPECT_EQ(p.alliance_name.View(), "Wings");
}

TEST_F(ServerLinkTest, SlotsOutsideTheTablesTouchNothing) {
  for (std::uint8_t slot : {32, 64, 255}) {
    Text(kPlayerIdentity, slot, "1,Ghost,R,1,N");
    Text(kPlayerStanding, slot, "A,1,1,1,1,1,1");
    Short(kPlayerLoggedOff, slot);
    std::vector<std::uint8_t> position(14, 0);
    position[0] = slot;
    Receive(position);
  }
  for (auto& p : t.ctx.tables.roster) EXPECT_FALSE(p.online);
  EXPECT_TRUE(t.windows.List(kMain, kCtlPlayerList).empty());
  // The positions were still relayed.
  EXPECT_EQ(t.network.ServerSends().size(), 3u);
}

TEST_F(ServerLinkTest, PositionsRelayByFrameAndStore) {
  std::vector<std::uint8_t> m = {3, 0xFF, 9, 0xFE, 0, 0, 0x10, 0x00, 0xF0, 0xFF, 200, 0x80, 5, 250};
  Receive(m);
  auto sends = t.network.ServerSends();
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].flags, 0x138u);
  EXPECT_EQ(sends[0].data, m);
  PlayerRecord& p = t.ctx.tables.roster[3];
  EXPECT_EQ(p.frame, -1);
  EXPECT_EQ(p.building, 9);
  EXPECT_EQ(p.aux_a, -2);
  EXPECT_EQ(p.x, 16);
  EXPECT_EQ(p.y, -16);
  EXPECT_EQ(p.heading, 200);
  EXPECT_EQ(p.aux_c, -128);
  EXPECT_EQ(p.aux_d, 5);
  EXPECT_EQ(p.aux_b, 250);
  m[1] = 3;
  Receive(m);
  EXPECT_EQ(t.network.ServerSends()[1].flags, 0x132u);
  EXPECT_EQ(t.network.ServerSends()[1].timeout_ms, 1000u);
}

TEST_F(ServerLinkTest, OwnLocation) {
  t.ctx.tables.own_player_slot = 1;
  t.ctx.tables.own_vessel_slot = 2;
  auto m = TextMessage::Make(kOwnLocation, 77, "4,5,-6,7,8,9");
  m.bytes[84] = 11;
  m.bytes[85] = 12;
  Receive({m.bytes.begin(), m.bytes.end()});
  PlayerRecord& p = t.ctx.tables.roster[1];
  EXPECT_EQ(p.heading, 77);
  EXPECT_EQ(p.building, 12);
  EXPECT_EQ(p.frame, 4);
  EXPECT_EQ(p.x, -6);
  EXPECT_EQ(p.aux_d, 9);
  EXPECT_EQ(t.ctx.tables.vessels[2].interior, 11);
  EXPECT_EQ(t.network.ServerSends().size(), 1u);
}

TEST_F(ServerLinkTest, NameSuggestionGoesToTheOpenDialog) {
  Text(kCharacterNameSuggestion, 1, "Bram");
  EXPECT_TRUE(t.windows.Calls().empty());
  t.ctx.new_account_dialog = 50;
  Text(kCharacterNameSuggestion, 2, "Ilse");
  EXPECT_EQ(t.windows.Text(50, kCtlName), "Ilse");
  EXPECT_TRUE(t.windows.Checked(50, kCtlFemale));
  EXPECT_FALSE(t.windows.Checked(50, kCtlMale));
  EXPECT_TRUE(t.windows.Enabled(50, kCtlCommit));
  EXPECT_EQ(t.windows.CountCalls("readonly 50:1111 0"), 1);
}

// ---- account messages ----

TEST(AccountMessageTest, LoginImage) {
  AccountMessage m = BuildLoginMessage("quill", "secret", 0x0105);
  std::array<std::uint8_t, 260> expected{};
  std::memcpy(&expected[0], "quill", 5);
  std::memcpy(&expected[13], "secret", 6);
  std::memcpy(&expected[29], "Unable to \"getenv\"", 18);
  expected[60] = 0x00, expected[61] = 0x00, expected[62] = 0x2D, expected[63] = 0x43;  // 173.0f
  expected[66] = 0x05, expected[67] = 0x01;
  EXPECT_EQ(m, expected);
}

TEST(AccountMessageTest, NewAccountImage) {
  AccountMessage m = BuildNewAccountMessage("abcdefghijkl", "pw", "ref", "Ann Lee", 2);
  std::array<std::uint8_t, 260> expected{};
  std::memcpy(&expected[0], "abcdefghijkl", 12);
  std::memcpy(&expected[13], "pw", 2);
  std::memcpy(&expected[29], "ref", 3);
  std::memcpy(&expected[42], "Ann Lee", 7);
  expected[72] = 2;
  expected[256] = 2;
  EXPECT_EQ(m, expected);
}

TEST(AccountMessageTest, HandleFilter) {
  EXPECT_EQ(FilterHandle("ab-c d"), "abcd");
  EXPECT_EQ(FilterHandle("x_1!Y"), "x_1");
}

// ---- the connection sequence ----

class ConnectionTest : public ServerLinkTest {
 protected:
  ConnectionTest() {
    t.ctx.peer_host_active = false;
    t.ctx.server_host = "127.0.0.1";
  }
  void TickTo(int stage, int max_ticks = 40) {
    for (int i = 0; i < max_ticks && t.ctx.connect_stage.load() < stage && t.windows.ended.empty();
         ++i) {
      RunTick(t.ctx, kMain);
    }
  }
};

TEST_F(ConnectionTest, CancelInTheFirstLoginEndsBeforeAnyAddress) {
  t.windows.dialog_results[kLoginDialog] = {2};
  TickTo(9);
  EXPECT_EQ(t.windows.ended[kMain], kEndFatal);
  for (const auto& op : t.network.Operations()) EXPECT_NE(op, "CreateAddress");
}

TEST_F(ConnectionTest, LoginThroughToRunning) {
  t.windows.dialog_results[kLoginDialog] = {0};
  t.windows.dialog_results[kWelcomeDialog] = {2};
  t.launcher.available = {"Sonavox.exe"};
  TickTo(9);
  EXPECT_EQ(t.ctx.connect_stage.load(), 9);
  EXPECT_EQ(t.network.client->connected_app.flags, 0x141u);
  EXPECT_EQ(t.network.client->connected_app.application.ToString(),
            "{1AD4CA3B-AC68-4D9B-9522-BE59CD485276}");
  EXPECT_EQ(t.network.client->connected_host.port, 2302u);
  EXPECT_EQ(t.ctx.event_log.Line(0), "Connecting you to the universe...");

  OnServerMessage(&t.ctx, {net::MessageId::ConnectComplete, net::DPN_OK});
  TickTo(12);
  auto sends = t.network.ClientSends();
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].data.size(), 260u);
  EXPECT_EQ(sends[0].data[256], 0);
  RunTick(t.ctx, kMain);
  EXPECT_EQ(t.ctx.connect_stage.load(), 12);  // waits for the data files
  Short(kLoginStatus, 0, 5.0f, 0.0f, 4.0f);
  TickTo(14);
  EXPECT_EQ(t.ctx.connect_stage.load(), 14);
  EXPECT_TRUE(t.ctx.peer_host_active.load());
  EXPECT_EQ(t.network.server->hosted_app.session_name, "Peer to Peer");
  EXPECT_EQ(t.network.server->hosted_app.flags, 0x41u);
  EXPECT_EQ(t.launcher.started, (std::vector<std::string>{"Sonavox.exe"}));
  EXPECT_EQ(t.windows.CountCalls("dialog 166"), 1);
  EXPECT_TRUE(t.windows.Enabled(kMain, kCtlStatistics));
  EXPECT_TRUE(t.windows.Enabled(kMain, kCtlClearHistory));
  EXPECT_FALSE(t.windows.EnableTouched(kMain, kCtlMessages));  // messages.txt is empty
  EXPECT_TRUE(t.dir.Exists("messages.txt"));
  EXPECT_NE(std::find(t.windows.Calls().begin(), t.windows.Calls().end(), "dialog 166"),
            t.windows.Calls().end());
  bool ready = false;
  for (int i = 0; i < t.ctx.event_log.Count(); ++i) {
    ready = ready || t.ctx.event_log.Line(i) == "Ready to host peer programs...";
  }
  EXPECT_TRUE(ready);
}

TEST_F(ConnectionTest, HostFailureOnATakenPortEnds) {
  t.ctx.peer_host_port = 2500;
  t.ctx.data_up_to_date = true;
  t.network.script.results["Server.Host"] = net::DPNERR_INVALIDDEVICEADDRESS;
  BuildDeviceAddresses(t.ctx);
  t.ctx.connect_stage = 13;
  RunTick(t.ctx, kMain);
  ASSERT_EQ(t.windows.Boxes().size(), 1u);
  EXPECT_EQ(t.windows.Boxes()[0].text, "Port 2500 is already in use.\n");
  EXPECT_EQ(t.windows.Boxes()[0].caption, "DPNERR_INVALIDDEVICEADDRESS");
  EXPECT_EQ(t.windows.ended[kMain], kEndFatal);
}

TEST_F(ConnectionTest, ImmediateConnectFailureShowsTheCode) {
  t.windows.dialog_results[kLoginDialog] = {0};
  t.network.script.results["Client.Connect"] = net::DPNERR_INVALIDHOSTADDRESS;
  TickTo(9);
  ASSERT_EQ(t.windows.Boxes().size(), 1u);
  EXPECT_EQ(t.windows.Boxes()[0].caption, "Error:  80158370");
  EXPECT_EQ(t.windows.ended[kMain], kEndFatal);
}

TEST_F(ConnectionTest, NewAccountComesBeforeTheLogin) {
  t.windows.dialog_results[kLoginDialog] = {kEndNewAccount, 0};
  t.windows.dialog_results[kNewAccountDialog] = {0};
  TickTo(9);
  EXPECT_TRUE(t.network.ClientSends().empty());
  OnServerMessage(&t.ctx, {net::MessageId::ConnectComplete, net::DPN_OK});
  TickTo(12);
  auto calls = t.windows.Calls();
  std::vector<std::string> dialogs;
  for (auto& c : calls) {
    if (c.rfind("dialog", 0) == 0) dialogs.push_back(c);
  }
  EXPECT_EQ(dialogs, (std::vector<std::string>{"dialog 160", "dialog 171", "dialog 160"}));
  EXPECT_EQ(t.network.ClientSends().size(), 1u);
}

// ---- the dialogs' procedures ----

TEST_F(ServerLinkTest, LoginDialogStoresTheLoginAndRemembersIt) {
  constexpr WindowId kDlg = 60;
  kLoginDialogProcedure.init(t.ctx, kDlg);
  EXPECT_TRUE(t.windows.Enabled(kDlg, kCtlNewAccountButton));
  t.windows.Text(kDlg, kCtlLoginName) = "Quill";
  kLoginDialogProcedure.command(t.ctx, kDlg, kCtlLoginName, kNotifyEditChange);
  EXPECT_EQ(t.windows.Text(kDlg, kCtlLoginName), "quill");
  t.windows.Text(kDlg, kCtlLoginPassword) = "secret";
  kLoginDialogProcedure.command(t.ctx, kDlg, kCtlRememberMe, kNotifyClicked);
  kLoginDialogProcedure.command(t.ctx, kDlg, kIdOk, kNotifyClicked);
  EXPECT_EQ(t.windows.ended[kDlg], 0);
  auto cfg = t.dir.Read("Client.cfg");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&cfg[8])), "quill");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&cfg[24])), "secret");
  EXPECT_EQ(cfg[40], 1);

  constexpr WindowId kAgain = 61;
  kLoginDialogProcedure.init(t.ctx, kAgain);
  EXPECT_EQ(t.windows.Text(kAgain, kCtlLoginName), "quill");
  EXPECT_TRUE(t.windows.Checked(kAgain, kCtlRememberMe));
  EXPECT_FALSE(t.windows.Enabled(kAgain, kCtlNewAccountButton));
}

TEST_F(ServerLinkTest, NewAccountChecksAndSends) {
  constexpr WindowId kDlg = 70;
  kNewAccountDialogProcedure.init(t.ctx, kDlg);
  EXPECT_EQ(t.ctx.new_account_dialog.load(), kDlg);
  t.windows.Text(kDlg, kCtlHandle) = "Ab-c d";
  kNewAccountDialogProcedure.command(t.ctx, kDlg, kCtlHandle, kNotifyEditChange);
  EXPECT_EQ(t.windows.Text(kDlg, kCtlHandle), "abcd");

  kNewAccountDialogProcedure.command(t.ctx, kDlg, kCtlCommit, kNotifyClicked);
  ASSERT_EQ(t.windows.Boxes().size(), 1u);  // "Random" is checked: only the gender message
  EXPECT_EQ(t.windows.Boxes()[0].caption, "Gender problem!");

  t.windows.Checked(kDlg, kCtlRandom) = false;
  t.windows.Checked(kDlg, kCtlFemale) = true;
  t.windows.Text(kDlg, kCtlNewPassword) = "pw";
  t.windows.Text(kDlg, kCtlConfirm) = "px";
  kNewAccountDialogProcedure.command(t.ctx, kDlg, kCtlCommit, kNotifyClicked);
  auto boxes = t.windows.Boxes();
  ASSERT_EQ(boxes.size(), 3u);  // every message that applies
  EXPECT_EQ(boxes[1].caption, "No character name!");
  EXPECT_EQ(boxes[2].caption, "Password error!");
  EXPECT_TRUE(t.network.ClientSends().empty());

  t.windows.Text(kDlg, kCtlName) = "Ann Lee";
  t.windows.Text(kDlg, kCtlConfirm) = "pw";
  t.windows.Text(kDlg, kCtlReferrer) = "Old-Hand";
  kNewAccountDialogProcedure.command(t.ctx, kDlg, kCtlCommit, kNotifyClicked);
  ASSERT_EQ(t.network.ClientSends().size(), 1u);
  EXPECT_EQ(t.network.ClientSends()[0].data[256], 2);
  // The referrer goes as typed, lower-cased only, so the server credits the right player.
  EXPECT_EQ(LoadFixedText(&t.network.ClientSends()[0].data[29], 13), "old-hand");
  EXPECT_EQ(t.ctx.settings.login_name.View(), "abcd");
  EXPECT_EQ(t.ctx.settings.remember_me, 1);

  kNewAccountDialogProcedure.command(t.ctx, kDlg, kCtlSuggest, kNotifyClicked);
  auto request = ShortMessage::Decode(t.network.ClientSends()[1].data.data());
  EXPECT_EQ(request.type, kNameSuggestionRequest);
  EXPECT_EQ(request.value1, 2.0f);
  EXPECT_FALSE(t.windows.Enabled(kDlg, kCtlCommit));

  kNewAccountDialogProcedure.command(t.ctx, kDlg, kCancelCommand, kNotifyClicked);
  EXPECT_EQ(t.ctx.new_account_dialog.load(), kNoWindow);
  EXPECT_EQ(t.windows.ended[kDlg], 2);
}

TEST_F(ServerLinkTest, WelcomeClosesOnceAndIsRemembered) {
  kWelcomeDialogProcedure.command(t.ctx, 80, kCtlWelcomeConfiguration, kNotifyClicked);
  EXPECT_TRUE(t.windows.ended.empty());
  kWelcomeDialogProcedure.command(t.ctx, 80, kCancelCommand, kNotifyClicked);
  EXPECT_EQ(t.windows.ended[80], 2);
  EXPECT_EQ(t.dir.Read("Client.cfg")[41], 1);
}

}  // namespace
}  // namespace talmeris
