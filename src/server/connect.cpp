#include "server/connect.h"

#include "server/offline_messages.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "server/network_objects.h"
#include "server/protocol.h"
#include "server/server_key.h"
#include "server/server_link.h"
#include "state/context.h"
#include "state/main_window.h"
#include "state/sessions.h"

namespace talmeris {
namespace {

constexpr const char* kCaption = "Client Application";
const net::Guid kServerApplication = *net::Guid::Parse("{1AD4CA3B-AC68-4D9B-9522-BE59CD485276}");

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

void Fail(ClientContext& ctx, WindowId main, const char* text, const char* caption = kCaption) {
  ctx.ports.windows->MessageBox(main, text, caption, kMbIconError);
  ctx.ports.windows->EndDialog(main, kEndFatal);
}

void Advance(ClientContext& ctx) {
  ctx.connect_stage.fetch_add(1);
}

// Keeps an edit in lower case (and, for handles, filtered) as the user types.
void KeepLower(ClientContext& ctx, WindowId window, int control, bool filter) {
  std::string text = ctx.ports.windows->ControlText(window, control);
  std::string cleaned = filter ? FilterHandle(Lower(text)) : Lower(text);
  if (cleaned != text) ctx.ports.windows->SetControlText(window, control, cleaned);
}

void Connect(ClientContext& ctx, WindowId main) {
  net::ApplicationDesc app;
  app.size = 96;
  app.flags = 0x141;
  app.application = kServerApplication;
  net::HRESULT hr = net::DPNERR_UNINITIALIZED;
  if (ctx.net.net_client && ctx.net.server_address && ctx.net.client_device_address) {
    // The server must prove its key; every datagram is sealed.
    if (const std::string refused = SecureServerSession(ctx); !refused.empty()) {
      Fail(ctx, main, refused.c_str());
      return;
    }
    hr = ctx.net.net_client->Connect(app, *ctx.net.server_address, *ctx.net.client_device_address);
  }
  if (net::Failed(hr)) {
    char caption[32];
    std::snprintf(caption, sizeof caption, "Error:  %X", static_cast<unsigned>(hr));
    Fail(ctx, main, kConnectFailedText, caption);
  }
}

void LaunchPeers(ClientContext& ctx, WindowId main) {
  if (!ctx.settings.launch_peers) {
    ctx.event_log.Add(main, "To play, press the \"SOUND\" and/or the \"PRPLSN\" buttons...");
    ctx.ports.windows->FocusControl(main, kCtlChatInput);
    return;
  }
  if (StartPeerProgram(ctx, "Sonavox.exe")) return;  // the view program follows when it attaches
  ctx.event_log.Add(main, "Could not find the optional Sonavox.exe...");
  if (!StartPeerProgram(ctx, "Panoptra64.exe")) {
    ctx.event_log.Add(main, "Could not find the required Panoptra.exe...");
  }
}

void StartRunning(ClientContext& ctx, WindowId main) {
  if (net::Failed(HostPeerSession(ctx))) {
    ctx.ports.windows->EndDialog(main, kEndFatal);
    return;
  }
  if (ctx.peer_host_port == 2400) {
    ctx.event_log.Add(main, "Ready to host peer programs...");
  } else {
    ctx.event_log.AddFormat(main, "Ready to host peer programs on port %i!",
                            static_cast<int>(ctx.peer_host_port));
  }
  if (!ctx.settings.welcome_seen) ctx.ports.windows->RunModalDialog(main, kWelcomeDialog);
  LaunchPeers(ctx, main);
  Advance(ctx);
  for (int c : {kCtlStatistics, kCtlConfiguration, kCtlSound, kCtlView, kCtlProfile, kCtlFdr,
                kCtlClearHistory}) {
    ctx.ports.windows->EnableControl(main, c, true);
  }
  if (CountOfflineMessages(ctx) > 0) ctx.ports.windows->EnableControl(main, kCtlMessages, true);
}

// ---- login dialog ----

void LoginInit(ClientContext& ctx, WindowId w) {
  WindowPort& p = *ctx.ports.windows;
  p.SetTextLimit(w, kCtlLoginName, 12);
  p.SetTextLimit(w, kCtlLoginPassword, 15);
  p.CheckControl(w, kCtlRememberMe, ctx.settings.remember_me != 0);
  if (ctx.settings.remember_me) {
    p.SetControlText(w, kCtlLoginName, ctx.settings.login_name.View());
    p.SetControlText(w, kCtlLoginPassword, ctx.settings.login_password.View());
  }
  p.EnableControl(w, kCtlNewAccountButton,
                  !ctx.new_account_requested && ctx.settings.login_name.Empty());
}

void LoginCommand(ClientContext& ctx, WindowId w, int control, int notification) {
  WindowPort& p = *ctx.ports.windows;
  switch (control) {
    case kCtlLoginName:
      if (notification == kNotifyEditChange) KeepLower(ctx, w, control, false);
      break;
    case kCtlRememberMe:
      if (notification == kNotifyClicked) ctx.settings.remember_me = !ctx.settings.remember_me;
      break;
    case kIdOk: {
      std::lock_guard lock(ctx.settings_lock);
      ctx.settings.login_name.Set(Lower(p.ControlText(w, kCtlLoginName)).substr(0, 12));
      ctx.settings.login_password.Set(p.ControlText(w, kCtlLoginPassword).substr(0, 15));
    }
      SaveSettings(ctx, w, kOffLoginName, kOffRememberMe);
      p.EndDialog(w, 0);
      break;
    case kCancelCommand:
      p.EndDialog(w, 2);
      break;
    case kCtlNewAccountButton:
      p.EndDialog(w, kEndNewAccount);
      break;
    default:
      break;
  }
}

// ---- new-account dialog ----

void NewAccountInit(ClientContext& ctx, WindowId w) {
  WindowPort& p = *ctx.ports.windows;
  ctx.new_account_dialog.store(w);
  p.SetTextLimit(w, kCtlHandle, 12);
  p.SetTextLimit(w, kCtlNewPassword, 15);
  p.SetTextLimit(w, kCtlConfirm, 15);
  p.SetTextLimit(w, kCtlReferrer, 12);
  p.CheckControl(w, kCtlRandom, true);
}

void Commit(ClientContext& ctx, WindowId w) {
  WindowPort& p = *ctx.ports.windows;
  std::uint8_t gender = p.IsChecked(w, kCtlFemale) ? 2 : p.IsChecked(w, kCtlMale) ? 1 : 0;
  if (gender == 0) {
    p.MessageBox(w,
                 "You must select a sex (male or female) or press \"Suggest\" to choose one at "
                 "random...",
                 "Gender problem!", kMbOk);
    return;
  }
  bool failed = false;
  std::string name = p.ControlText(w, kCtlName).substr(0, 29);
  const std::uint8_t own = ctx.tables.own_player_slot.load();
  if (ValidPlayerSlot(own)) {
    PlayerRecord& record = ctx.tables.roster[own];
    std::lock_guard lock(record.lock);
    record.character_name.Set(name);
    record.gender = gender;
  }
  if (name.empty()) {
    p.MessageBox(w,
                 "You must select a character name or press \"Suggest\" to choose one at "
                 "random...",
                 "No character name!", kMbOk);
    failed = true;
  }
  std::string handle = FilterHandle(Lower(p.ControlText(w, kCtlHandle))).substr(0, 12);
  {
    std::lock_guard lock(ctx.settings_lock);
    ctx.settings.login_name.Set(handle);
  }
  if (handle.size() < 2) {
    p.MessageBox(w,
                 "You must choose a desired handle between 2 and 12 alphanumeric characters.  "
                 "This will be used for login as well as an identifier for global chat.",
                 "Handle too short!", kMbOk);
    failed = true;
  }
  std::string password = p.ControlText(w, kCtlNewPassword).substr(0, 15);
  ctx.settings.login_password.Set(password);
  ctx.settings.remember_me = 1;
  if (p.ControlText(w, kCtlConfirm).substr(0, 15) != password) {
    p.MessageBox(w, "The passwords you entered do not match, please try again...",
                 "Password error!", kMbOk);
    failed = true;
  }
  if (password.empty()) {
    p.MessageBox(w, "For added security, please choose a password for your account...",
                 "Password error!", kMbOk);
    failed = true;
  }
  if (failed) return;
  // The referrer is sent as typed, lower-cased only: it names another player's handle.
  std::string referrer = Lower(p.ControlText(w, kCtlReferrer)).substr(0, 12);
  AccountMessage message = BuildNewAccountMessage(handle, password, referrer, name, gender);
  SendToServer(ctx, message.data(), message.size(), true, 0);
}

void NewAccountCommand(ClientContext& ctx, WindowId w, int control, int notification) {
  switch (control) {
    case kCtlHandle:
      if (notification == kNotifyEditChange) KeepLower(ctx, w, control, true);
      break;
    case kCtlReferrer:
      if (notification == kNotifyEditChange) KeepLower(ctx, w, control, false);
      break;
    case kCtlSuggest:
      RequestNameSuggestion(ctx, w);
      break;
    case kCtlCommit:
      Commit(ctx, w);
      break;
    case kCancelCommand:
      ctx.new_account_dialog.store(kNoWindow);
      ctx.ports.windows->EndDialog(w, 2);
      break;
    default:
      break;
  }
}

// ---- welcome dialog ----

void WelcomeCommand(ClientContext& ctx, WindowId w, int control, int) {
  if (control != kCancelCommand && control != kIdOk) return;  // "&Configuration" does nothing
  ctx.settings.welcome_seen = 1;
  SaveSettings(ctx, w, kOffWelcomeSeen, kOffWelcomeSeen);
  ctx.ports.windows->EndDialog(w, 2);
}

}  // namespace

void RequestNameSuggestion(ClientContext& ctx, WindowId w) {
  WindowPort& p = *ctx.ports.windows;
  ShortMessage request;
  request.type = kNameSuggestionRequest;
  request.value1 = p.IsChecked(w, kCtlFemale) ? 2.0f : p.IsChecked(w, kCtlMale) ? 1.0f : 0.0f;
  request.value2 = static_cast<float>(ctx.random.Next());
  auto bytes = request.Encode();
  SendToServer(ctx, bytes.data(), bytes.size(), true, 0);
  for (int c : {kCtlSuggest, kCtlCommit, kCtlRandom, kCtlFemale, kCtlMale}) {
    p.EnableControl(w, c, false);
  }
  p.SetReadOnly(w, kCtlName, true);
}

std::string FilterHandle(std::string_view text) {
  std::string out;
  for (char c : text) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '_') out += c;
  }
  return out;
}

