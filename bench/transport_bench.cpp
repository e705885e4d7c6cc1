// Client-to-server throughput and one-way latency of the session transport beside raw ENet,
// on loopback, in the same run. Prints figures; asserts nothing.
#include <enet/enet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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

void Report(const char* name, const Result& ours, const Result& raw) {
  std::printf("%-34s ours %9.0f msg/s  p50 %7.1f  p99 %7.1f  p99.9 %7.1f us  (%zu recv)\n", name,
              ours.messages_per_second, ours.p50_us, ours.p99_us, ours.p999_us, ours.received);
  std::printf("%-34s raw  %9.0f msg/s  p50 %7.1f  p99 %7.1f  p99.9 %7.1f us  (%zu recv)\n", "",
              raw.messages_per_second, raw.p50_us, raw.p99_us, raw.p999_us, raw.received);
  std::printf("%-34s ratio throughput %.2f, p99 added %.1f us\n", "",
              raw.messages_per_second > 0 ? ours.messages_per_second / raw.messages_per_second : 0,
              ours.p99_us - raw.p99_us);
}

}  // namespace

int main() {
  CreateEnetNetwork();  // initialises ENet
  const int kPaced = 20000, kRate = 5000, kBurst = 50000;
  Result ours = RunOurs(64, false, kPaced, kRate, 34101);
  Report("64 B unguaranteed, 5000/s (latency)", ours, RunRaw(64, false, kPaced, kRate, 34102));
  ours = RunOurs(88, true, kPaced, kRate, 34103);
  Report("88 B guaranteed, 5000/s (latency)", ours, RunRaw(88, true, kPaced, kRate, 34104));
  ours = RunOurs(88, true, kPaced, kRate, 34109, false);
  Report("88 B guaranteed, 5000/s, handler thread", ours, RunRaw(88, true, kPaced, kRate, 34110));
  ours = RunOurs(64, false, kBurst, 0, 34105);
  Report("64 B unguaranteed, burst (rate)", ours, RunRaw(64, false, kBurst, 0, 34106));
  ours = RunOurs(88, true, kBurst, 0, 34107);
  Report("88 B guaranteed, burst (rate)", ours, RunRaw(88, true, kBurst, 0, 34108));
  // The secure session beside the session in clear, in the same run.
  const auto SealedReport = [](const char* name, const Result& sealed, const Result& clear) {
    std::printf("%-34s sealed %9.0f msg/s  p50 %7.1f  p99 %7.1f  p99.9 %7.1f us  (%zu recv)\n",
                name, sealed.messages_per_second, sealed.p50_us, sealed.p99_us, sealed.p999_us,
                sealed.received);
    std::printf("%-34s clear  %9.0f msg/s  p50 %7.1f  p99 %7.1f  p99.9 %7.1f us  (%zu recv)\n", "",
                clear.messages_per_second, clear.p50_us, clear.p99_us, clear.p999_us,
                clear.received);
    std::printf(
        "%-34s ratio throughput %.2f, p50 added %.1f us, p99 added %.1f us\n", "",
        clear.messages_per_second > 0 ? sealed.messages_per_second / clear.messages_per_second : 0,
        sealed.p50_us - clear.p50_us, sealed.p99_us - clear.p99_us);
    std::printf("%-34s connect to WELCOME: sealed %.0f us, clear %.0f us\n", "", sealed.connect_us,
                clear.connect_us);
  };
  const std::uint64_t before = TransportHeapAllocations();
  Result sealed = RunOurs(64, false, kPaced, kRate, 34111, true, true);
  const std::uint64_t sealed_allocations = TransportHeapAllocations() - before;
  SealedReport("64 B unguaranteed, 5000/s, sealed", sealed,
               RunOurs(64, false, kPaced, kRate, 34112));
  sealed = RunOurs(88, true, kPaced, kRate, 34113, true, true);
  SealedReport("88 B guaranteed, 5000/s, sealed", sealed, RunOurs(88, true, kPaced, kRate, 34114));
  sealed = RunOurs(64, false, kBurst, 0, 34115, true, true);
  SealedReport("64 B unguaranteed, burst, sealed", sealed, RunOurs(64, false, kBurst, 0, 34116));
  std::printf("heap allocations per sealed message (pool growth over the first sealed run): %.4f\n",
              static_cast<double>(sealed_allocations) / kPaced);
  std::printf("transport heap allocations (pool growth): %llu\n",
              static_cast<unsigned long long>(TransportHeapAllocations()));
  return 0;
}
