#include "net/secure_session.h"

#include <sodium.h>

#include <cstring>

#include "base/bytes.h"

namespace talmeris::net {
namespace {

constexpr char kProtocolName[] = "Noise_NX_25519_ChaChaPoly_SHA256";  // exactly 32 bytes
static_assert(sizeof kProtocolName - 1 == kKeySize);
constexpr std::uint8_t kPrologue[] = {'T', 'L', 'M', '1'};

void MixHash(Key& h, const std::uint8_t* data, std::size_t size) {
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  crypto_hash_sha256_update(&state, h.data(), h.size());
  crypto_hash_sha256_update(&state, data, size);
  crypto_hash_sha256_final(&state, h.data());
}

void Hmac(const Key& key, const std::uint8_t* a, std::size_t an, const std::uint8_t* b,
          std::size_t bn, std::uint8_t* out) {
  crypto_auth_hmacsha256_state state;
  crypto_auth_hmacsha256_init(&state, key.data(), key.size());
  crypto_auth_hmacsha256_update(&state, a, an);
  if (bn) crypto_auth_hmacsha256_update(&state, b, bn);
  crypto_auth_hmacsha256_final(&state, out);
}

// Noise's HKDF with two outputs, on HMAC-SHA256.
void Hkdf(const Key& chaining, const std::uint8_t* ikm, std::size_t ikm_size, Key* out1,
          Key* out2) {
  Key temp;
  Hmac(chaining, ikm, ikm_size, nullptr, 0, temp.data());
  const std::uint8_t one = 1, two = 2;
  Hmac(temp, &one, 1, nullptr, 0, out1->data());
  Hmac(temp, out1->data(), out1->size(), &two, 1, out2->data());
  sodium_memzero(temp.data(), temp.size());
}

// MixKey(DH(secret, public)); false for a public key of low order (an all-zero result).
bool MixDh(Handshake& hs, const Key& secret, const Key& public_key) {
  Key shared;
  if (crypto_scalarmult(shared.data(), secret.data(), public_key.data()) != 0) return false;
  Hkdf(hs.ck, shared.data(), shared.size(), &hs.ck, &hs.k);
  sodium_memzero(shared.data(), shared.size());
  return true;
}

// EncryptAndHash / DecryptAndHash with the handshake key, nonce 0 (every key of the handshake
// encrypts one message) and the handshake hash as associated data.
void EncryptAndHash(Handshake& hs, const std::uint8_t* plain, std::size_t size, std::uint8_t* out) {
  const std::uint8_t nonce[12] = {};
  crypto_aead_chacha20poly1305_ietf_encrypt(out, nullptr, plain, size, hs.h.data(), hs.h.size(),
                                            nullptr, nonce, hs.k.data());
  MixHash(hs.h, out, size + kSealTag);
}
bool DecryptAndHash(Handshake& hs, const std::uint8_t* cipher, std::size_t size,
                    std::uint8_t* out) {
  const std::uint8_t nonce[12] = {};
  if (size < kSealTag ||
      crypto_aead_chacha20poly1305_ietf_decrypt(out, nullptr, nullptr, cipher, size, hs.h.data(),
                                                hs.h.size(), nonce, hs.k.data()) != 0) {
    return false;
  }
  MixHash(hs.h, cipher, size);
  return true;
}

void Start(Handshake* hs) {
  std::memcpy(hs->h.data(), kProtocolName, kKeySize);
  hs->ck = hs->h;
  MixHash(hs->h, kPrologue, sizeof kPrologue);
}

// Split: the first key for client to server, the second for server to client.
void Split(Handshake& hs, bool client, SessionKeys* keys) {
  Key to_server, to_client;
  Hkdf(hs.ck, nullptr, 0, &to_server, &to_client);
  keys->send = client ? to_server : to_client;
  keys->receive = client ? to_client : to_server;
  sodium_memzero(to_server.data(), to_server.size());
  sodium_memzero(to_client.data(), to_client.size());
  sodium_memzero(&hs, sizeof hs);
}

void NonceOf(std::uint8_t lane, std::uint64_t counter, std::uint8_t* nonce) {
  nonce[0] = lane;
  nonce[1] = nonce[2] = nonce[3] = 0;
  StoreU64(nonce + 4, counter);
}

}  // namespace

bool SodiumReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

KeyPair MakeKeyPair() {
  SodiumReady();
  KeyPair k;
  crypto_box_keypair(k.public_key.data(), k.secret_key.data());
  return k;
}

KeyPair KeyPairFromSecret(const Key& secret) {
  SodiumReady();
  KeyPair k;
  k.secret_key = secret;
  crypto_scalarmult_base(k.public_key.data(), secret.data());
  return k;
}

void WriteSecureHello(Handshake* hs, const KeyPair& ephemeral, const Guid& application,
                      std::uint64_t clock, std::uint8_t* out) {
  Start(hs);
  hs->ephemeral = ephemeral;
  out[0] = kSecureHello;
  std::memcpy(out + 1, ephemeral.public_key.data(), kKeySize);
  MixHash(hs->h, out + 1, kKeySize);
  std::uint8_t* payload = out + 33;
  payload[0] = kSecureVersion;
  std::memcpy(payload + 1, application.bytes.data(), 16);
  StoreU64(payload + 17, clock);
  MixHash(hs->h, payload, 25);  // no key yet: the payload travels as it is
}

bool ReadSecureHello(Handshake* hs, const std::uint8_t* d, std::size_t n, HelloFields* fields) {
  if (n < kSecureHelloSize || d[0] != kSecureHello) return false;
  Start(hs);
  std::memcpy(hs->remote_ephemeral.data(), d + 1, kKeySize);
  MixHash(hs->h, d + 1, kKeySize);
  MixHash(hs->h, d + 33, 25);
  fields->version = d[33];
  std::memcpy(fields->application.bytes.data(), d + 34, 16);
  fields->clock = LoadU64(d + 50);
  return true;
}

bool WriteSecureWelcome(Handshake& hs, const KeyPair& server, const KeyPair& ephemeral,
                        DPNID player, std::uint64_t clock, std::uint8_t* out, SessionKeys* keys) {
  out[0] = kSecureWelcome;
  std::memcpy(out + 1, ephemeral.public_key.data(), kKeySize);
  MixHash(hs.h, out + 1, kKeySize);
  if (!MixDh(hs, ephemeral.secret_key, hs.remote_ephemeral)) return false;  // ee
  EncryptAndHash(hs, server.public_key.data(), kKeySize, out + 33);         // s
  if (!MixDh(hs, server.secret_key, hs.remote_ephemeral)) return false;     // es
  std::uint8_t payload[13];
  payload[0] = kSecureVersion;
  StoreU32(payload + 1, player);
  StoreU64(payload + 5, clock);
  EncryptAndHash(hs, payload, sizeof payload, out + 81);
  Split(hs, false, keys);
  return true;
}

bool ReadSecureWelcome(Handshake& hs, const std::uint8_t* d, std::size_t n, WelcomeFields* fields,
                       SessionKeys* keys) {
  if (n < kSecureWelcomeSize || d[0] != kSecureWelcome) return false;
  // A welcome that does not open leaves the handshake as it was; the copy it was tried on, with
  // the ephemeral secret and what came of it, is wiped either way.
  Handshake work = hs;
  struct Wipe {
    Handshake& h;
    ~Wipe() { sodium_memzero(&h, sizeof h); }
  } wipe{work};
  std::memcpy(work.remote_ephemeral.data(), d + 1, kKeySize);
  MixHash(work.h, d + 1, kKeySize);
  if (!MixDh(work, work.ephemeral.secret_key, work.remote_ephemeral)) return false;  // ee
  if (!DecryptAndHash(work, d + 33, kKeySize + kSealTag, fields->server_key.data())) return false;
  if (!MixDh(work, work.ephemeral.secret_key, fields->server_key)) return false;  // es
  std::uint8_t payload[13];
  if (!DecryptAndHash(work, d + 81, sizeof payload + kSealTag, payload)) return false;
  fields->version = payload[0];
  fields->player = LoadU32(payload + 1);
  fields->clock = LoadU64(payload + 5);
  Split(work, true, keys);
  sodium_memzero(&hs, sizeof hs);
  return true;
}

void Seal(SealState& s, std::uint8_t channel, bool reliable, const std::uint8_t* data,
          std::size_t size, std::uint8_t* out) {
  const auto lane = static_cast<std::uint8_t>(channel * 2 + (reliable ? 1 : 0));
  const std::uint64_t counter = s.send_counter[lane % kLanes]++;
  out[0] = lane;
  StoreU64(out + 1, counter);
  std::uint8_t nonce[12];
  NonceOf(lane, counter, nonce);
  unsigned long long tag_size = 0;
  crypto_aead_chacha20poly1305_ietf_encrypt_detached(out + kSealHeader, out + kSealHeader + size,
                                                     &tag_size, data, size, out, kSealHeader,
                                                     nullptr, nonce, s.keys.send.data());
}

void Unseal(SealState& s, std::uint8_t channel, bool reliable) {
  --s.send_counter[(channel * 2 + (reliable ? 1 : 0)) % kLanes];
}

namespace {
OpenResult OpenSealed(SealState& s, std::uint8_t channel, bool reliable_packet, std::uint8_t* data,
                      std::size_t* size) {
  const std::size_t n = *size;
  if (n < kSealOverhead) return OpenResult::kUnopened;
  const std::uint8_t lane = data[0];
  if (lane >= kLanes || lane / 2 != channel) return OpenResult::kUnopened;
  const bool reliable_lane = lane & 1;
  // A reliable lane's datagram outside ENet's reliable stream is a copy someone made: the
  // sender never sends one so.
  if (reliable_lane && !reliable_packet) return OpenResult::kUnopened;
  const std::uint64_t counter = LoadU64(data + 1);
  SealState::Window& w = s.windows[lane];
  if (reliable_lane) {
    if (counter != (w.any ? w.top + 1 : 0)) return OpenResult::kReplayed;
  } else if (w.any && counter <= w.top) {
    const std::uint64_t behind = w.top - counter;
    if (behind >= kReplayWindow || (w.bits[behind / 64] >> (behind % 64) & 1)) {
      return OpenResult::kReplayed;
    }
  }
  std::uint8_t nonce[12];
  NonceOf(lane, counter, nonce);
  const std::size_t plain = n - kSealOverhead;
  if (crypto_aead_chacha20poly1305_ietf_decrypt_detached(
          data + kSealHeader, nullptr, data + kSealHeader, plain, data + kSealHeader + plain, data,
          kSealHeader, nonce, s.keys.receive.data()) != 0) {
    return OpenResult::kUnopened;
  }
  // Only a datagram that opened moves the window.
  if (!w.any || counter > w.top) {
    const std::uint64_t shift = w.any ? counter - w.top : kReplayWindow;
    if (shift >= kReplayWindow) {
      std::memset(w.bits, 0, sizeof w.bits);
    } else {
      const std::size_t words = shift / 64, bits = shift % 64;
      for (std::size_t i = kReplayWindow / 64; i-- > 0;) {
        std::uint64_t v = i >= words ? w.bits[i - words] << bits : 0;
        if (bits && i >= words + 1) v |= w.bits[i - words - 1] >> (64 - bits);
        w.bits[i] = v;
      }
    }
    w.top = counter;
    w.any = true;
    w.bits[0] |= 1;
  } else {
    const std::uint64_t behind = w.top - counter;
    w.bits[behind / 64] |= std::uint64_t{1} << (behind % 64);
  }
  std::memmove(data, data + kSealHeader, plain);
  *size = plain;
  return OpenResult::kOpened;
}
}  // namespace

OpenResult Open(SealState& s, std::uint8_t channel, bool reliable_packet, std::uint8_t* data,
                std::size_t* size) {
  const OpenResult r = OpenSealed(s, channel, reliable_packet, data, size);
  // ENet acknowledged a reliable packet before it reached us: one that does not open is lost
  // for good.
  return r != OpenResult::kOpened && reliable_packet ? OpenResult::kBroken : r;
}

std::array<char, 65> KeyText(const Key& key) {
  std::array<char, 65> text{};
  sodium_bin2hex(text.data(), text.size(), key.data(), key.size());
  return text;
}

bool ParseKeyText(const char* text, std::size_t size, Key* key) {
  std::size_t begin = 0, end = size;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (begin < end && blank(text[begin])) ++begin;
  while (end > begin && blank(text[end - 1])) --end;
  if (end - begin != 2 * kKeySize) return false;
  std::size_t written = 0;
  const char* last = nullptr;
  return sodium_hex2bin(key->data(), key->size(), text + begin, end - begin, nullptr, &written,
                        &last) == 0 &&
         written == kKeySize && last == text + end;
}

}  // namespace talmeris::net
