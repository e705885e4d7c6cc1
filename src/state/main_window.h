// What every subsystem may do to the main window and the program's run: the main dialog's
// control ids, the end codes, starting a companion program and the connection stage's step.
#pragma once

#include <cstdint>

namespace talmeris {
struct ClientContext;

// Control ids of the main dialog template.
enum MainControl : int {
  kCtlClearHistory = 1055,
  kCtlMessages = 1024,
  kCtlConfiguration = 1027,
  kCtlStatistics = 1023,
  kCtlProfile = 1028,
  kCtlFilter = 1075,
  kCtlPlayerList = 1054,
  kCtlHistory = 1015,
  kCtlChatInput = 1032,
  kCtlSend = 1025,
  kCtlPtt = 1026,
  kCtlFdr = 1058,
  kCtlLag = 1049,
  kCtlPatching = 1138,
  kCtlSound = 1030,
  kCtlView = 1029,
  kCtlVoiceIp = 1033,
  kCtlMute = 1060,
  kCtlRx = 1078,
  kCtlTx = 1076,
};

// End codes of the main dialog; they become the exit code.
enum EndCode : int {
  kEndClosed = 2,
  kEndFatal = 3,
  kEndKicked = 4,
  kEndServerShutdown = 5,
  kEndRestartAfterPatch = 123,
};

// Starts a companion program through the launcher; false when it could not be started.
bool StartPeerProgram(ClientContext& ctx, const char* program);

// Advances connect_stage by one while it is below 9, without undoing a concurrent change.
void AdvanceStageBelowNine(ClientContext& ctx);

}  // namespace talmeris
