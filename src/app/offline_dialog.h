// The Offline Messages dialog (resource 139): the messages other players left, sorted, with
// Delete and Clear All; closing writes the list back to messages.txt.
#pragma once

#include "state/dialog.h"

namespace talmeris {

enum OfflineMessagesControl : int {
  kCtlOfflineList = 1054,
  kCtlOfflineDelete = 1057,
  kCtlOfflineClearAll = 1058,
};

extern const DialogProcedure kOfflineMessagesDialogProcedure;

}  // namespace talmeris
