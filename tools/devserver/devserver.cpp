#include "devserver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/bytes.h"
#include "net/enet_transport.h"
#include "server/protocol.h"
#include "server/server_link.h"
#include "voice/voice_wire.h"

namespace talmeris::devserver {

using namespace net;

struct DevServer::Client {
  DPNID id = 0;
  int slot = -1;
  std::string handle;
  std::string name;
  std::uint8_t gender = 1;
  bool verified = false;
  bool logged_in = false;
  std::uint16_t data_revision = 0;  // from its login
  std::size_t next_chunk = 0;       // while patching
  bool patching = false;
};

struct DevServer::Bot {
  int slot;
  std::string handle;
  std::string name;
  std::uint8_t gender;
  bool online = false;
  double next_toggle = 0;
  float angle = 0;
  double next_chat = 0;
};

namespace {
const Guid kServerApplication = *Guid::Parse("{1AD4CA3B-AC68-4D9B-9522-BE59CD485276}");
const char* kMaleNames[] = {"Bram Hollis", "Corin Vale", "Dorian Pike", "Emmet Crane"};
const char* kFemaleNames[] = {"Ilse Marrow", "Juna Reyes", "Katya Lind", "Liora Finch"};
const char* kBotLines[] = {"anyone near the north relay?", "docking in five", "nice flying!",
                           "the weather over the ridge is rough today", "see you at the hub"};
constexpr std::size_t kChunkData = 16384;
}  // namespace

std::vector<PatchChunk> PlanPatch(const Options& options) {
  std::vector<PatchChunk> plan;
  if (options.patch_dir.empty()) return plan;
  namespace fs = std::filesystem;
  const fs::path root(options.patch_dir);
  std::vector<fs::path> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_regular_file() && it->path().filename() != ".delete") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  auto windows_name = [](std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
  };
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    const std::string name = windows_name(fs::relative(file, root).generic_string());
    std::size_t offset = 0;
    do {
      PatchChunk chunk;
      chunk.name = name;
      chunk.offset = static_cast<std::uint32_t>(offset);
      const std::size_t n = std::min(kChunkData, bytes.size() - offset);
      chunk.data.assign(bytes.begin() + static_cast<long>(offset),
                        bytes.begin() + static_cast<long>(offset + n));
      plan.push_back(std::move(chunk));
      offset += n;
    } while (offset < bytes.size());
  }
  std::ifstream deletes(root / ".delete");
  for (std::string line; std::getline(deletes, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    PatchChunk chunk;
    chunk.name = windows_name(line);
    chunk.operation = 2;
    plan.push_back(std::move(chunk));
  }
  PatchChunk revision;
  revision.name = "patches.dat";
  revision.data = {static_cast<std::uint8_t>(options.patch_revision & 0xFF),
                   static_cast<std::uint8_t>(options.patch_revision >> 8)};
  revision.operation = options.patch_restart ? 4 : 1;
  plan.push_back(std::move(revision));
  return plan;
}

DevServer::DevServer(Options options) : options_(std::move(options)) {}

DevServer::~DevServer() {
  Stop();
}

void DevServer::Log(const std::string& line) {
  if (options_.log) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
}

bool DevServer::Start() {
  EnetOptions enet;
  enet.listen_host = options_.listen_host;
  network_ = CreateEnetNetwork(enet);
  network_->CreateServer(&server_);
  server_->Initialize(this, &DevServer::Handle, 1);
  Address device;
  network_->SetSP(device, CLSID_DP8SP_TCPIP);
  network_->AddComponent(device, "port", options_.port);
  ApplicationDesc app;
  app.application = kServerApplication;
  app.flags = DPNSESSION_CLIENT_SERVER;
  started_ = std::chrono::steady_clock::now();
  if (options_.demo) {
    const char* handles[] = {"vega", "orrin", "tamsin"};
    const char* names[] = {"Vega Marsh", "Orrin Tal", "Tamsin Row"};
    for (int i = 0; i < 3; ++i) {
      bots_.push_back(Bot{static_cast<int>(options_.max_players) - 1 - i, handles[i], names[i],
                          static_cast<std::uint8_t>(1 + i % 2), true, 8.0 + 7.0 * i,
                          static_cast<float>(i)});
    }
  }
  patch_ = PlanPatch(options_);
  server_->SetVoiceSink({this, &DevServer::OnVoice, nullptr});
  if (Failed(server_->Host(app, device))) return false;
  running_ = true;
  demo_thread_ = std::thread([this] { DemoLoop(); });
  Log("listening on port " + std::to_string(options_.port));
  return true;
}

