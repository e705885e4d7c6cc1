// The session transport over real ENet on loopback.
#include <gtest/gtest.h>

#include <enet/enet.h>
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "app/posix_launcher.h"
#include "base/bytes.h"
#include "net/enet_limits.h"
#include "net/enet_transport.h"
#include "net/secure_session.h"
#include "support/fault_proxy.h"
#include "support/raw_connections.h"
#include "support/test_ports.h"

namespace talmeris::net {
namespace {

using namespace std::chrono_literals;

const Guid kApp = *Guid::Parse("{2AD4CA3B-AC68-4D9B-9522-BE59CD485276}");
const Guid kOtherApp = *Guid::Parse("{1AD4CA3B-AC68-4D9B-9522-BE59CD485276}");

using test::NextTestPort;
using test::RawConnections;

// Collects what a handler receives and lets tests wait for it with a deadline.
struct Inbox {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Message> messages;  // data pointers cleared; payloads kept below
  std::vector<std::vector<std::uint8_t>> payloads;
  std::function<void(const Message&)> on_message;

  static HRESULT Handle(void* self, const Message& m) {
    auto* inbox = static_cast<Inbox*>(self);
    if (inbox->on_message) inbox->on_message(m);
    std::lock_guard lock(inbox->mutex);
    Message copy = m;
    copy.data = nullptr;
    inbox->messages.push_back(copy);
    inbox->payloads.emplace_back(m.data, m.data + m.size);
    inbox->cv.notify_all();
    return DPN_OK;
  }
  template <typename Pred>
  bool WaitFor(Pred pred, std::chrono::milliseconds timeout = 5000ms) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, timeout, [&] { return pred(*this); });
  }
  int Count(MessageId id) {
    int n = 0;
    for (auto& m : messages) n += m.id == id;
    return n;
  }
  bool Has(MessageId id) { return Count(id) > 0; }  // with the lock held (in WaitFor)
  bool HasNow(MessageId id) {                       // from outside
    std::lock_guard lock(mutex);
    return Count(id) > 0;
  }
  Message First(MessageId id) {
    std::lock_guard lock(mutex);
    for (auto& m : messages) {
      if (m.id == id) return m;
    }
    return {};
  }
};

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { network = CreateEnetNetwork(options); }

  Address HostAddress(std::uint32_t port) {
    Address a;
    network->SetSP(a, CLSID_DP8SP_TCPIP);
    network->AddComponent(a, "hostname", std::string_view("127.0.0.1"));
    network->AddComponent(a, "port", port);
    return a;
  }
  ApplicationDesc App(const Guid& g) {
    ApplicationDesc d;
    d.application = g;
    d.flags = DPNSESSION_CLIENT_SERVER;
    return d;
  }
  std::unique_ptr<Server> StartServer(Inbox& inbox, std::uint32_t port,
                                      InlineFilter inline_filter = nullptr) {
    std::unique_ptr<Server> s;
    network->CreateServer(&s);
    s->Initialize(&inbox, &Inbox::Handle, 1);
    s->SetInlineFilter(inline_filter);
    EXPECT_EQ(s->Host(App(kApp), HostAddress(port)), DPN_OK);
    return s;
  }
  std::unique_ptr<Client> ConnectClient(Inbox& inbox, std::uint32_t port, const Guid& app = kApp) {
    std::unique_ptr<Client> c;
    network->CreateClient(&c);
    c->Initialize(&inbox, &Inbox::Handle, 1);
    Address device;
    network->SetSP(device, CLSID_DP8SP_TCPIP);
    EXPECT_TRUE(Succeeded(c->Connect(App(app), HostAddress(port), device)));
    return c;
  }
  bool Completed(Inbox& inbox) {
    return inbox.WaitFor([](Inbox& i) { return i.Has(MessageId::ConnectComplete); });
  }

  EnetOptions options;
  std::unique_ptr<Network> network;
};

TEST_F(TransportTest, ConnectCompletesAndPlayersAreCreated) {
  Inbox server_inbox, client_inbox;
  auto port = NextTestPort();
  auto server = StartServer(server_inbox, port);
  // The host's own player is reported before Host returns.
  ASSERT_EQ(server_inbox.Count(MessageId::CreatePlayer), 1);
  auto client = ConnectClient(client_inbox, port);
  ASSERT_TRUE(Completed(client_inbox));
  EXPECT_EQ(client_inbox.First(MessageId::ConnectComplete).result, DPN_OK);
  ASSERT_TRUE(server_inbox.WaitFor([](Inbox& i) { return i.Count(MessageId::CreatePlayer) == 2; }));

  // The round trip is measured from the handshake, not a default.
  ConnectionInfo info;
  ASSERT_EQ(client->GetConnectionInfo(&info), DPN_OK);
  EXPECT_LT(info.round_trip_latency_ms, 100u);

  client->Close(kCloseImmediate);
  ASSERT_TRUE(server_inbox.WaitFor([](Inbox& i) { return i.Has(MessageId::DestroyPlayer); }));
  server->Close(1);
}

TEST_F(TransportTest, WrongApplicationIsRefused) {
  Inbox server_inbox, client_inbox;
  auto port = NextTestPort();
  auto server = StartServer(server_inbox, port);
  auto client = ConnectClient(client_inbox, port, kOtherApp);
  ASSERT_TRUE(Completed(client_inbox));
  EXPECT_EQ(client_inbox.First(MessageId::ConnectComplete).result, DPNERR_INVALIDAPPLICATION);
  EXPECT_EQ(server_inbox.Count(MessageId::CreatePlayer), 1);  // only the host's own
  client->Close(0);
  server->Close(1);
}

TEST_F(TransportTest, NobodyListeningFailsTheConnect) {
  options.connect_timeout_ms = 500;
  network = CreateEnetNetwork(options);
  Inbox client_inbox;
  auto client = ConnectClient(client_inbox, NextTestPort());
  ASSERT_TRUE(Completed(client_inbox));
  EXPECT_EQ(client_inbox.First(MessageId::ConnectComplete).result, DPNERR_NORESPONSE);
  std::uint8_t byte = 1;
  EXPECT_EQ(client->Send(&byte, 1, 0, 0x128), DPNERR_NOCONNECTION);
  client->Close(0);
}

