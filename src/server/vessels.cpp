#include "server/vessels.h"

#include "server/protocol.h"
#include "server/server_link.h"
#include "server/text_fields.h"
#include "server/vessel_state.h"
#include "state/context.h"
#include "state/recorder.h"
#include "state/sessions.h"

namespace talmeris {

bool ApplySwitchCode(VesselRecord& v, float code) {
  std::uint8_t* flag = nullptr;
  const std::int64_t c = WholeNumber(code);
  if (code != static_cast<float>(c)) return false;
  switch (c) {
    case 2:
    case 3:
      flag = &v.flag_h;
      break;
    case 4:
    case 5:
      flag = &v.flag_extra;
      break;
    case 6:
    case 7:
      flag = &v.flag_g;
      break;
    case 8:
    case 9:
      flag = &v.flag_b;
      break;
    case 10:
    case 11:
      flag = &v.flag_l;
      break;
    default:
      return false;
  }
  *flag = (c % 2 == 0) ? 1 : 0;
  return true;
}

void OnVesselState(ClientContext& ctx, const std::uint8_t* m) {
  SendToPeer(ctx, net::DPNID_ALL_PLAYERS_GROUP, m, kVesselStateBytes, false, 1000);
  const std::uint8_t slot = m[0];
  if (!ValidVesselSlot(slot)) return;
  {
    VesselRecord& v = ctx.tables.vessels[slot];
    std::lock_guard lock(v.lock);
    StoreVesselState(m, v);
  }
  if (slot != ctx.tables.own_vessel_slot.load()) return;
  std::lock_guard lock(ctx.world_lock);
  if (ctx.world.fdr_record_due) RecordSample(ctx, m, kVesselStateBytes);
}

void OnVesselIdentity(ClientContext& ctx, const std::uint8_t* m) {
  SendToPeer(ctx, net::DPNID_ALL_PLAYERS_GROUP, m, TextMessage::kSize, true, 0);
  const std::uint8_t slot = m[1];
  if (!ValidVesselSlot(slot)) return;
  const bool own = slot == ctx.tables.own_vessel_slot.load();
  VesselRecord& v = ctx.tables.vessels[slot];
  std::lock_guard lock(v.lock);
  v.hull_registration.Set("");
  char switches[99] = {};
  std::int64_t a = v.interior, b = v.p_number, c = v.flag_g, d = v.flag_h, e = v.info_number,
               f = v.arr_number, g = v.flag_extra, h = v.flag_b;
  const TextField fields[] = {TextField::Text(v.ivr_name.bytes),
                              TextField::Text(switches),
                              TextField::Signed(&a),
                              TextField::Signed(&b),
                              TextField::Signed(&c),
                              TextField::Signed(&d),
                              TextField::Signed(&e),
                              TextField::Unsigned(&f),
                              TextField::Signed(&g),
                              TextField::Signed(&h),
                              TextField::Rest(v.hull_registration.bytes)};
  const int stored = ParseTextFields(MessageText(m + 4, 84), fields);
  if (stored >= 2) {
    std::uint8_t* flags[] = {&v.flag_p, &v.flag_l, &v.flag_t, &v.flag_d, &v.flag_alert};
    // Past the field's end the buffer holds zeros, which clear the switch.
    for (int i = 0; i < 5; ++i) *flags[i] = switches[i] == '1' ? 1 : 0;
  }
  if (stored >= 3 && !own) v.interior = static_cast<std::uint8_t>(a & 0xFF);
  if (stored >= 4) v.p_number = static_cast<std::uint8_t>(b & 0xFF);
  if (stored >= 5) v.flag_g = c != 0;
  if (stored >= 6) v.flag_h = d != 0;
  if (stored >= 7) v.info_number = static_cast<std::uint8_t>(e & 0xFF);
  if (stored >= 8) v.arr_number = static_cast<std::uint16_t>(f & 0xFFFF);
  if (stored >= 9) v.flag_extra = g != 0;
  if (stored >= 10) v.flag_b = h != 0;
  v.present = 1;
}

void OnVesselShortMessage(ClientContext& ctx, const std::uint8_t* data) {
  SendToPeer(ctx, net::DPNID_ALL_PLAYERS_GROUP, data, ShortMessage::kSize, true, 0);
  const ShortMessage m = ShortMessage::Decode(data);
  const WindowId main = ctx.main_window.load();
  switch (m.type) {
    case kVesselGone:
      if (ValidVesselSlot(m.param)) {
        VesselRecord& v = ctx.tables.vessels[m.param];
        std::lock_guard lock(v.lock);
        v.present = 0;
        v.arr_number = 0;
      }
      break;
    case kVesselSwitch:
      if (ValidVesselSlot(m.param)) {
        VesselRecord& v = ctx.tables.vessels[m.param];
        std::lock_guard lock(v.lock);
        ApplySwitchCode(v, m.value4);
      }
      break;
    case kVesselAssignment:
      ctx.tables.own_vessel_slot.store(m.param);
      ctx.event_log.AddFormat(main, "Our vessel is in slot:  %i", m.param);
      break;
    case kInteriorChange: {
      const auto interior = static_cast<std::uint8_t>(WholeNumber(m.value1) & 0xFF);
      ctx.event_log.AddFormat(main, "Interior:  %i%i", m.param, interior);
      const std::uint8_t own = ctx.tables.own_vessel_slot.load();
      if (ValidVesselSlot(own)) {
        VesselRecord& v = ctx.tables.vessels[own];
        std::lock_guard lock(v.lock);
        v.interior = interior;
      }
      break;
    }
    case kAmbientUpdate: {
      std::lock_guard lock(ctx.world_lock);
      ctx.world.ambient_level = m.value3;
      ctx.world.ambient_rate = m.value2;
      break;
    }
    default:
      break;
  }
}

}  // namespace talmeris
