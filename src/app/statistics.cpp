#include "app/statistics.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "state/context.h"

namespace talmeris {
namespace {

// Appends one line of at most 98 characters, keeping the report within its limit.
void Line(std::string& report, const char* format, ...) {
  char line[99];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  report.append(line,
                std::min(std::strlen(line), kReportLimit - std::min(kReportLimit, report.size())));
}

void ConnectionLine(std::string& report, const char* head, const net::ConnectionInfo& i) {
  char columns[99];
  std::snprintf(
      columns, sizeof columns, "\t%6i\t%6i\t%6i\t%6i\t%6i\t%6i\t%6i\t%6i\t%6i\t%6i\n",
      static_cast<int>(i.round_trip_latency_ms), static_cast<int>(i.throughput_bps),
      static_cast<int>(i.peak_throughput_bps), static_cast<int>(i.packets_sent_guaranteed),
      static_cast<int>(i.packets_sent_non_guaranteed), static_cast<int>(i.packets_retried),
      static_cast<int>(i.packets_dropped), static_cast<int>(i.packets_received_guaranteed),
      static_cast<int>(i.packets_received_non_guaranteed), static_cast<int>(i.messages_received));
  Line(report, "%s%s", head, columns);
}

}  // namespace

std::string StatisticsReport(ClientContext& ctx) {
  std::string report;
  WorldTables& t = ctx.tables;
  const std::uint8_t own_player = t.own_player_slot.load();
  const std::uint8_t own_vessel = t.own_vessel_slot.load();
  int allegiance = 0;
  if (ValidPlayerSlot(own_player)) {
    std::lock_guard lock(t.roster[own_player].lock);
    allegiance = t.roster[own_player].allegiance;
  }
  {
    std::lock_guard lock(ctx.world_lock);
    const double time = ctx.stopwatch.Time();
    Line(report, "Universe time: %.0f:%f/%f\tAllegiance: %i\n\n", ctx.world.universe_hours,
         time + ctx.world.universe_seconds, time, allegiance);
  }
  Line(report,
       "# T (P)\tPingMS\tCurBPS\tMaxBPS\tSntGPk\tSntPck\tPckTry\tPckDrp\tRcvGPk\tRcvPck\tRcvMsg\n");
  net::ConnectionInfo info{};
  if (ctx.net.net_client) ctx.net.net_client->GetConnectionInfo(&info);
  ConnectionLine(report, "Server", info);
  for (int i = 0; i < kPeerSlotCount; ++i) {
    PeerSlot& slot = ctx.peer_slots[i];
    std::lock_guard lock(slot.lock);
    if (!slot.in_use) continue;
    net::ConnectionInfo peer{};
    if (ctx.net.peer_server) ctx.net.peer_server->GetConnectionInfo(slot.dpnid, &peer);
    char head[32];
    std::snprintf(head, sizeof head, "%i %i (%i)", i, slot.kind, slot.propulsion);
    ConnectionLine(report, head, peer);
  }
  int frame = 0, building = 0, unit = 0, x = 0, y = 0, heading = 0, interior = 0;
  if (ValidPlayerSlot(own_player)) {
    PlayerRecord& p = t.roster[own_player];
    std::lock_guard lock(p.lock);
    frame = p.frame, building = p.building, unit = p.unit, x = p.x, y = p.y, heading = p.heading;
  }
  if (ValidVesselSlot(own_vessel)) {
    std::lock_guard lock(t.vessels[own_vessel].lock);
    interior = t.vessels[own_vessel].interior;
  }
  Line(report, "\nPlyr%i Frame%i Bldg%i Unit%i Type%i X%i Y%i Hdg%i\n", own_player, frame, building,
       unit, interior, x, y, heading);
  Line(report, "\n#\tIVR\t!HGBPLTDp# Arr typ+Rint\tposition\t\t\t\tMSL\tHull Registration\n");
  int qualifying = 0;
  for (int slot = 0; slot < kVesselCount; ++slot) {
    VesselRecord& v = t.vessels[slot];
    std::lock_guard lock(v.lock);
    const bool own = slot == own_vessel;
    if (!v.present && !own) continue;
    if (++qualifying > kReportVesselLines) continue;  // counted only
    const double msl = std::sqrt(static_cast<double>(v.position[0]) * v.position[0] +
                                 static_cast<double>(v.position[1]) * v.position[1] +
                                 static_cast<double>(v.position[2]) * v.position[2]) -
                       2939.6;
    Line(report,
         own ? "%3i\t%5s*\t%i%i%i%i%i%i%i%i%+i %03i %03i%+i%03i\t%+7.3f %+7.3f %+7.3f\t%4.3f\t%s\n"
             : "%3i\t%5s\t%i%i%i%i%i%i%i%i%+i %03i %03i%+i%03i\t%+7.3f %+7.3f %+7.3f\t%4.3f\t%s\n",
         slot, v.ivr_name.bytes, v.flag_alert, v.flag_h, v.flag_g, v.flag_b, v.flag_p, v.flag_l,
         v.flag_t, v.flag_d, static_cast<std::int8_t>(v.p_number), v.arr_number, v.interior,
         v.attach_mode, v.host_vessel, v.position[0], v.position[1], v.position[2], msl,
         v.hull_registration.bytes);
  }
  if (qualifying > kReportVesselLines - 1) {
    Line(report, "Continued... (%i-sizetrack in total)", qualifying);
  }
  return report;
}

}  // namespace talmeris
