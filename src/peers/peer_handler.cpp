#include "peers/peer_handler.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "server/chat.h"
#include "server/protocol.h"
#include "server/server_link.h"
#include "server/text_fields.h"
#include "server/vessel_state.h"
#include "server/vessels.h"
#include "state/context.h"
#include "state/main_window.h"
#include "state/recorder.h"
#include "state/sessions.h"

namespace talmeris {
namespace {

using net::DPNID;

void SendShortTo(ClientContext& ctx, DPNID to, std::uint8_t type, std::uint8_t param, float v1 = 0,
                 float v2 = 0, float v3 = 0, float v4 = 0) {
  auto b = ShortMessage{type, param, v1, v2, v3, v4}.Encode();
  SendToPeer(ctx, to, b.data(), b.size(), true, 0);
}

void SendTextTo(ClientContext& ctx, DPNID to, std::uint8_t type, std::uint8_t param,
                std::string_view text, std::uint8_t byte84 = 0, std::uint8_t byte85 = 0) {
  auto m = TextMessage::Make(type, param, text.substr(0, kPeerTextLimit));
  m.bytes[84] = byte84;
  m.bytes[85] = byte85;
  SendToPeer(ctx, to, m.bytes.data(), m.bytes.size(), true, 0);
}

// The registered peers other than `sender` (optionally only sound peers), one slot at a time.
int OtherPeers(ClientContext& ctx, DPNID sender, bool sound_only, DPNID (&out)[kPeerSlotCount]) {
  int n = 0;
  for (PeerSlot& slot : ctx.peer_slots) {
    std::lock_guard lock(slot.lock);
    if (slot.in_use && slot.dpnid != sender && (!sound_only || slot.kind == kSoundPeerKind)) {
      out[n++] = slot.dpnid;
    }
  }
  return n;
}

// Sends to each registered peer but the sender, after the slot locks are released.
void SendToOthers(ClientContext& ctx, DPNID sender, const std::uint8_t* data, std::uint32_t size,
                  bool guaranteed, std::uint32_t timeout_ms, bool sound_only = false) {
  DPNID targets[kPeerSlotCount];
  const int n = OtherPeers(ctx, sender, sound_only, targets);
  for (int i = 0; i < n; ++i) SendToPeer(ctx, targets[i], data, size, guaranteed, timeout_ms);
}

void DrainWait(ClientContext& ctx, DPNID dpnid) {
  std::uint32_t queued = 0;
  do {
    if (!ctx.net.peer_server ||
        net::Failed(ctx.net.peer_server->GetSendQueueInfo(dpnid, &queued, nullptr, 0))) {
      return;  // the peer has gone
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ctx.peer_drain_sleep_ms));
  } while (queued != 0);
}

void Welcome(ClientContext& ctx, DPNID dpnid) {
  WorldTables& t = ctx.tables;
  const std::uint8_t own_vessel = t.own_vessel_slot.load();
  const std::uint8_t own_player = t.own_player_slot.load();
  std::uint8_t own_interior = 0;
  if (ValidVesselSlot(own_vessel)) {
    std::lock_guard lock(t.vessels[own_vessel].lock);
    own_interior = t.vessels[own_vessel].interior;
  }
  ShortMessage welcome{0, own_vessel};
  {
    std::lock_guard lock(ctx.world_lock);
    welcome.value1 = static_cast<float>(ctx.stopwatch.Time() + ctx.world.universe_seconds);
    welcome.value2 = own_interior;
    welcome.value3 = ctx.world.universe_hours;
    welcome.value4 = own_player;
  }
  auto welcome_bytes = welcome.Encode();
  SendToPeer(ctx, dpnid, welcome_bytes.data(), welcome_bytes.size(), true, 0);
  DrainWait(ctx, dpnid);

  {
    std::lock_guard lock(ctx.world_lock);
    SendShortTo(ctx, dpnid, kAmbientUpdate, 0, 0, ctx.world.ambient_rate, ctx.world.ambient_level);
    SendShortTo(ctx, dpnid, kPeerDockState, 0, ctx.world.dock_index,
                ctx.world.docked ? 1.0f : 0.0f);
  }

  for (int slot = 0; slot < kVesselCount; ++slot) {
    VesselRecord& v = t.vessels[slot];
    std::lock_guard lock(v.lock);
    if (!v.present) continue;
    char text[128];  // cut to the peer text limit when sent
    std::snprintf(text, sizeof text, "%s,%i%i%i%i%i,%i,%i,%i,%i,%i,%i,%i,%i,%s", v.ivr_name.bytes,
                  v.flag_p, v.flag_l, v.flag_t, v.flag_d, v.flag_alert, v.interior,
                  static_cast<std::int8_t>(v.p_number), v.flag_g, v.flag_h,
                  static_cast<std::int8_t>(v.info_number), v.arr_number, v.flag_extra, v.flag_b,
                  v.hull_registration.bytes);
    SendTextTo(ctx, dpnid, kVesselIdentity, static_cast<std::uint8_t>(slot), text);
    auto state = EncodeVesselState(static_cast<std::uint8_t>(slot), v);
    SendToPeer(ctx, dpnid, state.data(), state.size(), true, 0);
  }
  ctx.event_log.Add(ctx.main_window.load(), "Sent new peer application all ship position data...");

  char location[128] = {};
  FixedText<13> handle;
  std::uint8_t heading = 0, building = 0;
  if (ValidPlayerSlot(own_player)) {
    PlayerRecord& p = t.roster[own_player];
    std::lock_guard lock(p.lock);
    std::snprintf(location, sizeof location, "%i,%i,%i,%i,%i,%i", p.frame, p.unit, p.x, p.y,
                  p.aux_c, p.aux_d);
    heading = static_cast<std::uint8_t>(p.heading & 0xFF);
    building = p.building;
    handle = p.handle;
  }
  SendTextTo(ctx, dpnid, kOwnLocation, heading, location, own_interior, building);
  SendTextTo(ctx, dpnid, kPlayerIdentity, 0, handle.View());
  FixedText<99> shared;
  bool flag;
  {
    std::lock_guard lock(ctx.peer_text_lock);
    shared = ctx.peer_shared_text;
    flag = ctx.peer_shared_flag;
  }
  SendTextTo(ctx, dpnid, kPeerSharedText, flag ? 1 : 0, shared.View());
  DrainWait(ctx, dpnid);
  SendShortTo(ctx, dpnid, kPeerWelcomeComplete, 0);
}

void RelayWithOwnSlot(ClientContext& ctx, DPNID sender, const ShortMessage& m) {
  ShortMessage relay = m;
  relay.param = ctx.tables.own_vessel_slot.load();
  auto bytes = relay.Encode();
  SendToOthers(ctx, sender, bytes.data(), bytes.size(), true, 1000);
}

void OnPeerShort(ClientContext& ctx, DPNID sender, const std::uint8_t* data) {
  const ShortMessage m = ShortMessage::Decode(data);
  switch (m.type) {
    case kPeerRegistration:
      PeerRegistration(ctx, sender, data);
      break;
    case kPeerSoundCue: {
      ShortMessage cue = m;
      cue.param = 0;
      auto bytes = cue.Encode();
      SendToOthers(ctx, sender, bytes.data(), bytes.size(), true, 0, true);
      break;
    }
    case 4:
    case 5:
    case 11:
    case 16:
    case 17:
    case 18:
    case 19:
    case 21:
    case 23:
    case 25:
    case 26:
    case 28:
      SendToServer(ctx, data, ShortMessage::kSize, true, 0);
      break;
    case kPeerSharedText:
      SendToServer(ctx, data, ShortMessage::kSize, true, 0);
      RelayWithOwnSlot(ctx, sender, m);
      break;
    case kPeerVesselSwitch: {
      SendToServer(ctx, data, ShortMessage::kSize, true, 0);
      const std::uint8_t own = ctx.tables.own_vessel_slot.load();
      if (ValidVesselSlot(own)) {
        VesselRecord& v = ctx.tables.vessels[own];
        std::lock_guard lock(v.lock);  // single bytes, but written under the record's lock
        ApplySwitchCode(v, m.value4);
      }
      {
        std::lock_guard lock(ctx.world_lock);
        QueueEvent(ctx, static_cast<std::uint8_t>(WholeNumber(m.value4) & 0xFF));
      }
      RelayWithOwnSlot(ctx, sender, m);
      break;
    }
    case kPeerDockState: {
      SendToServer(ctx, data, ShortMessage::kSize, true, 0);
      const bool docked = m.value2 != 0.0f;
      ctx.event_log.Add(ctx.main_window.load(), docked ? "Client docked..." : "Client undocked...");
      {
        std::lock_guard lock(ctx.world_lock);
        ctx.world.docked = docked;
        ctx.world.dock_index = static_cast<std::int8_t>(WholeNumber(m.value1) & 0xFF);
      }
      RelayWithOwnSlot(ctx, sender, m);
      break;
    }
    default:
      break;
  }
}

void OnPeerText(ClientContext& ctx, const std::uint8_t* data) {
  switch (data[0]) {
    case kPeerSharedText: {
      {
        std::lock_guard lock(ctx.peer_text_lock);
        ctx.peer_shared_text.Set(MessageText(data + 4, 84));
        ctx.peer_shared_flag = data[1] == 1;
      }
      SendToPeer(ctx, net::DPNID_ALL_PLAYERS_GROUP, data, TextMessage::kSize, true, 0);
      break;
    }
    case kChatLine:
      SendChatLine(ctx, MessageText(data + 4, 84), false);
      break;
    default:
      SendToServer(ctx, data, TextMessage::kSize, true, 0);
      break;
  }
}

void OnOwnVesselReport(ClientContext& ctx, DPNID sender, const std::uint8_t* report) {
  {
    std::lock_guard lock(ctx.world_lock);
    if (ctx.world.state_report_due) {
      ctx.world.state_report_due = false;
      SendToServer(ctx, report, kOwnVesselReportBytes, false, 1000);
    } else if (ctx.world.fdr_record_due) {
      RecordSample(ctx, report, kOwnVesselReportBytes);
    }
  }
  const std::uint8_t own = ctx.tables.own_vessel_slot.load();
  if (!ValidVesselSlot(own)) return;
  VesselRecord& v = ctx.tables.vessels[own];
  std::uint8_t host_vessel;
  {
    std::lock_guard lock(v.lock);
    host_vessel = v.host_vessel;
  }
  auto state = VesselStateFromReport(own, report, host_vessel);
  SendToOthers(ctx, sender, state.data(), state.size(), false, 250);
  std::lock_guard lock(v.lock);
  StoreOwnVesselReport(report, v);
}

}  // namespace

