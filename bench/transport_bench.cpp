// Client-to-server throughput and one-way latency of the session transport beside raw ENet, and
// of the sealed session beside the one in clear, on loopback: short trials of the two sides
// interleaved, medians with their spread and the ratio as the headline. Prints figures; asserts
// nothing.
#include <enet/enet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "base/bytes.h"
#include "net/enet_transport.h"
#include "net/secure_session.h"

using namespace talmeris;
using namespace talmeris::net;
using Clock = std::chrono::steady_clock;

namespace {

std::uint64_t Now() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
          .count());
}

struct Result {
  double messages_per_second = 0;  // arrivals over the time from the first send to the last arrival
  double p50_us = 0, p99_us = 0, p999_us = 0;
  std::size_t received = 0;
  double connect_us = 0;  // from Connect to ConnectComplete (the WELCOME)
};

void Percentiles(std::vector<std::uint64_t>& lat, Result& r) {
  if (lat.empty()) return;
  std::sort(lat.begin(), lat.end());
  auto at = [&](double q) {
    return lat[std::min(lat.size() - 1, static_cast<std::size_t>(q * lat.size()))] / 1000.0;
  };
  r.p50_us = at(0.50);
  r.p99_us = at(0.99);
  r.p999_us = at(0.999);
  r.received = lat.size();
}

// ---- our layer ----
struct Sink {
  std::mutex mutex;
  std::vector<std::uint64_t> latencies;
  std::atomic<std::size_t> count{0};
  std::atomic<std::uint64_t> last_ns{0};
  static HRESULT Handle(void* self, const Message& m) {
    if (m.id != MessageId::Receive || m.size < 8) return DPN_OK;
    auto* s = static_cast<Sink*>(self);
    std::uint64_t now = Now();
    std::lock_guard lock(s->mutex);
    s->latencies.push_back(now - LoadU64(m.data));
    s->last_ns.store(now);
    s->count.fetch_add(1);
    return DPN_OK;
  }
};

bool Always(const std::uint8_t*, std::uint32_t) {
  return true;
}

