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
