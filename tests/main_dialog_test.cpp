#include <gtest/gtest.h>

#include "app/main_dialog.h"
#include "app/startup.h"
#include "support/test_client.h"

namespace talmeris {
namespace {

using test::TestClient;
constexpr WindowId kMain = TestClient::kMain;

class MainDialogTest : public ::testing::Test {
 protected:
  MainDialogTest() {
    t.ctx.settings = LoadSettings(t.ctx.File(kSettingsFileName), 1, nullptr);
    kMainDialogProcedure.init(t.ctx, kMain);
  }
  void Command(int control, int notification = kNotifyClicked) {
    kMainDialogProcedure.command(t.ctx, kMain, control, notification);
  }
  void SelectFilter(int index) {
    t.windows.Selection(kMain, kCtlFilter) = index;
    Command(kCtlFilter, kNotifySelChange);
  }
  void Online(int slot, const char* handle, int alignment) {
    PlayerRecord& p = t.ctx.tables.roster[slot];
    p.online = 1;
    p.handle.Set(handle);
    p.alignment = static_cast<std::int8_t>(alignment);
    p.voice_include = 1;
  }
  std::vector<std::string> Listed() { return t.windows.List(kMain, kCtlPlayerList); }
  TestClient t;
};

TEST_F(MainDialogTest, InitialisationFillsTheFilterAndFocusesTheChat) {
  EXPECT_EQ(t.ctx.main_window.load(), kMain);
  EXPECT_EQ(
      t.windows.List(kMain, kCtlFilter),
      (std::vector<std::string>{"Everyone", "No Enemies", "Allies", "Partners", "Individual"}));
  EXPECT_EQ(t.windows.Selection(kMain, kCtlFilter), 0);
  EXPECT_EQ(t.windows.CountCalls("limit 7:1032 255"), 1);
  EXPECT_EQ(t.windows.Calls().back(), "focus 7:1032");
}

TEST_F(MainDialogTest, FilterChangeSavesOnceAndNoticesOnlyForFiltering) {
  Online(0, "enemy", 0);
  Online(1, "ally", 2);
  SelectFilter(2);
  EXPECT_EQ(t.dir.Read("Client.cfg")[7], 2);
  EXPECT_EQ(Listed(), (std::vector<std::string>{"ally"}));
  EXPECT_EQ(t.ctx.tables.roster[0].voice_include, 0);
  EXPECT_EQ(t.ctx.tables.roster[1].voice_include, 1);
  ASSERT_EQ(t.windows.Boxes().size(), 1u);
  EXPECT_EQ(t.windows.Boxes()[0].caption, "Important notice!");
  EXPECT_EQ(t.windows.Boxes()[0].type, kMbIconInformation);

  // The same entry again: nothing written, no notice.
  std::filesystem::remove(t.dir.path() / "Client.cfg");
  SelectFilter(2);
  EXPECT_FALSE(t.dir.Exists("Client.cfg"));
  EXPECT_EQ(t.windows.Boxes().size(), 1u);

  // "Everyone": no notice; a missing file only logs.
  SelectFilter(0);
  EXPECT_EQ(t.windows.Boxes().size(), 1u);
  EXPECT_EQ(t.ctx.event_log.Line(t.ctx.event_log.Count() - 1),
            "Could not save configuration change!");
  EXPECT_EQ(t.ctx.settings.player_list_filter, 0);
  EXPECT_EQ(Listed(), (std::vector<std::string>{"enemy", "ally"}));
}

TEST_F(MainDialogTest, IndividualEmptiesTheListAndPlayerInformationListsEveryone) {
  Online(0, "enemy", 0);
  Online(3, "partner", 3);
  SelectFilter(4);
  EXPECT_TRUE(Listed().empty());
  EXPECT_EQ(t.ctx.tables.roster[0].voice_include, 0);
  EXPECT_EQ(t.ctx.tables.roster[3].voice_include, 0);

  // A double-click refresh lists everyone again.
  t.windows.List(kMain, kCtlPlayerList) = {"partner"};
  t.windows.Selection(kMain, kCtlPlayerList) = 0;
  Command(kCtlPlayerList, kNotifyDoubleClick);
  EXPECT_EQ(t.ctx.tables.selected_player_slot.load(), 3);
  EXPECT_EQ(t.windows.CountCalls("dialog 141"), 1);
  EXPECT_EQ(Listed(), (std::vector<std::string>{"enemy", "partner"}));
}

TEST_F(MainDialogTest, DoubleClickOnAGoneNameDoesNothing) {
  t.windows.List(kMain, kCtlPlayerList) = {"ghost"};
  t.windows.Selection(kMain, kCtlPlayerList) = 0;
  Command(kCtlPlayerList, kNotifyDoubleClick);
  Command(kCtlPlayerList, kNotifySelChange);
  EXPECT_EQ(t.windows.CountCalls("dialog"), 0);
}

TEST_F(MainDialogTest, EscapeDoesNotClose) {
  Command(kCancelCommand);
  EXPECT_TRUE(t.windows.ended.empty());
}

TEST_F(MainDialogTest, OrderlyCloseDisablesLogsAndEndsWithTwo) {
  t.ctx.close_pause_ms = 20;
  auto start = std::chrono::steady_clock::now();
  kMainDialogProcedure.close(t.ctx, kMain);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
  for (int c : {kCtlSend, kCtlStatistics, kCtlClearHistory, kCtlChatInput, kCtlPtt, kCtlView,
                kCtlSound, kCtlConfiguration, kCtlProfile, kCtlFdr, kCtlMessages}) {
    EXPECT_FALSE(t.windows.Enabled(kMain, c)) << c;
  }
  EXPECT_EQ(t.ctx.event_log.Line(t.ctx.event_log.Count() - 1), "Closing connection...");
  EXPECT_EQ(t.windows.Text(kMain, kCtlHistory), "Closing connection...");
  EXPECT_EQ(t.windows.ended[kMain], kEndClosed);
  EXPECT_EQ(t.windows.CountCalls("stoptimer"), 1);
  // Drawn before the pause: the last window call ahead of the end is the repaint.
  auto calls = t.windows.Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "repaint " + std::to_string(kMain));
}

TEST_F(MainDialogTest, ViewAndSoundStartTheirPrograms) {
  Command(kCtlView);
  EXPECT_EQ(t.launcher.started.back(), "Panoptra64.exe");
  EXPECT_FALSE(t.windows.Enabled(kMain, kCtlView));
  EXPECT_TRUE(t.windows.Checked(kMain, kCtlView));

  t.launcher.available = {"Panoptra64.exe"};
  Command(kCtlSound);
  EXPECT_EQ(t.launcher.started.back(), "Sonavox.exe");
  EXPECT_EQ(t.windows.enabled.count({kMain, kCtlSound}), 0u);
  EXPECT_EQ(t.ctx.event_log.Line(0), "Could not find the optional Sonavox.exe...");
}

TEST_F(MainDialogTest, HistoryShowsTheNewestLinesAndClears) {
  for (int i = 0; i < 500; ++i) t.ctx.event_log.Add(kMain, "line " + std::to_string(i));
  RefreshHistory(t.ctx, kMain);
  std::string shown = t.windows.Text(kMain, kCtlHistory);
  EXPECT_EQ(shown.rfind("line 1\r\n", 0), 0u);
  EXPECT_EQ(shown.size() - shown.rfind("line 499"), 8u);

  Command(kCtlClearHistory);
  RefreshHistory(t.ctx, kMain);
  EXPECT_EQ(t.windows.Text(kMain, kCtlHistory), "");
}

TEST_F(MainDialogTest, HistoryNeverPassesItsLimit) {
  for (int i = 0; i < 499; ++i) t.ctx.event_log.Add(kMain, std::string(98, 'x'));
  RefreshHistory(t.ctx, kMain);
  std::string shown = t.windows.Text(kMain, kCtlHistory);
  EXPECT_LE(shown.size(), kHistoryMaxChars);
  EXPECT_GT(shown.size(), kHistoryMaxChars - 100);
}

TEST_F(MainDialogTest, SendPassesTheLineAndEmptiesTheInput) {
  t.windows.Text(kMain, kCtlChatInput) = "hello there";
  Command(kCtlSend);
  EXPECT_EQ(t.windows.Text(kMain, kCtlChatInput), "");
  EXPECT_FLOAT_EQ(t.ctx.flood_counter.load(), 1.0f);
}

TEST_F(MainDialogTest, MuteTogglesAndClearsReceive) {
  Command(kCtlMute);
  EXPECT_TRUE(t.windows.Checked(kMain, kCtlMute));
  EXPECT_FALSE(t.windows.Checked(kMain, kCtlRx));
  Command(kCtlMute);
  EXPECT_FALSE(t.windows.Checked(kMain, kCtlMute));
}

}  // namespace
}  // namespace talmeris
