#include "app/configuration_dialog.h"

#include <cstdio>

#include "server/protocol.h"
#include "server/server_link.h"
#include "state/context.h"
#include "state/sessions.h"
#include "voice/voice_chat.h"

namespace talmeris {
namespace {

struct VideoSize {
  const char* text;
  std::uint16_t width, height;
};
constexpr VideoSize kVideoSizes[] = {{"1024x768", 1024, 768}, {"1152x864", 1152, 864},
                                     {"1280x720", 1280, 720}, {"1280x768", 1280, 768},
                                     {"1280x960", 1280, 960}, {"1280x1024", 1280, 1024}};
constexpr std::uint8_t kPasswordChange = 16;

// Checks `on` among the radios of one group and clears the others.
void CheckRadio(WindowPort& w, WindowId dlg, std::initializer_list<int> group, int on) {
  for (int control : group) w.CheckControl(dlg, control, control == on);
}

void Fill(ClientContext& ctx, WindowId dlg) {
  WindowPort& w = *ctx.ports.windows;
  const Settings& s = ctx.settings;
  char caption[64];
  std::snprintf(caption, sizeof caption, "Configuration [v%.f.%03i]",
                static_cast<double>(kClientRelease), static_cast<int>(s.data_revision));
  w.SetWindowTitle(dlg, caption);
  CheckRadio(w, dlg, {kCtlCfgAuto, kCtlCfgPtt, kCtlCfgOff},
             s.voice_push_to_talk ? kCtlCfgPtt
             : s.voice_mic_off    ? kCtlCfgOff
                                  : kCtlCfgAuto);
  w.CheckControl(dlg, kCtlCfgVoiceEnabled, ctx.voice_connected.load());
  CheckRadio(w, dlg, {kCtlCfgMouse, kCtlCfgTrackIr},
             s.view_by_mouse ? kCtlCfgMouse : kCtlCfgTrackIr);
  w.CheckControl(dlg, kCtlCfgFullscreen, s.start_fullscreen != 0);
  w.CheckControl(dlg, kCtlCfgLaunchPeers, s.launch_peers != 0);
  const bool joystick = s.propulsion_joystick != 0;
  CheckRadio(w, dlg, {kCtlCfgKeyboard, kCtlCfgJoystick},
             joystick ? kCtlCfgJoystick : kCtlCfgKeyboard);
  w.EnableControl(dlg, kCtlCfgForceFeedback, joystick);
  w.EnableControl(dlg, kCtlCfgMapping, joystick);
  w.CheckControl(dlg, kCtlCfgForceFeedback, s.force_feedback != 0);
  w.ListClear(dlg, kCtlCfgVideo);
  int selected = -1;
  for (int i = 0; i < static_cast<int>(std::size(kVideoSizes)); ++i) {
    w.ListAdd(dlg, kCtlCfgVideo, kVideoSizes[i].text);
    if (kVideoSizes[i].width == s.screen_width && kVideoSizes[i].height == s.screen_height)
      selected = i;
  }
  w.ListSelect(dlg, kCtlCfgVideo, selected);
}

void Toggle(std::uint8_t& setting) {
  setting = setting ? 0 : 1;
}

void Command(ClientContext& ctx, WindowId dlg, int control, int) {
  WindowPort& w = *ctx.ports.windows;
  Settings& s = ctx.settings;
  switch (control) {
    case kCtlCfgVoiceEnabled:
      w.CheckControl(dlg, kCtlCfgVoiceEnabled, ToggleVoiceEnabled(ctx));
      return;
    case kCtlCfgAuto:
      SetMicrophoneMode(ctx, MicrophoneMode::kAuto);
      break;
    case kCtlCfgPtt:
      SetMicrophoneMode(ctx, MicrophoneMode::kPushToTalk);
      break;
    case kCtlCfgOff:
      SetMicrophoneMode(ctx, MicrophoneMode::kOff);
      break;
    case kCtlCfgVoiceHardware:
      RunAudioSetup(ctx);
      return;
    case kCtlCfgMouse:
    case kCtlCfgTrackIr:
      s.view_by_mouse = control == kCtlCfgMouse ? 1 : 0;
      break;
    case kCtlCfgKeyboard:
      s.propulsion_joystick = 0;
      s.force_feedback = 0;
      break;
    case kCtlCfgJoystick:
      s.propulsion_joystick = 1;
      break;
    case kCtlCfgForceFeedback:
      Toggle(s.force_feedback);
      break;
    case kCtlCfgFullscreen:
      Toggle(s.start_fullscreen);
      break;
    case kCtlCfgLaunchPeers:
      Toggle(s.launch_peers);
      break;
    case kCtlCfgMapping:
      w.RunModalDialog(dlg, kJoystickMappingDialog);
      return;
    case kCtlCfgPassword:
      w.RunModalDialog(dlg, kPasswordDialog);
      return;
    case kCtlCfgJoystickHardware:
      // The desktop's joystick tool; without one the player learns what to install.
      if (!ctx.ports.launcher || !ctx.ports.launcher->StartDesktopTool(kJoystickTool)) {
        w.MessageBox(dlg, kNoJoystickToolText, "Joystick", kMbIconInformation);
      }
      return;
    case kCtlCfgHelpReset:
    case kCtlCfgHelpDisable:
      StoreHelpBlock(ctx.File(kSettingsFileName), control == kCtlCfgHelpDisable, ctx.event_log,
                     dlg);
      return;
    case kCtlCfgVideo: {
      const int index = w.ListSelection(dlg, kCtlCfgVideo);
      if (index >= 0 && index < static_cast<int>(std::size(kVideoSizes))) {
        s.screen_width = kVideoSizes[index].width;
        s.screen_height = kVideoSizes[index].height;
      }
      return;
    }
    case kCancelCommand:
      // Offsets 0-5 and 42-49, closed or not changed; one failure is reported once.
      if (SaveSettings(ctx, dlg, kOffVoiceEnabled, kOffForceFeedback))
        SaveSettings(ctx, dlg, kOffStartFullscreen, kOffYawAxis);
      w.EndDialog(dlg, 0);
      return;
    default:
      return;
  }
  Fill(ctx, dlg);
}

void FillMapping(ClientContext& ctx, WindowId dlg) {
  WindowPort& w = *ctx.ports.windows;
  CheckRadio(w, dlg, {kCtlMapThrottleZ, kCtlMapThrottleX},
             ctx.settings.throttle_axis == 0 ? kCtlMapThrottleZ : kCtlMapThrottleX);
  CheckRadio(w, dlg, {kCtlMapYawRotation, kCtlMapYawZ},
             ctx.settings.yaw_axis == 0 ? kCtlMapYawRotation : kCtlMapYawZ);
}

void MappingCommand(ClientContext& ctx, WindowId dlg, int control, int) {
  switch (control) {
    case kCtlMapThrottleZ:
    case kCtlMapThrottleX:
      ctx.settings.throttle_axis = control == kCtlMapThrottleX ? 1 : 0;
      break;
    case kCtlMapYawRotation:
    case kCtlMapYawZ:
      ctx.settings.yaw_axis = control == kCtlMapYawZ ? 1 : 0;
      break;
    case kCancelCommand:
      ctx.ports.windows->EndDialog(dlg, kIdCancel);  // nothing is written here
      return;
    default:
      return;
  }
  FillMapping(ctx, dlg);
}

void InitPassword(ClientContext& ctx, WindowId dlg) {
  for (int control : {kCtlPwCurrent, kCtlPwNew, kCtlPwConfirm})
    ctx.ports.windows->SetTextLimit(dlg, control, 15);
}

void PasswordCommand(ClientContext& ctx, WindowId dlg, int control, int) {
  WindowPort& w = *ctx.ports.windows;
  if (control == kCancelCommand) {
    w.EndDialog(dlg, kIdCancel);
    return;
  }
  if (control != kIdOk) return;
  const std::string wanted = w.ControlText(dlg, kCtlPwNew).substr(0, 15);
  const std::string confirmed = w.ControlText(dlg, kCtlPwConfirm).substr(0, 15);
  if (wanted != confirmed) {
    w.MessageBox(dlg, "The passwords you entered do not match, please try again...",
                 "Password error!", kMbOk);
    w.SetControlText(dlg, kCtlPwNew, "");
    w.SetControlText(dlg, kCtlPwConfirm, "");
    return;
  }
  std::string current_password;
  {
    std::lock_guard lock(ctx.settings_lock);
    current_password = std::string(ctx.settings.login_password.View());
  }
  if (w.ControlText(dlg, kCtlPwCurrent) != current_password) {
    w.MessageBox(dlg, "Your current password does not match, please try again...",
                 "Password error!", kMbOk);
    w.SetControlText(dlg, kCtlPwCurrent, "");
    return;
  }
  const TextMessage change = TextMessage::Make(kPasswordChange, 0, wanted);
  SendToServer(ctx, change.bytes.data(), TextMessage::kSize, true, 0);
  if (ctx.settings.remember_me) {
    // The remembered password follows only when it can be written.
    FixedText<16> previous;
    {
      std::lock_guard lock(ctx.settings_lock);
      previous = ctx.settings.login_password;
      ctx.settings.login_password.Set(wanted);
    }
    if (!SaveSettings(ctx, dlg, kOffLoginPassword, kOffLoginPassword + 15)) {
      std::lock_guard lock(ctx.settings_lock);
      ctx.settings.login_password = previous;
    }
  }
  w.EndDialog(dlg, 0);
}

}  // namespace

const DialogProcedure kConfigurationDialogProcedure{
    kConfigurationDialog, &Fill, &Command, nullptr, &Fill, nullptr};
const DialogProcedure kJoystickMappingDialogProcedure{
    kJoystickMappingDialog, &FillMapping, &MappingCommand, nullptr, &FillMapping, nullptr};
const DialogProcedure kPasswordDialogProcedure{kPasswordDialog, &InitPassword, &PasswordCommand,
                                               nullptr,         nullptr,       nullptr};

}  // namespace talmeris
