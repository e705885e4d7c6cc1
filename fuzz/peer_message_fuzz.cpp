// Any payload from any peer, and the admission events, into the peer handler.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "null_ports.h"
#include "peers/peer_handler.h"

namespace {

class NullLauncher final : public talmeris::ProgramLauncher {
 public:
  bool Start(std::string_view) override { return false; }
};

struct Harness {
  talmeris::fuzz::NullWindows windows;
  talmeris::voice::NullVoiceSystem voice;
  NullLauncher launcher;
  talmeris::ClientContext ctx{talmeris::Ports{&windows, nullptr, &voice, &launcher, nullptr},
                              std::filesystem::temp_directory_path() / "talmeris-fuzz"};
  Harness() {
    ctx.net.peer_server = std::make_unique<talmeris::fuzz::NullServer>();
    ctx.peer_host_active = true;
    ctx.peer_drain_sleep_ms = 0;
  }
};

}  // namespace

// The first byte picks the event and the sender; the rest is the payload.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness harness;
  if (size < 2 || size > talmeris::net::kMaxPayload) return 0;
  using talmeris::net::MessageId;
  const talmeris::net::DPNID sender = 0x100 + (data[0] & 0x07);
  const MessageId id = (data[0] & 0xC0) == 0x40   ? MessageId::CreatePlayer
                       : (data[0] & 0xC0) == 0x80 ? MessageId::DestroyPlayer
                                                  : MessageId::Receive;
  harness.ctx.tables.own_vessel_slot = data[1];
  harness.ctx.tables.own_player_slot = static_cast<std::uint8_t>(data[1] ^ 0x21);
  auto copy = std::make_unique<std::uint8_t[]>(size - 1);
  std::copy(data + 1, data + size, copy.get());
  talmeris::net::Message m{id, 0, sender, copy.get(), static_cast<std::uint32_t>(size - 1)};
  talmeris::OnPeerMessage(&harness.ctx, m);
  return 0;
}