AccountMessage BuildLoginMessage(std::string_view login_name, std::string_view password,
                                 std::uint16_t data_revision) {
  AccountMessage m{};
  StoreFixedText(&m[0], 13, login_name);
  StoreFixedText(&m[13], 16, password);
  StoreFixedText(&m[29], 30, "Unable to \"getenv\"");
  StoreF32(&m[60], kClientRelease);
  m[64] = 0;
  StoreU16(&m[66], data_revision);
  m[256] = 0;
  return m;
}

AccountMessage BuildNewAccountMessage(std::string_view handle, std::string_view password,
                                      std::string_view referrer, std::string_view character_name,
                                      std::uint8_t gender) {
  AccountMessage m{};
  StoreFixedText(&m[0], 13, handle);
  StoreFixedText(&m[13], 16, password);
  StoreFixedText(&m[29], 13, referrer);
  StoreFixedText(&m[42], 30, character_name);
  m[72] = gender;
  m[256] = 2;
  return m;
}

void CompleteConnectStage(ClientContext& ctx) {
  std::int16_t stage = ctx.connect_stage.load();
  // From 8 (the tick has not yet moved on) as from 9, the completion leads to 10.
  while (!ctx.connect_stage.compare_exchange_weak(
      stage, static_cast<std::int16_t>((stage < 9 ? 9 : stage) + 1))) {
  }
}

