// The secure server session (docs/transport.md, "The secure session"): the Noise NX handshake
// (Noise_NX_25519_ChaChaPoly_SHA256) carried by SECURE HELLO and SECURE WELCOME, and the sealing
// of every later datagram with ChaCha20-Poly1305 under per-direction keys, a per-lane counter
// and a replay window. Pure functions and plain state on libsodium's primitives; the caller's
// lock (the endpoint's host mutex) guards a connection's state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "net/transport.h"

namespace talmeris::net {

constexpr std::size_t kKeySize = 32;
using Key = std::array<std::uint8_t, kKeySize>;

struct KeyPair {
  Key public_key{};
  Key secret_key{};
};

// libsodium set up once per process; false when it cannot be (no usable random source).
bool SodiumReady();
// A fresh X25519 key pair, or the one that belongs to a secret key (libsodium set up first).
KeyPair MakeKeyPair();
KeyPair KeyPairFromSecret(const Key& secret);

// Control types of the secure handshake, beside HELLO (1) to PONG (5).
constexpr std::uint8_t kSecureHello = 6;
constexpr std::uint8_t kSecureWelcome = 7;
constexpr std::uint8_t kSecureVersion = 2;
constexpr std::size_t kSecureHelloSize = 1 + 32 + 1 + 16 + 8;               // 58
constexpr std::size_t kSecureWelcomeSize = 1 + 32 + (32 + 16) + (13 + 16);  // 110

// The handshake's running state (Noise's symmetric state, and the ephemeral key).
struct Handshake {
  Key h{}, ck{}, k{};
  KeyPair ephemeral;
  Key remote_ephemeral{};
};

// The two directions' keys once the handshake is done.
struct SessionKeys {
  Key send{}, receive{};
};

struct HelloFields {
  std::uint8_t version = 0;
  Guid application;
  std::uint64_t clock = 0;
};
struct WelcomeFields {
  Key server_key{};  // the static key the server proved
  std::uint8_t version = 0;
  DPNID player = 0;
  std::uint64_t clock = 0;
};

// Client: writes the SECURE HELLO (kSecureHelloSize bytes) with `ephemeral`.
void WriteSecureHello(Handshake* hs, const KeyPair& ephemeral, const Guid& application,
                      std::uint64_t clock, std::uint8_t* out);
// Client: reads a SECURE WELCOME. False for anything that is not one that opens.
bool ReadSecureWelcome(Handshake& hs, const std::uint8_t* d, std::size_t n, WelcomeFields* fields,
                       SessionKeys* keys);
// Server: reads a SECURE HELLO (false when it is not one), then writes its WELCOME
// (kSecureWelcomeSize bytes) proving `server` with `ephemeral`.
bool ReadSecureHello(Handshake* hs, const std::uint8_t* d, std::size_t n, HelloFields* fields);
bool WriteSecureWelcome(Handshake& hs, const KeyPair& server, const KeyPair& ephemeral,
                        DPNID player, std::uint64_t clock, std::uint8_t* out, SessionKeys* keys);

// Sealed datagrams: a lane per channel and reliability (channel * 2 + reliable), each with its
// own counter; the header is the lane and the counter, the tag follows the ciphertext.
constexpr std::size_t kLanes = 10;
constexpr std::size_t kSealHeader = 1 + 8;
constexpr std::size_t kSealTag = 16;
constexpr std::size_t kSealOverhead = kSealHeader + kSealTag;
constexpr std::uint64_t kReplayWindow = 1024;  // counters behind the highest that still open

struct SealState {
  bool active = false;
  SessionKeys keys;
  std::uint64_t send_counter[kLanes] = {};
  struct Window {
    bool any = false;
    std::uint64_t top = 0;
    std::uint64_t bits[kReplayWindow / 64] = {};
  } windows[kLanes];
};

// Seals `size` bytes into `out` (size + kSealOverhead bytes) on the lane of `channel`.
void Seal(SealState& s, std::uint8_t channel, bool reliable, const std::uint8_t* data,
          std::size_t size, std::uint8_t* out);

// The last datagram sealed on that lane never left (ENet refused it): its counter is used
// again, so a reliable lane has no gap. Its nonce never reached the wire.
void Unseal(SealState& s, std::uint8_t channel, bool reliable);

// kBroken: a datagram ENet delivered as reliable did not open, or a reliable lane's counter was
// not exactly the next one. ENet has acknowledged it, so nothing will send it again: something
// was deleted, changed or reordered on the path, and the session cannot go on.
enum class OpenResult { kOpened, kUnopened, kReplayed, kBroken };
// Opens a datagram that arrived on `channel`, in place: on kOpened the plaintext is at the
// start of `data` and `*size` its length. Anything else leaves the lanes as they were.
// `reliable_packet`: ENet delivered it as reliable. A reliable lane opens only from such a
// packet and only at the next counter; an unreliable lane takes any counter its window has not
// seen (a large unreliable message may come in reliable fragments).
OpenResult Open(SealState& s, std::uint8_t channel, bool reliable_packet, std::uint8_t* data,
                std::size_t* size);

// Keys as text: 64 lower-case hexadecimal digits. Parsing takes 64 hex digits with blanks or a
// line end around them.
std::array<char, 65> KeyText(const Key& key);
bool ParseKeyText(const char* text, std::size_t size, Key* key);

}  // namespace talmeris::net