void DevServer::Stop() {
  if (!running_.exchange(false)) return;
  if (demo_thread_.joinable()) demo_thread_.join();
  server_->Close(1);
}

void DevServer::UniverseClock(float* hours, float* seconds) const {
  double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  t += 3000.0;  // start late in an hour so the rollover shows soon
  *hours = static_cast<float>(100 + std::floor(t / 3600.0));
  *seconds = static_cast<float>(std::fmod(t, 3600.0));
}

HRESULT DevServer::Handle(void* self, const Message& m) {
  auto* s = static_cast<DevServer*>(self);
  switch (m.id) {
    case MessageId::CreatePlayer:
      s->OnCreatePlayer(m.player);
      break;
    case MessageId::DestroyPlayer:
      s->OnDestroyPlayer(m.player);
      break;
    case MessageId::Receive:
      s->OnReceive(m.player, m.data, m.size);
      break;
    default:
      break;
  }
  return DPN_OK;
}

void DevServer::SendTo(DPNID id, const std::uint8_t* data, std::uint32_t size, bool guaranteed) {
  server_->SendTo(id, data, size, guaranteed ? 0 : 1000, guaranteed ? 0x128 : 0x122);
}

void DevServer::SendShort(DPNID id, std::uint8_t type, std::uint8_t param, float v1, float v2,
                          float v3, float v4) {
  auto b = ShortMessage{type, param, v1, v2, v3, v4}.Encode();
  SendTo(id, b.data(), b.size());
}

void DevServer::SendText(DPNID id, std::uint8_t type, std::uint8_t param, const std::string& text) {
  auto m = TextMessage::Make(type, param, text);
  SendTo(id, m.bytes.data(), m.bytes.size());
}

int DevServer::FreeSlot() const {
  for (int slot = 0; slot < static_cast<int>(options_.max_players); ++slot) {
    bool taken = false;
    for (auto& [id, c] : clients_) taken = taken || c->slot == slot;
    for (auto& b : bots_) taken = taken || (b.slot == slot);
    if (!taken) return slot;
  }
  return -1;
}

DevServer::Client* DevServer::FindClient(DPNID id) {
  auto it = clients_.find(id);
  return it == clients_.end() ? nullptr : it->second.get();
}

DevServer::Client* DevServer::FindByHandle(const std::string& handle, bool during_login) {
  for (auto& [id, c] : clients_) {
    // The handle is set once the login is verified, before the client acknowledges it.
    if ((c->logged_in || (during_login && !c->handle.empty())) && c->handle == handle) {
      return c.get();
    }
  }
  return nullptr;
}

void DevServer::OnCreatePlayer(DPNID id) {
  if (!running_) return;  // the host's own player, reported while Host runs
  std::lock_guard lock(mutex_);
  auto c = std::make_unique<Client>();
  c->id = id;
  c->slot = FreeSlot();
  float hours, seconds;
  UniverseClock(&hours, &seconds);
  // A full server welcomes with slot 32, which the client refuses.
  SendShort(id, kSessionWelcome, static_cast<std::uint8_t>(c->slot < 0 ? 32 : c->slot), seconds,
            options_.newest_release, hours);
  Log("connected " + std::to_string(id) + " slot " + std::to_string(c->slot));
  clients_[id] = std::move(c);
}

void DevServer::AnnounceLogOff(int slot) {
  for (auto& [id, other] : clients_) {
    if (!other->logged_in) continue;
    SendShort(id, kPlayerLoggedOff, static_cast<std::uint8_t>(slot));
    SendShort(id, kVesselGone, static_cast<std::uint8_t>(slot));
  }
}

void DevServer::SetVoiceListener(DPNID id, bool signed_in) {
  std::lock_guard lock(voice_mutex_);
  if (signed_in) {
    voice_players_[id].signed_in = true;
  } else {
    voice_players_.erase(id);
  }
}

