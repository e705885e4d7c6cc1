// The development server: the other end of the server protocol, for demos, integration tests
// and benchmarks. Not the game server; real enough to play a session against.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/transport.h"

namespace talmeris::devserver {

struct Account {
  std::string handle;
  std::string password;  // as given; emptied once hashed
  std::string character_name;
  std::uint8_t gender = 1;
  std::string password_hash = {};  // libsodium's salted password hash, once the world is kept
};

// Whether `password` is the account's.
bool PasswordMatches(const Account& account, const std::string& password);

struct Options {
  std::uint32_t port = 2302;
  const char* listen_host = "127.0.0.1";
  std::uint32_t max_players = 32;   // player slots handed out
  float newest_release = 173.0f;    // sent in the welcome
  float minimum_release = 173.0f;   // older logins are told they are obsolete
  std::uint16_t data_revision = 5;  // the current data files
  bool demo = false;                // scripted players that log on and off and move
  std::vector<Account> accounts;
  bool log = false;  // print what happens to stdout
  // Patches: the files under patch_dir (relative names, sent with backslashes) go to a client
  // whose data revision is older than patch_revision; names listed in patch_dir/.delete are
  // deleted; the last chunk writes the revision into patches.dat, with the restart operation
  // when patch_restart is set.
  // The client's own vessel flown on a scripted path (VesselStateMessages at 10 Hz), so that
  // the recorder's server path can be seen; switchable with the "ownpath" command.
  bool own_path = false;
  std::string patch_dir;
  std::uint16_t patch_revision = 0;
  bool patch_restart = false;
  // The server's static key for the secure session (a secret X25519 key); without one the
  // server makes a key pair of its own when it starts.
  bool has_secret_key = false;
  std::array<std::uint8_t, 32> secret_key{};
  // The world kept across restarts (accounts with their passwords hashed, characters,
  // alignments, alliances, offline messages waiting) in this SQLite file; empty: in memory only.
  std::string world_file;
  bool fresh_world = false;  // start from an empty world (the file's contents are replaced)
};

// One chunk of a planned patch, as the server sends it.
struct PatchChunk {
  std::string name;  // with backslashes
  std::uint32_t offset = 0;
  std::vector<std::uint8_t> data;
  std::uint8_t operation = 1;
};

// The chunks that bring an installation to `options`' patch revision (empty without a patch).
std::vector<PatchChunk> PlanPatch(const Options& options);

struct PlayerInfo {
  net::DPNID dpnid;
  int slot;
  std::string handle;  // empty until logged in
};

class DevServer {
 public:
  explicit DevServer(Options options);
  ~DevServer();

  // Opens the world file (Options::world_file) and takes what it keeps; false, with the reason,
  // when it is damaged, made by a newer server, held by another server or cannot be written.
  // Call before Start.
  bool OpenWorld(std::string* error);
  // Starts hosting; false when the port is taken or the transport fails.
  bool Start();
  // The public key clients see it prove (valid once started).
  std::array<std::uint8_t, 32> PublicKey() const { return public_key_; }
  void Stop();

  // Operator and test controls.
  std::vector<PlayerInfo> Players();
  bool SendRaw(const std::string& handle, const std::vector<std::uint8_t>& bytes);
  bool Kick(const std::string& handle);
  void AnnounceShutdown();
  void AddAccount(const Account& account);
  // A ServerNotice to one signed-in player, or to all with handle "all"; false when nobody got it.
  bool Notice(const std::string& handle, const std::string& text);
  // An OfflineMessage: delivered now to a signed-in player, else kept for the next sign-in.
  void Offline(const std::string& handle, const std::string& text);
  // ExpletiveReports received from a player so far.
  int Expletives(const std::string& handle);
  // The connection statistics of a player's session, as one line; empty when unknown.
  std::string Statistics(const std::string& handle);
  // A command line as the program's standard input takes it; returns its answer.
  std::string Command(const std::string& line);

 private:
  std::array<std::uint8_t, 32> public_key_{};
  struct Client;
  struct Bot;