void RunConnectionStage(ClientContext& ctx, WindowId main) {
  WindowPort& w = *ctx.ports.windows;
  switch (ctx.connect_stage.load()) {
    case 3: {
      int result = w.RunModalDialog(main, kLoginDialog);
      if (result == 2) {
        w.EndDialog(main, kEndFatal);
      } else if (result == kEndNewAccount) {
        ctx.new_account_requested = true;
      }
      break;
    }
    case 6:
      if (net::Failed(BuildDeviceAddresses(ctx))) {
        Fail(ctx, main,
             "Failed to create device address!\n\nPlease contact your Internet provider for "
             "assistance...");
      }
      break;
    case 7:
      ctx.event_log.Add(main, "Connecting you to the universe...");
      if (net::Failed(BuildServerAddress(ctx, ctx.server_host))) {
        Fail(ctx, main,
             "Failed to enumerate DirectPlay hosts!\n\nPlease contact your Internet provider for "
             "assistance...");
      }
      break;
    case 8:
      Connect(ctx, main);
      break;
    case 10:
      if (ctx.new_account_requested) {
        int result = w.RunModalDialog(main, kNewAccountDialog);
        ctx.new_account_dialog.store(kNoWindow);
        if (result == 2) {
          w.EndDialog(main, kEndFatal);
          break;
        }
        if (w.RunModalDialog(main, kLoginDialog) == 2) {
          w.EndDialog(main, kEndFatal);
          break;
        }
      }
      Advance(ctx);
      break;
    case 11: {
      AccountMessage login;
      {
        std::lock_guard lock(ctx.settings_lock);
        login = BuildLoginMessage(ctx.settings.login_name.View(),
                                  ctx.settings.login_password.View(), ctx.settings.data_revision);
      }
      SendToServer(ctx, login.data(), login.size(), true, 0);
      Advance(ctx);
      break;
    }
    case 12:
      if (ctx.data_up_to_date.load()) {
        Advance(ctx);
        ctx.event_log.Add(main, "Connection successful!");
      }
      break;
    case 13:
      StartRunning(ctx, main);
      break;
    default:
      break;  // 0-2, 4, 5: nothing; 9: waiting for the connect result
  }
}

const DialogProcedure kLoginDialogProcedure = {
    .resource = kLoginDialog, .init = LoginInit, .command = LoginCommand};
const DialogProcedure kNewAccountDialogProcedure = {
    .resource = kNewAccountDialog, .init = NewAccountInit, .command = NewAccountCommand};
const DialogProcedure kWelcomeDialogProcedure = {.resource = kWelcomeDialog,
                                                 .command = WelcomeCommand};

}  // namespace talmeris
