// The chat path out (filter, pieces, sends, echoes) and in (alignment filter, notices, offline
// messages), on fakes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "server/chat.h"
#include "server/protocol.h"
#include "server/server_link.h"
#include "server/text_fields.h"
#include "support/test_client.h"

namespace talmeris {
namespace {

using test::TestClient;
constexpr WindowId kMain = TestClient::kMain;

class ChatTest : public ::testing::Test {
 protected:
  ChatTest() {
    t.ctx.main_window = kMain;
    t.network.CreateClient(&t.ctx.net.net_client);
    t.network.CreateServer(&t.ctx.net.peer_server);
    t.ctx.tables.own_player_slot = 3;
    t.ctx.tables.own_vessel_slot = 9;
    t.ctx.peer_host_active = true;
    t.ctx.tables.roster[3].handle.Set("quill");
  }
  // What went to the server, in order: "X" for an ExpletiveReport, else the ChatLine's text.
  std::vector<std::string> Sent() {
    std::vector<std::string> out;
    for (auto& s : t.network.ClientSends()) {
      if (s.data.size() == ShortMessage::kSize && s.data[0] == kExpletiveReport) {
        auto m = ShortMessage::Decode(s.data.data());
        EXPECT_EQ(m.value1, 3.0f);
        out.push_back("X");
      } else if (s.data.size() == TextMessage::kSize && s.data[0] == kChatLine) {
        EXPECT_EQ(s.data[1], 3);   // own player slot
        EXPECT_EQ(s.data[84], 9);  // own vessel slot
        EXPECT_EQ(s.flags & 0x8, 0x8u);
        out.emplace_back(MessageText(s.data.data() + 4, 84));
      }
    }
    t.network.ClearSends();
    return out;
  }
  std::vector<std::string> Echoes() {
    std::vector<std::string> out;
    for (int i = 0; i < t.ctx.event_log.Count(); ++i) out.emplace_back(t.ctx.event_log.Line(i));
    return out;
  }
  // `text` fills the 84-byte field; one of exactly 84 characters leaves no NUL in it.
  void Text(std::uint8_t type, std::uint8_t param, std::string_view text) {
    auto m = TextMessage::Make(type, param, text);
    if (text.size() >= TextMessage::kTextSize)
      std::copy_n(text.begin(), TextMessage::kTextSize, m.bytes.begin() + TextMessage::kTextOffset);
    net::Message msg{net::MessageId::Receive, net::DPN_OK, 1, m.bytes.data(), TextMessage::kSize};
    OnServerMessage(&t.ctx, msg);
  }
  TestClient t;
};

TEST_F(ChatTest, WordsAreFilteredWholeCaseFoldedAndThePairAcrossLines) {
  SendChatLine(t.ctx, "", true);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(t.ctx.flood_counter.load(), 0.0f);

  SendChatLine(t.ctx, "  oh SHIT and Damn, damn.   dumb   ass shitty ass", true);
  EXPECT_EQ(t.network.ServerSends().size(), 1u);  // relayed to the peers too
  // Leading spaces dropped, three spaces sent as two, punctuation keeps a word, "ass" only after
  // "dumb", a word containing a listed word kept; each report before its line.
  EXPECT_EQ(Sent(), (std::vector<std::string>{
                        "X", "X", "oh expletive and Damn, damn.  dumb  expletive shitty ass"}));
  EXPECT_EQ(t.ctx.flood_counter.load(), 1.0f);
  EXPECT_EQ(Echoes().back(), "[quill]: oh expletive and Damn, damn.  dumb  expletive shitty ass");

  SendChatLine(t.ctx, "so dumb", false);
  SendChatLine(t.ctx, "ass ", false);  // the pair across two lines; one trailing space kept
  EXPECT_TRUE(t.network.ServerSends().empty());  // a peer's own line is not relayed back
  EXPECT_EQ(Sent(), (std::vector<std::string>{"so dumb", "X", "expletive "}));

  SendChatLine(t.ctx, "     ", true);  // spaces only: one empty line
  EXPECT_EQ(Sent(), (std::vector<std::string>{""}));
  EXPECT_EQ(Echoes().back(), "[quill]: ");
}

TEST_F(ChatTest, LongLinesAreCutIntoPiecesThatFitTheFieldAndTheDisplay) {
  // A run of 100 letters is three words of 40, 40 and 20, re-joined without spaces.
  SendChatLine(t.ctx, std::string(100, 'a'), true);
  EXPECT_EQ(Sent(), (std::vector<std::string>{std::string(40, 'a'), std::string(60, 'a')}));

  // 255 characters of short words: several pieces in order, none past 77 characters, each
  // echoed, and together the whole line. The measure is 6 pixels a letter.
  std::string line;
  while (line.size() < 250) line += "word" + std::to_string(line.size()) + " ";
  line.resize(255);
  SendChatLine(t.ctx, line, true);
  auto pieces = Sent();
  ASSERT_GE(pieces.size(), 4u);
  std::string joined;
  for (const auto& p : pieces) {
    EXPECT_LE(p.size(), kChatFieldMax);
    joined += p;
  }
  EXPECT_EQ(joined, line);
  auto echoes = Echoes();
  ASSERT_GE(echoes.size(), pieces.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_EQ(echoes[echoes.size() - pieces.size() + i], "[quill]: " + pieces[i]);
  }

  // A 76-character piece with a two-space gap passes the field: the gap is cut. (A short handle,
  // so that the display is not the limit.)
  t.ctx.tables.roster[3].handle.Set("q");
  SendChatLine(t.ctx, std::string(36, 'b') + " " + std::string(39, 'c') + "  " + "d", true);
  pieces = Sent();
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], std::string(36, 'b') + " " + std::string(39, 'c') + " ");
  EXPECT_EQ(pieces[1], "d");

