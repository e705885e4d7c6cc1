// The voice datagrams on the session's voice channel (docs/voice.md): what a client sends the
// server, and what the server forwards. Decoding checks every length.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/bytes.h"
#include "net/transport.h"
#include "state/voice_port.h"

namespace talmeris::voice {

enum VoiceDatagram : std::uint8_t {
  kTargets = 1,      // client -> server, guaranteed: who hears this client from now on
  kFrame = 2,        // client -> server: one 10 ms Opus frame
  kTalkerFrame = 3,  // server -> client: a frame of one talker
};
constexpr std::uint32_t kMaxOpusBytes = 400;
constexpr std::size_t kFrameHeader = 4;        // type, flags, sequence
constexpr std::size_t kTalkerFrameHeader = 8;  // type, flags, sequence, talker

struct DecodedFrame {
  std::uint8_t flags = 0;
  std::uint16_t sequence = 0;
  net::DPNID talker = 0;  // kTalkerFrame only
  const std::uint8_t* opus = nullptr;
  std::uint32_t opus_size = 0;
};

// Encoders write into `out`, which holds at least 4 + 4 * kMaxTargets or 8 + kMaxOpusBytes
// bytes, and return the size.
inline std::uint32_t EncodeTargets(std::uint8_t* out, const net::DPNID* ids, std::uint32_t count) {
  out[0] = kTargets;
  out[1] = static_cast<std::uint8_t>(count);
  for (std::uint32_t i = 0; i < count; ++i) StoreU32(out + 2 + 4 * i, ids[i]);
  return 2 + 4 * count;
}

inline std::uint32_t EncodeFrame(std::uint8_t* out, std::uint8_t type, std::uint8_t flags,
                                 std::uint16_t sequence, net::DPNID talker,
                                 const std::uint8_t* opus, std::uint32_t size) {
  out[0] = type;
  out[1] = flags;
  StoreU16(out + 2, sequence);
  std::size_t header = kFrameHeader;
  if (type == kTalkerFrame) {
    StoreU32(out + 4, talker);
    header = kTalkerFrameHeader;
  }
  for (std::uint32_t i = 0; i < size; ++i) out[header + i] = opus[i];
  return static_cast<std::uint32_t>(header + size);
}

// A kFrame or kTalkerFrame with 1 to kMaxOpusBytes bytes of Opus; false for anything else.
inline bool DecodeFrame(const std::uint8_t* data, std::uint32_t size, DecodedFrame* out) {
  if (size < 1 || (data[0] != kFrame && data[0] != kTalkerFrame)) return false;
  const std::size_t header = data[0] == kTalkerFrame ? kTalkerFrameHeader : kFrameHeader;
  if (size <= header || size - header > kMaxOpusBytes) return false;
  out->flags = data[1];
  out->sequence = LoadU16(data + 2);
  out->talker = data[0] == kTalkerFrame ? LoadU32(data + 4) : 0;
  out->opus = data + header;
  out->opus_size = static_cast<std::uint32_t>(size - header);
  return true;
}

// A kTargets datagram: its count and ids, at most kMaxTargets; false when malformed.
inline bool DecodeTargets(const std::uint8_t* data, std::uint32_t size, net::DPNID* ids,
                          std::uint32_t* count) {
  if (size < 2 || data[0] != kTargets || data[1] > kMaxTargets) return false;
  if (size != 2u + 4u * data[1]) return false;
  *count = data[1];
  for (std::uint32_t i = 0; i < *count; ++i) ids[i] = LoadU32(data + 2 + 4 * i);
  return true;
}

}  // namespace talmeris::voice
