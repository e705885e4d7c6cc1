// Voice forwarding: who is signed in for voice, and each talker's frames to its targets.
#include "devserver_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/bytes.h"
#include "net/enet_transport.h"
#include "server/protocol.h"
#include "server/server_link.h"
#include "voice/voice_wire.h"

namespace talmeris::devserver {

using namespace net;

void DevServer::SetVoiceListener(DPNID id, bool signed_in) {
  std::lock_guard lock(voice_mutex_);
  if (signed_in) {
    voice_players_[id].signed_in = true;
  } else {
    voice_players_.erase(id);
  }
}

void DevServer::OnVoice(void* self_ptr, DPNID from, const std::uint8_t* data, std::uint32_t size) {
  auto* self = static_cast<DevServer*>(self_ptr);
  if (size < 1) return;
  if (data[0] == voice::kTargets) {
    DPNID ids[voice::kMaxTargets];
    std::uint32_t count = 0;
    if (!voice::DecodeTargets(data, size, ids, &count)) return;
    {
      std::lock_guard lock(self->voice_mutex_);
      auto it = self->voice_players_.find(from);
      if (it == self->voice_players_.end()) return;  // not signed in
      it->second.targets.assign(ids, ids + count);
    }
    std::string line = "voice " + std::to_string(from) + " talks to";
    if (count == 0) line += " nobody";
    for (std::uint32_t i = 0; i < count; ++i)
      line += ids[i] == 0 ? " everyone" : " " + std::to_string(ids[i]);
    self->Log(line);
    return;
  }
  voice::DecodedFrame frame;
  if (!voice::DecodeFrame(data, size, &frame) || data[0] != voice::kFrame) return;
  std::uint8_t out[voice::kTalkerFrameHeader + voice::kMaxOpusBytes];
  const std::uint32_t n = voice::EncodeFrame(out, voice::kTalkerFrame, frame.flags, frame.sequence,
                                             from, frame.opus, frame.opus_size);
  // The listeners are collected first; the sends leave with the lock released.
  DPNID listeners[64];
  std::size_t count = 0;
  {
    std::lock_guard lock(self->voice_mutex_);
    auto talker = self->voice_players_.find(from);
    if (talker == self->voice_players_.end()) return;
    for (auto& [id, player] : self->voice_players_) {
      if (id == from || !player.signed_in || count == std::size(listeners)) continue;
      const auto& t = talker->second.targets;
      if (std::find(t.begin(), t.end(), 0u) != t.end() ||
          std::find(t.begin(), t.end(), id) != t.end())
        listeners[count++] = id;
    }
  }
  for (std::size_t i = 0; i < count; ++i) self->server_->SendVoiceTo(listeners[i], out, n, false);
}

}  // namespace talmeris::devserver
