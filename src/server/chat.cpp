#include "server/chat.h"

#include <string>

#include "server/protocol.h"
#include "server/server_link.h"
#include "state/context.h"
#include "state/sessions.h"

namespace talmeris {
namespace {

// The words the chat filter replaces: 26 single words and one pair, of which only the second
// word is replaced and only right after the first.
constexpr std::string_view kProfanity[] = {
    "bastard",  "bitch",    "bloody",       "bollocks", "bugger", "bullshit", "crap",
    "damn",     "dickhead", "douchebag",    "fuck",     "fucker", "fucking",  "goddamn",
    "hell",     "jackass",  "motherfucker", "piss",     "pissed", "prick",    "shit",
    "shithead", "slut",     "twat",         "wanker",   "whore"};
static_assert(std::size(kProfanity) == 26);
constexpr std::string_view kPairFirst = "dumb";
constexpr std::string_view kPairSecond = "ass";
constexpr std::string_view kReplacement = "expletive";

// Whole-word equality with the letters A-Z and a-z taken as the same; every other byte exact.
bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

struct Sender {
  FixedText<13> handle;
  std::uint8_t own_player = 0;
  std::uint8_t own_vessel = 0;
};

void Emit(ClientContext& ctx, const std::string& piece, bool relay_to_peers, const Sender& s) {
  // A piece can reach 78 characters (76 and a two-space gap) but the field holds 77: the
  // trailing gap is cut, and the echo shows what was sent.
  const std::string_view text = std::string_view(piece).substr(0, kChatFieldMax);
  TextMessage m = TextMessage::Make(kChatLine, s.own_player, text);
  m.bytes[84] = s.own_vessel;
  SendToServer(ctx, m.bytes.data(), TextMessage::kSize, true, 0);
  if (relay_to_peers) {
    SendToPeer(ctx, net::DPNID_ALL_PLAYERS_GROUP, m.bytes.data(), TextMessage::kSize, true, 0);
  }
  ctx.event_log.AddFormat(ctx.main_window.load(), "[%s]: %.*s", s.handle.bytes,
                          static_cast<int>(text.size()), text.data());
}

}  // namespace

bool IsProfane(std::string_view word, std::string_view previous_word) {
  for (std::string_view entry : kProfanity) {
    if (SameWord(word, entry)) return true;
  }
  return SameWord(word, kPairSecond) && SameWord(previous_word, kPairFirst);
}

void SendChatLine(ClientContext& ctx, std::string_view line, bool relay_to_peers) {
  if (line.empty()) return;
  std::lock_guard chat(ctx.chat_lock);
  float flood = ctx.flood_counter.load();
  while (!ctx.flood_counter.compare_exchange_weak(flood, flood + 1.0f)) {
  }

  Sender sender;
  sender.own_player = ctx.tables.own_player_slot.load();
  sender.own_vessel = ctx.tables.own_vessel_slot.load();
  if (ValidPlayerSlot(sender.own_player)) {
    PlayerRecord& p = ctx.tables.roster[sender.own_player];
    std::lock_guard lock(p.lock);
    sender.handle = p.handle;
  }

  std::string piece, measured;
  piece.reserve(kChatPieceMax + 2);
  for (;;) {
    const std::string previous(ctx.last_chat_word.View());
    std::size_t at = 0;
    while (at < line.size() && IsSpace(line[at])) ++at;
    line.remove_prefix(at);
    if (line.empty()) break;
    std::size_t length = 0;
    while (length < line.size() && length < kChatWordMax && !IsSpace(line[length])) ++length;
    std::string word(line.substr(0, length));
    line.remove_prefix(length);
    if (IsProfane(word, previous)) {
      word = kReplacement;
      ShortMessage report{kExpletiveReport, 0, 3.0f};
      auto bytes = report.Encode();
      SendToServer(ctx, bytes.data(), bytes.size(), true, 0);
    }
    ctx.last_chat_word.Set(word);
    std::size_t spaces = 0;
    while (spaces < line.size() && line[spaces] == ' ') ++spaces;
    line.remove_prefix(spaces);
    const std::string_view gap = std::string_view("  ").substr(0, std::min<std::size_t>(spaces, 2));

    // The echo of a piece ending with this word, in another order: "[]: " piece word handle.
    measured = "[]: ";
    measured += piece;
    measured += word;
    measured += sender.handle.View();
    const bool fits = ctx.ports.windows->TextWidth(measured) <= kChatDisplayWidth &&
                      piece.size() + word.size() <= kChatPieceMax;
    if (!fits) {
      Emit(ctx, piece, relay_to_peers, sender);
      piece.clear();
    }
    piece += word;
    piece += gap;
  }
  Emit(ctx, piece, relay_to_peers, sender);
}

}  // namespace talmeris
