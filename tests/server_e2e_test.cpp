// The client core against the development server in its own process, over real loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "app/configuration_dialog.h"
#include "app/main_dialog.h"
#include "app/standing_dialogs.h"
#include "app/startup.h"
#include "app/tick.h"
#include "net/enet_transport.h"
#include "server/chat.h"
#include "server/connect.h"
#include "server/server_link.h"
#include "support/fault_proxy.h"
#include "support/headless_client.h"
#include "support/process.h"
#include "support/test_client.h"

namespace talmeris {
namespace {

using namespace std::chrono_literals;

using test::HeadlessClient;

class ServerEndToEnd : public ::testing::Test {
 protected:
  void StartServer(std::vector<std::string> extra = {}) {
    port = test::NextTestPort();
    std::vector<std::string> args = {"--port",       std::to_string(port), "--account",
                                     "quill:secret", "--account",          "wren:feather"};
    args.insert(args.end(), extra.begin(), extra.end());
    server = std::make_unique<test::ChildProcess>(TALMERIS_DEVSERVER, args);
    ASSERT_TRUE(server->WaitForOutput("listening"));
  }
  std::uint32_t port = 0;
  std::unique_ptr<test::ChildProcess> server;
};

// A second server asked for a taken port takes the next free one and names it in its ready
// file, where a player's second demo finds it; one allowed no other port says it could not.
TEST_F(ServerEndToEnd, ASecondServerTakesTheNextFreePortAndSaysWhich) {
  StartServer();
  test::TempDir dir;
  const auto ready = dir.path() / "ready";
  test::ChildProcess second(TALMERIS_DEVSERVER, {"--port", std::to_string(port), "--try-ports",
                                                 "10", "--ready-file", ready.string()});
  ASSERT_TRUE(test::WaitUntil([&] { return dir.Exists("ready"); }, std::chrono::seconds(10)));
  const auto bytes = dir.Read("ready");
  const std::string text(bytes.begin(), bytes.end());
  const long chosen = std::atol(text.c_str());
  EXPECT_GT(chosen, static_cast<long>(port));
  EXPECT_LT(chosen, static_cast<long>(port) + 10);
  EXPECT_TRUE(second.WaitForOutput("listening on port " + std::to_string(chosen)));
  test::ChildProcess third(TALMERIS_DEVSERVER, {"--port", std::to_string(port)});
  EXPECT_TRUE(third.WaitForOutput("could not listen on port " + std::to_string(port)));
}

// The world is kept: an account made and an offline message left for it outlive a restart (the
// password only as a salted hash), a second server is refused the same world, and a damaged
// world is refused without being overwritten.
TEST_F(ServerEndToEnd, TheWorldOutlivesARestartAndADamagedOneIsRefusedWhole) {
  test::TempDir dir;
  const std::string world = (dir.path() / "world.sqlite").string();
  StartServer({"--world", world});
  server->Send("account ivy greenleaf");
  ASSERT_TRUE(server->WaitForOutput("added"));
  server->Send("offline ivy kept across the restart");
  ASSERT_TRUE(server->WaitForOutput("stored or delivered"));
  test::ChildProcess second(TALMERIS_DEVSERVER,
                            {"--port", std::to_string(test::NextTestPort()), "--world", world});
  EXPECT_TRUE(second.WaitForOutput(world + " is in use by another server"));
  server->Kill(SIGTERM);
  const auto stored = dir.Read("world.sqlite");
  EXPECT_EQ(std::string(stored.begin(), stored.end()).find("greenleaf"), std::string::npos);

  StartServer({"--world", world});
  {
    HeadlessClient ivy(port, "ivy", "greenleaf");
    ivy.Start();
    ASSERT_TRUE(ivy.Running());
    EXPECT_TRUE(test::WaitUntil([&] {
      if (!ivy.dir.Exists("messages.txt")) return false;
      const auto m = ivy.dir.Read("messages.txt");
      return std::string(m.begin(), m.end()).find("kept across the restart") != std::string::npos;
    }));
    ivy.pending_close = true;
    ivy.Join();
  }
  HeadlessClient wrong(port, "ivy", "greenleap");
  wrong.Start();
  EXPECT_EQ(wrong.Join(), kEndFatal);
  server->Kill(SIGTERM);

  std::vector<std::uint8_t> damaged = stored;
  for (std::size_t i = 0; i < 64 && i < damaged.size(); ++i) damaged[i] ^= 0x5a;
  dir.Write("world.sqlite", damaged);
  test::ChildProcess refused(TALMERIS_DEVSERVER,
                             {"--port", std::to_string(test::NextTestPort()), "--world", world});
  EXPECT_TRUE(refused.WaitForOutput(world + " is damaged or cannot be read"));
  EXPECT_EQ(dir.Read("world.sqlite"), damaged);  // nothing written over it
}

TEST_F(ServerEndToEnd, FirstLoginThenKick) {
  StartServer();
  HeadlessClient c(port, "quill", "secret");
  c.Start();
  ASSERT_TRUE(c.Running());
  EXPECT_TRUE(c.ctx.data_up_to_date.load());
  EXPECT_EQ(c.windows.CountCalls("title 7 Client Application [quill]"), 1);
  // Malformed operator commands are refused and the server goes on.
  server->Send("send quill 0g");
  EXPECT_TRUE(server->WaitForOutput("bad hex: not a hexadecimal digit"));
  server->Send("send quill 123");
  EXPECT_TRUE(server->WaitForOutput("bad hex: an even number"));
  server->Send("fill quill many");
  EXPECT_TRUE(server->WaitForOutput("usage: fill HANDLE SIZE BYTE"));
  server->Send("kick quill");
  EXPECT_EQ(c.Join(), kEndKicked);
  ASSERT_FALSE(c.Boxes().empty());
  EXPECT_EQ(c.Boxes().back().text.rfind("You were kicked from the server!", 0), 0u);
}

TEST_F(ServerEndToEnd, ShutdownEndsWithFive) {
  StartServer();
  HeadlessClient c(port, "quill", "secret");
  c.Start();
  ASSERT_TRUE(c.Running());
  server->Send("shutdown");
  EXPECT_EQ(c.Join(), kEndServerShutdown);
  EXPECT_EQ(c.Boxes().back().text.rfind("Server is shutting down!", 0), 0u);
}

TEST_F(ServerEndToEnd, LostConnectionWhenTheServerDies) {
  StartServer();
  HeadlessClient c(port, "quill", "secret");
  c.Start();
  ASSERT_TRUE(c.Running());
  server->Kill(SIGKILL);
  EXPECT_EQ(c.Join(), kEndFatal);
  EXPECT_EQ(c.Boxes().back().text.rfind("The connection to the server has been lost!", 0), 0u);
}

struct Refusal {
  const char* test_name;
  const char* name;
  const char* password;
  std::vector<std::string> server_args;
  const char* text_start;
};
void PrintTo(const Refusal& r, std::ostream* os) {
  *os << r.test_name;
}

class ServerRefusals : public ServerEndToEnd, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ServerRefusals, EndWithTheirMessage) {
  StartServer(GetParam().server_args);
  HeadlessClient c(port, GetParam().name, GetParam().password);
  c.Start();
  EXPECT_EQ(c.Join(), kEndFatal);
  ASSERT_FALSE(c.Boxes().empty());
  EXPECT_EQ(c.Boxes().back().text.rfind(GetParam().text_start, 0), 0u) << c.Boxes().back().text;
}

INSTANTIATE_TEST_SUITE_P(
    Logins, ServerRefusals,
    ::testing::Values(Refusal{"WrongPassword", "quill", "wrong", {}, "Incorrect password!"},
                      Refusal{"UnknownHandle", "nobody", "x", {}, "Incorrect login ID!"},
                      Refusal{"OutdatedRelease",
                              "quill",
                              "secret",
                              {"--min-release", "174"},
                              "There as been a significant revision"}),
    [](const auto& info) { return std::string(info.param.test_name); });

TEST_F(ServerEndToEnd, AlreadyLoggedOnAndFullServer) {
  StartServer({"--max-players", "2"});
  HeadlessClient first(port, "quill", "secret");
  first.Start();
  ASSERT_TRUE(first.Running());
  HeadlessClient twice(port, "quill", "secret");
  twice.Start();
  EXPECT_EQ(twice.Join(), kEndFatal);
  EXPECT_EQ(twice.Boxes().back().text.rfind("You are already logged on!", 0), 0u);

  HeadlessClient second(port, "wren", "feather");
  second.Start();
  ASSERT_TRUE(second.Running());
  HeadlessClient third(port, "wren", "feather");
  third.Start();
  EXPECT_EQ(third.Join(), kEndFatal);
  EXPECT_EQ(third.Boxes().back().text.rfind("Maximum number of players online!", 0), 0u);
  server->Send("shutdown");
  first.Join();
  second.Join();
}

TEST_F(ServerEndToEnd, AnotherPlayerComesAndGoes) {
  StartServer();
  HeadlessClient watcher(port, "quill", "secret");
  watcher.Start();
  ASSERT_TRUE(watcher.Running());
  {
    HeadlessClient other(port, "wren", "feather");
    other.Start();
    ASSERT_TRUE(other.Running());
    EXPECT_TRUE(
        watcher.WaitFor([&] { return watcher.Listed() == std::vector<std::string>{"wren"}; }));
    EXPECT_EQ(other.Listed(), std::vector<std::string>{"quill"});
    other.pending_close = true;
    EXPECT_EQ(other.Join(), kEndClosed);
  }
  EXPECT_TRUE(watcher.WaitFor([&] { return watcher.Listed().empty(); }));
  server->Send("kick quill");
  watcher.Join();
}

TEST_F(ServerEndToEnd, NewAccountThenLoginPrefilled) {
  StartServer();
  HeadlessClient c(port, "", "");
  std::atomic<int> first_login{1};
  auto login = c.windows.on_dialog[kLoginDialog];
  c.windows.on_dialog[kLoginDialog] = [&](WindowId owner) {
    if (first_login.exchange(0)) return kEndNewAccount;  // the new-account button
    return login(owner);
  };
  c.windows.on_dialog[kNewAccountDialog] = [&](WindowId) {
    const WindowId dlg = 90;
    kNewAccountDialogProcedure.init(c.ctx, dlg);
    c.windows.Text(dlg, kCtlHandle) = "newbie";
    c.windows.Text(dlg, kCtlNewPassword) = "pw";
    c.windows.Text(dlg, kCtlConfirm) = "pw";
    c.windows.Text(dlg, kCtlName) = "Nia Brook";
    c.windows.Checked(dlg, kCtlRandom) = false;
    c.windows.Checked(dlg, kCtlFemale) = true;
    kNewAccountDialogProcedure.command(c.ctx, dlg, kCtlCommit, kNotifyClicked);
    c.WaitFor([&] { return c.Ended(dlg) >= 0; });  // the server's reply ends it
    return c.Ended(dlg);
  };
  c.Start();
  ASSERT_TRUE(c.Running());
  EXPECT_EQ(c.login_prefilled_name, "newbie");
  EXPECT_TRUE(c.login_remembered);
  bool success = false;
  for (auto& b : c.Boxes()) success = success || b.caption == "Success!";
  EXPECT_TRUE(success);
  server->Send("kick newbie");
  EXPECT_EQ(c.Join(), kEndKicked);
}

TEST_F(ServerEndToEnd, PlayersChatNoticesAndOfflineMessagesTravel) {
  StartServer();
  HeadlessClient quill(port, "quill", "secret");
  quill.Start();
  ASSERT_TRUE(quill.Running());
  server->Send("offline wren left while you were away");  // wren is not signed in yet
  ASSERT_TRUE(server->WaitForOutput("stored or delivered"));
  HeadlessClient wren(port, "wren", "feather");
  wren.Start();
  ASSERT_TRUE(wren.Running());
  ASSERT_TRUE(wren.WaitFor(
      [&] { return wren.dir.Exists("messages.txt") && wren.dir.Read("messages.txt").size() > 2; }));
  const auto stored = wren.dir.Read("messages.txt");
  EXPECT_EQ(std::string(stored.begin(), stored.end()), "left while you were away\r\n");
  EXPECT_GE(wren.windows.CountCalls("enable 7:1024 1"), 1);  // "&Messages"

  // A 255-character line with a listed word arrives at the other player in pieces, in order.
  std::string line = "Shit happens. ";
  while (line.size() < 255) line += "w" + std::to_string(line.size()) + " ";
  line.resize(255);
  SendChatLine(quill.ctx, line, true);
  ASSERT_TRUE(server->WaitForOutput("expletive from quill"));
  auto received = [&] {
    std::vector<std::string> pieces;
    for (int i = 0; i < wren.ctx.event_log.Count(); ++i) {
      const std::string l = wren.ctx.event_log.Line(i);
      if (l.rfind("[quill]: ", 0) == 0) pieces.push_back(l.substr(9));
    }
    return pieces;
  };
  std::string expected = line;
  expected.replace(0, 4, "expletive");
  ASSERT_TRUE(wren.WaitFor([&] {
    std::string joined;
    for (const auto& p : received()) joined += p;
    return joined == expected;
  })) << received().size()
      << " pieces";
  EXPECT_GE(received().size(), 4u);
  for (const auto& p : received()) EXPECT_LE(p.size(), 77u);

  // A notice while the main dialog alone is open.
  server->Send("notice wren the hub closes at dusk");
  ASSERT_TRUE(wren.WaitFor([&] {
    for (auto& b : wren.Boxes()) {
      if (b.caption == "Server Message" && b.text == "the hub closes at dusk") return true;
    }
    return false;
  }));
  server->Send("shutdown");
  quill.Join();
  wren.Join();
}

TEST_F(ServerEndToEnd, APatchBringsTheFolderToTheNewRevisionAndRestarts) {
  test::TempDir patch;
  std::vector<std::uint8_t> big(40000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 31 + 7);
  std::filesystem::create_directories(patch.path() / "data" / "maps");
  patch.Write("data/maps/ridge.bin", big);
  patch.Write("readme.txt", {'n', 'e', 'w'});
  patch.Write(".delete", {'o', 'l', 'd', '.', 'd', 'a', 't', '\n'});
  StartServer({"--patch", patch.path().string(), "--patch-revision", "6", "--patch-restart"});
  HeadlessClient c(port, "quill", "secret");
  c.dir.Write("old.dat", {1, 2, 3});
  c.dir.Write("readme.txt", {'o', 'l', 'd', ' ', 't', 'e', 'x', 't'});
  c.Start();
  EXPECT_EQ(c.Join(), kEndRestartAfterPatch);
  EXPECT_EQ(c.dir.Read("data/maps/ridge.bin"), big);
  EXPECT_EQ(c.dir.Read("readme.txt"),
            (std::vector<std::uint8_t>{'n', 'e', 'w', ' ', 't', 'e', 'x', 't'}));
  EXPECT_FALSE(c.dir.Exists("old.dat"));
  EXPECT_EQ(c.dir.Read("patches.dat"), (std::vector<std::uint8_t>{6, 0}));
  // Five counted chunks (three of ridge.bin, readme.txt, the delete): 20 % each.
  std::vector<std::string> progress;
  for (const auto& call : c.windows.Calls()) {
    if (call.rfind("text 7:1138 Patching", 0) == 0) progress.push_back(call.substr(12));
  }
  EXPECT_EQ(progress,
            (std::vector<std::string>{"Patching: 0%", "Patching: 20%", "Patching: 40%",
                                      "Patching: 60%", "Patching: 80%", "Patching: 100%"}));
}

}  // namespace
}  // namespace talmeris

