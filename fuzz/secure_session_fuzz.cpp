// The secure session as a hostile peer meets it: any bytes as a SECURE HELLO to the host and as
// a SECURE WELCOME to the client (only the genuine welcome of the exchange opens), and any
// bytes as sealed datagrams. The first input byte chooses; to reach what lies behind a seal,
// mode 3 seals the input with the session's keys and mutates one byte of it, and the datagram
// must open exactly when nothing changed, once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/control_frames.h"
#include "net/secure_session.h"

using namespace talmeris::net;

namespace {
Key Filled(std::uint8_t v) {
  Key k;
  k.fill(v);
  return k;
}
const Guid kApp = *Guid::Parse("{1AD4CA3B-AC68-4D9B-9522-BE59CD485276}");
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || !SodiumReady()) return 0;
  const std::uint8_t mode = data[0] % 4;
  ++data;
  --size;
  static const KeyPair client_e = KeyPairFromSecret(Filled(0x11));
  static const KeyPair server_s = KeyPairFromSecret(Filled(0x22));
  static const KeyPair server_e = KeyPairFromSecret(Filled(0x33));
  switch (mode) {
    case 0: {  // to the host
      Handshake hs;
      HelloFields hello;
      if (!ReadSecureHello(&hs, data, size, &hello)) return 0;
      std::uint8_t welcome[kSecureWelcomeSize];
      SessionKeys keys;
      WriteSecureWelcome(hs, server_s, server_e, 2, hello.clock, welcome, &keys);
      return 0;
    }
    case 1: {  // to the client, which sent its hello
      Handshake hs;
      std::uint8_t hello[kSecureHelloSize];
      WriteSecureHello(&hs, client_e, kApp, 1, hello);
      WelcomeFields welcome;
      SessionKeys keys;
      if (ReadSecureWelcome(hs, data, size, &welcome, &keys) &&
          std::memcmp(welcome.server_key.data(), server_s.public_key.data(), kKeySize) == 0 &&
          welcome.player == 0) {
        std::abort();  // only a genuine welcome names the server's key, and it names player 2
      }
      return 0;
    }
    case 2: {  // raw datagrams on the session
      SealState s;
      s.active = true;
      s.keys.receive = Filled(5);
      std::vector<std::uint8_t> copy(data, data + size);
      std::size_t n = copy.size();
      const std::uint8_t channel = size ? data[0] % 5 : 0;
      const bool reliable = size > 1 && (data[1] & 1);
      if (Open(s, channel, reliable, copy.data(), &n) == OpenResult::kOpened) std::abort();
      return 0;
    }
    default: {  // sealed by the session, then changed at one place or not at all
      if (size < 3) return 0;
      SealState tx, rx;
      tx.keys.send = rx.keys.receive = Filled(6);
      const std::uint8_t channel = data[0] % 5, flip = data[1];
      const std::size_t at = data[2];
      data += 3;
      size -= 3;
      std::vector<std::uint8_t> sealed(size + kSealOverhead);
      Seal(tx, channel, flip & 1, data, size, sealed.data());
      const bool change = flip != 0 && at < sealed.size();
      if (change) sealed[at] ^= flip;
      std::vector<std::uint8_t> again = sealed;
      std::size_t n = sealed.size();
      const bool reliable = flip & 1;  // as ENet delivers what the sender sent
      const OpenResult first = Open(rx, channel, reliable, sealed.data(), &n);
      if ((first == OpenResult::kOpened) == change) std::abort();
      if (first == OpenResult::kOpened) {
        if (n != size || std::memcmp(sealed.data(), data, size) != 0) std::abort();
        std::size_t m = again.size();
        if (Open(rx, channel, reliable, again.data(), &m) !=
            (reliable ? OpenResult::kBroken : OpenResult::kReplayed))
          std::abort();
        ControlFrame f;
        DecodeControl(sealed.data(), n, &f);  // what lies behind: the control decoder, say
      }
      return 0;
    }
  }
}
