// The endpoint's lifetime: ENet's one-time set-up, the host's creation, start and orderly shutdown.
#include "net/endpoint.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "net/pool.h"

namespace talmeris::net::detail {

namespace {
void* EnetMalloc(size_t size) {
  return PoolAllocate(size);
}
void EnetFree(void* p) {
  PoolFree(p);
}
void EnetNoMemory() {
  std::abort();
}
}  // namespace

void InitialiseEnetOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    ENetCallbacks callbacks{EnetMalloc, EnetFree, EnetNoMemory};
    if (enet_initialize_with_callbacks(ENET_VERSION, &callbacks) != 0) std::abort();
    if (!SodiumReady()) std::abort();
  });
}

Endpoint::Endpoint(const EnetOptions& o) : options(o) {
  wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Endpoint::~Endpoint() {
  Shutdown();
  if (wake_fd >= 0) ::close(wake_fd);
  sodium_memzero(host_key.secret_key.data(), host_key.secret_key.size());
}

HRESULT Endpoint::Initialize(void* c, MessageHandler h) {
  if (initialized) return DPNERR_ALREADYINITIALIZED;
  context = c;
  handler = h;
  initialized = true;
  return DPN_OK;
}

void Endpoint::Wake() {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_fd, &one, sizeof one);
}

int Endpoint::Intercept(ENetHost*, ENetEvent*) {
  Endpoint* self = t_current_endpoint;
  if (!self || self->options.drop_incoming_percent == 0) return 0;
  self->drop_state = self->drop_state * 1103515245u + 12345u;
  return ((self->drop_state >> 16) % 100) < self->options.drop_incoming_percent ? 1 : 0;
}

bool Endpoint::CreateHost(const ENetAddress* address, std::size_t peers) {
  host = enet_host_create(address, peers, kChannels, 0, 0);
  if (!host) return false;
  // Programs the client starts must not inherit the session's socket.
  ::fcntl(host->socket, F_SETFD, FD_CLOEXEC);
  // Nothing larger than the largest payload is sent or reassembled. A connection may hold
  // a few payloads waiting for reassembly: a large unguaranteed message that lost a fragment
  // stays incomplete until later traffic on its channel pushes it out, and that traffic must
  // still find room (with room for one payload only, one lost fragment would wedge the
  // connection for good).
  host->maximumPacketSize = kMaxPayload + kSealOverhead;
  host->maximumWaitingData = kMaxWaitingData;
  host->intercept = &Endpoint::Intercept;
  // A secure session also checks every datagram's ENet framing with ENet's CRC32, so a datagram
  // damaged on the way is dropped before ENet acts on it (the AEAD guards the content).
  if (secure) host->checksum = enet_crc32;
  return true;
}

void Endpoint::StartService() {
  running.store(true);
  service = std::thread([this] { ServiceLoop(); });
}

void Endpoint::Shutdown() {
  if (running.exchange(false)) {
    stop_requested.store(true);
    Wake();
    service.join();
  }
  // No handler call runs or starts after this.
  if (dispatcher) dispatcher->Stop();
  {
    std::lock_guard lock(host_mutex);
    // The host goes first: it lets go of every packet it holds, telling their connections.
    if (host) {
      enet_host_destroy(host);
      host = nullptr;
    }
    server_connection = nullptr;
    connections.clear();
    pending_connections.clear();
    departed.clear();
    client_connection.reset();
  }
}

}  // namespace talmeris::net::detail
