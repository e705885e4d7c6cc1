// Handler delivery: each connection's strand and the dispatcher that runs them on a bounded
// pool of handler threads. The dispatcher's own mutex guards every strand's queue and counts
// and the pool; it is taken with no other lock held and released before any handler runs.
#pragma once

#include <enet/enet.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "net/enet_limits.h"
#include "net/ring.h"
#include "net/transport.h"

namespace talmeris::net::detail {

// ---- handler delivery ----
// Each connection's messages pass through its own strand: in order, one at a time. A message
// whose kind cannot block (the owner's inline filter says so) is handled on the service thread
// itself when its strand has nothing queued or running; everything else goes to a pool of
// threads, started on demand up to a bound, that runs the strands with work a batch at a time.
// So threads follow the connections busy at once, not the number connected, and a handler
// blocked in a wait holds one thread and stalls nobody else while threads remain.
struct Event {
  MessageId id;
  HRESULT result;
  DPNID player;
  ENetPacket* packet;  // owned until delivered
  bool guaranteed;     // a Receive from the guaranteed channel (or no payload)
};

struct Strand {
  Ring<Event> queue;                      // the dispatcher's mutex, as are the fields below
  bool scheduled = false;                 // ready, running on a pool thread, or running inline
  std::uint32_t unguaranteed = 0;         // unguaranteed messages waiting
  std::uint32_t guaranteed_bytes = 0;     // guaranteed payload bytes waiting
  std::atomic<std::uint32_t> dropped{0};  // unguaranteed messages dropped for the bound
  ~Strand() {
    while (!queue.Empty()) {
      Event e = queue.Pop();
      if (e.packet) enet_packet_destroy(e.packet);
    }
  }
};

class Dispatcher {
 public:
  enum PostResult { kPosted, kOverflow };

  Dispatcher(void* context, MessageHandler handler, std::size_t max_threads)
      : context_(context), handler_(handler), max_threads_(max_threads) {}
  ~Dispatcher() { Stop(); }

  // Queues an event. kOverflow (the event dropped) when the strand holds more guaranteed bytes
  // than its bound: the caller drops the connection. An unguaranteed message past its bound
  // pushes out the oldest unguaranteed one.
  PostResult Post(Strand& strand, const Event& e) {
    bool wake = false;
    ENetPacket* pushed_out = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) {
        if (e.packet) enet_packet_destroy(e.packet);
        return kPosted;
      }
      const std::uint32_t size = e.packet ? static_cast<std::uint32_t>(e.packet->dataLength) : 0;
      if (e.guaranteed) {
        if (strand.guaranteed_bytes + size > kHandlerGuaranteedBound) {
          if (e.packet) enet_packet_destroy(e.packet);
          return kOverflow;
        }
        strand.guaranteed_bytes += size;
      } else if (strand.unguaranteed >= kHandlerUnguaranteedBound) {
        Event oldest;
        if (strand.queue.RemoveFirst([](const Event& q) { return !q.guaranteed; }, &oldest)) {
          pushed_out = oldest.packet;
          --strand.unguaranteed;
          strand.dropped.fetch_add(1, std::memory_order_relaxed);
        }
      }
      if (!e.guaranteed) ++strand.unguaranteed;
      strand.queue.Push(e);
      if (!strand.scheduled) {
        strand.scheduled = true;
        ready_.Push(&strand);
        // Every ready strand needs a thread of its own: wake an idle one, else start one.
        if (ready_.Size() <= idle_) {
          wake = true;
        } else if (threads_.size() < max_threads_) {
          threads_.emplace_back([this] { Run(); });
        }
      }
    }
    if (pushed_out) enet_packet_destroy(pushed_out);
    if (wake) work_cv_.notify_one();
    return kPosted;
  }
  // Claims an idle strand for a handler call on the caller's thread; false when the strand has
  // anything queued or running (the message must then be posted, to keep the order).
  bool BeginInline(Strand& strand) {
    std::lock_guard lock(mutex_);
    if (strand.scheduled || stopping_) return false;
    strand.scheduled = true;
    return true;
  }
  void EndInline(Strand& strand) {
    {
      std::lock_guard lock(mutex_);
      strand.scheduled = false;
    }
    idle_cv_.notify_all();
  }
  void Deliver(const Event& e) {
    if (handler_) {
      Message m{e.id, e.result, e.player, e.packet ? e.packet->data : nullptr,
                e.packet ? static_cast<std::uint32_t>(e.packet->dataLength) : 0u};
      handler_(context_, m);
    }
    if (e.packet) enet_packet_destroy(e.packet);
  }
  // True when nothing is queued or running for the strand.
  bool Idle(const Strand& strand) {
    std::lock_guard lock(mutex_);
    return !strand.scheduled;
  }
  // Waits until everything posted to the strand so far has been handled.
  void Drain(const Strand& strand) {
    std::unique_lock lock(mutex_);
    idle_cv_.wait(lock, [&] { return !strand.scheduled || stopping_; });
  }
  // Drops undelivered events and joins: after Stop no handler call runs or starts on the pool.
  // The strands keep what they still hold and release it when they are destroyed.
  void Stop() {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      threads.swap(threads_);
    }
    work_cv_.notify_all();
    idle_cv_.notify_all();
    for (auto& t : threads) t.join();
  }

 private:
  static constexpr int kBatch = 16;  // events of one strand before the next strand's turn

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      work_cv_.wait(lock, [&] { return stopping_ || !ready_.Empty(); });
      --idle_;
      if (stopping_) return;
      Strand* strand = ready_.Pop();
      for (int n = 0; n < kBatch && !strand->queue.Empty() && !stopping_; ++n) {
        Event e = strand->queue.Pop();
        if (e.guaranteed) {
          strand->guaranteed_bytes -=
              e.packet ? static_cast<std::uint32_t>(e.packet->dataLength) : 0;
        } else {
          --strand->unguaranteed;
        }
        lock.unlock();
        Deliver(e);
        lock.lock();
      }
      if (stopping_) return;
      if (!strand->queue.Empty()) {
        ready_.Push(strand);  // still scheduled: its turn comes again after the others
      } else {
        strand->scheduled = false;
        idle_cv_.notify_all();
      }
    }
  }

  void* context_;
  MessageHandler handler_;
  const std::size_t max_threads_;
  std::mutex mutex_;
  std::condition_variable work_cv_, idle_cv_;
  Ring<Strand*> ready_;
  std::vector<std::thread> threads_;
  std::size_t idle_ = 0;
  bool stopping_ = false;
};

}  // namespace talmeris::net::detail