// On a lossy network every early try of a connect may be lost: the transport's fourth resend
// (7.5 s after the first try) still completes it, and the host still hears HELLO in time.
TEST_F(TransportTest, AConnectWhoseFirstFourTriesAreLostStillCompletes) {
  Inbox server_inbox, client_inbox;
  const auto port = NextTestPort(), relay_port = NextTestPort();
  auto server = StartServer(server_inbox, port);
  test::Faults faults;
  faults.lose_first = 4;
  test::FaultProxy relay(static_cast<std::uint16_t>(relay_port), static_cast<std::uint16_t>(port),
                         faults);
  auto client = ConnectClient(client_inbox, relay_port);
  ASSERT_TRUE(
      client_inbox.WaitFor([](Inbox& i) { return i.Has(MessageId::ConnectComplete); }, 30000ms));
  EXPECT_EQ(client_inbox.First(MessageId::ConnectComplete).result, DPN_OK);
  EXPECT_EQ(relay.Lost(), 4u);
  client->Close(0);
  server->Close(1);
}

TEST_F(TransportTest, TakenPortIsAnInvalidDeviceAddress) {
  Inbox a, b;
  auto port = NextTestPort();
  auto first = StartServer(a, port);
  std::unique_ptr<Server> second;
  network->CreateServer(&second);
  second->Initialize(&b, &Inbox::Handle, 1);
  EXPECT_EQ(second->Host(App(kApp), HostAddress(port)), DPNERR_INVALIDDEVICEADDRESS);
  first->Close(1);
}

TEST_F(TransportTest, GuaranteedMessagesArriveOnceInOrderDespiteLoss) {
  options.drop_incoming_percent = 10;
  network = CreateEnetNetwork(options);
  Inbox server_inbox, client_inbox;
  auto port = NextTestPort();
  auto server = StartServer(server_inbox, port);
  auto client = ConnectClient(client_inbox, port);
  ASSERT_TRUE(Completed(client_inbox));
  ASSERT_EQ(client_inbox.First(MessageId::ConnectComplete).result, DPN_OK);
  constexpr int kCount = 300;
  for (int i = 0; i < kCount; ++i) {
    std::uint8_t msg[88] = {};
    msg[0] = static_cast<std::uint8_t>(i);
    msg[1] = static_cast<std::uint8_t>(i >> 8);
    ASSERT_TRUE(Succeeded(client->Send(msg, sizeof msg, 0, 0x128)));
  }
  ASSERT_TRUE(server_inbox.WaitFor([](Inbox& i) { return i.Count(MessageId::Receive) >= kCount; },
                                   15000ms));
  std::vector<int> order;
  for (std::size_t k = 0; k < server_inbox.messages.size(); ++k) {
    if (server_inbox.messages[k].id != MessageId::Receive) continue;
    auto& p = server_inbox.payloads[k];
    order.push_back(p[0] | (p[1] << 8));
  }
  ASSERT_EQ(order.size(), static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(order[i], i);
  client->Close(0);
  server->Close(1);
}

TEST_F(TransportTest, LargePayloadsPassBothWaysAndUnguaranteedNonSequentialArrive) {
  Inbox server_inbox, client_inbox;
  auto port = NextTestPort();
  auto server = StartServer(server_inbox, port);
  auto client = ConnectClient(client_inbox, port);
  ASSERT_TRUE(Completed(client_inbox));
  std::vector<std::uint8_t> big(16524);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(Succeeded(client->Send(big.data(), big.size(), 0, 0x128)));
  ASSERT_TRUE(server_inbox.WaitFor([](Inbox& i) { return i.Has(MessageId::Receive); }));
  DPNID player = server_inbox.First(MessageId::Receive).player;
  EXPECT_EQ(server_inbox.payloads.back(), big);

  ASSERT_TRUE(Succeeded(server->SendTo(player, big.data(), big.size(), 0, 0x138)));
  std::uint8_t small[64] = {9};
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(Succeeded(server->SendTo(0, small, 64, 1000, 0x132)));
  ASSERT_TRUE(client_inbox.WaitFor([](Inbox& i) { return i.Count(MessageId::Receive) >= 21; }));
  bool found_big = false;
  int smalls = 0;
  for (auto& p : client_inbox.payloads) {
    found_big = found_big || p == big;
    smalls += p.size() == 64;
  }
  EXPECT_TRUE(found_big);
  EXPECT_EQ(smalls, 20);  // nothing is lost on a clean loopback

  ConnectionInfo info;
  ASSERT_EQ(server->GetConnectionInfo(player, &info), DPN_OK);
  EXPECT_EQ(info.packets_sent_guaranteed, 1u);
  EXPECT_EQ(info.packets_sent_non_guaranteed, 20u);
  EXPECT_EQ(info.bytes_received_guaranteed, 16524u);
  EXPECT_EQ(info.messages_received, 1u);
  client->Close(0);
  server->Close(1);
}

// Two- and four-byte messages may be handled on the service thread; all else on a handler thread.
bool TwoBytesInline(const std::uint8_t*, std::uint32_t size) {
  return size == 2 || size == 4;
}

TEST_F(TransportTest, ABlockedHandlerHoldsBackOnlyItsOwnConnectionInOrderAndBounded) {
  options.timeout_min_ms = 500;
  options.timeout_max_ms = 1500;
  network = CreateEnetNetwork(options);
  Inbox server_inbox, a_inbox, b_inbox;
  auto port = NextTestPort();
  std::atomic<bool> blocking{false};
  std::atomic<DPNID> a_id{0};
  std::thread::id blocked_thread;
  struct Seen {
    DPNID player;
    std::vector<std::uint8_t> data;
    bool while_blocked;
    std::thread::id thread;
  };
  std::vector<Seen> seen;  // under server_inbox.mutex
  server_inbox.on_message = [&](const Message& m) {
    if (m.id != MessageId::Receive) return;
    if (m.size == 1 && m.data[0] == 0xB1) {
      {
        std::lock_guard lock(server_inbox.mutex);
        blocked_thread = std::this_thread::get_id();
        a_id = m.player;
        blocking = true;
      }
      server_inbox.cv.notify_all();
      std::this_thread::sleep_for(3000ms);  // longer than the time-out
      blocking = false;
      return;
    }
    std::lock_guard lock(server_inbox.mutex);
    seen.push_back(
        {m.player, {m.data, m.data + m.size}, blocking.load(), std::this_thread::get_id()});
  };
  auto server = StartServer(server_inbox, port, &TwoBytesInline);
  auto a = ConnectClient(a_inbox, port);
  auto b = ConnectClient(b_inbox, port);
  ASSERT_TRUE(Completed(a_inbox));
  ASSERT_TRUE(Completed(b_inbox));
  ASSERT_TRUE(server_inbox.WaitFor([](Inbox& i) { return i.Count(MessageId::CreatePlayer) == 3; }));

  std::uint8_t block = 0xB1;
  a->Send(&block, 1, 0, 0x128);
  ASSERT_TRUE(server_inbox.WaitFor([&](Inbox&) { return blocking.load(); }));
  // Behind the blocked handler: inline-eligible unguaranteed messages and guaranteed ones.
  for (int i = 0; i < 600; ++i) {
    std::uint8_t m[4] = {0x11, 0};
    StoreU16(m + 2, static_cast<std::uint16_t>(i));
    ASSERT_TRUE(Succeeded(a->Send(m, 4, 0, 0x132)));
    if (i % 60 == 0) {
      std::uint8_t g[3] = {0x22, static_cast<std::uint8_t>(i / 60)};
      ASSERT_TRUE(Succeeded(a->Send(g, 3, 0, 0x128)));
    }
  }
  for (int i = 0; i < 10; ++i) {
    std::uint8_t m[3] = {0x33, static_cast<std::uint8_t>(i)};
    b->Send(m, 3, 0, 0x128);
  }
  auto count = [&](std::uint8_t tag) {
    int n = 0;
    for (auto& x : seen) n += x.data[0] == tag;
    return n;
  };
  ASSERT_TRUE(server_inbox.WaitFor([&](Inbox&) { return count(0x33) == 10; }, 2000ms));
  EXPECT_TRUE(blocking.load());  // b's messages were handled while a's handler was blocked
  ASSERT_TRUE(
      server_inbox.WaitFor([&](Inbox&) { return !blocking.load() && count(0x22) == 10; }, 5000ms));
  // Every unguaranteed message that arrived is handled or dropped and counted (a loaded machine
  // may lose some on the way: loopback datagrams are unguaranteed too).
  ConnectionInfo info;
  ASSERT_TRUE(server_inbox.WaitFor(
      [&](Inbox&) {
        server->GetConnectionInfo(a_id.load(), &info);
        return static_cast<std::uint32_t>(count(0x11)) + info.receives_dropped ==
               info.packets_received_non_guaranteed;
      },
      5000ms))
      << count(0x11) << " handled, " << info.receives_dropped << " dropped, "
      << info.packets_received_non_guaranteed << " arrived";
  if (info.packets_received_non_guaranteed > 300) {
    EXPECT_GT(info.receives_dropped, 0u);
  }

  std::thread::id pool_thread;
  {
    std::lock_guard lock(server_inbox.mutex);
    pool_thread = blocked_thread;
    int last_unguaranteed = -1, last_guaranteed = -1, last_b = -1;
    std::uint32_t unguaranteed = 0;
    for (auto& x : seen) {
      if (x.data[0] == 0x33) {
        EXPECT_EQ(x.data[1], last_b + 1);
        last_b = x.data[1];
        continue;
      }
      EXPECT_FALSE(x.while_blocked);  // nothing of a's ran beside its blocked handler
      if (x.data[0] == 0x11) {
        EXPECT_GT(LoadU16(x.data.data() + 2), last_unguaranteed);  // in order, oldest dropped
        last_unguaranteed = LoadU16(x.data.data() + 2);
        ++unguaranteed;
      } else {
        EXPECT_EQ(x.data[1], last_guaranteed + 1);  // every guaranteed one, in order
        last_guaranteed = x.data[1];
      }
    }
    EXPECT_LE(unguaranteed, 256);  // the handler's queue is bounded
    EXPECT_GT(unguaranteed, 0);
  }

  // With its strand idle again, an inline-eligible message runs on the service thread (on a
  // loaded machine the strand may still be finishing its last message for the first few).
  bool ran_inline = false;
  for (int k = 0; k < 20 && !ran_inline; ++k) {
    std::uint8_t last[2] = {0x44, static_cast<std::uint8_t>(k)};
    a->Send(last, 2, 0, 0x128);
    ASSERT_TRUE(server_inbox.WaitFor([&](Inbox&) { return count(0x44) == k + 1; }));
    std::lock_guard lock(server_inbox.mutex);
    ran_inline = seen.back().thread != pool_thread;
  }
  EXPECT_TRUE(ran_inline);
  EXPECT_FALSE(a_inbox.HasNow(MessageId::TerminateSession));
  EXPECT_FALSE(b_inbox.HasNow(MessageId::TerminateSession));
  EXPECT_EQ(server_inbox.Count(MessageId::DestroyPlayer), 0);
  a->Close(0);
  b->Close(0);
  server->Close(1);
}

TEST_F(TransportTest, SendersOnManyThreadsAreDeliveredWholeAndInOrderPerSender) {
  Inbox server_inbox, client_inbox;
  auto port = NextTestPort();
  auto server = StartServer(server_inbox, port);
  auto client = ConnectClient(client_inbox, port);
  ASSERT_TRUE(Completed(client_inbox));
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::uint8_t m[5] = {static_cast<std::uint8_t>(t)};
        StoreU32(m + 1, static_cast<std::uint32_t>(i));
        client->Send(m, sizeof m, 0, 0x128);
      }
    });
  }
  for (auto& s : senders) s.join();
  ASSERT_TRUE(server_inbox.WaitFor(
      [](Inbox& i) { return i.Count(MessageId::Receive) == kThreads * kEach; }, 10000ms));
  std::vector<int> next(kThreads, 0);
  std::lock_guard lock(server_inbox.mutex);
  for (auto& p : server_inbox.payloads) {
    if (p.size() != 5) continue;
    ASSERT_LT(p[0], kThreads);
    EXPECT_EQ(LoadU32(p.data() + 1), static_cast<std::uint32_t>(next[p[0]]));
    ++next[p[0]];
  }
  for (int n : next) EXPECT_EQ(n, kEach);
}

