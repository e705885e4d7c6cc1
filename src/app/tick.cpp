#include "app/tick.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "app/main_dialog.h"
#include "server/protocol.h"
#include "state/context.h"
#include "state/sessions.h"
#include "voice/voice_chat.h"

namespace talmeris {
namespace {

constexpr float kWorldRadius = 2939.6f;

void RollUniverseClock(ClientContext& ctx) {
  std::lock_guard lock(ctx.world_lock);
  WorldState& w = ctx.world;
  if (ctx.stopwatch.Time() + w.universe_seconds >= 3600.0) {
    w.universe_hours += 1.0f;
    w.universe_seconds = static_cast<float>(ctx.stopwatch.Time() + w.universe_seconds - 3600.0);
    ctx.stopwatch.Reset();
  }
}

void AmbientSoundCue(ClientContext& ctx) {
  float d, p;
  {
    std::lock_guard lock(ctx.world_lock);
    d = ctx.world.ambient_level - 2.0f;
    p = static_cast<float>(ctx.world.ambient_rate * d * 18.214);
  }
  float h = OwnAltitude(ctx);
  if (!(h < 3.3f)) return;
  if (!(ctx.random.Next() < TruncateToI16(p * 2.0))) return;
  float d2 = d + 14.0f;
  float q = static_cast<float>((d2 - ctx.random.Next() / 32767.0 * 14.0) / d2);
  if (q < 0.0f) return;
  if (q > 1.0f) q = 1.0f;
  if (!(q > 0.0f)) return;
  float s = static_cast<float>(ctx.random.Next() / 32767.0);
  ShortMessage cue;
  cue.type = 10;
  cue.value1 = 0.0f;
  cue.value2 = (1.0f - q) * 15.0f;
  cue.value3 = static_cast<float>((1.0 - std::sqrt(s * q)) * -5000.0);
  cue.value4 = s;
  auto bytes = cue.Encode();
  SendToPeer(ctx, net::DPNID_ALL_PLAYERS_GROUP, bytes.data(), bytes.size(), true, 0);
}

void FloodCheck(ClientContext& ctx, WindowId window, double step) {
  float flood = ctx.flood_counter.load();
  if (flood > 3.0f) {
    ctx.flood_counter.store(0.0f);
    ctx.ports.windows->MessageBox(window,
                                  "You have exceeded three transmissions within a second...",
                                  "Flood detected!", kMbIconError);
    return;
  }
  // Lines added concurrently by the chat path are kept: only the decay is subtracted.
  while (!ctx.flood_counter.compare_exchange_weak(
      flood, std::max(0.0f, static_cast<float>(flood - step)))) {
  }
}

void ShowLag(ClientContext& ctx, WindowId window) {
  char text[32];
  net::ConnectionInfo info;
  if (ctx.net.net_client && net::Succeeded(ctx.net.net_client->GetConnectionInfo(&info))) {
    std::snprintf(text, sizeof text, "Lag: %i ms", static_cast<int>(info.round_trip_latency_ms));
  } else {
    std::snprintf(text, sizeof text, "Lag: ???? ms");
  }
  ctx.ports.windows->SetControlText(window, kCtlLag, text);
}

}  // namespace

std::int16_t TruncateToI16(double value) {
  // Truncation toward zero to 32 bits (an out-of-range value gives the 32-bit minimum, as the
  // processor's conversion does), then the low 16 bits.
  double t = std::trunc(value);
  std::int32_t wide = (std::isnan(t) || t >= 2147483648.0 || t < -2147483648.0)
                          ? std::numeric_limits<std::int32_t>::min()
                          : static_cast<std::int32_t>(t);
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(wide & 0xFFFF));
}

float OwnAltitude(ClientContext& ctx) {
  const std::uint8_t own = ctx.tables.own_vessel_slot.load();
  if (!ValidVesselSlot(own)) return 2000.0f;
  int from_slot = -1;
  float position[3] = {};
  {
    VesselRecord& v = ctx.tables.vessels[own];
    std::lock_guard lock(v.lock);
    if (v.attach_mode < 0) {
      std::copy(std::begin(v.position), std::end(v.position), position);
    } else if (v.attach_mode == 0) {
      from_slot = v.host_vessel;
    } else if (v.attach_mode == 1) {
      return static_cast<float>(std::sqrt(8644181.0) - kWorldRadius);
    } else {
      return 2000.0f;
    }
  }
  if (from_slot >= 0) {
    // The host's record is read under its own lock, never while holding the own record's.
    if (!ValidVesselSlot(static_cast<unsigned>(from_slot))) return 2000.0f;
    VesselRecord& host = ctx.tables.vessels[from_slot];
    std::lock_guard lock(host.lock);
    std::copy(std::begin(host.position), std::end(host.position), position);
  }
  return std::sqrt(position[0] * position[0] + position[1] * position[1] +
                   position[2] * position[2]) -
         kWorldRadius;
}

void RunTick(ClientContext& ctx, WindowId window) {
  if (ctx.tick_busy) return;
  ctx.tick_busy = true;
  if (ctx.connect_stage.load() < 14) {
    RunConnectionStage(ctx, window);
  } else {
    if (ctx.settings.voice_push_to_talk && ctx.voice_connected.load())
      FollowPushToTalk(ctx, window);
    if (ctx.settings.voice_enabled && !ctx.voice_connected.load()) EngageVoice(ctx, window);
    RollUniverseClock(ctx);
    AmbientSoundCue(ctx);
  }
  AdvanceStageBelowNine(ctx);
  ctx.tick_busy = false;

  const double step = ctx.stopwatch.Elapsed();
  FloodCheck(ctx, window, step);
  ctx.lag_accumulator += static_cast<float>(step);
  if (!(ctx.lag_accumulator > 1.0f)) return;
  ctx.lag_accumulator -= 1.0f;
  // A long step (a dialog the tick opened held it) runs the once-per-second work once, not once
  // per second it lasted.
  if (ctx.lag_accumulator >= 1.0f) ctx.lag_accumulator = std::fmod(ctx.lag_accumulator, 1.0f);
  if (ctx.connect_stage.load() > 9) ShowLag(ctx, window);
  if (VoiceInAutoMode(ctx)) SetTargetsToList(ctx);
  std::lock_guard lock(ctx.world_lock);
  ctx.world.fdr_sample_counter += 1;
  ctx.world.fdr_record_due = true;
  ctx.world.state_report_due = true;
}

}  // namespace talmeris
