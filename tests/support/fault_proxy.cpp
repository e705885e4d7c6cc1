#include "support/fault_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <queue>
#include <random>
#include <vector>

namespace talmeris::test {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

struct Pending {
  Clock::time_point due;
  bool to_target;
  std::vector<char> bytes;
  bool operator>(const Pending& o) const { return due > o.due; }
};

}  // namespace

FaultProxy::FaultProxy(std::uint16_t listen_port, std::uint16_t target_port, Faults faults,
                       unsigned seed) {
  front_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  back_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in front = Loopback(listen_port), back = Loopback(0);
  if (front_ < 0 || back_ < 0 || bind(front_, reinterpret_cast<sockaddr*>(&front), sizeof front) ||
      bind(back_, reinterpret_cast<sockaddr*>(&back), sizeof back)) {
    if (front_ >= 0) close(front_);
    if (back_ >= 0) close(back_);
    front_ = back_ = -1;
    return;
  }
  thread_ = std::thread(&FaultProxy::Run, this, target_port, faults, seed);
}

FaultProxy::~FaultProxy() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (front_ >= 0) close(front_);
  if (back_ >= 0) close(back_);
}

void FaultProxy::Run(std::uint16_t target_port, Faults faults, unsigned seed) {
  std::mt19937 random(seed);
  auto percent = [&](int p) { return p > 0 && static_cast<int>(random() % 100) < p; };
  const sockaddr_in target = Loopback(target_port);
  sockaddr_in client{};
  bool have_client = false;
  int lose_first = faults.lose_first;
  std::priority_queue<Pending, std::vector<Pending>, std::greater<Pending>> queue;
  std::vector<char> buffer(65536);
  while (!stop_) {
    int wait_ms = 5;
    if (!queue.empty()) {
      const auto until =
          std::chrono::duration_cast<std::chrono::milliseconds>(queue.top().due - Clock::now());
      wait_ms = static_cast<int>(std::max<long>(0, std::min<long>(5, until.count())));
    }
    pollfd fds[2] = {{front_, POLLIN, 0}, {back_, POLLIN, 0}};
    poll(fds, 2, wait_ms);
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n = recvfrom(fds[i].fd, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &length);
      if (n <= 0) continue;
      if (faults.record) {
        std::lock_guard lock(recorded_mutex_);
        if (recorded_.size() < (16u << 20))
          recorded_.append(buffer.data(), static_cast<std::size_t>(n));
      }
      const bool to_target = i == 0;
      if (to_target) {
        client = from;
        have_client = true;
      }
      if ((to_target && lose_first > 0) || percent(faults.loss_percent)) {
        if (to_target && lose_first > 0) --lose_first;
        ++lost_;
        continue;
      }
      const int copies = percent(faults.duplicate_percent) ? 2 : 1;
      duplicated_ += static_cast<std::uint64_t>(copies - 1);
      for (int c = 0; c < copies; ++c) {
        const int delay =
            faults.delay_ms +
            (faults.jitter_ms > 0 ? static_cast<int>(random() % faults.jitter_ms) : 0);
        queue.push({Clock::now() + std::chrono::milliseconds(delay), to_target,
                    std::vector<char>(buffer.begin(), buffer.begin() + n)});
      }
    }
    while (!queue.empty() && queue.top().due <= Clock::now()) {
      const Pending& p = queue.top();
      if (p.to_target) {
        sendto(back_, p.bytes.data(), p.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&target),
               sizeof target);
      } else if (have_client) {
        sendto(front_, p.bytes.data(), p.bytes.size(), 0,
               reinterpret_cast<const sockaddr*>(&client), sizeof client);
      }
      ++relayed_;
      queue.pop();
    }
  }
}

}  // namespace talmeris::test
