#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "state/event_log.h"
#include "state/settings.h"
#include "support/test_client.h"

namespace talmeris {
namespace {

using test::TempDir;

std::vector<std::uint8_t> NewFileImage(std::uint16_t catalogue) {
  std::vector<std::uint8_t> b(256, 0);
  const std::uint8_t head[] = {0, 0, 0, 1, 0, 0, 10, 0};
  std::copy(std::begin(head), std::end(head), b.begin());
  b[42] = 1;
  b[43] = 0x00, b[44] = 0x04, b[45] = 0x00, b[46] = 0x03;  // 1024 and 768
  b[47] = 1;
  b[50] = static_cast<std::uint8_t>(catalogue);
  b[51] = static_cast<std::uint8_t>(catalogue >> 8);
  return b;
}

class SettingsTest : public ::testing::Test {
 protected:
  std::filesystem::path File() const { return dir.path() / kSettingsFileName; }
  Settings Load(std::uint16_t catalogue, SettingsLoadReport* report = nullptr) {
    return LoadSettings(File(), catalogue, &log, report);
  }
  TempDir dir;
  EventLog log;
};

TEST_F(SettingsTest, NoFileCreatesTheNewFileImage) {
  SettingsLoadReport report;
  Settings s = Load(5, &report);
  EXPECT_TRUE(report.created);
  EXPECT_EQ(dir.Read(kSettingsFileName), NewFileImage(5));
  EXPECT_EQ(s, NewFileSettings(5));
  EXPECT_EQ(s.screen_width, 1024);
  EXPECT_EQ(s.data_revision, 5);
  struct stat st;
  ASSERT_EQ(::stat(File().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // it holds the password
  // One that others could read is closed to them once the client writes it.
  ASSERT_EQ(::chmod(File().c_str(), 0644), 0);
  Load(5);
  ASSERT_EQ(::stat(File().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsTest, PlayerListFilterIsASignedByte) {
  auto image = NewFileImage(5);
  image[7] = 0xFF;
  dir.Write(kSettingsFileName, image);
  Settings s = Load(5);
  EXPECT_EQ(s.player_list_filter, -1);
  EXPECT_EQ(EncodeSettings(s)[7], 0xFF);
}

// Loads with a file-size limit of 100 bytes, so every longer write fails as on a full disk, and
// exits with 7 when the load ran on the defaults and said that it could not save.
[[noreturn]] void LoadOnAFullDisk(const std::filesystem::path& file) {
  ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {100, 100};
  ::setrlimit(RLIMIT_FSIZE, &limit);
  EventLog log;
  SettingsLoadReport report;
  Settings s = LoadSettings(file, 5, &log, &report);
  const bool said = log.Count() == 1 && log.Line(0) == "Could not save configuration change!";
  const bool defaults = s == NewFileSettings(5);
  std::exit(!report.file_usable && report.write_failed && said && defaults ? 7 : 1);
}

TEST_F(SettingsTest, AFullDiskLeavesNoShortFileAndSaysSo) {
  EXPECT_EXIT(LoadOnAFullDisk(File()), ::testing::ExitedWithCode(7), "");
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // neither Client.cfg nor a piece of it
}

TEST_F(SettingsTest, CurrentFileIsReadUnchanged) {
  auto image = NewFileImage(9);
  image[0] = 1, image[7] = 3;
  std::memcpy(&image[8], "pilot", 5);
  std::memcpy(&image[24], "secret", 6);
  image[40] = 1, image[41] = 1, image[42] = 0;
  image[43] = 0x00, image[44] = 0x05;  // 1280
  image[128] = 0x80;
  dir.Write(kSettingsFileName, image);
  Settings s = Load(5);
  EXPECT_EQ(s.voice_enabled, 1);
  EXPECT_EQ(s.player_list_filter, 3);
  EXPECT_EQ(s.login_name.View(), "pilot");
  EXPECT_EQ(s.login_password.View(), "secret");
  EXPECT_EQ(s.remember_me, 1);
  EXPECT_EQ(s.screen_width, 1280);
  EXPECT_EQ(s.data_revision, 9);
  EXPECT_EQ(dir.Read(kSettingsFileName), image);  // nothing written
}

TEST_F(SettingsTest, RevisionFiveUpgradesAndKeepsOlderFields) {
  std::vector<std::uint8_t> image(256, 0xAB);
  for (int i = 0; i < 6; ++i) image[i] = 1;
  image[6] = 5;
  image[7] = 2;
  std::memset(&image[8], 0, 32);
  std::memcpy(&image[8], "handle", 6);
  image[40] = 1, image[41] = 1, image[42] = 0;
  dir.Write(kSettingsFileName, image);

  SettingsLoadReport report;
  Settings s = Load(7, &report);
  EXPECT_EQ(report.upgraded_from, 5);
  auto after = dir.Read(kSettingsFileName);
  ASSERT_EQ(after.size(), 256u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(after[i], 1) << i;
  EXPECT_EQ(after[6], 10);
  EXPECT_EQ(after[7], 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&after[8])), "handle");
  EXPECT_EQ(after[40], 1);
  EXPECT_EQ(after[41], 1);
  EXPECT_EQ(after[42], 0);
  EXPECT_EQ(after[43], 0x00);
  EXPECT_EQ(after[44], 0x04);
  EXPECT_EQ(after[45], 0x00);
  EXPECT_EQ(after[46], 0x03);
  EXPECT_EQ(after[47], 1);
  EXPECT_EQ(after[48], 0);
  EXPECT_EQ(after[49], 0);
  EXPECT_EQ(after[50], 7);  // 0 from the upgrade, then raised to the catalogue revision
  EXPECT_EQ(after[51], 0);
  for (int i = 52; i < 256; ++i) ASSERT_EQ(after[i], 0) << i;
  EXPECT_EQ(s.player_list_filter, 2);
  EXPECT_EQ(s.data_revision, 7);
}

TEST_F(SettingsTest, RevisionZeroGoesThroughEveryStep) {
  dir.Write(kSettingsFileName, {1, 0, 1, 0, 1, 0, 0});
  Settings s = Load(3);
  auto after = dir.Read(kSettingsFileName);
  auto expected = NewFileImage(3);
  expected[0] = 1, expected[2] = 1, expected[3] = 0, expected[4] = 1;
  EXPECT_EQ(after, expected);
  EXPECT_EQ(s.cfg_revision, 10);
  EXPECT_EQ(s.launch_peers, 1);
}

TEST_F(SettingsTest, DataRevisionIsRaisedNeverLowered) {
  auto image = NewFileImage(3);
  dir.Write(kSettingsFileName, image);
  EXPECT_EQ(Load(5).data_revision, 5);
  EXPECT_EQ(dir.Read(kSettingsFileName)[50], 5);

  image = NewFileImage(7);
  dir.Write(kSettingsFileName, image);
  EXPECT_EQ(Load(5).data_revision, 7);
  EXPECT_EQ(dir.Read(kSettingsFileName)[50], 7);
}

TEST_F(SettingsTest, NewerRevisionIsReadAsTen) {
  auto image = NewFileImage(4);
  image[6] = 200;
  image[7] = 4;
  image[47] = 0;
  dir.Write(kSettingsFileName, image);
  Settings s = Load(4);
  EXPECT_EQ(s.player_list_filter, 4);
  EXPECT_EQ(s.launch_peers, 0);
  EXPECT_EQ(dir.Read(kSettingsFileName), image);  // nothing upgraded or rewritten
}

TEST_F(SettingsTest, TruncatedFileGivesMissingFieldsTheirNewFileValues) {
  auto image = NewFileImage(2);
  image[7] = 1;
  std::memcpy(&image[8], "abcdefghijkl", 12);
  image.resize(20);  // cut inside the login name
  dir.Write(kSettingsFileName, image);
  SettingsLoadReport report;
  Settings s = Load(6, &report);
  EXPECT_TRUE(report.repaired);
  EXPECT_EQ(s.player_list_filter, 1);
  EXPECT_TRUE(s.login_name.Empty());  // a field the file held only in part
  EXPECT_EQ(s.screen_width, 1024);
  EXPECT_EQ(s.launch_peers, 1);
  EXPECT_EQ(s.data_revision, 6);
  auto after = dir.Read(kSettingsFileName);
  ASSERT_EQ(after.size(), 256u);
  auto expected = NewFileImage(6);
  expected[7] = 1;
  EXPECT_EQ(after, expected);
}

TEST_F(SettingsTest, EmptyFileBecomesANewFile) {
  dir.Write(kSettingsFileName, {});
  Settings s = Load(5);
  EXPECT_EQ(s, NewFileSettings(5));
  EXPECT_EQ(dir.Read(kSettingsFileName), NewFileImage(5));
}

TEST_F(SettingsTest, UpgradeCutShortResumesWithoutReadingUnwrittenGroups) {
  // Revision 7 was written; the next group (offset 47) was never written and holds garbage.
  auto image = NewFileImage(0);
  image[6] = 7;
  image[47] = 0xEE, image[48] = 0xEE, image[49] = 0xEE, image[50] = 0xEE, image[51] = 0xEE;
  dir.Write(kSettingsFileName, image);
  Settings s = Load(2);
  EXPECT_EQ(s.launch_peers, 1);
  EXPECT_EQ(s.throttle_axis, 0);
  EXPECT_EQ(s.yaw_axis, 0);
  EXPECT_EQ(s.data_revision, 2);
  EXPECT_EQ(dir.Read(kSettingsFileName), NewFileImage(2));
}

TEST_F(SettingsTest, FolderWithoutWriteAccessRunsOnDefaults) {
  if (geteuid() == 0) {
    // root writes anyway; a path below a regular file can neither be opened nor created.
    dir.Write("blocker", {1});
    SettingsLoadReport report;
    Settings s = LoadSettings(dir.path() / "blocker" / kSettingsFileName, 4, &log, &report);
    EXPECT_FALSE(report.file_usable);
    EXPECT_EQ(s, NewFileSettings(4));
    return;
  }
  chmod(dir.path().c_str(), 0500);
  SettingsLoadReport report;
  Settings s = Load(4, &report);
  chmod(dir.path().c_str(), 0700);
  EXPECT_FALSE(report.file_usable);
  EXPECT_EQ(s, NewFileSettings(4));
  EXPECT_FALSE(dir.Exists(kSettingsFileName));
}

TEST_F(SettingsTest, StoreWritesOnlyTheGroupAndReportsFailure) {
  Settings s = Load(1);
  s.player_list_filter = 3;
  s.voice_enabled = 1;  // in memory only: not part of the stored group
  ASSERT_TRUE(StoreSettings(File(), s, kOffPlayerListFilter, kOffPlayerListFilter, log, 9));
  auto after = dir.Read(kSettingsFileName);
  EXPECT_EQ(after[7], 3);
  EXPECT_EQ(after[0], 0);

  std::filesystem::remove(File());
  EXPECT_FALSE(StoreSettings(File(), s, kOffPlayerListFilter, kOffPlayerListFilter, log, 9));
  EXPECT_FALSE(std::filesystem::exists(File()));  // the store never creates the file
  EXPECT_EQ(log.Line(log.Count() - 1), "Could not save configuration change!");
}

TEST_F(SettingsTest, TwelveCharacterLoginTakesThirteenBytes) {
  Settings s = Load(1);
  s.login_name.Set("abcdefghijkl");
  ASSERT_TRUE(StoreSettings(File(), s, kOffLoginName, kOffRememberMe, log, 0));
  auto after = dir.Read(kSettingsFileName);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&after[8]), 12), "abcdefghijkl");
  for (int i = 20; i < 24; ++i) EXPECT_EQ(after[i], 0);
}

TEST_F(SettingsTest, HelpBlockResetAndDisable) {
  Load(1);
  ASSERT_TRUE(StoreHelpBlock(File(), true, log, 0));
  auto after = dir.Read(kSettingsFileName);
  EXPECT_EQ(after[128], 0x80);
  ASSERT_TRUE(StoreHelpBlock(File(), false, log, 0));
  EXPECT_EQ(dir.Read(kSettingsFileName)[128], 0);
}

}  // namespace
}  // namespace talmeris
