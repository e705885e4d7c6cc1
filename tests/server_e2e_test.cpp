// The client core against the development server in its own process, over real loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/main_dialog.h"
#include "app/startup.h"
#include "app/tick.h"
#include "net/enet_transport.h"
#include "server/connect.h"
#include "server/server_link.h"
#include "support/process.h"
#include "support/test_client.h"

namespace talmeris {
namespace {

using namespace std::chrono_literals;
constexpr WindowId kMain = 7;

std::uint32_t NextPort() {
  static std::atomic<std::uint32_t> port{static_cast<std::uint32_t>(40000 + (getpid() % 499) * 20)};
  return port.fetch_add(1);
}

// A client core with the real transport and a scripted user.
struct HeadlessClient {
  explicit HeadlessClient(std::uint32_t server_port, std::string name, std::string password)
      : ctx(Ports{&windows, network.get(), &voice, &launcher, &keyboard}, dir.path()) {
    dir.Write("patches.dat", {5, 0});
    ctx.server_host = "127.0.0.1";
    ctx.server_port = server_port;
    ctx.user_config_home = dir.path() / "config";
    ctx.close_pause_ms = 0;
    ctx.peer_host_port = NextPort();
    launcher.available = {"none"};
    windows.on_dialog[kMainDialog] = [this](WindowId) { return RunMain(); };
    windows.on_dialog[kLoginDialog] = [this, name, password](WindowId) {
      const WindowId dlg = next_dialog++;
      kLoginDialogProcedure.init(ctx, dlg);
      login_prefilled_name = windows.Text(dlg, kCtlLoginName);
      login_remembered = windows.Checked(dlg, kCtlRememberMe);
      if (!login_prefilled_name.empty()) return Press(kLoginDialogProcedure, dlg, kIdOk);
      windows.Text(dlg, kCtlLoginName) = name;
      windows.Text(dlg, kCtlLoginPassword) = password;
      return Press(kLoginDialogProcedure, dlg, kIdOk);
    };
    windows.on_dialog[kWelcomeDialog] = [this](WindowId) {
      return Press(kWelcomeDialogProcedure, next_dialog++, kIdOk);
    };
  }

  int Press(const DialogProcedure& p, WindowId dlg, int control) {
    p.command(ctx, dlg, control, kNotifyClicked);
    return Ended(dlg);
  }
  int Ended(WindowId w) { return windows.EndCode(w); }
  int RunMain() {
    kMainDialogProcedure.init(ctx, kMain);
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (int code = Ended(kMain); code >= 0) return code;
      if (pending_close.exchange(false)) OrderlyClose(ctx, kMain);
      RunTick(ctx, kMain);
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }
  void Start() {
    thread = std::thread([this] {
      net::Handlers handlers{&OnServerMessage, nullptr, &ctx};
      exit_code = RunClient(ctx, std::to_string(ctx.peer_host_port), handlers);
      done = true;
    });
  }
  int Join() {
    thread.join();
    return exit_code;
  }
  bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (condition()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return condition();
  }
  bool Running() {
    return WaitFor([&] { return ctx.connect_stage.load() >= 14 || done.load(); }) &&
           ctx.connect_stage.load() >= 14;
  }
  std::vector<std::string> Listed() { return windows.ListSnapshot(kMain, kCtlPlayerList); }
  std::vector<test::BoxCall> Boxes() { return windows.Boxes(); }

  static net::EnetOptions Options() {
    net::EnetOptions o;
    o.timeout_min_ms = 500;
    o.timeout_max_ms = 2000;
    return o;
  }

  test::TempDir dir;
  test::RecordingWindowPort windows;
  std::unique_ptr<net::Network> network = net::CreateEnetNetwork(Options());
  voice::NullVoiceSystem voice;
  test::FakeLauncher launcher;
  NullKeyboard keyboard;
  ClientContext ctx;
  WindowId next_dialog = 100;
  std::string login_prefilled_name;
  bool login_remembered = false;
  std::atomic<bool> pending_close{false};  // the user closes the main dialog
  std::thread thread;
  std::atomic<bool> done{false};
  int exit_code = -1;
};

class ServerEndToEnd : public ::testing::Test {
 protected:
  void StartServer(std::vector<std::string> extra = {}) {
    port = NextPort();
    std::vector<std::string> args = {"--port",       std::to_string(port), "--account",
                                     "quill:secret", "--account",          "wren:feather"};
    args.insert(args.end(), extra.begin(), extra.end());
    server = std::make_unique<test::ChildProcess>(TALMERIS_DEVSERVER, args);
    ASSERT_TRUE(server->WaitForOutput("listening"));
  }
  std::uint32_t port = 0;
  std::unique_ptr<test::ChildProcess> server;
};

TEST_F(ServerEndToEnd, FirstLoginThenKick) {
  StartServer();
  HeadlessClient c(port, "quill", "secret");
  c.Start();
  ASSERT_TRUE(c.Running());
  EXPECT_TRUE(c.ctx.data_up_to_date.load());
  EXPECT_EQ(c.windows.CountCalls("title 7 Client Application [quill]"), 1);
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
  const char* name;
  const char* password;
  std::vector<std::string> server_args;
  const char* text_start;
};

class ServerRefusals : public ServerEndToEnd, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ServerRefusals, EndWithTheirMessage) {
  StartServer(GetParam().server_args);
  HeadlessClient c(port, GetParam().name, GetParam().password);
  c.Start();
  EXPECT_EQ(c.Join(), kEndFatal);
  ASSERT_FALSE(c.Boxes().empty());
  EXPECT_EQ(c.Boxes().back().text.rfind(GetParam().text_start, 0), 0u) << c.Boxes().back().text;
}

INSTANTIATE_TEST_SUITE_P(Logins, ServerRefusals,
                         ::testing::Values(Refusal{"quill", "wrong", {}, "Incorrect password!"},
                                           Refusal{"nobody", "x", {}, "Incorrect login ID!"},
                                           Refusal{"quill",
                                                   "secret",
                                                   {"--min-release", "174"},
                                                   "There as been a significant revision"}));

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

}  // namespace
}  // namespace talmeris