void DevServer::OnVoice(void* self_ptr, DPNID from, const std::uint8_t* data, std::uint32_t size) {
  auto* self = static_cast<DevServer*>(self_ptr);
  if (size < 1) return;
  if (data[0] == voice::kTargets) {
    DPNID ids[voice::kMaxTargets];
    std::uint32_t count = 0;
    if (!voice::DecodeTargets(data, size, ids, &count)) return;
    {
      std::lock_guard lock(self->voice_mutex_);
      auto it = self->voice_players_.find(from);
      if (it == self->voice_players_.end()) return;  // not signed in
      it->second.targets.assign(ids, ids + count);
    }
    std::string line = "voice " + std::to_string(from) + " talks to";
    if (count == 0) line += " nobody";
    for (std::uint32_t i = 0; i < count; ++i)
      line += ids[i] == 0 ? " everyone" : " " + std::to_string(ids[i]);
    self->Log(line);
    return;
  }
  voice::DecodedFrame frame;
  if (!voice::DecodeFrame(data, size, &frame) || data[0] != voice::kFrame) return;
  std::uint8_t out[voice::kTalkerFrameHeader + voice::kMaxOpusBytes];
  const std::uint32_t n = voice::EncodeFrame(out, voice::kTalkerFrame, frame.flags, frame.sequence,
                                             from, frame.opus, frame.opus_size);
  // The listeners are collected first; the sends leave with the lock released.
  DPNID listeners[64];
  std::size_t count = 0;
  {
    std::lock_guard lock(self->voice_mutex_);
    auto talker = self->voice_players_.find(from);
    if (talker == self->voice_players_.end()) return;
    for (auto& [id, player] : self->voice_players_) {
      if (id == from || !player.signed_in || count == std::size(listeners)) continue;
      const auto& t = talker->second.targets;
      if (std::find(t.begin(), t.end(), 0u) != t.end() ||
          std::find(t.begin(), t.end(), id) != t.end())
        listeners[count++] = id;
    }
  }
  for (std::size_t i = 0; i < count; ++i) self->server_->SendVoiceTo(listeners[i], out, n, false);
}

void DevServer::OnDestroyPlayer(DPNID id) {
  SetVoiceListener(id, false);
  std::lock_guard lock(mutex_);
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  std::unique_ptr<Client> c = std::move(it->second);
  clients_.erase(it);
  if (c->logged_in) AnnounceLogOff(c->slot);
  Log("disconnected " + (c->handle.empty() ? std::to_string(id) : c->handle));
}

void DevServer::OnReceive(DPNID id, const std::uint8_t* data, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  Client* c = FindClient(id);
  if (!c) return;
  if (size == kAccountMessageSize) {
    OnAccountMessage(*c, data);
  } else if (size == kTextMessageSize && data[0] == kChatLine && c->logged_in) {
    OnChat(*c, data);
  } else if (size == kTextMessageSize && c->logged_in) {
    OnStandingText(*c, data[0], data[1], std::string(LoadFixedText(data + 4, 84)));
  } else if (size == kShortMessageSize) {
    ShortMessage m = ShortMessage::Decode(data);
    if (m.type == kLoginAcknowledge && c->verified) {
      OnLoginAcknowledge(*c);
    } else if (m.type == kPatchChunkRequest && c->patching) {
      SendNextChunk(*c);
    } else if (m.type == kExpletiveReport && c->logged_in) {
      ++expletives_[c->handle];
      Log("expletive from " + c->handle);
    } else if ((m.type == kSetAlignment || m.type == kAllianceRequest) && c->logged_in) {
      OnStandingShort(*c, m.type, m.value1, m.value2, m.value3, m.value4);
    } else if (m.type == kNameSuggestionRequest) {
      bool male = m.value1 == 1.0f || (m.value1 == 0.0f && (name_counter_ % 2) == 0);
      const char* name = male ? kMaleNames[name_counter_ % 4] : kFemaleNames[name_counter_ % 4];
      ++name_counter_;
      SendText(id, kCharacterNameSuggestion, male ? 1 : 2, name);
    }
  }
}

