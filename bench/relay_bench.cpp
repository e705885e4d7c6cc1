// The hub's relay path end to end, beside a minimal relay written directly on ENet.
//
// Hub: a source host (the server role) streams 64-byte VesselStateMessages for 64 vessels to the
// client core, which relays each one unguaranteed to two attached companion simulators, while the
// view simulator reports the own vessel at 60 Hz. Minimal relay: the same streams through one
// thread on raw ENet with no handlers, no tables and one flush per message. Each relay's added
// latency is measured against a direct send from its own source to its own sink.
// Prints figures; asserts nothing.
#include <enet/enet.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "net/enet_transport.h"
#include "peers/peer_handler.h"
#include "peers/peer_host.h"
#include "peersim.h"
#include "server/network_objects.h"
#include "server/server_link.h"
#include "state/context.h"
#include "state/null_window_port.h"

// Heap allocations through new, counted for the steady-state window.
static std::atomic<std::uint64_t> g_news{0};
void* operator new(std::size_t n) {
  g_news.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

using namespace talmeris;
using Clock = std::chrono::steady_clock;

namespace {

std::uint64_t Now() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
          .count());
}
double CpuSeconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Latencies {
  std::mutex mutex;
  std::vector<std::uint64_t> values;
  std::atomic<std::uint64_t> count{0};
  bool recording = false;
  void Add(const std::uint8_t* data, std::uint32_t size) {
    if (size != 64 || data[1] != 0xBE) return;  // only the streamed states carry a stamp
    std::uint64_t now = Now();
    std::uint64_t sent;
    std::memcpy(&sent, data + 4, 8);  // the stamp rides in the position bytes
    count.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(mutex);
    if (recording && values.size() < 2'000'000) values.push_back(now - sent);
  }
  double P(double q) {
    std::lock_guard lock(mutex);
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))] /
           1000.0;
  }
  void Start() {
    std::lock_guard lock(mutex);
    values.clear();
    values.reserve(2'000'000);  // the benchmark's own bookkeeping allocates nothing meanwhile
    recording = true;
  }
};

void Stamp(std::uint8_t* m, int vessel) {
  m[0] = static_cast<std::uint8_t>(vessel);
  m[1] = 0xBE;
  std::uint64_t now = Now();
  std::memcpy(m + 4, &now, 8);
}

struct Figures {
  double rate = 0, p50 = 0, p99 = 0, cpu_us = 0, allocs = 0, pool = 0;
};

// Paces `per_second` messages (0 = as fast as it can) for `seconds`, calling send(vessel).
template <typename Send>
std::uint64_t Stream(double per_second, double seconds, Send send) {
  auto start = Clock::now();
  auto end = start + std::chrono::duration<double>(seconds);
  std::uint64_t sent = 0;
  while (Clock::now() < end) {
    if (per_second > 0) {
      auto due = start + std::chrono::duration<double>(sent / per_second);
      std::this_thread::sleep_until(std::chrono::time_point_cast<Clock::duration>(due));
    }
    send(static_cast<int>(sent % 64));
    ++sent;
  }
  return sent;
}

// ---------------- the hub ----------------

using NullWindows = NullWindowPort;

struct NoLaunch final : ProgramLauncher {
  bool Start(std::string_view) override { return false; }
};

