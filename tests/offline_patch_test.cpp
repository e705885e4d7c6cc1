// Offline messages (the store, the dialog and the hand-over between them) and patching, on fakes
// in a temporary installation folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/offline_dialog.h"
#include "server/offline_messages.h"
#include "server/patching.h"
#include "server/protocol.h"
#include "server/server_link.h"
#include "state/main_window.h"
#include "support/test_client.h"

namespace talmeris {
namespace {

using test::TestClient;
constexpr WindowId kMain = TestClient::kMain;
constexpr WindowId kDialog = 139;

std::vector<std::uint8_t> Bytes(std::string_view s) {
  return {s.begin(), s.end()};
}
std::string FileText(const TestClient& t, const char* name) {
  auto b = t.dir.Read(name);
  return {b.begin(), b.end()};
}

class OfflineTest : public ::testing::Test {
 protected:
  OfflineTest() {
    t.ctx.main_window = kMain;
    t.network.CreateClient(&t.ctx.net.net_client);
  }
  void Offline(std::string_view text) {
    auto m = TextMessage::Make(kOfflineMessage, 0, text);
    net::Message msg{net::MessageId::Receive, net::DPN_OK, 1, m.bytes.data(), TextMessage::kSize};
    OnServerMessage(&t.ctx, msg);
  }
  // Each opening is a new dialog with a list of its own, as the toolkit makes it.
  void Open(WindowId id = kDialog) { kOfflineMessagesDialogProcedure.init(t.ctx, id); }
  void Command(int control, int notification = kNotifyClicked, WindowId id = kDialog) {
    kOfflineMessagesDialogProcedure.command(t.ctx, id, control, notification);
  }
  std::vector<std::string> List() { return t.windows.ListSnapshot(kDialog, kCtlOfflineList); }
  TestClient t;
};

TEST_F(OfflineTest, TheDialogListsSortedDeletesAndWritesBack) {
  const std::string long_line(120, 'L');  // longer than the dialog's 78: kept whole
  t.dir.Write(kOfflineMessagesFile, Bytes("charlie\r\nAlpha\n\r\n" + long_line + "\r\nbravo"));
  Open();
  EXPECT_EQ(List(), (std::vector<std::string>{"", "Alpha", "bravo", "charlie", long_line}));
  EXPECT_FALSE(t.windows.Enabled(kDialog, kCtlOfflineDelete));

  Offline("Beta from a friend");  // while open: to the list, not the file
  EXPECT_EQ(FileText(t, kOfflineMessagesFile).find("Beta"), std::string::npos);
  kOfflineMessagesDialogProcedure.refresh(t.ctx, kDialog);
  EXPECT_EQ(List()[2], "Beta from a friend");
  EXPECT_TRUE(t.windows.Enabled(kMain, kCtlMessages));

  t.windows.ListSelect(kDialog, kCtlOfflineList, 1);
  Command(kCtlOfflineList, kNotifySelChange);
  EXPECT_TRUE(t.windows.Enabled(kDialog, kCtlOfflineDelete));
  Command(kCtlOfflineDelete);  // "Alpha"
  EXPECT_FALSE(t.windows.Enabled(kDialog, kCtlOfflineDelete));
  Command(kCancelCommand);
  EXPECT_EQ(t.windows.EndCode(kDialog), kCancelCommand);
  EXPECT_EQ(FileText(t, kOfflineMessagesFile),
            "\r\nBeta from a friend\r\nbravo\r\ncharlie\r\n" + long_line + "\r\n");

  Offline("later");  // closed: appended at the end
  EXPECT_EQ(FileText(t, kOfflineMessagesFile),
            "\r\nBeta from a friend\r\nbravo\r\ncharlie\r\n" + long_line + "\r\nlater\r\n");

  // An append after a last line without a line end ends that line first; it keeps 83
  // characters, even of a text field the server filled to its end without a NUL. A write-back
  // that fails (its temporary file cannot be made) keeps the file.
  t.dir.Write(kOfflineMessagesFile, Bytes("kept"));
  auto full = TextMessage::Make(kOfflineMessage, 0, "");
  std::fill_n(full.bytes.begin() + TextMessage::kTextOffset, TextMessage::kTextSize, 'x');
  net::Message raw{net::MessageId::Receive, net::DPN_OK, 1, full.bytes.data(), TextMessage::kSize};
  OnServerMessage(&t.ctx, raw);
  const std::string appended = "kept\r\n" + std::string(83, 'x') + "\r\n";
  EXPECT_EQ(FileText(t, kOfflineMessagesFile), appended);
  std::filesystem::create_directory(t.dir.path() / "messages.txt.new");
  Open(kDialog + 2);
  Command(kCancelCommand, kNotifyClicked, kDialog + 2);
  EXPECT_EQ(FileText(t, kOfflineMessagesFile), appended);
  EXPECT_EQ(t.ctx.event_log.Line(t.ctx.event_log.Count() - 1),
            "Could not save the offline messages!");
  std::filesystem::remove(t.dir.path() / "messages.txt.new");

  Open(kDialog + 1);
  Command(kCtlOfflineClearAll, kNotifyClicked, kDialog + 1);
  EXPECT_TRUE(t.windows.ListSnapshot(kDialog + 1, kCtlOfflineList).empty());
  Command(kCancelCommand, kNotifyClicked, kDialog + 1);
  EXPECT_EQ(FileText(t, kOfflineMessagesFile), "");
  EXPECT_FALSE(t.windows.Enabled(kMain, kCtlMessages));

  // A file that cannot be appended to is reported, and the client goes on.
  std::filesystem::remove(t.dir.path() / kOfflineMessagesFile);
  std::filesystem::create_directory(t.dir.path() / kOfflineMessagesFile);
  Offline("lost?");
  EXPECT_EQ(t.ctx.event_log.Line(t.ctx.event_log.Count() - 1),
            "Could not store an offline message in messages.txt!");
}

TEST_F(OfflineTest, MessagesArrivingWhileTheDialogOpensAndClosesLandExactlyOnce) {
  constexpr int kMessages = 1000;
  std::atomic<bool> done{false}, opened{false};
  std::thread server([&] {
    while (!opened.load()) std::this_thread::yield();  // arrivals overlap the opening and closing
    for (int i = 0; i < kMessages; ++i) Offline("message " + std::to_string(i));
    done = true;
  });
  // The user opens and closes the dialog over and over meanwhile, sometimes pulling the
  // messages posted to it, as the toolkit does when it delivers the notification.
  int rounds = 0;
  while (!done.load() || rounds < 3) {
    const WindowId id = 1000 + static_cast<WindowId>(rounds);
    Open(id);
    opened = true;
    if (rounds % 2) kOfflineMessagesDialogProcedure.refresh(t.ctx, id);
    Command(kCancelCommand, kNotifyClicked, id);
    ++rounds;
  }
  server.join();
  std::map<std::string, int> seen;
  for (const auto& line : ParseOfflineMessages(FileText(t, kOfflineMessagesFile))) ++seen[line];
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kMessages));
  for (const auto& [text, count] : seen) EXPECT_EQ(count, 1) << text;
}

