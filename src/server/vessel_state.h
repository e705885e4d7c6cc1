// The 64-byte VesselStateMessage and the 60-byte OwnVesselReport, and their conversions to and
// from a vessel record.
#pragma once

#include <array>
#include <cstdint>

#include "state/tables.h"

namespace talmeris {

constexpr std::size_t kVesselStateBytes = 64;
constexpr std::size_t kOwnVesselReportBytes = 60;
constexpr double kTwoPi = 6.283185;

using VesselStateBytes = std::array<std::uint8_t, kVesselStateBytes>;

// Stores a VesselStateMessage's fields (rates to radians, controls to -1..1). The caller holds
// the record's lock.
void StoreVesselState(const std::uint8_t* message, VesselRecord& record);

// A VesselStateMessage for `slot` from a record (the caller holds the record's lock).
VesselStateBytes EncodeVesselState(std::uint8_t slot, const VesselRecord& record);

// A VesselStateMessage for `slot` from an own-vessel report: the report's wire fields are copied
// byte for byte; the host-vessel byte is the record's.
VesselStateBytes VesselStateFromReport(std::uint8_t slot, const std::uint8_t* report,
                                       std::uint8_t host_vessel);

// Stores an own-vessel report into the record (the caller holds the record's lock).
void StoreOwnVesselReport(const std::uint8_t* report, VesselRecord& record);

}  // namespace talmeris