TEST_F(TransportTest, CloseWithABlockedHandlerReturnsAndNothingRunsAfter) {
  Inbox server_inbox, client_inbox;
  auto port = NextTestPort();
  std::atomic<bool> in_handler{false};
  std::atomic<int> calls_after_close{0};
  std::atomic<bool> closed{false};
  server_inbox.on_message = [&](const Message& m) {
    if (closed) ++calls_after_close;
    if (m.id == MessageId::Receive) {
      {
        std::lock_guard lock(server_inbox.mutex);
        in_handler = true;
      }
      server_inbox.cv.notify_all();
      std::this_thread::sleep_for(300ms);
    }
  };
  auto server = StartServer(server_inbox, port);
  auto client = ConnectClient(client_inbox, port);
  ASSERT_TRUE(Completed(client_inbox));
  std::uint8_t m = 1;
  for (int i = 0; i < 5; ++i) client->Send(&m, 1, 0, 0x128);
  ASSERT_TRUE(server_inbox.WaitFor([&](Inbox&) { return in_handler.load(); }));
  server->Close(1);
  closed = true;
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(calls_after_close.load(), 0);
  EXPECT_LT(server_inbox.Count(MessageId::Receive), 5);  // the rest were dropped, not delivered
  ASSERT_TRUE(client_inbox.WaitFor([](Inbox& i) { return i.Has(MessageId::TerminateSession); }));
  EXPECT_EQ(client_inbox.First(MessageId::TerminateSession).result, DPNERR_HOSTTERMINATEDSESSION);
  client->Close(0);
}