// ---- patching ----

class PatchTest : public OfflineTest {
 protected:
  PatchTest() { t.ctx.install_dir = std::filesystem::canonical(t.dir.path()); }
  void Start(float total) {
    auto m = ShortMessage{kLoginStatus, 0, 0.0f, 1.0f, total}.Encode();
    net::Message msg{net::MessageId::Receive, net::DPN_OK, 1, m.data(), m.size()};
    OnServerMessage(&t.ctx, msg);
  }
  void Chunk(std::string_view name, std::uint32_t offset, std::string_view data,
             std::uint8_t operation, std::uint32_t length = UINT32_MAX) {
    std::vector<std::uint8_t> m(kPatchChunkSize, 0);
    std::copy(name.begin(), name.begin() + std::min<std::size_t>(name.size(), 128), m.begin());
    StoreU32(&m[kPatchOffsetField], offset);
    StoreU32(&m[kPatchLengthField],
             length == UINT32_MAX ? static_cast<std::uint32_t>(data.size()) : length);
    std::copy(data.begin(), data.end(), m.begin() + kPatchDataField);
    m[kPatchOperationField] = operation;
    net::Message msg{net::MessageId::Receive, net::DPN_OK, 1, m.data(),
                     static_cast<std::uint32_t>(m.size())};
    OnServerMessage(&t.ctx, msg);
  }
  int Requests() {
    int n = 0;
    for (auto& s : t.network.ClientSends()) n += s.data.size() == 20 && s.data[0] == 24;
    t.network.ClearSends();
    return n;
  }
  std::string Progress() { return t.windows.Text(kMain, kCtlPatching); }
  std::string LastLines(int n) {
    std::string out;
    for (int i = t.ctx.event_log.Count() - n; i < t.ctx.event_log.Count(); ++i) {
      out += t.ctx.event_log.Line(i) + "|";
    }
    return out;
  }
};

