#include "app/dialogs.h"
#include "app/main_dialog.h"
#include "app/offline_dialog.h"
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
    default:
      return nullptr;
  }
}

}  // namespace talmeris