TEST_F(TransportTest, SendQueueDrainsToZeroAndFailsForAGonePlayer) {
  Inbox server_inbox, client_inbox;
  auto port = NextTestPort();
  auto server = StartServer(server_inbox, port);
  auto client = ConnectClient(client_inbox, port);
  ASSERT_TRUE(Completed(client_inbox));
  ASSERT_TRUE(server_inbox.WaitFor([](Inbox& i) { return i.Count(MessageId::CreatePlayer) == 2; }));
  DPNID player = 0;
  {
    std::lock_guard lock(server_inbox.mutex);
    player = server_inbox.messages.back().player;
  }
  // More than ENet's window lets fly at once, so some is still queued right after.
  std::vector<std::uint8_t> data(4000, 1);
  for (int i = 0; i < 400; ++i) server->SendTo(player, data.data(), data.size(), 0, 0x138);
  std::uint32_t queued = 0;
  ASSERT_EQ(server->GetSendQueueInfo(player, &queued, nullptr, 0), DPN_OK);
  EXPECT_GT(queued, 0u);
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (queued > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
    ASSERT_EQ(server->GetSendQueueInfo(player, &queued, nullptr, 0), DPN_OK);
  }
  EXPECT_EQ(queued, 0u);
  client->Close(0);
  ASSERT_TRUE(server_inbox.WaitFor([](Inbox& i) { return i.Has(MessageId::DestroyPlayer); }));
  EXPECT_EQ(server->GetSendQueueInfo(player, &queued, nullptr, 0), DPNERR_INVALIDPLAYER);
  server->Close(1);
}

TEST_F(TransportTest, BadSendsAreRefused) {
  Inbox server_inbox;
  auto server = StartServer(server_inbox, NextTestPort());
  std::uint8_t byte = 0;
  EXPECT_EQ(server->SendTo(0x1234, &byte, 1, 0, 0x138), DPNERR_INVALIDPLAYER);
  EXPECT_EQ(server->SendTo(0, &byte, 1, 0, 0x4000), DPNERR_INVALIDFLAGS);
  EXPECT_EQ(server->SendTo(0, &byte, 0, 0, 0x138), DPNERR_INVALIDPARAM);
  EXPECT_EQ(server->SendTo(0, &byte, 1, 0, 0x138), DPNSUCCESS_PENDING);  // nobody attached
  server->Close(1);
  EXPECT_EQ(server->SendTo(0, &byte, 1, 0, 0x138), DPNERR_UNINITIALIZED);
}

TEST_F(TransportTest, ServiceProvidersAndAddresses) {
  std::unique_ptr<Client> client;
  network->CreateClient(&client);
  std::uint32_t size = 0, count = 0;
  EXPECT_EQ(client->EnumServiceProviders(&CLSID_DP8SP_TCPIP, nullptr, &size, &count),
            DPNERR_BUFFERTOOSMALL);
  std::vector<ServiceProviderInfo> list(size / sizeof(ServiceProviderInfo));
  EXPECT_EQ(client->EnumServiceProviders(&CLSID_DP8SP_TCPIP, list.data(), &size, &count), DPN_OK);
  EXPECT_EQ(count, 1u);
  Address a;
  EXPECT_EQ(network->SetSP(a, kApp), DPNERR_INVALIDPARAM);  // only TCP/IP exists
  EXPECT_EQ(network->AddComponent(a, "port", std::string_view("2302")), DPNERR_INVALIDPARAM);
  EXPECT_EQ(kApp.ToString(), "{2AD4CA3B-AC68-4D9B-9522-BE59CD485276}");
}

std::set<int> OpenDescriptors() {
  std::set<int> fds;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    fds.insert(std::atoi(e.path().filename().c_str()));
  }
  std::erase_if(fds, [](int fd) { return ::fcntl(fd, F_GETFD) == -1; });  // the listing's own
  return fds;
}

