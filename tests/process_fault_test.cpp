// Faults of the processes around the client: a server that stops answering or dies and comes
// back, a companion killed in the middle of its welcome, companions that stop reading or
// acknowledge slowly, and junk datagrams on the ports.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "state/main_window.h"
#include "state/recorder.h"
#include "support/fault_proxy.h"
#include "support/headless_client.h"
#include "support/process.h"
#include "support/raw_connections.h"

namespace talmeris {
namespace {

using test::ChildProcess;
using test::HeadlessClient;
using namespace std::chrono_literals;

// The development server with the one account, and `extra` arguments.
std::unique_ptr<ChildProcess> Server(std::uint32_t port, std::vector<std::string> extra = {}) {
  std::vector<std::string> args{"--port", std::to_string(port), "--account", "quill:secret"};
  args.insert(args.end(), extra.begin(), extra.end());
  auto s = std::make_unique<ChildProcess>(TALMERIS_DEVSERVER, args);
  EXPECT_TRUE(s->WaitForOutput("listening"));
  return s;
}

// Waits until the client has shown a box with `text`.
bool Shown(HeadlessClient& c, const std::string& text) {
  return c.WaitFor([&] {
    for (const auto& b : c.Boxes())
      if (b.text == text) return true;
    return false;
  });
}

// Waits until the event log holds `line` (or, with `prefix`, a line starting with it).
bool Logged(HeadlessClient& c, const std::string& line, bool prefix = false) {
  return c.WaitFor([&] {
    for (int i = 0; i < c.ctx.event_log.Count(); ++i) {
      const std::string logged = c.ctx.event_log.Line(i);
      if (prefix ? logged.rfind(line, 0) == 0 : logged == line) return true;
    }
    return false;
  });
}

// How many lines starting with `prefix` a process printed so far.
int Printed(ChildProcess& p, const std::string& prefix) {
  const std::string out = "\n" + p.Output();
  int n = 0;
  for (auto at = out.find("\n" + prefix); at != std::string::npos;
       at = out.find("\n" + prefix, at + 1))
    ++n;
  return n;
}

// Sends `count` datagrams of random bytes and sizes to a loopback port.
void Junk(std::uint32_t port, int count) {
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::mt19937 random(port);
  std::vector<char> bytes(1500);
  for (int i = 0; i < count; ++i) {
    for (auto& b : bytes) b = static_cast<char>(random());
    sendto(s, bytes.data(), 1 + random() % bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
           sizeof to);
  }
  close(s);
}

TEST(ProcessFaults, AStoppedServerIsALostSessionAndARestartedOneTakesANewSignIn) {
  const std::uint32_t port = test::NextTestPort();
  auto server = Server(port);
  HeadlessClient first(port, "quill", "secret");
  first.Start();
  ASSERT_TRUE(first.Running());
  server->Signal(SIGSTOP);
  EXPECT_EQ(first.Join(), kEndFatal);
  ASSERT_FALSE(first.Boxes().empty());
  EXPECT_EQ(first.Boxes().back().text.rfind("The connection to the server has been lost!", 0), 0u);
  server->Signal(SIGCONT);
  server->Kill(SIGKILL);  // dead, then back on the same port
  server = Server(port);
  HeadlessClient second(port, "quill", "secret");
  second.Start();
  EXPECT_TRUE(second.Running());
  server->Send("kick quill");
  EXPECT_EQ(second.Join(), kEndKicked);
}

TEST(ProcessFaults, ACompanionKilledInItsWelcomeLeavesItsSlotAndJunkChangesNothing) {
  const std::uint32_t port = test::NextTestPort();
  auto server = Server(port);
  HeadlessClient client(port, "quill", "secret");
  client.ctx.peer_drain_sleep_ms = 300;  // a long welcome, to be killed in
  client.Start();
  ASSERT_TRUE(client.Running());
  const std::string peer_port = std::to_string(client.ctx.peer_host_port);
  {
    ChildProcess view(TALMERIS_PEERSIM, {"--port", peer_port, "--view", "--rate", "20"});
    ASSERT_TRUE(view.WaitForOutput("connected"));
    ASSERT_TRUE(Logged(client, "Peer program application instance assigned slot:  0"));
    view.Kill(SIGKILL);
  }
  // Its connection times out; the slot comes free and the next companion takes it.
  ASSERT_TRUE(Logged(client, "DPNID peer program disconnected:  00200002"));
  ChildProcess again(TALMERIS_PEERSIM, {"--port", peer_port, "--view", "--rate", "20"});
  ASSERT_TRUE(again.WaitForOutput("welcomed", 20s)) << [&] {
    std::string log;
    for (int i = 0; i < client.ctx.event_log.Count(); ++i)
      log += client.ctx.event_log.Line(i) + "\n";
    return log + again.Output();
  }();
  EXPECT_TRUE(client.WaitFor([&] {
    int assigned = 0;
    for (int i = 0; i < client.ctx.event_log.Count(); ++i)
      assigned +=
          client.ctx.event_log.Line(i) == "Peer program application instance assigned slot:  0";
    return assigned == 2;
  }));

  // Junk on the peer host's port and on the server's: everybody carries on.
  Junk(client.ctx.peer_host_port, 2000);
  Junk(port, 2000);
  server->Send("notice quill still here");
  EXPECT_TRUE(Shown(client, "still here"));
  again.Send("chat after the junk");
  EXPECT_TRUE(Logged(client, "[quill]: after the junk"));
  server->Send("kick quill");
  EXPECT_EQ(client.Join(), kEndKicked);
}

// A flood of local connections: `count` ENet connections to a loopback port from one host,
// kept serviced (so they never time out) until it goes, and never saying anything.
class ConnectionFlood {
 public:
  ConnectionFlood(std::uint32_t port, int count) : raw_(5, static_cast<std::size_t>(count)) {
    if (!raw_.host) return;
    raw_.Connect(port, count);
    thread_ = std::thread([this] { raw_.Service([this] { return stop_.load(); }, 24h); });
  }
  ~ConnectionFlood() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool Running() const { return raw_.host != nullptr; }
  int Connected() const { return raw_.connected.load(); }

