// The service thread: received events turned into deliveries under the host mutex, then run
// inline or posted with the mutex released; the orderly close at the end.
#include "net/endpoint.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>

namespace talmeris::net::detail {

void Endpoint::OnReceive(ENetEvent& e, Deliveries& out) {
  if (secure) {
    // Nothing reads a datagram of a secure session before it has opened. Before the keys only
    // the handshake on the control channel passes (in clear); after them everything is sealed.
    auto* c = static_cast<Connection*>(e.peer->data);
    if (c && c->seal.active) {
      std::size_t size = e.packet->dataLength;
      const bool reliable = e.packet->flags & ENET_PACKET_FLAG_RELIABLE;
      const OpenResult opened = Open(c->seal, e.channelID, reliable, e.packet->data, &size);
      if (opened != OpenResult::kOpened) {
        (opened == OpenResult::kReplayed ? c->stats.replayed : c->stats.unopened)
            .fetch_add(1, std::memory_order_relaxed);
        enet_packet_destroy(e.packet);
        // A guaranteed datagram lost for good: the session cannot be trusted to go on.
        if (opened == OpenResult::kBroken) Drop(*c, DPNERR_TAMPERED, out);
        return;
      }
      e.packet->dataLength = size;
    } else if (c && !is_server && e.channelID != kControlChannel &&
               c->early_count < Connection::kEarlyMax) {
      // Before the WELCOME has opened: kept until it has.
      c->early_channel[c->early_count] = e.channelID;
      c->early[c->early_count++] = e.packet;
      return;
    } else if (e.channelID != kControlChannel) {
      enet_packet_destroy(e.packet);
      return;
    }
  }
  if (options.receive_hook)
    options.receive_hook(options.receive_hook_context, is_server, e.channelID, e.packet->data,
                         static_cast<std::uint32_t>(e.packet->dataLength));
  if (e.channelID == kControlChannel) {
    OnControl(e.peer, e.packet->data, e.packet->dataLength, out);
    enet_packet_destroy(e.packet);
    // The WELCOME opened: what came before it is opened now, in the order it came.
    auto* c = static_cast<Connection*>(e.peer->data);
    // The keys are active now, so none of them is kept again.
    if (c && c->seal.active && c->early_count > 0) {
      const int count = c->early_count;
      c->early_count = 0;
      for (int i = 0; i < count; ++i) {
        ENetEvent later = e;
        later.channelID = c->early_channel[i];
        later.packet = c->early[i];
        if (e.peer->data == c) {
          OnReceive(later, out);
        } else {
          enet_packet_destroy(later.packet);  // the session ended on an earlier one
        }
      }
    }
    return;
  }
  auto* c = static_cast<Connection*>(e.peer->data);
  if (!c || !c->established) {
    enet_packet_destroy(e.packet);
    return;
  }
  auto size = static_cast<std::uint32_t>(e.packet->dataLength);
  if (e.channelID == kVoiceChannel) {
    if (!voice_sink.receive || size == 0 || size > kMaxVoicePayload) {
      enet_packet_destroy(e.packet);
      return;
    }
    c->stats.packets_recv_ng.fetch_add(1, std::memory_order_relaxed);
    c->stats.bytes_recv_ng.fetch_add(size, std::memory_order_relaxed);
    out.voice_packet = e.packet;
    out.voice_from = c->id;
    out.voice_sink = voice_sink;
    return;
  }
  const bool guaranteed = e.channelID == kGuaranteedChannel;
  if (guaranteed) {
    c->stats.packets_recv_g.fetch_add(1, std::memory_order_relaxed);
    c->stats.bytes_recv_g.fetch_add(size, std::memory_order_relaxed);
  } else {
    c->stats.packets_recv_ng.fetch_add(1, std::memory_order_relaxed);
    c->stats.bytes_recv_ng.fetch_add(size, std::memory_order_relaxed);
  }
  c->stats.messages_received.fetch_add(1, std::memory_order_relaxed);
  out.Add(c, {MessageId::Receive, DPN_OK, c->id, e.packet, guaranteed});
}

void Endpoint::Run(Deliveries& out) {
  if (out.voice_packet) {
    out.voice_sink.receive(out.voice_sink.context, out.voice_from, out.voice_packet->data,
                           static_cast<std::uint32_t>(out.voice_packet->dataLength));
    enet_packet_destroy(out.voice_packet);
    out.voice_packet = nullptr;
  }
  if (out.voice_ended) {
    out.voice_ended = false;
    out.voice_sink.ended(out.voice_sink.context);
  }
  for (int i = 0; i < out.count; ++i) {
    Connection* c = out.items[i].connection;
    const Event& e = out.items[i].event;
    struct Posted {
      Connection* c;
      ~Posted() { c->unposted.fetch_sub(1, std::memory_order_acq_rel); }
    } posted{c};
    if (!dispatcher) {
      if (e.packet) enet_packet_destroy(e.packet);
      continue;
    }
    if (e.id == MessageId::Receive && t_current_endpoint == this && inline_filter &&
        inline_filter(e.packet->data, static_cast<std::uint32_t>(e.packet->dataLength)) &&
        dispatcher->BeginInline(c->strand)) {
#ifndef NDEBUG
      const std::uint64_t start = NowNs();
      const auto size = static_cast<unsigned>(e.packet->dataLength);
#endif
      dispatcher->Deliver(e);
      dispatcher->EndInline(c->strand);
#ifndef NDEBUG
      if (NowNs() - start > kInlineWatchdogNs) {
        std::fprintf(stderr, "transport: an inline handler ran %.1f ms (message of %u bytes)\n",
                     static_cast<double>(NowNs() - start) / 1e6, size);
      }
#endif
      continue;
    }
    if (dispatcher->Post(c->strand, e) == Dispatcher::kOverflow) {
      Deliveries dropped;
      {
        std::lock_guard lock(host_mutex);
        DropAsTimedOut(*c, dropped);
      }
      Run(dropped);
    }
  }
  out.count = 0;
}

void Endpoint::ServiceEvents() {
  for (;;) {
    Deliveries out;
    bool more;
    {
      std::lock_guard lock(host_mutex);
      if (!host) return;
      ENetEvent e;
      // A call that finds no event left to hand out also sends what is queued: sends made
      // on this thread while handling the batch leave together here.
      more = enet_host_service(host, &e, 0) > 0;
      if (more) {
        switch (e.type) {
          case ENET_EVENT_TYPE_CONNECT:
            OnConnect(e, out);
            break;
          case ENET_EVENT_TYPE_RECEIVE:
            OnReceive(e, out);
            break;
          case ENET_EVENT_TYPE_DISCONNECT:
            OnDisconnect(e, out);
            break;
          default:
            break;
        }
      } else {
        Housekeeping(out);
        enet_host_flush(host);
      }
    }
    Run(out);
    if (!more) break;
  }
  // Departed players whose last message has been delivered are let go. Their strands are
  // asked with the host mutex released: it is innermost.
  std::vector<std::unique_ptr<Connection>> candidates;
  {
    std::lock_guard lock(host_mutex);
    if (departed.empty()) return;
    candidates.swap(departed);
  }
  std::erase_if(candidates, [&](const auto& c) {
    return c->unposted.load(std::memory_order_acquire) == 0 &&
           (!dispatcher || dispatcher->Idle(c->strand));
  });
  if (!candidates.empty()) {
    std::lock_guard lock(host_mutex);
    for (auto& c : candidates) departed.push_back(std::move(c));
  }
}

void Endpoint::ServiceLoop() {
  t_current_endpoint = this;
  pthread_setname_np(pthread_self(), options.thread_name ? options.thread_name
                                     : is_server         ? "net-host"
                                                         : "net-link");
  // The thread sleeps until a datagram arrives, another thread wakes it (a stop, or a send that
  // gave ENet an earlier timer), or the next timer is due; nothing polls.
  while (!stop_requested.load()) {
    ServiceEvents();
    int sleep;
    {
      std::lock_guard lock(host_mutex);
      sleep = SleepMs();
      sleeping = true;
      sleeping_until = enet_time_get() + static_cast<enet_uint32>(sleep);
    }
    pollfd fds[2] = {{host->socket, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    if (!stop_requested.load()) ::poll(fds, 2, sleep);
    {
      std::lock_guard lock(host_mutex);
      sleeping = false;
    }
    if (fds[1].revents & POLLIN) {
      std::uint64_t count;
      [[maybe_unused]] ssize_t n = ::read(wake_fd, &count, sizeof count);
    }
  }
  // Orderly close: everything already queued still leaves, then the peers are told.
  std::unique_lock lock(host_mutex);
  enet_host_flush(host);
  for (std::size_t i = 0; i < host->peerCount; ++i) {
    ENetPeer* p = &host->peers[i];
    if (p->state == ENET_PEER_STATE_CONNECTED) enet_peer_disconnect_later(p, kDisconnectClosed);
  }
  const std::uint64_t deadline = NowNs() + 300'000'000ull;
  for (;;) {
    bool any = false;
    for (std::size_t i = 0; i < host->peerCount; ++i) {
      ENetPeerState s = host->peers[i].state;
      any = any || (s != ENET_PEER_STATE_DISCONNECTED && s != ENET_PEER_STATE_ZOMBIE);
    }
    if (!any || NowNs() > deadline) break;
    ENetEvent e;
    while (enet_host_service(host, &e, 0) > 0) {
      if (e.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(e.packet);
    }
    lock.unlock();
    pollfd fd{host->socket, POLLIN, 0};
    ::poll(&fd, 1, 1);
    lock.lock();
  }
  for (std::size_t i = 0; i < host->peerCount; ++i) {
    if (host->peers[i].state != ENET_PEER_STATE_DISCONNECTED) {
      enet_peer_disconnect_now(&host->peers[i], kDisconnectClosed);
    }
  }
  enet_host_flush(host);
  t_current_endpoint = nullptr;
}

}  // namespace talmeris::net::detail
