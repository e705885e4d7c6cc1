#include "app/dialogs.h"
#include "app/configuration_dialog.h"
#include "app/main_dialog.h"
#include "app/offline_dialog.h"
#include "app/standing_dialogs.h"
#include "server/connect.h"
#include "voice/audio_setup_dialog.h"

namespace talmeris {

const DialogProcedure* FindDialogProcedure(int resource) {
  switch (resource) {
    case kMainDialog:
      return &kMainDialogProcedure;
    case kLoginDialog:
      return &kLoginDialogProcedure;
    case kNewAccountDialog:
      return &kNewAccountDialogProcedure;
    case kWelcomeDialog:
      return &kWelcomeDialogProcedure;
    case kOfflineMessagesDialog:
      return &kOfflineMessagesDialogProcedure;
    case kAudioSetupDialog:
      return &kAudioSetupDialogProcedure;
    case kPlayerInfoDialog:
      return &kPlayerInfoDialogProcedure;
    case kProfileEditorDialog:
      return &kProfileEditorDialogProcedure;
    case kConfigurationDialog:
      return &kConfigurationDialogProcedure;
    case kJoystickMappingDialog:
      return &kJoystickMappingDialogProcedure;
    case kPasswordDialog:
      return &kPasswordDialogProcedure;
    default:
      return nullptr;
  }
}

}  // namespace talmeris
