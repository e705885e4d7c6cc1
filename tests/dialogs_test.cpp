// The Configuration dialog (with Joystick Mapping and the password dialog), Player Information
// and the Profile Editor, through the recording window port and the fake transport.
#include <gtest/gtest.h>

#include <ctime>

#include "app/configuration_dialog.h"
#include "app/standing_dialogs.h"
#include "server/connect.h"
#include "server/protocol.h"
#include "server/server_link.h"
#include "support/fake_voice.h"
#include "support/test_client.h"

namespace talmeris {
namespace {

using test::TestClient;
constexpr WindowId kMain = TestClient::kMain;
constexpr WindowId kDlg = 20, kSub = 21;

class DialogsTest : public ::testing::Test {
 protected:
  DialogsTest() {
    t.ctx.main_window = kMain;
    t.network.CreateClient(&t.ctx.net.net_client);
    t.ctx.tables.own_player_slot = 3;
    t.ctx.settings = LoadSettings(t.ctx.File(kSettingsFileName), 5, nullptr);
  }
  // The messages sent to the server, cleared.
  std::vector<std::vector<std::uint8_t>> Sent() {
    std::vector<std::vector<std::uint8_t>> out;
    for (auto& s : t.network.ClientSends()) {
      EXPECT_EQ(s.flags & 0x8, 0x8u);  // guaranteed
      out.push_back(s.data);
    }
    t.network.ClearSends();
    return out;
  }
  static std::vector<std::uint8_t> Short(std::uint8_t type, float v1, float v2 = 0, float v3 = 0,
                                         float v4 = 0) {
    ShortMessage m{type, 0, v1, v2, v3, v4};
    auto b = m.Encode();
    return {b.begin(), b.end()};
  }
  static std::vector<std::uint8_t> Text(std::uint8_t type, std::uint8_t param,
                                        std::string_view text) {
    auto m = TextMessage::Make(type, param, text);
    return {m.bytes.begin(), m.bytes.end()};
  }
  void Click(const DialogProcedure& p, WindowId w, int control, int n = kNotifyClicked) {
    p.command(t.ctx, w, control, n);
  }
  PlayerRecord& Player(int slot) { return t.ctx.tables.roster[slot]; }
  std::string LastLog() { return t.ctx.event_log.Line(t.ctx.event_log.Count() - 1); }
  TestClient t;
};

TEST_F(DialogsTest, ConfigurationFillsSwitchesAndRewritesItsOffsetsOnClose) {
  const auto& p = kConfigurationDialogProcedure;
  Settings& s = t.ctx.settings;
  s.data_revision = 5;
  s.screen_width = 800;  // not in the list
  s.screen_height = 600;
  s.force_feedback = 1;
  s.propulsion_joystick = 1;
  p.init(t.ctx, kDlg);
  EXPECT_EQ(t.windows.Calls()[0], "title 20 Configuration [v173.005]");
  EXPECT_TRUE(t.windows.Checked(kDlg, kCtlCfgAuto));
  EXPECT_FALSE(t.windows.Checked(kDlg, kCtlCfgVoiceEnabled));
  EXPECT_EQ(t.windows.List(kDlg, kCtlCfgVideo).size(), 6u);
  EXPECT_EQ(t.windows.Selection(kDlg, kCtlCfgVideo), -1);
  // Keyboard clears force feedback and disables it with Mapping; Joystick enables both again
  // and leaves force feedback as it is.
  Click(p, kDlg, kCtlCfgKeyboard);
  EXPECT_EQ(s.force_feedback, 0);
  EXPECT_FALSE(t.windows.Enabled(kDlg, kCtlCfgForceFeedback));
  EXPECT_FALSE(t.windows.Enabled(kDlg, kCtlCfgMapping));
  Click(p, kDlg, kCtlCfgJoystick);
  EXPECT_TRUE(t.windows.Enabled(kDlg, kCtlCfgMapping));
  EXPECT_EQ(s.force_feedback, 0);
  // The mapping dialog changes memory only.
  kJoystickMappingDialogProcedure.init(t.ctx, kSub);
  EXPECT_TRUE(t.windows.Checked(kSub, kCtlMapThrottleZ));
  Click(kJoystickMappingDialogProcedure, kSub, kCtlMapThrottleX);
  Click(kJoystickMappingDialogProcedure, kSub, kCtlMapYawZ);
  Click(kJoystickMappingDialogProcedure, kSub, kCancelCommand);
  EXPECT_EQ(t.dir.Read("Client.cfg")[48], 0);
  EXPECT_TRUE(t.windows.Checked(kSub, kCtlMapThrottleX));
  // The joystick's "Hardware" starts the desktop's tool, or says what to install.
  Click(p, kDlg, kCtlCfgJoystickHardware);
  ASSERT_EQ(t.windows.Boxes().size(), 1u);
  EXPECT_NE(t.windows.Boxes()[0].text.find("install jstest-gtk"), std::string::npos);
  // Game help writes at once.
  Click(p, kDlg, kCtlCfgHelpDisable);
  EXPECT_EQ(t.dir.Read("Client.cfg")[128], 0x80);
  Click(p, kDlg, kCtlCfgHelpReset);
  EXPECT_EQ(t.dir.Read("Client.cfg")[128], 0);
  // Closing writes 0-5 and 42-49 from memory, whatever changed.
  Click(p, kDlg, kCtlCfgPtt);
  Click(p, kDlg, kCtlCfgFullscreen);
  Click(p, kDlg, kCancelCommand);
  EXPECT_EQ(t.windows.EndCode(kDlg), 0);
  const auto file = t.dir.Read("Client.cfg");
  EXPECT_EQ(file[1], 1);   // PTT
  EXPECT_EQ(file[4], 1);   // joystick
  EXPECT_EQ(file[5], 0);   // force feedback
  EXPECT_EQ(file[42], 0);  // start full screen, toggled off
  EXPECT_EQ(file[43] | file[44] << 8, 800);
  EXPECT_EQ(file[48], 1);
  EXPECT_EQ(file[49], 1);
  // Without a file the close still ends the dialog and says so in the log.
  std::filesystem::remove(t.dir.path() / "Client.cfg");
  p.init(t.ctx, kDlg + 1);
  Click(p, kDlg + 1, kCtlCfgVideo, kNotifySelChange);  // no selection: nothing changes
  EXPECT_EQ(s.screen_width, 800);
  t.windows.Selection(kDlg + 1, kCtlCfgVideo) = 5;
  Click(p, kDlg + 1, kCtlCfgVideo, kNotifySelChange);
  EXPECT_EQ(s.screen_height, 1024);
  Click(p, kDlg + 1, kCancelCommand);
  EXPECT_EQ(t.windows.EndCode(kDlg + 1), 0);
  EXPECT_EQ(LastLog(), "Could not save configuration change!");
}

TEST_F(DialogsTest, VoiceEnabledAndTheMicrophoneModesReachTheVoiceClient) {
  auto fake = std::make_unique<test::FakeVoiceClient>();
  test::FakeVoiceClient& voice = *fake;
  t.ctx.net.voice_client = std::move(fake);
  const auto& p = kConfigurationDialogProcedure;
  p.init(t.ctx, kDlg);
  // Off: checked from voice_enabled, and the tick will engage.
  Click(p, kDlg, kCtlCfgVoiceEnabled);
  EXPECT_EQ(t.ctx.settings.voice_enabled, 1);
  EXPECT_TRUE(t.windows.Checked(kDlg, kCtlCfgVoiceEnabled));
  // Connected: disconnects at once and shows the box cleared.
  t.ctx.voice_connected = true;
  Click(p, kDlg, kCtlCfgVoiceEnabled);
  EXPECT_EQ(voice.disconnects.size(), 1u);
  EXPECT_FALSE(t.windows.Checked(kDlg, kCtlCfgVoiceEnabled));
  EXPECT_EQ(LastLog(), "Disabled voice services...");
  Click(p, kDlg, kCtlCfgPtt);
  Click(p, kDlg, kCtlCfgAuto);
  EXPECT_EQ(voice.targets, (std::vector<std::vector<net::DPNID>>{{}, {0}}));
  EXPECT_EQ(voice.configs.back().flags, 0x28u);
  EXPECT_TRUE(t.windows.Checked(kDlg, kCtlCfgAuto));
}

TEST_F(DialogsTest, PasswordChecksInOrderSendsTheChangeAndRemembersOnlyWhenAsked) {
  const auto& p = kPasswordDialogProcedure;
  t.ctx.settings.login_password.Set("old");
  auto type = [&](const char* current, const char* wanted, const char* confirm) {
    t.windows.Text(kSub, kCtlPwCurrent) = current;
    t.windows.Text(kSub, kCtlPwNew) = wanted;
    t.windows.Text(kSub, kCtlPwConfirm) = confirm;
    Click(p, kSub, kIdOk);
  };
  p.init(t.ctx, kSub);
  // A mismatch is found before the current password is even compared.
  type("wrong", "new1", "new2");
  ASSERT_EQ(t.windows.Boxes().size(), 1u);
  EXPECT_EQ(t.windows.Boxes()[0].text,
            "The passwords you entered do not match, please try again...");
  EXPECT_EQ(t.windows.Boxes()[0].caption, "Password error!");
  EXPECT_EQ(t.windows.Boxes()[0].type, kMbOk);
  EXPECT_EQ(t.windows.Text(kSub, kCtlPwCurrent), "wrong");
  EXPECT_EQ(t.windows.Text(kSub, kCtlPwNew), "");
  type("wrong", "new", "new");
  EXPECT_EQ(t.windows.Boxes()[1].text, "Your current password does not match, please try again...");
  EXPECT_EQ(t.windows.Text(kSub, kCtlPwCurrent), "");
  EXPECT_EQ(t.windows.Text(kSub, kCtlPwNew), "new");
  EXPECT_TRUE(Sent().empty());
  // Not remembered: sent, but neither memory nor file follows.
  type("old", "new", "new");
  EXPECT_EQ(Sent(), std::vector<std::vector<std::uint8_t>>{Text(16, 0, "new")});
  EXPECT_EQ(t.windows.EndCode(kSub), 0);
  EXPECT_EQ(t.ctx.settings.login_password.View(), "old");
  // Remembered: memory and offset 24 take the new password.
  t.ctx.settings.remember_me = 1;
  p.init(t.ctx, kSub + 1);
  t.windows.Text(kSub + 1, kCtlPwCurrent) = "old";
  t.windows.Text(kSub + 1, kCtlPwNew) = t.windows.Text(kSub + 1, kCtlPwConfirm) = "";
  Click(p, kSub + 1, kIdOk);  // an empty password is sent as empty text
  EXPECT_EQ(Sent(), std::vector<std::vector<std::uint8_t>>{Text(16, 0, "")});
  EXPECT_EQ(t.ctx.settings.login_password.View(), "");
  EXPECT_EQ(t.dir.Read("Client.cfg")[24], 0);
  Click(p, kSub + 2, kCancelCommand);
  EXPECT_EQ(t.windows.EndCode(kSub + 2), kIdCancel);
}

TEST_F(DialogsTest, PlayerInformationShowsTheRecordAsksTheChairAndSendsChanges) {
  const auto& p = kPlayerInfoDialogProcedure;
  PlayerRecord& vega = Player(9);
  vega.handle.Set("vega");
  vega.rank.Set("Captain");
  vega.character_name.Set("Vega Marsh");
  vega.alliance_name.Set("Fenway");
  vega.allegiance = 7;
  vega.alignment = 2;
  vega.member_since = 0;
  t.ctx.tables.selected_player_slot = 9;
  p.init(t.ctx, kDlg);
  EXPECT_EQ(t.ctx.player_info_window.load(), kDlg);
  EXPECT_EQ(t.windows.Text(kDlg, kCtlInfoRankName), "Captain Vega Marsh");
  EXPECT_TRUE(t.windows.Checked(kDlg, kCtlInfoAllied));
  EXPECT_TRUE(t.windows.Enabled(kDlg, kCtlInfoJoin));  // she has an alliance, the user none
  EXPECT_EQ(t.windows.Text(kDlg, kCtlInfoMemberSince), "");
  // The choice already made sends nothing; Partner never asks.
  Click(p, kDlg, kCtlInfoAllied);
  Click(p, kDlg, kCtlInfoPartner);
  EXPECT_EQ(Sent(), std::vector<std::vector<std::uint8_t>>{Short(8, 9, 3)});
  EXPECT_EQ(vega.alignment, 3);
  // A chair of the same alliance (any case) is cautioned; No changes nothing.
  Player(3).allegiance = kChairAllegiance;
  Player(3).alliance_name.Set("FENWAY");
  t.windows.box_answers = {kIdNo, kIdYes};
  Click(p, kDlg, kCtlInfoEnemy);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(t.windows.Boxes().back().caption, "Alliance Caution");
  EXPECT_EQ(t.windows.Boxes().back().text,
            "Changing this player to \"enemy\" will remove them from your alliance.  Do you "
            "wish to continue?");
  Click(p, kDlg, kCtlInfoNeutral);
  EXPECT_EQ(Sent(), std::vector<std::vector<std::uint8_t>>{Short(8, 9, 1)});
  // A chair of another alliance is not cautioned.
  Player(3).alliance_name.Set("The Hoard");
  Click(p, kDlg, kCtlInfoEnemy);
  EXPECT_EQ(Sent(), std::vector<std::vector<std::uint8_t>>{Short(8, 9, 0)});
  EXPECT_EQ(t.windows.Boxes().size(), 2u);
  // A member (not chair) viewing an allied player may move her between Partner and Allied only.
  Player(3).allegiance = 7;
  vega.alignment = 2;
  p.refresh(t.ctx, kDlg);
  EXPECT_TRUE(t.windows.Enabled(kDlg, kCtlInfoPartner));
  EXPECT_TRUE(t.windows.Enabled(kDlg, kCtlInfoAllied));
  EXPECT_FALSE(t.windows.Enabled(kDlg, kCtlInfoNeutral));
  EXPECT_FALSE(t.windows.Enabled(kDlg, kCtlInfoEnemyText));
  // Viewing a neutral player, nothing at all.
  vega.alignment = 1;
  vega.member_since = 1700000000;
  p.refresh(t.ctx, kDlg);
  for (int c : {kCtlInfoPartner, kCtlInfoAllied, kCtlInfoNeutral, kCtlInfoEnemy,
                kCtlInfoPartnerText, kCtlInfoEnemyText})
    EXPECT_FALSE(t.windows.Enabled(kDlg, c)) << c;
  EXPECT_FALSE(t.windows.Enabled(kDlg, kCtlInfoJoin));
  EXPECT_EQ(t.windows.Text(kDlg, kCtlInfoMemberSince), MemberSinceText(1700000000));
  EXPECT_EQ(MemberSinceText(1700000000).size(), 24u);
  // Joining asks, then sends the join form with her allegiance.
  Player(3).allegiance = 0;
  t.windows.box_answers = {kIdYes};
  Click(p, kDlg, kCtlInfoJoin);
  EXPECT_EQ(Sent(), std::vector<std::vector<std::uint8_t>>{Short(13, 7)});
  EXPECT_FALSE(t.windows.Enabled(kDlg, kCtlInfoJoin));
  Click(p, kDlg, kCtlInfoVoiceInclude);
  EXPECT_EQ(vega.voice_include, 1);
  Click(p, kDlg, kCancelCommand);
  EXPECT_EQ(t.ctx.player_info_window.load(), kNoWindow);
  EXPECT_EQ(t.windows.EndCode(kDlg), kIdCancel);
}

TEST_F(DialogsTest, ProfileEditorCharacterHalfCommitsOnceAndAllianceActionsAsk) {
  const auto& p = kProfileEditorDialogProcedure;
  PlayerRecord& me = Player(3);
  me.handle.Set("pilot");
  me.gender = 0;
  p.init(t.ctx, kDlg);
  EXPECT_TRUE(t.windows.Checked(kDlg, kCtlRandom));
  EXPECT_TRUE(t.windows.Enabled(kDlg, kCtlProfCreate));
  EXPECT_FALSE(t.windows.Enabled(kDlg, kCtlProfLeave));
  EXPECT_FALSE(t.windows.Enabled(kDlg, kCtlProfGiveUpChair));
  EXPECT_EQ(t.windows.Text(kDlg, kCtlProfTax), "");
  // Commit needs a name and Male or Female.
  t.windows.Text(kDlg, kCtlName) = "ANN LEE";
  Click(p, kDlg, kCtlName, kNotifyEditChange);
  EXPECT_FALSE(t.windows.Enabled(kDlg, kCtlCommit));
  t.windows.Checked(kDlg, kCtlRandom) = false;
  t.windows.Checked(kDlg, kCtlFemale) = true;
  Click(p, kDlg, kCtlFemale);
  EXPECT_TRUE(t.windows.Enabled(kDlg, kCtlCommit));
  Click(p, kDlg, kCtlSuggest);
  auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(ShortMessage::Decode(sent[0].data()).type, 9);
  EXPECT_EQ(ShortMessage::Decode(sent[0].data()).value1, 2.0f);
  EXPECT_FALSE(t.windows.Enabled(kDlg, kCtlSuggest));
  Click(p, kDlg, kCtlCommit);
  EXPECT_EQ(Sent(), std::vector<std::vector<std::uint8_t>>{Text(12, 2, "ANN LEE")});
  EXPECT_EQ(me.gender, 2);
  EXPECT_EQ(me.character_name.View(), "ANN LEE");
  // Alliance: an empty name is refused; a declined confirmation sends nothing.
  t.windows.box_answers = {kIdOk, kIdNo, kIdYes};
  Click(p, kDlg, kCtlProfCreate);
  EXPECT_EQ(t.windows.Boxes().back().caption, "Check Alliance Field");
  t.windows.Text(kDlg, kCtlProfAllianceName) = "The Hoard";
  Click(p, kDlg, kCtlProfCreate);
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(me.alliance_name.View(), "The Hoard");
  EXPECT_EQ(me.allegiance, 0);
  Click(p, kDlg, kCtlProfCreate);
  EXPECT_EQ(Sent(), std::vector<std::vector<std::uint8_t>>{Text(10, 0, "The Hoard")});
  EXPECT_EQ(me.allegiance, kChairAllegiance);
  // Remove: nothing for an empty field; the handle otherwise, and the field empties.
  Click(p, kDlg, kCtlProfRemove);
  t.windows.Text(kDlg, kCtlProfMember) = "orrin";
  Click(p, kDlg, kCtlProfRemove);
  EXPECT_EQ(Sent(), std::vector<std::vector<std::uint8_t>>{Text(20, 0, "orrin")});
  EXPECT_EQ(t.windows.Text(kDlg, kCtlProfMember), "");
  // The refill of a chair: rates editable, the character locked for good.
  me.tax_rate = 10;
  p.refresh(t.ctx, kDlg);
  EXPECT_EQ(t.windows.Text(kDlg, kCtlProfTax), "10");
  EXPECT_TRUE(t.windows.Enabled(kDlg, kCtlProfGiveUpChair));
  EXPECT_FALSE(t.windows.Enabled(kDlg, kCtlCommit));
  t.windows.box_answers = {kIdYes};
  Click(p, kDlg, kCtlProfGiveUpChair);
  EXPECT_EQ(Sent(), std::vector<std::vector<std::uint8_t>>{Short(13, 65535, 0, 0, 1)});
}

TEST_F(DialogsTest, ProfileEditorCloseRefusesRatesAboveAHundredInOrder) {
  const auto& p = kProfileEditorDialogProcedure;
  PlayerRecord& me = Player(3);
  me.allegiance = kChairAllegiance;
  me.tax_rate = 10;
  me.redistribution = 5;
  p.init(t.ctx, kDlg);
  Click(p, kDlg, kCancelCommand);  // untouched: nothing sent, closed
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(t.windows.EndCode(kDlg), kIdCancel);
  EXPECT_EQ(t.ctx.profile_editor_window.load(), kNoWindow);

  p.init(t.ctx, kDlg + 1);
  t.windows.Text(kDlg + 1, kCtlProfTax) = "150";
  t.windows.Text(kDlg + 1, kCtlProfDiscount) = "4294967295";
  Click(p, kDlg + 1, kCancelCommand);
  EXPECT_EQ(t.windows.Boxes().back().text, "The tax/dues rate can not exceed 100%!");
  EXPECT_EQ(t.windows.Boxes().back().caption, "Could not save!");
  EXPECT_EQ(me.tax_rate, 100);
  EXPECT_EQ(t.windows.EndCode(kDlg + 1), -1);
  t.windows.Text(kDlg + 1, kCtlProfTax) = "50";
  Click(p, kDlg + 1, kCancelCommand);
  EXPECT_EQ(t.windows.Boxes().back().text, "The discount rate can not exceed 100%!");
  t.windows.Text(kDlg + 1, kCtlProfDiscount) = "100";
  Click(p, kDlg + 1, kCancelCommand);
  EXPECT_EQ(t.windows.Boxes().back().caption, "Profile updated!");
  EXPECT_EQ(Sent(), std::vector<std::vector<std::uint8_t>>{Short(13, 100, 50, 5, 3)});
  EXPECT_EQ(t.windows.EndCode(kDlg + 1), kIdCancel);

  // Without an alliance the empty fields read as zero: non-zero rates are sent as zeros.
  me.allegiance = 0;
  p.init(t.ctx, kDlg + 2);
  Click(p, kDlg + 2, kCancelCommand);
  EXPECT_EQ(Sent(), std::vector<std::vector<std::uint8_t>>{Short(13, 0, 0, 0, 3)});
}

}  // namespace
}  // namespace talmeris
