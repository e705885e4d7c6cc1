// Voice datagrams as a server (or anyone on the session) may send them, through the same
// decoding and talker path the voice thread runs; and the audio setup file with any content.
// The input is a sequence of datagrams, each a length byte and that many bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "voice/audio_device_port.h"
#include "voice/talker.h"
#include "voice/voice_engine.h"
#include "voice/voice_wire.h"

using namespace talmeris;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A handful of talkers, as the voice thread keeps them, on a frame clock the input moves.
  std::unique_ptr<voice::Talker> talkers[4];
  std::int64_t now = 1;
  std::int16_t out[voice::kFrameSamples];
  for (std::size_t at = 0; at < size;) {
    const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
    const std::uint8_t* datagram = data + at + 1;
    at += 1 + length;
    net::DPNID ids[voice::kMaxTargets];
    std::uint32_t count = 0;
    if (voice::DecodeTargets(datagram, static_cast<std::uint32_t>(length), ids, &count) &&
        count > voice::kMaxTargets)
      std::abort();
    voice::DecodedFrame frame;
    if (voice::DecodeFrame(datagram, static_cast<std::uint32_t>(length), &frame)) {
      if (frame.opus_size == 0 || frame.opus_size > voice::kMaxOpusBytes ||
          frame.opus + frame.opus_size > datagram + length)
        std::abort();
      auto& t = talkers[frame.talker % 4];
      if (!t) t = std::make_unique<voice::Talker>();
      t->Put(frame.sequence, frame.opus, frame.opus_size, now);
    }
    // The voice thread takes one frame from each talker per 20 ms: sometimes several
    // datagrams arrive within one frame, sometimes frames pass between two.
    for (std::size_t step = 0; step < length % 3; ++step) {
      ++now;
      for (auto& t : talkers) {
        if (t) t->Next(out, now);
      }
    }
  }
  // The same bytes as the audio setup file: its levels stay in range.
  voice::AudioSetup setup;
  if (voice::ParseAudioSetup(std::string_view(reinterpret_cast<const char*>(data), size), &setup)) {
    if (!(setup.open_db >= -90.0f && setup.open_db <= 0.0f && setup.close_db <= setup.open_db))
      std::abort();
  }
  return 0;
}