void DevServer::OnAccountMessage(Client& c, const std::uint8_t* data) {
  std::string handle(LoadFixedText(data, 13));
  std::string password(LoadFixedText(data + 13, 16));
  if (data[256] == 2) {
    std::string referrer(LoadFixedText(data + 29, 13));
    std::string name(LoadFixedText(data + 42, 30));
    bool taken = false, referrer_known = referrer.empty();
    for (auto& a : options_.accounts) {
      taken = taken || a.handle == handle;
      referrer_known = referrer_known || a.handle == referrer;
    }
    std::uint8_t reply = taken ? 1 : !referrer_known ? 2 : 0;
    if (reply == 0) options_.accounts.push_back(Account{handle, password, name, data[72]});
    SendShort(c.id, kAccountCreationReply, reply);
    Log("new account " + handle + " -> " + std::to_string(reply));
    return;
  }
  const Account* account = nullptr;
  for (auto& a : options_.accounts) {
    if (a.handle == handle) account = &a;
  }
  const float release = LoadF32(data + 60);
  if (!account) {
    SendShort(c.id, kLoginStatus, 0, 2.0f, 2.0f);
  } else if (account->password != password) {
    SendShort(c.id, kLoginStatus, 0, 0.0f, 2.0f);
  } else if (FindByHandle(handle)) {
    SendShort(c.id, kLoginStatus, 0, 0.0f, 3.0f);
  } else if (release < options_.minimum_release) {
    SendShort(c.id, kLoginStatus, 0, 0.0f, 4.0f);
  } else {
    c.handle = handle;
    c.data_revision = LoadU16(data + 66);
    c.name = account->character_name.empty() ? handle : account->character_name;
    c.gender = account->gender;
    c.verified = true;
    SendShort(c.id, kLoginStatus, 0, 1.0f, 2.0f);
  }
  Log("login " + handle);
}

void DevServer::Introduce(DPNID to, int slot, const std::string& handle, const std::string& name,
                          std::uint8_t gender, DPNID identity) {
  // The identity number is the player's id on the session: voice targets name players by it.
  SendText(
      to, kPlayerIdentity, static_cast<std::uint8_t>(slot),
      std::to_string(gender) + "," + handle + ",Pilot," + std::to_string(identity) + "," + name);
  SendText(to, kPlayerStanding, static_cast<std::uint8_t>(slot),
           StandingText(FindClient(to) ? FindClient(to)->handle : std::string(), handle));
  std::string vessel = handle.substr(0, 5) + ",00000,1,0,0,0,0," + std::to_string(slot) +
                       ",0,0,TAL-" + std::to_string(100 + slot);
  SendText(to, kVesselIdentity, static_cast<std::uint8_t>(slot), vessel);
}

int DevServer::SlotOf(const std::string& handle) const {
  for (const auto& [id, c] : clients_) {
    if (c->logged_in && c->handle == handle) return c->slot;
  }
  for (const auto& b : bots_) {
    if (b.online && b.handle == handle) return b.slot;
  }
  return -1;
}

std::string DevServer::HandleAt(int slot) const {
  for (const auto& [id, c] : clients_) {
    if (c->logged_in && c->slot == slot) return c->handle;
  }
  for (const auto& b : bots_) {
    if (b.online && b.slot == slot) return b.handle;
  }
  return {};
}

int DevServer::AllianceOf(const std::string& handle) const {
  for (const auto& [id, a] : alliances_) {
    if (a.members.count(handle)) return id;
  }
  return 0;
}

std::string DevServer::StandingText(const std::string& viewer, const std::string& handle) {
  auto alignment = alignments_.find({viewer, handle});
  const int aligned = alignment == alignments_.end() ? 1 : alignment->second;
  const int id = AllianceOf(handle);
  if (id == 0) return "None,0,0," + std::to_string(aligned) + ",0,0,0";
  const Alliance& a = alliances_[id];
  const int allegiance = a.chair == handle ? 65535 : id;
  return a.name + "," + std::to_string(allegiance) + "," + std::to_string(a.members.at(handle)) +
         "," + std::to_string(aligned) + "," + std::to_string(a.tax) + "," +
         std::to_string(a.redistribution) + "," + std::to_string(a.discount);
}

void DevServer::AnnounceStanding(const std::string& handle) {
  const int slot = SlotOf(handle);
  if (slot < 0) return;
  for (auto& [id, other] : clients_) {
    if (other->logged_in)
      SendText(id, kPlayerStanding, static_cast<std::uint8_t>(slot),
               StandingText(other->handle, handle));
  }
}

