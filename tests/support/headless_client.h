// A client core over the real transport, driven by a scripted user, for end-to-end tests.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "app/main_dialog.h"
#include "app/startup.h"
#include "app/tick.h"
#include "net/enet_transport.h"
#include "peers/peer_handler.h"
#include "server/connect.h"
#include "server/server_link.h"
#include "state/context.h"
#include "state/files.h"
#include "support/recording_window_port.h"
#include "support/test_client.h"
#include "support/test_ports.h"
#include "support/traffic_capture.h"
#include "voice/voice_chat.h"
#include "voice/voice_engine.h"

namespace talmeris::test {

// Polls `condition` until it holds or `timeout` passes; its last answer.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

// The push-to-talk key as the test presses it.
struct ScriptedKeyboard final : KeyboardPort {
  bool RegisterHotKey(WindowId, int, unsigned, unsigned) override { return true; }
  bool IsKeyDown(unsigned key) override { return key == kPushToTalkKey && down.load(); }
  std::atomic<bool> down{false};
};

// A client core with the real transport and a scripted user.
struct HeadlessClient {
  static constexpr WindowId kMain = 7;

  // `transport`: by default, short peer timeouts, so a test of a lost peer ends soon.
  explicit HeadlessClient(std::uint32_t server_port, std::string name, std::string password,
                          const net::EnetOptions& transport = Options())
      : network(net::CreateEnetNetwork(capture.Hooked(transport))),
        ctx(Ports{&windows, network.get(), &voice, &launcher, &keyboard}, dir.path()) {
    dir.Write("patches.dat", {5, 0});
    ctx.server_host = "127.0.0.1";
    ctx.server_port = server_port;
    ctx.user_config_home = dir.path() / "config";
    ctx.close_pause_ms = 0;
    ctx.peer_host_port = NextTestPort();
    launcher.available = {"none"};
    windows.on_dialog[kMainDialog] = [this](WindowId) { return RunMain(); };
    windows.on_dialog[kLoginDialog] = [this, name, password](WindowId) {
      const WindowId dlg = next_dialog++;
      kLoginDialogProcedure.init(ctx, dlg);
      login_prefilled_name = windows.Text(dlg, kCtlLoginName);
      login_remembered = windows.Checked(dlg, kCtlRememberMe);
      if (!login_prefilled_name.empty()) return Press(kLoginDialogProcedure, dlg, kIdOk);
      windows.Text(dlg, kCtlLoginName) = name;
      windows.Text(dlg, kCtlLoginPassword) = password;
      return Press(kLoginDialogProcedure, dlg, kIdOk);
    };
    windows.on_dialog[kWelcomeDialog] = [this](WindowId) {
      return Press(kWelcomeDialogProcedure, next_dialog++, kIdOk);
    };
  }

  // What the session left on disk joins the captured traffic (when capturing).
  ~HeadlessClient() { capture.KeepFiles(dir.path(), ctx.user_config_home); }

  int Press(const DialogProcedure& p, WindowId dlg, int control) {
    p.command(ctx, dlg, control, kNotifyClicked);
    return Ended(dlg);
  }
  int Ended(WindowId w) { return windows.EndCode(w); }
  int RunMain() {
    kMainDialogProcedure.init(ctx, kMain);
    auto deadline = std::chrono::steady_clock::now() + main_limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (int code = Ended(kMain); code >= 0) return code;
      if (pending_close.exchange(false)) OrderlyClose(ctx, kMain);
      for (; pending_voice_toggles.load() > 0; --pending_voice_toggles) ToggleVoiceEnabled(ctx);
      RunTick(ctx, kMain);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  void Start() {
    thread = std::thread([this] {
      Handlers handlers{&OnServerMessage,           &OnPeerMessage,           &ctx,
                        &ServerMessageMayRunInline, &PeerMessageMayRunInline, &OnVoiceMessage};
      exit_code = RunClient(ctx, std::to_string(ctx.peer_host_port), handlers);
      done = true;
    });
  }
  int Join() {
    thread.join();
    return exit_code;
  }
  bool WaitFor(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitUntil(condition, timeout);
  }
  bool Running() {
    return WaitFor([&] { return ctx.connect_stage.load() >= 14 || done.load(); }) &&
           ctx.connect_stage.load() >= 14;
  }
  std::vector<std::string> Listed() { return windows.ListSnapshot(kMain, kCtlPlayerList); }
  std::vector<BoxCall> Boxes() { return windows.Boxes(); }

  static net::EnetOptions Options() {
    net::EnetOptions o;
    o.timeout_min_ms = 500;
    o.timeout_max_ms = 2000;
    return o;
  }

  TempDir dir;
  RecordingWindowPort windows;
  TrafficCapture capture;
  std::unique_ptr<net::Network> network;
  voice::MemoryAudio audio;  // the sound devices, in memory
  voice::OpusVoiceSystem voice{audio, AudioSetupFile(dir.path() / "config"), &windows};
  FakeLauncher launcher;
  ScriptedKeyboard keyboard;
  ClientContext ctx;
  WindowId next_dialog = 100;
  std::string login_prefilled_name;
  bool login_remembered = false;
  std::atomic<bool> pending_close{false};     // the user closes the main dialog
  std::atomic<int> pending_voice_toggles{0};  // the user clicks Configuration's "Enabled"
  std::chrono::seconds main_limit{30};        // the main dialog ends with -1 after this long
  std::thread thread;
  std::atomic<bool> done{false};
  int exit_code = -1;
};

}  // namespace talmeris::test
