// The statistics report of the main dialog's "S&tatistics" button: the universe clock, the
// connection statistics of the server link and of each attached peer, the own location and the
// known vessels.
#pragma once

#include <string>

namespace talmeris {
struct ClientContext;

constexpr std::size_t kReportLimit = 3998;  // characters of the whole report
constexpr int kReportVesselLines = 33;

// Main thread. Locks are taken one at a time: world_lock, each peer slot's, each record's.
std::string StatisticsReport(ClientContext& ctx);

}  // namespace talmeris
