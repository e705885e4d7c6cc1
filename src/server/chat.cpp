#include "server/chat.h"

#include "state/context.h"

namespace talmeris {

void SendChatLine(ClientContext& ctx, std::string_view text, bool /*relay_to_peers*/) {
  if (text.empty()) return;
  // Filtering, cutting and sending arrive with the chat issue; the line is echoed meanwhile.
  float flood = ctx.flood_counter.load();
  while (!ctx.flood_counter.compare_exchange_weak(flood, flood + 1.0f)) {
  }
  ctx.event_log.Add(ctx.main_window.load(), text);
}

}  // namespace talmeris
