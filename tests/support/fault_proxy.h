// A UDP relay that loses, delays (and so reorders) and duplicates datagrams, between the
// programs of a test and the port they would talk to. One relay carries one client.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace talmeris::test {

struct Faults {
  int loss_percent = 0;       // each datagram, each way
  int delay_ms = 0;           // every datagram waits this long...
  int jitter_ms = 0;          // ...plus up to this much more, so later ones can overtake it
  int duplicate_percent = 0;  // sent twice
  bool record = false;        // keep every datagram's bytes (up to 16 MiB), both ways
  int lose_first = 0;         // the client's first datagrams lost, as many as this
};

class FaultProxy {
 public:
  // Listens on 127.0.0.1:`listen_port` and relays to 127.0.0.1:`target_port`.
  FaultProxy(std::uint16_t listen_port, std::uint16_t target_port, Faults faults,
             unsigned seed = 1);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;
  bool Running() const { return front_ >= 0 && back_ >= 0; }
  std::uint64_t Relayed() const { return relayed_.load(); }
  std::uint64_t Lost() const { return lost_.load(); }
  std::uint64_t Duplicated() const { return duplicated_.load(); }
  // Every datagram relayed so far, one after the other (with Faults::record).
  std::string Recorded() {
    std::lock_guard lock(recorded_mutex_);
    return recorded_;
  }

 private:
  void Run(std::uint16_t target_port, Faults faults, unsigned seed);
  int front_ = -1, back_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> relayed_{0}, lost_{0}, duplicated_{0};
  std::thread thread_;
  std::mutex recorded_mutex_;
  std::string recorded_;
};

}  // namespace talmeris::test