void DevServer::OnStandingShort(Client& c, std::uint8_t type, float v1, float v2, float v3,
                                float v4) {
  // The values arrive as any f32: taken as whole numbers the one way that never traps, and the
  // slot checked before it is used.
  const std::int64_t w1 = WholeNumber(v1), w2 = WholeNumber(v2), w3 = WholeNumber(v3);
  if (type == kSetAlignment) {
    if (w1 < 0 || w1 >= 32 || w2 < 0 || w2 > 3) return;
    const int slot = static_cast<int>(w1), alignment = static_cast<int>(w2);
    const std::string player = HandleAt(slot);
    if (player.empty()) return;
    alignments_[{c.handle, player}] = alignment;
    Log("alignment " + c.handle + " -> " + player + ": " + std::to_string(alignment));
    SendText(c.id, kPlayerStanding, static_cast<std::uint8_t>(slot),
             StandingText(c.handle, player));
    return;
  }
  auto percent = [](std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, 0, 100));
  };
  const std::int64_t form = WholeNumber(v4);
  const int own = AllianceOf(c.handle);
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  if (form == 0) {  // join the alliance a player belongs to (65535: the only alliance there is)
    int id = w1 >= 0 && w1 <= 65535 ? static_cast<int>(w1) : 0;
    if (id == 65535 && alliances_.size() == 1) id = alliances_.begin()->first;
    if (own != 0 || !alliances_.count(id)) {
      Log("join refused for " + c.handle);
      return;
    }
    alliances_[id].members[c.handle] = now;
    Log(c.handle + " joined " + alliances_[id].name);
    AnnounceStanding(c.handle);
  } else if (form == 1 && own != 0 && alliances_[own].chair == c.handle) {
    Alliance& a = alliances_[own];
    std::string next;
    for (const auto& [member, since] : a.members) {
      if (member != c.handle && (next.empty() || since < a.members[next])) next = member;
    }
    if (next.empty()) {
      Log(c.handle + " resigned; " + a.name + " dissolved");
      alliances_.erase(own);
      AnnounceStanding(c.handle);
      return;
    }
    a.chair = next;
    Log(c.handle + " resigned; " + next + " chairs " + a.name);
    AnnounceStanding(c.handle);
    AnnounceStanding(next);
  } else if (form == 2 && own != 0 && alliances_[own].chair != c.handle) {
    alliances_[own].members.erase(c.handle);
    Log(c.handle + " left " + alliances_[own].name);
    AnnounceStanding(c.handle);
  } else if (form == 3 && own != 0 && alliances_[own].chair == c.handle) {
    Alliance& a = alliances_[own];
    a.discount = percent(w1);
    a.tax = percent(w2);
    a.redistribution = percent(w3);
    Log("rates of " + a.name + ": tax " + std::to_string(a.tax) + ", redistribution " +
        std::to_string(a.redistribution) + ", discount " + std::to_string(a.discount));
    for (const auto& [member, since] : a.members) AnnounceStanding(member);
  } else {
    Log("alliance request " + std::to_string(form) + " refused for " + c.handle);
  }
}

void DevServer::OnStandingText(Client& c, std::uint8_t type, std::uint8_t param,
                               const std::string& text) {
  switch (type) {
    case 10: {  // CreateAlliance
      if (AllianceOf(c.handle) != 0 || text.empty() || next_alliance_ >= 65535) {
        Log("alliance not created for " + c.handle);
        return;
      }
      const int id = next_alliance_++;
      alliances_[id] = Alliance{text, c.handle, {{c.handle, std::time(nullptr)}}};
      Log(c.handle + " created " + text);
      AnnounceStanding(c.handle);
      return;
    }
    case 20: {  // RemoveAllianceMember
      const int own = AllianceOf(c.handle);
      if (own == 0 || alliances_[own].chair != c.handle || text == c.handle ||
          !alliances_[own].members.erase(text)) {
        Log("remove " + text + " refused for " + c.handle);
        return;
      }
      Log(c.handle + " removed " + text + " from " + alliances_[own].name);
      AnnounceStanding(text);
      return;
    }
    case 12:  // CommitCharacter
      if (param != 1 && param != 2) return;
      c.name = text;
      c.gender = param;
      for (auto& a : options_.accounts) {
        if (a.handle == c.handle) {
          a.character_name = text;
          a.gender = param;
        }
      }
      Log(c.handle + " is now " + text);
      for (auto& [id, other] : clients_) {
        if (other->logged_in)
          SendText(id, kPlayerIdentity, static_cast<std::uint8_t>(c.slot),
                   std::to_string(c.gender) + "," + c.handle + ",Pilot," + std::to_string(c.id) +
                       "," + c.name);
      }
      return;
    case 16:  // PasswordChange
      for (auto& a : options_.accounts) {
        if (a.handle == c.handle) a.password = text;
      }
      Log("password changed for " + c.handle);
      return;
    default:
      return;
  }
}

