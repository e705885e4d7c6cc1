// A companion-program simulator: attaches to the client's peer host as the view or the sound
// program does, registers, reports the own vessel, and logs every message it receives.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/transport.h"

namespace talmeris::peersim {

struct Options {
  std::string host = "127.0.0.1";
  std::uint32_t port = 2400;
  float kind = 1.0f;       // 2.0 = the sound program
  bool propulsion = true;  // the view program holds propulsion
  float tag = 1.0f;
  bool register_on_connect = true;
  double report_hz = 0;  // own-vessel reports per second (0 = none)
  // Every received message as one line: "short T P v1 v2 v3 v4", "text T P <text>",
  // "state SLOT", "bytes N"; plus "connected", "refused", "welcomed", "terminated".
  std::function<void(const std::string&)> on_line;
  // Raw received payloads (for benchmarks); called on the transport's worker thread.
  std::function<void(const std::uint8_t*, std::uint32_t)> on_payload;
};

class Simulator {
 public:
  explicit Simulator(Options options);
  ~Simulator();
  bool Start();  // connects; registration and reports follow
  void Stop();
  bool Connected() const { return connected_.load(); }

  void SendShort(std::uint8_t type, std::uint8_t param, float v1 = 0, float v2 = 0, float v3 = 0,
                 float v4 = 0);
  void SendText(std::uint8_t type, std::uint8_t param, const std::string& text);
  void SendReport();  // one OwnVesselReport
  void SendRaw(const std::vector<std::uint8_t>& bytes, bool guaranteed);
  std::string Command(const std::string& line);  // as standard input takes it

 private:
  static net::HRESULT Handle(void* self, const net::Message& message);
  void Line(const std::string& line);
  void ReportLoop();
  void FollowOwnVessel(const std::uint8_t* data, std::uint32_t size);

  Options options_;
  std::unique_ptr<net::Network> network_;
  std::unique_ptr<net::Client> client_;
  std::atomic<bool> connected_{false};
  std::atomic<bool> running_{false};
  std::thread reporter_;
  std::atomic<std::uint32_t> reports_{0};
  // The own vessel as the client last relayed it (the welcome names its slot): the reports fly
  // on from there at its velocity. Guarded by own_mutex_.
  std::mutex own_mutex_;
  int own_slot_ = -1;
  bool own_known_ = false;
  float own_position_[3] = {}, own_velocity_[3] = {};
  std::uint8_t own_rates_[6] = {};  // pitch, roll, yaw rates as the state carries them
  std::chrono::steady_clock::time_point own_at_;
};

}  // namespace talmeris::peersim
