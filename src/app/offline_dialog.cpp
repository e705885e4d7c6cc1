#include "app/offline_dialog.h"

#include <string>
#include <vector>

#include "server/offline_messages.h"
#include "state/context.h"
#include "state/main_window.h"

namespace talmeris {
namespace {

void AddAll(ClientContext& ctx, WindowId w, const std::vector<std::string>& messages) {
  for (const std::string& m : messages) ctx.ports.windows->ListAdd(w, kCtlOfflineList, m);
}

void Init(ClientContext& ctx, WindowId w) {
  WindowPort& p = *ctx.ports.windows;
  p.SortList(w, kCtlOfflineList);
  // The window is set and the file read in one step under the lock: a message arriving after
  // it goes to the inbox, one arriving before it is in the file.
  AddAll(ctx, w, OpenOfflineMessages(ctx, w));
  p.EnableControl(w, kCtlOfflineDelete, false);
}

// Messages that arrived while the dialog is open (posted by the server handler).
void Refresh(ClientContext& ctx, WindowId w) {
  AddAll(ctx, w, TakeOfflineInbox(ctx));
}

// Writes the list back (with whatever arrived meanwhile) and lets go of the window.
void Save(ClientContext& ctx, WindowId w) {
  WindowPort& p = *ctx.ports.windows;
  Refresh(ctx, w);
  std::vector<std::string> list;
  const int count = p.ListCount(w, kCtlOfflineList);
  list.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
  for (int i = 0; i < count; ++i) list.push_back(p.ListItemText(w, kCtlOfflineList, i));
  std::size_t written = 0;
  if (!CloseOfflineMessages(ctx, std::move(list), &written)) {
    ctx.event_log.Add(ctx.main_window.load(), "Could not save the offline messages!");
  }
  if (written == 0) p.EnableControl(ctx.main_window.load(), kCtlMessages, false);
}

void Close(ClientContext& ctx, WindowId w) {
  Save(ctx, w);
  ctx.ports.windows->EndDialog(w, kCancelCommand);
}

void KeepDeleteWithSelection(WindowPort& p, WindowId w) {
  p.EnableControl(w, kCtlOfflineDelete, p.ListSelection(w, kCtlOfflineList) >= 0);
}

void Command(ClientContext& ctx, WindowId w, int control, int notification) {
  WindowPort& p = *ctx.ports.windows;
  switch (control) {
    case kCtlOfflineList:
      // Delete is there exactly while an entry is selected: a row the list merely made current
      // (on taking the focus) is no choice, and a row deselected (Ctrl+click) is none either.
      if (notification == kNotifySelChange) KeepDeleteWithSelection(p, w);
      break;
    case kCtlOfflineDelete: {
      const int selected = p.ListSelection(w, kCtlOfflineList);
      if (selected >= 0) p.ListDeleteAt(w, kCtlOfflineList, selected);
      KeepDeleteWithSelection(p, w);  // the list may select the row that moved up
      break;
    }
    case kCtlOfflineClearAll:
      for (int i = p.ListCount(w, kCtlOfflineList) - 1; i >= 0; --i) {
        p.ListDeleteAt(w, kCtlOfflineList, i);
      }
      KeepDeleteWithSelection(p, w);
      break;
    case kCancelCommand:
      Close(ctx, w);
      break;
    default:
      break;
  }
}

}  // namespace

const DialogProcedure kOfflineMessagesDialogProcedure = {.resource = kOfflineMessagesDialog,
                                                         .init = Init,
                                                         .command = Command,
                                                         .close = Close,
                                                         .refresh = Refresh,
                                                         .ended = Save};

}  // namespace talmeris
