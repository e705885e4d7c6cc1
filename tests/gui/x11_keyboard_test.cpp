// The push-to-talk key under a real X server (Xvfb), pressed with XTest while no client window
// exists, as when the 3-D view has the focus.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "state/main_window.h"
#include "support/fake_voice.h"
#include "support/process.h"
#include "support/recording_window_port.h"
#include "support/test_client.h"
#include "ui/x11_keyboard.h"
#include "voice/voice_chat.h"

// Last: Xlib's macros would otherwise rename names in the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace talmeris {
namespace {

class X11KeyboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A display number of our own, free of other test runs.
    for (int n = 100 + getpid() % 400;; ++n) {
      if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)) ||
          std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock"))
        continue;
      display = ":" + std::to_string(n);
      socket = "/tmp/.X11-unix/X" + std::to_string(n);
      break;
    }
    xvfb = std::make_unique<test::ChildProcess>(
        "/usr/bin/Xvfb", std::vector<std::string>{display, "-nolisten", "tcp", "-noreset"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(tester = XOpenDisplay(display.c_str())) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    ASSERT_NE(tester, nullptr) << "Xvfb did not start on " << display;
  }
  void TearDown() override {
    if (tester) XCloseDisplay(tester);
    if (xvfb) xvfb->Kill(SIGTERM);
  }
  void Key(bool down) {
    XTestFakeKeyEvent(tester, XKeysymToKeycode(tester, XK_grave), down ? True : False, CurrentTime);
    XSync(tester, False);
  }
  std::string display, socket;
  std::unique_ptr<test::ChildProcess> xvfb;
  Display* tester = nullptr;
};

TEST_F(X11KeyboardTest, TheKeyHeldSetsTheTargetsOnceAndReleasedClearsThemOnce) {
  ui::X11Keyboard keyboard(display.c_str());
  ASSERT_TRUE(keyboard.Available());
  ASSERT_TRUE(keyboard.RegisterHotKey(7, 1026, 0, kPushToTalkKey));

  test::RecordingWindowPort windows;
  test::TempDir dir;
  voice::NullVoiceSystem voice;
  ClientContext ctx(Ports{&windows, nullptr, &voice, nullptr, &keyboard}, dir.path());
  auto recorder = std::make_unique<test::FakeVoiceClient>();
  test::FakeVoiceClient& voice_client = *recorder;
  ctx.net.voice_client = std::move(recorder);
  ctx.settings.voice_push_to_talk = 1;
  ctx.voice_connected = true;
  for (int slot : {3, 9}) {
    PlayerRecord& p = ctx.tables.roster[slot];
    p.online = 1;
    p.voice_include = slot == 9;
    p.identity_number = 0x00200000u + static_cast<unsigned>(slot);
  }

  FollowPushToTalk(ctx, 7);
  EXPECT_TRUE(voice_client.targets.empty());
  Key(true);
  for (int tick = 0; tick < 5; ++tick) FollowPushToTalk(ctx, 7);
  ASSERT_EQ(voice_client.targets.size(), 1u);
  EXPECT_EQ(voice_client.targets[0], std::vector<net::DPNID>{0x00200009});
  EXPECT_TRUE(windows.IsButtonDown(7, kCtlPtt));
  Key(false);
  for (int tick = 0; tick < 5; ++tick) FollowPushToTalk(ctx, 7);
  ASSERT_EQ(voice_client.targets.size(), 2u);
  EXPECT_TRUE(voice_client.targets[1].empty());
  EXPECT_FALSE(windows.IsButtonDown(7, kCtlPtt));
  EXPECT_EQ(windows.CountCalls("focus 7:1032"), 1);  // back to the chat input
}

TEST_F(X11KeyboardTest, AKeyAnotherProgramHoldsIsRefusedNotFatal) {
  const Window root = DefaultRootWindow(tester);
  XGrabKey(tester, XKeysymToKeycode(tester, XK_grave), 0, root, True, GrabModeAsync, GrabModeAsync);
  XSync(tester, False);
  ui::X11Keyboard keyboard(display.c_str());
  EXPECT_FALSE(keyboard.RegisterHotKey(7, 1026, 0, kPushToTalkKey));
  Key(true);
  EXPECT_TRUE(keyboard.IsKeyDown(kPushToTalkKey));  // its state can still be read
  Key(false);
  EXPECT_FALSE(keyboard.IsKeyDown(kPushToTalkKey));
}

}  // namespace
}  // namespace talmeris
