// The chat path: typed and peer chat lines on their way to the server, with the profanity filter
// and the cutting into pieces that fit the chat message and the chat display.
#pragma once

#include <string_view>

namespace talmeris {
struct ClientContext;

constexpr std::size_t kChatWordMax = 40;   // a longer run of characters is several words
constexpr std::size_t kChatPieceMax = 76;  // characters of words and inner gaps in one piece
constexpr std::size_t kChatFieldMax = 77;  // characters the ChatLine's text field holds
constexpr int kChatDisplayWidth = 500;     // pixels of the chat display

// Sends one line: each filtered word reported, the line cut into pieces, each piece sent to the
// server (and, with relay_to_peers, to the peers) and echoed. An empty line does nothing. Typed
// lines and peer lines never run at the same time (chat_lock).
void SendChatLine(ClientContext& ctx, std::string_view line, bool relay_to_peers);

// True when `word` is on the profanity list, or is the pair's second word after its first.
bool IsProfane(std::string_view word, std::string_view previous_word);

}  // namespace talmeris
