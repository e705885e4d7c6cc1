// The player roster and the vessel table: fixed tables that mirror what the server says about
// players and vessels, each record with its own lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/bytes.h"
#include "state/ranked_mutex.h"

namespace talmeris {

constexpr int kRosterSize = 32;
constexpr int kVesselCount = 64;

struct PlayerRecord {
  std::uint32_t identity_number = 0;
  std::uint8_t voice_include = 0;
  std::uint8_t online = 0;
  FixedText<13> handle;
  FixedText<30> character_name;
  FixedText<16> rank;
  FixedText<30> alliance_name;
  std::int32_t tax_rate = 0;
  std::int32_t redistribution = 0;
  std::int32_t discount = 0;
  std::int8_t alignment = 0;
  std::uint16_t allegiance = 0;
  std::int64_t member_since = 0;
  std::uint8_t gender = 0;
  std::uint8_t building = 0;
  std::int32_t frame = 0;
  std::int32_t unit = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t heading = 0;
  std::int32_t aux_a = 0, aux_b = 0, aux_c = 0, aux_d = 0;
  RankedMutex lock{LockRank::kRecord};
};

struct VesselRecord {
  std::uint8_t interior = 0;
  std::uint8_t flag_h = 0, flag_g = 0, flag_alert = 0, flag_extra = 0, flag_b = 0, flag_p = 0,
               flag_l = 0, flag_t = 0, flag_d = 0;
  std::uint8_t present = 0;
  float position[3] = {};
  float velocity[3] = {};
  float orientation[4] = {};
  float rates[3] = {};
  float controls[3] = {};
  std::int8_t thrust[3] = {};
  std::int8_t attach_mode = 0;
  std::uint8_t host_vessel = 0;
  std::uint8_t info_number = 0;
  std::uint8_t p_number = 0;
  std::uint16_t arr_number = 0;
  FixedText<6> ivr_name;
  FixedText<31> hull_registration;
  RankedMutex lock{LockRank::kRecord};
};

struct WorldTables {
  std::array<PlayerRecord, kRosterSize> roster;
  std::array<VesselRecord, kVesselCount> vessels;
  // Single bytes written and read without a lock.
  std::atomic<std::uint8_t> own_player_slot{0};
  std::atomic<std::uint8_t> own_vessel_slot{0};
  std::atomic<std::uint8_t> selected_player_slot{0};
};

// Slot numbers from messages are checked before they index a table.
constexpr bool ValidPlayerSlot(unsigned slot) {
  return slot < kRosterSize;
}
constexpr bool ValidVesselSlot(unsigned slot) {
  return slot < kVesselCount;
}

// Start-up reset: empty identities, nobody online, no vessel present.
void reset_tables(WorldTables& tables);

}  // namespace talmeris