void PeerConnected(ClientContext& ctx, DPNID dpnid) {
  const WindowId main = ctx.main_window.load();
  ctx.event_log.AddFormat(main, "DPNID peer program requesting connection:  %.8x", dpnid);
  const std::uint8_t own = ctx.tables.own_vessel_slot.load();
  bool present = false;
  if (ValidVesselSlot(own)) {
    std::lock_guard lock(ctx.tables.vessels[own].lock);
    present = ctx.tables.vessels[own].present;
  }
  if (present) return;
  ctx.event_log.Add(main, "Program error 27: Please report this error...");
  ctx.ports.windows->RequestClose(main);
}

void PeerRegistration(ClientContext& ctx, DPNID dpnid, const std::uint8_t* data) {
  const ShortMessage m = ShortMessage::Decode(data);
  const WindowId main = ctx.main_window.load();
  const bool wants_propulsion = m.value4 != 0.0f;
  const bool sound = m.value3 == 2.0f;

  // The conflict test and the allocation are one decision: two registrations at once never
  // both pass the test. Slot locks are taken one at a time inside; the log lines follow after.
  bool registered_already = false;
  int propulsion_conflicts = 0;
  bool sound_conflict = false;
  int assigned = -1;
  {
    std::lock_guard registration(ctx.peer_registration_lock);
    for (PeerSlot& slot : ctx.peer_slots) {
      std::lock_guard lock(slot.lock);
      if (slot.in_use && slot.dpnid == dpnid) registered_already = true;
      if (wants_propulsion && slot.in_use && slot.propulsion) ++propulsion_conflicts;
    }
    sound_conflict = sound && ctx.sound_peer_attached.load();
    if (!registered_already && propulsion_conflicts == 0 && !sound_conflict) {
      for (int i = 0; i < kPeerSlotCount && assigned < 0; ++i) {
        PeerSlot& slot = ctx.peer_slots[i];
        std::lock_guard lock(slot.lock);
        if (slot.in_use) continue;
        slot.in_use = 1;
        slot.dpnid = dpnid;
        slot.tag = m.value2;
        slot.kind = static_cast<std::uint8_t>(WholeNumber(m.value3) & 0xFF);
        slot.propulsion = wants_propulsion;
        if (sound) ctx.sound_peer_attached.store(true);
        assigned = i;
      }
    }
  }
  // A connection holds one slot at most: a second registration is refused, so its departure
  // can never leave a slot behind.
  const bool conflict = registered_already || propulsion_conflicts > 0 || sound_conflict;
  if (!registered_already) {
    for (int i = 0; i < propulsion_conflicts; ++i)
      ctx.event_log.Add(main, "Propulsion already enabled through another peer!");
    if (sound_conflict) ctx.event_log.Add(main, "Sound is already enabled through another peer!");
  }

  if (assigned >= 0) {
    WindowPort& w = *ctx.ports.windows;
    if (wants_propulsion) {
      w.EnableControl(main, kCtlView, false);
      w.CheckControl(main, kCtlView, true);
    }
    if (sound) {
      w.EnableControl(main, kCtlSound, false);
      w.CheckControl(main, kCtlSound, true);
      if (ctx.settings.launch_peers && !StartPeerProgram(ctx, "Panoptra.exe")) {
        ctx.event_log.Add(main, "Could not find the required Panoptra.exe...");
      }
    }
    // A registered companion keeps its connection when the peer host fills up.
    if (ctx.net.peer_server) ctx.net.peer_server->KeepPlayer(dpnid);
    ctx.event_log.AddFormat(main, "Peer program application instance assigned slot:  %i", assigned);
    SendToServer(ctx, data, ShortMessage::kSize, true, 0);
    Welcome(ctx, dpnid);
    return;
  }
  if (!conflict) ctx.event_log.Add(main, "Too many peer programs currently attached!");
  SendShortTo(ctx, dpnid, 0, 255);
}