 private:
  test::RawConnections raw_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(ProcessFaults, CompanionsThatStopReadingOrAcknowledgeSlowlyHoldUpNobody) {
  const std::uint32_t port = test::NextTestPort();
  auto server = Server(port, {"--demo"});
  HeadlessClient client(port, "quill", "secret");
  client.Start();
  ASSERT_TRUE(client.Running());
  const std::string peer_port = std::to_string(client.ctx.peer_host_port);
  ChildProcess view(TALMERIS_PEERSIM, {"--port", peer_port, "--view", "--rate", "20"});
  ASSERT_TRUE(view.WaitForOutput("welcomed"));
  // One that stops reading, and so acknowledging, once welcomed.
  auto stalled = std::make_unique<ChildProcess>(
      TALMERIS_PEERSIM, std::vector<std::string>{"--port", peer_port, "--sound"});
  ASSERT_TRUE(stalled->WaitForOutput("welcomed"));
  stalled->Signal(SIGSTOP);
  // One whose every datagram, and so every acknowledgement, takes a quarter of a second.
  const auto slow_link = static_cast<std::uint16_t>(test::NextTestPort());
  test::FaultProxy slow_proxy(slow_link, static_cast<std::uint16_t>(client.ctx.peer_host_port),
                              {0, 250, 0, 0});
  ChildProcess slow(TALMERIS_PEERSIM,
                    {"--port", std::to_string(slow_link), "--view", "--propulsion", "0"});
  ASSERT_TRUE(slow.WaitForOutput("welcomed", 20s));

  // While the stalled one holds, the server's vessels keep reaching the others, and the
  // client keeps hearing companions and the server.
  const int view_before = Printed(view, "state "), slow_before = Printed(slow, "state ");
  EXPECT_TRUE(client.WaitFor([&] {
    return Printed(view, "state ") >= view_before + 40 &&
           Printed(slow, "state ") >= slow_before + 40;
  }));
  view.Send("chat while one sleeps");
  EXPECT_TRUE(Logged(client, "[quill]: while one sleeps"));
  server->Send("notice quill still served");
  EXPECT_TRUE(Shown(client, "still served"));
  // The stalled one is let go once its connection times out, and its slot takes a new one,
  // even through a flood of local connections that never say hello.
  EXPECT_TRUE(Logged(client, "DPNID peer program disconnected:", true));
  ConnectionFlood flood(client.ctx.peer_host_port, 300);
  ASSERT_TRUE(flood.Running());
  ASSERT_TRUE(client.WaitFor([&] { return flood.Connected() >= 16; }));
  ChildProcess sound(TALMERIS_PEERSIM, {"--port", peer_port, "--sound"});
  EXPECT_TRUE(sound.WaitForOutput("welcomed", 20s)) << sound.Output();
  const int streamed = Printed(view, "state ");
  EXPECT_TRUE(client.WaitFor([&] { return Printed(view, "state ") >= streamed + 40; }));
  std::printf("flood: %d of 300 connections taken by the transport\n", flood.Connected());
  stalled->Signal(SIGCONT);
  stalled.reset();

  server->Send("kick quill");
  EXPECT_EQ(client.Join(), kEndKicked);
}

}  // namespace
}  // namespace talmeris

namespace talmeris {
namespace {

// A mount namespace of this test's own, so the mounts below touch nothing outside it. False
// where the test may not mount (no privileges).
bool OwnMountNamespace() {
  return unshare(CLONE_NEWNS) == 0 &&
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

TEST(DiskFaults, AFullDiskWhilePatchingAndAReadOnlyFolderAreToldAndNothingBreaks) {
  if (!OwnMountNamespace()) GTEST_SKIP() << "mounting a small tmpfs needs mount rights";
  test::TempDir patch;
  std::vector<std::uint8_t> big(300000, 0x5A);
  patch.Write("big.bin", big);
  const std::uint32_t port = test::NextTestPort();
  auto server = Server(port, {"--patch", patch.path().string(), "--patch-revision", "6"});

  // The installation on a 128 KiB disk: the patch does not fit.
  {
    HeadlessClient client(port, "quill", "secret");
    ASSERT_EQ(mount("tmpfs", client.dir.path().c_str(), "tmpfs", 0, "size=128k"), 0);
    client.dir.Write("patches.dat", {5, 0});
    client.Start();
    EXPECT_TRUE(Logged(client, "PATCH ERROR --- could not save to file..."));
    EXPECT_TRUE(Logged(client, "big.bin"));
    EXPECT_EQ(client.dir.Read("patches.dat")[0], 5);  // the revision is not raised
    client.pending_close = true;                      // the player closes the window
    EXPECT_EQ(client.Join(), kEndClosed);
    umount2(client.dir.path().c_str(), MNT_DETACH);
  }

  // A read-only installation: it signs in on defaults and says what it could not write.
  {
    HeadlessClient client(port, "quill", "secret");
    client.dir.Write("patches.dat", {6, 0});  // up to date: no patch
    test::TempDir config;                     // the key folder lives elsewhere
    client.ctx.user_config_home = config.path();
    const char* dir = client.dir.path().c_str();
    ASSERT_EQ(mount(dir, dir, nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, dir, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
    client.Start();
    ASSERT_TRUE(client.Running());
    EXPECT_TRUE(Logged(client, "Could not save configuration change!"));
    // The recorder's file cannot be made either.
    ToggleRecording(client.ctx, HeadlessClient::kMain);
    EXPECT_TRUE(Logged(client, "File \"fdr000.dat\" could not be created!"));
    server->Send("offline quill kept by the server");
    EXPECT_TRUE(Logged(client, "Could not store an offline message in messages.txt!"));
    server->Send("kick quill");
    EXPECT_EQ(client.Join(), kEndKicked);
    umount2(dir, MNT_DETACH);
  }
}

}  // namespace
}  // namespace talmeris
