// Any payload of any size into the server message handler; a one-byte input is instead the
// connect's completion (with one of several results) or the session's loss, as the transport
// reports them, so they interleave with the messages across inputs.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "null_ports.h"
#include "server/server_link.h"

namespace {

struct Harness {
  talmeris::fuzz::NullWindows windows;
  talmeris::voice::NullVoiceSystem voice;
  talmeris::ClientContext ctx{talmeris::Ports{&windows, nullptr, &voice, nullptr, nullptr},
                              std::filesystem::temp_directory_path() / "talmeris-fuzz"};
  Harness() {
    std::filesystem::create_directories(ctx.install_dir);
    ctx.user_config_home = ctx.install_dir / "config";
    ctx.net.peer_server = std::make_unique<talmeris::fuzz::NullServer>();
    ctx.peer_host_active = true;
    ctx.peer_slots[0].in_use = 1;
    ctx.peer_slots[0].kind = 2;
    ctx.peer_slots[0].dpnid = 9;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness harness;
  if (size == 0 || size > talmeris::net::kMaxPayload) return 0;
  using talmeris::net::MessageId;
  if (size == 1) {
    static constexpr talmeris::net::HRESULT kResults[] = {
        talmeris::net::DPN_OK, talmeris::net::DPNERR_NORESPONSE,
        talmeris::net::DPNERR_HOSTREJECTEDCONNECTION, talmeris::net::DPNERR_INVALIDAPPLICATION};
    const bool lost = data[0] & 0x80;
    if (!lost) harness.ctx.connect_stage = static_cast<std::int16_t>(8 + (data[0] & 1));
    talmeris::net::Message m{lost ? MessageId::TerminateSession : MessageId::ConnectComplete,
                             kResults[(data[0] >> 1) % 4], 0, nullptr, 0};
    talmeris::OnServerMessage(&harness.ctx, m);
    return 0;
  }
  // The handler may keep nothing of the transport's buffer: give it an exact-size copy.
  auto copy = std::make_unique<std::uint8_t[]>(size);
  std::copy(data, data + size, copy.get());
  harness.ctx.tables.own_player_slot = data[0];
  harness.ctx.tables.own_vessel_slot = data[size - 1];
  talmeris::net::Message m{MessageId::Receive, 0, 1, copy.get(), static_cast<std::uint32_t>(size)};
  talmeris::OnServerMessage(&harness.ctx, m);
  return 0;
}
