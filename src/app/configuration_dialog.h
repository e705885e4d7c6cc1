// The Configuration dialog and its two small dialogs, Joystick Mapping and Create/change
// password.
#pragma once

#include "state/dialog.h"

namespace talmeris {

enum ConfigurationControl : int {
  kCtlCfgVoiceEnabled = 1077,
  kCtlCfgAuto = 1078,
  kCtlCfgVoiceHardware = 1079,
  kCtlCfgPtt = 1080,
  kCtlCfgOff = 1081,
  kCtlCfgMouse = 1082,
  kCtlCfgTrackIr = 1083,
  kCtlCfgJoystickHardware = 1084,
  kCtlCfgForceFeedback = 1085,
  kCtlCfgKeyboard = 1086,
  kCtlCfgJoystick = 1087,
  kCtlCfgPassword = 1105,
  kCtlCfgHelpReset = 1106,
  kCtlCfgHelpDisable = 1107,
  kCtlCfgFullscreen = 1123,
  kCtlCfgLaunchPeers = 1124,
  kCtlCfgVideo = 1131,
  kCtlCfgMapping = 1132,
  // Joystick Mapping.
  kCtlMapThrottleZ = 1134,
  kCtlMapThrottleX = 1135,
  kCtlMapYawRotation = 1136,
  kCtlMapYawZ = 1137,
  // Create/change password.
  kCtlPwCurrent = 1124,
  kCtlPwNew = 1125,
  kCtlPwConfirm = 1034,
};

// What the "Hardware" button of the input devices starts, when the desktop has it.
constexpr const char* kJoystickTool = "jstest-gtk";
constexpr const char* kNoJoystickToolText =
    "No joystick tool is installed on this computer.\n\nTo test and calibrate your joystick, "
    "install jstest-gtk (on Debian and Ubuntu: sudo apt install jstest-gtk) and press "
    "\"Hardware\" again.";

extern const DialogProcedure kConfigurationDialogProcedure;
extern const DialogProcedure kJoystickMappingDialogProcedure;
extern const DialogProcedure kPasswordDialogProcedure;

}  // namespace talmeris
