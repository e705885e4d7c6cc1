#include "server/server_link.h"

#include "server/server_key.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "server/connect.h"
#include "server/offline_messages.h"
#include "server/patching.h"
#include "server/protocol.h"
#include "server/text_fields.h"
#include "server/vessels.h"
#include "state/context.h"
#include "state/files.h"
#include "state/main_window.h"
#include "state/sessions.h"

namespace talmeris {
namespace {

constexpr const char* kCaption = "Client Application";
// Shows a fatal box owned by the main dialog and ends it with `code`.
void EndWith(ClientContext& ctx, const char* text, unsigned icon, int code) {
  const WindowId main = ctx.main_window.load();
  ctx.ports.windows->MessageBox(main, text, kCaption, icon);
  ctx.ports.windows->EndDialog(main, code);
}

void RelayToAll(ClientContext& ctx, const std::uint8_t* data, std::uint32_t size) {
  SendToPeer(ctx, net::DPNID_ALL_PLAYERS_GROUP, data, size, true, 0);
}

void SendSoundCue(ClientContext& ctx, std::uint8_t param) {
  ShortMessage cue;
  cue.type = kSoundCue;
  cue.param = param;
  cue.value1 = 8.0f;
  auto bytes = cue.Encode();
  SendToSoundPeers(ctx, bytes.data(), bytes.size());
}

void PeersDepart(ClientContext& ctx) {
  ShortMessage departure;
  departure.type = 7;
  auto bytes = departure.Encode();
  SendToPeer(ctx, net::DPNID_ALL_PLAYERS_GROUP, bytes.data(), bytes.size(), true, 0);
  ctx.peer_host_active.store(false);
}

// ---- session and login replies ----

void OnConnectComplete(ClientContext& ctx, net::HRESULT result) {
  if (result == net::DPN_OK) {
    ServerSessionConnected(ctx);
    CompleteConnectStage(ctx);
    return;
  }
  if (result == net::DPNERR_SERVERKEY) {
    EndWith(ctx, ServerKeyRefused(ctx).c_str(), kMbIconWarning, kEndFatal);
    return;
  }
  if (result == net::DPNERR_NOTSECURE) {
    ctx.event_log.Add(ctx.main_window.load(),
                      "The server answered without the secure session: it proved no key!");
  }
  EndWith(ctx, kConnectFailedText, kMbIconError, kEndFatal);
}

void OnTerminateSession(ClientContext& ctx, net::HRESULT result) {
  if (result == net::DPNERR_TAMPERED) {
    ctx.event_log.Add(ctx.main_window.load(),
                      "The connection to the server was tampered with or damaged on the way!");
  }
  PeersDepart(ctx);
  EndWith(ctx,
          "The connection to the server has been lost!\n\nPlease try to reconnect in a few "
          "minutes...",
          kMbIconWarning, kEndFatal);
}

void OnSessionWelcome(ClientContext& ctx, const ShortMessage& m) {
  const WindowId main = ctx.main_window.load();
  net::ConnectionInfo info;
  std::uint32_t latency_ms = 0;  // a failed query counts as no delay
  if (ctx.net.net_client && net::Succeeded(ctx.net.net_client->GetConnectionInfo(&info))) {
    latency_ms = info.round_trip_latency_ms;
  }
  ctx.event_log.Add(main, "Configuration received!");
  {
    std::lock_guard lock(ctx.world_lock);
    ctx.stopwatch.Reset();
    ctx.world.universe_seconds = static_cast<float>(latency_ms * 0.0005 + m.value1);
    ctx.world.universe_hours = m.value3;
  }
  if (m.value2 > kClientRelease) {
    ctx.ports.windows->MessageBox(main,
                                  "Newer Client Application release may be available...\n\n"
                                  "Please visit https://www.talmeris.example/",
                                  kCaption, kMbIconInformation);
  }
  if (!CreateUserKey(ctx)) {
    ctx.event_log.Add(main, "Could not execute RegCreateKeyEx!");
    if (ctx.exit_process) ctx.exit_process(0);
    return;
  }
  if (m.param < 32) {
    ctx.tables.own_player_slot.store(m.param);
  } else {
    EndWith(ctx, "Maximum number of players online!\n\nSorry, please try again in a few minutes...",
            kMbIconWarning, kEndFatal);
  }
}

void OnReady(ClientContext& ctx, const ShortMessage& m) {
  WindowPort& w = *ctx.ports.windows;
  const WindowId main = ctx.main_window.load();
  w.EnableControl(main, kCtlSend, true);
  w.EnableControl(main, kCtlChatInput, true);
  w.SetControlText(main, kCtlPatching, "");
  ctx.tables.own_vessel_slot.store(static_cast<std::uint8_t>(WholeNumber(m.value1) & 0xFF));
  const auto revision = static_cast<std::uint16_t>(WholeNumber(m.value3) & 0xFFFF);
  bool changed;
  {
    std::lock_guard lock(ctx.settings_lock);
    changed = ctx.settings.data_revision != revision;
    ctx.settings.data_revision = revision;
  }
  if (changed) {
    std::uint8_t bytes[2];
    StoreU16(bytes, revision);
    WriteSettingsBytes(ctx.File(kSettingsFileName), kOffDataRevision, bytes, 2);  // silent
  }
  ctx.data_up_to_date.store(true);
  ctx.event_log.Add(main, "Product is up-to-date...");
  w.FocusControl(main, kCtlChatInput);
}

void OnLoginStatus(ClientContext& ctx, const ShortMessage& m) {
  if (m.value2 == 0.0f) {
    OnReady(ctx, m);
  } else if (m.value2 == 1.0f) {
    StartPatch(ctx, m);
  } else if (m.value2 == 2.0f) {
    if (m.value1 == 1.0f) {
      ctx.event_log.Add(ctx.main_window.load(), "Login information verified...");
      ShortMessage ack;
      ack.type = kLoginAcknowledge;
      auto bytes = ack.Encode();
      SendToServer(ctx, bytes.data(), bytes.size(), true, 0);
    } else if (m.value1 == 0.0f) {
      EndWith(ctx, "Incorrect password!\n\nPlease reload the application and try again...",
              kMbIconError, kEndFatal);
    } else if (m.value1 == 2.0f) {
      EndWith(ctx, "Incorrect login ID!\n\nPlease reload the application and try again...",
              kMbIconError, kEndFatal);
    }
  } else if (m.value2 == 3.0f) {
    EndWith(ctx,
            "You are already logged on!\n\nOnly one instance of your IVR can exist at one "
            "time...\nPlease try again in a few minutes...",
            kMbIconWarning, kEndFatal);
  } else if (m.value2 == 4.0f) {
    EndWith(ctx,
            "There as been a significant revision and your version is now obsolete.\n\nPlease "
            "download a new copy at https://www.talmeris.example/download/",
            kMbIconWarning, kEndFatal);
  }
}

void OnSessionEnd(ClientContext& ctx, const ShortMessage& m) {
  if (m.value1 == 0.0f) {
    ctx.ports.windows->EndDialog(ctx.main_window.load(), kEndServerShutdown);
  } else if (m.value1 == 1.0f) {
    ctx.ports.windows->EndDialog(ctx.main_window.load(), kEndKicked);
  }
}

void OnAccountCreationReply(ClientContext& ctx, const ShortMessage& m) {
  const WindowId dialog = ctx.new_account_dialog.load();
  WindowPort& w = *ctx.ports.windows;
  switch (m.param) {
    case 0:
      w.MessageBox(dialog, "Your account was successfully created!", "Success!", kMbOk);
      w.EndDialog(dialog, 0);
      break;
    case 1:
      w.MessageBox(dialog, "The handle you selected is already in use, please choose another...",
                   "Handle conflict!", kMbOk);
      break;
    case 2:
      w.MessageBox(dialog,
                   "We could not find your referrer, please check the spelling or delete the "
                   "referrer...",
                   "Could not find referral!", kMbOk);
      break;
    default:
      break;
  }
}

// ---- presence, standing and location ----

// Whether the player list, under the filter the player chose, shows a player of `alignment`.
bool ShownUnderFilter(ClientContext& ctx, std::int8_t alignment) {
  std::lock_guard lock(ctx.settings_lock);
  return alignment >= ctx.settings.player_list_filter;
}

void OnPlayerIdentity(ClientContext& ctx, const std::uint8_t* msg) {
  const unsigned slot = msg[1];
  if (!ValidPlayerSlot(slot)) return;  // never indexes outside the roster
  const std::uint8_t own = ctx.tables.own_player_slot.load();
  PlayerRecord& p = ctx.tables.roster[slot];
  bool came_online = false;
  FixedText<13> handle;
  std::int8_t alignment;
  {
    std::lock_guard lock(p.lock);
    alignment = p.alignment;
    // A listed player keeps the handle it is listed under, whatever a later identity says (a
    // handle too long for its field parses empty): the log-off must remove what was listed.
    const FixedText<13> listed = p.handle;
    std::int64_t gender = p.gender, identity = p.identity_number;
    const TextField fields[] = {TextField::Signed(&gender), TextField::Text(p.handle.bytes),
                                TextField::Text(p.rank.bytes), TextField::Unsigned(&identity),
                                TextField::Rest(p.character_name.bytes)};
    ParseTextFields(MessageText(msg + 4, 84), fields);
    p.gender = static_cast<std::uint8_t>(gender & 0xFF);
    p.identity_number = static_cast<std::uint32_t>(identity);
    if (p.online) p.handle = listed;
    // A handle that parses empty is never listed: no log-off could ever remove it.
    if (slot != own && !p.online && !p.handle.Empty()) {
      p.online = 1;
      came_online = true;
    }
    handle = p.handle;
  }
  const WindowId main = ctx.main_window.load();
  if (slot == own) {
    char title[64];
    std::snprintf(title, sizeof title, "Client Application [%s]", handle.bytes);
    ctx.ports.windows->SetWindowTitle(main, title);
    std::lock_guard lock(ctx.settings_lock);
    ctx.settings.login_name.Set(handle.View().substr(0, 15));
    return;
  }
  if (!came_online) return;
  // Listed only when the chosen filter shows them; a standing that arrives later may.
  if (ShownUnderFilter(ctx, alignment)) {
    ctx.ports.windows->ListAdd(main, kCtlPlayerList, handle.View().substr(0, 12));
  }
  ctx.event_log.AddFormat(main, "Player logged on [%s]", handle.bytes);
  SendSoundCue(ctx, 1);
}

void OnPlayerLoggedOff(ClientContext& ctx, const ShortMessage& m) {
  if (!ValidPlayerSlot(m.param)) return;
  PlayerRecord& p = ctx.tables.roster[m.param];
  FixedText<13> handle;
  {
    std::lock_guard lock(p.lock);
    if (!p.online || p.handle.Empty()) return;
    handle = p.handle;
    p.handle.Set("");
    p.online = 0;
    p.voice_include = 0;
  }
  const WindowId main = ctx.main_window.load();
  ctx.event_log.AddFormat(main, "Player logged off [%s]", handle.bytes);
  ctx.ports.windows->ListDeleteExact(main, kCtlPlayerList, handle.View());
  SendSoundCue(ctx, 5);
}

std::int32_t LowByteSigned(std::int64_t v) {
  return static_cast<std::int8_t>(v & 0xFF);
}

void OnPlayerStanding(ClientContext& ctx, const std::uint8_t* msg) {
  const unsigned slot = msg[1];
  if (!ValidPlayerSlot(slot)) return;
  PlayerRecord& p = ctx.tables.roster[slot];
  const unsigned own = ctx.tables.own_player_slot.load();
  std::int8_t was, now;
  bool listable;
  FixedText<13> handle;
  {
    std::lock_guard lock(p.lock);
    was = p.alignment;
    // Fields the text does not reach keep their previous values.
    std::int64_t allegiance = p.allegiance, since = p.member_since, alignment = p.alignment,
                 tax = p.tax_rate, redistribution = p.redistribution, discount = p.discount;
    const TextField fields[] = {TextField::Text(p.alliance_name.bytes),
                                TextField::Signed(&allegiance),
                                TextField::Signed(&since),
                                TextField::Signed(&alignment),
                                TextField::Signed(&tax),
                                TextField::Signed(&redistribution),
                                TextField::Signed(&discount)};
    int stored = ParseTextFields(MessageText(msg + 4, 84), fields);
    if (stored >= 2) p.allegiance = static_cast<std::uint16_t>(allegiance & 0xFFFF);
    if (stored >= 2 && p.allegiance == 0) p.alliance_name.Set("");
    if (stored >= 3) p.member_since = static_cast<std::int32_t>(since & 0xFFFFFFFF);
    if (stored >= 4) p.alignment = static_cast<std::int8_t>(alignment & 0xFF);
    if (stored >= 5) p.tax_rate = LowByteSigned(tax);
    if (stored >= 6) p.redistribution = LowByteSigned(redistribution);
    if (stored >= 7) p.discount = LowByteSigned(discount);
    now = p.alignment;
    listable = slot != own && p.online && !p.handle.Empty();
    handle = p.handle;
  }
  // A listed player whose standing moves across the chosen filter comes into the list or leaves
  // it (and, leaving it, the voice inclusions, as a rebuilt list would).
  WindowPort& w = *ctx.ports.windows;
  const bool shown_before = ShownUnderFilter(ctx, was), shown_now = ShownUnderFilter(ctx, now);
  if (listable && shown_before != shown_now) {
    const WindowId main = ctx.main_window.load();
    if (shown_now) {
      w.ListAdd(main, kCtlPlayerList, handle.View().substr(0, 12));
    } else {
      w.ListDeleteExact(main, kCtlPlayerList, handle.View());
      std::lock_guard lock(p.lock);
      p.voice_include = 0;
    }
  }
  // Open dialogs showing this record reload on the main thread.
  if (slot == own) {
    if (WindowId editor = ctx.profile_editor_window.load(); editor != kNoWindow)
      w.PostRefresh(editor);
  }
  if (slot == own || slot == ctx.tables.selected_player_slot.load()) {
    if (WindowId info = ctx.player_info_window.load(); info != kNoWindow) w.PostRefresh(info);
  }
}

void OnNameSuggestion(ClientContext& ctx, const std::uint8_t* msg) {
  WindowId target = ctx.profile_editor_window.load();
  if (target == kNoWindow) target = ctx.new_account_dialog.load();
  if (target == kNoWindow) return;
  WindowPort& w = *ctx.ports.windows;
  w.SetControlText(target, kCtlName, MessageText(msg + 4, 84));
  for (int c : {kCtlSuggest, kCtlCommit, kCtlRandom, kCtlFemale, kCtlMale}) {
    w.EnableControl(target, c, true);
  }
  w.SetReadOnly(target, kCtlName, false);
  const bool male = msg[1] == 1;
  w.CheckControl(target, kCtlRandom, false);
  w.CheckControl(target, kCtlMale, male);
  w.CheckControl(target, kCtlFemale, !male);
}

void OnPlayerPosition(ClientContext& ctx, const std::uint8_t* msg) {
  const auto frame = static_cast<std::int8_t>(msg[1]);
  SendToPeer(ctx, net::DPNID_ALL_PLAYERS_GROUP, msg, kPlayerPositionSize, frame == -1,
             frame == -1 ? 0 : 1000);
  if (!ValidPlayerSlot(msg[0])) return;
  PlayerRecord& p = ctx.tables.roster[msg[0]];
  std::lock_guard lock(p.lock);
  p.frame = frame;
  p.building = msg[2];
  p.aux_a = static_cast<std::int8_t>(msg[3]);
  p.x = static_cast<std::int16_t>(LoadU16(msg + 6));
  p.y = static_cast<std::int16_t>(LoadU16(msg + 8));
  p.heading = msg[10];
  p.aux_c = static_cast<std::int8_t>(msg[11]);
  p.aux_d = static_cast<std::int8_t>(msg[12]);
  p.aux_b = msg[13];
}

void OnOwnLocation(ClientContext& ctx, const std::uint8_t* msg) {
  RelayToAll(ctx, msg, kTextMessageSize);
  const std::uint8_t vessel = ctx.tables.own_vessel_slot.load();
  if (ValidVesselSlot(vessel)) {
    VesselRecord& v = ctx.tables.vessels[vessel];
    std::lock_guard lock(v.lock);
    v.interior = msg[84];
  }
  const std::uint8_t own = ctx.tables.own_player_slot.load();
  if (!ValidPlayerSlot(own)) return;
  PlayerRecord& p = ctx.tables.roster[own];
  std::lock_guard lock(p.lock);
  p.heading = msg[1];
  p.building = msg[85];
  std::int64_t v[6] = {p.frame, p.unit, p.x, p.y, p.aux_c, p.aux_d};
  const TextField fields[] = {TextField::Signed(&v[0]), TextField::Signed(&v[1]),
                              TextField::Signed(&v[2]), TextField::Signed(&v[3]),
                              TextField::Signed(&v[4]), TextField::Signed(&v[5])};
  ParseTextFields(MessageText(msg + 4, 80), fields);  // the text ends by offset 83
  p.frame = static_cast<std::int32_t>(v[0]);
  p.unit = static_cast<std::int32_t>(v[1]);
  p.x = static_cast<std::int32_t>(v[2]);
  p.y = static_cast<std::int32_t>(v[3]);
  p.aux_c = static_cast<std::int32_t>(v[4]);
  p.aux_d = static_cast<std::int32_t>(v[5]);
}

// ---- dispatch ----

void OnShortMessage(ClientContext& ctx, const std::uint8_t* data) {
  const ShortMessage m = ShortMessage::Decode(data);
  switch (m.type) {
    case kSessionWelcome:
      OnSessionWelcome(ctx, m);
      break;
    case kPlayerLoggedOff:
      OnPlayerLoggedOff(ctx, m);
      break;
    case kLoginStatus:
      OnLoginStatus(ctx, m);
      break;
    case kSessionEnd:
      OnSessionEnd(ctx, m);
      break;
    case kAccountCreationReply:
      OnAccountCreationReply(ctx, m);
      break;
    case kVesselGone:
    case kVesselSwitch:
    case kAmbientUpdate:
    case kVesselAssignment:
    case kInteriorChange:
      OnVesselShortMessage(ctx, data);
      break;
    case 4:  // passed on only
    case 6:
    case 16:
    case 17:
    case 22:
    case 25:
    case 28:
      RelayToAll(ctx, data, kShortMessageSize);
      break;
    case kSoundCue:
    case 23:
      SendToSoundPeers(ctx, data, kShortMessageSize);
      break;
    default:
      break;  // unknown types are dropped without a trace
  }
}

// ---- chat lines, notices and offline messages ----

void OnChatLine(ClientContext& ctx, const std::uint8_t* msg) {
  const unsigned slot = msg[1];
  if (!ValidPlayerSlot(slot)) return;  // never indexes outside the roster
  std::int8_t alignment;
  FixedText<13> handle;
  {
    PlayerRecord& p = ctx.tables.roster[slot];
    std::lock_guard lock(p.lock);
    alignment = p.alignment;
    handle = p.handle;
  }
  std::int8_t filter;
  {
    std::lock_guard lock(ctx.settings_lock);
    filter = ctx.settings.player_list_filter;
  }
  if (alignment < filter) return;
  RelayToAll(ctx, msg, kTextMessageSize);
  char line[199];
  const std::string_view text = MessageText(msg + 4, 84);
  std::snprintf(line, sizeof line, "[%s]: %.*s", handle.bytes, static_cast<int>(text.size()),
                text.data());
  ctx.event_log.Add(ctx.main_window.load(), line);
}

void OnServerNotice(ClientContext& ctx, const std::uint8_t* msg) {
  WindowId owner = ctx.player_info_window.load();
  if (owner == kNoWindow) owner = ctx.profile_editor_window.load();
  if (owner == kNoWindow) owner = ctx.main_window.load();
  const std::string_view text = MessageText(msg + 4, 84);
  ctx.ports.windows->MessageBox(owner, text.substr(0, 198), "Server Message", kMbOk);
}

void OnOfflineMessage(ClientContext& ctx, const std::uint8_t* msg) {
  SendSoundCue(ctx, 0);  // the same SoundCue, with param 0
  DeliverOfflineMessage(ctx, MessageText(msg + 4, 84));
  ctx.ports.windows->EnableControl(ctx.main_window.load(), kCtlMessages, true);
}

void OnTextMessage(ClientContext& ctx, const std::uint8_t* data) {
  switch (data[0]) {
    case kPlayerIdentity:
      OnPlayerIdentity(ctx, data);
      break;
    case kPlayerStanding:
      OnPlayerStanding(ctx, data);
      break;
    case kCharacterNameSuggestion:
      OnNameSuggestion(ctx, data);
      break;
    case kOwnLocation:
      OnOwnLocation(ctx, data);
      break;
    case kVesselIdentity:
      OnVesselIdentity(ctx, data);
      break;
    case kChatLine:
      OnChatLine(ctx, data);
      break;
    case kServerNotice:
      OnServerNotice(ctx, data);
      break;
    case kOfflineMessage:
      OnOfflineMessage(ctx, data);
      break;
    case 2:
    case 11:
    case 13:
    case 14:
    case 19:
    case kMenuPage:
    case kLineInputRequest:
    case kPodsFileData:
      RelayToAll(ctx, data, kTextMessageSize);
      break;
    default:
      break;
  }
}

}  // namespace

bool ServerMessageMayRunInline(const std::uint8_t*, std::uint32_t size) {
  return size == kVesselStateSize || size == kPlayerPositionSize;
}

void DispatchServerPayload(ClientContext& ctx, const std::uint8_t* payload, std::uint32_t size) {
  // The transport's buffer is valid for the whole call and only read here, so messages are
  // decoded and relayed from it directly: the relay's one copy is the transport's own.
  switch (size) {
    case kPlayerPositionSize:
      OnPlayerPosition(ctx, payload);
      break;
    case kShortMessageSize:
      OnShortMessage(ctx, payload);
      break;
    case kVesselStateSize:
      OnVesselState(ctx, payload);
      break;
    case kTextMessageSize:
      OnTextMessage(ctx, payload);
      break;
    case kPatchChunkSize:
      OnPatchChunk(ctx, payload);
      break;
    default:
      // TerrainData: passed on verbatim.
      SendToPeer(ctx, net::DPNID_ALL_PLAYERS_GROUP, payload, size, true, 0);
      break;
  }
}

net::HRESULT OnServerMessage(void* context, const net::Message& message) {
  auto& ctx = *static_cast<ClientContext*>(context);
  switch (message.id) {
    case net::MessageId::ConnectComplete:
      OnConnectComplete(ctx, message.result);
      break;
    case net::MessageId::TerminateSession:
      OnTerminateSession(ctx, message.result);
      break;
    case net::MessageId::Receive:
      if (message.data && message.size > 0) DispatchServerPayload(ctx, message.data, message.size);
      break;
    default:
      break;
  }
  return net::DPN_OK;
}

bool CreateUserKey(ClientContext& ctx) {
  const std::filesystem::path home = UserConfigHome(ctx.user_config_home);
  if (home.empty()) return false;
  std::error_code ec;
  std::filesystem::create_directories(home / "Corvane Industries", ec);
  return std::filesystem::is_directory(home / "Corvane Industries", ec);
}

}  // namespace talmeris