namespace talmeris {
namespace {

// The standing dialogs against the development server: its PlayerStanding answers refill them.
TEST_F(ServerEndToEnd, StandingDialogsRefillFromTheServersAnswers) {
  StartServer();
  HeadlessClient quill(port, "quill", "secret"), wren(port, "wren", "feather");
  quill.Start();
  wren.Start();
  ASSERT_TRUE(quill.Running() && wren.Running());
  auto slot_of = [](HeadlessClient& c, const char* handle) {
    int found = -1;
    c.WaitFor([&] {
      for (int s = 0; s < kRosterSize; ++s) {
        std::lock_guard lock(c.ctx.tables.roster[s].lock);
        if (c.ctx.tables.roster[s].online && c.ctx.tables.roster[s].handle.View() == handle)
          found = s;
      }
      return found >= 0;
    });
    return found;
  };
  auto record = [](HeadlessClient& c, int slot) {
    std::lock_guard lock(c.ctx.tables.roster[slot].lock);
    return std::make_pair(c.ctx.tables.roster[slot].allegiance,
                          std::string(c.ctx.tables.roster[slot].alliance_name.View()));
  };
  constexpr WindowId kInfo = 50, kProfile = 51, kWrenInfo = 52;

  // Quill makes wren an ally: the server's answer refills the open dialog.
  const int wren_slot = slot_of(quill, "wren");
  ASSERT_GE(wren_slot, 0);
  quill.ctx.tables.selected_player_slot = static_cast<std::uint8_t>(wren_slot);
  kPlayerInfoDialogProcedure.init(quill.ctx, kInfo);
  kPlayerInfoDialogProcedure.command(quill.ctx, kInfo, kCtlInfoAllied, kNotifyClicked);
  ASSERT_TRUE(server->WaitForOutput("alignment quill -> wren: 2"));
  ASSERT_TRUE(quill.WaitFor([&] { return quill.windows.RefreshCount(kInfo) >= 1; }));

  // Quill founds an alliance; his own standing comes back as its chair.
  kProfileEditorDialogProcedure.init(quill.ctx, kProfile);
  quill.windows.Text(kProfile, kCtlProfAllianceName) = "Hoard";
  quill.windows.box_answers = {kIdYes};
  kProfileEditorDialogProcedure.command(quill.ctx, kProfile, kCtlProfCreate, kNotifyClicked);
  ASSERT_TRUE(server->WaitForOutput("quill created Hoard"));
  ASSERT_TRUE(quill.WaitFor([&] { return quill.windows.RefreshCount(kProfile) >= 1; }));
  kProfileEditorDialogProcedure.refresh(quill.ctx, kProfile);
  EXPECT_TRUE(quill.windows.Enabled(kProfile, kCtlProfGiveUpChair));
  EXPECT_FALSE(quill.windows.Enabled(kProfile, kCtlProfCreate));

  // Wren sees quill chair it, joins through quill, and becomes a member.
  const int quill_slot = slot_of(wren, "quill");
  ASSERT_TRUE(wren.WaitFor([&] { return record(wren, quill_slot).first == 65535; }));
  EXPECT_EQ(record(wren, quill_slot).second, "Hoard");
  wren.ctx.tables.selected_player_slot = static_cast<std::uint8_t>(quill_slot);
  kPlayerInfoDialogProcedure.init(wren.ctx, kWrenInfo);
  EXPECT_TRUE(wren.windows.Enabled(kWrenInfo, kCtlInfoJoin));
  wren.windows.box_answers = {kIdYes};
  kPlayerInfoDialogProcedure.command(wren.ctx, kWrenInfo, kCtlInfoJoin, kNotifyClicked);
  ASSERT_TRUE(server->WaitForOutput("wren joined Hoard"));
  const int wren_own = wren.ctx.tables.own_player_slot.load();
  ASSERT_TRUE(wren.WaitFor([&] { return record(wren, wren_own).first == 1; }));
  EXPECT_TRUE(wren.WaitFor([&] { return wren.windows.RefreshCount(kWrenInfo) >= 1; }));

  // The chair removes her; the password changes.
  kProfileEditorDialogProcedure.init(quill.ctx, kProfile);
  quill.windows.Text(kProfile, kCtlProfMember) = "wren";
  kProfileEditorDialogProcedure.command(quill.ctx, kProfile, kCtlProfRemove, kNotifyClicked);
  ASSERT_TRUE(wren.WaitFor([&] { return record(wren, wren_own).first == 0; }));
  kPasswordDialogProcedure.init(quill.ctx, kProfile + 1);
  quill.windows.Text(kProfile + 1, kCtlPwCurrent) = "secret";
  quill.windows.Text(kProfile + 1, kCtlPwNew) = "quieter";
  quill.windows.Text(kProfile + 1, kCtlPwConfirm) = "quieter";
  kPasswordDialogProcedure.command(quill.ctx, kProfile + 1, kIdOk, kNotifyClicked);
  EXPECT_TRUE(server->WaitForOutput("password changed for quill"));

  server->Send("kick quill");
  server->Send("kick wren");
  quill.Join();
  wren.Join();
}

// The server is known by its key. Through a recording relay, the password, the handle and a chat
// line never appear in a datagram. A server.key of another key is refused with the connect's
// box and a line that says why; without server.key the first key is remembered for the address
// and a server proving another one later is refused.
TEST_F(ServerEndToEnd, TheServerIsKnownByItsKeyAndNothingCrossesInClear) {
  test::TempDir keys;
  const auto secret = (keys.path() / "server.secret").string();
  StartServer({"--key", secret});
  const std::string output = server->Output();
  const auto at = output.find("server key ");
  ASSERT_NE(at, std::string::npos);
  const std::string key_text = output.substr(at + 11, 64);

  const auto relay_port = static_cast<std::uint16_t>(test::NextTestPort());
  test::Faults faults;
  faults.record = true;
  test::FaultProxy relay(relay_port, static_cast<std::uint16_t>(port), faults);
  {
    HeadlessClient c(relay_port, "quill", "secret");
    c.dir.Write("server.key", {key_text.begin(), key_text.end()});
    c.Start();
    ASSERT_TRUE(c.Running());
    SendChatLine(c.ctx, "meet me at the north relay", false);
    ASSERT_TRUE(server->WaitForOutput("chat quill: meet me at the north relay"));
    c.pending_close = true;
    c.Join();
  }
  const std::string seen = relay.Recorded();
  EXPECT_GT(seen.size(), 1000u);
  for (const char* secret_text : {"secret", "quill", "north relay"}) {
    EXPECT_EQ(seen.find(secret_text), std::string::npos) << secret_text;
  }

  auto last_line = [](HeadlessClient& c) {
    return c.ctx.event_log.Count() ? c.ctx.event_log.Line(c.ctx.event_log.Count() - 1) : "";
  };
  {
    HeadlessClient c(port, "quill", "secret");
    const std::string other(64, 'a');
    c.dir.Write("server.key", {other.begin(), other.end()});
    c.Start();
    EXPECT_EQ(c.Join(), kEndFatal);
    ASSERT_FALSE(c.Boxes().empty());
    EXPECT_EQ(
        c.Boxes().back().text.rfind(
            "The game server at 127.0.0.1:" + std::to_string(port) + " proved a key other than", 0),
        0u);
    bool said = false;
    for (int i = 0; i < c.ctx.event_log.Count(); ++i) {
      said = said || c.ctx.event_log.Line(i) ==
                         "The server's key is not the one expected (server.key in this folder)!";
    }
    EXPECT_TRUE(said) << last_line(c);
  }

  test::TempDir config;
  {
    HeadlessClient first(port, "quill", "secret");
    first.ctx.user_config_home = config.path();
    first.Start();
    ASSERT_TRUE(first.Running());
    first.pending_close = true;
    first.Join();
  }
  std::ifstream known(config.path() / "talmeris" / "known_servers");
  std::string remembered((std::istreambuf_iterator<char>(known)), std::istreambuf_iterator<char>());
  EXPECT_EQ(remembered, "127.0.0.1:" + std::to_string(port) + " " + key_text + "\n");
  server->Kill(SIGTERM);
  server = std::make_unique<test::ChildProcess>(
      TALMERIS_DEVSERVER,
      std::vector<std::string>{"--port", std::to_string(port), "--account", "quill:secret", "--key",
                               (keys.path() / "another.secret").string()});
  ASSERT_TRUE(server->WaitForOutput("listening"));
  HeadlessClient later(port, "quill", "secret");
  later.ctx.user_config_home = config.path();
  later.Start();
  EXPECT_EQ(later.Join(), kEndFatal);
  bool said = false;
  for (int i = 0; i < later.ctx.event_log.Count(); ++i) {
    said = said || later.ctx.event_log.Line(i) ==
                       "The server's key is not the one remembered (talmeris/known_servers)!";
  }
  EXPECT_TRUE(said) << last_line(later);

  // A secret file other users may read is refused: whoever reads it can be this server.
  std::filesystem::permissions(secret, std::filesystem::perms::group_read,
                               std::filesystem::perm_options::add);
  test::ChildProcess shared(TALMERIS_DEVSERVER, {"--port", std::to_string(port), "--key", secret});
  EXPECT_TRUE(shared.WaitForOutput(secret + " may be read by other users"));
}

}  // namespace
}  // namespace talmeris
