#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

#include "app/startup.h"
#include "server/network_objects.h"
#include "support/test_client.h"

namespace talmeris {
namespace {

using test::TestClient;

class StartupTest : public ::testing::Test {
 protected:
  int Run(std::string_view command_line = "") { return RunClient(t.ctx, command_line, Handlers{}); }
  void InstallPatches(std::uint16_t revision = 5) {
    t.dir.Write("patches.dat", {static_cast<std::uint8_t>(revision),
                                static_cast<std::uint8_t>(revision >> 8), 0x11, 0x22});
  }
  TestClient t;
};

TEST_F(StartupTest, MissingPatchesShowsOnlyTheInstallationMessage) {
  EXPECT_EQ(Run(), 0);
  auto boxes = t.windows.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].owner, kNoWindow);
  EXPECT_EQ(boxes[0].text,
            "Please check your installation and that Client.exe is executing from the "
            "installation directory...");
  EXPECT_EQ(boxes[0].caption, "Could not find \"patches.dat\" file...");
  EXPECT_EQ(boxes[0].type, kMbIconError);
  EXPECT_FALSE(t.dir.Exists("Client.cfg"));
  EXPECT_TRUE(t.network.Operations().empty());
}

TEST_F(StartupTest, RunsTheMainDialogAndShutsDownInOrder) {
  InstallPatches(5);
  t.windows.dialog_results[kMainDialog] = {kEndClosed};
  EXPECT_EQ(Run(), 2);
  EXPECT_EQ(t.ctx.catalogue_revision, 5);
  EXPECT_EQ(t.dir.Read("Client.cfg").size(), 256u);
  EXPECT_TRUE(t.windows.Boxes().empty());
  auto ops = t.network.Operations();
  std::vector<std::string> tail(ops.end() - 2, ops.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"Client.Close 2147483648", "Server.Close 1"}));
  EXPECT_EQ(t.windows.Calls().front(), "dialog 130");
  EXPECT_FALSE(t.ctx.net.net_client);
  EXPECT_FALSE(t.ctx.net.peer_server);
}

TEST_F(StartupTest, PeerHostPortFromTheCommandLine) {
  EXPECT_EQ(ParsePeerHostPort("2500"), 2500u);
  EXPECT_EQ(ParsePeerHostPort("  2600 extra"), 2600u);
  EXPECT_EQ(ParsePeerHostPort("abc"), 2400u);
  EXPECT_EQ(ParsePeerHostPort(""), 2400u);
  InstallPatches();
  Run("2500");
  EXPECT_EQ(t.ctx.peer_host_port, 2500u);
}

TEST_F(StartupTest, KickedAndShutdownShowTheirFinalMessages) {
  InstallPatches();
  t.windows.dialog_results[kMainDialog] = {kEndKicked};
  EXPECT_EQ(Run(), 4);
  auto boxes = t.windows.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            "You were kicked from the server!\n\nPlease review your recent actions and try to "
            "reconnect again in a little while...");
  EXPECT_EQ(boxes[0].caption, "Client Application");
  EXPECT_EQ(boxes[0].type, kMbIconWarning);

  test::TestClient second;
  second.dir.Write("patches.dat", {1, 0});
  second.windows.dialog_results[kMainDialog] = {kEndServerShutdown};
  EXPECT_EQ(RunClient(second.ctx, "", Handlers{}), 5);
  ASSERT_EQ(second.windows.Boxes().size(), 1u);
  EXPECT_EQ(second.windows.Boxes()[0].text,
            "Server is shutting down!\n\nPlease try to reconnect in a few minutes...");
  EXPECT_EQ(second.windows.Boxes()[0].type, kMbIconInformation);
}

TEST_F(StartupTest, PeersAreToldOnlyWhenTheHostIsActive) {
  InstallPatches();
  EXPECT_EQ(Run(), 2);
  EXPECT_TRUE(t.network.ServerSends().empty());

  test::TestClient active;
  active.dir.Write("patches.dat", {1, 0});
  active.windows.on_dialog[kMainDialog] = [&](WindowId) {
    active.ctx.peer_host_active = true;
    return 2;
  };
  RunClient(active.ctx, "", Handlers{});
  auto sends = active.network.ServerSends();
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].to, 0u);
  EXPECT_EQ(sends[0].flags, 0x138u);
  std::vector<std::uint8_t> departure(20, 0);
  departure[0] = 7;
  EXPECT_EQ(sends[0].data, departure);
  EXPECT_FALSE(active.ctx.peer_host_active);
}