int ThreadCount() {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

TEST_F(TransportTest, DescriptorsAreCloseOnExecAndStartedProgramsInheritNone) {
  const std::set<int> before = OpenDescriptors();
  Inbox server_inbox, client_inbox;
  auto port = NextTestPort();
  auto server = StartServer(server_inbox, port);
  auto client = ConnectClient(client_inbox, port);
  ASSERT_TRUE(Completed(client_inbox));
  int opened = 0;
  for (int fd : OpenDescriptors()) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (before.count(fd) || flags == -1) continue;
    ++opened;
    EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << fd;
  }
  EXPECT_GE(opened, 4);  // two sockets and two eventfds at least

  // Even a descriptor someone left inheritable does not reach a started program.
  int leaked[2];
  ASSERT_EQ(::pipe(leaked), 0);
  const auto dir = std::filesystem::temp_directory_path() /
                   ("talmeris-fd-" + std::to_string(::getpid()) + "-" + std::to_string(port));
  std::filesystem::create_directories(dir);
  std::filesystem::create_symlink(TALMERIS_FD_REPORT, dir / "fdreport");
  const auto report = dir / "report.txt";
  ::setenv("FD_REPORT", report.c_str(), 1);
  PosixLauncher launcher(dir);
  ASSERT_TRUE(launcher.Start("fdreport"));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!std::filesystem::exists(report) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(std::filesystem::exists(report));
  std::ifstream in(report);
  std::string inherited((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(inherited, "");
  ::close(leaked[0]);
  ::close(leaked[1]);
  std::filesystem::remove_all(dir);
  client->Close(0);
  server->Close(1);
}

TEST_F(TransportTest, ShortChannelsAndOversizedMessagesGetNothingThrough) {
  Inbox server_inbox;
  auto port = NextTestPort();
  auto server = StartServer(server_inbox, port);

  RawConnections two(2);
  two.Connect(port, 1, &kApp);
  ASSERT_TRUE(two.Service([&] { return two.disconnected == 1; }));
  EXPECT_EQ(two.welcomed, 0);

  RawConnections four(4);
  four.Connect(port, 1, &kApp);
  ASSERT_TRUE(four.Service([&] { return four.welcomed == 1; }));
  four.Send(0, 3, 100000, ENET_PACKET_FLAG_UNSEQUENCED | ENET_PACKET_FLAG_UNRELIABLE_FRAGMENT);
  four.Send(0, 3, 20, ENET_PACKET_FLAG_UNSEQUENCED);
  four.Send(0, 2, 65536, ENET_PACKET_FLAG_RELIABLE);  // the largest payload still passes
  ASSERT_TRUE(four.Service([&] {
    return server_inbox.WaitFor(
        [](Inbox& i) {
          bool small = false, largest = false;
          for (auto& p : i.payloads) {
            small = small || p.size() == 20;
            largest = largest || p.size() == 65536;
          }
          return small && largest;
        },
        1ms);
  }));
  std::lock_guard lock(server_inbox.mutex);
  for (auto& p : server_inbox.payloads) EXPECT_LE(p.size(), kMaxPayload);
}

TEST_F(TransportTest, AFullHostDisplacesConnectionsNeverKeptAndThreadsStayFew) {
  const int threads_before = ThreadCount();
  Inbox server_inbox, kept_inbox, late_inbox;
  auto port = NextTestPort();
  auto server = StartServer(server_inbox, port);
  auto kept = ConnectClient(kept_inbox, port);
  ASSERT_TRUE(Completed(kept_inbox));
  ASSERT_TRUE(server_inbox.WaitFor([](Inbox& i) { return i.Count(MessageId::CreatePlayer) == 2; }));
  const DPNID kept_id = server_inbox.messages.back().player;
  ASSERT_EQ(server->KeepPlayer(kept_id), DPN_OK);

  // Seventy connections that say hello and never register, then thirty that say nothing.
  RawConnections flood(4);
  flood.Connect(port, 70, &kApp);
  ASSERT_TRUE(flood.Service([&] { return flood.connected == 70 && flood.welcomed >= 63; }))
      << flood.connected << " connected, " << flood.welcomed << " welcomed, " << flood.disconnected
      << " displaced";
  flood.Connect(port, 30);
  ASSERT_TRUE(flood.Service([&] { return flood.connected == 100 && flood.disconnected >= 37; }));

  // A companion arriving now still gets in, and the kept player was never displaced.
  auto late = ConnectClient(late_inbox, port);
  ASSERT_TRUE(flood.Service([&] {
    return late_inbox.WaitFor([](Inbox& i) { return i.Has(MessageId::ConnectComplete); }, 1ms);
  }));
  EXPECT_EQ(late_inbox.First(MessageId::ConnectComplete).result, DPN_OK);
  {
    std::lock_guard lock(server_inbox.mutex);
    for (auto& m : server_inbox.messages) {
      EXPECT_FALSE(m.id == MessageId::DestroyPlayer && m.player == kept_id);
    }
  }
  EXPECT_FALSE(kept_inbox.HasNow(MessageId::TerminateSession));
  // Two clients (a service thread and a handler thread each), the host's service thread and
  // its bounded handler pool: nothing grows with the hundred connections.
  EXPECT_LE(ThreadCount() - threads_before, 2 + 2 + 1 + 8);
  late->Close(0);
  kept->Close(0);
  server->Close(1);
}

// ---- the secure session ----

std::string Hex(const std::uint8_t* d, std::size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += {digits[d[i] >> 4], digits[d[i] & 15]};
  return s;
}
Key Filled(std::uint8_t v) {
  Key k;
  k.fill(v);
  return k;
}

// docs/transport.md's worked example, byte for byte: the handshake of fixed keys, the two
// directions' keys, and one sealed message.
TEST(SecureSession, TheWorkedExampleOfTheDocs) {
  ASSERT_TRUE(SodiumReady());
  const KeyPair client_e = KeyPairFromSecret(Filled(0x11)),
                server_s = KeyPairFromSecret(Filled(0x22)),
                server_e = KeyPairFromSecret(Filled(0x33));
  Handshake client, server;
  std::uint8_t hello[kSecureHelloSize], welcome[kSecureWelcomeSize];
  WriteSecureHello(&client, client_e, kOtherApp, 0x0102030405060708ull, hello);
  EXPECT_EQ(Hex(hello, sizeof hello),
            "067b4e909bbe7ffe44c465a220037d608ee35897d31ef972f07f74892cb0f73f13023bcad41a68ac9b4d"
            "9522be59cd4852760807060504030201");
  HelloFields h;
  ASSERT_TRUE(ReadSecureHello(&server, hello, sizeof hello, &h));
  EXPECT_TRUE(h.application == kOtherApp);
  SessionKeys server_keys, client_keys;
  ASSERT_TRUE(
      WriteSecureWelcome(server, server_s, server_e, 0x00200002, h.clock, welcome, &server_keys));
  EXPECT_EQ(Hex(welcome, sizeof welcome),
            "077b0d47d93427f8311160781c7c733fd89f88970aef490d8aa0ee19a4cb8a1b1434672d241685ac7bdd"
            "efe117d975ef2d21286427f8d96bc2086f1272ffef014f3a59365987e9e8e6aff59840b3ee2c869667d7"
            "2b45eb7d60c3977e43b6d516df6d7d3a25237e2583558d69db84");
  WelcomeFields w;
  ASSERT_TRUE(ReadSecureWelcome(client, welcome, sizeof welcome, &w, &client_keys));
  EXPECT_EQ(w.server_key, server_s.public_key);
  EXPECT_EQ(w.player, 0x00200002u);
  EXPECT_EQ(Hex(client_keys.send.data(), kKeySize),
            "f0302a40dd664923a30f31b63cc5340b4127e3976190cdb1bdf02a0e8fd392a7");
  EXPECT_EQ(Hex(client_keys.receive.data(), kKeySize),
            "6ae8206bd864244f65da6bbb4fdde5b41fc010231da2b9eb6b07a450173933c3");
  EXPECT_EQ(client_keys.send, server_keys.receive);
  EXPECT_EQ(client_keys.receive, server_keys.send);

  SealState c, s;
  c.keys = client_keys;
  s.keys = server_keys;
  const std::uint8_t plain[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::uint8_t sealed[sizeof plain + kSealOverhead];
  Seal(c, 1, true, plain, sizeof plain, sealed);
  EXPECT_EQ(Hex(sealed, sizeof sealed),
            "0300000000000000007847e6da4a709754253b1de83c8756f3eebc02e11b3ea3d4");
  std::size_t size = sizeof sealed;
  ASSERT_EQ(Open(s, 1, true, sealed, &size), OpenResult::kOpened);
  EXPECT_EQ(std::vector<std::uint8_t>(sealed, sealed + size),
            std::vector<std::uint8_t>(plain, plain + sizeof plain));

  // A welcome with any byte changed does not open; nor does one from a server whose key differs.
  for (std::size_t i = 1; i < sizeof welcome; ++i) {
    Handshake again;
    WriteSecureHello(&again, client_e, kOtherApp, 0x0102030405060708ull, hello);
    std::uint8_t damaged[kSecureWelcomeSize];
    std::memcpy(damaged, welcome, sizeof welcome);
    damaged[i] ^= 0x40;
    WelcomeFields f;
    SessionKeys k;
    if (ReadSecureWelcome(again, damaged, sizeof damaged, &f, &k)) ADD_FAILURE() << "byte " << i;
  }
}

// An X25519 key of small order makes every shared secret with it zero, known to anyone: a SECURE
// HELLO carrying one gets no WELCOME, and a WELCOME carrying one does not open, even one written
// (as a forger would) with the zero secret it yields.
TEST(SecureSession, AKeyOfSmallOrderIsRefusedOnBothSides) {
  ASSERT_TRUE(SodiumReady());
  const KeyPair client_e = KeyPairFromSecret(Filled(0x11)),
                server_s = KeyPairFromSecret(Filled(0x22)),
                server_e = KeyPairFromSecret(Filled(0x33));
  Key order8;  // a point of order 8
  const char* order8_hex = "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800";
  ASSERT_EQ(sodium_hex2bin(order8.data(), 32, order8_hex, 64, nullptr, nullptr, nullptr), 0);
  std::uint8_t hello[kSecureHelloSize], welcome[kSecureWelcomeSize];
  for (const Key& small : {Filled(0), order8}) {
    KeyPair forged = client_e;
    forged.public_key = small;
    Handshake client, server;
    WriteSecureHello(&client, forged, kOtherApp, 7, hello);
    HelloFields h;
    ASSERT_TRUE(ReadSecureHello(&server, hello, sizeof hello, &h));
    SessionKeys keys;
    EXPECT_FALSE(WriteSecureWelcome(server, server_s, server_e, 2, 7, welcome, &keys));
  }

  // The forger's WELCOME: its ephemeral key is the order-8 point, `ee` the zero secret.
  Handshake client;
  WriteSecureHello(&client, client_e, kOtherApp, 7, hello);
  Key h, ck, k;
  std::memcpy(h.data(), "Noise_NX_25519_ChaChaPoly_SHA256", 32);
  ck = h;
  auto mix_hash = [&](const std::uint8_t* d, std::size_t n) {
    crypto_hash_sha256_state st;
    crypto_hash_sha256_init(&st);
    crypto_hash_sha256_update(&st, h.data(), 32);
    crypto_hash_sha256_update(&st, d, n);
    crypto_hash_sha256_final(&st, h.data());
  };
  auto mix_key = [&](const Key& shared) {
    Key temp;
    crypto_auth_hmacsha256(temp.data(), shared.data(), 32, ck.data());
    const std::uint8_t one = 1;
    crypto_auth_hmacsha256(ck.data(), &one, 1, temp.data());
    std::uint8_t second[33];
    std::memcpy(second, ck.data(), 32);
    second[32] = 2;
    crypto_auth_hmacsha256(k.data(), second, 33, temp.data());
  };
  auto encrypt_and_hash = [&](const std::uint8_t* plain, std::size_t n, std::uint8_t* out) {
    const std::uint8_t nonce[12] = {};
    crypto_aead_chacha20poly1305_ietf_encrypt(out, nullptr, plain, n, h.data(), 32, nullptr, nonce,
                                              k.data());
    mix_hash(out, n + 16);
  };
  mix_hash(reinterpret_cast<const std::uint8_t*>("TLM1"), 4);
  mix_hash(hello + 1, 32);
  mix_hash(hello + 33, 25);
  welcome[0] = kSecureWelcome;
  std::memcpy(welcome + 1, order8.data(), 32);
  mix_hash(order8.data(), 32);
  mix_key(Filled(0));  // ee
  encrypt_and_hash(server_s.public_key.data(), 32, welcome + 33);
  Key es;
  ASSERT_EQ(crypto_scalarmult(es.data(), server_s.secret_key.data(), client_e.public_key.data()),
            0);
  mix_key(es);
  std::uint8_t payload[13] = {kSecureVersion, 2, 0, 0, 0, 7};
  encrypt_and_hash(payload, sizeof payload, welcome + 81);
  WelcomeFields w;
  SessionKeys keys;
  EXPECT_FALSE(ReadSecureWelcome(client, welcome, sizeof welcome, &w, &keys));
}

// Sealed datagrams of an unreliable lane open once, in any order within the replay window,
// and never after a change; a reliable lane opens only the next counter, only from a reliable
// packet, and anything else a reliable packet carries breaks the session.
TEST(SecureSession, DatagramsOpenOnceWithinTheWindowAndReliableLanesOnlyInSequence) {
  SealState tx, rx;
  tx.keys.send = rx.keys.receive = Filled(7);
  auto seal = [&](std::uint8_t channel, std::uint8_t tag, bool reliable = false) {
    std::vector<std::uint8_t> d(4 + kSealOverhead);
    const std::uint8_t plain[4] = {tag, tag, tag, tag};
    Seal(tx, channel, reliable, plain, 4, d.data());
    return d;
  };
  auto open = [&](std::vector<std::uint8_t> d, std::uint8_t channel = 3, bool reliable = false) {
    std::size_t n = d.size();
    return Open(rx, channel, reliable, d.data(), &n);
  };
  std::vector<std::vector<std::uint8_t>> sent;
  for (int i = 0; i < 2200; ++i) sent.push_back(seal(3, static_cast<std::uint8_t>(i)));
  auto changed = sent[5];
  changed[12] ^= 1;
  EXPECT_EQ(open(changed), OpenResult::kUnopened);
  EXPECT_EQ(open(sent[5], 2), OpenResult::kUnopened);  // another channel's lane
  EXPECT_EQ(open(sent[5]), OpenResult::kOpened);       // the change left the window alone
  EXPECT_EQ(open(sent[5]), OpenResult::kReplayed);
  EXPECT_EQ(open(sent[1050]), OpenResult::kOpened);  // ahead
  EXPECT_EQ(open(sent[40]), OpenResult::kOpened);    // behind, inside the window: reordered
  EXPECT_EQ(open(sent[40]), OpenResult::kReplayed);
  EXPECT_EQ(open(sent[20]), OpenResult::kReplayed);  // behind the window: too old
  EXPECT_EQ(open(sent[1049]), OpenResult::kOpened);
  // The window's edge: exactly 1024 behind the newest is replayed, 1023 behind opens; the
  // bits of the last word are kept when the window moves on by a whole word and a part.
  EXPECT_EQ(open(sent[2100]), OpenResult::kOpened);
  EXPECT_EQ(open(sent[2100 - 1024]), OpenResult::kReplayed);
  EXPECT_EQ(open(sent[2100 - 1023]), OpenResult::kOpened);
  EXPECT_EQ(open(sent[2100 - 1023]), OpenResult::kReplayed);
  EXPECT_EQ(open(sent[2170]), OpenResult::kOpened);  // 70 on: the marks move with it
  EXPECT_EQ(open(sent[2100]), OpenResult::kReplayed);
  EXPECT_EQ(open(sent[2170 - 1023]), OpenResult::kOpened);
  EXPECT_EQ(open(sent[2100 - 1023]), OpenResult::kReplayed);  // now behind the window
  EXPECT_EQ(open(std::vector<std::uint8_t>(kSealOverhead - 1)), OpenResult::kUnopened);
  // Large unreliable messages may come as reliable fragments: the window still holds.
  EXPECT_EQ(open(sent[2171], 3, true), OpenResult::kOpened);
  EXPECT_EQ(open(sent[2171], 3, true), OpenResult::kBroken);  // ENet never delivers one twice

  // A reliable lane (channel 1): in sequence only.
  std::vector<std::vector<std::uint8_t>> g;
  for (int i = 0; i < 5; ++i) g.push_back(seal(1, static_cast<std::uint8_t>(i), true));
  EXPECT_EQ(open(g[1], 1, true), OpenResult::kBroken);     // the first was deleted
  EXPECT_EQ(open(g[0], 1, false), OpenResult::kUnopened);  // a copy outside the reliable stream
  EXPECT_EQ(open(g[0], 1, true), OpenResult::kOpened);
  EXPECT_EQ(open(g[0], 1, true), OpenResult::kBroken);  // replayed
  changed = g[1];
  changed[12] ^= 1;
  EXPECT_EQ(open(changed, 1, true), OpenResult::kBroken);
  changed = g[1];
  changed[0] = 2;  // the lane changed to the unreliable one of the channel
  EXPECT_EQ(open(changed, 1, true), OpenResult::kBroken);
  EXPECT_EQ(open(g[1], 1, true), OpenResult::kOpened);  // what failed changed nothing
  EXPECT_EQ(open(g[3], 1, true), OpenResult::kBroken);  // reordered
  EXPECT_EQ(open(g[2], 1, true), OpenResult::kOpened);
  EXPECT_EQ(open(g[3], 1, true), OpenResult::kOpened);
  EXPECT_EQ(open(g[4], 1, true), OpenResult::kOpened);
  // A datagram ENet refused to send gives its counter back: the lane has no gap.
  seal(1, 9, true);
  Unseal(tx, 1, true);
  EXPECT_EQ(open(seal(1, 5, true), 1, true), OpenResult::kOpened);
  Key parsed;
  const auto text = KeyText(Filled(0xAB));
  EXPECT_TRUE(ParseKeyText((std::string(" ") + text.data() + "\r\n").c_str(), 67, &parsed));
  EXPECT_EQ(parsed, Filled(0xAB));
  EXPECT_FALSE(ParseKeyText(text.data(), 63, &parsed));
}

// Over the transport: a secure host and a client pinned to its key talk (large and guaranteed
// messages both ways, sealed); a client pinned to another key, and a secure client meeting a
// host in clear, are refused; so is a client in clear by the secure host.
TEST_F(TransportTest, ASecureSessionCarriesEverythingAndRefusesTheWrongKey) {
  options.connect_timeout_ms = 1000;
  network = CreateEnetNetwork(options);
  const KeyPair host = KeyPairFromSecret(Filled(0x5A));
  EnetOptions secure_options = options;
  secure_options.secure_host = true;
  std::copy(host.secret_key.begin(), host.secret_key.end(), secure_options.host_secret_key.begin());
  auto secure_network = CreateEnetNetwork(secure_options);
  Inbox server_inbox;
  const auto port = NextTestPort();
  std::unique_ptr<Server> server;
  secure_network->CreateServer(&server);
  server->Initialize(&server_inbox, &Inbox::Handle, 1);
  ASSERT_EQ(server->Host(App(kApp), HostAddress(port)), DPN_OK);

  auto connect = [&](Inbox& inbox, const std::uint8_t* pin, bool secure) {
    std::unique_ptr<Client> c;
    network->CreateClient(&c);
    c->Initialize(&inbox, &Inbox::Handle, 1);
    if (secure) c->SecureWith(pin);
    Address device;
    network->SetSP(device, CLSID_DP8SP_TCPIP);
    EXPECT_TRUE(Succeeded(c->Connect(App(kApp), HostAddress(port), device)));
    EXPECT_TRUE(Completed(inbox));
    return c;
  };
  Inbox good_inbox;
  auto good = connect(good_inbox, host.public_key.data(), true);
  ASSERT_EQ(good_inbox.First(MessageId::ConnectComplete).result, DPN_OK);
  Key proven;
  ASSERT_TRUE(good->ServerKey(proven.data()));
  EXPECT_EQ(proven, host.public_key);
  std::vector<std::uint8_t> large(60000);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(Succeeded(
      good->Send(large.data(), static_cast<std::uint32_t>(large.size()), 0, DPNSEND_GUARANTEED)));
  ASSERT_TRUE(server_inbox.WaitFor([&](Inbox& i) {
    for (auto& p : i.payloads)
      if (p == large) return true;
    return false;
  }));
  const DPNID player = server_inbox.messages.back().player;
  ASSERT_TRUE(Succeeded(server->SendTo(player, large.data(), 100, 0, 0)));
  ASSERT_TRUE(good_inbox.WaitFor([&](Inbox& i) {
    return i.Has(MessageId::Receive) &&
           i.payloads.back() == std::vector<std::uint8_t>(large.begin(), large.begin() + 100);
  }));
  ConnectionInfo info;
  ASSERT_EQ(good->GetConnectionInfo(&info), DPN_OK);
  EXPECT_EQ(info.receives_unopened + info.receives_replayed, 0u);

  Inbox wrong_inbox, clear_inbox;
  const Key other = Filled(9);
  auto wrong = connect(wrong_inbox, other.data(), true);
  EXPECT_EQ(wrong_inbox.First(MessageId::ConnectComplete).result, DPNERR_SERVERKEY);
  auto in_clear = connect(clear_inbox, nullptr, false);  // its datagrams lack the checksum
  EXPECT_NE(clear_inbox.First(MessageId::ConnectComplete).result, DPN_OK);

  // A host in clear (the peer host) proves no key: the secure client refuses it.
  Inbox plain_inbox, to_plain_inbox;
  const auto plain_port = NextTestPort();
  auto plain = StartServer(plain_inbox, plain_port);
  std::unique_ptr<Client> c;
  network->CreateClient(&c);
  c->Initialize(&to_plain_inbox, &Inbox::Handle, 1);
  c->SecureWith(nullptr);
  Address device;
  network->SetSP(device, CLSID_DP8SP_TCPIP);
  ASSERT_TRUE(Succeeded(c->Connect(App(kApp), HostAddress(plain_port), device)));
  ASSERT_TRUE(Completed(to_plain_inbox));
  EXPECT_NE(to_plain_inbox.First(MessageId::ConnectComplete).result, DPN_OK);
  for (auto* client : {good.get(), wrong.get(), in_clear.get(), c.get()}) client->Close(0);
  plain->Close(1);
  server->Close(1);
}

// A secure server whose guaranteed datagrams pass a hostile path: sealed by the real session
// code, then sent as the path delivers them (changed, reordered, or copied outside ENet's
// reliable stream). ENet acknowledges each, so nothing is ever sent again.
using detail::kChannels;
using detail::kControlChannel;
using detail::kGuaranteedChannel;

struct PathAttack {
  explicit PathAttack(std::uint32_t port) {
    ENetAddress address;
    enet_address_set_host_ip(&address, "127.0.0.1");
    address.port = static_cast<enet_uint16>(port);
    host = enet_host_create(&address, 2, kChannels, 0, 0);
    if (host) host->checksum = enet_crc32;
  }
  ~PathAttack() {
    if (host) enet_host_destroy(host);
  }
  // Services the host until `done` holds (true) or a deadline passes.
  template <typename Done>
  bool Service(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      ENetEvent e;
      while (enet_host_service(host, &e, 5) > 0) {
        if (e.type == ENET_EVENT_TYPE_CONNECT) peer = e.peer;
        if (e.type != ENET_EVENT_TYPE_RECEIVE) continue;
        HelloFields hello;
        std::uint8_t welcome[kSecureWelcomeSize];
        if (e.channelID == kControlChannel && !seal.active &&
            ReadSecureHello(&hs, e.packet->data, e.packet->dataLength, &hello) &&
            WriteSecureWelcome(hs, key, MakeKeyPair(), 0x00200002, hello.clock, welcome,
                               &seal.keys)) {
          seal.active = true;
          if (!first.empty()) Send(Sealed(first));  // overtakes the WELCOME
          enet_peer_send(e.peer, kControlChannel,
                         enet_packet_create(welcome, sizeof welcome, ENET_PACKET_FLAG_RELIABLE));
        }
        enet_packet_destroy(e.packet);
      }
    }
    return true;
  }
  // Seals `text` as a guaranteed message, in order; what leaves is up to the caller.
  std::vector<std::uint8_t> Sealed(const std::string& text) {
    std::vector<std::uint8_t> d(text.size() + kSealOverhead);
    Seal(seal, kGuaranteedChannel, true, reinterpret_cast<const std::uint8_t*>(text.data()),
         text.size(), d.data());
    return d;
  }
  void Send(const std::vector<std::uint8_t>& d, enet_uint32 flags = ENET_PACKET_FLAG_RELIABLE) {
    enet_peer_send(peer, kGuaranteedChannel, enet_packet_create(d.data(), d.size(), flags));
    enet_host_flush(host);
  }
  ENetHost* host = nullptr;
  ENetPeer* peer = nullptr;
  std::string first;  // a guaranteed message sent just before the WELCOME
  KeyPair key = KeyPairFromSecret(Filled(0x61));
  Handshake hs;
  SealState seal;
};

// Guaranteed messages a path attacker deletes (by changing a byte: ENet still acknowledges it),
// reorders, or copies outside the reliable stream: the session ends as tampered with, and
// nothing after the gap is delivered; a copy outside the stream is dropped and changes nothing.
// A message that overtakes the WELCOME (as after a lost first copy of it) is kept until then.
TEST_F(TransportTest, AGuaranteedDatagramDeletedOrReorderedOnThePathEndsTheSession) {
  for (const char* attack : {"copy", "change", "reorder"}) {
    SCOPED_TRACE(attack);
    const auto port = NextTestPort();
    PathAttack server(port);
    ASSERT_TRUE(server.host);
    const bool copy = std::string(attack) == "copy";
    if (copy) server.first = "early-0";
    Inbox inbox;
    std::unique_ptr<Client> c;
    network->CreateClient(&c);
    c->Initialize(&inbox, &Inbox::Handle, 1);
    c->SecureWith(server.key.public_key.data());
    Address device;
    network->SetSP(device, CLSID_DP8SP_TCPIP);
    ASSERT_TRUE(Succeeded(c->Connect(App(kApp), HostAddress(port), device)));
    ASSERT_TRUE(server.Service([&] { return inbox.HasNow(MessageId::ConnectComplete); }));
    ASSERT_EQ(inbox.First(MessageId::ConnectComplete).result, DPN_OK);
    auto received = [&] {
      std::lock_guard lock(inbox.mutex);
      std::string texts;
      for (std::size_t i = 0; i < inbox.messages.size(); ++i)
        if (inbox.messages[i].id == MessageId::Receive)
          texts += std::string(inbox.payloads[i].begin(), inbox.payloads[i].end()) + " ";
      return texts;
    };
    const auto keep1 = server.Sealed("keep-1"), victim = server.Sealed("victim-2"),
               keep3 = server.Sealed("keep-3");
    server.Send(keep1);
    if (copy) {
      server.Send(victim, ENET_PACKET_FLAG_UNSEQUENCED);
      server.Send(victim);
      server.Send(keep3);
      // The message that overtook the WELCOME waited for it and comes first.
      ASSERT_TRUE(server.Service([&] { return received() == "early-0 keep-1 victim-2 keep-3 "; }))
          << received();
      ConnectionInfo info;
      ASSERT_EQ(c->GetConnectionInfo(&info), DPN_OK);
      EXPECT_EQ(info.receives_unopened, 1u);
      EXPECT_FALSE(inbox.HasNow(MessageId::TerminateSession));
    } else {
      if (std::string(attack) == "change") {
        auto changed = victim;
        changed[kSealHeader] ^= 1;
        server.Send(changed);
      }
      server.Send(keep3);
      server.Send(victim);
      ASSERT_TRUE(server.Service([&] { return inbox.HasNow(MessageId::TerminateSession); }));
      EXPECT_EQ(inbox.First(MessageId::TerminateSession).result, DPNERR_TAMPERED);
      // The session ended on keep-3, before the victim came: neither is delivered.
      EXPECT_EQ(received(), "keep-1 ");
    }
    c->Close(0);
  }
}

}  // namespace
}  // namespace talmeris::net