void DevServer::AnnounceToLoggedIn(int slot, const std::string& handle, const std::string& name,
                                   std::uint8_t gender, DPNID except, DPNID identity) {
  for (auto& [id, other] : clients_) {
    if (other->logged_in && id != except) Introduce(id, slot, handle, name, gender, identity);
  }
}

void DevServer::OnLoginAcknowledge(Client& c) {
  if (c.logged_in || c.patching || c.slot < 0) return;
  if (!patch_.empty() && c.data_revision < options_.patch_revision) {
    // Out of date: the patch first, one chunk per request, then the login completes.
    std::uint32_t counted = 0;
    for (const auto& chunk : patch_) counted += chunk.operation == 4 ? 0 : 1;
    c.patching = true;
    c.next_chunk = 0;
    SendShort(c.id, kLoginStatus, 0, static_cast<float>(c.slot), 1.0f,
              static_cast<float>(counted * kChunkData));
    Log("patching " + c.handle + ": " + std::to_string(patch_.size()) + " chunks");
    return;
  }
  CompleteLogin(c, options_.data_revision);
}

void DevServer::SendNextChunk(Client& c) {
  if (c.next_chunk >= patch_.size()) {
    c.patching = false;
    CompleteLogin(c, options_.patch_revision);
    return;
  }
  const PatchChunk& chunk = patch_[c.next_chunk++];
  std::vector<std::uint8_t> m(kPatchChunkSize, 0);
  StoreFixedText(m.data(), 128, chunk.name);
  StoreU32(m.data() + 128, chunk.offset);
  StoreU32(m.data() + 132, static_cast<std::uint32_t>(chunk.data.size()));
  std::copy(chunk.data.begin(), chunk.data.end(), m.begin() + 136);
  m[16520] = chunk.operation;
  SendTo(c.id, m.data(), static_cast<std::uint32_t>(m.size()));
}

void DevServer::CompleteLogin(Client& c, std::uint16_t revision) {
  SendShort(c.id, kLoginStatus, 0, static_cast<float>(c.slot), 0.0f, revision);
  c.logged_in = true;
  SetVoiceListener(c.id, true);
  Introduce(c.id, c.slot, c.handle, c.name, c.gender, c.id);  // its own identity
  for (auto& [id, other] : clients_) {
    if (other.get() != &c && other->logged_in)
      Introduce(c.id, other->slot, other->handle, other->name, other->gender, other->id);
  }
  for (auto& b : bots_) {
    if (b.online) Introduce(c.id, b.slot, b.handle, b.name, b.gender, BotIdentity(b.slot));
  }
  AnnounceToLoggedIn(c.slot, c.handle, c.name, c.gender, c.id, c.id);
  // Offline messages left while the player was away.
  auto waiting = offline_.find(c.handle);
  if (waiting != offline_.end()) {
    for (const std::string& text : waiting->second) SendText(c.id, kOfflineMessage, 0, text);
    offline_.erase(waiting);
  }
  Log("running " + c.handle);
}

void DevServer::OnChat(Client& c, const std::uint8_t* data) {
  std::uint8_t line[kTextMessageSize];
  std::copy(data, data + kTextMessageSize, line);
  line[1] = static_cast<std::uint8_t>(c.slot);  // the sender's slot
  for (auto& [id, other] : clients_) {
    if (other.get() != &c && other->logged_in) SendTo(id, line, kTextMessageSize);
  }
  Log("chat " + c.handle + ": " + std::string(LoadFixedText(data + 4, 84)));
}

bool DevServer::Notice(const std::string& handle, const std::string& text) {
  std::lock_guard lock(mutex_);
  bool sent = false;
  for (auto& [id, c] : clients_) {
    if (c->logged_in && (handle == "all" || c->handle == handle)) {
      SendText(id, kServerNotice, 0, text);
      sent = true;
    }
  }
  return sent;
}