struct CreationFailure {
  const char* op;
  const char* text;
};
void PrintTo(const CreationFailure& f, std::ostream* os) {
  *os << f.op;
}

class NetworkCreationTest : public StartupTest,
                            public ::testing::WithParamInterface<CreationFailure> {};

TEST_P(NetworkCreationTest, EachStepFailsWithItsMessage) {
  InstallPatches();
  t.network.script.results[GetParam().op] = net::MakeError(0x80158460);
  EXPECT_EQ(Run(), 0);
  auto boxes = t.windows.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, GetParam().text);
  EXPECT_EQ(boxes[0].caption, "Communication Error!");
  EXPECT_EQ(boxes[0].type, kMbIconWarning);
  EXPECT_EQ(boxes[1].text,
            "Failed to initialize DirectPlay!\n\nPlease verify you have DirectX v9.0 (or higher) "
            "installed...");
  EXPECT_EQ(boxes[1].caption, "Client Application");
  EXPECT_EQ(boxes[1].type, kMbIconError);
  EXPECT_EQ(t.windows.CountCalls("dialog"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, NetworkCreationTest,
    ::testing::Values(
        CreationFailure{"CreateClient",
                        "[Error!] Failed co-creating the IDirectPlay8Client instance:  80158460\n"},
        CreationFailure{"CreateServer",
                        "[Error!] Failed co-creating the IDirectPlay8Server instance:  80158460\n"},
        CreationFailure{"Client.Initialize", "Failed on Initialize for our client:  80158460\n"},
        CreationFailure{"Server.Initialize", "Failed on Initialize for our peers:  80158460\n"},
        CreationFailure{"Client.EnumServiceProviders",
                        "[Error!] Failed validating CLSID_DP8SP_TCPIP"},
        CreationFailure{"Server.EnumServiceProviders",
                        "[Error!] Failed validating CLSID_DP8SP_TCPIP"}),
    [](const auto& info) {
      std::string name = info.param.op;
      std::replace(name.begin(), name.end(), '.', '_');
      return name;
    });

TEST_F(StartupTest, NoTcpIpProviderFailsTheCheck) {
  InstallPatches();
  t.network.script.providers = 0;
  EXPECT_EQ(Run(), 0);
  ASSERT_EQ(t.windows.Boxes().size(), 2u);
  EXPECT_EQ(t.windows.Boxes()[0].text, "[Error!] Failed validating CLSID_DP8SP_TCPIP");
}

TEST(NetworkAddressTest, DeviceAndServerAddresses) {
  TestClient t;
  t.ctx.peer_host_port = 2500;
  ASSERT_EQ(BuildDeviceAddresses(t.ctx), net::DPN_OK);
  EXPECT_EQ(t.ctx.net.peer_host_address->port, 2500u);
  EXPECT_FALSE(t.ctx.net.client_device_address->port);
  ASSERT_EQ(BuildServerAddress(t.ctx, "127.0.0.1"), net::DPN_OK);
  EXPECT_EQ(t.ctx.net.server_address->port, 2302u);
  EXPECT_EQ(t.ctx.net.server_address->hostname, "127.0.0.1");
}

TEST(NetworkAddressTest, FailuresAreLoggedWithTheirCode) {
  TestClient t;
  t.network.script.results["SetSP#2"] = net::E_FAIL;
  EXPECT_EQ(BuildDeviceAddresses(t.ctx), net::E_FAIL);
  EXPECT_EQ(t.ctx.event_log.Line(0),
            "[Error!] Failed setting the service provider for peer server:  80004005");

  TestClient u;
  u.network.script.results["AddComponent"] = net::DPNERR_INVALIDPARAM;
  EXPECT_EQ(BuildDeviceAddresses(u.ctx), net::DPNERR_INVALIDPARAM);
  EXPECT_EQ(u.ctx.event_log.Line(0), "[Error!] Failed adding port to host address:  80070057");
}

}  // namespace
}  // namespace talmeris