  // Wide letters (M 9 pixels, W 12): the display, not the field, cuts. A first word wider than
  // the display on its own is preceded by an empty line.
  t.ctx.tables.roster[3].handle.Set("quill");
  SendChatLine(t.ctx, std::string(40, 'M') + " " + std::string(20, 'M'), true);
  EXPECT_EQ(Sent(), (std::vector<std::string>{std::string(40, 'M') + " ", std::string(20, 'M')}));
  SendChatLine(t.ctx, std::string(40, 'W'), true);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"", std::string(40, 'W')}));
}

TEST_F(ChatTest, LinesFromTheServerFollowTheAlignmentFilter) {
  PlayerRecord& neutral = t.ctx.tables.roster[4];
  neutral.handle.Set("Quill");
  neutral.alignment = 1;
  PlayerRecord& partner = t.ctx.tables.roster[5];
  partner.handle.Set("Wren");
  partner.alignment = 3;

  Text(kChatLine, 4, "hi");
  EXPECT_EQ(Echoes().back(), "[Quill]: hi");
  t.ctx.settings.player_list_filter = 2;  // allies and better
  Text(kChatLine, 4, "dropped");
  Text(kChatLine, 5, "kept");
  Text(kChatLine, 40, "from no slot");  // outside the roster: dropped
  EXPECT_EQ(Echoes().back(), "[Wren]: kept");
  EXPECT_EQ(t.ctx.event_log.Count(), 2);
  EXPECT_EQ(t.network.ServerSends().size(), 2u);  // each shown line relayed to the peers
  t.ctx.settings.player_list_filter = 4;          // individual: nothing from the server
  Text(kChatLine, 5, "hidden");
  EXPECT_EQ(t.ctx.event_log.Count(), 2);
  t.ctx.settings.player_list_filter = -1;  // a signed byte from the file: everyone
  neutral.alignment = 0;
  Text(kChatLine, 4, std::string(83, 'z'));
  EXPECT_EQ(Echoes().back(), "[Quill]: " + std::string(83, 'z').substr(0, 89));

  // A notice is owned by the player-information dialog, else the profile editor, else main.
  Text(kServerNotice, 0, "maintenance at noon");
  t.ctx.profile_editor_window = 61;
  Text(kServerNotice, 0, "second");
  t.ctx.player_info_window = 60;
  Text(kServerNotice, 0, "third");
  // A field filled to its end is shown whole, and nothing past it.
  Text(kServerNotice, 0, std::string(84, 'n') + "past");
  auto boxes = t.windows.Boxes();
  ASSERT_EQ(boxes.size(), 4u);
  EXPECT_EQ(boxes[3].text, std::string(84, 'n'));
  EXPECT_EQ(boxes[0].owner, kMain);
  EXPECT_EQ(boxes[0].caption, "Server Message");
  EXPECT_EQ(boxes[0].text, "maintenance at noon");
  EXPECT_EQ(boxes[0].type, kMbOk);
  EXPECT_EQ(boxes[1].owner, 61u);
  EXPECT_EQ(boxes[2].owner, 60u);
}

}  // namespace
}  // namespace talmeris
