// The process-wide state of the client, in one aggregate that main() owns and tests build for
// themselves. Each shared item names the lock that guards it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/secure_session.h"
#include "net/transport.h"
#include "state/event_log.h"
#include "state/keyboard_port.h"
#include "state/launcher_port.h"
#include "state/peer_slots.h"
#include "state/random.h"
#include "state/ranked_mutex.h"
#include "state/settings.h"
#include "state/stopwatch.h"
#include "state/tables.h"
#include "state/voice_port.h"
#include "state/window_port.h"

namespace talmeris {

// The platform, reached only through these.
struct Ports {
  WindowPort* windows = nullptr;
  net::Network* network = nullptr;
  voice::VoiceSystem* voice = nullptr;
  ProgramLauncher* launcher = nullptr;
  KeyboardPort* keyboard = nullptr;
};

// Where the key the server must prove for this connect came from.
enum class ServerPin : std::uint8_t {
  kNone,        // first use: whatever key it proves is remembered
  kChosen,      // TALMERIS_SERVER_KEY
  kFile,        // the installation's server.key
  kBuiltIn,     // built into the client for the built-in server
  kRemembered,  // known_servers
};

// Guarded by world_lock.
struct WorldState {
  float universe_hours = 0.0f;
  float universe_seconds = 0.0f;
  float ambient_level = 2.0f;
  float ambient_rate = 0.0f;
  bool docked = false;
  std::int8_t dock_index = -1;
  bool state_report_due = false;
  bool fdr_record_due = false;
  std::uint32_t fdr_sample_counter = 0;
  std::uint8_t fdr_events[16] = {};  // queued event codes, oldest first; 0 = empty
  std::FILE* fdr_file = nullptr;     // the open flight data file; null = recorder off
  FixedText<99> fdr_file_name;       // of the current or last file
  std::int16_t fdr_file_number = 0;  // for the next file; each run starts at 0
};

// The long-lived network objects and the addresses built by the connection sequence.
struct NetObjects {
  std::unique_ptr<net::Client> net_client;
  std::unique_ptr<net::Server> peer_server;
  std::unique_ptr<voice::VoiceClient> voice_client;
  std::unique_ptr<net::Address> client_device_address;
  std::unique_ptr<net::Address> peer_host_address;
  std::unique_ptr<net::Address> server_address;
};

struct ClientContext {
  explicit ClientContext(Ports p, std::filesystem::path dir = std::filesystem::current_path())
      : ports(p), install_dir(std::move(dir)), event_log(p.windows) {}
  ClientContext(const ClientContext&) = delete;
  ClientContext& operator=(const ClientContext&) = delete;

  std::filesystem::path File(const char* name) const { return install_dir / name; }

  Ports ports;
  std::filesystem::path install_dir;  // the working directory: patches.dat, Client.cfg, ...

  EventLog event_log;  // event_log_lock inside
  Stopwatch stopwatch;
  RandomGenerator random;

  // Client.cfg, loaded at start-up. The main thread reads and writes it; the server handler
  // writes login_name and data_revision, under settings_lock, which stores also take to copy it.
  RankedMutex settings_lock{LockRank::kSettings};
  Settings settings;
  std::uint16_t catalogue_revision = 0;
  std::uint32_t peer_host_port = 2400;
  std::string server_host;  // the game server's address
  std::uint32_t server_port = 2302;

  std::atomic<WindowId> main_window{kNoWindow};

  RankedMutex world_lock{LockRank::kWorld};
  WorldState world;

  WorldTables tables;  // a lock per record

  NetObjects net;

  // Connection sequence and tick; connect_stage is changed by the tick and by the server handler.
  std::atomic<std::int16_t> connect_stage{0};
  bool tick_busy = false;        // main thread
  float lag_accumulator = 0.0f;  // main thread
  std::atomic<float> flood_counter{0.0f};
  // The chat path: typed lines (main thread) and peer lines (peer handler) one at a time.
  RankedMutex chat_lock{LockRank::kChat};
  FixedText<41> last_chat_word;  // chat_lock; the last word read, after any replacement
  bool voice_muted = false;      // main thread
  // Voice chat: the handler's thread clears voice_connected when the session goes.
  std::atomic<bool> voice_connected{false};
  bool voice_transmitting = false;          // main thread
  bool ptt_key_down = false;                // main thread
  voice::ClientConfig voice_client_config;  // main thread
  int close_pause_ms = 1000;                // the orderly close's pause

  // Connection sequence state shared with the server handler.
  std::atomic<bool> data_up_to_date{false};
  // Patching; the server handler's thread only.
  struct {
    std::uint32_t total = 0;
    std::uint32_t done = 0;  // never reset; never above total
  } patch;
  bool new_account_requested = false;  // main thread

  // Open secondary dialogs that server replies update (kNoWindow while closed).
  std::atomic<WindowId> new_account_dialog{kNoWindow};
  std::atomic<WindowId> player_info_window{kNoWindow};
  std::atomic<WindowId> profile_editor_window{kNoWindow};
  // The rates (tax, redistribution, discount) the Profile Editor last filled in; main thread.
  std::int32_t profile_rates_shown[3] = {};

  // Where the per-user key folder lives ($XDG_CONFIG_HOME or ~/.config by default).
  std::filesystem::path user_config_home;
  // The game server's key for this run: from TALMERIS_SERVER_KEY (`server_key_chosen`, hex),
  // else built into the client for the built-in address (`server_key_built_in`, hex); main sets
  // them. The connect's pin, where it came from and the key (`server_pin_key`) are set before
  // the connect and read at its end.
  std::string server_key_chosen;
  std::string server_key_built_in;
  ServerPin server_pin = ServerPin::kNone;
  net::Key server_pin_key{};
  // Ends the process at once (the key folder failure); tests replace it.
  void (*exit_process)(int) = nullptr;

  // Peer host.
  std::atomic<bool> peer_host_active{false};
  std::atomic<bool> sound_peer_attached{false};
  RankedMutex peer_registration_lock{
      LockRank::kRegistration};  // a registration's conflict test and allocation; outer
  PeerSlots peer_slots;
  RankedMutex peer_text_lock{LockRank::kPeerText};
  FixedText<99> peer_shared_text;  // peer_text_lock
  bool peer_shared_flag = false;   // peer_text_lock
  int peer_drain_sleep_ms = 500;   // the welcome's drain wait between queue queries
  RankedMutex offline_messages_lock{
      LockRank::kOfflineMessages};  // every open-read/write-close of messages.txt
  std::atomic<WindowId> offline_messages_window{kNoWindow};  // set and cleared under the lock
  std::vector<std::string> offline_inbox;  // offline_messages_lock: arrivals for the open dialog
};

// Stores offsets first..last of the settings into Client.cfg from a copy taken under
// settings_lock; a failure logs "Could not save configuration change!" to `window`.
inline bool SaveSettings(ClientContext& ctx, WindowId window, std::size_t first, std::size_t last) {
  Settings snapshot;
  {
    std::lock_guard lock(ctx.settings_lock);
    snapshot = ctx.settings;
  }
  return StoreSettings(ctx.File(kSettingsFileName), snapshot, first, last, ctx.event_log, window);
}

}  // namespace talmeris
