// Dialog procedures: the behaviour of each dialog, written against the window port. The
// toolkit builds the dialog from its template and calls these for its events.
#pragma once

#include "state/window_port.h"

namespace talmeris {
struct ClientContext;

struct DialogProcedure {
  int resource = 0;
  void (*init)(ClientContext&, WindowId) = nullptr;
  // A control's notification; control 2 with kNotifyClicked is the cancel command (Escape).
  void (*command)(ClientContext&, WindowId, int control, int notification) = nullptr;
  // The close box; when absent it acts as the cancel command.
  void (*close)(ClientContext&, WindowId) = nullptr;
  // The event log's posted notification.
  void (*refresh)(ClientContext&, WindowId) = nullptr;
  // Called every 100 ms while the dialog is open, when present.
  void (*timer)(ClientContext&, WindowId) = nullptr;
  // The dialog is ending because its owner ended (a lost session, a kick), as cancelled: keeps
  // what must not be lost and lets go of the dialog's handle. No message boxes; the controls
  // can still be read.
  void (*ended)(ClientContext&, WindowId) = nullptr;
};

constexpr int kCancelCommand = 2;

}  // namespace talmeris
