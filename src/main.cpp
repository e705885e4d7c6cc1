// The client program: runs in its installation folder; the first argument is the peer-host port.
#include <QApplication>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/posix_launcher.h"
#include "app/startup.h"
#include "net/enet_transport.h"
#include "peers/peer_handler.h"
#include "server/known_servers.h"
#include "server/server_link.h"
#include "state/context.h"
#include "state/files.h"
#include "ui/app_icon.h"
#include "ui/qt_window_port.h"
#include "ui/x11_keyboard.h"
#include "voice/voice_chat.h"
#include "voice/voice_engine.h"

int main(int argc, char** argv) {
  using namespace talmeris;
  if (argc > 1 && std::string(argv[1]) == "--help") {
    std::printf(
        "usage: talmeris-client [PORT]\n"
        "The Talmeris client. Runs in its installation folder (the working directory), which\n"
        "must hold patches.dat; PORT is the local port the companion programs attach to (2400).\n"
        "TALMERIS_SERVER=host[:port] connects to another game server than the built-in one;\n"
        "TALMERIS_SERVER_KEY=KEY (64 hex digits) is the key it must prove, for this run.\n"
        "  --forget-server HOST:PORT  forget the key remembered for that server, so that the\n"
        "                             next connect takes the key it proves (after the\n"
        "                             operators announced a new one)\n");
    return 0;
  }
  if (argc > 1 && std::string(argv[1]) == "--forget-server") {
    const std::string address = argc > 2 ? argv[2] : "";
    if (argc != 3 || address.find(':') == std::string::npos || address.find(' ') != address.npos) {
      std::fprintf(stderr, "usage: talmeris-client --forget-server HOST:PORT\n");
      return 2;
    }
    const auto file = UserConfigHome() / "talmeris" / "known_servers";
    const long removed = ForgetServer(file, address);
    if (removed < 0) {
      std::fprintf(stderr, "talmeris: could not rewrite %s\n", file.c_str());
      return 1;
    }
    if (removed == 0) {
      std::printf("No key was remembered for %s.\n", address.c_str());
    } else {
      std::printf("Forgot the key of %s: the next connect takes the key it proves.\n",
                  address.c_str());
    }
    return 0;
  }
  if (argc > 1 && std::string(argv[1]) == "--version") {
    std::printf("talmeris-client %s\n", TALMERIS_VERSION);
    return 0;
  }
  std::signal(SIGCHLD, SIG_IGN);  // started companion programs are never waited for
  QApplication application(argc, argv);
  // The windows carry the client's icon and name the desktop entry they belong to, so docks
  // show the icon and group them with the launcher (X11 class "talmeris-client", the entry's
  // StartupWMClass).
  QApplication::setWindowIcon(ui::AppIcon());
  QGuiApplication::setDesktopFileName("talmeris");

  ui::QtWindowPort windows;
  auto network = net::CreateEnetNetwork();
  // Voice: the sound hardware through PortAudio; a machine without any takes the device that
  // exists only in memory (silence in, nothing out), so voice chat still connects.
  auto sound_hardware = voice::CreatePortAudioBackend();
  voice::MemoryAudio no_hardware;
  voice::AudioBackend* audio = sound_hardware.get();
  if (audio->CaptureDevices().empty() || audio->PlaybackDevices().empty()) audio = &no_hardware;
  voice::OpusVoiceSystem voice(*audio, AudioSetupFile(UserConfigHome()), &windows);
  PosixLauncher launcher(std::filesystem::current_path());
  bool global_hot_key = false;
  auto keyboard = ui::CreateKeyboard(&global_hot_key);
  ClientContext ctx(Ports{&windows, network.get(), &voice, &launcher, keyboard.get()});
  windows.SetContext(&ctx);
  ctx.exit_process = &std::_Exit;
  if (!global_hot_key) {
    ctx.event_log.Add(kNoWindow,
                      "Push-to-talk key works only while a client window has the focus...");
  }

  // The game server: built in, or TALMERIS_SERVER=host[:port] for development.
  ctx.server_host = TALMERIS_DEFAULT_SERVER;
  if (const char* override_server = std::getenv("TALMERIS_SERVER")) {
    std::string text = override_server;
    if (auto colon = text.rfind(':'); colon != std::string::npos) {
      ctx.server_port = static_cast<std::uint32_t>(std::atoi(text.c_str() + colon + 1));
      text.resize(colon);
    }
    if (!text.empty()) ctx.server_host = text;
  }
  if (const char* key = std::getenv("TALMERIS_SERVER_KEY"); key && *key) {
    ctx.server_key_chosen = key;
  }
  // The operators' key, when the build carries one, for the built-in server only.
  if (ctx.server_host == TALMERIS_DEFAULT_SERVER && ctx.server_port == 2302) {
    ctx.server_key_built_in = TALMERIS_DEFAULT_SERVER_KEY;
  }

  std::string command_line;
  for (int i = 1; i < argc; ++i) command_line += (i > 1 ? " " : "") + std::string(argv[i]);
  Handlers handlers;
  handlers.server_messages = &OnServerMessage;
  handlers.peer_messages = &OnPeerMessage;
  handlers.context = &ctx;
  handlers.server_inline = &ServerMessageMayRunInline;
  handlers.peer_inline = &PeerMessageMayRunInline;
  handlers.voice_messages = &OnVoiceMessage;
  return RunClient(ctx, command_line, handlers);
}
