// The server protocol: sending to the game server and the handler of everything it sends.
#pragma once

#include <cstdint>

#include "net/transport.h"

namespace talmeris {
struct ClientContext;

// Message sizes: the kind of a message is its payload size.
enum : std::uint32_t {
  kPlayerPositionSize = 14,
  kShortMessageSize = 20,
  kVesselStateSize = 64,
  kTextMessageSize = 88,
  kAccountMessageSize = 260,
  kPatchChunkSize = 16524,
};

// Server-to-client ShortMessage types.
enum ServerShortType : std::uint8_t {
  kSessionWelcome = 0,
  kPlayerLoggedOff = 1,
  kLoginStatus = 3,
  kVesselGone = 5,
  kSessionEnd = 7,
  kSoundCue = 10,
  kVesselSwitch = 12,
  kAmbientUpdate = 14,
  kVesselAssignment = 19,
  kInteriorChange = 20,
  kAccountCreationReply = 24,
};

// Server-to-client TextMessage types.
enum ServerTextType : std::uint8_t {
  kChatLine = 0,
  kServerNotice = 3,
  kOfflineMessage = 4,
  kMenuPage = 5,
  kLineInputRequest = 6,
  kPlayerIdentity = 7,
  kPodsFileData = 8,
  kVesselIdentity = 9,
  kPlayerStanding = 10,
  kCharacterNameSuggestion = 12,
  kOwnLocation = 21,
};

// Client-to-server ShortMessage types.
enum ClientShortType : std::uint8_t {
  kLoginAcknowledge = 3,
  kSetAlignment = 8,
  kNameSuggestionRequest = 9,
  kAllianceRequest = 13,
  kPatchChunkRequest = 24,
  kExpletiveReport = 27,
};

constexpr float kClientRelease = 173.0f;

// Shown when connecting fails, at once (caption with the code) or later (the completion).
inline constexpr const char* kConnectFailedText =
    "Failed to connect to session!\n\nIf you HAVE been able to connect before...\n- The host may "
    "be temporarily offline OR\n- A connection could not be established (Internet or provider "
    "trouble) OR\n- Previous session has not yet timed out (approximately one minute)\n\nIf you "
    "have NOT been able to connect before...\n- You need to have DirectX 9.0 or higher installed "
    "OR\n- There is a firewall blocking your connection (office LAN) OR\n- Your computer is not "
    "configured properly for TCP/IP";

// The client session's handler; `context` is the ClientContext.
net::HRESULT OnServerMessage(void* context, const net::Message& message);

// The server messages whose handling never blocks, so the transport may handle them on its
// service thread: vessel states and player positions (relay and store, no box, no wait).
bool ServerMessageMayRunInline(const std::uint8_t* data, std::uint32_t size);

// The receive dispatch for one payload, by size then type.
void DispatchServerPayload(ClientContext& ctx, const std::uint8_t* data, std::uint32_t size);

// The per-user key folder ("Corvane Industries" in the user's configuration folder).
bool CreateUserKey(ClientContext& ctx);

}  // namespace talmeris