// `inline_sink`: the sink's handler runs on the service thread, as the client's relay handlers
// do; otherwise on a handler thread, as handlers that may block do.
// `sealed`: the secure session (the host proves a key, every datagram sealed).
Result RunOurs(std::uint32_t size, bool guaranteed, int count, int rate_per_second,
               std::uint16_t port, bool inline_sink = true, bool sealed = false) {
  EnetOptions options;
  const KeyPair key = KeyPairFromSecret([] {
    Key k;
    k.fill(0x42);
    return k;
  }());
  if (sealed) {
    options.secure_host = true;
    std::copy(key.secret_key.begin(), key.secret_key.end(), options.host_secret_key.begin());
  }
  auto network = CreateEnetNetwork(options);
  Sink sink;
  std::unique_ptr<Server> server;
  network->CreateServer(&server);
  server->Initialize(&sink, &Sink::Handle, 1);
  if (inline_sink) server->SetInlineFilter(&Always);
  Address device;
  network->SetSP(device, CLSID_DP8SP_TCPIP);
  network->AddComponent(device, "port", std::uint32_t{port});
  ApplicationDesc app;
  app.application = *Guid::Parse("{2AD4CA3B-AC68-4D9B-9522-BE59CD485276}");
  server->Host(app, device);

  std::atomic<bool> connected{false};
  struct Flag {
    static HRESULT Handle(void* self, const Message& m) {
      if (m.id == MessageId::ConnectComplete && m.result == DPN_OK)
        static_cast<std::atomic<bool>*>(self)->store(true);
      return DPN_OK;
    }
  };
  std::unique_ptr<Client> client;
  network->CreateClient(&client);
  client->Initialize(&connected, &Flag::Handle, 1);
  if (sealed) client->SecureWith(key.public_key.data());
  Address host = device;
  network->AddComponent(host, "hostname", std::string_view("127.0.0.1"));
  const std::uint64_t connect_ns = Now();
  client->Connect(app, host, device);
  while (!connected.load()) std::this_thread::yield();
  const double connect_us = (Now() - connect_ns) / 1000.0;

  std::vector<std::uint8_t> msg(size, 0);
  const std::uint32_t flags = guaranteed ? 0x128 : 0x122;
  auto start = Clock::now();
  const std::uint64_t start_ns = Now();
  for (int i = 0; i < count; ++i) {
    if (rate_per_second > 0) {
      auto due =
          start + std::chrono::nanoseconds(static_cast<long long>(1e9 * i / rate_per_second));
      std::this_thread::sleep_until(due);
    }
    StoreU64(msg.data(), Now());
    client->Send(msg.data(), size, guaranteed ? 0 : 1000, flags);
  }
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (sink.count.load() < static_cast<std::size_t>(count) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  double seconds = (sink.last_ns.load() - start_ns) / 1e9;
  Result r;
  r.connect_us = connect_us;
  {
    std::lock_guard lock(sink.mutex);
    Percentiles(sink.latencies, r);
  }
  r.messages_per_second = r.received / seconds;
  client->Close(kCloseImmediate);
  server->Close(1);
  return r;
}

// ---- raw ENet: one thread per side, flush per message ----
Result RunRaw(std::uint32_t size, bool guaranteed, int count, int rate_per_second,
              std::uint16_t port) {
  ENetAddress address;
  enet_address_set_host_ip(&address, "127.0.0.1");
  address.port = port;
  ENetHost* server = enet_host_create(&address, 4, 4, 0, 0);
  std::vector<std::uint64_t> latencies;
  latencies.reserve(count);
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> received{0};
  std::atomic<std::uint64_t> last_ns{0};
  std::thread server_thread([&] {
    ENetEvent e;
    while (!stop.load()) {
      while (enet_host_service(server, &e, 1) > 0) {
        if (e.type == ENET_EVENT_TYPE_RECEIVE) {
          std::uint64_t now = Now();
          latencies.push_back(now - LoadU64(e.packet->data));
          last_ns.store(now);
          received.fetch_add(1);
          enet_packet_destroy(e.packet);
        }
      }
    }
  });
  ENetHost* client = enet_host_create(nullptr, 1, 4, 0, 0);
  ENetPeer* peer = enet_host_connect(client, &address, 4, 0);
  ENetEvent e;
  while (enet_host_service(client, &e, 10) >= 0 && e.type != ENET_EVENT_TYPE_CONNECT) {
  }
  std::vector<std::uint8_t> msg(size, 0);
  auto start = Clock::now();
  const std::uint64_t start_ns = Now();
  for (int i = 0; i < count; ++i) {
    if (rate_per_second > 0) {
      auto due =
          start + std::chrono::nanoseconds(static_cast<long long>(1e9 * i / rate_per_second));
      std::this_thread::sleep_until(due);
    }
    StoreU64(msg.data(), Now());
    ENetPacket* p = enet_packet_create(
        msg.data(), size, guaranteed ? ENET_PACKET_FLAG_RELIABLE : ENET_PACKET_FLAG_UNSEQUENCED);
    enet_peer_send(peer, guaranteed ? 1 : 3, p);
    enet_host_flush(client);
    while (enet_host_service(client, &e, 0) > 0) {
    }
  }
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (received.load() < static_cast<std::size_t>(count) && Clock::now() < deadline) {
    while (enet_host_service(client, &e, 1) > 0) {
    }
  }
  double seconds = (last_ns.load() - start_ns) / 1e9;
  stop = true;
  server_thread.join();
  Result r;
  Percentiles(latencies, r);
  r.messages_per_second = r.received / seconds;
  enet_peer_disconnect_now(peer, 0);
  enet_host_destroy(client);
  enet_host_destroy(server);
  return r;
}

// One figure over the trials: its median and its spread (lowest to highest).
struct Figure {
  std::vector<double> values;
  double Median() const {
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    return v.empty()      ? 0
           : v.size() % 2 ? v[v.size() / 2]
                          : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  }
  double Low() const {
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
  }
  double High() const {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
  }
};

void PrintFigure(const char* what, const Figure& f, const char* unit) {
  std::printf(" %s %.1f%s (%.1f-%.1f)", what, f.Median(), unit, f.Low(), f.High());
}

// Runs `a` and `b` in turn, `trials` times each (a, b, a, b, ...), so that a burst of load on a
// shared machine lands on both; prints each side's medians with their spread, and the medians of
// the per-trial ratios a/b as the headline.
template <typename A, typename B>
void Compare(const char* name, const char* a_name, const char* b_name, int trials, A a, B b,
             bool connect = false) {
  Figure a_rate, a_p50, a_p99, b_rate, b_p50, b_p99, rate_ratio, p50_ratio, p99_ratio, a_connect,
      b_connect;
  for (int t = 0; t < trials; ++t) {
    const Result ra = a(t), rb = b(t);
    a_rate.values.push_back(ra.messages_per_second);
    b_rate.values.push_back(rb.messages_per_second);
    a_p50.values.push_back(ra.p50_us);
    b_p50.values.push_back(rb.p50_us);
    a_p99.values.push_back(ra.p99_us);
    b_p99.values.push_back(rb.p99_us);
    a_connect.values.push_back(ra.connect_us);
    b_connect.values.push_back(rb.connect_us);
    if (rb.messages_per_second > 0) {
      rate_ratio.values.push_back(ra.messages_per_second / rb.messages_per_second);
    }
    if (rb.p50_us > 0) p50_ratio.values.push_back(ra.p50_us / rb.p50_us);
    if (rb.p99_us > 0) p99_ratio.values.push_back(ra.p99_us / rb.p99_us);
  }
  std::printf("%s\n  %s / %s: p50 %.2f (%.2f-%.2f), p99 %.2f (%.2f-%.2f), rate %.2f (%.2f-%.2f)\n",
              name, a_name, b_name, p50_ratio.Median(), p50_ratio.Low(), p50_ratio.High(),
              p99_ratio.Median(), p99_ratio.Low(), p99_ratio.High(), rate_ratio.Median(),
              rate_ratio.Low(), rate_ratio.High());
  for (int side = 0; side < 2; ++side) {
    std::printf("  %-6s", side == 0 ? a_name : b_name);
    PrintFigure("p50", side == 0 ? a_p50 : b_p50, " us");
    PrintFigure(" p99", side == 0 ? a_p99 : b_p99, " us");
    PrintFigure(" rate", side == 0 ? a_rate : b_rate, "/s");
    if (connect) PrintFigure(" connect to WELCOME", side == 0 ? a_connect : b_connect, " us");
    std::printf("\n");
  }
}

}  // namespace