void DevServer::Offline(const std::string& handle, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (Client* c = FindByHandle(handle)) {
    SendText(c->id, kOfflineMessage, 0, text);
  } else {
    offline_[handle].push_back(text);
  }
}

std::string DevServer::Statistics(const std::string& handle) {
  std::lock_guard lock(mutex_);
  Client* c = FindByHandle(handle, true);
  ConnectionInfo i;
  if (!c || Failed(server_->GetConnectionInfo(c->id, &i))) return {};
  char line[256];
  std::snprintf(line, sizeof line,
                "rtt %u ms, sent %u guaranteed %u not, received %u guaranteed %u not, "
                "%u messages, retried %u, dropped %u",
                i.round_trip_latency_ms, i.packets_sent_guaranteed, i.packets_sent_non_guaranteed,
                i.packets_received_guaranteed, i.packets_received_non_guaranteed,
                i.messages_received, i.packets_retried, i.packets_dropped);
  return line;
}

int DevServer::Expletives(const std::string& handle) {
  std::lock_guard lock(mutex_);
  auto it = expletives_.find(handle);
  return it == expletives_.end() ? 0 : it->second;
}

void DevServer::DemoLoop() {
  while (running_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard lock(mutex_);
    double now = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    if (options_.own_path) {
      // Each signed-in player's own vessel on a circle 5.4 km above the surface, turning
      // slowly, with a gentle roll rate.
      const float angle = static_cast<float>(now * 0.05);
      std::uint8_t state[kVesselStateSize] = {};
      StoreF32(state + 4, 2945.0f * std::cos(angle));
      StoreF32(state + 8, 2945.0f * std::sin(angle));
      StoreF32(state + 16, -0.147f * std::sin(angle));
      StoreF32(state + 20, 0.147f * std::cos(angle));
      StoreF32(state + 40, 1.0f);  // orientation w
      StoreU16(state + 46, 520);   // roll rate
      state[50] = 40;              // thrust i
      state[56] = 0xFF;            // moving freely
      for (auto& [id, c] : clients_) {
        if (!c->logged_in) continue;
        state[0] = static_cast<std::uint8_t>(c->slot);
        SendTo(id, state, sizeof state, false);
      }
    }
    for (auto& b : bots_) {
      if (now >= b.next_toggle) {
        b.online = !b.online;
        b.next_toggle = now + (b.online ? 25.0 : 8.0);
        if (b.online) {
          AnnounceToLoggedIn(b.slot, b.handle, b.name, b.gender, 0, BotIdentity(b.slot));
        } else {
          AnnounceLogOff(b.slot);
        }
      }
      if (!b.online) continue;
      if (now >= b.next_chat) {
        if (b.next_chat > 0) {
          auto line = TextMessage::Make(kChatLine, static_cast<std::uint8_t>(b.slot),
                                        kBotLines[name_counter_++ % std::size(kBotLines)]);
          for (auto& [id, c] : clients_) {
            if (c->logged_in) SendTo(id, line.bytes.data(), kTextMessageSize);
          }
        }
        b.next_chat = now + 20.0 + 9.0 * (b.slot % 3);
      }
      b.angle += 0.01f;
      std::uint8_t position[kPlayerPositionSize] = {static_cast<std::uint8_t>(b.slot), 0, 1, 0};
      StoreU16(position + 6,
               static_cast<std::uint16_t>(static_cast<std::int16_t>(100 * std::cos(b.angle))));
      StoreU16(position + 8,
               static_cast<std::uint16_t>(static_cast<std::int16_t>(100 * std::sin(b.angle))));
      position[10] = static_cast<std::uint8_t>(b.angle * 40);
      std::uint8_t state[kVesselStateSize] = {static_cast<std::uint8_t>(b.slot)};
      StoreF32(state + 4, 2950.0f * std::cos(b.angle));
      StoreF32(state + 8, 2950.0f * std::sin(b.angle));
      StoreF32(state + 28, 1.0f);
      state[56] = 0xFF;  // moving freely
      for (auto& [id, c] : clients_) {
        if (!c->logged_in) continue;
        SendTo(id, position, sizeof position, false);
        SendTo(id, state, sizeof state, false);
      }
    }
  }
}

std::vector<PlayerInfo> DevServer::Players() {
  std::lock_guard lock(mutex_);
  std::vector<PlayerInfo> out;
  for (auto& [id, c] : clients_) out.push_back({id, c->slot, c->handle});
  return out;
}

