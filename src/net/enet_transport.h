// The session transport on ENet (UDP). Wire format: docs/transport.md.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "net/transport.h"

namespace talmeris::net {

struct EnetOptions {
  // A connect that has not been welcomed by then completes with DPNERR_NORESPONSE. The transport
  // resends a lost connect after 0.5, 1.5, 3.5 and 7.5 s: on a lossy network the fourth resend
  // still comes in time.
  std::uint32_t connect_timeout_ms = 10000;
  // A host drops a connection that has not said HELLO by then.
  std::uint32_t hello_timeout_ms = 5000;
  // A peer that stops answering is reported after at most timeout_max_ms.
  std::uint32_t timeout_min_ms = 3000;
  std::uint32_t timeout_max_ms = 8000;
  // Tests: the share of arriving datagrams dropped on purpose (0 to 100).
  std::uint32_t drop_incoming_percent = 0;
  // The interface the server listens on; the peer host keeps to loopback.
  const char* listen_host = "127.0.0.1";
  // Tests and benchmarks: called on the service thread with every message that arrives on any
  // channel (0 control, 1-3 application, 4 voice), before anything checks it or its handler
  // runs (the start of its residence in the process); `as_server` tells the listening side (the
  // peer host) from the connecting one (the server link).
  void (*receive_hook)(void* context, bool as_server, std::uint8_t channel,
                       const std::uint8_t* data, std::uint32_t size) = nullptr;
  void* receive_hook_context = nullptr;
  // A server whose options carry its secret key speaks only the secure session
  // (docs/transport.md): every client must complete the handshake that proves this key, and every
  // datagram after it is sealed. Without one the host is in clear (the peer host, on loopback).
  bool secure_host = false;
  std::array<std::uint8_t, 32> host_secret_key{};
  // The service thread's name as the system shows it (at most 15 characters); by default
  // "net-link" for a client and "net-host" for a host.
  const char* thread_name = nullptr;
};

// The port's entry on ENet. Initialises ENet once per process with the transport's pooled
// allocator, so steady traffic takes nothing from the heap.
std::unique_ptr<Network> CreateEnetNetwork(const EnetOptions& options = {});

// Allocations the transport's pool had to take from the heap so far (for benchmarks).
std::uint64_t TransportHeapAllocations();

}  // namespace talmeris::net
