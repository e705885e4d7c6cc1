// The chat path: typed and peer chat lines on their way to the server.
#pragma once

#include <string_view>

namespace talmeris {
struct ClientContext;

// Sends one typed line. An empty line is ignored. Each transmission feeds the flood check.
void SendChatLine(ClientContext& ctx, std::string_view text, bool relay_to_peers);

}  // namespace talmeris