Figures RunHub(bool direct, double rate, double seconds, std::uint32_t base_port) {
  auto network = net::CreateEnetNetwork();
  // The source: the server role.
  std::atomic<net::DPNID> client_id{0};
  struct SourceState {
    std::atomic<net::DPNID>* id;
  } source_state{&client_id};
  std::unique_ptr<net::Server> source;
  network->CreateServer(&source);
  source->Initialize(
      &source_state,
      [](void* s, const net::Message& m) -> net::HRESULT {
        if (m.id == net::MessageId::CreatePlayer && m.player > 0x00200001)
          static_cast<SourceState*>(s)->id->store(m.player);
        return 0;
      },
      1);
  net::Address source_address;
  network->SetSP(source_address, net::CLSID_DP8SP_TCPIP);
  network->AddComponent(source_address, "port", base_port);
  net::ApplicationDesc server_app;
  server_app.application = *net::Guid::Parse(direct ? "{2AD4CA3B-AC68-4D9B-9522-BE59CD485276}"
                                                    : "{1AD4CA3B-AC68-4D9B-9522-BE59CD485276}");
  source->Host(server_app, source_address);

  Latencies latencies;
  NullWindows windows;
  voice::NullVoiceSystem voice;
  NoLaunch launcher;
  ClientContext ctx(Ports{&windows, network.get(), &voice, &launcher, nullptr});
  std::vector<std::unique_ptr<peersim::Simulator>> sims;
  auto sim = [&](bool view, std::uint32_t port) {
    peersim::Options o;
    o.port = port;
    o.kind = view ? 1.0f : 2.0f;
    o.propulsion = view;
    o.report_hz = view ? 60 : 0;
    o.on_payload = [&](const std::uint8_t* d, std::uint32_t n) { latencies.Add(d, n); };
    sims.push_back(std::make_unique<peersim::Simulator>(o));
    sims.back()->Start();
  };

  if (direct) {
    // Baseline: the simulators attach to the source itself.
    sim(true, base_port);
    sim(false, base_port);
  } else {
    ctx.peer_host_port = base_port + 1;
    ctx.server_port = base_port;
    ctx.server_host = "127.0.0.1";
    ctx.peer_drain_sleep_ms = 10;
    Handlers handlers{&OnServerMessage, &OnPeerMessage, &ctx, &ServerMessageMayRunInline,
                      &PeerMessageMayRunInline};
    CreateNetworkObjects(ctx, handlers);
    BuildDeviceAddresses(ctx);
    BuildServerAddress(ctx, "127.0.0.1");
    ctx.tables.own_vessel_slot = 63;
    ctx.tables.vessels[63].present = 1;
    HostPeerSession(ctx);
    net::ApplicationDesc app;
    app.application = server_app.application;
    ctx.net.net_client->Connect(app, *ctx.net.server_address, *ctx.net.client_device_address);
    sim(true, ctx.peer_host_port);
    sim(false, ctx.peer_host_port);
  }
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline &&
         (!sims[0]->Connected() || !sims[1]->Connected() || (!direct && client_id == 0))) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(direct ? 200 : 1500));  // welcomes

  std::uint8_t m[64] = {};
  auto send = [&](int vessel) {
    Stamp(m, vessel);
    source->SendTo(direct ? 0 : client_id.load(), m, 64, 1000, 0x132);
  };
  Stream(rate, 0.5, send);  // warm-up: pools and queues reach their working size
  latencies.Start();
  const std::uint64_t received_before = latencies.count.load();
  const std::uint64_t news_before = g_news.load();
  const std::uint64_t pool_before = net::TransportHeapAllocations();
  const double cpu_before = CpuSeconds();
  const auto start = Clock::now();
  Stream(rate, seconds, send);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double relayed = static_cast<double>(latencies.count.load() - received_before);
  Figures f;
  f.rate = relayed / elapsed;
  f.cpu_us = relayed > 0 ? (CpuSeconds() - cpu_before) / relayed * 1e6 : 0;
  f.allocs = relayed > 0 ? (g_news.load() - news_before) / relayed : 0;
  f.pool = relayed > 0 ? (net::TransportHeapAllocations() - pool_before) / relayed : 0;
  f.p50 = latencies.P(0.50);
  f.p99 = latencies.P(0.99);
  for (auto& s : sims) s->Stop();
  if (ctx.net.net_client) ctx.net.net_client->Close(net::kCloseImmediate);
  ctx.peer_host_active = false;
  if (ctx.net.peer_server) ctx.net.peer_server->Close(1);
  source->Close(1);
  return f;
}

// ---------------- the minimal relay on raw ENet ----------------

