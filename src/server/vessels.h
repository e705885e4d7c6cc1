// The server's vessel messages, the ambient values and the vessel relays to the peers.
#pragma once

#include <cstdint>

namespace talmeris {
struct ClientContext;

void OnVesselState(ClientContext& ctx, const std::uint8_t* message);     // 64 bytes
void OnVesselIdentity(ClientContext& ctx, const std::uint8_t* message);  // 88 bytes
// ShortMessage types 5, 12, 14, 19, 20 (20 bytes).
void OnVesselShortMessage(ClientContext& ctx, const std::uint8_t* message);

// Applies a switch code to a vessel record; false for a code that changes nothing.
struct VesselRecord;
bool ApplySwitchCode(VesselRecord& record, float code);

}  // namespace talmeris
