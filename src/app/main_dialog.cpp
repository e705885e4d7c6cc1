#include "app/main_dialog.h"
#include "app/statistics.h"

#include <chrono>
#include <thread>

#include "app/startup.h"
#include "app/tick.h"
#include "server/chat.h"
#include "state/context.h"
#include "state/recorder.h"
#include "voice/voice_chat.h"

namespace talmeris {
namespace {

constexpr int kPushToTalkHotKeyId = 1026;

void Init(ClientContext& ctx, WindowId window) {
  WindowPort& w = *ctx.ports.windows;
  ctx.main_window.store(window);
  for (const char* name : kFilterNames) w.ListAdd(window, kCtlFilter, name);
  w.ListSelect(window, kCtlFilter, ctx.settings.player_list_filter);
  w.SetTextLimit(window, kCtlChatInput, 255);
  if (ctx.ports.keyboard) {
    ctx.ports.keyboard->RegisterHotKey(window, kPushToTalkHotKeyId, 0, kPushToTalkKey);
  }
  w.FocusControl(window, kCtlChatInput);
}

void ChangeFilter(ClientContext& ctx, WindowId window) {
  WindowPort& w = *ctx.ports.windows;
  int selected = w.ListSelection(window, kCtlFilter);
  if (selected < 0 || selected == ctx.settings.player_list_filter) return;
  ctx.settings.player_list_filter = static_cast<std::int8_t>(selected);
  SaveSettings(ctx, window, kOffPlayerListFilter, kOffPlayerListFilter);
  RebuildPlayerList(ctx, window, false);
  if (selected >= 1) {
    w.MessageBox(window,
                 "You have selected to filter players based on their alignment to you.  Other "
                 "players are neutral by default.  For example, if you select \"Allies Only\" you "
                 "would not be able to see neutral players transmit.",
                 "Important notice!", kMbIconInformation);
  }
}

void ShowPlayerInformation(ClientContext& ctx, WindowId window) {
  WindowPort& w = *ctx.ports.windows;
  std::string selected = w.ListSelectedText(window, kCtlPlayerList);
  if (selected.empty()) return;
  selected.resize(std::min<std::size_t>(selected.size(), 12));
  int found = -1;
  for (int slot = 0; slot < kRosterSize && found < 0; ++slot) {
    PlayerRecord& p = ctx.tables.roster[slot];
    std::lock_guard lock(p.lock);
    if (p.online && p.handle.View() == selected) found = slot;
  }
  if (found < 0) return;
  ctx.tables.selected_player_slot.store(static_cast<std::uint8_t>(found));
  w.RunModalDialog(window, kPlayerInfoDialog);
  RebuildPlayerList(ctx, window, true);
}

void ToggleMute(ClientContext& ctx, WindowId window) {
  ctx.voice_muted = !ctx.voice_muted;
  ctx.ports.windows->CheckControl(window, kCtlMute, ctx.voice_muted);
  if (ctx.voice_muted) ctx.ports.windows->CheckControl(window, kCtlRx, false);
  ApplyVoiceMute(ctx);
}

void Command(ClientContext& ctx, WindowId window, int control, int notification) {
  WindowPort& w = *ctx.ports.windows;
  switch (control) {
    case kCancelCommand:
      break;  // Escape does not close the main dialog
    case kCtlStatistics:
      w.FocusControl(window, kCtlChatInput);
      w.MessageBox(window, StatisticsReport(ctx), "Client Application",
                   kMbIconInformation | kMbTabular);
      break;
    case kCtlMessages:
      w.FocusControl(window, kCtlChatInput);
      w.RunModalDialog(window, kOfflineMessagesDialog);
      break;
    case kCtlSend: {
      std::string text = w.ControlText(window, kCtlChatInput);
      if (text.size() > 255) text.resize(255);
      SendChatLine(ctx, text, true);
      w.SetControlText(window, kCtlChatInput, "");
      w.FocusControl(window, kCtlChatInput);
      break;
    }
    case kCtlConfiguration:
      w.FocusControl(window, kCtlChatInput);
      w.RunModalDialog(window, kConfigurationDialog);
      break;
    case kCtlProfile:
      w.FocusControl(window, kCtlChatInput);
      w.RunModalDialog(window, kProfileEditorDialog);
      break;
    case kCtlView:
      if (StartPeerProgram(ctx, "Panoptra64.exe")) {
        w.EnableControl(window, kCtlView, false);
        w.CheckControl(window, kCtlView, true);
      } else {
        ctx.event_log.Add(window, "Could not find the required Panoptra.exe...");
      }
      break;
    case kCtlSound:
      if (StartPeerProgram(ctx, "Sonavox.exe")) {
        w.EnableControl(window, kCtlSound, false);
        w.CheckControl(window, kCtlSound, true);
      } else {
        ctx.event_log.Add(window, "Could not find the optional Sonavox.exe...");
      }
      break;
    case kCtlPlayerList:
      if (notification == kNotifyDoubleClick) ShowPlayerInformation(ctx, window);
      break;
    case kCtlClearHistory:
      w.FocusControl(window, kCtlChatInput);
      ctx.event_log.Clear();
      w.PostRefresh(window);
      break;
    case kCtlFdr:
      // Unchecked again when no file could be made.
      w.CheckControl(window, kCtlFdr, ToggleRecording(ctx, window));
      w.FocusControl(window, kCtlChatInput);
      break;
    case kCtlMute:
      ToggleMute(ctx, window);
      break;
    case kCtlFilter:
      ChangeFilter(ctx, window);
      break;
    default:
      break;
  }
}

void Close(ClientContext& ctx, WindowId window) {
  OrderlyClose(ctx, window);
}

}  // namespace

void RefreshHistory(ClientContext& ctx, WindowId window) {
  ctx.ports.windows->SetControlText(window, kCtlHistory, ctx.event_log.Joined(kHistoryMaxChars));
}

void RebuildPlayerList(ClientContext& ctx, WindowId window, bool individual_lists_all) {
  WindowPort& w = *ctx.ports.windows;
  const int filter = ctx.settings.player_list_filter;
  w.ListClear(window, kCtlPlayerList);
  for (PlayerRecord& p : ctx.tables.roster) {
    FixedText<13> handle;
    bool show = false;
    {
      std::lock_guard lock(p.lock);
      if (!p.online) continue;
      show = p.alignment >= filter || (individual_lists_all && filter == 4);
      if (show) {
        handle = p.handle;
      } else {
        p.voice_include = 0;
      }
    }
    if (show) w.ListAdd(window, kCtlPlayerList, handle.View());  // no lock held
  }
}

void OrderlyClose(ClientContext& ctx, WindowId window) {
  WindowPort& w = *ctx.ports.windows;
  if (RecordingActive(ctx)) ToggleRecording(ctx, window);
  w.StopTimer(window);
  for (int control : {kCtlSend, kCtlStatistics, kCtlClearHistory, kCtlChatInput, kCtlPtt, kCtlView,
                      kCtlSound, kCtlConfiguration, kCtlProfile, kCtlFdr, kCtlMessages}) {
    w.EnableControl(window, control, false);
  }
  w.CheckControl(window, kCtlView, false);
  w.CheckControl(window, kCtlSound, false);
  ctx.event_log.Add(window, "Closing connection...");
  RefreshHistory(ctx, window);  // at once, not posted
  w.Repaint(window);  // the player sees the line and the disabled controls during the pause
  std::this_thread::sleep_for(std::chrono::milliseconds(ctx.close_pause_ms));
  w.EndDialog(window, kEndClosed);
}

const DialogProcedure kMainDialogProcedure = {
    .resource = kMainDialog,
    .init = Init,
    .command = Command,
    .close = Close,
    .refresh = RefreshHistory,
    .timer = RunTick,
};

}  // namespace talmeris