Figures RunRaw(bool direct, double rate, double seconds, std::uint16_t port) {
  ENetAddress relay_address{ENET_HOST_ANY, port};
  enet_address_set_host_ip(&relay_address, "127.0.0.1");
  ENetHost* relay = enet_host_create(&relay_address, 8, 4, 0, 0);
  Latencies latencies;
  std::atomic<bool> stop{false};
  // The relay: one thread; what comes from the source goes to every other peer, one flush each.
  ENetPeer* source_side = nullptr;
  std::thread relay_thread([&] {
    ENetEvent e;
    while (!stop) {
      while (enet_host_service(relay, &e, 1) > 0) {
        if (e.type == ENET_EVENT_TYPE_CONNECT && e.data == 1) source_side = e.peer;
        if (e.type != ENET_EVENT_TYPE_RECEIVE) continue;
        if (direct) {
          latencies.Add(e.packet->data, static_cast<std::uint32_t>(e.packet->dataLength));
        } else {
          for (std::size_t i = 0; i < relay->peerCount; ++i) {
            ENetPeer* p = &relay->peers[i];
            if (p == e.peer || p->state != ENET_PEER_STATE_CONNECTED) continue;
            enet_peer_send(p, 3,
                           enet_packet_create(e.packet->data, e.packet->dataLength,
                                              ENET_PACKET_FLAG_UNSEQUENCED));
            enet_host_flush(relay);
          }
        }
        enet_packet_destroy(e.packet);
      }
    }
  });
  // Sinks (and, with the view's reports, a second stream) on one thread of their own.
  ENetHost* sinks = enet_host_create(nullptr, 2, 4, 0, 0);
  ENetPeer* view = direct ? nullptr : enet_host_connect(sinks, &relay_address, 4, 0);
  if (!direct) enet_host_connect(sinks, &relay_address, 4, 0);
  std::thread sink_thread([&] {
    ENetEvent e;
    auto next_report = Clock::now();
    while (!stop) {
      while (enet_host_service(sinks, &e, 1) > 0) {
        if (e.type == ENET_EVENT_TYPE_RECEIVE) {
          latencies.Add(e.packet->data, static_cast<std::uint32_t>(e.packet->dataLength));
          enet_packet_destroy(e.packet);
        }
      }
      if (view && Clock::now() >= next_report && view->state == ENET_PEER_STATE_CONNECTED) {
        std::uint8_t report[60] = {};
        enet_peer_send(view, 3, enet_packet_create(report, 60, ENET_PACKET_FLAG_UNSEQUENCED));
        enet_host_flush(sinks);
        next_report += std::chrono::microseconds(16667);
      }
    }
  });
  ENetHost* source = enet_host_create(nullptr, 1, 4, 0, 0);
  ENetPeer* to_relay = enet_host_connect(source, &relay_address, 4, 1);
  ENetEvent e;
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < deadline && to_relay->state != ENET_PEER_STATE_CONNECTED) {
    enet_host_service(source, &e, 1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::uint8_t m[64] = {};
  auto send = [&](int vessel) {
    Stamp(m, vessel);
    enet_peer_send(to_relay, 3, enet_packet_create(m, 64, ENET_PACKET_FLAG_UNSEQUENCED));
    enet_host_flush(source);
    while (enet_host_service(source, &e, 0) > 0) {
      if (e.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(e.packet);
    }
  };
  Stream(rate, 0.5, send);
  latencies.Start();
  const std::uint64_t before = latencies.count.load();
  const double cpu_before = CpuSeconds();
  const std::uint64_t news_before = g_news.load();
  const std::uint64_t pool_before = net::TransportHeapAllocations();
  const auto start = Clock::now();
  Stream(rate, seconds, send);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double relayed = static_cast<double>(latencies.count.load() - before);
  Figures f;
  f.rate = relayed / elapsed;
  f.cpu_us = relayed > 0 ? (CpuSeconds() - cpu_before) / relayed * 1e6 : 0;
  f.allocs = relayed > 0 ? (g_news.load() - news_before) / relayed : 0;
  f.pool = relayed > 0 ? (net::TransportHeapAllocations() - pool_before) / relayed : 0;
  f.p50 = latencies.P(0.50);
  f.p99 = latencies.P(0.99);
  stop = true;
  relay_thread.join();
  sink_thread.join();
  (void)source_side;
  enet_host_destroy(source);
  enet_host_destroy(sinks);
  enet_host_destroy(relay);
  return f;
}

void Print(const char* what, const Figures& f) {
  std::printf(
      "  %-30s %9.0f msg/s  p50 %7.1f us  p99 %7.1f us  cpu %5.2f us/msg  "
      "new %.3f/msg  pool %.4f/msg\n",
      what, f.rate, f.p50, f.p99, f.cpu_us, f.allocs, f.pool);
}

}  // namespace

int main() {
  net::CreateEnetNetwork();          // initialises ENet with the transport's allocator
  const double realistic = 64 * 20;  // 64 vessels at 20 Hz
  const double seconds = 3.0;

  std::printf("Realistic load: 64 vessels at 20 Hz, the view reporting at 60 Hz\n");
  // Loopback latencies on a shared machine are noisy: three trials, the median ratio counts.
  std::vector<double> ratios;
  std::uint32_t port = 35100;
  for (int trial = 1; trial <= 3; ++trial, port += 40) {
    std::printf(" trial %d\n", trial);
    Figures hub_direct = RunHub(true, realistic, seconds, port);
    Figures hub = RunHub(false, realistic, seconds, port + 10);
    Figures raw_direct = RunRaw(true, realistic, seconds, static_cast<std::uint16_t>(port + 20));
    Figures raw = RunRaw(false, realistic, seconds, static_cast<std::uint16_t>(port + 30));
    Print("hub, direct (baseline)", hub_direct);
    Print("hub, through the client", hub);
    Print("minimal relay, direct", raw_direct);
    Print("minimal relay, through it", raw);
    const double hub_added = hub.p99 - hub_direct.p99;
    const double raw_added = raw.p99 - raw_direct.p99;
    const double ratio = raw_added > 0 ? hub_added / raw_added : 0.0;
    ratios.push_back(ratio);
    std::printf("  added p99: hub %.1f us, minimal relay %.1f us, ratio %.2f\n", hub_added,
                raw_added, ratio);
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("  median added-p99 ratio %.2f (target <= 1.5)\n", ratios[1]);

  std::printf("Saturation: the source sends as fast as it can\n");
  Figures hub_sat = RunHub(false, 0, seconds, port);
  Figures raw_sat = RunRaw(false, 0, seconds, static_cast<std::uint16_t>(port + 10));
  Print("hub", hub_sat);
  Print("minimal relay", raw_sat);
  std::printf("  rate ratio %.2f (target >= 0.80); messages delivered to the two sinks\n",
              raw_sat.rate > 0 ? hub_sat.rate / raw_sat.rate : 0.0);
  return 0;
}