bool DevServer::SendRaw(const std::string& handle, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  Client* c = FindByHandle(handle, true);
  if (!c || bytes.empty()) return false;
  SendTo(c->id, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  return true;
}

bool DevServer::Kick(const std::string& handle) {
  std::lock_guard lock(mutex_);
  Client* c = FindByHandle(handle);
  if (!c) return false;
  SendShort(c->id, kSessionEnd, 0, 1.0f);
  return true;
}

void DevServer::AnnounceShutdown() {
  std::lock_guard lock(mutex_);
  for (auto& [id, c] : clients_) SendShort(id, kSessionEnd, 0, 0.0f);
}

void DevServer::AddAccount(const Account& account) {
  std::lock_guard lock(mutex_);
  options_.accounts.push_back(account);
}

std::string DevServer::Command(const std::string& line) {
  std::istringstream in(line);
  std::string verb, who;
  in >> verb;
  if (verb == "list") {
    std::string out;
    for (auto& p : Players()) {
      out += std::to_string(p.slot) + " " + (p.handle.empty() ? "-" : p.handle) + "\n";
    }
    return out.empty() ? "nobody\n" : out;
  }
  if (verb == "kick") {
    in >> who;
    return Kick(who) ? "kicked\n" : "no such player\n";
  }
  if (verb == "shutdown") {
    AnnounceShutdown();
    return "shutdown announced\n";
  }
  if (verb == "send") {  // send HANDLE HEXBYTES
    std::string hex;
    in >> who >> hex;
    auto digit = [](char ch) -> int {
      if (ch >= '0' && ch <= '9') return ch - '0';
      if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
      if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
      return -1;
    };
    if (hex.empty() || hex.size() % 2 != 0 || hex.size() / 2 > kMaxPayload) {
      return "bad hex: an even number of hexadecimal digits, at most 65536 bytes\n";
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
      const int high = digit(hex[i]), low = digit(hex[i + 1]);
      if (high < 0 || low < 0) return "bad hex: not a hexadecimal digit\n";
      bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return SendRaw(who, bytes) ? "sent\n" : "not sent\n";
  }
  if (verb == "fill") {  // fill HANDLE SIZE BYTE
    std::size_t size = 0;
    int value = 0;
    if (!(in >> who >> size >> value)) return "usage: fill HANDLE SIZE BYTE\n";
    if (size == 0 || size > kMaxPayload) return "bad size\n";
    if (value < 0 || value > 255) return "bad byte\n";
    return SendRaw(who, std::vector<std::uint8_t>(size, static_cast<std::uint8_t>(value)))
               ? "sent\n"
               : "not sent\n";
  }
  if (verb == "notice") {  // notice HANDLE|all TEXT
    std::string text;
    in >> who;
    std::getline(in, text);
    if (!text.empty() && text[0] == ' ') text.erase(0, 1);
    if (who.empty()) return "usage: notice HANDLE|all TEXT\n";
    return Notice(who, text) ? "sent\n" : "nobody signed in by that name\n";
  }
  if (verb == "offline") {  // offline HANDLE TEXT
    std::string text;
    in >> who;
    std::getline(in, text);
    if (!text.empty() && text[0] == ' ') text.erase(0, 1);
    if (who.empty()) return "usage: offline HANDLE TEXT\n";
    Offline(who, text);
    return "stored or delivered\n";
  }
  if (verb == "ownpath") {  // ownpath on|off
    std::string state;
    in >> state;
    if (state != "on" && state != "off") return "usage: ownpath on|off\n";
    std::lock_guard lock(mutex_);
    options_.own_path = state == "on";
    return "own vessel path " + state + "\n";
  }
  if (verb == "stats") {  // stats HANDLE
    in >> who;
    std::string line = Statistics(who);
    return line.empty() ? "no such player\n" : line + "\n";
  }
  if (verb == "account") {  // account HANDLE PASSWORD
    Account a;
    in >> a.handle >> a.password;
    if (a.handle.empty()) return "usage: account HANDLE PASSWORD\n";
    AddAccount(a);
    return "added\n";
  }
  return "commands: list | kick H | shutdown | send H HEX | fill H SIZE BYTE | account H P | "
         "notice H|all TEXT | offline H TEXT | ownpath on|off | stats H\n";
}

}  // namespace talmeris::devserver