//   transport_bench [--trials N]
int main(int argc, char** argv) {
  int trials = 5;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--trials") == 0) trials = std::max(1, std::atoi(argv[i + 1]));
  }
  CreateEnetNetwork();  // initialises ENet
  const int kPaced = 5000, kRate = 5000, kBurst = 20000;
  std::printf("%d interleaved trials each; medians with their spread (lowest-highest)\n", trials);
  // Each trial on ports of its own, so that no socket of an earlier one is in the way.
  auto port = [](int base, int trial) { return static_cast<std::uint16_t>(base + 40 * trial); };
  auto ours = [&](std::uint32_t size, bool guaranteed, int count, int rate, int base,
                  bool inline_sink = true, bool sealed = false) {
    return [=](int t) {
      return RunOurs(size, guaranteed, count, rate, port(base, t), inline_sink, sealed);
    };
  };
  auto raw = [&](std::uint32_t size, bool guaranteed, int count, int rate, int base) {
    return [=](int t) { return RunRaw(size, guaranteed, count, rate, port(base, t)); };
  };
  Compare("64 B unguaranteed, 5000/s (latency)", "ours", "raw", trials,
          ours(64, false, kPaced, kRate, 34101), raw(64, false, kPaced, kRate, 34102));
  Compare("88 B guaranteed, 5000/s (latency)", "ours", "raw", trials,
          ours(88, true, kPaced, kRate, 34103), raw(88, true, kPaced, kRate, 34104));
  Compare("88 B guaranteed, 5000/s, handler thread", "ours", "raw", trials,
          ours(88, true, kPaced, kRate, 34105, false), raw(88, true, kPaced, kRate, 34106));
  Compare("64 B unguaranteed, burst (rate)", "ours", "raw", trials,
          ours(64, false, kBurst, 0, 34107), raw(64, false, kBurst, 0, 34108));
  Compare("88 B guaranteed, burst (rate)", "ours", "raw", trials, ours(88, true, kBurst, 0, 34109),
          raw(88, true, kBurst, 0, 34110));
  // The secure session beside the session in clear.
  const std::uint64_t before = TransportHeapAllocations();
  Compare("64 B unguaranteed, 5000/s, sealed", "sealed", "clear", trials,
          ours(64, false, kPaced, kRate, 34111, true, true), ours(64, false, kPaced, kRate, 34112),
          true);
  const std::uint64_t sealed_allocations = TransportHeapAllocations() - before;
  Compare("88 B guaranteed, 5000/s, sealed", "sealed", "clear", trials,
          ours(88, true, kPaced, kRate, 34113, true, true), ours(88, true, kPaced, kRate, 34114),
          true);
  Compare("64 B unguaranteed, burst, sealed", "sealed", "clear", trials,
          ours(64, false, kBurst, 0, 34115, true, true), ours(64, false, kBurst, 0, 34116));
  std::printf("heap allocations per message (pool growth over the first sealed comparison): %.4f\n",
              static_cast<double>(sealed_allocations) / (2.0 * kPaced * trials));
  std::printf("transport heap allocations (pool growth): %llu\n",
              static_cast<unsigned long long>(TransportHeapAllocations()));
  return 0;
}
