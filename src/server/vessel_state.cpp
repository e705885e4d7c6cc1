#include "server/vessel_state.h"

#include "base/bytes.h"

namespace talmeris {
namespace {
float Rate(const std::uint8_t* p) {
  return static_cast<float>(static_cast<std::int16_t>(LoadU16(p)) / 32767.0 * kTwoPi);
}
float Control(std::uint8_t b) {
  return static_cast<float>(static_cast<std::int8_t>(b) / 127.0);
}
}  // namespace

void StoreVesselState(const std::uint8_t* m, VesselRecord& v) {
  for (int i = 0; i < 3; ++i) v.position[i] = LoadF32(m + 4 + 4 * i);
  for (int i = 0; i < 3; ++i) v.velocity[i] = LoadF32(m + 16 + 4 * i);
  for (int i = 0; i < 4; ++i) v.orientation[i] = LoadF32(m + 28 + 4 * i);
  for (int i = 0; i < 3; ++i) v.rates[i] = Rate(m + 44 + 2 * i);
  for (int i = 0; i < 3; ++i) v.thrust[i] = static_cast<std::int8_t>(m[50 + i]);
  v.attach_mode = static_cast<std::int8_t>(m[56]);
  v.host_vessel = m[57];
  for (int i = 0; i < 3; ++i) v.controls[i] = Control(m[58 + i]);
}

VesselStateBytes EncodeVesselState(std::uint8_t slot, const VesselRecord& v) {
  VesselStateBytes b{};
  b[0] = slot;
  for (int i = 0; i < 3; ++i) StoreF32(&b[4 + 4 * i], v.position[i]);
  for (int i = 0; i < 3; ++i) StoreF32(&b[16 + 4 * i], v.velocity[i]);
  for (int i = 0; i < 4; ++i) StoreF32(&b[28 + 4 * i], v.orientation[i]);
  for (int i = 0; i < 3; ++i) {
    double wire = v.rates[i] / kTwoPi * 32767.0;
    wire = wire > 32767.0 ? 32767.0 : wire < -32768.0 ? -32768.0 : wire;  // never out of range
    StoreU16(&b[44 + 2 * i], static_cast<std::uint16_t>(static_cast<std::int16_t>(wire)));
  }
  for (int i = 0; i < 3; ++i) b[50 + i] = static_cast<std::uint8_t>(v.thrust[i]);
  b[56] = static_cast<std::uint8_t>(v.attach_mode);
  b[57] = v.host_vessel;
  for (int i = 0; i < 3; ++i) {
    double wire = v.controls[i] * 127.0;
    wire = wire > 127.0 ? 127.0 : wire < -128.0 ? -128.0 : wire;
    b[58 + i] = static_cast<std::uint8_t>(static_cast<std::int8_t>(wire));
  }
  return b;
}

VesselStateBytes VesselStateFromReport(std::uint8_t slot, const std::uint8_t* r,
                                       std::uint8_t host_vessel) {
  VesselStateBytes b{};
  b[0] = slot;
  std::copy(r, r + 40, &b[4]);        // position, velocity, orientation
  std::copy(r + 40, r + 46, &b[44]);  // rates
  std::copy(r + 46, r + 49, &b[50]);  // thrust
  b[56] = r[56];                      // attach mode
  b[57] = host_vessel;
  std::copy(r + 57, r + 60, &b[58]);  // controls
  return b;
}

void StoreOwnVesselReport(const std::uint8_t* r, VesselRecord& v) {
  for (int i = 0; i < 3; ++i) v.position[i] = LoadF32(r + 4 * i);
  for (int i = 0; i < 3; ++i) v.velocity[i] = LoadF32(r + 12 + 4 * i);
  for (int i = 0; i < 4; ++i) v.orientation[i] = LoadF32(r + 24 + 4 * i);
  v.attach_mode = static_cast<std::int8_t>(r[56]);
  for (int i = 0; i < 3; ++i) v.rates[i] = Rate(r + 40 + 2 * i);
  for (int i = 0; i < 3; ++i) v.controls[i] = Control(r[57 + i]);
}

}  // namespace talmeris