TEST_F(PatchTest, ChunksWriteDeleteAndCountAsThePartSays) {
  Start(40000);
  EXPECT_EQ(Progress(), "Patching: 0%");
  EXPECT_EQ(Requests(), 1);
  EXPECT_EQ(t.ctx.event_log.Line(t.ctx.event_log.Count() - 1),
            "Patching 40000 bytes, one moment please...");
  EXPECT_TRUE(t.windows.Enabled(kMain, kCtlSend));

  // Operation 1 creates folders and files inside the installation, backslashes as separators.
  Chunk("data\\maps\\one.bin", 0, "ABCDEFGH", 1);
  EXPECT_EQ(FileText(t, "data/maps/one.bin"), "ABCDEFGH");
  EXPECT_EQ(Progress(), "Patching: 40%");
  EXPECT_EQ(Requests(), 1);
  Chunk("data\\maps\\one.bin", 2, "xy", 1);  // no truncation
  EXPECT_EQ(FileText(t, "data/maps/one.bin"), "ABxyEFGH");
  EXPECT_EQ(Progress(), "Patching: 81%");
  Chunk("data/maps/one.bin", 0, "zz", 0);  // operation 0 at offset 0 truncates
  EXPECT_EQ(FileText(t, "data/maps/one.bin"), "zz");
  EXPECT_EQ(Progress(), "Patching: 100%");
  Chunk("ignored.bin", 0, "", 3);  // nothing but the request
  EXPECT_EQ(Requests(), 3);
  EXPECT_FALSE(t.dir.Exists("ignored.bin"));
  Chunk("", 0, "", 5);
  EXPECT_EQ(Progress(), "Patching: 100%");
  EXPECT_EQ(Requests(), 1);

  // A length past the data field is never read past the message.
  Chunk("big.bin", 0, std::string(16384, 'b'), 1, 1u << 30);
  EXPECT_EQ(t.dir.Read("big.bin").size(), 16384u);
  Requests();

  // Operation 0 on a missing file past offset 0 asks; Cancel still counts, but stops.
  t.windows.box_answers.push_back(kIdRetry);
  t.windows.box_answers.push_back(kIdCancel);
  Chunk("missing.bin", 16384, "q", 0);
  ASSERT_EQ(t.windows.Boxes().size(), 2u);
  EXPECT_EQ(t.windows.Boxes()[0].caption, "Patch error!");
  EXPECT_EQ(t.windows.Boxes()[0].type, static_cast<unsigned>(kMbRetryCancel | kMbIconWarning));
  EXPECT_EQ(t.windows.Boxes()[0].text.rfind("Could not save to file...\n\nmissing.bin\n\n", 0), 0u);
  EXPECT_EQ(Requests(), 0);

  // Deletes, and a delete that fails stops the transfer.
  Chunk("data\\maps\\one.bin", 0, "", 2);
  EXPECT_FALSE(t.dir.Exists("data/maps/one.bin"));
  EXPECT_EQ(Requests(), 1);
  Chunk("data\\maps\\one.bin", 0, "", 2);
  EXPECT_EQ(LastLines(2), "PATCH ERROR --- could not delete file...|data\\maps\\one.bin|");
  EXPECT_EQ(Requests(), 0);

  // The restart chunk writes, ends the main dialog with 123 and asks for nothing.
  Chunk("patches.dat", 0, "\x06", 4);
  EXPECT_EQ(t.dir.Read("patches.dat"), std::vector<std::uint8_t>{6});
  EXPECT_EQ(t.windows.EndCode(kMain), kEndRestartAfterPatch);
  EXPECT_EQ(Requests(), 0);
}

TEST_F(PatchTest, HostileNamesWriteNothingOutsideTheInstallation) {
  const auto outside = std::filesystem::canonical(t.dir.path()).parent_path() /
                       ("patch-outside-" + std::to_string(::getpid()));
  std::filesystem::create_directories(outside);
  std::filesystem::create_directory_symlink(outside, t.dir.path() / "link");
  std::filesystem::create_symlink(outside / "target", t.dir.path() / "file-link");
  Start(16384.0f * 20);
  Requests();
  // A ".." is refused even where the name would still land in the folder.
  for (const char* name : {"..\\..\\x", "../x", "a\\..\\..\\x", "a/../x", "a\\..\\x", "/etc/x",
                           "\\x", "C:\\x", "c:x", "link\\x", "link/sub/x", "file-link", "."}) {
    Chunk(name, 0, "evil", 1);
    EXPECT_EQ(LastLines(2), std::string("PATCH ERROR --- could not save to file...|") + name + "|")
        << name;
    EXPECT_EQ(Requests(), 0) << name;
    Chunk(name, 0, "", 2);
    EXPECT_EQ(LastLines(2), std::string("PATCH ERROR --- could not delete file...|") + name + "|")
        << name;
  }
  EXPECT_TRUE(std::filesystem::is_empty(outside));
  EXPECT_FALSE(std::filesystem::exists("/etc/x"));
  // A name of 128 bytes without a NUL is taken whole, and "." parts are harmless.
  const std::string full = "./" + std::string(126, 'n');
  Chunk(full, 0, "ok", 1);
  EXPECT_EQ(FileText(t, std::string(126, 'n').c_str()), "ok");
  std::filesystem::remove_all(outside);

  EXPECT_EQ(PatchProgressText(0, 0), "Patching: 100%");
  EXPECT_EQ(PatchProgressText(4294967295u, 4294967295u), "Patching: 100%");
  EXPECT_EQ(PatchProgressText(2147483648u, 4294967295u), "Patching: 50%");
}

}  // namespace
}  // namespace talmeris