void PeerDeparted(ClientContext& ctx, DPNID dpnid) {
  const WindowId main = ctx.main_window.load();
  ctx.event_log.AddFormat(main, "DPNID peer program disconnected:  %.8x", dpnid);
  int found = -1;
  std::uint8_t kind = 0;
  float tag = 0.0f;
  bool propulsion = false, sound = false;
  FixedText<99> shared;
  for (int i = 0; i < kPeerSlotCount && found < 0; ++i) {
    PeerSlot& slot = ctx.peer_slots[i];
    std::lock_guard lock(slot.lock);
    if (!slot.in_use || slot.dpnid != dpnid) continue;
    found = i;
    slot.in_use = 0;
    kind = slot.kind;
    tag = slot.tag;
    propulsion = slot.propulsion;
    // A peer that held both roles releases both.
    sound = kind == kSoundPeerKind;
    if (sound) {
      ctx.sound_peer_attached.store(false);
      std::lock_guard text_lock(ctx.peer_text_lock);
      ctx.peer_shared_flag = false;
      shared = ctx.peer_shared_text;
    }
  }
  if (found < 0) {
    ctx.event_log.Add(main, "Could not find the instance of that application!");
    return;
  }
  ctx.event_log.AddFormat(main, "Peer application instance occupied slot:  %i", found);
  WindowPort& w = *ctx.ports.windows;
  if (propulsion) {
    w.EnableControl(main, kCtlView, true);
    w.CheckControl(main, kCtlView, false);
  }
  if (sound) {
    w.EnableControl(main, kCtlSound, true);
    w.CheckControl(main, kCtlSound, false);
    SendTextTo(ctx, net::DPNID_ALL_PLAYERS_GROUP, kPeerSharedText, 0, shared.View());
  }
  const float value4 = propulsion ? 1.0f : 0.0f;
  ShortMessage to_server{kPeerRegistration, 0, 0.0f, tag, static_cast<float>(kind), value4};
  auto bytes = to_server.Encode();
  SendToServer(ctx, bytes.data(), bytes.size(), true, 0);
  ShortMessage notice{kPeerRegistration, 0, 0.0f, 0.0f, static_cast<float>(kind), value4};
  auto notice_bytes = notice.Encode();
  SendToOthers(ctx, dpnid, notice_bytes.data(), notice_bytes.size(), true, 0);
}

bool PeerMessageMayRunInline(const std::uint8_t*, std::uint32_t size) {
  return size == kOwnVesselReportBytes;
}

net::HRESULT OnPeerMessage(void* context, const net::Message& message) {
  auto& ctx = *static_cast<ClientContext*>(context);
  if (!ctx.peer_host_active.load()) return net::DPN_OK;
  switch (message.id) {
    case net::MessageId::CreatePlayer:
      PeerConnected(ctx, message.player);
      break;
    case net::MessageId::DestroyPlayer:
      PeerDeparted(ctx, message.player);
      break;
    case net::MessageId::Receive:
      if (!message.data) break;
      switch (message.size) {
        case ShortMessage::kSize:
          OnPeerShort(ctx, message.player, message.data);
          break;
        case 36:
        case kAccountMessageSize:
          SendToServer(ctx, message.data, message.size, true, 0);
          break;
        case kOwnVesselReportBytes:
          OnOwnVesselReport(ctx, message.player, message.data);
          break;
        case TextMessage::kSize:
          OnPeerText(ctx, message.data);
          break;
        default:
          break;
      }
      break;
    default:
      break;
  }
  return net::DPN_OK;
}

}  // namespace talmeris