  static net::HRESULT Handle(void* self, const net::Message& message);
  // Voice: a datagram from a player on the voice channel (the transport's service thread).
  static void OnVoice(void* self, net::DPNID from, const std::uint8_t* data, std::uint32_t size);
  void SetVoiceListener(net::DPNID id, bool signed_in);
  void OnCreatePlayer(net::DPNID id);
  void OnDestroyPlayer(net::DPNID id);
  void OnReceive(net::DPNID id, const std::uint8_t* data, std::uint32_t size);
  void OnAccountMessage(Client& c, const std::uint8_t* data);
  void OnLoginAcknowledge(Client& c);
  void CompleteLogin(Client& c, std::uint16_t revision);
  void SendNextChunk(Client& c);
  void OnChat(Client& c, const std::uint8_t* data);
  void SendTo(net::DPNID id, const std::uint8_t* data, std::uint32_t size, bool guaranteed = true);
  void SendShort(net::DPNID id, std::uint8_t type, std::uint8_t param, float v1 = 0, float v2 = 0,
                 float v3 = 0, float v4 = 0);
  void SendText(net::DPNID id, std::uint8_t type, std::uint8_t param, const std::string& text);
  // Standing: alignments, alliances and characters, kept per account for the server's life.
  struct Alliance {
    std::string name;
    std::string chair;
    std::map<std::string, std::int64_t> members;  // handle -> member since (the chair too)
    int tax = 0, redistribution = 0, discount = 0;
  };
  void OnStandingShort(Client& c, std::uint8_t type, float v1, float v2, float v3, float v4);
  void OnStandingText(Client& c, std::uint8_t type, std::uint8_t param, const std::string& text);
  // The PlayerStanding text of `handle` as `viewer` sees it.
  std::string StandingText(const std::string& viewer, const std::string& handle);
  // Sends every signed-in player the standing of `handle` (in slot `slot`).
  void AnnounceStanding(const std::string& handle);
  int SlotOf(const std::string& handle) const;
  std::string HandleAt(int slot) const;
  int AllianceOf(const std::string& handle) const;  // 0 when none
  void Introduce(net::DPNID to, int slot, const std::string& handle, const std::string& name,
                 std::uint8_t gender, net::DPNID identity);
  void AnnounceToLoggedIn(int slot, const std::string& handle, const std::string& name,
                          std::uint8_t gender, net::DPNID except, net::DPNID identity);
  // Scripted players have no session; their identity numbers are never a session's id.
  static net::DPNID BotIdentity(int slot) { return 1000u + static_cast<net::DPNID>(slot); }
  void AnnounceLogOff(int slot);
  int FreeSlot() const;
  Client* FindClient(net::DPNID id);
  // A signed-in player; with `during_login`, also one whose login is verified but not yet
  // acknowledged.
  Client* FindByHandle(const std::string& handle, bool during_login = false);
  void DemoLoop();
  void UniverseClock(float* hours, float* seconds) const;
  void Log(const std::string& line);

  Options options_;
  std::unique_ptr<net::Network> network_;
  std::unique_ptr<net::Server> server_;
  std::mutex mutex_;
  std::map<net::DPNID, std::unique_ptr<Client>> clients_;
  // Voice: who is signed in and whom each talker's frames go to. Taken alone, or inside mutex_.
  struct VoicePlayer {
    bool signed_in = false;
    std::vector<net::DPNID> targets;  // 0 = every signed-in player
  };
  std::map<int, Alliance> alliances_;                              // by id, 1 to 65534
  std::map<std::pair<std::string, std::string>, int> alignments_;  // (viewer, player)
  int next_alliance_ = 1;
  std::mutex voice_mutex_;
  std::map<net::DPNID, VoicePlayer> voice_players_;
  std::vector<Bot> bots_;
  std::thread demo_thread_;
  std::atomic<bool> running_{false};
  std::chrono::steady_clock::time_point started_;
  std::uint32_t name_counter_ = 0;
  std::vector<PatchChunk> patch_;
  std::map<std::string, std::vector<std::string>> offline_;  // handle -> waiting messages
  std::map<std::string, int> expletives_;                    // handle -> reports
  // The kept world: the open database, and what was last written to it (mutex_).
  struct WorldFile;
  std::unique_ptr<WorldFile> world_;
  std::string world_written_;
  // Writes the world whole when it changed since it was last written (mutex_ held).
  void SaveWorldIfChanged();
};

}  // namespace talmeris::devserver
