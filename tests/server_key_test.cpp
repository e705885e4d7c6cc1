// Which key the server must prove, the files that refuse a connect, known_servers under
// concurrent writers, and the box a refused key shows.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "server/known_servers.h"
#include "server/server_key.h"
#include "server/server_link.h"
#include "support/fake_network.h"
#include "support/test_client.h"

namespace talmeris {
namespace {

using test::TestClient;

net::Key Filled(std::uint8_t byte) {
  net::Key key;
  key.fill(byte);
  return key;
}

std::string Hex(const net::Key& key) {
  return net::KeyText(key).data();
}

std::string Slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ServerKeyTest : public ::testing::Test {
 protected:
  ServerKeyTest() {
    t.ctx.main_window = TestClient::kMain;
    t.ctx.user_config_home = t.dir.path() / "config";
    t.ctx.server_host = "127.0.0.1";
    t.network.CreateClient(&t.ctx.net.net_client);
    client = t.network.client;
  }
  // The connect's pin: empty when it goes ahead, else the refusal's text.
  std::string Pin() {
    client->pinned = false;
    return SecureServerSession(t.ctx);
  }
  // The server proved `key` and the connect completed.
  void Connected(const net::Key& key) {
    client->proves_key = true;
    std::copy(key.begin(), key.end(), client->proven_key.begin());
    ServerSessionConnected(t.ctx);
  }
  void KeyFile(const std::string& text) { t.dir.Write("server.key", {text.begin(), text.end()}); }
  void Known(const std::string& text) {
    std::filesystem::create_directories(KnownServersFile(t.ctx).parent_path());
    std::ofstream(KnownServersFile(t.ctx), std::ios::binary) << text;
  }
  bool PinnedTo(const net::Key& key) { return client->pinned && client->pinned_key == key; }

  TestClient t;
  test::FakeClient* client = nullptr;
  const std::string address = "127.0.0.1:2302";
};

// The pins in their order, the operators' rotation through server.key, a patch that deletes it,
// and the box a refused key shows.
TEST_F(ServerKeyTest, ThePinsInTheirOrderSurviveADeletedKeyFileAndARefusalSaysWhy) {
  const net::Key a = Filled(0xa1), b = Filled(0xb2);
  EXPECT_EQ(Pin(), "");
  EXPECT_TRUE(client->secured);
  EXPECT_FALSE(client->pinned);  // first use
  Connected(a);
  EXPECT_EQ(Pin(), "");
  EXPECT_TRUE(PinnedTo(a));
  // A patch writes server.key, which wins and is remembered once; deleting it later keeps it.
  KeyFile(Hex(b) + "\n");
  EXPECT_EQ(Pin(), "");
  EXPECT_TRUE(PinnedTo(b));
  Connected(b);
  Connected(b);
  EXPECT_EQ(Slurp(KnownServersFile(t.ctx)),
            address + " " + Hex(a) + "\n" + address + " " + Hex(b) + "\n");
  std::filesystem::remove(t.dir.path() / "server.key");
  EXPECT_EQ(Pin(), "");
  EXPECT_TRUE(PinnedTo(b));
  // The built-in key comes before what was remembered, a key chosen for the run before all.
  t.ctx.server_key_built_in = Hex(Filled(0xe5));
  EXPECT_EQ(Pin(), "");
  EXPECT_TRUE(PinnedTo(Filled(0xe5)));
  t.ctx.server_key_chosen = Hex(Filled(3));
  EXPECT_EQ(Pin(), "");
  EXPECT_TRUE(PinnedTo(Filled(3)));
  t.ctx.server_key_chosen = "zz";
  EXPECT_NE(Pin().find("TALMERIS_SERVER_KEY holds no key"), std::string::npos);
  t.ctx.server_key_chosen.clear();
  t.ctx.server_key_built_in.clear();

  EXPECT_EQ(Pin(), "");
  client->proven_key = a;
  OnServerMessage(&t.ctx, {net::MessageId::ConnectComplete, net::DPNERR_SERVERKEY});
  const auto boxes = t.windows.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "Client Application");
  EXPECT_EQ(boxes[0].type, kMbIconWarning);
  for (const std::string& part :
       {"The game server at " + address + " proved a key other than",
        "Expected:  b2b2 b2b2 b2b2 b2b2 (remembered in " + KnownServersFile(t.ctx).string() + ")",
        std::string("Proven:    a1a1 a1a1 a1a1 a1a1"),
        std::string("someone between you and the server"), "talmeris --forget-server " + address}) {
    EXPECT_NE(boxes[0].text.find(part), std::string::npos) << part << "\n" << boxes[0].text;
  }
  EXPECT_EQ(t.ctx.event_log.Line(t.ctx.event_log.Count() - 1),
            "The server's key is not the one remembered (talmeris/known_servers)!");
}

// A file that should hold a key and holds none refuses, naming the file (and the line): never
// first use again. known_servers is read whole, its last line for the address counting.
TEST_F(ServerKeyTest, FilesThatHoldNoKeyRefuseAndKnownServersIsReadWhole) {
  const std::string key_file = (t.dir.path() / "server.key").string();
  const std::string huge = Hex(Filled(1)) + std::string(1024 - 64 + 1, ' ');
  for (const std::string& text :
       {std::string(), std::string("\n"), Hex(Filled(1)).substr(1), Hex(Filled(1)) + "x", huge}) {
    KeyFile(text);
    EXPECT_NE(Pin().find(key_file + " is damaged or cannot be read"), std::string::npos)
        << text.size();
    EXPECT_FALSE(client->pinned);
  }
  KeyFile(huge.substr(0, 1024));  // the longest a key file may be
  EXPECT_EQ(Pin(), "");
  EXPECT_TRUE(PinnedTo(Filled(1)));
  std::filesystem::remove(key_file);
  std::filesystem::create_directory(key_file);
  EXPECT_NE(Pin().find(key_file), std::string::npos);
  std::filesystem::remove(key_file);

  // Other servers' lines past 64 KiB, a neighbour whose address starts like ours, then ours
  // twice, the last without a line end.
  const net::Key c = Filled(0xc3), d = Filled(0xd4), e = Filled(0xe5);
  std::string others;
  for (int i = 0; others.size() < 100 * 1024; ++i) {
    others += "10.0.0." + std::to_string(i % 250) + ":" + std::to_string(i) + " " + Hex(c) + "\n";
  }
  others += "127.0.0.1:23020 " + Hex(c) + "\n127.0.0.1:2302x nonsense\n";
  Known(others + address + " " + Hex(c) + "\n" + address + " " + Hex(d));
  EXPECT_EQ(Pin(), "");
  EXPECT_TRUE(PinnedTo(d));
  const auto size_before = std::filesystem::file_size(KnownServersFile(t.ctx));
  ASSERT_TRUE(RememberServer(KnownServersFile(t.ctx), address, e));
  EXPECT_EQ(Slurp(KnownServersFile(t.ctx)).substr(size_before),
            "\n" + address + " " + Hex(e) + "\n");  // on a line of its own

  const long lines = static_cast<long>(std::count(others.begin(), others.end(), '\n'));
  for (const std::string& bad : {address, address + " " + Hex(c).substr(2), address + "  zz",
                                 address + " " + Hex(c) + std::string(600, ' ')}) {
    Known(others + bad + "\n" + address + " " + Hex(c) + "\n");
    const std::string refused = Pin();
    EXPECT_NE(refused.find("Line " + std::to_string(lines + 1) + " of " +
                           KnownServersFile(t.ctx).string() + " is damaged"),
              std::string::npos)
        << bad.size() << refused;
    EXPECT_NE(refused.find("talmeris --forget-server " + address), std::string::npos);
    EXPECT_FALSE(client->pinned);
  }
  // Forgetting the address removes its lines and keeps every other.
  EXPECT_EQ(ForgetServer(KnownServersFile(t.ctx), address), 2);
  EXPECT_EQ(Slurp(KnownServersFile(t.ctx)), others);
  EXPECT_EQ(Pin(), "");
  EXPECT_FALSE(client->pinned);
  std::filesystem::remove(KnownServersFile(t.ctx));
  std::filesystem::create_directory(KnownServersFile(t.ctx));
  EXPECT_NE(Pin().find(" cannot be read"), std::string::npos);
}

TEST_F(ServerKeyTest, WritersAtOnceLoseNoLine) {
  // Two clients meeting servers for the first time while a third forgets one, over and over.
  const auto file = KnownServersFile(t.ctx);
  auto meet = [&](int first) {
    for (int i = first; i < first + 60; ++i) {
      EXPECT_TRUE(RememberServer(file, "10.1.0.1:" + std::to_string(i), Filled(i & 0xff)));
    }
  };
  std::thread one(meet, 1000), two(meet, 2000), forget([&] {
    for (int i = 0; i < 60; ++i) {
      RememberServer(file, "10.9.9.9:1", Filled(9));
      EXPECT_GE(ForgetServer(file, "10.9.9.9:1"), 0);
    }
  });
  one.join();
  two.join();
  forget.join();
  for (int i : {1000, 1001, 1059, 2000, 2059}) {
    const KnownServerLookup seen = LookUpKnownServer(file, "10.1.0.1:" + std::to_string(i));
    EXPECT_EQ(seen.result, KnownServer::kKnown) << i;
    EXPECT_EQ(seen.key, Filled(i & 0xff));
  }
  const std::string all = Slurp(file);
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 120);
}

}  // namespace
}  // namespace talmeris
