#include "app/startup.h"

#include <cstdio>
#include <ctime>
#include <string>

#include "server/protocol.h"
#include "state/context.h"
#include "state/files.h"
#include "state/sessions.h"

namespace talmeris {
namespace {

constexpr const char* kCaption = "Client Application";

// Reads the first two bytes of patches.dat; false when the file cannot be opened.
bool ReadCatalogueRevision(const std::filesystem::path& file, std::uint16_t* revision) {
  std::FILE* f = OpenFile(file, "rb");
  if (!f) return false;
  std::uint8_t bytes[2] = {0, 0};
  std::size_t n = std::fread(bytes, 1, 2, f);
  std::fclose(f);
  // A file shorter than two bytes carries revision 0 in the bytes it lacks.
  *revision = n == 2 ? LoadU16(bytes) : (n == 1 ? bytes[0] : 0);
  return true;
}

}  // namespace

std::uint32_t ParsePeerHostPort(std::string_view command_line) {
  std::string text(command_line);
  int port = 0;
  if (!text.empty() && std::sscanf(text.c_str(), "%d", &port) == 1) {
    return static_cast<std::uint32_t>(port);
  }
  return 2400;
}

void ResetSharedState(ClientContext& ctx) {
  reset_tables(ctx.tables);
  {
    std::lock_guard lock(ctx.world_lock);
    ctx.world.ambient_level = 2.0f;
    ctx.world.ambient_rate = 0.0f;
    ctx.world.fdr_record_due = false;
    ctx.world.state_report_due = false;
    ctx.world.docked = false;
    ctx.world.dock_index = -1;
  }
  std::lock_guard lock(ctx.peer_text_lock);
  ctx.peer_shared_text.Set("");
  ctx.peer_shared_flag = false;
}

int RunClient(ClientContext& ctx, std::string_view command_line, const Handlers& handlers) {
  WindowPort& windows = *ctx.ports.windows;

  if (!ReadCatalogueRevision(ctx.File("patches.dat"), &ctx.catalogue_revision)) {
    windows.MessageBox(kNoWindow,
                       "Please check your installation and that Client.exe is executing from "
                       "the installation directory...",
                       "Could not find \"patches.dat\" file...", kMbIconError);
    return 0;
  }

  ctx.settings = LoadSettings(ctx.File(kSettingsFileName), ctx.catalogue_revision, &ctx.event_log);
  ctx.peer_host_port = ParsePeerHostPort(command_line);
  ctx.stopwatch.Start();
  ctx.random.Seed(static_cast<std::uint32_t>(std::time(nullptr)));

  if (net::Failed(CreateNetworkObjects(ctx, handlers))) {
    windows.MessageBox(kNoWindow,
                       "Failed to initialize DirectPlay!\n\nPlease verify you have DirectX v9.0 "
                       "(or higher) installed...",
                       kCaption, kMbIconError);
    return 0;
  }

  ResetSharedState(ctx);
  int end_code = windows.RunModalDialog(kNoWindow, kMainDialog);
  return Shutdown(ctx, end_code);
}

int Shutdown(ClientContext& ctx, int end_code) {
  if (ctx.peer_host_active.load()) {
    ShortMessage departure;
    departure.type = 7;
    auto bytes = departure.Encode();
    SendToPeer(ctx, net::DPNID_ALL_PLAYERS_GROUP, bytes.data(), bytes.size(), true, 0);
    ctx.peer_host_active.store(false);
  }
  NetObjects& n = ctx.net;
  if (n.net_client) n.net_client->Close(net::kCloseImmediate);
  if (n.voice_client) {
    n.voice_client->Disconnect(voice::DVFLAGS_SYNC);
    n.voice_client.reset();
  }
  // The voice client sends over the session until it is disconnected: the closed session object
  // goes only after it.
  n.net_client.reset();
  if (n.peer_server) {
    n.peer_server->Close(1);
    n.peer_server.reset();
  }

  WindowPort& windows = *ctx.ports.windows;
  if (end_code == kEndKicked) {
    windows.MessageBox(kNoWindow,
                       "You were kicked from the server!\n\nPlease review your recent actions and "
                       "try to reconnect again in a little while...",
                       kCaption, kMbIconWarning);
  } else if (end_code == kEndServerShutdown) {
    windows.MessageBox(kNoWindow,
                       "Server is shutting down!\n\nPlease try to reconnect in a few minutes...",
                       kCaption, kMbIconInformation);
  }
  return end_code;
}

}  // namespace talmeris
