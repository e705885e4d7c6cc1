// The program's start-up and shutdown around the modal main dialog.
#pragma once

#include <string_view>

#include "server/network_objects.h"
#include "state/main_window.h"

namespace talmeris {
struct ClientContext;

// Parses the peer-host port from the command line: a leading integer, else 2400.
std::uint32_t ParsePeerHostPort(std::string_view command_line);

// Runs the client from start-up to shutdown and returns the process exit code.
int RunClient(ClientContext& ctx, std::string_view command_line, const Handlers& handlers);

// The resets of start-up step 9 (tables, ambient values, recorder and peer-relay state).
void ResetSharedState(ClientContext& ctx);

// Shutdown after the main dialog has ended: tells the peers, closes the objects in order and
// shows the final message of codes 4 and 5. Returns the exit code.
int Shutdown(ClientContext& ctx, int end_code);

}  // namespace talmeris
