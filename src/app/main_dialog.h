// The main dialog: the client's only main window, the owner of every other dialog.
#pragma once

#include "app/dialog.h"

namespace talmeris {

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

constexpr std::size_t kHistoryMaxChars = 44999;
constexpr const char* kFilterNames[] = {"Everyone", "No Enemies", "Allies", "Partners",
                                        "Individual"};

extern const DialogProcedure kMainDialogProcedure;

// Shows the event log in the history box.
void RefreshHistory(ClientContext& ctx, WindowId window);

// Empties the player list and lists every online player the filter shows; online players it
// hides lose their voice inclusion. With `individual_lists_all`, filter 4 lists everyone.
void RebuildPlayerList(ClientContext& ctx, WindowId window, bool individual_lists_all);

// The orderly close: disables the controls, logs, pauses a second and ends with 2.
void OrderlyClose(ClientContext& ctx, WindowId window);

// Starts a companion program through the launcher; false when it could not be started.
bool StartPeerProgram(ClientContext& ctx, const char* program);

}  // namespace talmeris
