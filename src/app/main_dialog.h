// The main dialog: the client's only main window, the owner of every other dialog.
#pragma once

#include "state/dialog.h"
#include "state/main_window.h"

namespace talmeris {

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

}  // namespace talmeris
